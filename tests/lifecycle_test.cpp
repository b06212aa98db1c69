// An adapter's life as the wrapper runs it: initialization through the
// driver's initialize handler with every way it can fail, the serving mode
// it sets up, halt, shutdown and reset.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "datapath/interrupt.h"
#include "driver/talpower.h"
#include "mac/talregs.h"
#include "support/adapter_fixture.h"

using taltest::AdapterTest;
using Bytes = std::vector<uint8_t>;

namespace {

const Bytes kFrame = [] {
    Bytes f(60, 0x5A);
    f[0] = 0x00;
    f[12] = 0x08;
    f[13] = 0x00;
    return f;
}();

class LifecycleTest : public AdapterTest {
protected:
    static talhost::AdapterConfig mode(ULONG poll) {
        auto c = default_config();
        c.set_dword("PollInDriver", poll);
        return c;
    }
    // The writes that steer the card: interrupt enable, event acknowledge,
    // command; the command protocol's own reads are not the point here.
    std::vector<talsim::PortAccess> steering_writes() {
        std::vector<talsim::PortAccess> out;
        for (const auto &a : card.trace().port_accesses())
            if (a.write && (a.offset == TAL_REG_INTEN || a.offset == TAL_REG_EVACK ||
                            a.offset == TAL_REG_COMMAND))
                out.push_back(a);
        return out;
    }
    std::vector<std::string> release_calls_since(size_t from) {
        const auto &all = host.release_calls();
        return std::vector<std::string>(all.begin() + (long)from, all.end());
    }
};

// ---- Initialization ----

TEST_F(LifecycleTest, EveryBringUpFailureIsLoggedAndLeavesNothingBehind) {
    using Fault = std::function<void()>;
    struct Case {
        const char *name;
        ULONG poll;
        Fault fault;
        NDIS_STATUS status;
        std::vector<NDIS_ERROR_CODE> logged;
    } cases[] = {
        {"record allocation",
         2,
         [this] { host.fail_allocation(1); },
         NDIS_STATUS_RESOURCES,
         {NDIS_ERROR_CODE_OUT_OF_RESOURCES}},
        {"configuration open",
         2,
         [this] { host.faults().fail_open_configuration = true; },
         NDIS_STATUS_FAILURE,
         {}},
        {"port range",
         2,
         [this] { host.faults().port_range_status = NDIS_STATUS_RESOURCES; },
         NDIS_STATUS_RESOURCES,
         {NDIS_ERROR_CODE_BAD_IO_BASE_ADDRESS}},
        {"initialize command",
         2,
         [this] { card.hang_command(0x0000); },
         NDIS_STATUS_FAILURE,
         {NDIS_ERROR_CODE_TIMEOUT}},
        {"interrupt",
         0,
         [this] { host.faults().interrupt_status = NDIS_STATUS_RESOURCES; },
         NDIS_STATUS_RESOURCES,
         {NDIS_ERROR_CODE_INTERRUPT_CONNECT}},
        {"enable, interrupt mode",
         0,
         [this] { card.fail_command(0x0001, 0x05); },
         NDIS_STATUS_FAILURE,
         {NDIS_ERROR_CODE_TIMEOUT}},
        {"allocate refused ten times", 0, [this] { card.fail_command(0x000A, 0x0C); }, 0x0C, {}},
        {"allocate event never rises", 2, [this] { card.suppress_events(0x0008); }, 0x7F, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        card.reset();
        card.clear_faults();
        host.faults() = talhost::HostFaults{};
        c.fault();
        size_t logged = host.error_log().size();
        // The wrapper's verifier names whatever a failed initialization keeps.
        EXPECT_EQ(bring_up(mode(c.poll)), c.status);
        std::vector<NDIS_ERROR_CODE> codes;
        for (size_t i = logged; i < host.error_log().size(); i++) {
            codes.push_back(host.error_log()[i].code);
            EXPECT_EQ(host.error_log()[i].values, std::vector<ULONG>{1});
        }
        EXPECT_EQ(codes, c.logged);
        EXPECT_EQ(card.int_enable(), 0) << "the card stays masked";
        EXPECT_EQ(host.live_allocations(), 0u);

        // Without the fault the next initialization succeeds.
        card.clear_faults();
        card.reset(); // a hung command holds the card until then
        host.faults() = talhost::HostFaults{};
        EXPECT_EQ(bring_up(mode(c.poll)), NDIS_STATUS_SUCCESS);
        halt();
    }
}

TEST_F(LifecycleTest, ServingModeDecidesBetweenInterruptTimersAndNothing) {
    struct Case {
        ULONG poll;
        bool interrupt;
        bool timers;
    } cases[] = {{0, true, false}, {1, false, true}, {2, false, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.poll);
        start_measuring();
        ASSERT_EQ(bring_up(mode(c.poll)), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(card.trace().port_accesses().at(0), (talsim::PortAccess{true, TAL_REG_INTEN, 0}))
            << "the card is masked before anything else";
        EXPECT_EQ(host.block(handle).interrupt.record != nullptr, c.interrupt);
        if (c.interrupt) {
            EXPECT_TRUE(host.block(handle).interrupt.request_isr);
            EXPECT_FALSE(host.block(handle).interrupt.shared);
            EXPECT_EQ(host.block(handle).interrupt.mode, NdisInterruptLatched);
            EXPECT_EQ(host.block(handle).interrupt.vector, 10u);
        }
        EXPECT_EQ(host.block(handle).timers.size(), c.timers ? 50u : 0u);
        EXPECT_EQ(card.int_enable(), TAL_INTEN_RUN) << "unmasked in every mode";
        EXPECT_FALSE(host.block(handle).bus_master);
        EXPECT_EQ(host.block(handle).interface_type, NdisInterfaceIsa);
        EXPECT_NE(host.block(handle).shutdown_handler, nullptr);
    }
}

// ---- Halt ----

TEST_F(LifecycleTest, HaltFailsThePacketsItHoldsThenGivesEverythingBackInOrder) {
    for (ULONG poll : {0u, 1u}) {
        SCOPED_TRACE(poll);
        hold_timers = true; // the second packet stays queued
        ASSERT_EQ(bring_up(mode(poll)), NDIS_STATUS_SUCCESS);
        std::vector<talhost::Packet *> p = {packet(kFrame), packet(kFrame), packet(kFrame)};
        for (auto *q : p)
            send(*q);
        ASSERT_EQ(adapter->txPacket, p[0]->ndis());
        size_t from = host.release_calls().size(), done = completions().size();
        start_measuring();
        halt();
        const std::vector<talsim::PortAccess> steering = {{true, TAL_REG_INTEN, 0},
                                                          {true, TAL_REG_EVACK, 0xFFFF},
                                                          {true, TAL_REG_COMMAND, TAL_CMD_DISABLE},
                                                          {true, TAL_REG_EVACK, TAL_EV_CMD}};
        EXPECT_EQ(steering_writes(), steering) << "masked, acknowledged, disabled; not initialized";

        std::vector<std::string> expected(3, "NdisMSendComplete");
        expected.push_back("NdisMDeregisterAdapterShutdownHandler");
        if (poll == 1)
            expected.insert(expected.end(), 50, "NdisMCancelTimer");
        else
            expected.push_back("NdisMDeregisterInterrupt");
        expected.push_back("NdisMDeregisterIoPortRange");
        expected.push_back("NdisFreeMemory");
        EXPECT_EQ(release_calls_since(from), expected);
        ASSERT_EQ(completions().size() - done, 3u);
        for (size_t i = 0; i < 3; i++) {
            EXPECT_EQ(completions()[done + i].packet, p[i]->ndis())
                << "the frame in the card first";
            EXPECT_EQ(completions()[done + i].status, NDIS_STATUS_FAILURE);
        }
        EXPECT_EQ(card.int_enable(), 0);
        EXPECT_FALSE(card.port_enabled());
        hold_timers = false;
    }
}

TEST_F(LifecycleTest, TimerCallbackAfterHaltBeganDoesNothing) {
    hold_timers = true;
    ASSERT_EQ(bring_up(mode(1)), NDIS_STATUS_SUCCESS);
    host.world().run_for(5000); // the held callbacks are due
    adapter->Halting = 1;
    start_measuring();
    TalTimerFunc(nullptr, adapter.get(), nullptr, nullptr);
    EXPECT_TRUE(card.trace().port_accesses().empty());
    adapter->Halting = 0;
    halt();
    host.hold_timers(handle, false); // nothing due runs: the verifier would name it
    host.world().run_for(5000);
}

// The wait comes first: a callback still running serves the card and the
// packets under the lock, which halt does not hold.
TEST_F(LifecycleTest, HaltWaitsABoundedTimeForACallbackStillRunningBeforeItTouchesTheCard) {
    uint64_t first_access[2];
    for (LONG running : {0, 1}) {
        ASSERT_EQ(bring_up(mode(1)), NDIS_STATUS_SUCCESS);
        adapter->TimerCallbacksRunning = running; // as another processor would leave it
        start_measuring();
        uint64_t t0 = host.world().now();
        halt();
        std::vector<talsim::TraceRecord> trace = card.trace().records();
        ASSERT_FALSE(trace.empty());
        first_access[running] = trace.front().time - t0;
    }
    EXPECT_EQ(first_access[0], 0u);
    EXPECT_EQ(first_access[1], TAL_HALT_WAIT_POLLS * 10ull);
}

// ---- Shutdown and reset ----

TEST_F(LifecycleTest, ShutdownQuietsTheCardAndReportsTheLinkDownOnce) {
    struct Case {
        ULONG network_mode, poll;
        bool traffic;
    } cases[] = {{0, 2, true}, {1, 0, true}, {0, 1, false}};
    for (const Case &k : cases) {
        SCOPED_TRACE(k.network_mode * 10 + k.poll);
        auto c = mode(k.poll);
        c.set_dword("NetworkMode", k.network_mode);
        hold_timers = true; // the second packet stays queued
        ASSERT_EQ(bring_up(c), NDIS_STATUS_SUCCESS);
        auto *queued = packet(kFrame);
        if (k.traffic) {
            send(*packet(kFrame)); // in the card
            send(*queued);
        }
        adapter->PacketMonitor.TxPacketCounter = 3;
        adapter->PacketMonitor.RxPacketErrCounter = 4;
        size_t statuses = host.block(handle).statuses.size(), done = completions().size();
        start_measuring();
        host.shutdown_system();

        const std::vector<talsim::PortAccess> steering = {
            {true, TAL_REG_INTEN, 0},
            {true, TAL_REG_EVACK, 0xFFFF},
            {true, TAL_REG_COMMAND, TAL_CMD_DISABLE},
            {true, TAL_REG_EVACK, TAL_EV_CMD},
            {true, TAL_REG_COMMAND, TAL_CMD_INITIALIZE},
            {true, TAL_REG_EVACK, TAL_EV_CMD},
            {true, TAL_REG_EVACK, 0xFFFF}};
        EXPECT_EQ(steering_writes(), steering);
        const auto &st = host.block(handle).statuses;
        ASSERT_EQ(st.size() - statuses, 2u);
        EXPECT_EQ(st[statuses].status, NDIS_STATUS_MEDIA_DISCONNECT);
        EXPECT_EQ(st[statuses + 1].status, talhost::kStatusComplete);
        ASSERT_EQ(completions().size() - done, k.traffic ? 1u : 0u) << "the queued packet fails";
        if (k.traffic) {
            EXPECT_EQ(completions().back().packet, queued->ndis());
        }
        EXPECT_EQ(adapter->txPacket != nullptr, k.traffic)
            << "the packet in the card waits for halt";
        EXPECT_EQ(adapter->NumPacketsQueued, 0u);
        EXPECT_EQ(adapter->reclaimStatus, 0) << "no transmit buffer after the initialize command";
        EXPECT_EQ(adapter->PacketMonitor.TxPacketCounter, 0u);
        EXPECT_EQ(adapter->PacketMonitor.RxPacketErrCounter, 0u);
        EXPECT_EQ(adapter->LinkIsActive, 1);
        EXPECT_EQ(adapter->LinkStatus, 4);
        EXPECT_EQ(card.int_enable(), 0);
        EXPECT_FALSE(card.port_enabled());
        for (const auto &t : host.block(handle).timers)
            EXPECT_EQ(t->event, 0u) << "no timer left set";
        hold_timers = false;
        halt(); // completes the packet that was in the card
        EXPECT_EQ(completions().size() - done, k.traffic ? 2u : 0u);
    }
}

TEST_F(LifecycleTest, ResetReportsSuccessAndTouchesNothing) {
    ASSERT_EQ(bring_up(), NDIS_STATUS_SUCCESS);
    BOOLEAN addressing = 7;
    start_measuring();
    EXPECT_EQ(TalReset(&addressing, adapter.get()), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(addressing, 7);
    EXPECT_TRUE(card.trace().port_accesses().empty());
}

// ---- Many lives ----

TEST_F(LifecycleTest, HundredLivesWithTrafficLeaveNothingBehind) {
    for (int life = 0; life < 100; life++) {
        ASSERT_EQ(bring_up(mode(life % 2)), NDIS_STATUS_SUCCESS) << "life " << life;
        for (int i = 0; i < 3; i++)
            send(*packet(kFrame));
        host.world().run_for(5000);
        EXPECT_GE(completions().size(), 2u);
        halt();
        ASSERT_EQ(host.live_allocations(), 0u) << "life " << life;
    }
    packets_.clear();
}

} // namespace
