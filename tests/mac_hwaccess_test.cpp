// The driver's hardware access layer (port words, bounded waits, commands,
// buffer access paths, records) against the card model behind the host's
// port bus, measured on the virtual clock and through the card's trace.
#include "support/card_fixture.h"

#include "mac/talregs.h"
#include "mac/talutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

using talsim::PortAccess;

namespace {

using taltest::CardTest;
using taltest::R;
using taltest::W;

class HwAccess : public CardTest {
protected:
    std::vector<PortAccess> accesses() { return card.trace().port_accesses(); }
    std::vector<PortAccess> writes() {
        std::vector<PortAccess> out;
        for (const PortAccess &a : accesses())
            if (a.write)
                out.push_back(a);
        return out;
    }
    uint64_t stalls() { return host.world().stall_calls(); }
    uint64_t stalled_us() { return host.world().stalled_us(); }

    // A record image in a driver Record_Buffer.
    static Record_Buffer record(std::vector<uint16_t> image) {
        Record_Buffer rb;
        std::memset(&rb, 0xEE, sizeof rb);
        std::memcpy(&rb, image.data(), image.size() * 2);
        return rb;
    }
    static std::vector<uint16_t> words(const Record_Buffer &rb, size_t n) {
        std::vector<uint16_t> out(n);
        std::memcpy(out.data(), &rb, n * 2);
        return out;
    }
};

// Appends `n` identical accesses: a poll repeated.
void repeat(std::vector<PortAccess> &v, PortAccess a, int n) {
    v.insert(v.end(), n, a);
}

// ---- Poll budgets ----

struct Budget {
    USHORT timeout;
    uint64_t polls;
};

// Each budget in both waits; the download flag (1, and only 1) stretches
// the event wait's stall to a millisecond, never the busy wait's.
TEST_F(HwAccess, WaitsThatRunOutPollTheirBudgetAndTheDownloadFlagSlowsOnlyEventWaits) {
    const Budget budgets[] = {
        {50, 10001}, {100, 20001}, {150, 30001}, {1000, 3393}, {10000, 33921}};
    card.set_stuck_busy(talsim::Busy::Command, true);
    for (const Budget &b : budgets) {
        for (UCHAR downcheck : {0, 1, 2}) {
            for (bool event : {false, true}) {
                SCOPED_TRACE(testing::Message() << b.timeout << " download " << (int)downcheck
                                                << (event ? " event" : " busy"));
                adapter->downcheck = downcheck;
                start_measuring();
                EXPECT_EQ(event ? waitevent(adapter.get(), TAL_EV_CMD, b.timeout)
                                : waitbusy(adapter.get(), TAL_REG_COMMAND, b.timeout),
                          TAL_RESULT_TIMEOUT);
                EXPECT_EQ(reads_of(event ? TAL_REG_EVSTAT : TAL_REG_COMMAND), b.polls);
                EXPECT_EQ(stalls(), b.polls);
                EXPECT_EQ(stalled_us(), (event && downcheck == 1 ? 1000 : 5) * b.polls);
            }
        }
    }
}

struct EventWait {
    USHORT pending;
    USHORT mask;
    USHORT result;
};

TEST_F(HwAccess, EventWaitSucceedsOnAnyBitOfItsMaskAndDoesNotAcknowledge) {
    const EventWait cases[] = {
        {0x0090, 0x0010, TAL_RESULT_OK},
        {0x0090, 0x0080, TAL_RESULT_OK},
        {0x0090, 0x0009, TAL_RESULT_TIMEOUT},
        {0x2000, 0x2089, TAL_RESULT_OK},
    };
    for (const EventWait &c : cases) {
        SCOPED_TRACE(c.mask);
        card.reset();
        card.raise_event(c.pending);
        start_measuring();
        EXPECT_EQ(waitevent(adapter.get(), c.mask, 50), c.result);
        if (c.result == TAL_RESULT_OK) {
            EXPECT_EQ(accesses(), (std::vector<PortAccess>{R(TAL_REG_EVSTAT, c.pending)}));
            EXPECT_EQ(stalls(), 0u);
        }
        EXPECT_EQ(card.events(), c.pending);
    }
}

// ---- Issuing commands ----

struct Variant {
    int params;
    USHORT result; // the card's
    std::vector<PortAccess> writes;
};

// Parameters in order, the command word last, the event acknowledged; a
// result the card gives is the command's.
TEST_F(HwAccess, EachVariantWritesOnlyItsOwnParametersAndReturnsTheCardsResult) {
    const Variant cases[] = {
        {0, 0, {W(0x00, 0x0001), W(0x34, 0x0010)}},
        {1, 0, {W(0x02, 0x0A0A), W(0x00, 0x0001), W(0x34, 0x0010)}},
        {2, 0, {W(0x02, 0x0A0A), W(0x04, 0x0B0B), W(0x00, 0x0001), W(0x34, 0x0010)}},
        {3,
         0x05,
         {W(0x02, 0x0A0A), W(0x04, 0x0B0B), W(0x06, 0x0C0C), W(0x00, 0x0001), W(0x34, 0x0010)}},
    };
    for (const Variant &c : cases) {
        SCOPED_TRACE(c.params);
        if (c.result)
            card.fail_command(0x0001, c.result, 1);
        start_measuring();
        TAL_ADAPTER *a = adapter.get();
        USHORT r = c.params == 0   ? issueCmd0(a, 0x0001)
                   : c.params == 1 ? issueCmd1(a, 0x0001, 0x0A0A)
                   : c.params == 2 ? issueCmd2(a, 0x0001, 0x0A0A, 0x0B0B)
                                   : issueCmd3(a, 0x0001, 0x0A0A, 0x0B0B, 0x0C0C);
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(writes(), c.writes);
        EXPECT_EQ(card.events(), 0);
    }
}

TEST_F(HwAccess, BusyTimeoutWritesNothingAndAcknowledgesTheCommandEvent) {
    card.set_stuck_busy(talsim::Busy::Command, true);
    card.raise_event(TAL_EV_CMD | TAL_EV_RX); // a stale completion and a frame
    start_measuring();
    EXPECT_EQ(issueCmd1(adapter.get(), 0x0021, 0xFC03), TAL_RESULT_TIMEOUT);
    EXPECT_EQ(writes(), (std::vector<PortAccess>{W(0x34, 0x0010)}));
    EXPECT_EQ(card.events(), TAL_EV_RX);
    EXPECT_EQ(reads_of(TAL_REG_COMMAND), 10001u);
}

struct StatusWord {
    uint16_t status;
    USHORT result;
};

TEST_F(HwAccess, ResultComesFromStatusBitsEightToFourteenOnly) {
    const StatusWord cases[] = {{0x7F00, 0x7F}, {0x0100, 0x01}, {0x80FF, 0x00},
                                {0xFFFF, 0x7F}, {0x0A21, 0x0A}, {0x00FF, 0x00}};
    for (const StatusWord &c : cases) {
        card.poke(talsim::reg::Status, c.status);
        EXPECT_EQ(getCommandResult(adapter.get()), c.result) << std::hex << c.status;
    }
}

TEST_F(HwAccess, CommandEventThatNeverRisesTimesOutWithoutAcknowledging) {
    card.suppress_events(TAL_EV_CMD);
    start_measuring();
    EXPECT_EQ(issueCmd0(adapter.get(), 0x0001), TAL_RESULT_TIMEOUT);
    EXPECT_TRUE(writes_to(TAL_REG_EVACK).empty());
    EXPECT_EQ(reads_of(TAL_REG_EVSTAT), 10001u);
}

TEST_F(HwAccess, LateCompletionIsRetiredSoResultsStayWithTheirCommands) {
    for (bool on_accept : {false, true}) {
        SCOPED_TRACE(on_accept ? "busy clears on acceptance" : "busy clears on completion");
        card.reset();
        card.set_busy_clears_on_accept(on_accept);
        card.set_command_latency(0x01, 60000); // the enable ends after its 50 ms budget
        card.fail_command(0x0001, 0x05, 1);    // ...with a result of its own
        card.fail_command(0x0002, 0x0A, 1);
        std::vector<USHORT> results;
        for (USHORT word : {0x0001, 0x0002, 0x0002, 0x0021})
            results.push_back(issueCmd0(adapter.get(), word));
        // The late enable's 0x05 is no one's result; each command reports its own.
        EXPECT_EQ(results, (std::vector<USHORT>{TAL_RESULT_TIMEOUT, 0x0A, 0, 0x08}));
        EXPECT_EQ(adapter->CmdTimedOut, 0);
        EXPECT_EQ(card.device_error_count(), 0u) << "no command written over a running one";
    }
}

TEST_F(HwAccess, LateCompletionThatNeverComesCostsTheNextCommandOneBudget) {
    card.hang_command(0x0001, 1);
    EXPECT_EQ(issueCmd0(adapter.get(), 0x0001), TAL_RESULT_TIMEOUT);
    card.reset(); // the hung enable is gone, its event never comes
    start_measuring();
    EXPECT_EQ(issueCmd0(adapter.get(), 0x0002), TAL_RESULT_OK);
    EXPECT_EQ(stalls(), 10001u + 40u) << "the late event's wait, then the disable's own";
    EXPECT_EQ(adapter->CmdTimedOut, 0);
    // A command after it pays nothing extra.
    start_measuring();
    EXPECT_EQ(issueCmd0(adapter.get(), 0x0002), TAL_RESULT_OK);
    EXPECT_EQ(stalls(), 40u);

    // Any acknowledgement of the command event retires a late completion.
    card.hang_command(0x0001, 1);
    EXPECT_EQ(issueCmd0(adapter.get(), 0x0001), TAL_RESULT_TIMEOUT);
    card.reset();
    issueEventACK(adapter.get(), 0xFFFF);
    start_measuring();
    EXPECT_EQ(issueCmd0(adapter.get(), 0x0002), TAL_RESULT_OK);
    EXPECT_EQ(stalls(), 40u);
}

struct CmdBudget {
    USHORT word;
    uint64_t polls;
};

// The last three have a high byte that a low-byte key would mistake for
// another command's.
TEST_F(HwAccess, CommandBudgetIsKeyedOnTheWholeCommandWord) {
    const CmdBudget cases[] = {{0x0000, 30001}, {0x0001, 10001}, {0x0002, 10001}, {0x0003, 33921},
                               {0x000A, 10001}, {0x000B, 10001}, {0x0010, 10001}, {0x0011, 10001},
                               {0x0021, 10001}, {0x0022, 3393},  {0x0122, 3393},  {0x0222, 3393},
                               {0x0322, 3393},  {0x010B, 10001}, {0x0121, 10001}, {0x0030, 10001},
                               {0x0031, 10001}, {0x0B38, 10001}, {0x0F38, 10001}, {0x0100, 10001},
                               {0x0103, 10001}, {0x0422, 10001}};
    card.set_stuck_busy(talsim::Busy::Command, true);
    for (const CmdBudget &c : cases) {
        host.world().reset_stall_counters();
        EXPECT_EQ(issueCmd0(adapter.get(), c.word), TAL_RESULT_TIMEOUT);
        EXPECT_EQ(stalls(), c.polls) << std::hex << c.word;
    }
}

// ---- Buffer access paths ----

// Select, offset, the busy wait, then the words: none, or three at offset 4.
TEST_F(HwAccess, PathsSelectPositionAndWaitThenMoveTheWordsAtTheOffset) {
    USHORT fid = card.frames().allocate(64);
    USHORT word = 0xBEEF;
    start_measuring();
    EXPECT_EQ(getFrame0(adapter.get(), fid, &word, 0, 0), TAL_RESULT_OK);
    EXPECT_EQ(putFrame1(adapter.get(), fid, &word, 0, 0), TAL_RESULT_OK);
    EXPECT_EQ(accesses(),
              (std::vector<PortAccess>{W(0x18, fid), W(0x1C, 0), R(0x1C, 0x8000), R(0x1C, 0x8000),
                                       R(0x1C, 0), W(0x1A, fid), W(0x1E, 0), R(0x1E, 0x8000),
                                       R(0x1E, 0x8000), R(0x1E, 0)}));
    EXPECT_EQ(word, 0xBEEF);

    const USHORT out[] = {0x0201, 0x0403, 0x0605};
    USHORT in[3] = {};
    EXPECT_EQ(putFrame1(adapter.get(), fid, out, 4, 3), TAL_RESULT_OK);
    EXPECT_EQ(getFrame0(adapter.get(), fid, in, 4, 3), TAL_RESULT_OK);
    EXPECT_EQ(std::vector<USHORT>(in, in + 3), std::vector<USHORT>(out, out + 3));
    const std::vector<uint8_t> &bytes = *card.frames().buffer(fid);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 10),
              (std::vector<uint8_t>{0, 0, 0, 0, 1, 2, 3, 4, 5, 6}));
}

// A stuck path times out after its budget and moves nothing; a record write
// then issues no access command, a record read fails after its command.
TEST_F(HwAccess, StuckPathMovesNothingAndTimesOutAfterItsBudget) {
    USHORT fid = card.frames().allocate(64);
    USHORT buf[4] = {1, 2, 3, 4};
    card.set_stuck_busy(talsim::Busy::Path0, true);
    card.set_stuck_busy(talsim::Busy::Path1, true);
    start_measuring();
    EXPECT_EQ(getFrame0(adapter.get(), fid, buf, 0, 4), TAL_RESULT_TIMEOUT);
    EXPECT_EQ(reads_of(TAL_REG_OFFSET0), 20001u);
    EXPECT_EQ(reads_of(TAL_REG_DATA0), 0u);
    EXPECT_EQ(putFrame1(adapter.get(), fid, buf, 0, 4), TAL_RESULT_TIMEOUT);
    EXPECT_EQ(std::vector<USHORT>(buf, buf + 4), (std::vector<USHORT>{1, 2, 3, 4}));

    Record_Buffer rb = record({2, 0xFC03, 11});
    EXPECT_EQ(putRecordFrame(adapter.get(), (USHORT *)&rb), TAL_RESULT_TIMEOUT);
    EXPECT_TRUE(writes_to(TAL_REG_COMMAND).empty());
    EXPECT_TRUE(writes_to(TAL_REG_DATA1).empty());
    EXPECT_EQ(card.records().word(0xFC03, 0), 3);
    rb = record({2, 0xFC03});
    EXPECT_EQ(getRecordFrame(adapter.get(), (USHORT *)&rb), TAL_RESULT_TIMEOUT);
    EXPECT_EQ(writes_to(TAL_REG_COMMAND), std::vector<uint16_t>{0x0021});
    EXPECT_EQ(words(rb, 3), (std::vector<uint16_t>{2, 0xFC03, 0xEEEE}));
    EXPECT_EQ(card.device_error_count(), 0u);
}

// ---- Records ----

struct Preset {
    USHORT record_len;
    std::vector<uint16_t> after; // the buffer's first words after the read
};

TEST_F(HwAccess, RecordReadMovesAsManyWordsAsTheCallersLengthAsks) {
    const Preset cases[] = {
        {1, {2, 0xFC03, 0xEEEE, 0xEEEE}},        // length and RID only
        {2, {2, 0xFC03, 3, 0xEEEE}},             // exactly the record
        {6, {2, 0xFC03, 3, 0, 0, 0, 0, 0xEEEE}}, // beyond it: zeros
    };
    for (const Preset &c : cases) {
        SCOPED_TRACE(c.record_len);
        Record_Buffer rb = record({c.record_len, 0xFC03});
        start_measuring();
        EXPECT_EQ(getRecordFrame(adapter.get(), (USHORT *)&rb), TAL_RESULT_OK);
        EXPECT_EQ(reads_of(TAL_REG_DATA0), c.record_len + 1u);
        EXPECT_EQ(words(rb, c.after.size()), c.after);
    }
    EXPECT_EQ(card.device_error_count(), 0u);
}

TEST_F(HwAccess, RecordsRoundTripThroughTheCard) {
    const std::vector<uint16_t> cases[] = {
        {2, 0xFC03, 11},
        {2, 0xFC84, 0x0101},
        {4, 0xFC01, 0x1100, 0x3322, 0x5544},
        {18, 0xFC02, 4, 0x6574, 0x7473, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {7, 0xFC80, 0x0001, 0x005E, 0x0101, 0x0001, 0x005E, 0x0202},
        {1, 0xFC80},
    };
    for (const std::vector<uint16_t> &image : cases) {
        SCOPED_TRACE(image[1]);
        Record_Buffer out = record(image);
        ASSERT_EQ(putRecordFrame(adapter.get(), (USHORT *)&out), TAL_RESULT_OK);
        EXPECT_EQ(card.records().image(image[1]), image);
        Record_Buffer in = record({image[0], image[1]});
        ASSERT_EQ(getRecordFrame(adapter.get(), (USHORT *)&in), TAL_RESULT_OK);
        EXPECT_EQ(words(in, image.size()), image);
    }
}

struct Refusal {
    const char *what;
    bool write;
    std::vector<uint16_t> image;
    USHORT result;
};

// The card's result comes back; a refused read leaves the buffer and the
// path alone, a refused write the record.
TEST_F(HwAccess, RecordAccessesTheCardRefusesReturnItsResultAndChangeNothing) {
    card.make_record_unreadable(0xFD10);
    const Refusal cases[] = {
        {"write of an unknown record", true, {2, 0xFC99, 1}, talsim::result::BadRecord},
        {"write of a read-only record", true, {2, 0xFD10, 0xFFFF}, talsim::result::BadRecord},
        {"write of a length the record does not take",
         true,
         {3, 0xFC03, 1, 0},
         talsim::result::BadLength},
        {"key 0 neither 40 nor 104 bits", true, {5, 0xFC24, 1, 2, 3, 4}, talsim::result::BadLength},
        {"read of an unknown record", false, {2, 0xFC99}, talsim::result::BadRecord},
        {"read the card fails", false, {2, 0xFD10}, talsim::result::CardFailure},
    };
    for (const Refusal &c : cases) {
        SCOPED_TRACE(c.what);
        Record_Buffer rb = record(c.image);
        start_measuring();
        EXPECT_EQ(c.write ? putRecordFrame(adapter.get(), (USHORT *)&rb)
                          : getRecordFrame(adapter.get(), (USHORT *)&rb),
                  c.result);
        if (!c.write) {
            EXPECT_EQ(words(rb, 3), (std::vector<uint16_t>{2, c.image[1], 0xEEEE}));
            EXPECT_TRUE(writes_to(TAL_REG_SELECT0).empty());
        }
    }
    EXPECT_EQ(card.records().word(0xFC03, 0), 3);
    EXPECT_EQ(card.records().word(0xFD10, 0), 0x07FF);
}

// The whole register conversation of writing a record and reading it back.
TEST_F(HwAccess, RecordWriteAndReadBackFollowTheExactRegisterSequence) {
    card.set_command_latency(0x21, 25);
    card.timing().path_busy_us = 10;
    Record_Buffer out = record({2, 0xFC03, 6});
    Record_Buffer in = record({2, 0xFC03});
    start_measuring();
    ASSERT_EQ(putRecordFrame(adapter.get(), (USHORT *)&out), TAL_RESULT_OK);
    ASSERT_EQ(getRecordFrame(adapter.get(), (USHORT *)&in), TAL_RESULT_OK);

    std::vector<PortAccess> e;
    // Write: path 1 at the record, offset 0, busy for 10 us (polls at 0, 5, 10).
    e.insert(e.end(), {W(0x1A, 0xFC03), W(0x1E, 0x0000)});
    repeat(e, R(0x1E, 0x8000), 2);
    e.insert(e.end(), {R(0x1E, 0x0000), W(0x38, 0x0002), W(0x38, 0xFC03), W(0x38, 0x0006)});
    // Write access command: 25 us, so the event shows at the sixth poll.
    e.insert(e.end(), {R(0x00, 0x0000), W(0x02, 0xFC03), W(0x00, 0x0121)});
    repeat(e, R(0x30, 0x0000), 5);
    e.insert(e.end(), {R(0x30, 0x0010), R(0x08, 0x0021), W(0x34, 0x0010)});
    // Read access command; the command register still shows the last word.
    e.insert(e.end(), {R(0x00, 0x0121), W(0x02, 0xFC03), W(0x00, 0x0021)});
    repeat(e, R(0x30, 0x0000), 5);
    e.insert(e.end(), {R(0x30, 0x0010), R(0x08, 0x0021), W(0x34, 0x0010)});
    // Path 0 at the record, then RecordLen + 1 words.
    e.insert(e.end(), {W(0x18, 0xFC03), W(0x1C, 0x0000)});
    repeat(e, R(0x1C, 0x8000), 2);
    e.insert(e.end(), {R(0x1C, 0x0000), R(0x36, 0x0002), R(0x36, 0xFC03), R(0x36, 0x0006)});

    std::vector<PortAccess> got = accesses();
    ASSERT_EQ(got.size(), e.size());
    for (size_t i = 0; i < e.size(); ++i)
        EXPECT_EQ(got[i], e[i]) << "access " << i << ": " << talsim::to_string(got[i])
                                << " expected " << talsim::to_string(e[i]);
    EXPECT_EQ(words(in, 3), (std::vector<uint16_t>{2, 0xFC03, 6}));
    EXPECT_EQ(card.records().image(0xFC03), (std::vector<uint16_t>{2, 0xFC03, 6}));
    EXPECT_EQ(card.device_error_count(), 0u);
    EXPECT_EQ(card.events(), 0);
}

} // namespace
