// The card model on its bus face: a World, a PortBus and the model mapped at
// 0x300, driven port by port as hardware would be.
#include "card/card.h"
#include "support/card_bus.h"

#include <gtest/gtest.h>

#include <vector>

using namespace talsim;

namespace {

class CardBus : public taltest::CardBusFixture {
protected:
    uint16_t write_record(const std::vector<uint16_t> &image) {
        point(1, image[1]);
        for (uint16_t w : image)
            wr(reg::Data1, w);
        return command(0x0121, image[1]);
    }

    std::vector<uint16_t> read_record(uint16_t rid, size_t words) {
        EXPECT_EQ(command(0x0021, rid), result::Ok);
        return read_words(rid, words);
    }
};

// ---- Register table ----

struct DisallowedAccess {
    bool write;
    uint16_t offset;
};

TEST_F(CardBus, AccessTheTableDoesNotAllowIsADeviceErrorAndReadsAllOnes) {
    const DisallowedAccess cases[] = {
        {false, reg::EvAck}, // write-only
        {false, 0x12},       // not decoded
        {false, 0x3E},       // auxiliary data while the port is closed
        {false, 0x03},       // odd offset
        {true, reg::Status}, // read-only
        {true, reg::EvStat}, {true, reg::AllocFid},
    };
    uint64_t errors = 0;
    for (const DisallowedAccess &c : cases) {
        SCOPED_TRACE(c.offset);
        uint16_t before = card.peek(c.offset);
        if (c.write)
            wr(c.offset, 0x1234);
        else
            EXPECT_EQ(rd(c.offset), 0xFFFF);
        EXPECT_EQ(card.device_error_count(), ++errors);
        EXPECT_EQ(card.device_errors().back().offset, c.offset);
        EXPECT_EQ(card.device_errors().back().write, c.write);
        EXPECT_EQ(card.peek(c.offset), before);
    }
}

// ---- Command engine ----

struct Latency {
    uint16_t word;
    uint32_t us;
};

// Busy in the command register until then; the command event and the
// command code in the status word's low byte at the end.
TEST_F(CardBus, EachCommandIsBusyForItsLatencyOnTheVirtualClockOrTheOneSetForIt) {
    const Latency cases[] = {{0x0000, 1000}, {0x0001, 200}, {0x0002, 200}, {0x000A, 40},
                             {0x0021, 25},   {0x0121, 25},  {0x0055, 10},  {0x0011, 7}};
    card.set_command_latency(cmd::Inquire, 7);
    for (const Latency &c : cases) {
        SCOPED_TRACE(c.word);
        uint64_t start = world.now();
        wr(reg::Param0, 0xFC03);
        wr(reg::Command, c.word);
        world.run_for(c.us - 1);
        EXPECT_EQ(rd(reg::Command), c.word | kBusy);
        EXPECT_EQ(rd(reg::EvStat), 0);
        world.run_for(1);
        EXPECT_EQ(rd(reg::Command), c.word);
        EXPECT_EQ(rd(reg::EvStat), ev::Cmd);
        EXPECT_EQ(rd(reg::Status) & 0xFF, c.word & 0xFF);
        EXPECT_EQ(world.now() - start, c.us);
        wr(reg::EvAck, 0xFFFF);
    }
}

struct ResultCase {
    const char *what;
    uint16_t word;
    uint16_t p0;
    uint16_t result;
};

TEST_F(CardBus, CommandsAnswerWithTheFirmwaresResultCodes) {
    const ResultCase cases[] = {
        {"unknown command", 0x0055, 0, result::UnknownCommand},
        {"enable with a modifier", 0x0101, 0, result::BadParameter},
        {"allocate of nothing", 0x000A, 0, result::BadParameter},
        {"allocate above the largest buffer", 0x000A, 2401, result::BadParameter},
        {"read of an unknown record", 0x0021, 0xFC99, result::BadRecord},
        {"read of a write-only key", 0x0021, 0xFC24, result::BadRecord},
        {"access with an unknown mode", 0x0221, 0xFC03, result::BadParameter},
        {"write of a record nothing was written for", 0x0121, 0xFC03, result::BadRecord},
        {"read of a known record", 0x0021, 0xFC03, result::Ok},
    };
    for (const ResultCase &c : cases)
        EXPECT_EQ(command(c.word, c.p0), c.result) << c.what;
}

TEST_F(CardBus, ParametersAreLatchedWhenTheCommandIsWritten) {
    wr(reg::Param0, 0xFC03);
    wr(reg::Command, 0x0021);
    wr(reg::Param0, 0xFC99); // too late to matter
    world.run_for(100);
    EXPECT_EQ(rd(reg::Status), 0x0021);
}

TEST_F(CardBus, EnableAndDisableSetThePortStatusAndInitializeClearsEventsFidsAndRecords) {
    allocate();
    allocate();
    ASSERT_EQ(write_record({2, 0xFC03, 11}), result::Ok);
    ASSERT_EQ(command(0x0001), result::Ok);
    EXPECT_EQ(card.records().word(rid::PortStatus, 0), portstatus::Searching);
    EXPECT_EQ(card.records().word(rid::CurrentChannel, 0), 11);
    ASSERT_EQ(command(0x0002), result::Ok);
    EXPECT_EQ(card.records().word(rid::PortStatus, 0), portstatus::Disabled);
    ASSERT_EQ(command(0x0001), result::Ok);
    card.raise_event(ev::Rx | ev::Info | ev::Dtim);
    ASSERT_EQ(command(0x000A, 2364), result::Ok); // its allocate event still to come
    ASSERT_EQ(card.frames().fids().size(), 3u);

    EXPECT_EQ(command(0x0000), result::Ok);
    world.run_for(1000);
    EXPECT_EQ(rd(reg::EvStat), 0); // only its own command event rose, and was acknowledged
    EXPECT_TRUE(card.frames().fids().empty());
    EXPECT_EQ(card.records().word(rid::OwnChannel, 0), 3);
    EXPECT_FALSE(card.port_enabled());
    EXPECT_EQ(card.records().word(rid::PortStatus, 0), portstatus::Disabled);
}

TEST_F(CardBus, AllocateGivesTheFidWithTheAllocateEventAfterTheCommandEventOrNoBuffer) {
    wr(reg::Param0, 2364);
    wr(reg::Command, 0x000A);
    world.run_for(card.command_latency(cmd::Allocate));
    EXPECT_EQ(rd(reg::EvStat), ev::Cmd);
    world.run_for(card.timing().alloc_event_us);
    EXPECT_EQ(rd(reg::EvStat), ev::Cmd | ev::Alloc);
    uint16_t fid = rd(reg::AllocFid);
    EXPECT_TRUE(card.frames().allocated(fid));
    EXPECT_EQ(card.frames().buffer(fid)->size(), 2364u);
    wr(reg::EvAck, 0xFFFF);

    for (unsigned i = 1; i < FrameMemory::kBuffers; ++i)
        allocate(100);
    EXPECT_EQ(command(0x000A, 100), result::NoBuffer) << "memory exhausted";
}

// ---- Events and the interrupt line ----

struct IrqCase {
    uint16_t enable;
    uint16_t raised;
    bool level;
};

TEST_F(CardBus, InterruptLineIsEventStatusAndInterruptEnable) {
    const IrqCase cases[] = {
        {0x0000, 0x0001, false}, {0x2089, 0x0001, true},  {0x2089, 0x0010, false},
        {0x2089, 0x0002, false}, {0x2089, 0x2000, true},  {0x0010, 0x0010, true},
        {0x2089, 0x0080, true},  {0x2089, 0x8004, false},
    };
    for (const IrqCase &c : cases) {
        SCOPED_TRACE(c.enable);
        card.reset();
        wr(reg::IntEn, c.enable);
        card.raise_event(c.raised);
        EXPECT_EQ(card.irq(), c.level) << c.raised;
    }
}

TEST_F(CardBus, ObserverSeesEveryChangeOfTheLineAndOnlyChanges) {
    std::vector<bool> seen;
    card.set_irq_observer([&](bool level) { seen.push_back(level); });
    card.raise_event(ev::Rx);   // masked: no change
    wr(reg::IntEn, 0x2089);     // enabling a pending event raises the line
    card.raise_event(ev::Info); // already high: no change
    wr(reg::EvAck, ev::Rx);     // Info still pending
    wr(reg::EvAck, ev::Info);   // low
    wr(reg::IntEn, 0);
    card.raise_event(ev::Alloc); // masked
    wr(reg::IntEn, 0x2089);      // high again
    wr(reg::IntEn, 0);           // the ISR masks: low
    EXPECT_EQ(seen, (std::vector<bool>{true, false, true, false}));
}

// ---- Buffer access paths ----

TEST_F(CardBus, OffsetRegisterIsBusyForAWhileAfterItIsWrittenAndTheDataWaits) {
    uint16_t fid = allocate();
    for (int path = 0; path < 2; ++path) {
        uint16_t off_reg = path ? reg::Offset1 : reg::Offset0;
        wr(path ? reg::Select1 : reg::Select0, fid);
        wr(off_reg, 0x0010);
        EXPECT_EQ(rd(off_reg), 0x8010);
        world.stall(card.timing().path_busy_us - 1);
        EXPECT_EQ(rd(off_reg), 0x8010);
        if (path)
            wr(reg::Data1, 0x1234); // too early
        world.stall(1);
        EXPECT_EQ(rd(off_reg), 0x0010);
    }
    EXPECT_EQ(card.device_error_count(), 1u);
    EXPECT_EQ((*card.frames().buffer(fid))[0x10], 0);
}

TEST_F(CardBus, FrameWrittenThroughPathOneReadsBackThroughPathZero) {
    uint16_t fid = allocate(8);
    point(1, fid);
    for (uint16_t w : {0x0201, 0x0403, 0x0605, 0x0807})
        wr(reg::Data1, w);
    EXPECT_EQ(*card.frames().buffer(fid), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    point(0, fid, 4);
    EXPECT_EQ(rd(reg::Data0), 0x0605);
    EXPECT_EQ(rd(reg::Data0), 0x0807);
    EXPECT_EQ(card.device_error_count(), 0u);
    rd(reg::Data0); // past the end of the buffer
    EXPECT_EQ(card.device_error_count(), 1u);
}

struct BadSelection {
    const char *what;
    uint16_t select;
    uint16_t offset;
};

TEST_F(CardBus, SelectionOfNothingValidSetsTheErrorBitAndDataReadsAllOnes) {
    const BadSelection cases[] = {
        {"FID never allocated", 0x0200, 0},
        {"FID-like value off the grid", 0x0234, 0},
        {"unknown record", 0xFC99, 0},
        {"odd offset", 0xFC03, 1},
    };
    for (const BadSelection &c : cases) {
        SCOPED_TRACE(c.what);
        uint64_t errors = card.device_error_count();
        wr(reg::Select0, c.select);
        wr(reg::Offset0, c.offset);
        world.stall(card.timing().path_busy_us);
        EXPECT_EQ(rd(reg::Offset0) & (kBusy | kOffsetError), kOffsetError);
        EXPECT_EQ(rd(reg::Data0), 0xFFFF);
        EXPECT_EQ(card.device_error_count(), errors + 1);
    }
}

// ---- Records ----

struct DefaultRecord {
    uint16_t rid;
    std::vector<uint16_t> image; // read as stored, its length word first, then zeros
};

TEST_F(CardBus, FirmwareDefaultsOfTheRecordsReadAtConfiguration) {
    const DefaultRecord cases[] = {
        {0xFC01, {4, 0xFC01, 0x0002, 0x4154, 0x014C}},
        {0xFD10, {2, 0xFD10, 0x07FF}},
        {0xFD11, {5, 0xFD11, 1, 0x0010, 0, 0}},
        {0xFD01, {4, 0xFD01, 0x0100, 0x0000, 0x2000}},
        {0xFD02, {5, 0xFD02, 0x0015, 1, 1, 7, 0, 0}},
        {0xFD20, {5, 0xFD20, 0x001F, 1, 1, 5}},
        {0xFD4F, {2, 0xFD4F, 1}},
        {0xFD40, {2, 0xFD40, 1}},
        {0xFC2A, {4, 0xFC2A, 1, 0, 0}},
    };
    for (const DefaultRecord &c : cases)
        EXPECT_EQ(read_record(c.rid, c.image.size()), c.image) << std::hex << c.rid;
    EXPECT_EQ(card.device_error_count(), 0u);
}

struct WriteCase {
    const char *what;
    std::vector<uint16_t> image;
    uint16_t result;
    uint16_t select = 0; // the record path 1 selects, when not the image's
};

// A refused write leaves the record as it was.
TEST_F(CardBus, RecordWritesTheFirmwareTakesOrRefuses) {
    std::vector<uint16_t> key104(9, 0x1111);
    key104[0] = 8, key104[1] = 0xFC24;
    std::vector<uint16_t> multicast_max(98, 0x0101);
    multicast_max[0] = 97, multicast_max[1] = 0xFC80;
    const WriteCase cases[] = {
        {"channel", {2, 0xFC03, 11}, result::Ok},
        {"40-bit key 0", {4, 0xFC24, 1, 2, 3}, result::Ok},
        {"104-bit key 0", key104, result::Ok},
        {"key 0 of another length", {6, 0xFC24, 1, 2, 3, 4, 5}, result::BadLength},
        {"key 1 with the 104-bit length", {8, 0xFC25, 0, 0, 0, 0, 0, 0, 0}, result::BadLength},
        {"empty multicast list", {1, 0xFC80}, result::Ok},
        {"one multicast address", {4, 0xFC80, 0x0001, 0x5E00, 0x0101}, result::Ok},
        {"32 multicast addresses", multicast_max, result::Ok},
        {"partial multicast address", {3, 0xFC80, 1, 2}, result::BadLength},
        {"channel with two words", {3, 0xFC03, 9, 0}, result::BadLength},
        {"unknown record", {2, 0xFC99, 1}, result::BadRecord},
        {"read-only record", {2, 0xFD40, 4}, result::BadRecord},
        {"an image naming another record", {2, 0xFC06, 1}, result::BadRecord, 0xFC00},
    };
    for (const WriteCase &c : cases) {
        SCOPED_TRACE(c.what);
        uint16_t target = c.select ? c.select : c.image[1];
        auto before = card.records().image(target);
        point(1, target);
        for (uint16_t w : c.image)
            wr(reg::Data1, w);
        EXPECT_EQ(card.records().image(target), before) << "stored only by the command";
        EXPECT_EQ(command(0x0121, target), c.result);
        EXPECT_EQ(card.records().image(target), c.result == result::Ok ? c.image : before);
    }
    EXPECT_EQ(card.records().word(rid::ApDensity, 0), 1);
}

// ---- Faults ----

// The whole command word is matched, for the chosen times, through reset
// and initialize; the command's own work does not run.
TEST_F(CardBus, FailedCommandCompletesWithTheChosenResultForTheChosenTimes) {
    card.fail_command(0x000A, 0x05, 2);
    card.fail_command(0x0121, 0x33);
    card.reset();
    command(0x0000);
    EXPECT_EQ(command(0x000A, 2364), 0x05);
    EXPECT_EQ(command(0x000A, 2364), 0x05);
    EXPECT_TRUE(card.frames().fids().empty());
    EXPECT_EQ(command(0x000A, 2364), result::Ok);
    EXPECT_EQ(command(0x0021, 0xFC03), result::Ok);
    EXPECT_EQ(write_record({2, 0xFC03, 1}), 0x33);
}

// A hung command, and any command in flight, stays busy until a reset.
TEST_F(CardBus, HungCommandStaysBusyUntilResetWhichCancelsItsWork) {
    card.hang_command(0x0001);
    wr(reg::Command, 0x0001);
    world.run_for(1000000);
    EXPECT_EQ(rd(reg::Command), 0x8001);
    EXPECT_EQ(rd(reg::EvStat), 0);
    card.reset();
    EXPECT_EQ(rd(reg::Command), 0);
    card.clear_faults();
    wr(reg::Command, 0x0001);
    card.reset();
    world.run_for(10000);
    EXPECT_EQ(rd(reg::EvStat), 0);
    EXPECT_FALSE(card.port_enabled());
}

TEST_F(CardBus, UnreadableRecordFailsItsReadAndOnlyItsRead) {
    card.make_record_unreadable(0xFD10);
    EXPECT_EQ(command(0x0021, 0xFD10), result::CardFailure);
    card.make_record_unreadable(0xFD11, 0x22);
    EXPECT_EQ(command(0x0021, 0xFD11), 0x22);
    EXPECT_EQ(command(0x0021, 0xFD4F), result::Ok);
}

TEST_F(CardBus, RemovedCardReadsAllOnesEverywhereAndLosesWrites) {
    card.set_removed(true);
    for (uint16_t off = 0; off < kPortCount; off += 2)
        EXPECT_EQ(rd(off), 0xFFFF) << off;
    wr(reg::Command, 0x0001);
    world.run_for(1000);
    card.set_removed(false);
    EXPECT_FALSE(card.port_enabled());
    EXPECT_EQ(rd(reg::Command), 0);
}

// ---- Firmware behaviour the backend chooses ----

TEST_F(CardBus, FirmwareEventsRiseAtTheirRateThroughInitializeUntilTheCardIsRemoved) {
    std::vector<std::pair<uint64_t, bool>> line;
    card.set_irq_observer([&](bool level) { line.emplace_back(world.now(), level); });
    card.trace().enable();
    wr(reg::IntEn, ev::Tick);
    card.set_periodic_event(ev::Tick, 100);
    card.set_periodic_event(ev::Dtim, 250);
    auto raised = [&](uint16_t bit) {
        size_t n = 0;
        for (const TraceRecord &r : card.trace().records())
            n += r.kind == TraceKind::EventRaise && r.value == bit;
        return n;
    };
    world.run_until(1000);
    EXPECT_EQ(raised(ev::Tick), 10u);
    EXPECT_EQ(raised(ev::Dtim), 4u);
    EXPECT_EQ(rd(reg::EvStat), ev::Tick | ev::Dtim) << "the host only acknowledges them";
    command(0x0000); // initialize clears the events, the firmware keeps raising them
    world.run_until(3000);
    EXPECT_EQ(raised(ev::Tick), 30u);
    EXPECT_EQ(raised(ev::Dtim), 12u);
    card.reset(); // and so does a reset, from then on
    world.run_for(500);
    EXPECT_EQ(raised(ev::Tick), 35u);
    wr(reg::IntEn, ev::Tick);
    ASSERT_TRUE(card.irq());

    card.set_removed(true);
    EXPECT_FALSE(card.irq());
    world.run_until(5000);
    EXPECT_EQ(raised(ev::Tick), 35u) << "a removed card's firmware raises nothing";
    EXPECT_EQ(line.back(), (std::pair<uint64_t, bool>{3500, false}));
}

TEST_F(CardBus, RemovalDropsWorkTheFirmwareHadScheduled) {
    EXPECT_EQ(command(0x000A, 400), result::Ok); // the FID follows 15 us after the command event
    card.set_removed(true);
    world.run_for(100);
    card.raise_event(ev::Rx); // nor does anything else raise an event on it
    card.set_removed(false);
    EXPECT_EQ(rd(reg::EvStat), 0);
    EXPECT_EQ(rd(reg::AllocFid), 0) << "the allocate event's work was dropped with the firmware";
}

TEST_F(CardBus, TheBusyBitClearsAtCompletionOrWhenTheCommandIsTaken) {
    struct Case {
        bool on_accept;
        bool busy_after_5us;
        const char *second_write;
    } cases[] = {
        {false, true, "command written while the command register is busy"},
        {true, false, "command written before the previous command completed"},
    };
    for (const Case &c : cases) {
        card.reset();
        card.set_busy_clears_on_accept(c.on_accept);
        wr(reg::Command, 0x0001); // enable: 200 us
        world.stall(5);
        EXPECT_EQ((rd(reg::Command) & kBusy) != 0, c.busy_after_5us) << c.on_accept;
        EXPECT_EQ(rd(reg::EvStat) & ev::Cmd, 0) << "no result before completion";
        size_t errors = card.device_errors().size();
        wr(reg::Command, 0x0002);
        ASSERT_EQ(card.device_errors().size(), errors + 1);
        EXPECT_EQ(card.device_errors().back().what, c.second_write);
        world.stall(200);
        EXPECT_EQ(rd(reg::EvStat) & ev::Cmd, ev::Cmd);
        EXPECT_EQ(rd(reg::Status), 0x0001) << "the first command's result, at its completion";
        EXPECT_TRUE(card.port_enabled());
        EXPECT_FALSE(rd(reg::Command) & kBusy);
        wr(reg::EvAck, ev::Cmd);
    }
}

// ---- Trace ----

TEST_F(CardBus, TraceRecordsAccessesCommandsAndEventsOnTheVirtualClockOnceEnabled) {
    rd(reg::EvStat);
    command(0x0001);
    EXPECT_TRUE(card.trace().records().empty()) << "off by default";
    card.reset();
    card.trace().enable();
    world.run_for(100);
    wr(reg::IntEn, ev::Cmd);
    wr(reg::Command, 0x0001);
    world.run_for(200);
    rd(reg::Status);
    uint64_t t = world.now();
    std::vector<TraceRecord> expected = {
        {t - 200, TraceKind::PortWrite, reg::IntEn, ev::Cmd, 0},
        {t - 200, TraceKind::PortWrite, reg::Command, 0x0001, 0},
        {t - 200, TraceKind::CommandStart, reg::Command, 0x0001, 0},
        {t, TraceKind::CommandDone, reg::Command, 0x0001, 0},
        {t, TraceKind::EventRaise, reg::EvStat, ev::Cmd, 0},
        {t, TraceKind::IrqLine, reg::EvStat, 1, 0},
        {t, TraceKind::PortRead, reg::Status, 0x0001, 0},
    };
    EXPECT_EQ(card.trace().records(), expected);
}

TEST_F(CardBus, TraceRingKeepsTheLastRecordsAndASinkSeesThemAll) {
    card.trace().enable(3);
    for (uint16_t v = 1; v <= 5; ++v)
        wr(reg::Param0, v);
    EXPECT_EQ(card.trace().port_accesses(),
              (std::vector<PortAccess>{{true, 2, 3}, {true, 2, 4}, {true, 2, 5}}));
    EXPECT_EQ(card.trace().dropped(), 2u);

    card.trace().disable();
    card.trace().clear();
    int seen = 0;
    card.trace().set_sink([&](const TraceRecord &) { ++seen; });
    wr(reg::Param0, 1);
    rd(reg::Param0);
    EXPECT_EQ(seen, 2);
    EXPECT_TRUE(card.trace().records().empty()) << "the sink without the ring";
}

TEST(CardLifetime, DestroyedCardLeavesNothingScheduled) {
    talhost::World world;
    {
        CardModel card(world);
        card.port_write16(reg::Command, 0x0001);
        card.port_write16(reg::Offset0, 0);
        EXPECT_GT(world.queued(), 0u);
    }
    EXPECT_EQ(world.queued(), 0u);
    world.run_for(10000);
}

} // namespace
