// The card model alone on its bus face: a World, a PortBus and the model
// mapped at 0x300, driven port by port as hardware would be, with the
// steps a host takes (a command, a path transfer, a buffer allocation, a
// transmit, a receive FID read).
#pragma once

#include "card/card.h"

#include "portbus.h"
#include "world.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <vector>

namespace taltest {

// The card transmit frame as a driver writes it: control block and 802.11
// header zero, 802.3 addresses, big-endian length (the body's unless
// `length_field` says otherwise), body.
inline std::vector<uint8_t> card_tx_frame(const std::array<uint8_t, 6> &dst,
                                          const std::array<uint8_t, 6> &src,
                                          const std::vector<uint8_t> &body, int length_field = -1) {
    std::vector<uint8_t> f(0x2E, 0);
    f.insert(f.end(), dst.begin(), dst.end());
    f.insert(f.end(), src.begin(), src.end());
    uint16_t len = length_field < 0 ? (uint16_t)body.size() : (uint16_t)length_field;
    f.push_back((uint8_t)(len >> 8));
    f.push_back((uint8_t)len);
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

// A receive FID as a host reads it: control block, headers, body.
struct RxFid {
    uint16_t fid;
    std::vector<uint8_t> bytes;
    uint16_t status() const { return (uint16_t)(bytes[0] | bytes[1] << 8); }
    uint16_t data_len() const {
        return (uint16_t)(bytes[talsim::rxf::DataLen] | bytes[talsim::rxf::DataLen + 1] << 8);
    }
    std::vector<uint8_t> body() const {
        return std::vector<uint8_t>(bytes.begin() + talsim::rxf::Body, bytes.end());
    }
};

class CardBusFixture : public ::testing::Test {
protected:
    static constexpr uint32_t kBase = 0x300;

    explicit CardBusFixture(const talsim::FactoryData &factory = {}) : card(world, factory) {
        bus.map(kBase, talsim::kPortCount, &card);
    }

    uint16_t rd(uint16_t off) { return bus.read16(kBase + off); }
    void wr(uint16_t off, uint16_t v) { bus.write16(kBase + off, v); }

    // Runs the clock a microsecond at a time until `event` rises.
    void run_until(uint16_t event) {
        for (int i = 0; i < 200000 && !(rd(talsim::reg::EvStat) & event); ++i)
            world.stall(1);
        ASSERT_TRUE(rd(talsim::reg::EvStat) & event) << "event " << event << " never rose";
    }

    // Writes parameters and command, runs the clock until the command event,
    // acknowledges it and returns the result code.
    uint16_t command(uint16_t word, uint16_t p0 = 0, uint16_t p1 = 0, uint16_t p2 = 0) {
        using namespace talsim;
        wr(reg::Param0, p0);
        wr(reg::Param1, p1);
        wr(reg::Param2, p2);
        wr(reg::Command, word);
        run_until(ev::Cmd);
        uint16_t result = (rd(reg::Status) >> 8) & 0x7F;
        wr(reg::EvAck, ev::Cmd);
        return result;
    }

    // Points a path at `id` and waits until its busy bit clears.
    void point(int path, uint16_t id, uint16_t offset = 0) {
        using namespace talsim;
        wr(path ? reg::Select1 : reg::Select0, id);
        wr(path ? reg::Offset1 : reg::Offset0, offset);
        world.stall(card.timing().path_busy_us);
        ASSERT_FALSE(rd(path ? reg::Offset1 : reg::Offset0) & kBusy);
    }

    std::vector<uint16_t> read_words(uint16_t id, size_t n) {
        point(0, id);
        std::vector<uint16_t> out;
        for (size_t i = 0; i < n; ++i)
            out.push_back(rd(talsim::reg::Data0));
        return out;
    }

    std::vector<uint8_t> read_bytes(uint16_t id, size_t n) {
        std::vector<uint8_t> out;
        for (uint16_t w : read_words(id, (n + 1) / 2)) {
            out.push_back((uint8_t)w);
            out.push_back((uint8_t)(w >> 8));
        }
        out.resize(n);
        return out;
    }

    void write_bytes(uint16_t id, const std::vector<uint8_t> &bytes) {
        point(1, id);
        for (size_t i = 0; i < bytes.size(); i += 2)
            wr(talsim::reg::Data1,
               (uint16_t)(bytes[i] | (i + 1 < bytes.size() ? bytes[i + 1] << 8 : 0)));
    }

    uint16_t allocate(uint16_t bytes = 2364) {
        using namespace talsim;
        EXPECT_EQ(command(0x000A, bytes), result::Ok);
        world.stall(card.timing().alloc_event_us);
        EXPECT_TRUE(rd(reg::EvStat) & ev::Alloc);
        wr(reg::EvAck, ev::Alloc);
        return rd(reg::AllocFid);
    }

    // Writes `frame` into the fixture's transmit buffer (allocated on first
    // use), issues `word` for it and runs the clock until the buffer is
    // back; returns the time the command completed.
    uint64_t transmit(const std::vector<uint8_t> &frame, uint16_t word = 0x010B) {
        if (!tx_fid)
            tx_fid = allocate(2400);
        write_bytes(tx_fid, frame);
        EXPECT_EQ(command(word, tx_fid), talsim::result::Ok);
        uint64_t done = world.now();
        run_until(talsim::ev::Alloc);
        return done;
    }

    // The receive FID waiting, if the receive event is up: read whole,
    // then acknowledged.
    std::optional<RxFid> take_rx() {
        using namespace talsim;
        if (!(rd(reg::EvStat) & ev::Rx))
            return std::nullopt;
        uint16_t fid = rd(reg::RxFid);
        std::vector<uint8_t> head = read_bytes(fid, rxf::Body);
        RxFid rx{fid,
                 read_bytes(fid, rxf::Body + (head[rxf::DataLen] | head[rxf::DataLen + 1] << 8))};
        wr(reg::EvAck, ev::Rx);
        return rx;
    }

    talhost::World world;
    talhost::PortBus bus;
    talsim::CardModel card;
    uint16_t tx_fid = 0;
};

} // namespace taltest
