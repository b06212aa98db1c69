// The hardware layer's byte routines.
#include <gtest/gtest.h>

#include <vector>

#include "mac/talutil.h"

namespace {

TEST(ByteRoutines, HexPairConversion) {
    struct Case {
        char low, high;
        BOOLEAN ok;
        UCHAR value;
    } cases[] = {
        {'f', 'A', TRUE, 0xAF},  {'0', '0', TRUE, 0x00},  {'9', 'F', TRUE, 0xF9},
        {'a', '1', TRUE, 0x1A},  {'0', 'g', FALSE, 0x77}, {'G', '0', FALSE, 0x77},
        {'/', '0', FALSE, 0x77}, {':', '0', FALSE, 0x77}, {'@', '0', FALSE, 0x77},
        {0, '0', FALSE, 0x77},
    };
    for (const Case &c : cases) {
        UCHAR v = 0x77;
        EXPECT_EQ(talBYTE2Hex((UCHAR)c.low, (UCHAR)c.high, &v), c.ok) << c.high << c.low;
        EXPECT_EQ(v, c.value) << c.high << c.low;
    }
}

TEST(ByteRoutines, CopyAndFillUseTheirEightBitCountExactly) {
    std::vector<UCHAR> src(300), dst(300, 0xEE);
    for (size_t i = 0; i < src.size(); i++)
        src[i] = (UCHAR)i;
    talMemcpy(dst.data(), src.data(), 255);
    EXPECT_TRUE(std::equal(src.begin(), src.begin() + 255, dst.begin()));
    EXPECT_EQ(dst[255], 0xEE);

    std::vector<UCHAR> buf(4, 0x11);
    talMemset(buf.data(), 0x5A, 0);
    EXPECT_EQ(buf, std::vector<UCHAR>(4, 0x11));
    talMemset(buf.data(), 0x5A, 3);
    EXPECT_EQ(buf, (std::vector<UCHAR>{0x5A, 0x5A, 0x5A, 0x11}));
    talMemcpy(buf.data(), src.data(), 0);
    EXPECT_EQ(buf[0], 0x5A);
}

} // namespace
