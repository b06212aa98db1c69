// What the wrapper stand-in costs an adapter that runs by itself on virtual
// time, with handlers that do the least a miniport does (the card's event
// status read under the adapter's spin lock):
//
//   PollingTimers50   50 periodic 1 ms timers started 20 us apart, as polling
//                     mode starts them; each callback is one loop run
//   InterruptPerTick  the card's tick event every 100 us, each one an
//                     interrupt: ISR masks, deferred handler acknowledges and
//                     unmasks
//
// The counter virtual_x is virtual seconds per wall-clock second.
// `tal_wrapper_bench --count=CASE/MS` runs MS virtual milliseconds of one case
// inside CountRun, for instruction counts under callgrind
// (--toggle-collect='*CountRun*').
#include "countmain.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "card/card.h"
#include "card/cardlink.h"
#include "host.h"
#include "support/miniport.h"

namespace {

constexpr uint32_t kBase = 0x300;
constexpr int kTimers = 50;
constexpr uint16_t kEvents = talsim::ev::Rx | talsim::ev::Tick;

uint16_t Get(uint16_t off) {
    return READ_PORT_USHORT((PUSHORT)(uintptr_t)(kBase + off));
}
void Put(uint16_t off, uint16_t v) {
    WRITE_PORT_USHORT((PUSHORT)(uintptr_t)(kBase + off), v);
}

struct Adapter {
    NDIS_SPIN_LOCK lock{};
    NDIS_MINIPORT_TIMER timers[kTimers]{};
    uint64_t runs = 0;
};

// One run of an event loop that finds nothing, or acknowledges what it finds.
void Loop(Adapter &a) {
    NdisAcquireSpinLock(&a.lock);
    if (uint16_t ev = Get(talsim::reg::EvStat))
        Put(talsim::reg::EvAck, ev);
    a.runs++;
    NdisReleaseSpinLock(&a.lock);
}

VOID Timer(PVOID, PVOID context, PVOID, PVOID) {
    Loop(*(Adapter *)context);
}
VOID Isr(PBOOLEAN recognized, PBOOLEAN queue, NDIS_HANDLE) {
    Put(talsim::reg::IntEn, 0);
    *recognized = *queue = TRUE;
}
VOID HandleInterrupt(NDIS_HANDLE context) {
    Loop(*(Adapter *)context);
    Put(talsim::reg::IntEn, kEvents);
}

struct Rig {
    talhost::Host host;
    talsim::CardModel card{host.world()};
    NDIS_HANDLE handle = host.add_adapter();
    Adapter adapter;
    NDIS_MINIPORT_INTERRUPT irq{};
    bool polling;

    explicit Rig(bool poll) : polling(poll) {
        host.bus().map(kBase, talsim::kPortCount, &card);
        PVOID base;
        NdisMRegisterIoPortRange(&base, handle, kBase, talsim::kPortCount);
        NdisMSetAttributes(handle, &adapter, FALSE, NdisInterfaceIsa);
        NDIS30_MINIPORT_CHARACTERISTICS c{};
        c.HandleInterruptHandler = HandleInterrupt;
        c.ISRHandler = Isr;
        taltest::register_miniport(c);
        if (polling) {
            for (NDIS_MINIPORT_TIMER &t : adapter.timers) {
                NdisMInitializeTimer(&t, handle, Timer, &adapter);
                NdisMSetPeriodicTimer(&t, 1);
                KeStallExecutionProcessor(20);
            }
        } else {
            talsim::connect_interrupt_line(card, host, handle);
            NdisMRegisterInterrupt(&irq, handle, 10, 10, TRUE, FALSE, NdisInterruptLatched);
            card.set_periodic_event(talsim::ev::Tick, 100);
            Put(talsim::reg::IntEn, kEvents);
        }
    }
    ~Rig() {
        BOOLEAN cancelled;
        if (polling)
            for (NDIS_MINIPORT_TIMER &t : adapter.timers)
                NdisMCancelTimer(&t, &cancelled);
        else
            NdisMDeregisterInterrupt(&irq);
        NdisMDeregisterIoPortRange(handle, kBase, talsim::kPortCount, (PVOID)(uintptr_t)kBase);
    }
};

void Run(benchmark::State &s, bool polling) {
    Rig rig(polling);
    constexpr uint64_t kSliceUs = 10000;
    for (auto _ : s)
        rig.host.world().run_for(kSliceUs);
    s.counters["virtual_x"] =
        benchmark::Counter((double)s.iterations() * kSliceUs / 1e6, benchmark::Counter::kIsRate);
    s.counters["loop_runs_per_vms"] =
        (double)rig.adapter.runs / ((double)s.iterations() * kSliceUs / 1000);
}

void PollingTimers50(benchmark::State &s) {
    Run(s, true);
}
void InterruptPerTick(benchmark::State &s) {
    Run(s, false);
}
BENCHMARK(PollingTimers50);
BENCHMARK(InterruptPerTick);

__attribute__((noinline)) void CountRun(Rig &rig, uint64_t ms) {
    rig.host.world().run_for(ms * 1000);
}

int Count(const std::string &arg) {
    char name[16] = {};
    unsigned long ms = 0;
    if (std::sscanf(arg.c_str(), "%15[^/]/%lu", name, &ms) != 2)
        return 2;
    std::string what = name;
    if (what != "polling" && what != "interrupt")
        return 2;
    Rig rig(what == "polling");
    CountRun(rig, ms);
    std::printf("%llu loop runs\n", (unsigned long long)rig.adapter.runs);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    return BenchOrCount(argc, argv, Count, "polling|interrupt/MS");
}
