// The wrapper's Ethernet filter library: one filter database per adapter
// (the miniport block's EthDB), the protocol bindings open on it, and the
// receive indication that reaches each binding whose packet filter and
// multicast list accept the frame's destination.
//
// The driver reaches it as it reaches the real library:
// EthFilterDprIndicateReceive / EthFilterDprIndicateReceiveComplete with the
// EthDB of its miniport block. A binding gets the header, the lookahead and
// the packet size; for the rest of the frame it calls NdisTransferData while
// the indication lasts, which the wrapper turns into a call of the miniport's
// transfer-data handler with the indication's receive context.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "hostndis.h"

namespace talhost {

class Host;
struct MiniportBlock;

using MacAddress = std::array<uint8_t, 6>;

// A protocol bound to an adapter, as the wrapper calls it.
class Protocol {
public:
    virtual ~Protocol() = default;
    // One indication: `binding` is the handle for NdisTransferData.
    virtual void receive(NDIS_HANDLE binding, NDIS_HANDLE receive_context, const uint8_t *header,
                         UINT header_size, const uint8_t *lookahead, UINT lookahead_size,
                         UINT packet_size) = 0;
    virtual void receive_complete() = 0;
    virtual void send_complete(PNDIS_PACKET packet, NDIS_STATUS status) = 0;
};

} // namespace talhost

struct _ETH_FILTER {
    // A binding open on the adapter; its address is the binding handle.
    struct Open {
        _ETH_FILTER *filter;
        talhost::Protocol *protocol;
        ULONG packet_filter = 0;
        std::vector<talhost::MacAddress> multicast;
        bool indicated = false; // since the last indication-complete
    };

    _ETH_FILTER(talhost::Host &host, talhost::MiniportBlock &block) : host_(host), block_(block) {}

    Open *open(talhost::Protocol *protocol);
    void close(Open *open);
    const std::vector<std::unique_ptr<Open>> &opens() const { return opens_; }

    // A binding's filter and list. Only the packet types the library knows
    // count: directed, multicast, all-multicast, broadcast, promiscuous.
    // The adapter's answer comes back; a refused change is undone, so the
    // binding keeps what it had.
    NDIS_STATUS set_packet_filter(Open *open, ULONG filter);
    NDIS_STATUS set_multicast(Open *open, std::vector<talhost::MacAddress> list);
    // What the adapter must receive for all bindings: the OR of their
    // filters and the union of their multicast lists.
    ULONG combined_filter() const;
    std::vector<talhost::MacAddress> combined_multicast() const;
    // Called after a binding's filter or list changed, with the combined
    // values; the host tells the miniport through set requests and returns
    // the miniport's status.
    std::function<NDIS_STATUS(ULONG filter, const std::vector<talhost::MacAddress> &multicast)>
        on_change;

    void set_station_address(const talhost::MacAddress &a) { station_ = a; }
    const talhost::MacAddress &station_address() const { return station_; }
    // Whether a binding with this filter and list takes a frame to `dest`.
    bool accepts(const Open &open, const uint8_t *dest) const;

    // The two library calls, and the binding's transfer-data request.
    void indicate(NDIS_HANDLE receive_context, const uint8_t *address, PVOID header,
                  UINT header_size, PVOID lookahead, UINT lookahead_size, UINT packet_size);
    void indicate_complete();
    NDIS_STATUS transfer(NDIS_HANDLE receive_context, UINT offset, UINT bytes, PNDIS_PACKET packet,
                         PUINT transferred);

    // An indication not yet followed by its completion; cleared by reading.
    bool take_open_indication();
    uint64_t indications() const { return indications_; }

private:
    NDIS_STATUS changed();

    talhost::Host &host_;
    talhost::MiniportBlock &block_;
    std::vector<std::unique_ptr<Open>> opens_;
    talhost::MacAddress station_{};
    bool indicating_ = false; // inside an indication call
    NDIS_HANDLE receive_context_ = nullptr;
    bool open_indication_ = false; // indicated, not yet completed
    uint64_t indications_ = 0;
};

namespace talhost {
using EthFilter = ::_ETH_FILTER;
} // namespace talhost

// The protocol's call for the rest of an indicated frame (NDIS's signature;
// the binding handle is the binding's open).
VOID NdisTransferData(PNDIS_STATUS Status, NDIS_HANDLE NdisBindingHandle,
                      NDIS_HANDLE MacReceiveContext, UINT ByteOffset, UINT BytesToTransfer,
                      PNDIS_PACKET Packet, PUINT BytesTransferred);
