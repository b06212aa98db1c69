// talsim world FILE.reg [--world W.toml] [--pcap PATH] [--pings N] [--run MS]:
// brings an adapter up in a radio world (the built-in default, or a world
// file) with the driver's own steps, waits for its card to join, finds the
// wired host behind the access point by ARP and pings it through the
// driver, lists the networks the card heard and its tallies as a utility
// reads them, and writes everything on the air to a pcap file.
#include <cstdio>
#include <iostream>
#include <string>

#include "driver/taloids.h"
#include "ndisnames.h"
#include "registry.h"
#include "session.h"
#include "talsim.h"
#include "utility.h"

namespace talsim {

namespace {

constexpr uint64_t kJoinWaitUs = 3000 * kMs;
constexpr uint64_t kAnswerWaitUs = 50 * kMs;

// The access point the card is joined to, as the driver reports it.
const ApConfig *joined_ap(Session &s, const WorldConfig &world) {
    talhost::RequestResult r = s.query(OID_PRIV_CURRENT_BSSID, 12);
    std::string text = show_answer(Value::BssidText, r.answer());
    for (const ApConfig &ap : world.aps)
        if (mac_text(ap.bssid.data()) == text)
            return &ap;
    return nullptr;
}

} // namespace

int cmd_world(const WorldOptions &o) {
    std::optional<Inputs> in = load_inputs(o.reg, o.world, std::nullopt);
    if (!in)
        return kExitUsage;
    Session s(in->world);
    std::string error;
    if (!s.capture_air(o.pcap, error)) {
        note("world", talhost::printable(error, std::string::npos));
        return kExitUsage;
    }
    std::optional<uint32_t> base = io_base(in->adapter);
    s.load_driver();
    NDIS_STATUS status = s.start(std::move(in->adapter));
    if (status != NDIS_STATUS_SUCCESS) {
        note("world", "the adapter did not come up: " + talhost::ndis_status_text(status));
        return kExitFailed;
    }
    std::cout << "adapter up at port 0x" << std::hex << std::uppercase << base.value_or(0)
              << std::dec << ", station " << mac_text(s.station().data()) << ", in a world of "
              << in->world.aps.size()
              << (in->world.aps.size() == 1 ? " access point" : " access points")
              << (o.world.empty() ? " (the default)"
                                  : " from " + talhost::printable(o.world, std::string::npos))
              << "\n";

    Utility u(s, &std::cout);
    const ApConfig *ap = u.follow_link(kJoinWaitUs, true) ? joined_ap(s, in->world) : nullptr;
    if (!ap) {
        std::cout << "no access point joined\n";
        return kExitFailed;
    }
    std::cout << "joined " << mac_text(ap->bssid.data()) << " \""
              << talhost::printable(ap->ssid, 32) << "\" on channel " << (unsigned)ap->channel
              << "\n";

    uint64_t answered = 0;
    if (ap->wired_host && o.pings) {
        wire::Ipv4Addr self = ap->wired_host->ip;
        self[3] = 10; // the station takes .10 of the host's network
        std::string host = ipv4_text(ap->wired_host->ip);
        std::optional<wire::MacAddr> mac = s.resolve(self, ap->wired_host->ip, kAnswerWaitUs);
        if (!mac) {
            std::cout << "ARP: no answer from " << host << "\n";
            return kExitFailed;
        }
        std::cout << "ARP: " << host << " is at " << mac_text(mac->data()) << "\n";
        for (uint16_t seq = 1; seq <= o.pings; ++seq) {
            std::optional<uint64_t> rtt =
                s.ping(*mac, self, ap->wired_host->ip, seq, kAnswerWaitUs);
            answered += rtt.has_value();
            if (rtt)
                std::cout << "reply from " << host << ": icmp_seq=" << seq
                          << " time=" << millis_text(*rtt) << "\n";
            else
                std::cout << "no reply from " << host << ": icmp_seq=" << seq << "\n";
        }
    }
    u.follow_link(o.run_ms * kMs);

    // What the card heard when it scanned, and its counters.
    Bytes scan, tallies;
    if (!u.inquire(OID_PRIV_SCAN_RESULTS, 5 * kMs, scan) || !u.tallies(tallies)) {
        note("world", u.error());
        return kExitFailed;
    }
    std::cout << "networks heard:\n" << indented(networks_text(parse_scan_results(scan)), 2);
    std::cout << "tallies:\n" << indented(show_answer(Value::Tallies, tallies), 2);
    std::string findings = s.halt();
    bool written = s.close_captures(error);
    std::cout << s.air_frames() << " frames on the air"
              << (written ? ", written to " + talhost::printable(o.pcap, std::string::npos) : "")
              << "\n";
    if (!findings.empty())
        note("world", "the driver broke wrapper rules:\n" + findings);
    if (!written)
        note("world", talhost::printable(error, std::string::npos));
    return findings.empty() && written && answered == (ap->wired_host ? o.pings : 0) ? kExitOk
                                                                                     : kExitFailed;
}

} // namespace talsim
