// The transmit IV schedule, key selection, the receive keystream cache and
// the sealed data field of the host WEP engine.
#include <gtest/gtest.h>

#include <random>

#include "wep_reference.h"
#include "wep_support.h"

namespace {

using weptest::Counter;
using weptest::Keys;
using weptest::NewAdapter;
using weptest::Register;
using weptest::SampleKeys;
using weptest::Seed;

// Seals a body as the transmit path does: IV step, header, body, ICV.
std::vector<std::uint8_t> SealFrame(TAL_ADAPTER *a, std::span<const std::uint8_t> body) {
    wep_tx_nextiv(a);
    std::vector<std::uint8_t> field(body.size() + 8);
    std::memcpy(field.data(), a->iv, 4);
    std::copy(body.begin(), body.end(), field.begin() + 4);
    wep_tx_seal(a, field.data() + 4, static_cast<USHORT>(body.size()));
    return field;
}

std::vector<std::uint8_t> RandomBytes(std::mt19937 &rng, std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (auto &b : v)
        b = static_cast<std::uint8_t>(rng());
    return v;
}

// ---------------------------------------------------------------------------
// Transmit IV schedule
// ---------------------------------------------------------------------------

TEST(WepTxSchedule, CounterPerFrameFollowsIvCountMax) {
    struct Case {
        USHORT ivCountMax;
        unsigned frame; // 1-based frame number after registration
        std::uint32_t counter;
    };
    const Case cases[] = {
        {0, 1, 1},       {0, 2, 2},       {0, 10, 10},     {1000, 1, 0},
        {1000, 1000, 0}, {1000, 1001, 1}, {1000, 2001, 1}, {1000, 2002, 2},
        {1, 1, 0},       {1, 2, 1},       {1, 3, 1},       {1, 4, 2},
    };
    for (const auto &c : cases) {
        auto a = NewAdapter();
        Register(a.get(), SampleKeys(), c.ivCountMax);
        for (unsigned f = 0; f < c.frame; f++)
            wep_tx_nextiv(a.get());
        EXPECT_EQ(Counter(a.get()), c.counter) << "max " << c.ivCountMax << " frame " << c.frame;
    }
}

// An advance steps the 24-bit counter (wrapping), writes the key id byte
// and rekeys the transmit block with the new IV; a reused IV touches neither.
TEST(WepTxSchedule, AdvanceStepsTheCounterAndRekeysTheBlockAReusedIvNothing) {
    struct Case {
        std::uint8_t before[3];
        std::uint8_t header[4];
    };
    const Case cases[] = {{{0xFE, 0x12, 0x34}, {0xFF, 0x12, 0x34, 0x40}},
                          {{0xFF, 0xFF, 0xFF}, {0x00, 0x00, 0x00, 0x40}}};
    Keys k = SampleKeys(3, 1);
    for (const auto &c : cases) {
        auto a = NewAdapter();
        Register(a.get(), k, 0);
        std::memcpy(a->iv, c.before, 3);
        a->iv[3] = 0x3F; // rewritten from the key id
        wep_tx_nextiv(a.get());
        EXPECT_EQ(0, std::memcmp(a->iv, c.header, 4));
        EXPECT_EQ(0, std::memcmp(a->key, c.header, 3));
        EXPECT_EQ(a->ivCount, 0);
        std::vector<std::uint8_t> expect(TAL_WEPBOX_SIZE);
        talref::keystream(Seed(k, c.header, 1), expect);
        EXPECT_EQ(0, std::memcmp(a->tx_wepBox, expect.data(), TAL_WEPBOX_SIZE));
    }

    auto a = NewAdapter();
    Register(a.get(), SampleKeys(), 5);
    std::vector<std::uint8_t> before(a->tx_wepBox, a->tx_wepBox + TAL_WEPBOX_SIZE);
    for (int f = 1; f <= 5; f++) {
        wep_tx_nextiv(a.get());
        EXPECT_EQ(a->ivCount, f);
    }
    EXPECT_EQ(0, std::memcmp(a->tx_wepBox, before.data(), TAL_WEPBOX_SIZE));
    wep_tx_nextiv(a.get());
    EXPECT_EQ(a->ivCount, 0);
    EXPECT_NE(0, std::memcmp(a->tx_wepBox, before.data(), TAL_WEPBOX_SIZE));
}

// ---------------------------------------------------------------------------
// Key selection
// ---------------------------------------------------------------------------

// The key-id byte names the key the frame was sealed with, so a receiver
// that picks its key by that byte (the engine's own receive, on a second
// adapter record holding the same keys) opens every frame.
TEST(WepKeys, TransmitKeyFollowsIdAndModeAndTheHeaderNamesIt) {
    struct Case {
        ULONG wepRequired;
        ULONG id;
        UCHAR keyIdByte; // announced in the header
        unsigned keyUsed;
    };
    const Case cases[] = {
        {3, 0, 0x00, 0}, {3, 1, 0x40, 1},   {3, 2, 0x80, 2},
        {3, 3, 0xC0, 3}, {3, 255, 0x00, 0}, // "DefaultKeyId" absent: key 0, announced as key 0
        {3, 5, 0x00, 0},                    // any id above 3 likewise
        {7, 2, 0x00, 0},                    // 104-bit: key 0's 13 bytes, announced as key 0
        {1, 3, 0xC0, 3},                    // any odd value but 7 is 40-bit
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << "mode " << c.wepRequired << " id " << c.id);
        Keys k = SampleKeys(c.wepRequired, c.id);
        auto a = NewAdapter();
        Register(a.get(), k, 0);
        const std::vector<std::uint8_t> body(20, 0x5A);
        auto field = SealFrame(a.get(), body);
        EXPECT_EQ(field[3], c.keyIdByte);

        auto seed = Seed(k, field.data(), c.keyUsed);
        EXPECT_EQ(0, std::memcmp(a->key, seed.data(), seed.size()));
        std::vector<std::uint8_t> ks(24);
        talref::keystream(seed, ks);
        for (int n = 0; n < 20; n++)
            EXPECT_EQ(field[4 + n] ^ ks[n], 0x5A) << n;

        auto rx = NewAdapter();
        Register(rx.get(), SampleKeys(c.wepRequired, 0));
        EXPECT_TRUE(wep_rx_open(rx.get(), field.data(), static_cast<USHORT>(field.size())));
        EXPECT_TRUE(std::equal(body.begin(), body.end(), field.begin() + 4));
    }
}

TEST(WepKeys, ReceiveHeaderSelectsKeyByTopBits) {
    struct Case {
        ULONG wepRequired;
        std::uint8_t idByte;
        unsigned keyUsed;
    };
    const Case cases[] = {
        {3, 0x00, 0}, {3, 0x41, 1}, {3, 0x80, 2}, {3, 0xC1, 3}, {3, 0x3F, 0}, {7, 0xC0, 3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << "mode " << c.wepRequired << " byte " << int(c.idByte));
        Keys k = SampleKeys(c.wepRequired);
        auto a = NewAdapter();
        Register(a.get(), k);
        std::uint8_t field[4 + 32] = {0x10, 0x20, 0x30, c.idByte};
        wep_rx_setkey(a.get(), field);
        wep_decrypt(a.get(), field + 4, 32);

        auto seed = Seed(k, field, c.keyUsed);
        EXPECT_EQ(0, std::memcmp(a->rx_key, seed.data(), seed.size()));
        std::vector<std::uint8_t> ks(32);
        talref::keystream(seed, ks);
        EXPECT_EQ(0, std::memcmp(field + 4, ks.data(), 32));
    }
}

// ---------------------------------------------------------------------------
// Receive keystream cache
// ---------------------------------------------------------------------------

TEST(WepRxCache, SameSeedKeepsKeystreamOtherSeedStartsAnew) {
    Keys k = SampleKeys();
    std::memcpy(k.key[2], k.key[1], 14); // keys 1 and 2 equal
    auto a = NewAdapter();
    Register(a.get(), k);
    std::uint8_t buf[300] = {};

    const std::uint8_t h1[4] = {1, 2, 3, 0x40};
    wep_rx_setkey(a.get(), h1);
    wep_decrypt(a.get(), buf, 200);
    EXPECT_EQ(a->rx_wepBoxValid, 200);

    wep_rx_setkey(a.get(), h1); // same IV and key id
    EXPECT_EQ(a->rx_wepBoxValid, 200);

    const std::uint8_t h2[4] = {1, 2, 3, 0x80}; // other id, same key bytes
    wep_rx_setkey(a.get(), h2);
    EXPECT_EQ(a->rx_wepBoxValid, 200);

    const std::uint8_t h3[4] = {1, 2, 3, 0x00}; // other id, other key
    wep_rx_setkey(a.get(), h3);
    EXPECT_EQ(a->rx_wepBoxValid, 0);

    const std::uint8_t h4[4] = {1, 2, 4, 0x00}; // other IV
    wep_decrypt(a.get(), buf, 10);
    wep_rx_setkey(a.get(), h4);
    EXPECT_EQ(a->rx_wepBoxValid, 0);
}

TEST(WepRxCache, ZeroSeedRightAfterRegistrationIsDecrypted) {
    Keys k; // all-zero keys
    auto a = NewAdapter();
    Register(a.get(), k);
    const std::uint8_t h[4] = {0, 0, 0, 0}; // seed equals the cleared rx_key
    std::vector<std::uint8_t> ks(64), buf(64, 0);
    talref::keystream(Seed(k, h, 0), ks);
    wep_rx_setkey(a.get(), h);
    wep_decrypt(a.get(), buf.data(), 64);
    EXPECT_EQ(buf, ks);
}

// A frame opened when the cache already holds some keystream of its seed:
// the engine goes on from there (single steps up to a 16-step group, whole
// groups, single steps after) and must give the reference bytes, ICV and
// cache for every split of cached and new keystream and every body length
// around a 16-byte step.
TEST(WepRxCache, OpenExtendsTheCachedKeystreamFromAnyPoint) {
    std::mt19937 rng(16);
    Keys k = SampleKeys();
    const std::uint8_t h[4] = {0x21, 0x43, 0x65, 0x40};
    std::vector<std::uint8_t> ks(TAL_WEPBOX_SIZE);
    talref::keystream(Seed(k, h, 1), ks);
    for (std::size_t cached : {0u, 1u, 4u, 14u, 15u, 16u, 17u, 31u, 33u, 244u, 1000u}) {
        for (std::size_t blen : {0u, 1u, 11u, 12u, 13u, 27u, 28u, 29u, 44u, 1500u, 1501u, 2344u}) {
            SCOPED_TRACE(::testing::Message() << "cached " << cached << " body " << blen);
            auto a = NewAdapter();
            Register(a.get(), k);
            std::vector<std::uint8_t> scratch(cached);
            wep_rx_setkey(a.get(), h);
            wep_decrypt(a.get(), scratch.data(), static_cast<USHORT>(cached));

            auto body = RandomBytes(rng, blen);
            std::uint32_t icv = talref::crc32(body);
            std::vector<std::uint8_t> field(h, h + 4);
            field.insert(field.end(), body.begin(), body.end());
            for (int n = 0; n < 4; n++)
                field.push_back(static_cast<std::uint8_t>(icv >> (8 * n)));
            for (std::size_t n = 4; n < field.size(); n++)
                field[n] ^= ks[n - 4];

            ASSERT_TRUE(wep_rx_open(a.get(), field.data(), static_cast<USHORT>(field.size())));
            EXPECT_TRUE(std::equal(body.begin(), body.end(), field.begin() + 4));
            const std::uint8_t *q = field.data() + 4 + blen;
            EXPECT_EQ(q[0] | q[1] << 8 | q[2] << 16 | static_cast<std::uint32_t>(q[3]) << 24, icv);
            std::size_t valid = std::max(cached, blen + 4);
            EXPECT_EQ(a->rx_wepBoxValid, valid);
            EXPECT_EQ(0, std::memcmp(a->rx_wepBox, ks.data(), valid));
        }
    }
}

// Many frames, mixed lengths, IVs and key ids: every opened frame equals
// what a receiver that rebuilds the whole block per seed produces.
TEST(WepRxCache, RandomTrafficMatchesWholeBlockRebuild) {
    std::mt19937 rng(1042);
    Keys k = SampleKeys();
    auto a = NewAdapter();
    Register(a.get(), k, 0);
    talref::PlainReceiver plain;
    std::uint8_t iv[3] = {};
    for (int f = 0; f < 400; f++) {
        if (rng() % 3 == 0) {
            iv[0] = static_cast<std::uint8_t>(rng());
            iv[2] = static_cast<std::uint8_t>(rng() % 2);
        }
        std::size_t len = 8 + rng() % 2300;
        auto field = RandomBytes(rng, len);
        std::memcpy(field.data(), iv, 3);
        field[3] = static_cast<std::uint8_t>((rng() % 4) << 6);
        auto mine = field;
        plain.setkey(Seed(k, field.data(), field[3] >> 6));
        bool okPlain = plain.open(field);
        EXPECT_EQ(wep_rx_open(a.get(), mine.data(), static_cast<USHORT>(len)) != FALSE, okPlain);
        ASSERT_EQ(mine, field) << "frame " << f;
        if (rng() % 4 == 0)
            wep_tx_nextiv(a.get());
    }
}

// ---------------------------------------------------------------------------
// Sealed data field and its integrity check
// ---------------------------------------------------------------------------

// IV header in clear, then body and ICV (the CRC-32, least significant byte
// first) under the keystream of IV and key: the nine digits, and nothing.
TEST(WepSeal, DataFieldIsHeaderCiphertextAndIcv) {
    struct Case {
        std::vector<std::uint8_t> body;
        std::uint8_t icv[4];
    };
    const Case cases[] = {{{'1', '2', '3', '4', '5', '6', '7', '8', '9'}, {0x26, 0x39, 0xF4, 0xCB}},
                          {{}, {0, 0, 0, 0}}};
    Keys k = SampleKeys(3, 2);
    for (const auto &c : cases) {
        auto a = NewAdapter();
        Register(a.get(), k, 0);
        auto field = SealFrame(a.get(), c.body);
        ASSERT_EQ(field.size(), c.body.size() + 8);
        const std::uint8_t header[4] = {1, 0, 0, 0x80};
        EXPECT_EQ(0, std::memcmp(field.data(), header, 4));
        std::vector<std::uint8_t> ks(c.body.size() + 4);
        talref::keystream(Seed(k, header, 2), ks);
        for (std::size_t n = 0; n < ks.size(); n++)
            EXPECT_EQ(field[4 + n] ^ ks[n],
                      n < c.body.size() ? c.body[n] : c.icv[n - c.body.size()])
                << n;
    }
}

TEST(WepSeal, OpenRestoresBodyForEveryModeAndLength) {
    std::mt19937 rng(802);
    // 104-bit mode runs with key id 0 (the id is forced to 0 there).
    const std::pair<ULONG, ULONG> modes[] = {{3, 0}, {3, 3}, {7, 0}};
    for (auto [mode, id] : modes) {
        Keys k = SampleKeys(mode, id);
        auto tx = NewAdapter();
        auto rx = NewAdapter();
        Register(tx.get(), k, 2);
        Register(rx.get(), k);
        for (std::size_t len : {0u, 1u, 7u, 64u, 1500u, 1508u, 2296u}) {
            auto body = RandomBytes(rng, len);
            auto field = SealFrame(tx.get(), body);
            ASSERT_EQ(field.size(), len + 8);
            EXPECT_EQ(0, std::memcmp(field.data(), tx->iv, 4));
            EXPECT_TRUE(wep_rx_open(rx.get(), field.data(), static_cast<USHORT>(field.size())))
                << "mode " << mode << " id " << id << " len " << len;
            EXPECT_EQ(0, std::memcmp(field.data(), tx->iv, 4));
            EXPECT_TRUE(std::equal(body.begin(), body.end(), field.begin() + 4));
        }
    }
}

TEST(WepOpen, AnyFlippedBitFailsTheIntegrityCheck) {
    Keys k = SampleKeys();
    auto tx = NewAdapter();
    auto rx = NewAdapter();
    Register(tx.get(), k);
    Register(rx.get(), k);
    std::mt19937 rng(11);
    auto body = RandomBytes(rng, 100);
    const auto sealed = SealFrame(tx.get(), body);
    for (std::size_t bit = 4 * 8; bit < sealed.size() * 8; bit += 7) {
        auto field = sealed;
        field[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        EXPECT_FALSE(wep_rx_open(rx.get(), field.data(), static_cast<USHORT>(field.size())))
            << "bit " << bit;
    }
    auto field = sealed;
    EXPECT_TRUE(wep_rx_open(rx.get(), field.data(), static_cast<USHORT>(field.size())));
}

TEST(WepOpen, RefusesFieldsTooShortOrTooLongUntouched) {
    auto a = NewAdapter();
    Register(a.get(), SampleKeys());
    std::vector<std::uint8_t> field(2400, 0x33);
    for (USHORT dlen : {0, 1, 4, 7, TAL_WEPBOX_SIZE + 5}) {
        EXPECT_FALSE(wep_rx_open(a.get(), field.data(), dlen)) << dlen;
        EXPECT_TRUE(std::all_of(field.begin(), field.end(), [](auto b) { return b == 0x33; }));
    }
    EXPECT_EQ(a->rx_wepBoxValid, 0);
    // The largest field the keystream covers is accepted for decryption.
    wep_rx_open(a.get(), field.data(), TAL_WEPBOX_SIZE + 4);
    EXPECT_EQ(a->rx_wepBoxValid, TAL_WEPBOX_SIZE);
}

} // namespace
