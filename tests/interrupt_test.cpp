// The event loop: the card's events served in priority order, receive
// indications through the filter library, transmit completion, and the
// interrupt and polling timers that reach the loop.
#include <gtest/gtest.h>

#include <vector>

#include "binding.h"
#include "datapath/interrupt.h"
#include "download/taldown.h"
#include "mac/talregs.h"
#include "mgmt/talmgmt.h"
#include "support/adapter_fixture.h"
#include "support/bytes.h"

using taltest::AdapterTest;
using taltest::Bytes;
using taltest::cat;

namespace {

const Bytes kStation = {0x02, 0x00, 0x54, 0x41, 0x4C, 0x01};
const Bytes kPeer = {0x00, 0x60, 0x1D, 0x0A, 0x0B, 0x0C};

// A receive frame the card hands over: RFC 1042 body of `payload` bytes,
// or `body` as given.
Bytes card_rx(size_t payload, Bytes body = {}) {
    if (body.empty()) {
        body = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00};
        for (size_t i = 0; i < payload; i++)
            body.push_back((uint8_t)i);
    }
    Bytes f(0x3C, 0);
    f[0x01] = 0x20; // RFC 1042
    f[0x0E] = 0x08;
    f[0x0F] = 0x02;
    f[0x2C] = (uint8_t)body.size();
    f[0x2D] = (uint8_t)(body.size() >> 8);
    std::copy(kStation.begin(), kStation.end(), f.begin() + 0x2E);
    std::copy(kPeer.begin(), kPeer.end(), f.begin() + 0x34);
    return cat({f, body});
}

class LoopTest : public AdapterTest {
protected:
    // Nothing reaches the loop by itself: the test runs it, as the wrapper
    // would, with the miniport lock held.
    static talhost::AdapterConfig direct_config() { return default_config(); }
    static talhost::AdapterConfig interrupt_config() {
        auto c = default_config();
        c.set_dword("PollInDriver", 0);
        return c;
    }

    void up(talhost::AdapterConfig c = direct_config()) {
        ASSERT_EQ(bring_up(c), NDIS_STATUS_SUCCESS);
        host.set_station_address(handle, {0x02, 0x00, 0x54, 0x41, 0x4C, 0x01});
        binding = std::make_unique<talhost::TestBinding>(host, handle);
        binding->set_packet_filter(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST);
    }

    void run_loop(bool lock_held = true) {
        NDIS_MINIPORT_BLOCK &b = host.block(handle).ndis;
        b.LockAcquired = lock_held;
        TalHandleInterrupt(adapter.get());
        b.LockAcquired = FALSE;
    }

    // The event bits the driver acknowledged since the trace began, in order.
    std::vector<uint16_t> acks() { return writes_to(TAL_REG_EVACK); }

    void TearDown() override {
        binding.reset();
        AdapterTest::TearDown();
    }

    std::unique_ptr<talhost::TestBinding> binding;
};

// ---- Priority ----

TEST_F(LoopTest, AllocateComesFirstAndTheOrderIsRecomputedOnEveryPass) {
    up();
    card.inject_rx(card_rx(40));
    card.inject_rx(card_rx(41));
    host.world().run_for(100);
    card.raise_event(TAL_EV_ALLOC);
    card.inject_info(Bytes{2, 0, 0x00, 0xF0, 0, 0}); // a type the driver ignores
    host.world().run_for(100);
    start_measuring();
    // While the first frame is read, the buffer comes back once more.
    host.world().schedule_in(5, talhost::EventKind::Device,
                             [&] { card.raise_event(TAL_EV_ALLOC); });
    run_loop();
    EXPECT_EQ(acks(), (std::vector<uint16_t>{0x0008, 0x0001, 0x0008, 0x0001, 0x0080}));
    EXPECT_EQ(binding->received().size(), 2u);
    EXPECT_EQ(adapter->PacketMonitor.TxPacketCounter, 2u);
}

TEST_F(LoopTest, EventsServedByAcknowledgingOnly) {
    up();
    card.raise_event(TAL_EV_0002 | TAL_EV_TXEXC | TAL_EV_2000 | TAL_EV_8000);
    start_measuring();
    run_loop();
    EXPECT_EQ(acks(), (std::vector<uint16_t>{0x0002, 0x0004, 0x2000, 0x8000}));
    EXPECT_EQ(reads_of(TAL_REG_TXCOMPLFID), 1u) << "register 0x24 read for 0x0004";
    EXPECT_EQ(card.events(), 0);
}

TEST_F(LoopTest, EventsItDoesNotServeAreNeitherAcknowledgedNorWaitedFor) {
    up();
    card.poke(TAL_REG_EVSTAT, TAL_EV_CMD);
    start_measuring();
    run_loop();
    EXPECT_TRUE(acks().empty());
    EXPECT_EQ(reads_of(TAL_REG_EVSTAT), 1u);
    EXPECT_EQ(adapter->InterruptStatus & TAL_EV_CMD, TAL_EV_CMD) << "kept, not served";
}

TEST_F(LoopTest, InformationFrameThatCannotBeReadIsServedAgainOnTheNextPass) {
    up();
    card.inject_info(Bytes{2, 0, 0x00, 0xF0, 0, 0});
    host.world().run_for(100);
    card.set_stuck_busy(talsim::Busy::Path0, true);
    // The path frees itself after the first read gave up (100 ms).
    host.world().schedule_in(101000, talhost::EventKind::Device,
                             [&] { card.set_stuck_busy(talsim::Busy::Path0, false); });
    start_measuring();
    run_loop();
    EXPECT_EQ(reads_of(TAL_REG_INFOFID), 2u);
    EXPECT_EQ(acks(), (std::vector<uint16_t>{0x0080}));
}

// ---- Receive indications ----

TEST_F(LoopTest, IndicationOffersTheLookaheadTheProtocolsAskFor) {
    struct Case {
        size_t payload;
        ULONG max_lookahead;
        UINT lookahead;
        UINT packet_size;
    } cases[] = {{60, 1508, 60, 60}, {1500, 100, 100, 1500}, {100, 100, 100, 100}};
    up();
    binding->set_take(talhost::TestBinding::Take::Lookahead);
    ULONG bytes = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.max_lookahead);
        binding->clear();
        adapter->MaxLookAhead = c.max_lookahead;
        card.inject_rx(card_rx(c.payload));
        host.world().run_for(100);
        run_loop();
        ASSERT_EQ(binding->received().size(), 1u);
        const auto &r = binding->received()[0];
        EXPECT_EQ(r.header, cat({kStation, kPeer, {0x08, 0x00}}));
        EXPECT_EQ(r.lookahead.size(), c.lookahead);
        EXPECT_EQ(r.packet_size, c.packet_size);
        bytes += c.packet_size + 14;
    }
    EXPECT_EQ(adapter->PacketMonitor.RxPacketCounter, 3u);
    EXPECT_EQ(adapter->PacketMonitor.RxPacketBytes, bytes);
    EXPECT_TRUE(host.asserts().empty()) << "the lock was held";
}

TEST_F(LoopTest, MonitorRecordIsWholeInTheLookaheadAndCountsNothing) {
    up();
    binding->set_packet_filter(NDIS_PACKET_TYPE_PROMISCUOUS);
    binding->set_take(talhost::TestBinding::Take::Lookahead);
    adapter->sniffer_state = 1;
    card.inject_rx(card_rx(92));
    host.world().run_for(100);
    run_loop();
    ASSERT_EQ(binding->received().size(), 1u);
    const auto &r = binding->received()[0];
    EXPECT_EQ(r.packet_size, 146u);
    ASSERT_EQ(r.lookahead.size(), 146u);
    EXPECT_EQ(r.header, Bytes(r.lookahead.begin(), r.lookahead.begin() + 14));
    EXPECT_EQ(adapter->PacketMonitor.RxPacketCounter, 0u);
}

TEST_F(LoopTest, FrameWithNothingToIndicateIsStillAcknowledged) {
    up();
    card.inject_rx(card_rx(0, {0xAA, 0xAA, 0x03, 0x02, 0x5C, 0x39, 0x81, 0xAE, 0, 1, 0, 0}));
    host.world().run_for(100);
    start_measuring();
    run_loop();
    EXPECT_TRUE(binding->received().empty());
    EXPECT_EQ(adapter->PacketMonitor.RxPacketCounter, 0u);
    EXPECT_EQ(acks(), (std::vector<uint16_t>{0x0001}));
    EXPECT_EQ(adapter->APCard_Info_Flag, 1);
}

TEST_F(LoopTest, IndicationWithoutTheMiniportLockIsReportedAndStillMade) {
    struct Case {
        UCHAR monitor;
        ULONG indicate_line, complete_line;
    } cases[] = {{0, 229, 231}, {1, 244, 246}};
    up();
    binding->set_packet_filter(NDIS_PACKET_TYPE_PROMISCUOUS);
    host.verifier().enabled = false; // the wrapper's own rule would name it too
    for (const Case &c : cases) {
        SCOPED_TRACE(c.indicate_line);
        size_t before = host.asserts().size();
        adapter->sniffer_state = c.monitor;
        card.inject_rx(card_rx(60));
        host.world().run_for(100);
        run_loop(false);
        ASSERT_EQ(host.asserts().size(), before + 2);
        const auto &i = host.asserts()[before], &d = host.asserts()[before + 1];
        EXPECT_EQ(i.expression,
                  "MINIPORT_LOCK_ACQUIRED((PNDIS_MINIPORT_BLOCK)(Adapter->MiniportAdapterHandle))");
        EXPECT_EQ(d.expression,
                  "MINIPORT_LOCK_ACQUIRED(((PNDIS_MINIPORT_BLOCK)Adapter->MiniportAdapterHandle))");
        EXPECT_EQ(i.file, "interrupt");
        EXPECT_EQ(i.line, c.indicate_line);
        EXPECT_EQ(d.line, c.complete_line);
        EXPECT_EQ(i.message, "");
    }
    EXPECT_EQ(binding->received().size(), 2u);
    host.verifier().clear();
    host.verifier().enabled = true;
}

// ---- Transmit ----

TEST_F(LoopTest, ReturnedBufferWithoutAPacketCountsAndStartsTheQueuedOne) {
    up();
    ASSERT_EQ(QuenlixOUIRequest(adapter.get()), 1); // a frame without a packet
    send(*packet(cat({kPeer, kStation, {0x08, 0x00}, Bytes(50, 7)})));
    ASSERT_EQ(adapter->NumPacketsQueued, 1u);
    host.world().run_for(2000);
    run_loop();
    EXPECT_TRUE(completions().empty()) << "the vendor frame had no packet";
    EXPECT_EQ(adapter->PacketMonitor.TxPacketCounter, 1u);
    EXPECT_EQ(adapter->NumPacketsQueued, 0u);
    EXPECT_NE(adapter->txPacket, nullptr) << "the queued packet went into the card";
    host.world().run_for(2000);
    run_loop();
    ASSERT_EQ(completions().size(), 1u);
    EXPECT_EQ(completions()[0].status, NDIS_STATUS_SUCCESS);
}

TEST_F(LoopTest, PacketTheCardRefusedIsTriedAgainWithoutAnotherSend) {
    up(interrupt_config());
    card.fail_command(0x010B, 0x0A, 1);
    send(*packet(cat({kPeer, kStation, {0x08, 0x00}, Bytes(50, 7)})));
    EXPECT_EQ(adapter->NumPacketsQueued, 1u);
    EXPECT_EQ(adapter->reclaimStatus, 1);
    // Any event brings the loop, which starts the packet again.
    card.inject_rx(card_rx(40));
    host.world().run_for(5000);
    ASSERT_EQ(completions().size(), 1u);
    EXPECT_EQ(completions()[0].status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(adapter->PacketMonitor.TxPacketErrCounter, 1u);
}

// ---- Reaching the loop ----

TEST_F(LoopTest, ServiceRoutineMasksTheCardAndAlwaysClaimsTheInterrupt) {
    up();
    card.poke(TAL_REG_EVSTAT, 0);
    start_measuring();
    BOOLEAN recognized = FALSE, queue = FALSE;
    TalIsr(&recognized, &queue, adapter.get());
    EXPECT_TRUE(recognized);
    EXPECT_TRUE(queue);
    EXPECT_EQ(card.trace().port_accesses(),
              (std::vector<talsim::PortAccess>{{true, TAL_REG_INTEN, 0x0000}}));
}

TEST_F(LoopTest, ReceiveOnlyStationInInterruptModeKeepsReceiving) {
    up(interrupt_config());
    EXPECT_TRUE(host.block(handle).interrupt.request_isr) << "the ISR is asked for";
    for (size_t i = 0; i < 5; i++) {
        card.inject_rx(card_rx(40 + i));
        host.world().run_for(1000);
    }
    EXPECT_EQ(binding->received().size(), 5u);
    EXPECT_EQ(host.interrupt_counts(handle).deferred, 5u);
    EXPECT_EQ(card.int_enable(), TAL_INTEN_RUN) << "unmasked after each run";
}

TEST_F(LoopTest, InterruptDuringADownloadLeavesTheCardMasked) {
    up(interrupt_config());
    card.raise_event(TAL_EV_2000); // the service routine masks, the deferred run waits
    ASSERT_EQ(card.int_enable(), 0);
    ULONG needed = 0;
    ASSERT_EQ(talSetDownloadBegin(adapter.get(), nullptr, 0, &needed), NDIS_STATUS_SUCCESS);
    host.world().run_for(1000);
    EXPECT_EQ(host.interrupt_counts(handle).deferred, 1u);
    EXPECT_EQ(card.int_enable(), 0) << "the download keeps the card masked";
    // The end step and a reset bring the card back; the reset unmasks it.
    ASSERT_EQ(talSetDownloadEnd(adapter.get(), nullptr, 0, &needed), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(cardReset(adapter.get()), 0);
    EXPECT_EQ(card.int_enable(), TAL_INTEN_RUN);
}

TEST_F(LoopTest, PollingTimersRunTheLoopFiftyTimesAMillisecond) {
    auto c = default_config();
    c.set_dword("PollInDriver", 1);
    up(c);
    EXPECT_FALSE(adapter->Interrupt.Registered);
    // 50 timers of 1 ms, started 20 us apart.
    for (int i = 0; i < TAL_NUM_TIMERS; i++) {
        const talhost::HostTimer *t = host.timer(&adapter->TalTimer[i]);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->period_us, 1000u);
        if (i > 0) {
            EXPECT_EQ(t->due_at - host.timer(&adapter->TalTimer[i - 1])->due_at, 20u);
        }
    }
    // The binding's filter request held the card across the first
    // expiries; once they have caught up the cadence is steady.
    host.world().run_for(1000);
    start_measuring();
    host.world().run_for(999);
    EXPECT_EQ(reads_of(TAL_REG_EVSTAT), 50u) << "one loop run per timer expiry";
    EXPECT_EQ(writes_to(TAL_REG_INTEN).size(), 0u) << "polling runs leave the mask alone";
    card.inject_rx(card_rx(40));
    host.world().run_for(1000);
    EXPECT_EQ(binding->received().size(), 1u);
}

TEST_F(LoopTest, RemovedCardIsLeftAloneAndItsAllOnesNameNoEventOnceItIsBack) {
    up();
    card.fail_command(0x010B, 0x0A, 1);
    send(*packet(cat({kPeer, kStation, {0x08, 0x00}, Bytes(50, 7)})));
    ASSERT_EQ(adapter->reclaimStatus, 1) << "refused: at the head of the queue, buffer free";
    card.set_removed(true);
    start_measuring();
    run_loop();
    EXPECT_EQ(adapter->EventLoopStops, 1u);
    EXPECT_EQ(card.trace().port_accesses().size(), 1u) << "one look, no send tried again";
    EXPECT_EQ(host.world().stalled_us(), 0u);

    // Back: the packet goes into the card, and nothing the all-ones reading
    // named is served (its allocate event would complete it at once).
    card.set_removed(false);
    run_loop();
    EXPECT_NE(adapter->txPacket, nullptr);
    EXPECT_TRUE(completions().empty());
    host.world().run_for(2000);
    run_loop();
    ASSERT_EQ(completions().size(), 1u);
    EXPECT_EQ(completions()[0].status, NDIS_STATUS_SUCCESS);
}

TEST_F(LoopTest, RunQueuedBeforeAShutdownLeavesTheCardMasked) {
    up(interrupt_config());
    TalShutdownHandler(adapter.get());
    card.raise_event(TAL_EV_2000);
    start_measuring();
    run_loop();
    EXPECT_EQ(acks(), (std::vector<uint16_t>{TAL_EV_2000}));
    EXPECT_TRUE(writes_to(TAL_REG_INTEN).empty());
    EXPECT_EQ(card.int_enable(), 0);
}

TEST_F(LoopTest, LoopStopsAtARemovedCardOrAStuckEventAndLeavesTheCardMasked) {
    up(interrupt_config());
    // An event that no acknowledgement clears.
    card.set_stuck_events(TAL_EV_2000);
    start_measuring();
    card.raise_event(TAL_EV_2000);
    host.world().run_for(100);
    EXPECT_EQ(adapter->EventLoopStops, 1u);
    EXPECT_EQ(acks().size(), (size_t)TAL_EVENT_LOOP_PASSES) << "served up to the limit";
    EXPECT_EQ(card.int_enable(), 0) << "masked: no storm";
    card.set_stuck_events(0);

    // A removed card stops the loop at its first look.
    card.set_removed(true);
    card.trace().clear();
    host.set_interrupt_line(handle, false);
    host.set_interrupt_line(handle, true);
    host.world().run_for(100);
    EXPECT_EQ(adapter->EventLoopStops, 2u);
    EXPECT_TRUE(acks().empty()) << "nothing served";
    EXPECT_EQ(reads_of(TAL_REG_EVSTAT), 1u);
    card.set_removed(false);
}

} // namespace
