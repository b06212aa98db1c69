#include "rx_target.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "card/card.h"
#include "datapath/transfer.h"
#include "host.h"
#include "mac/talregs.h"
#include "mac/talutil.h"
#include "packet.h"
#include "record_spans.h"
#include "wep/talwep.h"

namespace {

using talfuzz::le16;

constexpr uint32_t kBase = 0x300;
constexpr size_t kRecordHeader = 9;

void require(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "receive path invariant broken: %s\n", what);
        std::abort();
    }
}

// The parts of the adapter record the receive path may change.
const talfuzz::Span kOwned[] = {
    TAL_FIELD(rx_key),
    TAL_FIELD(rx_wepBox),
    TAL_FIELD(PacketRecv),
    TAL_FIELD(PacketLength),
    TAL_FIELD(APCard_Info),
    TAL_FIELD(APCard_Info_Flag),
    TAL_FIELD(PacketMonitor.RxPacketErrCounter),
    TAL_FIELD(rx_prng),
    TAL_FIELD(rx_wepBoxValid),
    TAL_FIELD(sniffer_state),
    // the receive state at the end of the record, pRxPacket last
    talfuzz::Span{offsetof(TAL_ADAPTER, reassemblyInProgress), sizeof(TAL_ADAPTER)},
};
#undef TAL_FIELD

// An overrun of the receive buffer must leave the allocation.
static_assert(offsetof(TAL_ADAPTER, pRxPacket) + TAL_RX_BUFFER_SIZE == sizeof(TAL_ADAPTER),
              "the receive buffer ends the adapter record");

} // namespace

int tal_fuzz_receive(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    talhost::Host host;
    host.verifier().enabled = false; // the card model logs its own errors
    talsim::CardModel card(host.world());
    NDIS_HANDLE handle = host.add_adapter();
    host.bus().map(kBase, talsim::kPortCount, &card);
    PVOID base = nullptr;
    NdisMRegisterIoPortRange(&base, handle, kBase, talsim::kPortCount);

    // One allocation exactly the record's size: an overrun past pRxPacket
    // leaves it.
    std::unique_ptr<TAL_ADAPTER> adapter(new TAL_ADAPTER{});
    TAL_ADAPTER *a = adapter.get();
    a->MiniportAdapterHandle = handle;
    a->IoBaseAddrR = (ULONG)(ULONG_PTR)base;
    a->MaxLookAhead = 1508;
    a->WepRequired = (data[0] & 2) ? 7 : 3;
    a->DecryptInDriver = data[0] & 1;
    for (int k = 0; k < 13; k++)
        a->WepDefaultKey0[k] = a->WepDefaultKey1[k] = a->WepDefaultKey2[k] = a->WepDefaultKey3[k] =
            (uint8_t)(0x11 * (k + 1));
    crc32_mktable(a);

    std::vector<uint8_t> before(sizeof(TAL_ADAPTER));
    size_t at = 1;
    while (at + kRecordHeader <= size) {
        const uint8_t *rec = data + at;
        uint8_t flags = rec[0];
        uint16_t offset = le16(rec + 1), wanted = le16(rec + 3), packet = le16(rec + 5);
        size_t length = le16(rec + 7);
        at += kRecordHeader;
        if (length > size - at)
            length = size - at;
        a->sniffer_state = flags & 1;
        if (!card.inject_rx(std::span<const uint8_t>(data + at, length)))
            break;
        at += length;
        host.world().run_for(100);
        if (!(card.events() & TAL_EV_RX))
            break;

        std::memcpy(before.data(), a, sizeof(TAL_ADAPTER));
        USHORT got = 0xFFFF;
        USHORT status = TalReceive(a, a->pRxPacket, &got);
        issueEventACK(a, TAL_EV_RX);
        require(status == 0 || got == 0, "a refused frame has no length");
        require(got <= (a->sniffer_state ? 2304 + TAL_MONITOR_BODY : 1500),
                "an indicated frame fits what the protocols were told");
        require(talfuzz::only_owned_changed(kOwned, (const uint8_t *)a, before.data()),
                "only the receive path's fields change");

        if (status == 0 && got && (flags & 2)) {
            // As the event loop sets them, then a protocol's transfer.
            a->PacketRecv = a->pRxPacket;
            a->PacketLength = (USHORT)(got + (a->sniffer_state ? 0 : 14));
            auto p = talhost::Packet::one_buffer(std::vector<uint8_t>(packet % 3000, 0));
            UINT copied = 0xFFFFFFFF;
            TalTransferData(p->ndis(), &copied, a, nullptr, offset, wanted);
            require(copied <= wanted && copied <= packet % 3000, "transfer within its bounds");
        }
    }
    NdisMDeregisterIoPortRange(handle, kBase, talsim::kPortCount, base);
    host.bus().unmap(&card);
    return 0;
}
