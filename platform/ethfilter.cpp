#include "ethfilter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "host.h"

using talhost::MacAddress;

namespace {

constexpr ULONG kKnownTypes = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST |
                              NDIS_PACKET_TYPE_ALL_MULTICAST | NDIS_PACKET_TYPE_BROADCAST |
                              NDIS_PACKET_TYPE_PROMISCUOUS;

std::string hex(uintptr_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", (unsigned long long)v);
    return buf;
}

} // namespace

_ETH_FILTER::Open *_ETH_FILTER::open(talhost::Protocol *protocol) {
    opens_.push_back(std::make_unique<Open>(Open{this, protocol, 0, {}, false}));
    return opens_.back().get();
}

void _ETH_FILTER::close(Open *open) {
    opens_.erase(std::remove_if(opens_.begin(), opens_.end(),
                                [open](const std::unique_ptr<Open> &o) { return o.get() == open; }),
                 opens_.end());
    changed();
}

NDIS_STATUS _ETH_FILTER::set_packet_filter(Open *open, ULONG filter) {
    ULONG before = open->packet_filter;
    open->packet_filter = filter & kKnownTypes;
    NDIS_STATUS status = changed();
    if (status != NDIS_STATUS_SUCCESS && status != NDIS_STATUS_PENDING)
        open->packet_filter = before;
    return status;
}

NDIS_STATUS _ETH_FILTER::set_multicast(Open *open, std::vector<MacAddress> list) {
    std::vector<MacAddress> before = std::move(open->multicast);
    open->multicast = std::move(list);
    NDIS_STATUS status = changed();
    if (status != NDIS_STATUS_SUCCESS && status != NDIS_STATUS_PENDING)
        open->multicast = std::move(before);
    return status;
}

ULONG _ETH_FILTER::combined_filter() const {
    ULONG f = 0;
    for (const auto &o : opens_)
        f |= o->packet_filter;
    return f;
}

std::vector<MacAddress> _ETH_FILTER::combined_multicast() const {
    std::vector<MacAddress> all;
    for (const auto &o : opens_)
        for (const MacAddress &a : o->multicast)
            if (std::find(all.begin(), all.end(), a) == all.end())
                all.push_back(a);
    return all;
}

NDIS_STATUS _ETH_FILTER::changed() {
    return on_change ? on_change(combined_filter(), combined_multicast()) : NDIS_STATUS_SUCCESS;
}

bool _ETH_FILTER::accepts(const Open &open, const uint8_t *dest) const {
    ULONG f = open.packet_filter;
    if (f & NDIS_PACKET_TYPE_PROMISCUOUS)
        return true;
    static const MacAddress kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    if (std::memcmp(dest, kBroadcast.data(), 6) == 0)
        return (f & NDIS_PACKET_TYPE_BROADCAST) != 0;
    if (dest[0] & 1) { // a group address
        if (f & NDIS_PACKET_TYPE_ALL_MULTICAST)
            return true;
        if (!(f & NDIS_PACKET_TYPE_MULTICAST))
            return false;
        for (const MacAddress &a : open.multicast)
            if (std::memcmp(dest, a.data(), 6) == 0)
                return true;
        return false;
    }
    return (f & NDIS_PACKET_TYPE_DIRECTED) && std::memcmp(dest, station_.data(), 6) == 0;
}

void _ETH_FILTER::indicate(NDIS_HANDLE receive_context, const uint8_t *address, PVOID header,
                           UINT header_size, PVOID lookahead, UINT lookahead_size,
                           UINT packet_size) {
    if (!host_.checked_block(&block_.ndis, "EthFilterDprIndicateReceive"))
        return;
    talhost::Verifier &v = host_.verifier();
    if (!block_.ndis.LockAcquired)
        v.report(talhost::rule::IndicationWithoutLock,
                 "receive indication of " + std::to_string(packet_size) + " bytes");
    ++indications_;
    open_indication_ = true;
    indicating_ = true;
    receive_context_ = receive_context;
    // A binding may close while it is indicated: walk a copy.
    std::vector<Open *> targets;
    for (const auto &o : opens_)
        if (accepts(*o, address))
            targets.push_back(o.get());
    for (Open *o : targets) {
        o->indicated = true;
        o->protocol->receive(o, receive_context, (const uint8_t *)header, header_size,
                             (const uint8_t *)lookahead, lookahead_size, packet_size);
    }
    indicating_ = false;
    receive_context_ = nullptr;
}

void _ETH_FILTER::indicate_complete() {
    if (!host_.checked_block(&block_.ndis, "EthFilterDprIndicateReceiveComplete"))
        return;
    if (!block_.ndis.LockAcquired)
        host_.verifier().report(talhost::rule::IndicationWithoutLock, "indication complete");
    if (!open_indication_) {
        host_.verifier().report(talhost::rule::CompleteWithoutIndication,
                                "no receive indication since the last completion");
        return;
    }
    open_indication_ = false;
    std::vector<Open *> targets;
    for (const auto &o : opens_)
        if (o->indicated)
            targets.push_back(o.get());
    for (Open *o : targets) {
        o->indicated = false;
        o->protocol->receive_complete();
    }
}

bool _ETH_FILTER::take_open_indication() {
    bool was = open_indication_;
    open_indication_ = false;
    return was;
}

NDIS_STATUS _ETH_FILTER::transfer(NDIS_HANDLE receive_context, UINT offset, UINT bytes,
                                  PNDIS_PACKET packet, PUINT transferred) {
    *transferred = 0;
    if (!indicating_ || receive_context != receive_context_) {
        host_.verifier().report(talhost::rule::TransferOutsideIndication,
                                "receive context " + hex((uintptr_t)receive_context));
        return NDIS_STATUS_FAILURE;
    }
    W_TRANSFER_DATA_HANDLER handler = host_.driver().chars.TransferDataHandler;
    if (!handler) {
        host_.verifier().report(talhost::rule::HandlerSlotEmpty,
                                "TransferDataHandler, for a binding's NdisTransferData");
        return NDIS_STATUS_FAILURE;
    }
    return handler(packet, transferred, block_.context, receive_context, offset, bytes);
}

VOID NdisTransferData(PNDIS_STATUS Status, NDIS_HANDLE NdisBindingHandle,
                      NDIS_HANDLE MacReceiveContext, UINT ByteOffset, UINT BytesToTransfer,
                      PNDIS_PACKET Packet, PUINT BytesTransferred) {
    auto *open = (_ETH_FILTER::Open *)NdisBindingHandle;
    *Status = open->filter->transfer(MacReceiveContext, ByteOffset, BytesToTransfer, Packet,
                                     BytesTransferred);
}

VOID EthFilterDprIndicateReceive(PETH_FILTER Filter, NDIS_HANDLE MacReceiveContext, PCHAR Address,
                                 PVOID HeaderBuffer, UINT HeaderBufferSize, PVOID LookaheadBuffer,
                                 UINT LookaheadBufferSize, UINT PacketSize) {
    Filter->indicate(MacReceiveContext, (const uint8_t *)Address, HeaderBuffer, HeaderBufferSize,
                     LookaheadBuffer, LookaheadBufferSize, PacketSize);
}

VOID EthFilterDprIndicateReceiveComplete(PETH_FILTER Filter) {
    Filter->indicate_complete();
}
