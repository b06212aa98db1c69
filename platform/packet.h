// Packets as protocols hand them to the send handler: an NDIS_PACKET over a
// chain of buffer descriptors that point into bytes the packet owns.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "hostndis.h"

namespace talhost {

class Packet {
public:
    // The whole frame in one buffer.
    static std::unique_ptr<Packet> one_buffer(const std::vector<uint8_t> &frame);
    // The frame cut at the given offsets (ascending; an offset repeated, or
    // at 0 or at the end, makes a zero-length buffer).
    static std::unique_ptr<Packet> split(const std::vector<uint8_t> &frame,
                                         const std::vector<size_t> &cuts);

    PNDIS_PACKET ndis() { return &packet_; }
    const std::vector<uint8_t> &bytes() const { return data_; }
    size_t buffer_count() const { return buffers_.size(); }
    // The packet that owns an NDIS_PACKET handed back by a completion.
    static Packet *from(PNDIS_PACKET p);

private:
    Packet() = default;
    void chain(const std::vector<size_t> &lengths);

    NDIS_PACKET packet_{};
    std::vector<uint8_t> data_;
    std::vector<NDIS_BUFFER> buffers_;
};

} // namespace talhost
