// Cost of one port word as the driver pays it: READ_PORT_USHORT /
// WRITE_PORT_USHORT through the host's port bus into the card model, with the
// port range registered (so the verifier's range check runs) and the trace off.
//
//   DataRead / DataWrite  the data register of a buffer access path on a
//                         1500-byte frame buffer, repositioned every 750 words
//                         (what a frame copy does)
//   StatusRead            the event status register (what a poll does)
//   FrameCopy1500         a frame written through path 1 and read back
//                         through path 0: 750 + 750 words and two offset writes
//
// Items count port words. `tal_port_bench --count=CASE/WORDS` runs WORDS words
// of one case inside CountWords, for instruction counts under callgrind
// (--toggle-collect='*CountWords*').
#include "countmain.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "card/card.h"
#include "host.h"

namespace {

constexpr uint32_t kBase = 0x300;
constexpr uint32_t kFrameWords = 750;

PUSHORT Port(uint16_t offset) {
    return (PUSHORT)(uintptr_t)(kBase + offset);
}

// A host with the card mapped and the range registered, and one 1500-byte
// frame buffer selected on both paths.
struct Bench {
    talhost::Host host;
    talsim::CardModel card{host.world()};
    NDIS_HANDLE handle = host.add_adapter();
    uint16_t fid = 0;

    Bench() {
        host.bus().map(kBase, talsim::kPortCount, &card);
        PVOID base = nullptr;
        NdisMRegisterIoPortRange(&base, handle, kBase, talsim::kPortCount);
        card.timing().path_busy_us = 0; // the offset settles at once: no stall per frame
        fid = card.frames().allocate(2 * kFrameWords);
        WRITE_PORT_USHORT(Port(talsim::reg::Select0), fid);
        WRITE_PORT_USHORT(Port(talsim::reg::Select1), fid);
    }
    ~Bench() {
        NdisMDeregisterIoPortRange(handle, kBase, talsim::kPortCount, (PVOID)(uintptr_t)kBase);
    }

    void Rewind(uint16_t offsetReg) { WRITE_PORT_USHORT(Port(offsetReg), 0); }

    uint16_t ReadFrame() {
        Rewind(talsim::reg::Offset0);
        uint16_t x = 0;
        for (uint32_t i = 0; i < kFrameWords; i++)
            x ^= READ_PORT_USHORT(Port(talsim::reg::Data0));
        return x;
    }
    void WriteFrame() {
        Rewind(talsim::reg::Offset1);
        for (uint32_t i = 0; i < kFrameWords; i++)
            WRITE_PORT_USHORT(Port(talsim::reg::Data1), (USHORT)i);
    }
    uint16_t ReadStatus() {
        uint16_t x = 0;
        for (uint32_t i = 0; i < kFrameWords; i++)
            x ^= READ_PORT_USHORT(Port(talsim::reg::EvStat));
        return x;
    }
};

void Finish(benchmark::State &s, Bench &b, uint64_t wordsPerIteration) {
    s.SetItemsProcessed((int64_t)(s.iterations() * wordsPerIteration));
    s.counters["ns_per_word"] =
        benchmark::Counter((double)(s.iterations() * wordsPerIteration),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    if (b.card.device_error_count() != 0)
        s.SkipWithError("the card logged a device error");
}

void DataRead(benchmark::State &s) {
    Bench b;
    for (auto _ : s)
        benchmark::DoNotOptimize(b.ReadFrame());
    Finish(s, b, kFrameWords);
}

void DataWrite(benchmark::State &s) {
    Bench b;
    for (auto _ : s)
        b.WriteFrame();
    Finish(s, b, kFrameWords);
}

void StatusRead(benchmark::State &s) {
    Bench b;
    for (auto _ : s)
        benchmark::DoNotOptimize(b.ReadStatus());
    Finish(s, b, kFrameWords);
}

void FrameCopy1500(benchmark::State &s) {
    Bench b;
    for (auto _ : s) {
        b.WriteFrame();
        benchmark::DoNotOptimize(b.ReadFrame());
    }
    Finish(s, b, 2 * kFrameWords);
}

BENCHMARK(DataRead);
BENCHMARK(DataWrite);
BENCHMARK(StatusRead);
BENCHMARK(FrameCopy1500);

__attribute__((noinline)) void CountWords(Bench &b, const std::string &what, long frames) {
    for (long n = 0; n < frames; n++) {
        if (what == "read")
            benchmark::DoNotOptimize(b.ReadFrame());
        else if (what == "write")
            b.WriteFrame();
        else
            benchmark::DoNotOptimize(b.ReadStatus());
    }
}

// --count=CASE/WORDS with CASE one of read write status; WORDS a multiple of 750.
int Count(const std::string &arg) {
    char name[16] = {};
    long words = 0;
    if (std::sscanf(arg.c_str(), "%15[^/]/%ld", name, &words) != 2 || words % kFrameWords != 0)
        return 2;
    std::string what = name;
    if (what != "read" && what != "write" && what != "status")
        return 2;
    Bench b;
    CountWords(b, what, words / kFrameWords);
    return b.card.device_error_count() == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    return BenchOrCount(argc, argv, Count, "read|write|status/WORDS");
}
