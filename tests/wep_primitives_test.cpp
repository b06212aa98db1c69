// RC4, CRC-32 and the XOR passes of the host WEP engine, against published
// vectors, OpenSSL and a byte-at-a-time model.
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

// RFC 6229 keystream for key 0x0102030405 (40 bits).
const Rc4Vector kRfc6229Key40[] = {
    {0, {0xb2, 0x39, 0x63, 0x05, 0xf0, 0x3d, 0xc0, 0x27, 0xcc, 0xc3, 0x52, 0x4a, 0x0a, 0x11, 0x18, 0xa8}},
    {16, {0x69, 0x82, 0x94, 0x4f, 0x18, 0xfc, 0x82, 0xd5, 0x89, 0xc4, 0x03, 0xa4, 0x7a, 0x0d, 0x09, 0x19}},
    {240, {0x28, 0xcb, 0x11, 0x32, 0xc9, 0x6c, 0xe2, 0x86, 0x42, 0x1d, 0xca, 0xad, 0xb8, 0xb6, 0x9e, 0xae}},
    {256, {0x1c, 0xfc, 0xf6, 0x2b, 0x03, 0xed, 0xdb, 0x64, 0x1d, 0x77, 0xdf, 0xcf, 0x7f, 0x8d, 0x8c, 0x93}},
    {496, {0x42, 0xb7, 0xd0, 0xcd, 0xd9, 0x18, 0xa8, 0xa3, 0x3d, 0xd5, 0x17, 0x81, 0xc8, 0x1f, 0x40, 0x41}},
    {512, {0x64, 0x59, 0x84, 0x44, 0x32, 0xa7, 0xda, 0x92, 0x3c, 0xfb, 0x3e, 0xb4, 0x98, 0x06, 0x61, 0xf6}},
    {752, {0xec, 0x10, 0x32, 0x7b, 0xde, 0x2b, 0xee, 0xfd, 0x18, 0xf9, 0x27, 0x76, 0x80, 0x45, 0x7e, 0x22}},
    {768, {0xeb, 0x62, 0x63, 0x8d, 0x4f, 0x0b, 0xa1, 0xfe, 0x9f, 0xca, 0x20, 0xe0, 0x5b, 0xf8, 0xff, 0x2b}},
    {1008, {0x45, 0x12, 0x90, 0x48, 0xe6, 0xa0, 0xed, 0x0b, 0x56, 0xb4, 0x90, 0x33, 0x8f, 0x07, 0x8d, 0xa5}},
    {1024, {0x30, 0xab, 0xbc, 0xc7, 0xc2, 0x0b, 0x01, 0x60, 0x9f, 0x23, 0xee, 0x2d, 0x5f, 0x6b, 0xb7, 0xdf}},
    {1520, {0x32, 0x94, 0xf7, 0x44, 0xd8, 0xf9, 0x79, 0x05, 0x07, 0xe7, 0x0f, 0x62, 0xe5, 0xbb, 0xce, 0xea}},
    {1536, {0xd8, 0x72, 0x9d, 0xb4, 0x18, 0x82, 0x25, 0x9b, 0xee, 0x4f, 0x82, 0x53, 0x25, 0xf5, 0xa1, 0x30}},
    {2032, {0x1e, 0xb1, 0x4a, 0x0c, 0x13, 0xb3, 0xbf, 0x47, 0xfa, 0x2a, 0x0b, 0xa9, 0x3a, 0xd4, 0x5b, 0x8b}},
    {2048, {0xcc, 0x58, 0x2f, 0x8b, 0xa9, 0xf2, 0x65, 0xe2, 0xb1, 0xbe, 0x91, 0x12, 0xe9, 0x75, 0xd2, 0xd7}},
};

// RFC 6229 keystream for key 0x0102030405060708090a0b0c0d0e0f10 (128 bits).
const Rc4Vector kRfc6229Key128[] = {
    {0, {0x9a, 0xc7, 0xcc, 0x9a, 0x60, 0x9d, 0x1e, 0xf7, 0xb2, 0x93, 0x28, 0x99, 0xcd, 0xe4, 0x1b, 0x97}},
    {16, {0x52, 0x48, 0xc4, 0x95, 0x90, 0x14, 0x12, 0x6a, 0x6e, 0x8a, 0x84, 0xf1, 0x1d, 0x1a, 0x9e, 0x1c}},
    {240, {0x06, 0x59, 0x02, 0xe4, 0xb6, 0x20, 0xf6, 0xcc, 0x36, 0xc8, 0x58, 0x9f, 0x66, 0x43, 0x2f, 0x2b}},
    {256, {0xd3, 0x9d, 0x56, 0x6b, 0xc6, 0xbc, 0xe3, 0x01, 0x07, 0x68, 0x15, 0x15, 0x49, 0xf3, 0x87, 0x3f}},
    {496, {0xb6, 0xd1, 0xe6, 0xc4, 0xa5, 0xe4, 0x77, 0x1c, 0xad, 0x79, 0x53, 0x8d, 0xf2, 0x95, 0xfb, 0x11}},
    {512, {0xc6, 0x8c, 0x1d, 0x5c, 0x55, 0x9a, 0x97, 0x41, 0x23, 0xdf, 0x1d, 0xbc, 0x52, 0xa4, 0x3b, 0x89}},
    {752, {0xc5, 0xec, 0xf8, 0x8d, 0xe8, 0x97, 0xfd, 0x57, 0xfe, 0xd3, 0x01, 0x70, 0x1b, 0x82, 0xa2, 0x59}},
    {768, {0xec, 0xcb, 0xe1, 0x3d, 0xe1, 0xfc, 0xc9, 0x1c, 0x11, 0xa0, 0xb2, 0x6c, 0x0b, 0xc8, 0xfa, 0x4d}},
    {1008, {0xe7, 0xa7, 0x25, 0x74, 0xf8, 0x78, 0x2a, 0xe2, 0x6a, 0xab, 0xcf, 0x9e, 0xbc, 0xd6, 0x60, 0x65}},
    {1024, {0xbd, 0xf0, 0x32, 0x4e, 0x60, 0x83, 0xdc, 0xc6, 0xd3, 0xce, 0xdd, 0x3c, 0xa8, 0xc5, 0x3c, 0x16}},
    {1520, {0xb4, 0x01, 0x10, 0xc4, 0x19, 0x0b, 0x56, 0x22, 0xa9, 0x61, 0x16, 0xb0, 0x01, 0x7e, 0xd2, 0x97}},
    {1536, {0xff, 0xa0, 0xb5, 0x14, 0x64, 0x7e, 0xc0, 0x4f, 0x63, 0x06, 0xb8, 0x92, 0xae, 0x66, 0x11, 0x81}},
    {2032, {0xd0, 0x3d, 0x1b, 0xc0, 0x3c, 0xd3, 0x3d, 0x70, 0xdf, 0xf9, 0xfa, 0x5d, 0x71, 0x96, 0x3e, 0xbd}},
    {2048, {0x8a, 0x44, 0x12, 0x64, 0x11, 0xea, 0xa7, 0x8b, 0xd5, 0x1e, 0x8d, 0x87, 0xa8, 0x87, 0x9b, 0xf5}},
};

void ExpectKeystream(std::span<const std::uint8_t> key, std::span<const Rc4Vector> vectors)
{
    auto a = NewAdapter();
    wep_initprng(a.get(), key.data(), static_cast<USHORT>(key.size()));
    EXPECT_EQ(a->prng.i, 0);
    EXPECT_EQ(a->prng.j, 0);
    wep_block_init(a.get(), a->tx_wepBox);
    for (const auto &v : vectors) {
        SCOPED_TRACE(v.offset);
        EXPECT_EQ(0, std::memcmp(a->tx_wepBox + v.offset, v.bytes.data(), 16));
    }
}

TEST(WepRc4, MatchesPublishedVectorsFor40BitKey)
{
    const std::uint8_t key[] = {1, 2, 3, 4, 5};
    ExpectKeystream(key, kRfc6229Key40);
}

TEST(WepRc4, MatchesPublishedVectorsFor128BitKey)
{
    std::uint8_t key[16];
    for (int n = 0; n < 16; n++) key[n] = static_cast<std::uint8_t>(n + 1);
    ExpectKeystream(key, kRfc6229Key128);
}

TEST(WepRc4, BlockMatchesOpenSslForRandomSeeds)
{
    std::mt19937 rng(6229);
    auto a = NewAdapter();
    for (int round = 0; round < 40; round++) {
        USHORT klen = round % 2 ? 16 : 8;
        std::uint8_t seed[16];
        for (auto &b : seed) b = static_cast<std::uint8_t>(rng());
        wep_initprng(a.get(), seed, klen);
        wep_block_init(a.get(), a->tx_wepBox);

        RC4_KEY ossl;
        RC4_set_key(&ossl, klen, seed);
        std::vector<std::uint8_t> zero(TAL_WEPBOX_SIZE), expect(TAL_WEPBOX_SIZE);
        RC4(&ossl, zero.size(), zero.data(), expect.data());
        ASSERT_EQ(0, std::memcmp(a->tx_wepBox, expect.data(), TAL_WEPBOX_SIZE)) << "round " << round;
        // The stored indices are those after 2348 steps.
        EXPECT_EQ(a->prng.i, TAL_WEPBOX_SIZE % 256);
    }
}

TEST(WepRc4, SecondBlockContinuesTheStream)
{
    const std::uint8_t key[] = {1, 2, 3, 4, 5};
    auto a = NewAdapter();
    wep_initprng(a.get(), key, 5);
    wep_block_init(a.get(), a->tx_wepBox);
    wep_block_init(a.get(), a->rx_wepBox);

    std::vector<std::uint8_t> both(2 * TAL_WEPBOX_SIZE);
    talref::keystream(key, both);
    EXPECT_EQ(0, std::memcmp(a->tx_wepBox, both.data(), TAL_WEPBOX_SIZE));
    EXPECT_EQ(0, std::memcmp(a->rx_wepBox, both.data() + TAL_WEPBOX_SIZE, TAL_WEPBOX_SIZE));
}

TEST(WepCrc32, TableHoldsTheStandardEntries)
{
    auto a = NewAdapter();
    crc32_mktable(a.get());
    EXPECT_EQ(a->crc32_table[0], 0u);
    EXPECT_EQ(a->crc32_table[1], 0x77073096u);
    EXPECT_EQ(a->crc32_table[128], 0xEDB88320u);
    EXPECT_EQ(a->crc32_table[255], 0x2D02EF8Du);
    auto ref = talref::crc_table();
    EXPECT_EQ(0, std::memcmp(a->crc32_table, ref.data(), sizeof a->crc32_table));
}

TEST(WepCrc32, CheckValueOfTheNineDigits)
{
    auto a = NewAdapter();
    crc32_mktable(a.get());
    const UCHAR digits[] = "123456789";
    EXPECT_EQ(crc32_blockfinish(crc32_block(a.get(), CRC32_INIT, digits, 9)), 0xCBF43926u);
    EXPECT_EQ(crc32_blockfinish(crc32_block(a.get(), CRC32_INIT, digits, 0)), 0u);
    EXPECT_EQ(crc32_blockfinish(0x12345678u), 0xEDCBA987u);
}

TEST(WepCrc32, EveryLengthAndAlignmentMatchesByteAtATime)
{
    std::mt19937 rng(32);
    std::vector<std::uint8_t> buf(TAL_WEPBOX_SIZE + 16);
    for (auto &b : buf) b = static_cast<std::uint8_t>(rng());
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

TEST(WepCrc32, SplitUpdatesEqualOneUpdate)
{
    std::mt19937 rng(7);
    std::vector<std::uint8_t> buf(1500);
    for (auto &b : buf) b = static_cast<std::uint8_t>(rng());
    auto a = NewAdapter();
    crc32_mktable(a.get());
    ULONG whole = crc32_block(a.get(), CRC32_INIT, buf.data(), 1500);
    for (USHORT cut : {1, 15, 16, 17, 700, 1499}) {
        ULONG r = crc32_block(a.get(), CRC32_INIT, buf.data(), cut);
        r = crc32_block(a.get(), r, buf.data() + cut, static_cast<USHORT>(1500 - cut));
        EXPECT_EQ(r, whole) << "cut " << cut;
    }
}

// Both XOR passes against data[n] ^= box[n], for every length and several
// alignments of the data; bytes around the range must stay untouched.
TEST(WepXor, EveryLengthAndAlignmentMatchesByteAtATime)
{
    std::mt19937 rng(2348);
    auto a = NewAdapter();
    for (auto &b : a->tx_wepBox) b = static_cast<UCHAR>(rng());
    // A receive keystream already fully valid, so decrypt only XORs.
    std::uint8_t seed[8] = {9, 8, 7, 6, 5, 4, 3, 2};
    wep_rx_setkey(a.get(), seed); // key 0 is all zero, seed = 09 08 07 + zeros
    std::vector<std::uint8_t> data(TAL_WEPBOX_SIZE + 24), work;
    for (auto &b : data) b = static_cast<std::uint8_t>(rng());
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
                for (unsigned n = 0; n < len; n++) expect[8 + align + n] ^= box[n];
                ASSERT_EQ(work, expect) << "dir " << dir << " len " << len << " align " << align;
            }
        }
    }
}

} // namespace
