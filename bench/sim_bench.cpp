// The driver running on the card model, as fast as the simulation goes:
//
//   Exchange/interrupt, Exchange/polling
//       two adapters in ad hoc mode exchange full-size frames (1514 bytes)
//       as fast as the link allows, each side keeping four packets
//       outstanding; the adapters run by themselves (interrupts, or 50
//       polling timers each). The counter virtual_x is virtual seconds per
//       wall-clock second.
//
// `sim_bench --count=CASE/N` runs N frames of one case inside CountFrames,
// for callgrind (--toggle-collect='*CountFrames*'): the driver's own
// instructions are the functions of its folders in the profile.
//   tx-plain, tx-wep   a 1514-byte frame through the send handler and the
//                      event loop that completes it (host WEP for tx-wep)
//   rx-plain, rx-wep   a frame with a 1500-byte body from the card through
//                      the receive path, indicated to a binding that takes
//                      the whole frame
//   copy               what cannot be avoided per frame: a 1514-byte copy
//                      and a CRC-32 over 1504 bytes
#include "countmain.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "binding.h"
#include "card/cardwep.h"
#include "mgmt/talmgmt.h"
#include "support/station.h"
#include "wep/talwep.h"

namespace {

using Bytes = std::vector<uint8_t>;
using talhost::MacAddress;

const MacAddress kMacA = {0x02, 0x00, 0x54, 0x41, 0x4C, 0x0A};
const MacAddress kMacB = {0x02, 0x00, 0x54, 0x41, 0x4C, 0x0B};
const MacAddress kCell = {0x02, 0x54, 0x41, 0x4C, 0xCE, 0x11};
const char *kKeys = "0102030405A1B2C3D4E5DEADBEEF0011223344CC";
constexpr size_t kOutstanding = 4;

talhost::AdapterConfig config(ULONG poll, bool wep) {
    talhost::AdapterConfig c;
    c.set_dword("NetworkMode", 0);
    c.set_dword("PollInDriver", poll);
    if (wep) {
        c.set_dword("WepReq", 3);
        c.set_string("DefaultKeys", kKeys);
    }
    return c;
}

Bytes frame(const MacAddress &to, const MacAddress &from, size_t size) {
    Bytes f(to.begin(), to.end());
    f.insert(f.end(), from.begin(), from.end());
    f.push_back(0x08);
    f.push_back(0x00);
    while (f.size() < size)
        f.push_back((uint8_t)f.size());
    return f;
}

// One side of the exchange: a station, its protocol, and the frames it
// keeps in flight.
struct Side {
    Side(talhost::Host &host, talsim::Medium &medium, UINT base, const MacAddress &mac, ULONG poll,
         bool wep)
        : station(host, medium, base, mac),
          binding(host, station.handle, talhost::TestBinding::Take::Lookahead) {
        station.bring_up(config(poll, wep));
        station.card.join(kCell);
        binding.set_packet_filter(NDIS_PACKET_TYPE_DIRECTED);
    }
    void keep_busy(const Bytes &f) {
        while (completed() + kOutstanding > sent) {
            binding.send(f);
            sent++;
        }
    }
    size_t completed() const { return done + binding.completions().size(); }
    // What the binding recorded is dropped, its count kept.
    void forget() {
        done = completed();
        binding.clear();
    }
    taltest::Station station;
    talhost::TestBinding binding;
    size_t sent = 0, done = 0;
};

struct Pair {
    Pair(ULONG poll, bool wep)
        : a(host, medium, 0x300, kMacA, poll, wep), b(host, medium, 0x340, kMacB, poll, wep) {
        host.verifier().enabled = false;
    }
    // Runs `us` of virtual time with both sides sending.
    void run(uint64_t us) {
        static const Bytes to_b = frame(kMacB, kMacA, 1514), to_a = frame(kMacA, kMacB, 1514);
        for (uint64_t t = 0; t < us; t += 1000) {
            a.keep_busy(to_b);
            b.keep_busy(to_a);
            host.world().run_for(1000);
            a.forget();
            b.forget();
        }
    }
    talhost::Host host;
    talsim::Medium medium{host.world()};
    int registered = taltest::register_tal_handlers();
    Side a, b;
};

void Exchange(benchmark::State &state, ULONG poll) {
    Pair pair(poll, false);
    uint64_t virtual_us = 0;
    double wall_us = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        pair.run(100000); // 100 virtual ms
        wall_us += std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0)
                       .count();
        virtual_us += 100000;
    }
    state.counters["virtual_x"] = (double)virtual_us / wall_us;
    state.counters["frames_per_virtual_s"] =
        (double)(pair.a.completed() + pair.b.completed()) / ((double)virtual_us / 1e6);
}
BENCHMARK_CAPTURE(Exchange, interrupt, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Exchange, polling, 1)->Unit(benchmark::kMillisecond);

// ---- Counting ----

// What one station needs to send frames (to nobody) or to receive them.
struct Single {
    explicit Single(bool wep) : station(host, medium, 0x300, kMacA) {
        host.verifier().enabled = false;
        taltest::register_tal_handlers();
        station.bring_up(config(0, wep));
        station.card.join(kCell);
        binding = std::make_unique<talhost::TestBinding>(host, station.handle);
        binding->set_packet_filter(NDIS_PACKET_TYPE_DIRECTED);
    }
    talhost::Host host;
    talsim::Medium medium{host.world()};
    taltest::Station station;
    std::unique_ptr<talhost::TestBinding> binding;
};

// A receive frame from B with a 1500-byte body: RFC 1042 and 1492 payload
// bytes, sealed with key 0 when `wep`.
Bytes card_rx(bool wep) {
    Bytes body = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00};
    while (body.size() < (wep ? 1492u : 1500u))
        body.push_back((uint8_t)body.size());
    if (wep)
        body = talsim::card_wep_seal(0x123456, 0, Bytes{1, 2, 3, 4, 5}, body);
    Bytes f(0x3C + body.size(), 0);
    f[0x01] = wep ? 0x00 : 0x20;
    f[0x0E] = 0x08;
    f[0x0F] = wep ? 0x40 : 0x00;
    f[0x2C] = (uint8_t)body.size();
    f[0x2D] = (uint8_t)(body.size() >> 8);
    std::copy(kMacA.begin(), kMacA.end(), f.begin() + 0x2E);
    std::copy(kMacB.begin(), kMacB.end(), f.begin() + 0x34);
    std::copy(body.begin(), body.end(), f.begin() + 0x3C);
    return f;
}

__attribute__((noinline)) void CountFrames(Single &s, bool tx, size_t n) {
    static const Bytes to_b = frame(kMacB, kMacA, 1514);
    for (size_t i = 0; i < n; i++) {
        if (tx)
            s.binding->send(to_b);
        s.host.world().run_for(2000);
    }
}

__attribute__((noinline)) uint32_t CountCopy(size_t n) {
    static uint8_t src[1514], dst[1514];
    uint32_t crc = 0;
    std::unique_ptr<TAL_ADAPTER> a(new TAL_ADAPTER{});
    crc32_mktable(a.get());
    for (size_t i = 0; i < n; i++) {
        std::memcpy(dst, src, sizeof dst);
        benchmark::DoNotOptimize(dst);
        crc ^= crc32_block(a.get(), CRC32_INIT, dst, 1504);
    }
    return crc;
}

int Count(const std::string &arg) {
    size_t slash = arg.find('/');
    if (slash == std::string::npos)
        return 2;
    std::string what = arg.substr(0, slash);
    size_t n = std::stoul(arg.substr(slash + 1));
    if (what == "copy") {
        benchmark::DoNotOptimize(CountCopy(n));
        return 0;
    }
    bool wep = what.size() > 3 && what.substr(3) == "wep";
    bool tx = what.rfind("tx-", 0) == 0;
    if (!tx && what.rfind("rx-", 0) != 0)
        return 2;
    Single s(wep);
    if (!tx) {
        // The frames wait in the card before counting starts.
        static const Bytes rx = card_rx(wep);
        for (size_t i = 0; i < n; i++) {
            s.station.card.inject_rx(rx);
            CountFrames(s, false, 1);
        }
        std::printf("%zu frames indicated\n", s.binding->received().size());
        return 0;
    }
    CountFrames(s, true, n);
    std::printf("%zu packets completed\n", s.binding->completions().size());
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    return BenchOrCount(argc, argv, Count, "tx-plain|tx-wep|rx-plain|rx-wep|copy/N");
}
