// ARP (Ethernet/IPv4), IPv4 and ICMP echo as views over bytes, each with
// one length check in parse() and a value type whose emit() writes the
// same fields back. Multi-byte fields are big-endian (network order).
//
//   ARP   hardware type 1, protocol 0x0800, lengths 6 and 4, operation,
//         sender MAC, sender IPv4, target MAC, target IPv4 (28 bytes)
//   IPv4  version 4 and header length, TOS, total length, id, flags and
//         fragment offset, TTL, protocol, header checksum, source,
//         destination; options are skipped (header length counts them)
//   ICMP  type, code, checksum (over the whole message), identifier,
//         sequence, data
#pragma once

#include "wire/bytes.h"

#include <optional>
#include <type_traits>
#include <vector>

namespace talsim::wire {

using Ipv4Addr = std::array<uint8_t, 4>;

inline constexpr uint16_t kEtherTypeIpv4 = 0x0800;
inline constexpr uint16_t kEtherTypeArp = 0x0806;
inline constexpr uint8_t kIpProtoIcmp = 1;

// The Internet checksum: ones' complement of the ones' complement sum.
inline uint16_t inet_checksum(std::span<const uint8_t> b) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < b.size(); i += 2)
        sum += get_be16(b, i);
    if (b.size() & 1)
        sum += (uint32_t)b.back() << 8;
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return (uint16_t)~sum;
}

inline Ipv4Addr get_ip(std::span<const uint8_t> b, size_t off) {
    return {b[off], b[off + 1], b[off + 2], b[off + 3]};
}
inline void put_ip(std::span<uint8_t> b, size_t off, const Ipv4Addr &a) {
    for (size_t i = 0; i < 4; ++i)
        b[off + i] = a[i];
}

namespace arp {
inline constexpr uint16_t Request = 1;
inline constexpr uint16_t Reply = 2;
} // namespace arp

template <class B>
class ArpView {
    static_assert(std::is_same_v<std::remove_const_t<B>, uint8_t>);

public:
    static constexpr size_t kHwType = 0;
    static constexpr size_t kProtoType = 2;
    static constexpr size_t kHwLen = 4;
    static constexpr size_t kProtoLen = 5;
    static constexpr size_t kOperation = 6;
    static constexpr size_t kSenderMac = 8;
    static constexpr size_t kSenderIp = 14;
    static constexpr size_t kTargetMac = 18;
    static constexpr size_t kTargetIp = 24;
    static constexpr size_t kLen = 28;

    static std::optional<ArpView> parse(std::span<B> bytes) {
        if (bytes.size() < kLen)
            return std::nullopt;
        return ArpView(bytes);
    }

    uint16_t hw_type() const { return get_be16(b_, kHwType); }
    uint16_t proto_type() const { return get_be16(b_, kProtoType); }
    uint8_t hw_len() const { return b_[kHwLen]; }
    uint8_t proto_len() const { return b_[kProtoLen]; }
    uint16_t operation() const { return get_be16(b_, kOperation); }
    MacAddr sender_mac() const { return get_addr(b_, kSenderMac); }
    Ipv4Addr sender_ip() const { return get_ip(b_, kSenderIp); }
    MacAddr target_mac() const { return get_addr(b_, kTargetMac); }
    Ipv4Addr target_ip() const { return get_ip(b_, kTargetIp); }

    void set_fixed() requires(!std::is_const_v<B>) {
        put_be16(b_, kHwType, 1);
        put_be16(b_, kProtoType, kEtherTypeIpv4);
        b_[kHwLen] = 6;
        b_[kProtoLen] = 4;
    }
    void set_operation(uint16_t v) requires(!std::is_const_v<B>) { put_be16(b_, kOperation, v); }
    void set_sender(const MacAddr &m, const Ipv4Addr &ip) requires(!std::is_const_v<B>) {
        put_addr(b_, kSenderMac, m);
        put_ip(b_, kSenderIp, ip);
    }
    void set_target(const MacAddr &m, const Ipv4Addr &ip) requires(!std::is_const_v<B>) {
        put_addr(b_, kTargetMac, m);
        put_ip(b_, kTargetIp, ip);
    }

private:
    explicit ArpView(std::span<B> b) : b_(b) {}
    std::span<B> b_;
};

struct Arp {
    uint16_t operation = arp::Request;
    MacAddr sender_mac{};
    Ipv4Addr sender_ip{};
    MacAddr target_mac{};
    Ipv4Addr target_ip{};

    bool operator==(const Arp &) const = default;

    // Refuses anything but Ethernet hardware and IPv4 addresses.
    static std::optional<Arp> parse(const ArpView<const uint8_t> &v) {
        if (v.hw_type() != 1 || v.proto_type() != kEtherTypeIpv4 || v.hw_len() != 6 ||
            v.proto_len() != 4)
            return std::nullopt;
        return Arp{v.operation(), v.sender_mac(), v.sender_ip(), v.target_mac(), v.target_ip()};
    }
    static constexpr size_t buffer_len() { return ArpView<uint8_t>::kLen; }
    void emit(ArpView<uint8_t> v) const {
        v.set_fixed();
        v.set_operation(operation);
        v.set_sender(sender_mac, sender_ip);
        v.set_target(target_mac, target_ip);
    }
    std::vector<uint8_t> to_bytes() const {
        std::vector<uint8_t> out(buffer_len());
        emit(*ArpView<uint8_t>::parse(out));
        return out;
    }
};

template <class B>
class Ipv4View {
    static_assert(std::is_same_v<std::remove_const_t<B>, uint8_t>);

public:
    static constexpr size_t kVersionIhl = 0;
    static constexpr size_t kTos = 1;
    static constexpr size_t kTotalLength = 2;
    static constexpr size_t kId = 4;
    static constexpr size_t kFlagsFragment = 6;
    static constexpr size_t kTtl = 8;
    static constexpr size_t kProtocol = 9;
    static constexpr size_t kChecksum = 10;
    static constexpr size_t kSrc = 12;
    static constexpr size_t kDst = 16;
    static constexpr size_t kLen = 20;

    // The one check: version 4, a header length of at least 20 bytes, and
    // the header and the total length inside the span.
    static std::optional<Ipv4View> parse(std::span<B> bytes) {
        if (bytes.size() < kLen || (bytes[kVersionIhl] >> 4) != 4)
            return std::nullopt;
        size_t ihl = (size_t)(bytes[kVersionIhl] & 0xF) * 4;
        size_t total = get_be16(bytes, kTotalLength);
        if (ihl < kLen || total < ihl || total > bytes.size())
            return std::nullopt;
        return Ipv4View(bytes);
    }

    size_t header_len() const { return (size_t)(b_[kVersionIhl] & 0xF) * 4; }
    std::span<B> header() const { return b_.first(header_len()); }
    std::span<B> payload() const { return b_.subspan(header_len(), total_length() - header_len()); }
    uint8_t tos() const { return b_[kTos]; }
    uint16_t total_length() const { return get_be16(b_, kTotalLength); }
    uint16_t id() const { return get_be16(b_, kId); }
    uint16_t flags_fragment() const { return get_be16(b_, kFlagsFragment); }
    uint8_t ttl() const { return b_[kTtl]; }
    uint8_t protocol() const { return b_[kProtocol]; }
    uint16_t checksum() const { return get_be16(b_, kChecksum); }
    Ipv4Addr src() const { return get_ip(b_, kSrc); }
    Ipv4Addr dst() const { return get_ip(b_, kDst); }
    bool checksum_ok() const { return inet_checksum(header()) == 0; }

private:
    explicit Ipv4View(std::span<B> b) : b_(b) {}
    std::span<B> b_;
};

// An IPv4 header without options; emit() computes the checksum.
struct Ipv4 {
    uint8_t tos = 0;
    uint16_t total_length = 20;
    uint16_t id = 0;
    uint16_t flags_fragment = 0x4000; // don't fragment
    uint8_t ttl = 64;
    uint8_t protocol = kIpProtoIcmp;
    Ipv4Addr src{};
    Ipv4Addr dst{};

    bool operator==(const Ipv4 &) const = default;

    static Ipv4 parse(const Ipv4View<const uint8_t> &v) {
        return Ipv4{v.tos(), v.total_length(), v.id(),  v.flags_fragment(),
                    v.ttl(), v.protocol(),     v.src(), v.dst()};
    }
    static constexpr size_t buffer_len() { return Ipv4View<uint8_t>::kLen; }
    // `out` holds at least buffer_len() bytes.
    void emit(std::span<uint8_t> out) const {
        out[Ipv4View<uint8_t>::kVersionIhl] = 0x45;
        out[Ipv4View<uint8_t>::kTos] = tos;
        put_be16(out, Ipv4View<uint8_t>::kTotalLength, total_length);
        put_be16(out, Ipv4View<uint8_t>::kId, id);
        put_be16(out, Ipv4View<uint8_t>::kFlagsFragment, flags_fragment);
        out[Ipv4View<uint8_t>::kTtl] = ttl;
        out[Ipv4View<uint8_t>::kProtocol] = protocol;
        put_be16(out, Ipv4View<uint8_t>::kChecksum, 0);
        put_ip(out, Ipv4View<uint8_t>::kSrc, src);
        put_ip(out, Ipv4View<uint8_t>::kDst, dst);
        put_be16(out, Ipv4View<uint8_t>::kChecksum, inet_checksum(out.first(buffer_len())));
    }
    std::vector<uint8_t> to_bytes() const {
        std::vector<uint8_t> out(buffer_len());
        emit(out);
        return out;
    }
};

namespace icmp {
inline constexpr uint8_t EchoReply = 0;
inline constexpr uint8_t EchoRequest = 8;
} // namespace icmp

template <class B>
class IcmpEchoView {
    static_assert(std::is_same_v<std::remove_const_t<B>, uint8_t>);

public:
    static constexpr size_t kType = 0;
    static constexpr size_t kCode = 1;
    static constexpr size_t kChecksum = 2;
    static constexpr size_t kId = 4;
    static constexpr size_t kSequence = 6;
    static constexpr size_t kLen = 8;

    static std::optional<IcmpEchoView> parse(std::span<B> bytes) {
        if (bytes.size() < kLen)
            return std::nullopt;
        return IcmpEchoView(bytes);
    }

    uint8_t type() const { return b_[kType]; }
    uint8_t code() const { return b_[kCode]; }
    uint16_t checksum() const { return get_be16(b_, kChecksum); }
    uint16_t id() const { return get_be16(b_, kId); }
    uint16_t sequence() const { return get_be16(b_, kSequence); }
    std::span<B> data() const { return b_.subspan(kLen); }
    bool checksum_ok() const { return inet_checksum(b_) == 0; }

private:
    explicit IcmpEchoView(std::span<B> b) : b_(b) {}
    std::span<B> b_;
};

// An echo request or reply; to_bytes() computes the checksum over all of it.
struct IcmpEcho {
    uint8_t type = icmp::EchoRequest;
    uint8_t code = 0;
    uint16_t id = 0;
    uint16_t sequence = 0;
    std::vector<uint8_t> data;

    bool operator==(const IcmpEcho &) const = default;

    static IcmpEcho parse(const IcmpEchoView<const uint8_t> &v) {
        return IcmpEcho{
            v.type(), v.code(), v.id(), v.sequence(), {v.data().begin(), v.data().end()}};
    }
    std::vector<uint8_t> to_bytes() const {
        std::vector<uint8_t> out(IcmpEchoView<uint8_t>::kLen);
        out[IcmpEchoView<uint8_t>::kType] = type;
        out[IcmpEchoView<uint8_t>::kCode] = code;
        put_be16(out, IcmpEchoView<uint8_t>::kId, id);
        put_be16(out, IcmpEchoView<uint8_t>::kSequence, sequence);
        out.insert(out.end(), data.begin(), data.end());
        put_be16(out, IcmpEchoView<uint8_t>::kChecksum, inet_checksum(out));
        return out;
    }
};

} // namespace talsim::wire
