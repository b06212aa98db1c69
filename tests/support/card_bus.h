// The card model alone on its bus face: a World, a PortBus and the model
// mapped at 0x300, driven port by port as hardware would be, with the
// steps a host takes (a command, a path transfer, a buffer allocation).
#pragma once

#include "card/card.h"

#include "portbus.h"
#include "world.h"

#include <gtest/gtest.h>

#include <vector>

namespace taltest {

class CardBusFixture : public ::testing::Test {
protected:
    static constexpr uint32_t kBase = 0x300;

    CardBusFixture() { bus.map(kBase, talsim::kPortCount, &card); }

    uint16_t rd(uint16_t off) { return bus.read16(kBase + off); }
    void wr(uint16_t off, uint16_t v) { bus.write16(kBase + off, v); }

    // Runs the clock a microsecond at a time until `event` rises.
    void run_until(uint16_t event) {
        for (int i = 0; i < 100000 && !(rd(talsim::reg::EvStat) & event); ++i)
            world.stall(1);
        ASSERT_TRUE(rd(talsim::reg::EvStat) & event) << "event " << event << " never rose";
    }

    // Writes parameters and command, runs the clock until the command event,
    // acknowledges it and returns the result code.
    uint16_t command(uint16_t word, uint16_t p0 = 0, uint16_t p1 = 0) {
        using namespace talsim;
        wr(reg::Param0, p0);
        wr(reg::Param1, p1);
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

    talhost::World world;
    talhost::PortBus bus;
    talsim::CardModel card{world};
};

} // namespace taltest
