// talsim send FILE.reg [--pcap PATH] [--count N]: brings the card model up
// from the registry with the driver's own steps, hands the driver example
// frames through the wrapper's send path and writes what goes on the air.
#include <cstdio>
#include <string>
#include <vector>

#include "driver/taloids.h"
#include "exampleframes.h"
#include "ndisnames.h"
#include "registry.h"
#include "session.h"
#include "talsim.h"

namespace talsim {

namespace {

// The host behind the access point the card is joined to.
const Mac kPeer = {0x00, 0x0B, 0x0E, 0x0A, 0x00, 0x02};
constexpr uint64_t kGapUs = 1000; // between two sends: a frame's air time and more

const char *mode_text(const talhost::AdapterConfig &c) {
    const talhost::RegValue *poll = c.find("PollInDriver");
    uint32_t v = poll && poll->kind == talhost::RegValue::Kind::Dword ? poll->dword : 0;
    return v == 0 ? "interrupt mode" : v == 1 ? "polling mode" : "served by nothing";
}

// The WEP flags record as the card runs with it.
std::string wep_text(uint32_t flags) {
    if (!(flags & 0x01))
        return "off";
    return (flags & 0x10) ? "on, sealed by the host" : "on, sealed by the card";
}

} // namespace

int cmd_send(const SendOptions &o) {
    auto cfg = load_adapter_file(o.reg);
    if (!cfg)
        return kExitUsage;
    Session s(std::nullopt);
    std::string error;
    if (!s.capture_air(o.pcap, error)) {
        note("send", talhost::printable(error, std::string::npos));
        return kExitUsage;
    }
    std::optional<uint32_t> base = io_base(*cfg);
    const char *mode = mode_text(*cfg);
    s.load_driver();
    NDIS_STATUS status = s.start(std::move(*cfg));
    if (status != NDIS_STATUS_SUCCESS) {
        note("send", "the adapter did not come up: " + talhost::ndis_status_text(status));
        return kExitFailed;
    }
    talhost::RequestResult flags = s.query(OID_PRIV_WEP_FLAGS, 4);
    std::printf("adapter up at port 0x%X (%s): station %s, access point %s, WEP %s\n",
                (unsigned)base.value_or(0), mode, mac_text(s.station().data()).c_str(),
                mac_text(kLoneBssid.data()).c_str(), wep_text(le32_at(flags.answer(), 0)).c_str());

    for (uint64_t i = 0; i < o.count; i++) {
        std::vector<ExampleFrame> frames =
            example_frames(s.station(), kPeer, (uint16_t)(i / 4 + 1));
        const ExampleFrame &f = frames[i % frames.size()];
        s.send(f.bytes);
        std::printf("  %4llu  %-36s %5zu bytes\n", (unsigned long long)i + 1, f.name.c_str(),
                    f.bytes.size());
        s.run_for(kGapUs);
    }
    // The adapter serves its card by itself: the last frame's buffer comes
    // back and its packet completes.
    std::vector<talhost::SendCompletion> done = s.take_completions();
    for (int t = 0; t < 100 && done.size() < o.count; t++) {
        s.run_for(kGapUs);
        std::vector<talhost::SendCompletion> more = s.take_completions();
        done.insert(done.end(), more.begin(), more.end());
    }
    size_t ok = 0;
    for (const talhost::SendCompletion &c : done)
        ok += c.status == NDIS_STATUS_SUCCESS;
    talhost::RequestResult monitor = s.query(OID_PRIV_PACKET_MONITOR, 24);
    std::string findings = s.halt();
    bool written = s.close_captures(error);
    std::printf("%llu frames on the air%s%s; %zu sends completed with success, %llu in flight\n",
                (unsigned long long)s.air_frames(), written ? ", written to " : "",
                written ? talhost::printable(o.pcap, std::string::npos).c_str() : "", ok,
                (unsigned long long)(o.count - done.size()));
    std::printf("packet monitor: %u sent, %u bytes, %u errors\n", le32_at(monitor.answer(), 0),
                le32_at(monitor.answer(), 4), le32_at(monitor.answer(), 8));
    if (!findings.empty())
        note("send", "the driver broke wrapper rules:\n" + findings);
    if (!written)
        note("send", talhost::printable(error, std::string::npos));
    return findings.empty() && written && s.air_frames() == o.count ? kExitOk : kExitFailed;
}

} // namespace talsim
