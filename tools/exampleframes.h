// Example Ethernet frames a protocol stack would hand the driver: one of
// each encapsulation the transmit path chooses between.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace talsim {

using Mac = std::array<uint8_t, 6>;

struct ExampleFrame {
    std::string name;
    std::vector<uint8_t> bytes;
};

// ICMP echo request (IPv4, 98 bytes), ARP request, IPX over the 802.1H
// bridge tunnel, and an 802.3 length-field frame (spanning tree BPDU).
// `seq` varies the ICMP sequence number and the IPX packet.
std::vector<ExampleFrame> example_frames(const Mac &self, const Mac &peer, uint16_t seq);

// The Internet checksum of a byte range.
uint16_t inet_checksum(const uint8_t *p, size_t n);

} // namespace talsim
