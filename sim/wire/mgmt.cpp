#include "wire/mgmt.h"

namespace talsim::wire {

namespace {

void push_element(std::vector<uint8_t> &out, uint8_t id, std::span<const uint8_t> data) {
    out.push_back(id);
    out.push_back((uint8_t)data.size());
    out.insert(out.end(), data.begin(), data.end());
}

} // namespace

std::optional<Elements> Elements::parse(std::span<const uint8_t> b) {
    Elements e;
    size_t at = 0;
    while (at < b.size()) {
        if (at + 2 > b.size() || at + 2 + b[at + 1] > b.size())
            return std::nullopt;
        uint8_t id = b[at];
        std::span<const uint8_t> data = b.subspan(at + 2, b[at + 1]);
        at += 2 + data.size();
        switch (id) {
        case eid::Ssid:
            if (data.size() > 32)
                return std::nullopt;
            e.ssid = std::string(data.begin(), data.end());
            break;
        case eid::Rates:
            e.rates.assign(data.begin(), data.end());
            break;
        case eid::DsParams:
            if (data.size() != 1)
                return std::nullopt;
            e.channel = data[0];
            break;
        case eid::Challenge:
            e.challenge = std::vector<uint8_t>(data.begin(), data.end());
            break;
        default:
            e.other.emplace_back(id, std::vector<uint8_t>(data.begin(), data.end()));
        }
    }
    return e;
}

void Elements::emit(std::vector<uint8_t> &out) const {
    if (ssid)
        push_element(out, eid::Ssid, std::span((const uint8_t *)ssid->data(), ssid->size()));
    if (!rates.empty())
        push_element(out, eid::Rates, rates);
    if (channel)
        push_element(out, eid::DsParams, std::span(&*channel, 1));
    if (challenge)
        push_element(out, eid::Challenge, *challenge);
    for (const auto &[id, data] : other)
        push_element(out, id, data);
}

std::optional<BeaconBody> BeaconBody::parse(std::span<const uint8_t> b) {
    if (b.size() < kLen)
        return std::nullopt;
    auto e = Elements::parse(b.subspan(kLen));
    if (!e)
        return std::nullopt;
    uint64_t ts = get_le32(b, kTimestamp) | ((uint64_t)get_le32(b, kTimestamp + 4) << 32);
    return BeaconBody{ts, get_le16(b, kInterval), get_le16(b, kCapability), std::move(*e)};
}

std::vector<uint8_t> BeaconBody::to_bytes() const {
    std::vector<uint8_t> out(kLen);
    put_le32(out, kTimestamp, (uint32_t)timestamp);
    put_le32(out, kTimestamp + 4, (uint32_t)(timestamp >> 32));
    put_le16(out, kInterval, interval);
    put_le16(out, kCapability, capability);
    elements.emit(out);
    return out;
}

std::optional<AuthBody> AuthBody::parse(std::span<const uint8_t> b) {
    if (b.size() < kLen)
        return std::nullopt;
    auto e = Elements::parse(b.subspan(kLen));
    if (!e)
        return std::nullopt;
    return AuthBody{get_le16(b, kAlgorithm), get_le16(b, kSequence), get_le16(b, kStatus),
                    std::move(*e)};
}

std::vector<uint8_t> AuthBody::to_bytes() const {
    std::vector<uint8_t> out(kLen);
    put_le16(out, kAlgorithm, algorithm);
    put_le16(out, kSequence, sequence);
    put_le16(out, kStatus, status);
    elements.emit(out);
    return out;
}

std::optional<AssocRequestBody> AssocRequestBody::parse(std::span<const uint8_t> b, bool reassoc) {
    size_t len = reassoc ? kReassocLen : kLen;
    if (b.size() < len)
        return std::nullopt;
    auto e = Elements::parse(b.subspan(len));
    if (!e)
        return std::nullopt;
    std::optional<MacAddr> current;
    if (reassoc)
        current = get_addr(b, kCurrentAp);
    return AssocRequestBody{get_le16(b, kCapability), get_le16(b, kListenInterval), current,
                            std::move(*e)};
}

std::vector<uint8_t> AssocRequestBody::to_bytes() const {
    std::vector<uint8_t> out(current_ap ? kReassocLen : kLen);
    put_le16(out, kCapability, capability);
    put_le16(out, kListenInterval, listen_interval);
    if (current_ap)
        put_addr(out, kCurrentAp, *current_ap);
    elements.emit(out);
    return out;
}

std::optional<AssocResponseBody> AssocResponseBody::parse(std::span<const uint8_t> b) {
    if (b.size() < kLen)
        return std::nullopt;
    auto e = Elements::parse(b.subspan(kLen));
    if (!e)
        return std::nullopt;
    return AssocResponseBody{get_le16(b, kCapability), get_le16(b, kStatus),
                             (uint16_t)(get_le16(b, kAid) & 0x3FFF), std::move(*e)};
}

std::vector<uint8_t> AssocResponseBody::to_bytes() const {
    std::vector<uint8_t> out(kLen);
    put_le16(out, kCapability, capability);
    put_le16(out, kStatus, status);
    put_le16(out, kAid, (uint16_t)(aid | 0xC000));
    elements.emit(out);
    return out;
}

std::optional<ReasonBody> ReasonBody::parse(std::span<const uint8_t> b) {
    if (b.size() < kLen)
        return std::nullopt;
    return ReasonBody{get_le16(b, kReason)};
}

std::vector<uint8_t> ReasonBody::to_bytes() const {
    std::vector<uint8_t> out(kLen);
    put_le16(out, kReason, reason);
    return out;
}

std::optional<Ack> Ack::parse(std::span<const uint8_t> b) {
    if (b.size() < kLen)
        return std::nullopt;
    auto start = *FrameStartView<const uint8_t>::parse(b);
    if (start.type() != fc::TypeControl || start.subtype() != kSubtypeAck)
        return std::nullopt;
    return Ack{get_addr(b, kRa)};
}

std::vector<uint8_t> Ack::to_bytes() const {
    std::vector<uint8_t> out(kLen);
    FrameStartView<uint8_t>::parse(out)->set_frame_control(
        (uint16_t)((fc::TypeControl << 2) | (kSubtypeAck << 4)));
    put_addr(out, kRa, ra);
    return out;
}

std::vector<uint8_t> mgmt_frame(uint8_t subtype, uint16_t flags, uint16_t duration,
                                const MacAddr &da, const MacAddr &sa, const MacAddr &bssid,
                                uint16_t sequence, std::span<const uint8_t> body) {
    std::vector<uint8_t> out =
        MacHeader{fc::TypeMgmt, subtype, flags, duration, da, sa, bssid, sequence, 0}.to_bytes();
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

} // namespace talsim::wire
