#include "oid_target.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "binding.h"
#include "card/card.h"
#include "card/cardlink.h"
#include "driver/talmain.h"
#include "driver/taloids.h"
#include "host.h"

namespace {

constexpr uint32_t kBase = 0x300;
constexpr size_t kMaxRecords = 48;
constexpr uint16_t kMaxLength = 2048;

void require(bool ok, const char *what, talhost::Host &host) {
    if (!ok) {
        std::fprintf(stderr, "request invariant broken: %s\n%s", what,
                     host.verifier().text().c_str());
        std::abort();
    }
}

// Codes a configuration utility uses, so that most records reach a handler.
std::vector<NDIS_OID> known_codes() {
    std::vector<NDIS_OID> codes(TALGlobalSupportedOids,
                                TALGlobalSupportedOids + TAL_SUPPORTED_OIDS);
    for (NDIS_OID oid :
         {OID_PRIV_WEP_KEY0, OID_PRIV_AP_INFO, OID_PRIV_SITE_SURVEY_START, OID_PRIV_SITE_SURVEY_END,
          OID_PRIV_SITE_SURVEY_CONTINUE, OID_PRIV_PACKET_MONITOR})
        codes.push_back(oid);
    return codes;
}

void check_fields(const TAL_ADAPTER *a, talhost::Host &host) {
    require(a->Desired_ESSID_Length <= TAL_ESSID_MAX, "ESSID within its field", host);
    require(a->NumberOfAddress <= TAL_MAX_MULTICAST, "multicast list within its field", host);
    require(a->MaxLookAhead <= TAL_MAX_LOOKAHEAD, "lookahead within its limit", host);
    require(a->totalsize <= TAL_BPW_SIZE / 2, "download block within its buffer", host);
    require(a->LinkIsActive == 0 || a->LinkIsActive == 1, "link up or down", host);
    require(host.verifier().clean(), "the wrapper's rules", host);
}

} // namespace

int tal_fuzz_requests(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    static const std::vector<NDIS_OID> codes = known_codes();
    talhost::Host host;
    talsim::CardModel card(host.world());
    host.bus().map(kBase, talsim::kPortCount, &card);
    card.join({0x00, 0x0B, 0x0E, 0xAA, 0x00, 0x01});
    require(host.load_driver(DriverEntry) == 0, "the driver loads", host);

    talhost::AdapterConfig config;
    config.set_dword("IoBaseAddress", kBase);
    config.set_dword("InterruptNumber", 10);
    if (data[0] & 3) {
        config.set_dword("WepReq", (data[0] & 2) ? 7 : 3);
        config.set_string("DefaultKeys", "0102030405A1B2C3D4E5DEADBEEF0011223344CC");
        config.set_dword("DefaultKeyId", 1);
        config.set_dword("EncryptInDriver", (data[0] & 4) ? 0 : 1);
    }
    NDIS_HANDLE handle = host.add_adapter(std::move(config));
    talsim::connect_interrupt_line(card, host, handle);
    require(host.initialize(handle) == NDIS_STATUS_SUCCESS, "the adapter comes up", host);
    const TAL_ADAPTER *a = (const TAL_ADAPTER *)host.adapter_context(handle);
    {
        talhost::TestBinding binding(host, handle);
        binding.set_packet_filter(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST);

        size_t at = 1;
        for (size_t n = 0; n < kMaxRecords && at + 5 <= size; n++) {
            uint8_t op = data[at] % 6, x = data[at + 1], y = data[at + 2];
            uint16_t length = (uint16_t)(data[at + 3] | data[at + 4] << 8) % kMaxLength;
            at += 5;
            NDIS_OID oid = x < 0xC0 ? codes[x % codes.size()] : (0xFFFFFF00u | y);
            switch (op) {
            case 0:
                binding.query(oid, length);
                break;
            case 1: {
                size_t take = std::min<size_t>(length, size - at);
                std::vector<uint8_t> input(data + at, data + at + take);
                at += take;
                binding.set(oid, input);
                break;
            }
            case 2: {
                std::vector<uint8_t> frame(std::max<size_t>(14, std::min<size_t>(length, 1514)), x);
                frame[0] = 0x02; // a station's address
                binding.send(frame);
                break;
            }
            case 3:
                card.announce_link_status(x % 8);
                break;
            case 4:
                binding.set(OID_PRIV_RESET_CARD, {});
                break;
            default:
                break;
            }
            host.world().run_for(100 + 50u * y);
            check_fields(a, host);
        }
        // Whatever the requests left behind, the adapter halts clean; the
        // binding's packets live until then (the driver may hold some).
        host.world().run_for(5000);
        host.halt(handle);
        require(host.verifier().clean(), "a clean halt", host);
    }
    host.bus().unmap(&card);
    return 0;
}
