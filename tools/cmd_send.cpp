// talsim send FILE.reg [--pcap PATH] [--count N]: brings the card model up
// from the registry with the driver's own steps, hands the driver example
// frames through the send handler and writes what goes on the air.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "air/capture.h"
#include "card/card.h"
#include "card/cardlink.h"
#include "datapath/interrupt.h"
#include "datapath/talsend.h"
#include "driver/talmain.h"
#include "exampleframes.h"
#include "host.h"
#include "ndisnames.h"
#include "packet.h"
#include "support/tal_handlers.h"
#include "talsim.h"

namespace talsim {

namespace {

// The access point the card finds in range, and the host behind it.
const std::array<uint8_t, 6> kBssid = {0x00, 0x0B, 0x0E, 0xAA, 0x00, 0x01};
const Mac kPeer = {0x00, 0x0B, 0x0E, 0x0A, 0x00, 0x02};
constexpr uint64_t kGapUs = 1000; // between two sends: a frame's air time and more

std::string mac_text(const uint8_t *m) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3],
                  m[4], m[5]);
    return buf;
}

bool parse_count(const std::string &s, unsigned long &out) {
    if (s.empty() || s.size() > 6)
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    out = std::strtoul(s.c_str(), nullptr, 10);
    return out >= 1;
}

const char *mode_text(ULONG poll) {
    return poll == 0 ? "interrupt mode" : poll == 1 ? "polling mode" : "served by nothing";
}

const char *wep_text(ULONG wep, ULONG encrypt) {
    if (!(wep & 1))
        return "off";
    if (encrypt == 1)
        return wep == 7 ? "104-bit, sealed by the host" : "40-bit, sealed by the host";
    return wep == 7 ? "104-bit, sealed by the card" : "40-bit, sealed by the card";
}

} // namespace

int cmd_send(const Args &args) {
    std::string file, pcap_path = "air.pcap";
    unsigned long count = 4;
    for (size_t i = 0; i < args.size(); i++) {
        if (args[i] == "--pcap" && i + 1 < args.size()) {
            pcap_path = args[++i];
        } else if (args[i] == "--count" && i + 1 < args.size()) {
            if (!parse_count(args[++i], count)) {
                std::fprintf(stderr, "talsim send: --count takes a number from 1 to 999999\n");
                return kExitUsage;
            }
        } else if (!args[i].empty() && args[i][0] != '-' && file.empty()) {
            file = args[i];
        } else {
            std::fputs("usage: talsim send FILE.reg [--pcap PATH] [--count N]\n", stderr);
            return kExitUsage;
        }
    }
    if (file.empty()) {
        std::fputs("usage: talsim send FILE.reg [--pcap PATH] [--count N]\n", stderr);
        return kExitUsage;
    }

    auto cfg = load_adapter_file(file);
    if (!cfg)
        return kExitUsage;

    talhost::Host host;
    // The wrapper knows the driver's handlers, as after DriverEntry.
    taltest::register_tal_handlers();
    // The configuration pass alone first: where the card's ports are.
    ULONG io_base;
    {
        auto configured = configure_adapter(host, *cfg, file, "talsim send");
        if (!configured)
            return kExitFailed;
        io_base = configured->record->IoBaseAddr;
    }
    NDIS_HANDLE handle = host.add_adapter(std::move(*cfg));

    CardModel card(host.world());
    host.bus().map(io_base, kPortCount, &card);
    card.join(kBssid);
    AirRecorder on_air;
    PcapTap capture(pcap_path, &on_air);
    if (!capture.ok()) {
        std::fprintf(stderr, "talsim send: %s: %s\n", pcap_path.c_str(),
                     capture.error().c_str());
        return kExitUsage;
    }
    card.set_air_sink(&capture);
    connect_interrupt_line(card, host, handle);

    NDIS_STATUS status = host.initialize(handle);
    if (status != NDIS_STATUS_SUCCESS) {
        std::fprintf(stderr, "talsim send: the adapter did not come up: %s\n",
                     talhost::ndis_status_text(status).c_str());
        return kExitFailed;
    }
    TAL_ADAPTER *a = (TAL_ADAPTER *)host.adapter_context(handle);
    std::printf("adapter up at port 0x%X (%s): station %s, access point %s, WEP %s\n",
                (unsigned)a->IoBaseAddr, mode_text(a->PollInDriver),
                mac_text(a->CurrentNetworkAddress).c_str(), mac_text(kBssid.data()).c_str(),
                wep_text(a->WepRequired, a->EncryptInDriver));

    Mac self;
    std::memcpy(self.data(), a->CurrentNetworkAddress, 6);
    std::vector<std::unique_ptr<talhost::Packet>> packets;
    for (unsigned long i = 0; i < count; i++) {
        std::vector<ExampleFrame> frames = example_frames(self, kPeer, (uint16_t)(i / 4 + 1));
        const ExampleFrame &f = frames[i % frames.size()];
        auto p = talhost::Packet::one_buffer(f.bytes);
        host.send(handle, p->ndis(), TalSend);
        std::printf("  %4lu  %-36s %5zu bytes\n", i + 1, f.name.c_str(), f.bytes.size());
        packets.push_back(std::move(p));
        host.world().run_for(kGapUs);
    }
    // The adapter serves its card by itself: the last frame's buffer comes
    // back and its packet completes.
    for (int t = 0; t < 100 && host.block(handle).completions.size() < count; t++)
        host.world().run_for(kGapUs);
    capture.close();

    const talhost::MiniportBlock &b = host.block(handle);
    size_t ok = 0;
    for (const talhost::SendCompletion &c : b.completions)
        ok += c.status == NDIS_STATUS_SUCCESS;
    std::printf("%zu frames on the air, written to %s; %zu sends completed with success, "
                "%lu in flight\n",
                on_air.frames().size(), pcap_path.c_str(), ok,
                (unsigned long)(count - b.completions.size()));
    std::printf("counters: %lu buffers returned, %lu bytes sent, %lu errors\n",
                (unsigned long)a->PacketMonitor.TxPacketCounter,
                (unsigned long)a->PacketMonitor.TxPacketBytes,
                (unsigned long)a->PacketMonitor.TxPacketErrCounter);
    host.halt(handle);
    host.check_released();
    if (!host.verifier().clean()) {
        std::fprintf(stderr, "talsim send: the driver broke wrapper rules:\n%s",
                     host.verifier().text().c_str());
        return kExitFailed;
    }
    return on_air.frames().size() == count ? kExitOk : kExitFailed;
}

} // namespace talsim
