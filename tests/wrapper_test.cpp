// The wrapper's side of running an adapter by itself: interrupt delivery,
// timers on virtual time, the Ethernet filter library and the test binding.
// The miniport here is written in the test: plain handler functions over a
// record, registered through NdisMRegisterMiniport as DriverEntry does, that
// log what the wrapper made them do.
#include "support/host_fixture.h"
#include "support/miniport.h"

#include "binding.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using talhost::Host;
using talhost::MacAddress;
using talhost::TestBinding;

namespace {

constexpr UINT kBase = 0x300;

// The fake miniport's adapter record.
struct Fake {
    NDIS_HANDLE handle = nullptr;
    std::vector<std::string> log;
    BOOLEAN recognized = TRUE;
    BOOLEAN queue_deferred = TRUE;
    std::function<void()> on_isr, on_deferred, on_timer, on_send;
    NDIS_STATUS send_status = NDIS_STATUS_SUCCESS;
    std::vector<uint8_t> frame; // the frame being indicated: header and data
    std::vector<NDIS_HANDLE> transfer_contexts;
    // A query's or set's body: buffer, length, the two counters.
    std::function<NDIS_STATUS(PUCHAR, ULONG, PULONG, PULONG)> on_request;

    void note(const std::string &what) {
        bool locked = ((PNDIS_MINIPORT_BLOCK)handle)->LockAcquired;
        log.push_back(what + (locked ? "+lock" : "") + "@" +
                      std::to_string(Host::current().world().now()));
    }
};

Fake &fake(NDIS_HANDLE context) {
    return *(Fake *)context;
}

VOID FakeIsr(PBOOLEAN recognized, PBOOLEAN queue, NDIS_HANDLE context) {
    Fake &f = fake(context);
    f.note("isr");
    *recognized = f.recognized;
    *queue = f.queue_deferred;
    if (f.on_isr)
        f.on_isr();
}

VOID FakeDisable(NDIS_HANDLE context) {
    fake(context).note("disable");
}
VOID FakeEnable(NDIS_HANDLE context) {
    fake(context).note("enable");
}

VOID FakeHandleInterrupt(NDIS_HANDLE context) {
    Fake &f = fake(context);
    f.note("deferred");
    if (f.on_deferred)
        f.on_deferred();
}

VOID FakeTimer(PVOID, PVOID context, PVOID, PVOID) {
    Fake &f = fake(context);
    f.note("timer");
    if (f.on_timer)
        f.on_timer();
}

NDIS_STATUS FakeSend(NDIS_HANDLE context, PNDIS_PACKET, UINT) {
    Fake &f = fake(context);
    f.note("send");
    if (f.on_send)
        f.on_send();
    return f.send_status;
}

// Copies from the frame being indicated, after its 14-byte header.
NDIS_STATUS FakeTransfer(PNDIS_PACKET packet, PUINT transferred, NDIS_HANDLE context,
                         NDIS_HANDLE receive_context, UINT offset, UINT bytes) {
    Fake &f = fake(context);
    f.transfer_contexts.push_back(receive_context);
    *transferred = 0;
    if (f.frame.size() < 14 + offset)
        return NDIS_STATUS_FAILURE;
    PVOID va;
    UINT len;
    NdisQueryBuffer(packet->Private.Head, &va, &len);
    UINT n = std::min<UINT>({bytes, len, (UINT)f.frame.size() - 14 - offset});
    std::memcpy(va, f.frame.data() + 14 + offset, n);
    *transferred = n;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS FakeRequest(NDIS_HANDLE context, NDIS_OID, PVOID buffer, ULONG length, PULONG done,
                        PULONG needed) {
    Fake &f = fake(context);
    if (f.on_request)
        return f.on_request((PUCHAR)buffer, length, done, needed);
    *done = 0;
    return NDIS_STATUS_SUCCESS;
}

NDIS30_MINIPORT_CHARACTERISTICS all_handlers() {
    NDIS30_MINIPORT_CHARACTERISTICS c{};
    c.DisableInterruptHandler = FakeDisable;
    c.EnableInterruptHandler = FakeEnable;
    c.HandleInterruptHandler = FakeHandleInterrupt;
    c.ISRHandler = FakeIsr;
    c.SendHandler = FakeSend;
    c.TransferDataHandler = FakeTransfer;
    c.QueryInformationHandler = FakeRequest;
    c.SetInformationHandler = FakeRequest;
    return c;
}

class WrapperTest : public taltest::HostTest {
protected:
    void SetUp() override {
        handle = host.add_adapter();
        f.handle = handle;
        NdisMSetAttributes(handle, &f, FALSE, NdisInterfaceIsa);
        ASSERT_EQ(taltest::register_miniport(all_handlers()), NDIS_STATUS_SUCCESS);
    }
    void TearDown() override {
        if (irq.Registered)
            NdisMDeregisterInterrupt(&irq);
        HostTest::TearDown();
    }

    void register_interrupt(BOOLEAN request_isr = TRUE,
                            NDIS_INTERRUPT_MODE mode = NdisInterruptLatched) {
        ASSERT_EQ(NdisMRegisterInterrupt(&irq, handle, 10, 10, request_isr, FALSE, mode),
                  NDIS_STATUS_SUCCESS);
    }
    void line(bool level) { host.set_interrupt_line(handle, level); }
    // What the miniport logged, from the start or since the last call.
    std::vector<std::string> take_log() {
        std::vector<std::string> l;
        l.swap(f.log);
        return l;
    }

    Fake f;
    NDIS_HANDLE handle = nullptr;
    NDIS_MINIPORT_INTERRUPT irq{};
};

using Log = std::vector<std::string>;

// ---- Interrupts ----

TEST_F(WrapperTest, ALatchedInterruptIsDeliveredOncePerRisingEdgeWhileRegistered) {
    line(true); // before registration: lost
    register_interrupt();
    line(true); // still high: no edge
    EXPECT_EQ(host.interrupt_counts(handle).isr, 0u);
    line(false);
    line(true);
    line(true);
    line(false);
    line(true);
    EXPECT_EQ(take_log(), (Log{"isr@0", "isr@0"}));
    host.world().run_due();
    EXPECT_EQ(take_log(), (Log{"deferred+lock@0"}))
        << "two ISRs before the run loop, one deferred call";
    NdisMDeregisterInterrupt(&irq);
    line(false);
    line(true);
    host.world().run_due();
    EXPECT_TRUE(take_log().empty()) << "nothing after deregistration";
    const talhost::InterruptCounts &n = host.interrupt_counts(handle);
    EXPECT_EQ(n.edges, 4u);
    EXPECT_EQ(n.unregistered, 2u);
    EXPECT_EQ(n.deferred, 1u);
}

TEST_F(WrapperTest, AnEdgeWhileTheIsrRunsIsDeliveredWhenItReturns) {
    register_interrupt();
    int calls = 0;
    f.on_isr = [&] {
        if (++calls == 1) { // the line falls and rises again under the ISR
            line(false);
            line(true);
            f.note("isr-end");
        }
    };
    line(true);
    EXPECT_EQ(take_log(), (Log{"isr@0", "isr-end@0", "isr@0"}));
}

TEST_F(WrapperTest, ALevelSensitiveInterruptComesBackUntilTheIsrQuietsTheLine) {
    register_interrupt(TRUE, NdisInterruptLevelSensitive);
    int calls = 0, quiet_at = 3;
    f.on_isr = [&] {
        if (++calls == quiet_at)
            line(false);
    };
    line(true);
    host.world().run_due();
    EXPECT_EQ(take_log(), (Log{"isr@0", "isr@0", "isr@0", "deferred+lock@0"}));
    EXPECT_TRUE(host.verifier().clean());

    calls = 0;
    quiet_at = 1000; // an ISR that never quiets the device
    line(true);
    EXPECT_EQ(calls, (int)Host::kStormRepeats);
    EXPECT_EQ(host.interrupt_counts(handle).storms, 1u);
    ASSERT_EQ(host.verifier().violations().size(), 1u);
    EXPECT_EQ(host.verifier().violations()[0].rule, talhost::rule::InterruptStorm);
    host.verifier().clear();
    line(false);
    line(true);
    EXPECT_EQ(calls, 2 * (int)Host::kStormRepeats) << "a new edge is served again";
    host.verifier().clear();
    line(false);
    take_log();
}

TEST_F(WrapperTest, TheIsrDecidesWhetherTheDeferredHandlerRuns) {
    register_interrupt();
    struct Case {
        BOOLEAN recognized, queue;
        Log expected;
    } cases[] = {
        {TRUE, TRUE, {"isr@0", "deferred+lock@0"}},
        {TRUE, FALSE, {"isr@0"}},
        {FALSE, TRUE, {"isr@0"}}, // not this adapter's interrupt
    };
    for (const Case &c : cases) {
        f.recognized = c.recognized;
        f.queue_deferred = c.queue;
        line(true);
        line(false);
        host.world().run_due();
        EXPECT_EQ(take_log(), c.expected) << (int)c.recognized << (int)c.queue;
    }
}

TEST_F(WrapperTest, TheIsrRunsInsideAStallAndTheDeferredHandlerAfterTheHandlerReturns) {
    register_interrupt();
    host.world().schedule_in(50, talhost::EventKind::Device, [&] { line(true); });
    f.on_send = [&] { KeStallExecutionProcessor(100); };
    auto p = talhost::Packet::one_buffer(std::vector<uint8_t>(60));
    EXPECT_EQ(host.send(handle, p->ndis(), FakeSend), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(take_log(), (Log{"send@0", "isr@50"}));
    host.world().run_due();
    EXPECT_EQ(take_log(), (Log{"deferred+lock@100"}));
    EXPECT_FALSE(((PNDIS_MINIPORT_BLOCK)handle)->LockAcquired);
}

TEST_F(WrapperTest, WithoutRequestIsrTheDeferredHandlerSitsBetweenDisableAndEnable) {
    register_interrupt(FALSE);
    line(true);
    host.world().run_due();
    EXPECT_EQ(take_log(), (Log{"disable@0", "deferred+lock@0", "enable+lock@0"}));
    EXPECT_TRUE(host.verifier().clean());

    // A miniport that left those slots empty: named, not a crash.
    NDIS30_MINIPORT_CHARACTERISTICS c = all_handlers();
    c.DisableInterruptHandler = nullptr;
    c.EnableInterruptHandler = nullptr;
    ASSERT_EQ(taltest::register_miniport(c), NDIS_STATUS_SUCCESS);
    line(false);
    line(true);
    host.world().run_due();
    EXPECT_EQ(take_log(), (Log{"deferred+lock@0"}));
    ASSERT_EQ(host.verifier().violations().size(), 2u);
    EXPECT_EQ(host.verifier().violations()[0].rule, talhost::rule::HandlerSlotEmpty);
    EXPECT_EQ(host.verifier().violations()[0].detail,
              "DisableInterruptHandler, with RequestIsr FALSE");
    EXPECT_EQ(host.verifier().violations()[1].detail,
              "EnableInterruptHandler, with RequestIsr FALSE");
    host.verifier().clear();
}

TEST_F(WrapperTest, ASendFromInsideTheDeferredHandlerWaitsUntilItReturns) {
    register_interrupt();
    TestBinding protocol(host, handle);
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    f.on_deferred = [&] {
        status = protocol.send(std::vector<uint8_t>(60, 0x11));
        f.note("deferred-end");
    };
    line(true);
    host.world().run_due();
    EXPECT_EQ(status, NDIS_STATUS_PENDING);
    EXPECT_EQ(take_log(), (Log{"isr@0", "deferred+lock@0", "deferred-end+lock@0", "send@0"}));
    ASSERT_EQ(protocol.completions().size(), 1u)
        << "the send handler finished it: back to its binding";
    EXPECT_EQ(protocol.completions()[0].status, NDIS_STATUS_SUCCESS);
}

// A device that logs its accesses, for the ISR-at-any-access option.
class LoggingDevice : public talhost::PortDevice {
public:
    explicit LoggingDevice(Fake &f) : f_(f) {}
    uint16_t port_read16(uint32_t offset) override {
        f_.log.push_back("r" + std::to_string(offset));
        return 0;
    }
    void port_write16(uint32_t offset, uint16_t) override {
        f_.log.push_back("w" + std::to_string(offset));
    }

private:
    Fake &f_;
};

TEST_F(WrapperTest, TheIsrCanBeDeliveredBeforeAnyPortAccess) {
    LoggingDevice dev(f);
    host.bus().map(kBase, 0x40, &dev);
    PVOID base;
    ASSERT_EQ(NdisMRegisterIoPortRange(&base, handle, kBase, 0x40), NDIS_STATUS_SUCCESS);
    register_interrupt();
    f.on_isr = [] { WRITE_PORT_USHORT((PUSHORT)(uintptr_t)(kBase + 0x32), 0); };
    host.set_isr_at_port_access(handle, 3);
    for (uint32_t off = 0; off < 14; off += 2)
        READ_PORT_USHORT((PUSHORT)(uintptr_t)(kBase + off));
    READ_PORT_USHORT((PUSHORT)(uintptr_t)0x500); // not the adapter's: not counted
    host.set_isr_at_port_access(handle, 0);
    READ_PORT_USHORT((PUSHORT)(uintptr_t)(kBase + 14));
    EXPECT_EQ(take_log(), (Log{"r0", "r2", "isr@0", "w50", "r4", "r6", "r8", "isr@0", "w50", "r10",
                               "r12", "r14"}));
    EXPECT_TRUE(host.verifier().has(talhost::rule::PortOutsideRange));
    host.verifier().clear();
    host.world().run_due();
    EXPECT_EQ(take_log(), (Log{"deferred+lock@0"}));
    NdisMDeregisterIoPortRange(handle, kBase, 0x40, base);
    host.bus().unmap(&dev);
}

// ---- Timers ----

TEST_F(WrapperTest, APeriodicTimerKeepsItsCadenceWithTheLockAndNeverRunsInsideAStall) {
    NDIS_MINIPORT_TIMER t;
    NdisMInitializeTimer(&t, handle, FakeTimer, &f);
    NdisMSetPeriodicTimer(&t, 1);
    host.world().run_until(2500);
    EXPECT_EQ(take_log(), (Log{"timer+lock@1000", "timer+lock@2000"}));

    // A handler that stalls across three expiries: one late run after it.
    f.on_send = [] { KeStallExecutionProcessor(3000); };
    auto p = talhost::Packet::one_buffer(std::vector<uint8_t>(60));
    host.send(handle, p->ndis(), FakeSend);
    host.world().run_until(7000);
    EXPECT_EQ(take_log(),
              (Log{"send@2500", "timer+lock@5500", "timer+lock@6000", "timer+lock@7000"}));

    BOOLEAN cancelled = FALSE;
    NdisMCancelTimer(&t, &cancelled);
    EXPECT_TRUE(cancelled);
    NdisMCancelTimer(&t, &cancelled);
    EXPECT_FALSE(cancelled) << "it was no longer set";
    host.world().run_for(5000);
    EXPECT_TRUE(take_log().empty());
}

TEST_F(WrapperTest, HeldTimersStayDueAndEachRunsOnceWhenReleased) {
    NDIS_MINIPORT_TIMER fast, slow, dropped;
    for (PNDIS_MINIPORT_TIMER t : {&fast, &slow, &dropped})
        NdisMInitializeTimer(t, handle, FakeTimer, &f);
    host.hold_timers(handle, true);
    NdisMSetPeriodicTimer(&fast, 1);
    NdisMSetPeriodicTimer(&slow, 4);
    NdisMSetPeriodicTimer(&dropped, 2);
    host.world().run_until(10000);
    EXPECT_TRUE(take_log().empty());
    EXPECT_TRUE(host.timer(&fast)->held_due);
    BOOLEAN cancelled = FALSE;
    NdisMCancelTimer(&dropped, &cancelled);
    EXPECT_TRUE(cancelled) << "a held timer is still set";

    host.hold_timers(handle, false);
    host.world().run_until(12000);
    EXPECT_EQ(take_log(), (Log{"timer+lock@10000", "timer+lock@10000", "timer+lock@11000",
                               "timer+lock@12000", "timer+lock@12000"}));
    EXPECT_EQ(host.timer(&fast)->runs, 3u);
    EXPECT_EQ(host.timer(&slow)->runs, 2u);
    EXPECT_EQ(host.timer(&dropped)->runs, 0u);
    for (PNDIS_MINIPORT_TIMER t : {&fast, &slow})
        NdisMCancelTimer(t, &cancelled);
}

// ---- The Ethernet filter library ----

const MacAddress kStation = {0x00, 0x60, 0x1D, 0x01, 0x02, 0x03};
const MacAddress kOther = {0x00, 0x60, 0x1D, 0x09, 0x09, 0x09};
const MacAddress kGroupIn = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
const MacAddress kGroupOut = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x02};
const MacAddress kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

std::vector<uint8_t> frame_to(const MacAddress &dest, size_t body, uint8_t fill) {
    std::vector<uint8_t> frame(dest.begin(), dest.end());
    frame.insert(frame.end(), kOther.begin(), kOther.end());
    frame.push_back(0x08);
    frame.push_back(0x00);
    for (size_t i = 0; i < body; i++)
        frame.push_back((uint8_t)(fill + i));
    return frame;
}

class FilterTest : public WrapperTest {
protected:
    NDIS_HANDLE const kReceiveContext = &f.frame; // not the adapter's context
    // The miniport's receive step: one indication of `frame` with a
    // lookahead of at most `lookahead` bytes, and its completion, under the
    // miniport lock as in a deferred handler.
    void indicate(const std::vector<uint8_t> &frame, UINT lookahead = 1500) {
        f.frame = frame;
        host.run_locked(host.block(handle), "the test's receive step", [&] {
            uint8_t *p = f.frame.data();
            UINT size = (UINT)f.frame.size() - 14;
            EthFilterDprIndicateReceive(((PNDIS_MINIPORT_BLOCK)handle)->EthDB, kReceiveContext,
                                        (PCHAR)p, p, 14, p + 14, std::min(size, lookahead), size);
            EthFilterDprIndicateReceiveComplete(((PNDIS_MINIPORT_BLOCK)handle)->EthDB);
        });
    }
};

TEST_F(FilterTest, EachBindingGetsWhatItsPacketFilterAccepts) {
    host.set_station_address(handle, kStation);
    struct Row {
        ULONG filter;
        const char *expected; // destinations taken, of D O Mi Mo B
    } rows[] = {
        {0, ""},
        {NDIS_PACKET_TYPE_DIRECTED, "D"},
        {NDIS_PACKET_TYPE_MULTICAST, "Mi"},
        {NDIS_PACKET_TYPE_ALL_MULTICAST, "Mi Mo"},
        {NDIS_PACKET_TYPE_BROADCAST, "B"},
        {NDIS_PACKET_TYPE_PROMISCUOUS, "D O Mi Mo B"},
        {NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST, "D B"},
        {NDIS_PACKET_TYPE_MULTICAST | NDIS_PACKET_TYPE_ALL_MULTICAST, "Mi Mo"},
        {0x10 | 0x40 | 0x80 | 0x1000, ""}, // types the Ethernet library ignores
    };
    std::vector<std::unique_ptr<TestBinding>> bindings;
    for (const Row &r : rows) {
        bindings.push_back(std::make_unique<TestBinding>(host, handle));
        bindings.back()->set_packet_filter(r.filter);
        bindings.back()->set_multicast({kGroupIn});
    }
    struct Dest {
        const char *name;
        MacAddress mac;
    } dests[] = {
        {"D", kStation}, {"O", kOther}, {"Mi", kGroupIn}, {"Mo", kGroupOut}, {"B", kBroadcast}};
    for (const Dest &d : dests)
        indicate(frame_to(d.mac, 46, 0));
    for (size_t i = 0; i < bindings.size(); i++) {
        std::string got;
        for (const auto &fr : bindings[i]->frames())
            for (const Dest &d : dests)
                if (std::equal(d.mac.begin(), d.mac.end(), fr.begin()))
                    got += (got.empty() ? "" : " ") + std::string(d.name);
        EXPECT_EQ(got, rows[i].expected) << "filter 0x" << std::hex << rows[i].filter;
        EXPECT_EQ(bindings[i]->receive_completes(), bindings[i]->received().size())
            << "one completion per indication it got";
    }
}

TEST_F(FilterTest, ABindingTakesTheLookaheadOrTheWholeFrameThroughTransferData) {
    host.set_station_address(handle, kStation);
    TestBinding look(host, handle, TestBinding::Take::Lookahead);
    TestBinding rest(host, handle, TestBinding::Take::Frame);
    TestBinding all(host, handle, TestBinding::Take::TransferAll);
    for (TestBinding *b : {&look, &rest, &all})
        b->set_packet_filter(NDIS_PACKET_TYPE_DIRECTED);
    std::vector<uint8_t> frame = frame_to(kStation, 100, 0x40);
    indicate(frame, 40);

    ASSERT_EQ(look.received().size(), 1u);
    const TestBinding::Received &l = look.received()[0];
    EXPECT_EQ(l.header, std::vector<uint8_t>(frame.begin(), frame.begin() + 14));
    EXPECT_EQ(l.lookahead, std::vector<uint8_t>(frame.begin() + 14, frame.begin() + 54));
    EXPECT_EQ(l.packet_size, 100u);
    EXPECT_FALSE(l.transferred);
    EXPECT_EQ(l.frame, std::vector<uint8_t>(frame.begin(), frame.begin() + 54));
    for (TestBinding *b : {&rest, &all}) {
        ASSERT_EQ(b->received().size(), 1u);
        EXPECT_TRUE(b->received()[0].transferred);
        EXPECT_EQ(b->received()[0].frame, frame);
    }
    EXPECT_EQ(rest.received()[0].transfer_bytes, 60u);
    EXPECT_EQ(all.received()[0].transfer_bytes, 100u);
    EXPECT_EQ(f.transfer_contexts, (std::vector<NDIS_HANDLE>{kReceiveContext, kReceiveContext}))
        << "the transfer handler gets the indication's receive context";

    // A frame the lookahead holds whole needs no transfer for `rest`.
    f.transfer_contexts.clear();
    indicate(frame_to(kStation, 30, 0), 40);
    EXPECT_FALSE(rest.received()[1].transferred);
    EXPECT_EQ(f.transfer_contexts.size(), 1u) << "only `all` asks";
}

TEST_F(FilterTest, TheAdapterIsAskedForTheOrOfTheFiltersAndTheUnionOfTheLists) {
    std::vector<std::pair<ULONG, size_t>> told;
    host.filter(handle).on_change = [&](ULONG filter, const std::vector<MacAddress> &list) {
        told.emplace_back(filter, list.size());
        return NDIS_STATUS_SUCCESS;
    };
    auto a = std::make_unique<TestBinding>(host, handle);
    TestBinding b(host, handle);
    a->set_packet_filter(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST);
    a->set_multicast({kGroupIn, kGroupOut});
    b.set_packet_filter(NDIS_PACKET_TYPE_BROADCAST | 0x10);
    b.set_multicast({kGroupOut});
    EXPECT_EQ(host.filter(handle).combined_filter(), 0x0Bu) << "0x10 is not an Ethernet type";
    EXPECT_EQ(host.filter(handle).combined_multicast(),
              (std::vector<MacAddress>{kGroupIn, kGroupOut}));
    a.reset();
    EXPECT_EQ(told, (std::vector<std::pair<ULONG, size_t>>{
                        {0x03, 0}, {0x03, 2}, {0x0B, 2}, {0x0B, 2}, {0x08, 1}}));
}

// ---- What the verifier names ----

TEST(WrapperVerifier, MisuseOfInterruptsTimersAndIndicationsIsNamed) {
    struct Case {
        const char *rule;
        std::function<void(Host &, NDIS_HANDLE, Fake &)> misuse;
    } cases[] = {
        {talhost::rule::InterruptSharedWithoutIsr,
         [](Host &, NDIS_HANDLE h, Fake &) {
             NDIS_MINIPORT_INTERRUPT irq{};
             NdisMRegisterInterrupt(&irq, h, 5, 5, FALSE, TRUE, NdisInterruptLevelSensitive);
             NdisMDeregisterInterrupt(&irq);
         }},
        {talhost::rule::HandlerSlotEmpty, // registered without an ISR, asking for one
         [](Host &host, NDIS_HANDLE h, Fake &f) {
             NDIS_MINIPORT_INTERRUPT irq{};
             NdisMRegisterInterrupt(&irq, h, 5, 5, TRUE, FALSE, NdisInterruptLatched);
             host.set_interrupt_line(h, true);
             host.world().run_due();
             EXPECT_TRUE(f.log.empty());
             NdisMDeregisterInterrupt(&irq);
         }},
        {talhost::rule::TimerUnknown,
         [](Host &, NDIS_HANDLE h, Fake &) {
             NDIS_MINIPORT_TIMER t{};
             t.MiniportHandle = h;
             NdisMSetPeriodicTimer(&t, 1);
         }},
        {talhost::rule::TimerLeak,
         [](Host &host, NDIS_HANDLE h, Fake &f) {
             NDIS_MINIPORT_TIMER t{};
             NdisMInitializeTimer(&t, h, FakeTimer, &f);
             NdisMSetPeriodicTimer(&t, 1);
             host.check_released();
             BOOLEAN c;
             NdisMCancelTimer(&t, &c);
         }},
        {talhost::rule::IndicationWithoutLock,
         [](Host &, NDIS_HANDLE h, Fake &) {
             uint8_t frame[60] = {};
             EthFilterDprIndicateReceive(((PNDIS_MINIPORT_BLOCK)h)->EthDB, nullptr, (PCHAR)frame,
                                         frame, 14, frame + 14, 46, 46);
         }},
        {talhost::rule::CompleteWithoutIndication,
         [](Host &host, NDIS_HANDLE h, Fake &) {
             host.run_locked(host.block(h), "test", [h] {
                 EthFilterDprIndicateReceiveComplete(((PNDIS_MINIPORT_BLOCK)h)->EthDB);
             });
         }},
        {talhost::rule::IndicationWithoutComplete,
         [](Host &host, NDIS_HANDLE h, Fake &) {
             host.run_locked(host.block(h), "test", [h] {
                 uint8_t frame[60] = {};
                 EthFilterDprIndicateReceive(((PNDIS_MINIPORT_BLOCK)h)->EthDB, nullptr,
                                             (PCHAR)frame, frame, 14, frame + 14, 46, 46);
             });
         }},
        {talhost::rule::TransferOutsideIndication,
         [](Host &host, NDIS_HANDLE h, Fake &f) {
             TestBinding b(host, h);
             auto p = talhost::Packet::one_buffer(std::vector<uint8_t>(10));
             NDIS_STATUS s = NDIS_STATUS_SUCCESS;
             UINT n = 99;
             NdisTransferData(&s, host.filter(h).opens()[0].get(), &f, 0, 10, p->ndis(), &n);
             EXPECT_EQ(s, NDIS_STATUS_FAILURE);
             EXPECT_EQ(n, 0u);
             EXPECT_TRUE(f.transfer_contexts.empty()) << "the miniport was not called";
         }},
        {talhost::rule::TransferOutsideIndication, // during one, with another's context
         [](Host &host, NDIS_HANDLE h, Fake &f) {
             TestBinding b(host, h);
             b.set_packet_filter(NDIS_PACKET_TYPE_PROMISCUOUS);
             b.on_receive = [&](const TestBinding::Received &) {
                 auto p = talhost::Packet::one_buffer(std::vector<uint8_t>(10));
                 NDIS_STATUS s = NDIS_STATUS_SUCCESS;
                 UINT n;
                 NdisTransferData(&s, host.filter(h).opens()[0].get(), &f.log, 0, 10, p->ndis(),
                                  &n);
                 EXPECT_EQ(s, NDIS_STATUS_FAILURE);
             };
             host.run_locked(host.block(h), "test", [h, &f] {
                 uint8_t frame[60] = {};
                 EthFilterDprIndicateReceive(((PNDIS_MINIPORT_BLOCK)h)->EthDB, &f, (PCHAR)frame,
                                             frame, 14, frame + 14, 46, 46);
                 EthFilterDprIndicateReceiveComplete(((PNDIS_MINIPORT_BLOCK)h)->EthDB);
             });
         }},
        {talhost::rule::RequestBytesBeyondBuffer,
         [](Host &host, NDIS_HANDLE h, Fake &f) {
             f.on_request = [](PUCHAR b, ULONG, PULONG done, PULONG) {
                 std::memset(b, 1, 8);
                 *done = 9;
                 return NDIS_STATUS_SUCCESS;
             };
             host.query(h, 1, 8);
         }},
        {talhost::rule::RequestWroteOutsideAnswer, // past the bytes it reports
         [](Host &host, NDIS_HANDLE h, Fake &f) {
             f.on_request = [](PUCHAR b, ULONG, PULONG done, PULONG) {
                 std::memset(b, 1, 6);
                 *done = 4;
                 return NDIS_STATUS_SUCCESS;
             };
             host.query(h, 1, 8);
         }},
        {talhost::rule::RequestWroteOutsideAnswer, // before the buffer, in a set
         [](Host &host, NDIS_HANDLE h, Fake &f) {
             f.on_request = [](PUCHAR b, ULONG, PULONG, PULONG) {
                 b[-1] = 0;
                 return NDIS_STATUS_SUCCESS;
             };
             host.set(h, 1, {1, 2});
         }},
        {talhost::rule::RequestWroteOutsideAnswer, // into a set's input
         [](Host &host, NDIS_HANDLE h, Fake &f) {
             f.on_request = [](PUCHAR b, ULONG, PULONG, PULONG) {
                 b[1] = 9;
                 return NDIS_STATUS_SUCCESS;
             };
             host.set(h, 1, {1, 2});
         }},
        {talhost::rule::RequestAnsweredTwice, // pended, then answered twice
         [](Host &host, NDIS_HANDLE h, Fake &f) {
             f.on_request = [](PUCHAR b, ULONG, PULONG done, PULONG) {
                 b[0] = 7;
                 *done = 1;
                 return NDIS_STATUS_PENDING;
             };
             std::vector<uint8_t> answer;
             EXPECT_EQ(
                 host.query(h, 1, 4, [&](const talhost::RequestResult &r) { answer = r.answer(); })
                     .status,
                 NDIS_STATUS_PENDING);
             NdisMQueryInformationComplete(h, NDIS_STATUS_SUCCESS);
             EXPECT_EQ(answer, std::vector<uint8_t>{7});
             EXPECT_TRUE(host.verifier().clean());
             NdisMQueryInformationComplete(h, NDIS_STATUS_SUCCESS);
         }},
        {talhost::rule::WrapperNotTerminated,
         [](Host &host, NDIS_HANDLE, Fake &) {
             host.faults().register_miniport_status = NDIS_STATUS_FAILURE;
             host.load_driver([](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS {
                 NDIS_HANDLE w;
                 NdisInitializeWrapper(&w, nullptr, nullptr, nullptr);
                 NDIS30_MINIPORT_CHARACTERISTICS c{};
                 return NdisMRegisterMiniport(w, &c, sizeof c);
             });
         }},
        {talhost::rule::CallAfterHalt,
         [](Host &host, NDIS_HANDLE h, Fake &) {
             host.block(h).halted = true;
             host.run_locked(host.block(h), "test", [h] {
                 uint8_t frame[60] = {};
                 EthFilterDprIndicateReceive(((PNDIS_MINIPORT_BLOCK)h)->EthDB, nullptr,
                                             (PCHAR)frame, frame, 14, frame + 14, 46, 46);
             });
         }},
    };
    for (const Case &c : cases) {
        Host host;
        Fake f;
        NDIS_HANDLE h = host.add_adapter();
        f.handle = h;
        NdisMSetAttributes(h, &f, FALSE, NdisInterfaceIsa);
        NDIS30_MINIPORT_CHARACTERISTICS handlers = all_handlers();
        if (c.rule == talhost::rule::HandlerSlotEmpty)
            handlers.ISRHandler = nullptr;
        taltest::register_miniport(handlers);
        c.misuse(host, h, f);
        ASSERT_FALSE(host.verifier().clean()) << c.rule;
        EXPECT_EQ(host.verifier().violations()[0].rule, c.rule) << host.verifier().text();
    }
}

} // namespace
