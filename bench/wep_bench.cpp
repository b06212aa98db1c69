// Host WEP cost per frame, against the usual way of doing it.
//
//   A  peer:  OpenSSL RC4 with a key schedule per frame over IV + key, zlib crc32
//   B  seal:  wep_tx_nextiv + header copy + wep_tx_seal, as the transmit path
//             does it, with the default IV reuse (1000)
//   C  open:  wep_rx_open, same IV as the previous frame / a new IV every frame
//   R  plain: the same receive with the whole 2348-byte block rebuilt per new
//             IV and a byte-at-a-time XOR and CRC (tests/wep_reference.h)
//   D  floor: memcpy of the same bytes
//
// Bodies of 64, 1500 and 2304 bytes; bytes/s count body bytes.
//
// Besides the benchmarks, `tal_wep_bench --count=CASE/LEN/FRAMES` runs FRAMES
// frames of one case inside CountFrames, for instruction counts under
// callgrind (--toggle-collect=CountFrames*).
#include <benchmark/benchmark.h>
#include <openssl/rc4.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "wep/talwep.h"
#include "wep_reference.h"

namespace {

const std::uint8_t kSecret[5] = {0x3A, 0x91, 0x07, 0xC4, 0x5E};

std::vector<std::uint8_t> Payload(std::size_t len) {
    std::vector<std::uint8_t> v(len);
    std::uint32_t x = 0x2545F491u;
    for (auto &b : v) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return v;
}

void NextCounter(std::uint8_t *h) {
    if (++h[0] == 0 && ++h[1] == 0)
        ++h[2];
}

// A: what a WEP implementation built on OpenSSL and zlib does per frame.
struct Peer {
    std::vector<std::uint8_t> field;
    std::size_t len;
    std::uint8_t seed[8] = {};
    explicit Peer(std::size_t l) : field(l + 8), len(l) {
        auto p = Payload(l);
        std::memcpy(field.data() + 4, p.data(), l);
        std::memcpy(seed + 3, kSecret, 5);
    }
    void Frame() {
        NextCounter(seed);
        std::memcpy(field.data(), seed, 3);
        field[3] = 0;
        std::uint8_t *body = field.data() + 4;
        uLong icv = crc32(0L, body, static_cast<uInt>(len));
        body[len] = static_cast<std::uint8_t>(icv);
        body[len + 1] = static_cast<std::uint8_t>(icv >> 8);
        body[len + 2] = static_cast<std::uint8_t>(icv >> 16);
        body[len + 3] = static_cast<std::uint8_t>(icv >> 24);
        RC4_KEY key;
        RC4_set_key(&key, 8, seed);
        RC4(&key, len + 4, body, body);
    }
};

std::unique_ptr<TAL_ADAPTER> Registered() {
    auto a = std::make_unique<TAL_ADAPTER>();
    a->WepRequired = 3;
    std::memcpy(a->WepDefaultKey0, kSecret, 5);
    a->ivCountMax = 1000;
    crc32_mktable(a.get());
    wep_tx_setkey(a.get());
    return a;
}

// B: the transmit path's use of the engine.
struct Seal {
    std::unique_ptr<TAL_ADAPTER> a = Registered();
    std::vector<std::uint8_t> field;
    std::size_t len;
    explicit Seal(std::size_t l) : field(l + 8), len(l) {
        auto p = Payload(l);
        std::memcpy(field.data() + 4, p.data(), l);
    }
    void Frame() {
        wep_tx_nextiv(a.get());
        std::memcpy(field.data(), a->iv, 4);
        wep_tx_seal(a.get(), field.data() + 4, static_cast<USHORT>(len));
    }
};

// A sealed field to open; opening flips it between cipher and plain text,
// which costs the same either way.
std::vector<std::uint8_t> SealedField(std::size_t len) {
    Seal s(len);
    s.a->ivCountMax = 0;
    s.Frame();
    return s.field;
}

// C: the receive path's use of the engine.
struct Open {
    std::unique_ptr<TAL_ADAPTER> a = Registered();
    std::vector<std::uint8_t> field;
    bool newIv;
    Open(std::size_t l, bool n) : field(SealedField(l)), newIv(n) {
        auto copy = field;
        if (!wep_rx_open(a.get(), copy.data(), static_cast<USHORT>(copy.size())))
            std::abort();
    }
    void Frame() {
        if (newIv)
            NextCounter(field.data());
        benchmark::DoNotOptimize(
            wep_rx_open(a.get(), field.data(), static_cast<USHORT>(field.size())));
    }
};

// R: the plain receive, one whole block per new seed.
struct Plain {
    talref::PlainReceiver rx;
    std::vector<std::uint8_t> field;
    std::uint8_t seed[8] = {};
    explicit Plain(std::size_t l) : field(SealedField(l)) {
        std::memcpy(seed, field.data(), 3);
        std::memcpy(seed + 3, kSecret, 5);
        rx.setkey(seed);
        auto copy = field;
        if (!rx.open(copy))
            std::abort();
    }
    void Frame() {
        NextCounter(seed);
        rx.setkey(seed);
        benchmark::DoNotOptimize(rx.open(field));
    }
};

// D: copying the bytes once.
struct Copy {
    std::vector<std::uint8_t> src, dst;
    explicit Copy(std::size_t l) : src(Payload(l + 4)), dst(l + 4) {}
    void Frame() {
        std::memcpy(dst.data(), src.data(), src.size());
        benchmark::ClobberMemory();
    }
};

template <class Case, class... Extra>
void Run(benchmark::State &state, Extra... extra) {
    auto len = static_cast<std::size_t>(state.range(0));
    Case c(len, extra...);
    for (auto _ : state)
        c.Frame();
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * len));
}

void A_PeerOpenSslZlib(benchmark::State &s) {
    Run<Peer>(s);
}
void B_EngineSeal(benchmark::State &s) {
    Run<Seal>(s);
}
void C_EngineOpenSameIv(benchmark::State &s) {
    Run<Open>(s, false);
}
void C_EngineOpenNewIv(benchmark::State &s) {
    Run<Open>(s, true);
}
void R_PlainOpenNewIv(benchmark::State &s) {
    Run<Plain>(s);
}
void D_Memcpy(benchmark::State &s) {
    Run<Copy>(s);
}

#define WEP_SIZES ->Arg(64)->Arg(1500)->Arg(2304)
BENCHMARK(A_PeerOpenSslZlib) WEP_SIZES;
BENCHMARK(B_EngineSeal) WEP_SIZES;
BENCHMARK(C_EngineOpenSameIv) WEP_SIZES;
BENCHMARK(C_EngineOpenNewIv) WEP_SIZES;
BENCHMARK(R_PlainOpenNewIv) WEP_SIZES;
BENCHMARK(D_Memcpy) WEP_SIZES;

template <class Case>
__attribute__((noinline)) void CountFrames(Case &c, long frames) {
    for (long n = 0; n < frames; n++)
        c.Frame();
}

// --count=CASE/LEN/FRAMES with CASE one of peer seal open-same open-new plain copy.
int Count(const std::string &what) {
    char name[32] = {};
    unsigned long len = 0;
    long frames = 0;
    if (std::sscanf(what.c_str(), "%31[^/]/%lu/%ld", name, &len, &frames) != 3)
        return 2;
    std::string n = name;
    if (n == "peer") {
        Peer c(len);
        CountFrames(c, frames);
    } else if (n == "seal") {
        Seal c(len);
        CountFrames(c, frames);
    } else if (n == "open-same" || n == "open-new") {
        Open c(len, n == "open-new");
        CountFrames(c, frames);
    } else if (n == "plain") {
        Plain c(len);
        CountFrames(c, frames);
    } else if (n == "copy") {
        Copy c(len);
        CountFrames(c, frames);
    } else {
        return 2;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    const std::string countFlag = "--count=";
    if (argc == 2 && std::strncmp(argv[1], countFlag.c_str(), countFlag.size()) == 0) {
        int rc = Count(argv[1] + countFlag.size());
        if (rc != 0)
            std::fprintf(stderr, "usage: %s --count=CASE/LEN/FRAMES\n", argv[0]);
        return rc;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
