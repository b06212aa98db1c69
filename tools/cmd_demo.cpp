// talsim demo [FILE.reg] [--world W.toml] [--seed N] [--air PATH] [--eth PATH]
// [--quiet]: the driver at work, shown step by step as it happens. The
// system loads it through DriverEntry and brings an adapter up from the
// example's registry file in the default world; everything after that goes
// through the wrapper as an operating system and a configuration utility
// would: the media indications, the access point's vendor information, a
// site survey, ARP and ICMP echo to the wired host with host WEP, the
// card's tallies and the driver's packet counters, and the halt with the
// verifier's verdict. The air and the protocol side go to two pcaps.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "driver/taloids.h"
#include "ndisnames.h"
#include "registry.h"
#include "session.h"
#include "talsim.h"
#include "utility.h"

#ifndef TAL_EXAMPLES_DIR
#define TAL_EXAMPLES_DIR "examples"
#endif

namespace talsim {

namespace {

constexpr uint64_t kJoinWaitUs = 3000 * kMs;
constexpr uint64_t kAnswerWaitUs = 50 * kMs;
constexpr uint16_t kPings = 4;

// The example's registry file: from the current folder when it is there
// (the README runs the demo from the repository), else the source tree's.
std::string example_reg() {
    struct stat st {};
    const char *here = "examples/adapter.reg";
    return stat(here, &st) == 0 ? here : TAL_EXAMPLES_DIR "/adapter.reg";
}

// Headings and aligned rows; bold headings and a coloured verdict on a
// terminal that wants them.
class Page {
public:
    Page(std::ostream &out, bool styled) : out_(out), styled_(styled) {}
    void heading(const std::string &text) {
        out_ << "\n" << (styled_ ? "\033[1m" : "") << text << (styled_ ? "\033[0m" : "") << "\n";
    }
    void row(const std::string &label, const std::string &value) {
        char head[40];
        std::snprintf(head, sizeof head, "  %-16s ", label.c_str());
        out_ << head << value << "\n";
    }
    // Lines of a block (a table), indented.
    void block(const std::string &text, size_t indent = 2) { out_ << indented(text, indent); }
    std::string verdict(bool good, const std::string &text) const {
        if (!styled_)
            return text;
        return (good ? "\033[32m" : "\033[31m") + text + "\033[0m";
    }
    std::ostream &out() { return out_; }

private:
    std::ostream &out_;
    bool styled_;
};

bool styled_terminal() {
    const char *term = std::getenv("TERM");
    return isatty(STDOUT_FILENO) && !std::getenv("NO_COLOR") && term && std::string(term) != "dumb";
}

std::string hex_key(const Bytes &key) {
    std::string out;
    char buf[4];
    for (uint8_t b : key) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        out += buf;
    }
    return out;
}

// One answer as text, or the request's failure.
struct Asker {
    Utility &u;
    std::vector<std::string> &failures;
    std::string operator()(NDIS_OID oid) {
        Bytes answer;
        if (!u.query(oid, answer)) {
            failures.push_back(u.error());
            return "(" + u.error() + ")";
        }
        const OidInfo *row = oid_by_code(oid);
        return show_answer(row->query, answer, row->labels);
    }
};

// The key the adapter seals with, as the driver reports it: its id and
// bytes (the answer carries a zero after them).
std::optional<std::pair<uint32_t, Bytes>> transmit_key(Utility &u) {
    static const NDIS_OID kKeys[] = {OID_PRIV_WEP_KEY0, OID_PRIV_WEP_KEY1, OID_PRIV_WEP_KEY2,
                                     OID_PRIV_WEP_KEY3};
    Bytes id, key;
    if (!u.query(OID_PRIV_WEP_KEY_ID, id) || !u.query(kKeys[le32_at(id, 0) & 3], key) ||
        key.empty())
        return std::nullopt;
    key.pop_back();
    return std::make_pair(le32_at(id, 0) & 3, key);
}

// A firmware's identity words (variant, major, minor) as "1.7 (variant 1)".
std::string firmware(Utility &u, NDIS_OID oid, std::vector<std::string> &failures) {
    Bytes w;
    if (!u.query(oid, w)) {
        failures.push_back(u.error());
        return "?";
    }
    auto word = [&](size_t i) {
        return std::to_string(w.size() > 2 * i + 1 ? w[2 * i] | w[2 * i + 1] << 8 : 0);
    };
    return word(1) + "." + word(2) + " (variant " + word(0) + ")";
}

std::string counters_columns(const Bytes &tallies) {
    std::string out;
    char line[128];
    for (size_t r = 0; r < 11; r++) {
        std::snprintf(line, sizeof line, "%-30s %7u", kTallyNames[r], le32_at(tallies, 4 * r));
        out += line;
        if (r + 11 < 21) {
            std::snprintf(line, sizeof line, "    %-30s %7u", kTallyNames[r + 11],
                          le32_at(tallies, 4 * (r + 11)));
            out += line;
        }
        out += "\n";
    }
    return out;
}

} // namespace

int cmd_demo(const DemoOptions &o) {
    if (o.air == o.eth) {
        // Two captures in one file would leave neither readable.
        note("demo",
             "--air and --eth name the same file: " + talhost::printable(o.air, std::string::npos));
        return kExitUsage;
    }
    const std::string reg = o.reg.empty() ? example_reg() : o.reg;
    std::optional<Inputs> in = load_inputs(reg, o.world, o.seed);
    if (!in)
        return kExitUsage;

    std::ostringstream hidden;
    Page page(o.quiet ? hidden : std::cout, !o.quiet && styled_terminal());
    std::vector<std::string> failures;
    Session s(in->world);
    std::string error;
    if (!s.capture_air(o.air, error) || !s.capture_ethernet(o.eth, error)) {
        note("demo", talhost::printable(error, std::string::npos));
        return kExitUsage;
    }
    Utility u(s, &page.out());
    Asker ask{u, failures};
    const std::string shown_reg = talhost::printable(reg, std::string::npos);
    page.out() << "Tal demo: the driver against the card model in "
               << (o.world.empty() ? "the default world"
                                   : talhost::printable(o.world, std::string::npos))
               << " (seed " << in->world.seed << ", " << in->world.aps.size()
               << (in->world.aps.size() == 1 ? " access point" : " access points")
               << "); times are virtual\n";

    // ---- The system loads the driver and brings the adapter up ----
    page.heading("Driver and adapter");
    std::optional<uint32_t> base = io_base(in->adapter);
    NTSTATUS loaded = s.load_driver();
    page.row("DriverEntry", loaded == 0
                                ? "registered the miniport's handlers"
                                : "failed with status " + talhost::ndis_status_text(loaded));
    uint64_t t0 = s.now();
    NDIS_STATUS status = s.start(std::move(in->adapter));
    page.row("initialize", talhost::ndis_status_text(status) + " after " +
                               millis_text(s.now() - t0) + " (" + shown_reg + ")");
    if (loaded != 0 || status != NDIS_STATUS_SUCCESS) {
        std::printf("talsim demo: FAILED: the adapter did not come up: %s\n",
                    talhost::ndis_status_text(status).c_str());
        return kExitFailed;
    }
    char port[16];
    std::snprintf(port, sizeof port, "0x%X", (unsigned)base.value_or(0));
    page.row("card",
             std::string("at port ") + port + ", address " + ask(OID_802_3_CURRENT_ADDRESS));
    page.row("vendor", ask(OID_GEN_VENDOR_DESCRIPTION));
    page.row("firmware", "primary " + firmware(u, OID_PRIV_PRIMARY_FW_VERSION, failures) +
                             ", station " + firmware(u, OID_PRIV_STATION_FW_VERSION, failures));

    // ---- The card scans and joins; the driver says so ----
    page.heading("Link (media indications, then the link as a utility reads it)");
    bool joined = u.follow_link(kJoinWaitUs, true);
    if (!joined) {
        failures.push_back("no media connect within " + millis_text(kJoinWaitUs));
        page.row("link", "no media connect within " + millis_text(kJoinWaitUs));
    } else {
        page.row("network", ask(OID_PRIV_CURRENT_ESSID) + ", BSSID " + ask(OID_PRIV_CURRENT_BSSID) +
                                ", channel " + ask(OID_PRIV_CURRENT_CHANNEL));
        page.row("quality", ask(OID_PRIV_COMMS_QUALITY));
    }
    const std::string bssid = joined ? ask(OID_PRIV_CURRENT_BSSID) : "";
    const ApConfig *ap = nullptr;
    for (const ApConfig &a : in->world.aps)
        if (mac_text(a.bssid.data()) == bssid)
            ap = &a;

    // ---- What the access point says about itself ----
    page.heading("Access point (its vendor information)");
    ApInfo info;
    if (!u.ap_info(info))
        failures.push_back(u.error());
    else if (!info.present && joined)
        failures.push_back("the access point's vendor information did not come");
    page.block(info.present || !u.error().empty() ? ap_info_text(info) : u.error());

    // ---- A site survey ----
    page.heading("Site survey (start, continue, scan results, end)");
    std::vector<Network> networks;
    if (!u.survey(networks))
        failures.push_back(u.error());
    else if (networks.empty())
        failures.push_back("the survey heard no network");
    page.block(networks_text(networks));

    // ---- Traffic both ways, sealed and opened by the driver ----
    page.heading("Traffic with the wired host");
    std::optional<std::pair<uint32_t, Bytes>> key = transmit_key(u);
    Bytes flags;
    u.query(OID_PRIV_WEP_FLAGS, flags);
    uint32_t wep = le32_at(flags, 0);
    page.row("WEP",
             !(wep & 1)
                 ? "off"
                 : std::string((wep & 0x10) ? "sealed" : "sealed by the card") +
                       ((wep & 0x80) ? " and opened by the driver" : ", opened by the card") +
                       (key ? ", key " + std::to_string(key->first) + " = " + hex_key(key->second)
                            : ""));
    uint64_t answered = 0, rtt_sum = 0, rtt_min = ~0ull, rtt_max = 0;
    if (!ap || !ap->wired_host) {
        failures.push_back("no wired host behind the access point joined");
        page.row("traffic", "none: no wired host behind the access point joined");
    } else {
        const wire::Ipv4Addr target = ap->wired_host->ip;
        wire::Ipv4Addr self = target;
        self[3] = 10; // the station takes .10 of the host's network
        const std::string host = ipv4_text(target);
        page.row("station", ipv4_text(self) + " (" + mac_text(s.station().data()) + ")");
        std::optional<wire::MacAddr> mac = s.resolve(self, target, kAnswerWaitUs);
        page.row("ARP", mac ? host + " is at " + mac_text(mac->data()) : "no answer from " + host);
        for (uint16_t seq = 1; mac && seq <= kPings; seq++) {
            std::optional<uint64_t> rtt = s.ping(*mac, self, target, seq, kAnswerWaitUs);
            page.row("ICMP echo",
                     rtt ? "reply from " + host + ": icmp_seq=" + std::to_string(seq) +
                               " time=" + millis_text(*rtt)
                         : "no reply from " + host + ": icmp_seq=" + std::to_string(seq));
            if (rtt) {
                answered++;
                rtt_sum += *rtt;
                rtt_min = std::min(rtt_min, *rtt);
                rtt_max = std::max(rtt_max, *rtt);
            }
        }
        if (answered)
            page.row("round trip", "min " + millis_text(rtt_min) + ", avg " +
                                       millis_text(rtt_sum / answered) + ", max " +
                                       millis_text(rtt_max));
        if (answered != kPings)
            failures.push_back(std::to_string(answered) + " of " + std::to_string(kPings) +
                               " echo requests answered");
    }

    // ---- The counters, as a utility reads them ----
    page.heading("Counters");
    Bytes tallies, monitor;
    if (!u.tallies(tallies) || !u.query(OID_PRIV_PACKET_MONITOR, monitor))
        failures.push_back(u.error());
    page.out() << "  tallies (the card's firmware):\n";
    page.block(counters_columns(tallies), 4);
    page.out() << "  packet monitor (the driver):\n";
    page.block(show_answer(Value::Monitor, monitor), 4);

    // ---- The wrapper halts the adapter ----
    page.heading("Halt");
    std::string findings = s.halt();
    if (!findings.empty())
        failures.push_back("the verifier found broken rules");
    page.row("verifier", findings.empty() ? page.verdict(true, "clean: every wrapper rule kept, "
                                                               "nothing held after the halt")
                                          : page.verdict(false, "FINDINGS"));
    if (!findings.empty())
        page.block(findings);

    // ---- The captures ----
    page.heading("Captures");
    bool written = s.close_captures(error);
    if (!written)
        failures.push_back(error);
    const std::string air = talhost::printable(o.air, std::string::npos);
    const std::string eth = talhost::printable(o.eth, std::string::npos);
    page.row(air, std::to_string(s.air_frames()) + " frames on the air, 802.11 with radiotap");
    page.row(eth, std::to_string(s.ethernet_frames()) +
                      " Ethernet frames the protocol sent and was indicated");
    if (key) {
        page.out() << "  Open them in Wireshark; for the protected frames give it the WEP key:\n"
                   << "    Edit > Preferences > Protocols > IEEE 802.11 > Enable decryption,\n"
                   << "    Decryption keys: wep " << hex_key(key->second) << "\n"
                   << "  or with tshark:\n"
                   << "    tshark -r " << air
                   << " -o wlan.enable_decryption:TRUE -o 'uat:80211_keys:\"wep\",\""
                   << hex_key(key->second) << "\"'\n";
        if (ap && ap->wep && ap->keys[ap->tx_key] != key->second)
            page.out() << "  The access point seals with its key " << (unsigned)ap->tx_key << ": "
                       << hex_key(ap->keys[ap->tx_key]) << "\n";
    }

    // ---- The verdict, the one part --quiet shows ----
    if (!o.quiet)
        std::cout << "\n";
    std::ostringstream summary;
    summary << "talsim demo: " << (failures.empty() ? "passed" : "FAILED") << ": "
            << (joined ? "joined " + bssid : "no link") << ", " << networks.size()
            << " networks surveyed, " << answered << "/" << kPings << " echo replies";
    if (answered)
        summary << " (avg " << millis_text(rtt_sum / answered) << ")";
    summary << ", verifier " << (findings.empty() ? "clean" : "FINDINGS") << "; " << air << " ("
            << s.air_frames() << " frames), " << eth << " (" << s.ethernet_frames() << " frames)";
    std::cout << page.verdict(failures.empty(), summary.str()) << "\n";
    for (const std::string &f : failures)
        std::cout << "  failed: " << talhost::printable(f, 200) << "\n";
    return failures.empty() ? kExitOk : kExitFailed;
}

} // namespace talsim
