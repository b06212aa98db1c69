#include "info_target.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "card/card.h"
#include "host.h"
#include "mac/talregs.h"
#include "mac/talutil.h"
#include "mgmt/talmgmt.h"
#include "record_spans.h"

namespace {

using talfuzz::le16;

constexpr uint32_t kBase = 0x300;

void require(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "information frame invariant broken: %s\n", what);
        std::abort();
    }
}

// What the reader may change: its own fields, and what the vendor request
// on link up changes (the transmit frame and buffer state).
const talfuzz::Span kOwned[] = {
    TAL_FIELD(tallies),       TAL_FIELD(scan_buffer),      TAL_FIELD(LinkStatus),
    TAL_FIELD(LinkIsActive),  TAL_FIELD(APCard_Info_Flag), TAL_FIELD(QuenlixOUI),
    TAL_FIELD(reclaimStatus), TAL_FIELD(TxFrameScratch),   TAL_FIELD(CmdTimedOut),
};
#undef TAL_FIELD

} // namespace

int tal_fuzz_information_frames(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    talhost::Host host;
    host.verifier().enabled = false;
    talsim::CardModel card(host.world());
    NDIS_HANDLE handle = host.add_adapter();
    host.bus().map(kBase, talsim::kPortCount, &card);
    PVOID base = nullptr;
    NdisMRegisterIoPortRange(&base, handle, kBase, talsim::kPortCount);

    std::unique_ptr<TAL_ADAPTER> adapter(new TAL_ADAPTER{});
    TAL_ADAPTER *a = adapter.get();
    a->MiniportAdapterHandle = handle;
    a->IoBaseAddrR = (ULONG)(ULONG_PTR)base;
    a->NetworkMode = data[0] & 1;
    a->LinkIsActive = (data[0] & 2) ? 0 : 1;
    a->FIDValue = card.frames().allocate(2364); // the vendor request's buffer
    a->reclaimStatus = 1;

    std::vector<uint8_t> before(sizeof(TAL_ADAPTER));
    size_t at = 1;
    while (at + 2 <= size) {
        size_t length = std::min<size_t>(le16(data + at), size - at - 2);
        at += 2;
        if (!card.inject_info(std::span<const uint8_t>(data + at, length)))
            break;
        at += length;
        host.world().run_for(100);
        if (!(card.events() & TAL_EV_INFO))
            break;
        std::memcpy(before.data(), a, sizeof(TAL_ADAPTER));
        USHORT fid = talGetIOPortWord(a, TAL_REG_INFOFID);
        if (getInfoFrame(a, fid) == TAL_RESULT_OK)
            issueEventACK(a, TAL_EV_INFO);
        require(talfuzz::only_owned_changed(kOwned, (const uint8_t *)a, before.data()),
                "only the reader's fields change");
        require(a->LinkIsActive == 0 || a->LinkIsActive == 1, "link state is up or down");
        host.world().run_for(5000); // a vendor request's frame leaves the card
        a->reclaimStatus = 1;
    }
    NdisMDeregisterIoPortRange(handle, kBase, talsim::kPortCount, base);
    host.bus().unmap(&card);
    return 0;
}
