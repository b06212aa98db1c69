#include "packet.h"

#include <cstring>

namespace talhost {

void Packet::chain(const std::vector<size_t> &lengths) {
    buffers_.resize(lengths.size());
    size_t at = 0;
    for (size_t i = 0; i < lengths.size(); i++) {
        buffers_[i].VirtualAddress = data_.data() + at;
        buffers_[i].Length = (UINT)lengths[i];
        buffers_[i].Next = i + 1 < lengths.size() ? &buffers_[i + 1] : nullptr;
        at += lengths[i];
    }
    packet_.Private.Head = buffers_.empty() ? nullptr : &buffers_.front();
    packet_.Private.Tail = buffers_.empty() ? nullptr : &buffers_.back();
    packet_.Private.TotalLength = (UINT)data_.size();
    packet_.Private.Count = (UINT)buffers_.size();
    packet_.Private.PhysicalCount = (UINT)buffers_.size();
    packet_.Private.ValidCounts = TRUE;
}

std::unique_ptr<Packet> Packet::one_buffer(const std::vector<uint8_t> &frame) {
    return split(frame, {});
}

std::unique_ptr<Packet> Packet::split(const std::vector<uint8_t> &frame,
                                      const std::vector<size_t> &cuts) {
    std::unique_ptr<Packet> p(new Packet());
    p->data_ = frame;
    std::vector<size_t> lengths;
    size_t last = 0;
    for (size_t c : cuts) {
        if (c < last || c > frame.size())
            return nullptr;
        lengths.push_back(c - last);
        last = c;
    }
    lengths.push_back(frame.size() - last);
    p->chain(lengths);
    Packet *self = p.get();
    std::memcpy(p->packet_.ProtocolReserved, &self, sizeof self);
    return p;
}

// The protocol's reserved area of the packet remembers its owner.
Packet *Packet::from(PNDIS_PACKET p) {
    Packet *owner;
    std::memcpy(&owner, p->ProtocolReserved, sizeof owner);
    return owner;
}

} // namespace talhost
