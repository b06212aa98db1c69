// The card model's peek: every register shows what a read from the bus
// would show at that moment, and looking changes nothing the bus can see.
#include "card/card.h"
#include "support/card_bus.h"

#include <gtest/gtest.h>

#include <functional>

using namespace talsim;

namespace {

class CardPeek : public taltest::CardBusFixture {
protected:
    void open_aux_port() {
        wr(reg::Param0, aux::Key0);
        wr(reg::Param1, aux::Key1);
        wr(reg::Param2, aux::Key2);
        wr(reg::Control, aux::EnableRequest);
        world.run_for(card.timing().aux_switch_us);
        ASSERT_TRUE(card.aux_port_enabled());
    }

    // Peeks every port, then reads it from the bus: the values agree, and the
    // peeks left no device error or trace record. The registers whose reads
    // move a pointer peek as all ones and are not read.
    void expect_peek_matches_reads(const char *state) {
        SCOPED_TRACE(state);
        card.trace().clear();
        card.trace().enable(64);
        uint16_t seen[kPortCount];
        uint64_t errors = card.device_error_count();
        for (uint16_t off = 0; off < kPortCount; ++off)
            seen[off] = card.peek(off);
        EXPECT_EQ(card.device_error_count(), errors);
        EXPECT_TRUE(card.trace().records().empty());
        for (uint16_t off = 0; off < kPortCount; ++off) {
            SCOPED_TRACE(off);
            if (off == reg::Data0 || off == reg::Data1 || off == reg::AuxData)
                EXPECT_EQ(seen[off], 0xFFFF);
            else
                EXPECT_EQ(seen[off], rd(off));
        }
        card.trace().disable();
    }
};

TEST_F(CardPeek, ShowsWhatAReadShowsAndActsOnNothing) {
    expect_peek_matches_reads("power-on");

    wr(reg::Param0, 0xFC03);
    wr(reg::Command, 0x0021);
    card.set_stuck_busy(Busy::Path1, true);
    wr(reg::Select0, 0x0200); // no such FID: an error once the path settles
    wr(reg::Offset0, 0x0004);
    expect_peek_matches_reads("command running, path 0 busy, path 1 stuck");

    world.run_for(card.command_latency(cmd::Access));
    card.set_stuck_busy(Busy::Path1, false);
    expect_peek_matches_reads("command done, path 0 in error");

    open_aux_port();
    wr(reg::AuxPage, 0x7200);
    wr(reg::AuxOffset, 0x0010);
    expect_peek_matches_reads("auxiliary port open");
    EXPECT_EQ(rd(reg::AuxData), card.records().pda()[0x10 / 2]) << "the peeks left the address";

    card.set_removed(true);
    expect_peek_matches_reads("removed");
}

} // namespace
