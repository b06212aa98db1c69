// RC4, CRC-32 and the XOR passes of the host WEP engine, against published
// vectors, OpenSSL and a byte-at-a-time model (its own CRC table, so a wrong
// entry of the engine's shows in every comparison).
#include <gtest/gtest.h>
#include <openssl/rc4.h>

#include <array>
#include <random>

#include "wep_reference.h"
#include "wep_support.h"

namespace {

using weptest::NewAdapter;

struct Rc4Vector {
    unsigned offset;
    std::array<std::uint8_t, 16> bytes;
};

// RFC 6229 keystream for key 0x0102030405 (40 bits), around the 16-step
// groups and the end of the first block.
const Rc4Vector kRfc6229Key40[] = {
    {0,
     {0xb2, 0x39, 0x63, 0x05, 0xf0, 0x3d, 0xc0, 0x27, 0xcc, 0xc3, 0x52, 0x4a, 0x0a, 0x11, 0x18,
      0xa8}},
    {16,
     {0x69, 0x82, 0x94, 0x4f, 0x18, 0xfc, 0x82, 0xd5, 0x89, 0xc4, 0x03, 0xa4, 0x7a, 0x0d, 0x09,
      0x19}},
    {240,
     {0x28, 0xcb, 0x11, 0x32, 0xc9, 0x6c, 0xe2, 0x86, 0x42, 0x1d, 0xca, 0xad, 0xb8, 0xb6, 0x9e,
      0xae}},
    {256,
     {0x1c, 0xfc, 0xf6, 0x2b, 0x03, 0xed, 0xdb, 0x64, 0x1d, 0x77, 0xdf, 0xcf, 0x7f, 0x8d, 0x8c,
      0x93}},
    {1520,
     {0x32, 0x94, 0xf7, 0x44, 0xd8, 0xf9, 0x79, 0x05, 0x07, 0xe7, 0x0f, 0x62, 0xe5, 0xbb, 0xce,
      0xea}},
    {2032,
     {0x1e, 0xb1, 0x4a, 0x0c, 0x13, 0xb3, 0xbf, 0x47, 0xfa, 0x2a, 0x0b, 0xa9, 0x3a, 0xd4, 0x5b,
      0x8b}},
    {2048,
     {0xcc, 0x58, 0x2f, 0x8b, 0xa9, 0xf2, 0x65, 0xe2, 0xb1, 0xbe, 0x91, 0x12, 0xe9, 0x75, 0xd2,
      0xd7}},
};

TEST(WepRc4, MatchesPublishedVectorsFor40BitKey) {
    const std::uint8_t key[] = {1, 2, 3, 4, 5};
    auto a = NewAdapter();
    wep_initprng(a.get(), key, 5);
    EXPECT_EQ(a->prng.i, 0);
    EXPECT_EQ(a->prng.j, 0);
    wep_block_init(a.get(), a->tx_wepBox);
    for (const auto &v : kRfc6229Key40) {
        SCOPED_TRACE(v.offset);
        EXPECT_EQ(0, std::memcmp(a->tx_wepBox + v.offset, v.bytes.data(), 16));
    }
}

// Seeds of every length the schedule takes apart (the 8- and 16-byte seeds
// of WEP, others through its general path); a second block goes on with
// the stream, from the indices the first left.
TEST(WepRc4, BlocksMatchOpenSslForRandomSeedsOfEveryLength) {
    std::mt19937 rng(6229);
    auto a = NewAdapter();
    for (int round = 0; round < 40; round++) {
        const USHORT lengths[] = {5, 8, 13, 16};
        USHORT klen = lengths[round % 4];
        std::uint8_t seed[16];
        for (auto &b : seed)
            b = static_cast<std::uint8_t>(rng());
        wep_initprng(a.get(), seed, klen);
        wep_block_init(a.get(), a->tx_wepBox);
        EXPECT_EQ(a->prng.i, TAL_WEPBOX_SIZE % 256) << "the indices after 2348 steps";
        wep_block_init(a.get(), a->rx_wepBox);

        RC4_KEY ossl;
        RC4_set_key(&ossl, klen, seed);
        std::vector<std::uint8_t> zero(2 * TAL_WEPBOX_SIZE), expect(2 * TAL_WEPBOX_SIZE);
        RC4(&ossl, zero.size(), zero.data(), expect.data());
        ASSERT_EQ(0, std::memcmp(a->tx_wepBox, expect.data(), TAL_WEPBOX_SIZE))
            << "round " << round;
        ASSERT_EQ(0, std::memcmp(a->rx_wepBox, expect.data() + TAL_WEPBOX_SIZE, TAL_WEPBOX_SIZE))
            << "round " << round;
    }
}

TEST(WepCrc32, CheckValueOfTheNineDigits) {
    auto a = NewAdapter();
    crc32_mktable(a.get());
    const UCHAR digits[] = "123456789";
    EXPECT_EQ(crc32_blockfinish(crc32_block(a.get(), CRC32_INIT, digits, 9)), 0xCBF43926u);
    EXPECT_EQ(crc32_blockfinish(crc32_block(a.get(), CRC32_INIT, digits, 0)), 0u);
    EXPECT_EQ(crc32_blockfinish(0x12345678u), 0xEDCBA987u);
}

TEST(WepCrc32, EveryLengthAndAlignmentMatchesByteAtATime) {
    std::mt19937 rng(32);
    std::vector<std::uint8_t> buf(TAL_WEPBOX_SIZE + 16);
    for (auto &b : buf)
        b = static_cast<std::uint8_t>(rng());
    auto a = NewAdapter();
    crc32_mktable(a.get());
    for (unsigned align = 0; align < 8; align++) {
        for (unsigned len = 0; len <= TAL_WEPBOX_SIZE; len++) {
            std::span<const std::uint8_t> p(buf.data() + align, len);
            std::uint32_t start = len % 3 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(rng());
            ASSERT_EQ(crc32_block(a.get(), start, p.data(), static_cast<USHORT>(len)),
                      talref::crc_update(start, p))
                << "len " << len << " align " << align;
        }
    }
}

// Both XOR passes against data[n] ^= box[n], for every length and several
// alignments of the data; bytes around the range must stay untouched.
TEST(WepXor, EveryLengthAndAlignmentMatchesByteAtATime) {
    std::mt19937 rng(2348);
    auto a = NewAdapter();
    for (auto &b : a->tx_wepBox)
        b = static_cast<UCHAR>(rng());
    // A receive keystream already fully valid, so decrypt only XORs.
    std::uint8_t seed[8] = {9, 8, 7, 6, 5, 4, 3, 2};
    wep_rx_setkey(a.get(), seed); // key 0 is all zero, seed = 09 08 07 + zeros
    std::vector<std::uint8_t> data(TAL_WEPBOX_SIZE + 24), work;
    for (auto &b : data)
        b = static_cast<std::uint8_t>(rng());
    for (int dir = 0; dir < 2; dir++) {
        const UCHAR *box = dir == 0 ? a->tx_wepBox : a->rx_wepBox;
        if (dir == 1) {
            work = data;
            wep_decrypt(a.get(), work.data(), TAL_WEPBOX_SIZE); // make all valid
        }
        for (unsigned align : {0u, 1u, 3u, 4u, 7u}) {
            for (unsigned len = 0; len <= TAL_WEPBOX_SIZE; len++) {
                work = data;
                PUCHAR p = work.data() + 8 + align;
                if (dir == 0)
                    wep_encrypt(a.get(), p, static_cast<USHORT>(len));
                else
                    wep_decrypt(a.get(), p, static_cast<USHORT>(len));
                std::vector<std::uint8_t> expect = data;
                for (unsigned n = 0; n < len; n++)
                    expect[8 + align + n] ^= box[n];
                ASSERT_EQ(work, expect) << "dir " << dir << " len " << len << " align " << align;
            }
        }
    }
}

} // namespace
