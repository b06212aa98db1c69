// The air capture tap: the pcap file it writes, byte for byte, and its place
// in a chain of sinks behind the card.
#include "air/capture.h"
#include "card/card.h"
#include "support/bytes.h"

#include "portbus.h"
#include "world.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace talsim;
using taltest::Bytes;
using taltest::le32;
using taltest::operator+;

namespace {

Bytes read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string temp_path(const char *name) {
    std::string p = testing::TempDir() + "tal_capture_" + name + ".pcap";
    std::remove(p.c_str());
    return p;
}

// Global header: magic a1b2c3d4 (host order, little-endian here), version
// 2.4, zone 0, sigfigs 0, snap length 65535, link type 127.
const Bytes kGlobalHeader{0xD4, 0xC3, 0xB2, 0xA1, 0x02, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0x7F, 0x00, 0x00, 0x00};

AirFrame frame(Bytes bytes, uint8_t rate, uint8_t channel, bool short_preamble, uint64_t end_us) {
    AirFrame f;
    f.bytes = std::move(bytes);
    f.rate = rate;
    f.channel = channel;
    f.short_preamble = short_preamble;
    f.start_us = end_us - 300;
    f.end_us = end_us;
    return f;
}

TEST(PcapTap, WritesGlobalHeaderRadiotapAndFrameWithVirtualTimestamps) {
    std::string path = temp_path("exact");
    const Bytes a{0x08, 0x01, 0xD5, 0x00, 1, 2, 3};
    const Bytes b{0x08, 0x42, 0x00, 0x00};
    {
        PcapTap tap(path);
        ASSERT_TRUE(tap.ok()) << tap.error();
        tap.on_air(frame(a, 22, 6, false, 3'000'123));
        tap.on_air(frame(b, 4, 14, true, 3'999'999'999ull));
        EXPECT_EQ(tap.frames_written(), 2u);
    }
    Bytes rec_a = le32(3) + le32(123) + le32(14 + 7) + le32(14 + 7) +
                  Bytes{0x00, 0x00, 0x0E, 0x00, 0x0E, 0x00, 0x00, 0x00, // version, length, present
                        0x00, 0x16, 0x85, 0x09, 0xA0, 0x00} + // flags, 11 Mb/s, 2437 MHz, 2 GHz CCK
                  a;
    Bytes rec_b = le32(3999) + le32(999'999) + le32(14 + 4) + le32(14 + 4) +
                  Bytes{0x00, 0x00, 0x0E, 0x00, 0x0E, 0x00, 0x00, 0x00,
                        0x02, 0x04, 0xB4, 0x09, 0xA0, 0x00} + // short preamble, 2 Mb/s, 2484 MHz
                  b;
    EXPECT_EQ(read_file(path), kGlobalHeader + rec_a + rec_b);
}

TEST(PcapTap, ForwardsEveryFrameToTheNextSink) {
    std::string path = temp_path("chain");
    AirRecorder end;
    PcapTap tap(path, &end);
    AirFrame f = frame({0x08, 0x00}, 2, 1, false, 500);
    tap.on_air(f);
    ASSERT_EQ(end.frames().size(), 1u);
    EXPECT_EQ(end.frames()[0], f);
}

TEST(PcapTap, UnwritablePathIsReportedAndFramesStillFlow) {
    AirRecorder end;
    PcapTap tap(testing::TempDir() + "no/such/dir/x.pcap", &end);
    EXPECT_FALSE(tap.ok());
    EXPECT_FALSE(tap.error().empty());
    tap.on_air(frame({0x08, 0x00}, 2, 1, false, 500));
    EXPECT_EQ(end.frames().size(), 1u);
    EXPECT_EQ(tap.frames_written(), 0u);
}

// The card hands its frames to a tap chain; the file holds them with the
// time they ended on the air.
TEST(PcapTap, CapturesWhatTheCardTransmits) {
    std::string path = temp_path("card");
    talhost::World world;
    talhost::PortBus bus;
    CardModel card(world);
    bus.map(0x300, kPortCount, &card);
    AirRecorder seen;
    PcapTap tap(path, &seen);
    card.set_air_sink(&tap);
    card.join({0x00, 0x60, 0x1D, 0x11, 0x22, 0x33}, 11);
    world.run_until(1'000'000);

    auto command = [&](uint16_t word, uint16_t p0) {
        bus.write16(0x300 + reg::Param0, p0);
        bus.write16(0x300 + reg::Command, word);
        while (!(bus.read16(0x300 + reg::EvStat) & ev::Cmd))
            world.stall(1);
        bus.write16(0x300 + reg::EvAck, ev::Cmd);
    };
    command(0x0001, 0);
    card.records().set(rid::ShortPreamble, {1});
    uint16_t fid = card.frames().allocate(2364);
    Bytes body{0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00, 0x45};
    std::vector<uint8_t> &buf = *card.frames().buffer(fid);
    std::fill(buf.begin() + 0x2E, buf.begin() + 0x3A, 0x11);
    buf[0x3A] = 0;
    buf[0x3B] = (uint8_t)body.size();
    std::copy(body.begin(), body.end(), buf.begin() + 0x3C);
    command(0x010B, fid);
    world.stall(1000);
    tap.close();

    ASSERT_EQ(seen.frames().size(), 1u);
    const AirFrame &f = seen.frames()[0];
    EXPECT_EQ(f.channel, 11);
    EXPECT_TRUE(f.short_preamble);
    Bytes rec = le32((uint32_t)(f.end_us / 1'000'000)) + le32((uint32_t)(f.end_us % 1'000'000)) +
                le32(14 + (uint32_t)f.bytes.size()) + le32(14 + (uint32_t)f.bytes.size()) +
                Bytes{0x00, 0x00, 0x0E, 0x00, 0x0E, 0x00, 0x00,
                      0x00, 0x02, 0x16, 0x9E, 0x09, 0xA0, 0x00} + // 2462 MHz
                f.bytes;
    EXPECT_EQ(read_file(path), kGlobalHeader + rec);
    EXPECT_EQ(f.end_us - f.start_us, 96u + (24 + 9 + 4) * 8 * 2 / 22 + 1);
}

} // namespace
