// The firmware image reader: S-record files into blocks, blocks into the
// download requests.
#include "fwimage.h"

#include "support/bytes.h"
#include "support/srecords.h"

#include <gtest/gtest.h>

using namespace talsim;
using taltest::Bytes;
using taltest::counting;
using taltest::srecord;

namespace {

FirmwareImage parse_ok(const std::string &text) {
    talhost::ParseError err;
    auto image = parse_srecords(text, "img.srec", err);
    EXPECT_TRUE(image) << err.message();
    return image.value_or(FirmwareImage{});
}

// Two files from objcopy -I binary -O srec --srec-forceS3 --change-addresses,
// concatenated, and one from plain -O srec (S1 records, S9 end).
const char kObjcopyOutput[] = "S0090000612E73726563BA\n"
                              "S31500010000000102030405060708090A0B0C0D0E0F71\n"
                              "S31500010010101112131415161718191A1B1C1D1E1F61\n"
                              "S30900010020202122234F\n"
                              "S70500010000F9\n"
                              "S0090000622E73726563B9\n"
                              "S30B00100000A0A1A2A3A4A515\n"
                              "S70500100000EA\n"
                              "S0090000632E73726563B8\r\n"
                              "S1098000A0A1A2A3A4A5A7\r\n"
                              "S90380007C\r\n";

TEST(FirmwareImage, ObjcopyOutputReadsAsOneBlockPerLoadAddress) {
    FirmwareImage image = parse_ok(kObjcopyOutput);
    Bytes six = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
    EXPECT_EQ(image.blocks, (std::vector<FirmwareBlock>{
                                {0x00008000, six}, {0x00010000, counting(36)}, {0x00100000, six}}));
    EXPECT_EQ(image.size(), 48u);
}

TEST(FirmwareImage, RecordsJoinWhateverTheirOrderAndCountsAreChecked) {
    std::string text = srecord('0', 2, 0, {'x'}) + srecord('3', 4, 0x2004, counting(4, 4)) +
                       srecord('2', 3, 0x2000, counting(4)) + "\n" +
                       srecord('3', 4, 0x200A, counting(2, 10)) + srecord('5', 2, 3, {}) +
                       srecord('0', 2, 0, {'y'}) + // a second file: its own count
                       srecord('1', 2, 0x2008, counting(2, 8)) + srecord('6', 3, 1, {});
    FirmwareImage image = parse_ok(text);
    EXPECT_EQ(image.blocks, (std::vector<FirmwareBlock>{{0x2000, counting(12)}}));
}

struct BadImage {
    std::string text;
    std::string message;
};

TEST(FirmwareImage, BadInputIsNamedWithItsFileAndLine) {
    const std::string ok = srecord('3', 4, 0x1000, {1, 2});
    const BadImage cases[] = {
        {ok + "X3070000100001020E\n", "img.srec:2: not an S-record (S and a type digit first)"},
        {ok + srecord('4', 2, 0, {}), "img.srec:2: no record type S4"},
        {"S3070000100001020\n", "img.srec:1: pairs of hexadecimal digits must follow the type"},
        {"S30700001000010G0E\n", "img.srec:1: pairs of hexadecimal digits must follow the type"},
        {"S3\n", "img.srec:1: pairs of hexadecimal digits must follow the type"},
        {"S30800001000010200\n", "img.srec:1: the byte count says 8, the record has 7"},
        {"S302FF00\n", "img.srec:1: too short for the address of an S3"},
        {"S3070000100001020F\n", "img.srec:1: checksum is 0x0F, the bytes give 0xE5"},
        {ok + srecord('3', 4, 0x1001, {3, 4}), "img.srec:2: overlaps the data of line 1"},
        {ok + srecord('3', 4, 0x1000, {3, 4}), "img.srec:2: overlaps the data of line 1"},
        {srecord('3', 4, 0x1001, {1, 2}),
         "img.srec:1: a block starts at the odd address 0x00001001 (the card takes 16-bit words)"},
        {ok + srecord('3', 4, 0x1002, {3}),
         "img.srec:2: a block ends at the odd address 0x00001003 (the card takes 16-bit words)"},
        {ok + srecord('5', 2, 2, {}),
         "img.srec:2: the record count says 2, 1 data records came before"},
        {srecord('3', 4, 0xFFFFFFFE, {1, 2, 3, 4}),
         "img.srec:1: data run past the 32-bit address space"},
        {srecord('0', 2, 0, {}) + "\n" + srecord('7', 4, 0, {}), "img.srec:3: no data records"},
        {"", "img.srec: no data records"},
    };
    for (const BadImage &c : cases) {
        SCOPED_TRACE(c.text);
        talhost::ParseError err;
        EXPECT_FALSE(parse_srecords(c.text, "img.srec", err));
        EXPECT_EQ(err.message(), c.message);
    }
}

TEST(FirmwareImage, MissingFileIsNamed) {
    talhost::ParseError err;
    EXPECT_FALSE(load_firmware_image("/nonexistent/fw.srec", err));
    EXPECT_EQ(err.message(), "/nonexistent/fw.srec: No such file or directory");
}

TEST(FirmwareImage, RequestsCutEachBlockIntoPiecesOfAtMost4096Words) {
    FirmwareImage image;
    Bytes big = counting(8194, 1);
    image.blocks = {{0x00001000, big}, {0x01020304, {0xEE, 0xFF}}};
    std::vector<DownloadRequest> expected = {
        {DownloadStep::Begin, {}},
        {DownloadStep::Header, {0x00, 0x00, 0x10, 0x00, 0x10, 0x00}},
        {DownloadStep::Data, Bytes(big.begin(), big.begin() + 8192)},
        {DownloadStep::Header, {0x00, 0x00, 0x30, 0x00, 0x00, 0x01}},
        {DownloadStep::Data, Bytes(big.begin() + 8192, big.end())},
        {DownloadStep::Header, {0x01, 0x02, 0x03, 0x04, 0x00, 0x01}},
        {DownloadStep::Data, {0xEE, 0xFF}},
        {DownloadStep::End, {}},
    };
    EXPECT_EQ(download_requests(image), expected);

    image.blocks = {{0x00001000, Bytes(8192, 7)}};
    EXPECT_EQ(download_requests(image).size(), 4u) << "a block of exactly 4096 words is one piece";
}

TEST(FirmwareImage, PiecesThatFollowOneAnotherJoinBackIntoTheirBlocks) {
    std::map<uint32_t, Bytes> pieces = {
        {0x1000, {1, 2}}, {0x1002, {3, 4}}, {0x1006, {5, 6}}, {0xFFFFFFFE, {7, 8}}};
    EXPECT_EQ(join_pieces(pieces),
              (std::vector<FirmwareBlock>{
                  {0x1000, {1, 2, 3, 4}}, {0x1006, {5, 6}}, {0xFFFFFFFE, {7, 8}}}));
}

} // namespace
