#include "world.h"

#include <gtest/gtest.h>

#include <vector>

using talhost::EventKind;
using talhost::World;

// A stall advances the clock, counted, and runs the device events that fall
// due at their own time; deferred work waits for the run loop.
TEST(VirtualClock, StallRunsDueDeviceEventsAtTheirOwnTimeAndNeverDeferredWork) {
    World w;
    std::vector<uint64_t> seen;
    int deferred = 0;
    w.schedule_in(3, EventKind::Device, [&] { seen.push_back(w.now()); });
    w.schedule_in(7, EventKind::Device, [&] { seen.push_back(w.now()); });
    w.schedule_in(1, EventKind::Deferred, [&] { ++deferred; });
    w.stall(5);
    EXPECT_EQ(seen, (std::vector<uint64_t>{3}));
    EXPECT_EQ(w.now(), 5u);
    w.stall(1000);
    EXPECT_EQ(seen, (std::vector<uint64_t>{3, 7}));
    EXPECT_EQ(w.now(), 1005u);
    EXPECT_EQ(w.stall_calls(), 2u);
    EXPECT_EQ(w.stalled_us(), 1005u);
    EXPECT_EQ(deferred, 0);
    w.run_due();
    EXPECT_EQ(deferred, 1);
}

TEST(VirtualClock, RunUntilKeepsTimeOrderAndFifoForEqualTimes) {
    World w;
    std::vector<int> order;
    w.schedule_at(10, EventKind::Deferred, [&] { order.push_back(2); });
    w.schedule_at(10, EventKind::Device, [&] { order.push_back(3); });
    w.schedule_at(4, EventKind::Deferred, [&] { order.push_back(1); });
    w.schedule_at(11, EventKind::Device, [&] { order.push_back(4); });
    w.schedule_at(2, EventKind::Device, [&] { order.push_back(0); });
    w.run_until(10);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(w.now(), 10u);
}

// A cancelled event never runs, and its id, reused for a later event's slot,
// names the cancelled one only.
TEST(VirtualClock, ACancelledEventNeverRunsAndItsIdNamesItOnly) {
    World w;
    std::vector<int> ran;
    auto first = w.schedule_in(5, EventKind::Device, [&] { ran.push_back(1); });
    EXPECT_TRUE(w.pending(first));
    EXPECT_TRUE(w.cancel(first));
    EXPECT_FALSE(w.cancel(first));
    auto second = w.schedule_in(8, EventKind::Device, [&] { ran.push_back(2); });
    EXPECT_FALSE(w.pending(first));
    EXPECT_FALSE(w.cancel(first)) << "the cancelled event's id does not reach its successor";
    EXPECT_TRUE(w.pending(second));
    w.run_for(6);
    EXPECT_TRUE(ran.empty()) << "nothing runs at the cancelled event's time";
    w.run_for(6);
    EXPECT_EQ(ran, (std::vector<int>{2}));
    EXPECT_EQ(w.queued(), 0u);
}

TEST(VirtualClock, EventScheduledFromAnEventRunsInTheSamePass) {
    World w;
    std::vector<uint64_t> at;
    w.schedule_in(2, EventKind::Device,
                  [&] { w.schedule_in(2, EventKind::Device, [&] { at.push_back(w.now()); }); });
    w.stall(10);
    EXPECT_EQ(at, (std::vector<uint64_t>{4}));
}
