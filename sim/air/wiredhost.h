// The host on an access point's wired side: a minimal IPv4 host that
// answers ARP requests for its address and ICMP echo requests to it, and
// nothing else (no TCP, no routing, no ARP of its own: a reply goes to the
// Ethernet source of the request).
#pragma once

#include "wire/bytes.h"
#include "wire/inet.h"

#include <cstdint>
#include <span>
#include <vector>

namespace talsim {

struct WiredHostConfig {
    wire::MacAddr mac{};
    wire::Ipv4Addr ip{};
};

struct WiredHostStats {
    uint64_t frames = 0; // Ethernet frames that reached the host
    uint64_t arp_replies = 0;
    uint64_t echo_replies = 0;
    uint64_t ignored = 0; // not for it, malformed, or nothing it answers
};

class WiredHost {
public:
    explicit WiredHost(WiredHostConfig config) : config_(config) {}

    // An Ethernet II frame reaches the host; the frames it answers with.
    std::vector<std::vector<uint8_t>> receive(std::span<const uint8_t> frame);

    const WiredHostConfig &config() const { return config_; }
    const WiredHostStats &stats() const { return stats_; }

private:
    std::vector<uint8_t> answer_arp(const wire::MacAddr &src, std::span<const uint8_t> payload);
    std::vector<uint8_t> answer_ip(const wire::MacAddr &src, std::span<const uint8_t> payload);

    WiredHostConfig config_;
    WiredHostStats stats_;
    uint16_t ip_id_ = 0;
};

} // namespace talsim
