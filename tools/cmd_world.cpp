// talsim world FILE.reg [--world W.toml] [--pcap PATH] [--pings N] [--run MS]:
// brings an adapter up in a radio world (the built-in default, or a world
// file) with the driver's own steps, waits for its card to join, finds the
// wired host behind the access point by ARP and pings it through the
// driver, lists the networks the card heard and its tallies, and writes
// everything on the air to a pcap file.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "air/radioworld.h"
#include "ndisnames.h"
#include "binding.h"
#include "mgmt/talmgmt.h"
#include "support/station.h"
#include "talsim.h"
#include "wire/ethernet.h"
#include "wire/inet.h"

namespace talsim {

namespace {

constexpr uint64_t kMs = 1000;
constexpr uint64_t kJoinWaitUs = 2000 * kMs;
constexpr uint64_t kAnswerWaitUs = 50 * kMs;
const std::array<uint8_t, 6> kStationMac = FactoryData{}.mac;
const char *const kUsage = "usage: talsim world FILE.reg [--world W.toml] [--pcap PATH] [--pings N] [--run MS]\n";

const char *link_text(uint16_t code) {
    static const char *const kText[] = {"?",           "connected",    "disconnected",
                                        "AP changed",  "out of range", "back in range",
                                        "association failed"};
    return code < 7 ? kText[code] : "unknown";
}

std::string mac_text(const wire::MacAddr &m) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    return buf;
}

std::string ip_text(const wire::Ipv4Addr &a) {
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
           std::to_string(a[3]);
}

bool parse_number(const std::string &s, unsigned long max, unsigned long &out) {
    if (s.empty() || s.size() > 7 || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    out = std::strtoul(s.c_str(), nullptr, 10);
    return out <= max;
}

std::vector<uint8_t> ethernet(const wire::MacAddr &dst, uint16_t type, const std::vector<uint8_t> &payload) {
    std::vector<uint8_t> f = wire::EthernetHeader{dst, kStationMac, type}.to_bytes();
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

// Runs the clock in 1 ms steps for up to `us`, handing what the driver
// indicates to the protocol to `take` until it says it has what it waited
// for.
template <class Take>
bool wait_for(talhost::Host &host, talhost::TestBinding &binding, uint64_t us, Take take) {
    for (uint64_t t = 0; t < us; t += kMs) {
        binding.clear();
        host.world().run_for(kMs);
        for (const std::vector<uint8_t> &f : binding.frames())
            if (take(f))
                return true;
    }
    return false;
}

// Runs the clock for `us` in 1 ms steps, printing each change of the
// driver's link status and the media indications it makes.
void follow_link(talhost::Host &host, NDIS_HANDLE handle, const TAL_ADAPTER *a, uint64_t us,
                 size_t &statuses, ULONG &shown) {
    for (uint64_t t = 0; t < us; t += kMs) {
        host.world().run_for(kMs);
        if (a->LinkStatus != shown) {
            shown = a->LinkStatus;
            std::printf("  %8.3f s  link status %lu (%s)\n", (double)host.world().now() / 1e6,
                        (unsigned long)shown, link_text((uint16_t)shown));
        }
        const auto &st = host.block(handle).statuses;
        for (; statuses < st.size(); statuses++)
            if (st[statuses].status == NDIS_STATUS_MEDIA_CONNECT ||
                st[statuses].status == NDIS_STATUS_MEDIA_DISCONNECT)
                std::printf("  %8.3f s  media %s\n", (double)st[statuses].time / 1e6,
                            st[statuses].status == NDIS_STATUS_MEDIA_CONNECT ? "connect" : "disconnect");
    }
}

} // namespace

int cmd_world(const Args &args) {
    std::string file, world_file, pcap_path = "air.pcap";
    unsigned long pings = 4, run_ms = 0;
    for (size_t i = 0; i < args.size(); i++) {
        bool more = i + 1 < args.size();
        if (args[i] == "--world" && more) {
            world_file = args[++i];
        } else if (args[i] == "--pcap" && more) {
            pcap_path = args[++i];
        } else if (args[i] == "--pings" && more) {
            if (!parse_number(args[++i], 1000, pings)) {
                std::fprintf(stderr, "talsim world: --pings takes a number from 0 to 1000\n");
                return kExitUsage;
            }
        } else if (args[i] == "--run" && more) {
            if (!parse_number(args[++i], 3600000, run_ms)) {
                std::fprintf(stderr, "talsim world: --run takes milliseconds from 0 to 3600000\n");
                return kExitUsage;
            }
        } else if (!args[i].empty() && args[i][0] != '-' && file.empty()) {
            file = args[i];
        } else {
            std::fputs(kUsage, stderr);
            return kExitUsage;
        }
    }
    if (file.empty()) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    auto cfg = load_adapter_file(file);
    if (!cfg)
        return kExitUsage;
    WorldConfig world_config = default_world();
    if (!world_file.empty()) {
        std::string error;
        auto w = load_world_file(world_file, error);
        if (!w) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return kExitUsage;
        }
        world_config = *w;
    }
    const talhost::RegValue *io = cfg->find("IoBaseAddress");
    if (!io || io->kind != talhost::RegValue::Kind::Dword) {
        std::fprintf(stderr, "talsim world: %s has no IoBaseAddress\n", file.c_str());
        return kExitFailed;
    }
    talhost::Host host;
    RadioWorld air(host.world(), world_config);
    std::string error;
    if (!air.capture(pcap_path, error)) {
        std::fprintf(stderr, "talsim world: %s: %s\n", pcap_path.c_str(), error.c_str());
        return kExitUsage;
    }
    taltest::register_tal_handlers();
    taltest::Station st(host, air.medium(), io->dword, kStationMac);
    air.attach(st.card);
    NDIS_STATUS status = st.bring_up(*cfg);
    if (status != NDIS_STATUS_SUCCESS) {
        std::fprintf(stderr, "talsim world: the adapter did not come up: %s\n",
                     talhost::ndis_status_text(status).c_str());
        return kExitFailed;
    }
    std::printf("adapter up at port 0x%X, station %s, in a world of %zu access points%s%s\n",
                (unsigned)io->dword, mac_text(kStationMac).c_str(), air.ap_count(),
                world_file.empty() ? " (the default)" : " from ", world_file.c_str());

    TAL_ADAPTER *a = st.adapter;
    talhost::TestBinding binding(host, st.handle);
    binding.set_packet_filter(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST);
    size_t statuses = 0;
    ULONG shown = a->LinkStatus;
    for (uint64_t waited = 0; a->LinkIsActive && waited < kJoinWaitUs; waited += 10 * kMs)
        follow_link(host, st.handle, a, 10 * kMs, statuses, shown);
    AccessPoint *ap = nullptr;
    if (!a->LinkIsActive) {
        std::vector<uint8_t> b = words_to_bytes(*st.card.records().data(rid::CurrentBssid));
        wire::MacAddr bssid;
        std::copy_n(b.begin(), 6, bssid.begin());
        ap = air.ap(bssid);
    }
    if (!ap) {
        std::printf("no access point joined\n");
        return kExitFailed;
    }
    std::printf("joined %s \"%s\" on channel %u\n", mac_text(ap->config().bssid).c_str(), ap->config().ssid.c_str(),
                ap->config().channel);

    size_t answered = 0;
    if (ap->wired_host() && pings) {
        const WiredHostConfig &h = ap->wired_host()->config();
        wire::Ipv4Addr self = h.ip;
        self[3] = 10; // the station takes .10 of the host's network
        wire::Arp who{wire::arp::Request, kStationMac, self, {}, h.ip};
        binding.send(ethernet(wire::kBroadcast, wire::kEtherTypeArp, who.to_bytes()));
        wire::MacAddr host_mac{};
        bool resolved = wait_for(host, binding, kAnswerWaitUs, [&](const std::vector<uint8_t> &f) {
            auto e = wire::EthernetView<const uint8_t>::parse(f);
            auto v = e && e->ethertype() == wire::kEtherTypeArp ? wire::ArpView<const uint8_t>::parse(e->payload())
                                                                 : std::nullopt;
            auto a = v ? wire::Arp::parse(*v) : std::nullopt;
            if (!a || a->operation != wire::arp::Reply || a->sender_ip != h.ip)
                return false;
            host_mac = a->sender_mac;
            return true;
        });
        if (!resolved) {
            std::printf("ARP: no answer from %s\n", ip_text(h.ip).c_str());
            return kExitFailed;
        }
        std::printf("ARP: %s is at %s\n", ip_text(h.ip).c_str(), mac_text(host_mac).c_str());
        for (uint16_t seq = 1; seq <= pings; ++seq) {
            wire::IcmpEcho echo{wire::icmp::EchoRequest, 0, 0x7A1, seq, std::vector<uint8_t>(56, (uint8_t)seq)};
            std::vector<uint8_t> icmp = echo.to_bytes();
            wire::Ipv4 ip;
            ip.total_length = (uint16_t)(20 + icmp.size());
            ip.id = seq;
            ip.src = self;
            ip.dst = h.ip;
            std::vector<uint8_t> packet = ip.to_bytes();
            packet.insert(packet.end(), icmp.begin(), icmp.end());
            uint64_t sent = host.world().now();
            binding.send(ethernet(host_mac, wire::kEtherTypeIpv4, packet));
            bool ok = wait_for(host, binding, kAnswerWaitUs, [&](const std::vector<uint8_t> &f) {
                auto e = wire::EthernetView<const uint8_t>::parse(f);
                auto v = e ? wire::Ipv4View<const uint8_t>::parse(e->payload()) : std::nullopt;
                auto r = v ? wire::IcmpEchoView<const uint8_t>::parse(v->payload()) : std::nullopt;
                return r && r->type() == wire::icmp::EchoReply && r->sequence() == seq && r->checksum_ok();
            });
            answered += ok;
            if (ok)
                std::printf("reply from %s: icmp_seq=%u within %llu ms\n", ip_text(h.ip).c_str(), seq,
                            (unsigned long long)((host.world().now() - sent) / kMs));
            else
                std::printf("no reply from %s: icmp_seq=%u\n", ip_text(h.ip).c_str(), seq);
        }
    }
    if (run_ms)
        follow_link(host, st.handle, a, run_ms * kMs, statuses, shown);

    // What the card heard when it scanned, and its counters, as the driver
    // reads them in.
    CardUpdateScanResult(a);
    CardUpdateTallies(a);
    host.world().run_for(5 * kMs);
    const USHORT *frame = (const USHORT *)(const void *)a->scan_buffer;
    std::vector<uint16_t> scan(frame, frame + std::min<size_t>(frame[0] + 1u, TAL_SCAN_BUFFER_SIZE / 2));
    std::printf("networks heard:\n");
    for (size_t e = 2; e + 25 <= scan.size(); e += 25) {
        std::vector<uint8_t> b = words_to_bytes(std::span(scan).subspan(e + 3, 3));
        std::vector<uint8_t> name = words_to_bytes(std::span(scan).subspan(e + 9, 16));
        wire::MacAddr bssid;
        std::copy_n(b.begin(), 6, bssid.begin());
        std::printf("  %s  channel %2u  signal %3u  %s  \"%.*s\"\n", mac_text(bssid).c_str(), scan[e], scan[e + 2],
                    (scan[e + 7] & 0x10) ? "WEP " : "open", (int)std::min<uint16_t>(scan[e + 8], 32),
                    (const char *)name.data());
    }
    static const char *const kTallyNames[] = {
        "tx unicast frames", "tx multicast frames", "tx fragments", "tx unicast octets", "tx multicast octets",
        "tx deferred", "tx single retry frames", "tx multiple retry frames", "tx retry limit exceeded",
        "tx discards", "rx unicast frames", "rx multicast frames", "rx fragments", "rx unicast octets",
        "rx multicast octets", "rx FCS errors", "rx discards no buffer", "tx discards wrong SA",
        "rx discards WEP undecryptable", "rx message in message", "rx message in bad message"};
    std::printf("tallies:\n");
    const ULONG *t = (const ULONG *)(const void *)&a->tallies;
    for (size_t i = 0; i < kTallyCount; ++i)
        std::printf("  %-30s %lu\n", kTallyNames[i], (unsigned long)t[i]);
    air.close_capture();
    air.detach(st.card); // the station goes first
    std::printf("%llu frames on the air, written to %s\n", (unsigned long long)air.medium().stats().frames,
                pcap_path.c_str());
    if (!host.verifier().clean()) {
        std::fprintf(stderr, "talsim world: the driver broke wrapper rules:\n%s", host.verifier().text().c_str());
        return kExitFailed;
    }
    return answered == pings ? kExitOk : kExitFailed;
}

} // namespace talsim
