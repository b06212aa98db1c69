#include "binding.h"

namespace talhost {

TestBinding::TestBinding(Host &host, NDIS_HANDLE adapter, Take take)
    : host_(host), adapter_(adapter), open_(host.filter(adapter).open(this)), take_(take) {}

TestBinding::~TestBinding() {
    if (MiniportBlock *b = host_.find_block(adapter_)) {
        b->filter->close(open_);
        for (auto &s : b->senders)
            if (s.second == this)
                s.second = nullptr; // completions after close go nowhere
    }
}

NDIS_STATUS TestBinding::set_packet_filter(ULONG filter) {
    return open_->filter->set_packet_filter(open_, filter);
}

NDIS_STATUS TestBinding::set_multicast(std::vector<MacAddress> list) {
    return open_->filter->set_multicast(open_, std::move(list));
}

NDIS_STATUS TestBinding::send(const std::vector<uint8_t> &frame) {
    return send(Packet::one_buffer(frame));
}

NDIS_STATUS TestBinding::send(std::unique_ptr<Packet> packet) {
    PNDIS_PACKET p = packet->ndis();
    packets_.push_back(std::move(packet));
    W_SEND_HANDLER handler = host_.driver().chars.SendHandler;
    if (!handler) {
        host_.verifier().report(rule::HandlerSlotEmpty, "SendHandler, for a binding's send");
        return NDIS_STATUS_FAILURE;
    }
    return host_.send(adapter_, p, handler, this);
}

void TestBinding::send_complete(PNDIS_PACKET packet, NDIS_STATUS status) {
    completions_.push_back(SendCompletion{packet, status, host_.world().now()});
}

void TestBinding::receive(NDIS_HANDLE binding, NDIS_HANDLE receive_context, const uint8_t *header,
                          UINT header_size, const uint8_t *lookahead, UINT lookahead_size,
                          UINT packet_size) {
    Received r;
    r.header.assign(header, header + header_size);
    r.lookahead.assign(lookahead, lookahead + lookahead_size);
    r.packet_size = packet_size;
    r.time = host_.world().now();
    r.frame = r.header;
    UINT from = 0; // where the transfer starts, counted after the header
    if (take_ == Take::Frame && lookahead_size < packet_size) {
        r.frame.insert(r.frame.end(), r.lookahead.begin(), r.lookahead.end());
        from = lookahead_size;
        r.transferred = true;
    } else if (take_ == Take::TransferAll) {
        r.transferred = true;
    } else {
        r.frame.insert(r.frame.end(), r.lookahead.begin(), r.lookahead.end());
    }
    if (r.transferred) {
        auto rest = Packet::one_buffer(std::vector<uint8_t>(packet_size - from));
        NdisTransferData(&r.transfer_status, binding, receive_context, from, packet_size - from,
                         rest->ndis(), &r.transfer_bytes);
        const std::vector<uint8_t> &got = rest->bytes();
        r.frame.insert(r.frame.end(), got.begin(),
                       got.begin() + std::min<size_t>(r.transfer_bytes, got.size()));
    }
    received_.push_back(std::move(r));
    if (on_receive)
        on_receive(received_.back());
}

std::vector<std::vector<uint8_t>> TestBinding::frames() const {
    std::vector<std::vector<uint8_t>> out;
    for (const Received &r : received_)
        out.push_back(r.frame);
    return out;
}

void TestBinding::clear() {
    received_.clear();
    completions_.clear();
    receive_completes_ = 0;
}

} // namespace talhost
