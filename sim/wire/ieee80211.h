// The 802.11 MAC header of data frames as a view over bytes: frame control,
// duration, three addresses, sequence control, and the fourth address when
// both distribution-system bits are set. parse() is the one length check;
// every getter and setter after it reads inside the checked span.
//
//     auto v = MacHeaderView<const uint8_t>::parse(bytes);   // nullopt: too short
//     if (v && v->protected_frame()) ... v->payload() ...
//
// MacHeader is the header as values; parse(view) and emit(view) convert
// between the two, and emit() into a parsed view gives the same bytes back.
#pragma once

#include "wire/bytes.h"

#include <optional>
#include <type_traits>
#include <vector>

namespace talsim::wire {

namespace fc {
// Frame control word (little-endian on the air): version bits 0-1, type
// bits 2-3, subtype bits 4-7, then the flag bits.
inline constexpr uint16_t ToDs = 0x0100;
inline constexpr uint16_t FromDs = 0x0200;
inline constexpr uint16_t MoreFragments = 0x0400;
inline constexpr uint16_t Retry = 0x0800;
inline constexpr uint16_t PowerMgmt = 0x1000;
inline constexpr uint16_t MoreData = 0x2000;
inline constexpr uint16_t Protected = 0x4000;
inline constexpr uint16_t Order = 0x8000;
inline constexpr uint8_t TypeMgmt = 0;
inline constexpr uint8_t TypeControl = 1;
inline constexpr uint8_t TypeData = 2;
inline constexpr uint8_t type_of(uint16_t fcw) {
    return (uint8_t)((fcw >> 2) & 0x3);
}
inline constexpr uint8_t subtype_of(uint16_t fcw) {
    return (uint8_t)((fcw >> 4) & 0xF);
}
} // namespace fc

// The two fields every 802.11 frame starts with, control frames included
// (an acknowledgement is 10 bytes): frame control and duration. For what
// the medium reads of any frame; MacHeaderView reads the rest of a data or
// management frame's header.
template <class B>
class FrameStartView {
    static_assert(std::is_same_v<std::remove_const_t<B>, uint8_t>);

public:
    static constexpr size_t kFrameControl = 0;
    static constexpr size_t kDuration = 2;
    static constexpr size_t kLen = 4;

    static std::optional<FrameStartView> parse(std::span<B> bytes) {
        if (bytes.size() < kLen)
            return std::nullopt;
        return FrameStartView(bytes);
    }

    uint16_t frame_control() const { return get_le16(b_, kFrameControl); }
    uint8_t type() const { return fc::type_of(frame_control()); }
    uint8_t subtype() const { return fc::subtype_of(frame_control()); }
    uint16_t duration() const { return get_le16(b_, kDuration); }

    void set_frame_control(uint16_t v) requires(!std::is_const_v<B>) {
        put_le16(b_, kFrameControl, v);
    }
    void set_duration(uint16_t v) requires(!std::is_const_v<B>) { put_le16(b_, kDuration, v); }

private:
    explicit FrameStartView(std::span<B> b) : b_(b) {}
    std::span<B> b_;
};

template <class B>
class MacHeaderView {
    static_assert(std::is_same_v<std::remove_const_t<B>, uint8_t>);

public:
    static constexpr size_t kFrameControl = 0;
    static constexpr size_t kDuration = 2;
    static constexpr size_t kAddr1 = 4;
    static constexpr size_t kAddr2 = 10;
    static constexpr size_t kAddr3 = 16;
    static constexpr size_t kSeqCtrl = 22;
    static constexpr size_t kAddr4 = 24;
    static constexpr size_t kLen = 24;  // three addresses
    static constexpr size_t kLen4 = 30; // ToDS and FromDS: four addresses

    // The one length check: the three-address header, and the fourth
    // address when the frame control asks for it.
    static std::optional<MacHeaderView> parse(std::span<B> bytes) {
        if (bytes.size() < kLen)
            return std::nullopt;
        MacHeaderView v(bytes);
        if (bytes.size() < v.header_len())
            return std::nullopt;
        return v;
    }

    std::span<B> bytes() const { return b_; }
    size_t header_len() const {
        return (frame_control() & (fc::ToDs | fc::FromDs)) == (fc::ToDs | fc::FromDs) ? kLen4
                                                                                      : kLen;
    }
    std::span<B> payload() const { return b_.subspan(header_len()); }

    uint16_t frame_control() const { return get_le16(b_, kFrameControl); }
    uint8_t version() const { return (uint8_t)(frame_control() & 0x3); }
    uint8_t type() const { return fc::type_of(frame_control()); }
    uint8_t subtype() const { return fc::subtype_of(frame_control()); }
    bool to_ds() const { return frame_control() & fc::ToDs; }
    bool from_ds() const { return frame_control() & fc::FromDs; }
    bool more_fragments() const { return frame_control() & fc::MoreFragments; }
    bool retry() const { return frame_control() & fc::Retry; }
    bool protected_frame() const { return frame_control() & fc::Protected; }
    uint16_t duration() const { return get_le16(b_, kDuration); }
    MacAddr addr1() const { return get_addr(b_, kAddr1); }
    MacAddr addr2() const { return get_addr(b_, kAddr2); }
    MacAddr addr3() const { return get_addr(b_, kAddr3); }
    // Only meaningful when header_len() is kLen4.
    MacAddr addr4() const { return header_len() == kLen4 ? get_addr(b_, kAddr4) : MacAddr{}; }
    uint16_t seq_ctrl() const { return get_le16(b_, kSeqCtrl); }
    uint16_t sequence() const { return (uint16_t)(seq_ctrl() >> 4); }
    uint8_t fragment() const { return (uint8_t)(seq_ctrl() & 0xF); }

    void set_frame_control(uint16_t v) requires(!std::is_const_v<B>) {
        put_le16(b_, kFrameControl, v);
    }
    void set_duration(uint16_t v) requires(!std::is_const_v<B>) { put_le16(b_, kDuration, v); }
    void set_addr1(const MacAddr &a) requires(!std::is_const_v<B>) { put_addr(b_, kAddr1, a); }
    void set_addr2(const MacAddr &a) requires(!std::is_const_v<B>) { put_addr(b_, kAddr2, a); }
    void set_addr3(const MacAddr &a) requires(!std::is_const_v<B>) { put_addr(b_, kAddr3, a); }
    void set_seq_ctrl(uint16_t v) requires(!std::is_const_v<B>) { put_le16(b_, kSeqCtrl, v); }

private:
    explicit MacHeaderView(std::span<B> b) : b_(b) {}
    std::span<B> b_;
};

// The header of a three-address frame as values.
struct MacHeader {
    uint8_t type = fc::TypeData;
    uint8_t subtype = 0;
    uint16_t flags = 0; // fc:: flag bits (ToDs ... Order)
    uint16_t duration = 0;
    MacAddr addr1{};
    MacAddr addr2{};
    MacAddr addr3{};
    uint16_t sequence = 0; // 12 bits
    uint8_t fragment = 0;  // 4 bits

    bool operator==(const MacHeader &) const = default;

    uint16_t frame_control() const {
        return (uint16_t)(((type & 0x3) << 2) | ((subtype & 0xF) << 4) | (flags & 0xFF00));
    }

    // Refuses what this value type cannot hold: another protocol version
    // or a four-address frame.
    static std::optional<MacHeader> parse(const MacHeaderView<const uint8_t> &v) {
        if (v.version() != 0 || v.header_len() != MacHeaderView<const uint8_t>::kLen)
            return std::nullopt;
        return MacHeader{v.type(),     v.subtype(),  (uint16_t)(v.frame_control() & 0xFF00),
                         v.duration(), v.addr1(),    v.addr2(),
                         v.addr3(),    v.sequence(), v.fragment()};
    }

    static constexpr size_t buffer_len() { return MacHeaderView<uint8_t>::kLen; }

    void emit(MacHeaderView<uint8_t> v) const {
        v.set_frame_control(frame_control());
        v.set_duration(duration);
        v.set_addr1(addr1);
        v.set_addr2(addr2);
        v.set_addr3(addr3);
        v.set_seq_ctrl((uint16_t)(((sequence & 0xFFF) << 4) | (fragment & 0xF)));
    }

    std::vector<uint8_t> to_bytes() const {
        std::vector<uint8_t> out(buffer_len());
        emit(*MacHeaderView<uint8_t>::parse(out));
        return out;
    }
};

} // namespace talsim::wire
