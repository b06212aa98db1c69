#include "air/wiredhost.h"

#include "wire/ethernet.h"

namespace talsim {

namespace {

std::vector<uint8_t> ethernet(const wire::MacAddr &dst, const wire::MacAddr &src, uint16_t type,
                              const std::vector<uint8_t> &payload) {
    std::vector<uint8_t> out = wire::EthernetHeader{dst, src, type}.to_bytes();
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

} // namespace

std::vector<std::vector<uint8_t>> WiredHost::receive(std::span<const uint8_t> frame) {
    ++stats_.frames;
    std::vector<std::vector<uint8_t>> out;
    auto eth = wire::EthernetView<const uint8_t>::parse(frame);
    if (eth && (eth->dst() == config_.mac || eth->dst() == wire::kBroadcast)) {
        std::vector<uint8_t> reply;
        if (eth->ethertype() == wire::kEtherTypeArp)
            reply = answer_arp(eth->src(), eth->payload());
        else if (eth->ethertype() == wire::kEtherTypeIpv4)
            reply = answer_ip(eth->src(), eth->payload());
        if (!reply.empty())
            out.push_back(std::move(reply));
    }
    if (out.empty())
        ++stats_.ignored;
    return out;
}

std::vector<uint8_t> WiredHost::answer_arp(const wire::MacAddr &src,
                                           std::span<const uint8_t> payload) {
    auto v = wire::ArpView<const uint8_t>::parse(payload);
    auto a = v ? wire::Arp::parse(*v) : std::nullopt;
    if (!a || a->operation != wire::arp::Request || a->target_ip != config_.ip)
        return {};
    ++stats_.arp_replies;
    wire::Arp reply{wire::arp::Reply, config_.mac, config_.ip, a->sender_mac, a->sender_ip};
    return ethernet(src, config_.mac, wire::kEtherTypeArp, reply.to_bytes());
}

std::vector<uint8_t> WiredHost::answer_ip(const wire::MacAddr &src,
                                          std::span<const uint8_t> payload) {
    auto ip = wire::Ipv4View<const uint8_t>::parse(payload);
    if (!ip || !ip->checksum_ok() || ip->dst() != config_.ip ||
        ip->protocol() != wire::kIpProtoIcmp || (ip->flags_fragment() & 0x3FFF))
        return {};
    auto icmp = wire::IcmpEchoView<const uint8_t>::parse(ip->payload());
    if (!icmp || !icmp->checksum_ok() || icmp->type() != wire::icmp::EchoRequest ||
        icmp->code() != 0)
        return {};
    ++stats_.echo_replies;
    wire::IcmpEcho echo = wire::IcmpEcho::parse(*icmp);
    echo.type = wire::icmp::EchoReply;
    std::vector<uint8_t> body = echo.to_bytes();
    wire::Ipv4 h;
    h.total_length = (uint16_t)(wire::Ipv4::buffer_len() + body.size());
    h.id = ip_id_++;
    h.src = config_.ip;
    h.dst = ip->src();
    std::vector<uint8_t> packet = h.to_bytes();
    packet.insert(packet.end(), body.begin(), body.end());
    return ethernet(src, config_.mac, wire::kEtherTypeIpv4, packet);
}

} // namespace talsim
