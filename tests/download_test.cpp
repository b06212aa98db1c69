// Firmware download and production data: the auxiliary port operations and
// the request steps of the download and production data requests, on an
// adapter brought up on the card model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "datapath/talsend.h"
#include "download/taldown.h"
#include "fwimage.h"
#include "mac/talregs.h"
#include "mgmt/talmgmt.h"
#include "support/adapter_fixture.h"
#include "support/srecords.h"

using talsim::PortAccess;
using taltest::AdapterTest;
using taltest::R;
using taltest::W;
using Bytes = std::vector<uint8_t>;
using Words = std::vector<uint16_t>;

namespace {

Bytes header(uint32_t address, uint16_t words) {
    return {(uint8_t)(address >> 24), (uint8_t)(address >> 16), (uint8_t)(address >> 8),
            (uint8_t)address,         (uint8_t)(words >> 8),    (uint8_t)words};
}

using SetStep = NDIS_STATUS (*)(TAL_ADAPTER *, PVOID, ULONG, PULONG);
using QueryStep = NDIS_STATUS (*)(TAL_ADAPTER *, ULONG, PULONG, PVOID *, PULONG);

class DownloadTest : public AdapterTest {
protected:
    void up(talhost::AdapterConfig c = default_config()) {
        ASSERT_EQ(bring_up(c), NDIS_STATUS_SUCCESS);
        start_measuring();
    }

    // A set request as the set handler hands it on: a buffer of exactly the
    // request's length, so that a read past it is a fault the sanitizer sees.
    NDIS_STATUS set(SetStep step, const Bytes &input = {}) {
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[input.size()]);
        std::copy(input.begin(), input.end(), buffer.get());
        talhost::Host::HandlerScope scope(host, handle);
        needed = 0xFFFFFFFF;
        return step(adapter.get(), buffer.get(), (ULONG)input.size(), &needed);
    }

    // A query as the query handler runs it, with the handler's one copy-out.
    NDIS_STATUS query(QueryStep step, ULONG length, Bytes *answer = nullptr) {
        PVOID source = nullptr;
        ULONG bytes = 0;
        talhost::Host::HandlerScope scope(host, handle);
        needed = 0xFFFFFFFF;
        NDIS_STATUS s = step(adapter.get(), length, &needed, &source, &bytes);
        if (s == NDIS_STATUS_SUCCESS && answer) {
            EXPECT_LE(bytes, length);
            answer->assign((const uint8_t *)source, (const uint8_t *)source + bytes);
        }
        return s;
    }

    // The writes to the registers a block transfer uses, in order.
    std::vector<PortAccess> transfer_writes() {
        std::vector<PortAccess> out;
        for (const PortAccess &a : card.trace().port_accesses())
            if (a.write && a.offset != TAL_REG_EVACK)
                out.push_back(a);
        return out;
    }

    ULONG needed = 0;
};

// ---- Auxiliary port ----

struct Switch {
    const char *what;
    USHORT (*op)(TAL_ADAPTER *);
    uint16_t request;
    uint16_t state;
};

const Switch kSwitches[] = {
    {"enable", CardAuxPortEnable, 0x8000, 0xC000},
    {"disable", CardAuxPortDisable, 0x4000, 0x0000},
};

TEST_F(DownloadTest, PortSwitchWritesTheAccessCodeAndRequestThenWaitsForTheState) {
    up();
    for (const Switch &s : kSwitches) {
        SCOPED_TRACE(s.what);
        start_measuring();
        EXPECT_EQ(s.op(adapter.get()), 0);
        std::vector<PortAccess> all = card.trace().port_accesses();
        ASSERT_GE(all.size(), 7u);
        EXPECT_TRUE(!all[0].write && all[0].offset == 0x00) << "the command register first";
        EXPECT_EQ(std::vector<PortAccess>(all.begin() + 1, all.begin() + 6),
                  (std::vector<PortAccess>{R(0x14, (uint16_t)(s.state ^ 0xC000)), W(0x02, 0x3A7C),
                                           W(0x04, 0x9D36), W(0x06, 0xE25A), W(0x14, s.request)}));
        EXPECT_EQ(all.back(), R(0x14, s.state));
        // The request takes effect 40 us later: 4 polls with 10 us before each.
        EXPECT_EQ(all.size(), 10u);
        EXPECT_EQ(host.world().stalled_us(), 40u);

        start_measuring();
        EXPECT_EQ(s.op(adapter.get()), 0) << "already in that state";
        EXPECT_EQ(transfer_writes(), std::vector<PortAccess>{}) << "nothing is written";
        EXPECT_EQ(card.trace().port_accesses().back(), R(0x14, s.state));
    }
}

struct SwitchFault {
    const char *what;
    bool stuck_port; // else a busy command register
    USHORT (*op)(TAL_ADAPTER *);
    uint16_t polled;
    size_t polls;
};

TEST_F(DownloadTest, PortSwitchThatCannotCompleteAnswers7FWithinItsBudget) {
    up();
    const SwitchFault cases[] = {
        {"port that never opens: 1000 polls of 10 us", true, CardAuxPortEnable, 0x14, 1 + 1000},
        {"busy command register, budget 100", false, CardAuxPortEnable, 0x00, 20001},
        {"busy command register, budget 1000", false, CardAuxPortDisable, 0x00, 3393},
    };
    for (const SwitchFault &c : cases) {
        SCOPED_TRACE(c.what);
        card.set_aux_port_stuck(c.stuck_port);
        card.set_stuck_busy(talsim::Busy::Command, !c.stuck_port);
        start_measuring();
        EXPECT_EQ(c.op(adapter.get()), 0x7F);
        EXPECT_EQ(reads_of(c.polled), c.polls);
        if (c.stuck_port) {
            EXPECT_EQ(host.world().stalled_us(), 10000u);
        } else {
            EXPECT_EQ(transfer_writes(), std::vector<PortAccess>{}) << "nothing but the ack";
            EXPECT_EQ(writes_to(TAL_REG_EVACK), Words{0x0010});
        }
    }
    card.clear_faults();
}

TEST_F(DownloadTest, AuxiliaryAddressSplitsIntoPageAndOffset) {
    up();
    ASSERT_EQ(CardAuxPortEnable(adapter.get()), 0);
    const Words &area = card.records().pda();
    USHORT words[2] = {0, 0};
    start_measuring();
    EXPECT_TRUE(getCardAuxPort(adapter.get(), words, 0x390000, 2));
    EXPECT_EQ(Words(words, words + 2), (Words{area[0], area[1]}));
    EXPECT_TRUE(getCardAuxPort(adapter.get(), words, 0x3900FE, 1));
    EXPECT_EQ(words[0], area[0x7F]);
    EXPECT_EQ(writes_to(TAL_REG_AUXPAGE), (Words{0x7200, 0x7201}));
    EXPECT_EQ(writes_to(TAL_REG_AUXOFFSET), (Words{0x0000, 0x007E}));
    EXPECT_EQ(reads_of(TAL_REG_AUXDATA), 3u);
}

// ---- Block transfer ----

TEST_F(DownloadTest, HeaderIsMostSignificantFirstAndDataGoesAsLittleEndianWords) {
    up();
    set(talSetDownloadBegin);
    start_measuring();
    // Longer requests than the step reads are fine: only the first bytes count.
    EXPECT_EQ(set(talSetDownloadHeader, {0x00, 0x01, 0x02, 0x03, 0x00, 0x10, 0xEE}),
              NDIS_STATUS_SUCCESS);
    EXPECT_EQ(adapter->oristradr, 0x00010203u);
    EXPECT_EQ(adapter->totalsize, 16);
    EXPECT_EQ(adapter->downcheck, 1);

    Bytes data = {0x34, 0x12};
    for (uint8_t i = 2; i < 32; i++)
        data.push_back(i);
    Bytes longer = data;
    longer.push_back(0xEE);
    EXPECT_EQ(set(talSetDownloadData, longer), NDIS_STATUS_SUCCESS);
    std::vector<PortAccess> expected = {W(0x3A, 0x0100), W(0x3C, 0x0000), // the card's buffer
                                        W(0x02, 0x0203), W(0x04, 0x0001),
                                        W(0x06, 32),     W(0x00, 0x0222)};
    expected.push_back(W(0x3E, 0x1234));
    for (uint16_t i = 2; i < 32; i += 2)
        expected.push_back(W(0x3E, (uint16_t)(i | (i + 1) << 8)));
    expected.push_back(W(0x00, 0x0322));
    EXPECT_EQ(transfer_writes(), expected);
    EXPECT_EQ(card.downloaded(), (std::map<uint32_t, Bytes>{{0x00010203, data}}));
    EXPECT_EQ(adapter->downcheck, 0);

    Bytes answer;
    EXPECT_EQ(query(talQueryDownloadError, 1, &answer), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(answer, Bytes{0});
}

TEST_F(DownloadTest, FailedAnnouncementStillSendsTheWordsAndTheCommitGivesTheResult) {
    up();
    set(talSetDownloadBegin);
    set(talSetDownloadHeader, header(0x1000, 2));
    set(talSetDownloadData, {1, 2, 3, 4});
    card.fail_command(0x0222, 0x0C, 1);
    start_measuring();
    EXPECT_EQ(SecFwDownload(adapter.get()), 0);
    EXPECT_EQ(adapter->downerrcheck, 1);
    EXPECT_EQ(writes_to(TAL_REG_AUXDATA), (Words{0x0201, 0x0403}));
    EXPECT_EQ(card.download_stats().empty_commits, 1u) << "the card stored nothing, and said Ok";

    Bytes answer;
    query(talQueryDownloadError, 1, &answer);
    EXPECT_EQ(answer, Bytes{1});

    // The count request sends the staged block once more, and clears the flag.
    EXPECT_EQ(set(talSetDownloadCount, {7, 0xEE}), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(adapter->downcount, 7);
    EXPECT_EQ(adapter->downerrcheck, 0);
    EXPECT_EQ(card.downloaded(), (std::map<uint32_t, Bytes>{{0x1000, {1, 2, 3, 4}}}));
    EXPECT_EQ(card.download_stats().blocks, 2u);

    card.fail_command(0x0322, 0x0C, 1);
    EXPECT_EQ(SecFwDownload(adapter.get()), 0x0C) << "the commit's result";
    EXPECT_EQ(adapter->downerrcheck, 1);
}

struct BufferCase {
    const char *what;
    Words record; // record 0xFD01 as the configuration pass finds it; empty: unreadable
    uint16_t words;
    bool sent;
};

TEST_F(DownloadTest, BlockTheCardsBufferCannotTakeIsRefusedWithoutTouchingTheCard) {
    up();
    const BufferCase cases[] = {
        {"fits exactly", {0x0100, 0x0000, 0x0020}, 16, true},
        {"one word more than the buffer", {0x0100, 0x0000, 0x0020}, 17, false},
        {"buffer record unreadable", {}, 1, false},
        {"record readable again", {0x0100, 0x0000, 0x2000}, 4096, true},
    };
    for (const BufferCase &c : cases) {
        SCOPED_TRACE(c.what);
        card.clear_faults();
        if (c.record.empty())
            card.make_record_unreadable(0xFD01);
        else
            card.records().set(0xFD01, c.record);
        cardInitialSet(adapter.get());
        set(talSetDownloadBegin);
        set(talSetDownloadHeader, header(0x4000, c.words));
        start_measuring();
        EXPECT_EQ(set(talSetDownloadData, Bytes(c.words * 2u, 0x5A)), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(adapter->downerrcheck, c.sent ? 0 : 1);
        EXPECT_EQ(writes_to(TAL_REG_AUXDATA).size(), c.sent ? c.words : 0u);
        EXPECT_EQ(writes_to(TAL_REG_COMMAND).size(), c.sent ? 2u : 0u);
        EXPECT_EQ(card.downloaded().count(0x4000), c.sent ? 1u : 0u);
        EXPECT_EQ(adapter->downcheck, 0);
        set(talSetDownloadEnd);
        card.reset(); // the next case starts from an empty card memory
    }
}

// Data and count requests reach the card only for the block the last
// accepted header announced: bytes meant for a refused header never land
// at the previous block's address, and the error query says so.
TEST_F(DownloadTest, DataOrCountForABlockNoAcceptedHeaderAnnouncedWritesNothing) {
    struct Case {
        const char *what;
        std::vector<std::pair<SetStep, Bytes>> then; // after a good block at 0x1000
        bool sent;
    };
    const Case cases[] = {
        {"a refused header, then its data",
         {{talSetDownloadHeader, header(0x2000, 4097)}, {talSetDownloadData, Bytes(8194, 0x5A)}},
         false},
        {"a short header, then data",
         {{talSetDownloadHeader, Bytes(5, 0)}, {talSetDownloadData, Bytes(8, 0x5A)}},
         false},
        {"a refused data request, then a count",
         {{talSetDownloadHeader, header(0x2000, 4)},
          {talSetDownloadData, Bytes(7, 0x5A)},
          {talSetDownloadCount, {1}}},
         false},
        {"a count before the header's data",
         {{talSetDownloadHeader, header(0x2000, 4)}, {talSetDownloadCount, {1}}},
         false},
        {"a count after the data: the block again", {{talSetDownloadCount, {1}}}, true},
    };
    up();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        set(talSetDownloadBegin);
        set(talSetDownloadHeader, header(0x1000, 4));
        set(talSetDownloadData, Bytes(8, 0x11));
        ASSERT_EQ(adapter->downerrcheck, 0);
        start_measuring();
        for (const auto &[step, input] : c.then)
            set(step, input);
        Bytes error;
        ASSERT_EQ(query(talQueryDownloadError, 1, &error), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(error, Bytes{(uint8_t)(c.sent ? 0 : 1)});
        EXPECT_EQ(writes_to(TAL_REG_AUXDATA).size(), c.sent ? 4u : 0u);
        EXPECT_EQ(card.downloaded().size(), 1u);
        EXPECT_EQ(card.downloaded().at(0x1000), Bytes(8, 0x11));
        set(talSetDownloadEnd);
        card.reset();
    }
}

// ---- Length rules ----

struct ShortSet {
    const char *what;
    SetStep step;
    Bytes input;
    ULONG needed;
    UCHAR downcheck_after; // the staged header set it to 1
};

TEST_F(DownloadTest, ShortOrOversizedSetRequestIsRefusedAndChangesNothingElse) {
    up();
    set(talSetDownloadBegin);
    const ShortSet cases[] = {
        {"header of 5 bytes", talSetDownloadHeader, Bytes(5, 0x11), 6, 1},
        {"header of no bytes", talSetDownloadHeader, {}, 6, 1},
        {"header announcing 4097 words", talSetDownloadHeader, header(0x2000, 4097), 0, 1},
        {"header announcing 65535 words", talSetDownloadHeader, header(0x2000, 0xFFFF), 0, 1},
        {"data one byte short", talSetDownloadData, Bytes(31, 0x22), 32, 0},
        {"data of no bytes", talSetDownloadData, {}, 32, 0},
        {"count of no bytes", talSetDownloadCount, {}, 1, 1},
    };
    for (const ShortSet &c : cases) {
        SCOPED_TRACE(c.what);
        set(talSetDownloadHeader, header(0x00ABCDEE, 16));
        adapter->downcount = 9;
        adapter->downerrcheck = 1;
        std::memset(adapter->bpw, 0x77, sizeof adapter->bpw);
        start_measuring();

        EXPECT_EQ(set(c.step, c.input), NDIS_STATUS_INVALID_LENGTH);
        EXPECT_EQ(needed, c.needed);
        EXPECT_EQ(adapter->downcheck, c.downcheck_after);
        EXPECT_EQ(adapter->oristradr, 0x00ABCDEEu);
        EXPECT_EQ(adapter->totalsize, 16);
        EXPECT_EQ(adapter->downcount, 9);
        EXPECT_EQ(adapter->downerrcheck, 1);
        EXPECT_EQ(std::count(adapter->bpw, adapter->bpw + sizeof adapter->bpw, 0x77),
                  (long)sizeof adapter->bpw);
        EXPECT_TRUE(card.trace().port_accesses().empty()) << "the card is not touched";
    }
}

TEST_F(DownloadTest, ShortQueryBufferIsRefusedBeforeTheCardIsTouched) {
    up();
    EXPECT_EQ(query(talQueryDownloadError, 0), NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(needed, 1u);
    EXPECT_EQ(query(talQueryPDA, 1023), NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(needed, 1024u);
    EXPECT_TRUE(card.trace().port_accesses().empty());
}

// ---- Opening and closing a download ----

TEST_F(DownloadTest, OpenDownloadFailsTheFrameInTheCardQueuesSendsAndKeepsTheCardMasked) {
    auto c = default_config();
    c.set_dword("PollInDriver", 1);
    up(c);
    Bytes frame(60, 0);
    frame[12] = 0x08;
    talhost::Packet *in_card = packet(frame);
    talhost::Packet *waiting = packet(frame);
    send(*in_card);
    send(*waiting);
    ASSERT_EQ(adapter->txPacket, in_card->ndis());

    start_measuring();
    EXPECT_EQ(set(talSetDownloadBegin), NDIS_STATUS_SUCCESS);
    std::vector<PortAccess> steps;
    for (const PortAccess &a : transfer_writes())
        if (a.offset == TAL_REG_INTEN || a.offset == TAL_REG_COMMAND || a.offset == TAL_REG_CONTROL)
            steps.push_back(a);
    EXPECT_EQ(steps, (std::vector<PortAccess>{W(TAL_REG_INTEN, 0), W(TAL_REG_COMMAND, 0x0000),
                                              W(TAL_REG_CONTROL, 0x8000)}))
        << "mask, Initialize, open the port";
    EXPECT_TRUE(card.aux_port_enabled());
    EXPECT_EQ(adapter->downerrcheck, 0);
    EXPECT_EQ(adapter->DownloadOpen, 1);
    EXPECT_EQ(adapter->reclaimStatus, 0) << "the transmit buffer is gone";
    EXPECT_EQ(adapter->txPacket, nullptr);
    ASSERT_EQ(completions().size(), 1u);
    EXPECT_EQ(completions()[0].packet, in_card->ndis());
    EXPECT_EQ(completions()[0].status, NDIS_STATUS_FAILURE);

    talhost::Packet *during = packet(frame);
    start_measuring();
    EXPECT_EQ(send(*during), NDIS_STATUS_PENDING);
    EXPECT_EQ(writes_to(TAL_REG_INTEN), Words{0x0000}) << "the send leaves the card masked";
    EXPECT_TRUE(writes_to(TAL_REG_COMMAND).empty());
    EXPECT_EQ(adapter->NumPacketsQueued, 2u);

    start_measuring();
    EXPECT_EQ(set(talSetDownloadEnd), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(writes_to(TAL_REG_COMMAND), (Words{0x0022, 0x0000}));
    EXPECT_EQ(writes_to(TAL_REG_CONTROL), Words{0x4000});
    EXPECT_FALSE(card.aux_port_enabled());
    EXPECT_EQ(adapter->downerrcheck, 0);
    EXPECT_EQ(adapter->DownloadOpen, 0);
    EXPECT_EQ(adapter->reclaimStatus, 0);

    // The card reset brings the card back and fails what waited.
    EXPECT_EQ(cardReset(adapter.get()), 0);
    ASSERT_EQ(completions().size(), 3u);
    EXPECT_EQ(completions()[1].packet, waiting->ndis());
    EXPECT_EQ(completions()[2].packet, during->ndis());
    EXPECT_EQ(completions()[2].status, NDIS_STATUS_FAILURE);
    EXPECT_EQ(adapter->reclaimStatus, 1);
    EXPECT_EQ(card.int_enable(), TAL_INTEN_RUN);
}

TEST_F(DownloadTest, SendsQueueDuringADownloadEvenWhenTheBufferWasFreeAtItsStart) {
    up();
    ASSERT_EQ(adapter->reclaimStatus, 1);
    set(talSetDownloadBegin);
    Bytes frame(60, 0);
    frame[12] = 0x08;
    talhost::Packet *p = packet(frame);
    start_measuring();
    send(*p);
    EXPECT_TRUE(writes_to(TAL_REG_COMMAND).empty()) << "Initialize released the buffer";
    EXPECT_TRUE(writes_to(TAL_REG_DATA1).empty());
    EXPECT_EQ(adapter->FirstTxQueue, p->ndis());
    EXPECT_EQ(cardReset(adapter.get()), 0);
    ASSERT_EQ(completions().size(), 1u);
    EXPECT_EQ(completions()[0].status, NDIS_STATUS_FAILURE);
}

TEST_F(DownloadTest, EveryFailingStepOfBeginAndEndSetsTheErrorFlagAndTheRestStillRun) {
    up();
    card.fail_command(0x0000, 0x0C);
    card.set_aux_port_stuck(true);
    start_measuring();
    set(talSetDownloadBegin);
    EXPECT_EQ(adapter->downerrcheck, 1);
    EXPECT_EQ(writes_to(TAL_REG_CONTROL), Words{0x8000}) << "the port is asked for all the same";

    for (uint16_t word : {0x0022, 0x0000}) {
        SCOPED_TRACE(word);
        card.clear_faults();
        card.fail_command(word, 0x0C);
        card.set_aux_port_stuck(word == 0x0022);
        adapter->downerrcheck = 0;
        start_measuring();
        set(talSetDownloadEnd);
        EXPECT_EQ(adapter->downerrcheck, 1);
        EXPECT_EQ(writes_to(TAL_REG_COMMAND), (Words{0x0022, 0x0000}));
    }
}

// ---- Event waits while a block is announced ----

TEST_F(DownloadTest, EventWaitsPollEveryMillisecondWhileABlockIsAnnounced) {
    up();
    set(talSetDownloadBegin);
    set(talSetDownloadHeader, header(0x1000, 2));
    card.hang_command(0x0322, 1);
    start_measuring();
    set(talSetDownloadData, {1, 2, 3, 4});
    // The announcement answers within the first millisecond; the commit
    // never does: 3393 polls, each failed one followed by 1 ms.
    EXPECT_EQ(host.world().stall_calls(), 1u + 3393u);
    EXPECT_EQ(host.world().stalled_us(), (1u + 3393u) * 1000u);
    EXPECT_EQ(adapter->downerrcheck, 1);
    EXPECT_EQ(adapter->downcheck, 0);
    card.reset(); // the hung command
}

TEST_F(DownloadTest, RefusedDataRequestEndsTheSlowWaitsOfLaterTransmits) {
    auto c = default_config();
    c.set_dword("PollInDriver", 1);
    up(c);
    set(talSetDownloadHeader, header(0x1000, 8));
    ASSERT_EQ(set(talSetDownloadData, Bytes(3, 0)), NDIS_STATUS_INVALID_LENGTH);
    card.hang_command(0x010B, 1);
    Bytes frame(60, 0);
    frame[12] = 0x08;
    start_measuring();
    send(*packet(frame));
    // The path settles in 10 us; the transmit command's event never rises:
    // 10001 polls of 5 us.
    EXPECT_EQ(host.world().stalled_us(), 10u + 10001u * 5u);
    card.reset();
}

TEST_F(DownloadTest, EndAndCardResetCloseTheDownloadAndItsSlowWaits) {
    up();
    for (bool by_reset : {false, true}) {
        SCOPED_TRACE(by_reset ? "card reset" : "download end");
        set(talSetDownloadBegin);
        set(talSetDownloadHeader, header(0x1000, 8));
        ASSERT_EQ(adapter->downcheck, 1);
        if (by_reset)
            EXPECT_EQ(cardReset(adapter.get()), 0);
        else
            set(talSetDownloadEnd);
        EXPECT_EQ(adapter->downcheck, 0);
        EXPECT_EQ(adapter->DownloadOpen, 0);
    }
}

// ---- Production data ----

TEST_F(DownloadTest, PdaQueryReadsTheAreaTwiceAndLeavesThePortClosed) {
    up();
    Bytes answer;
    EXPECT_EQ(query(talQueryPDA, 1024, &answer), NDIS_STATUS_SUCCESS);
    const Words &area = card.records().pda();
    EXPECT_EQ(answer, Bytes((const uint8_t *)area.data(), (const uint8_t *)area.data() + 1024));
    EXPECT_EQ(reads_of(TAL_REG_AUXDATA), 1024u);
    EXPECT_EQ(writes_to(TAL_REG_AUXPAGE), (Words{0x7200, 0x7200}));
    EXPECT_EQ(writes_to(TAL_REG_CONTROL), (Words{0x8000, 0x4000}))
        << "ReadPDA finds the port open and closes it";
    EXPECT_FALSE(card.aux_port_enabled());
}

TEST_F(DownloadTest, PdaQueryFailsWhenThePortDoesNotOpen) {
    up();
    card.set_aux_port_stuck(true);
    EXPECT_EQ(query(talQueryPDA, 1024), NDIS_STATUS_FAILURE);
    // The first read goes ahead whatever the port did (page, offset, 512
    // words): the card refuses each access.
    EXPECT_EQ(card.device_error_count(), 514u);
    EXPECT_EQ(reads_of(TAL_REG_AUXDATA), 512u) << "ReadPDA stops at its failed enable";
    card.clear_device_errors();
}

TEST_F(DownloadTest, PdaReadThatFailsClosesThePortBeforeAnswering) {
    up();
    // The command register turns busy once the port is open, for as long as
    // the read waits (budget 100: 20001 polls), and idle again for the close.
    size_t busy_reads = 0;
    card.trace().set_sink([&](const talsim::TraceRecord &r) {
        if (r.kind != talsim::TraceKind::PortRead)
            return;
        if (r.offset == TAL_REG_CONTROL && r.value == 0xC000 && busy_reads == 0) {
            card.set_stuck_busy(talsim::Busy::Command, true);
        } else if (r.offset == TAL_REG_COMMAND && (r.value & 0x8000) && ++busy_reads == 20001) {
            card.set_stuck_busy(talsim::Busy::Command, false);
        }
    });
    EXPECT_EQ(ReadPDA(adapter.get()), 0x7F);
    card.trace().set_sink(nullptr);
    EXPECT_EQ(busy_reads, 20001u);
    EXPECT_EQ(reads_of(TAL_REG_AUXDATA), 0u);
    EXPECT_FALSE(card.aux_port_enabled());
}

TEST_F(DownloadTest, PdaQueryClosesThePortWhenItsSecondOpenFails) {
    up();
    // The first read opens the port and reads the area; then the command
    // register turns busy for the second open's whole wait (20001 polls)
    // and idle again for the close.
    size_t area_reads = 0, busy_reads = 0;
    card.trace().set_sink([&](const talsim::TraceRecord &r) {
        if (r.kind != talsim::TraceKind::PortRead)
            return;
        if (r.offset == TAL_REG_AUXDATA && ++area_reads == 512)
            card.set_stuck_busy(talsim::Busy::Command, true);
        else if (r.offset == TAL_REG_COMMAND && (r.value & 0x8000) && ++busy_reads == 20001)
            card.set_stuck_busy(talsim::Busy::Command, false);
    });
    EXPECT_EQ(query(talQueryPDA, 1024), NDIS_STATUS_FAILURE);
    card.trace().set_sink(nullptr);
    EXPECT_EQ(busy_reads, 20001u);
    EXPECT_FALSE(card.aux_port_enabled());
}

// ---- A whole image ----

TEST_F(DownloadTest, MultiBlockImageArrivesExactlyAndTheProductionDataNamesTheAdapter) {
    up();
    // Three blocks, 66 KiB in all, with gaps between them, as a file.
    std::mt19937 rng(20240613);
    auto random_bytes = [&](size_t n) {
        Bytes b(n);
        for (uint8_t &x : b)
            x = (uint8_t)rng();
        return b;
    };
    std::string text = taltest::srecord('0', 2, 0, {'f', 'w'}) +
                       taltest::s3_records(0x00100000, random_bytes(20480)) +
                       taltest::s3_records(0x00010000, random_bytes(40000)) +
                       taltest::s3_records(0x00FF0000, random_bytes(6144)) +
                       taltest::srecord('7', 4, 0x00010000, {});
    talhost::ParseError err;
    std::optional<talsim::FirmwareImage> image = talsim::parse_srecords(text, "fw.srec", err);
    ASSERT_TRUE(image) << err.message();
    ASSERT_EQ(image->blocks.size(), 3u);
    ASSERT_GE(image->size(), 65536u);

    size_t data_requests = 0;
    for (const talsim::DownloadRequest &r : talsim::download_requests(*image)) {
        switch (r.step) {
        case talsim::DownloadStep::Begin:
            ASSERT_EQ(set(talSetDownloadBegin), NDIS_STATUS_SUCCESS);
            break;
        case talsim::DownloadStep::Header:
            ASSERT_EQ(set(talSetDownloadHeader, r.bytes), NDIS_STATUS_SUCCESS);
            break;
        case talsim::DownloadStep::Data: {
            ASSERT_EQ(set(talSetDownloadData, r.bytes), NDIS_STATUS_SUCCESS);
            Bytes error;
            ASSERT_EQ(query(talQueryDownloadError, 1, &error), NDIS_STATUS_SUCCESS);
            ASSERT_EQ(error, Bytes{0}) << "piece " << data_requests;
            ++data_requests;
            break;
        }
        case talsim::DownloadStep::End:
            ASSERT_EQ(set(talSetDownloadEnd), NDIS_STATUS_SUCCESS);
            break;
        }
    }
    EXPECT_EQ(data_requests, 3u + 5u + 1u);
    EXPECT_EQ(talsim::join_pieces(card.downloaded()), image->blocks);
    EXPECT_EQ(card.download_stats().empty_commits, 0u);

    Bytes pda;
    ASSERT_EQ(query(talQueryPDA, 1024, &pda), NDIS_STATUS_SUCCESS);
    const Words &area = card.records().pda();
    ASSERT_EQ(pda, Bytes((const uint8_t *)area.data(), (const uint8_t *)area.data() + 1024));
    Words answer_words(512);
    std::memcpy(answer_words.data(), pda.data(), 1024);
    std::optional<Words> mac = talsim::pda_record(answer_words, talsim::pda::MacAddress);
    ASSERT_TRUE(mac);
    Bytes mac_bytes = talsim::words_to_bytes(*mac);
    EXPECT_EQ(mac_bytes, Bytes(adapter->NetworkAddress, adapter->NetworkAddress + 6));
    EXPECT_EQ(cardReset(adapter.get()), 0);
}

} // namespace
