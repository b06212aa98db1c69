// Radiotap header as a view, for the fields the air capture writes: flags,
// rate and channel (TSFT is stepped over when present). The header is
// version, pad, length (LE16) and a chain of present words (LE32, bit 31 =
// another word follows); fields follow in bit order, each aligned to its
// natural size from the start of the header.
//
// parse() is the one check: version 0, the stated length inside the span
// and at least the 8-byte header, every present word and every field this
// view reads inside the stated length. payload() is what follows the
// header (the 802.11 frame in a capture).
#pragma once

#include "wire/bytes.h"

#include <optional>
#include <type_traits>
#include <vector>

namespace talsim::wire {

namespace radiotap {
inline constexpr uint32_t PresentTsft = 1u << 0;
inline constexpr uint32_t PresentFlags = 1u << 1;
inline constexpr uint32_t PresentRate = 1u << 2;
inline constexpr uint32_t PresentChannel = 1u << 3;
inline constexpr uint32_t PresentExt = 1u << 31;

inline constexpr uint8_t FlagShortPreamble = 0x02;
inline constexpr uint8_t FlagWep = 0x04;
inline constexpr uint8_t FlagFcs = 0x10;

inline constexpr uint16_t ChanCck = 0x0020;
inline constexpr uint16_t Chan2Ghz = 0x0080;

// Centre frequency in MHz of a 2.4 GHz channel (1-14); 0 for another number.
inline constexpr uint16_t channel_mhz(unsigned channel) {
    if (channel == 14)
        return 2484;
    if (channel >= 1 && channel <= 13)
        return (uint16_t)(2407 + 5 * channel);
    return 0;
}
} // namespace radiotap

// Where the fields sit in one radiotap header; 0 = absent.
struct RadiotapLayout {
    uint16_t length = 0;
    uint32_t present = 0; // first present word
    size_t flags = 0;
    size_t rate = 0;
    size_t channel = 0;
};

// The walk behind parse(): nullopt when the header is malformed or a field
// this view reads lies outside the stated length.
std::optional<RadiotapLayout> radiotap_layout(std::span<const uint8_t> bytes);

template <class B>
class RadiotapView {
    static_assert(std::is_same_v<std::remove_const_t<B>, uint8_t>);

public:
    static constexpr size_t kVersion = 0;
    static constexpr size_t kLength = 2;
    static constexpr size_t kPresent = 4;
    static constexpr size_t kMinLen = 8;

    static std::optional<RadiotapView> parse(std::span<B> bytes) {
        auto layout = radiotap_layout(std::span<const uint8_t>(bytes.data(), bytes.size()));
        if (!layout)
            return std::nullopt;
        return RadiotapView(bytes, *layout);
    }

    std::span<B> header() const { return b_.first(l_.length); }
    std::span<B> payload() const { return b_.subspan(l_.length); }
    uint16_t length() const { return l_.length; }
    uint32_t present() const { return l_.present; }

    std::optional<uint8_t> flags() const {
        return l_.flags ? std::optional<uint8_t>(b_[l_.flags]) : std::nullopt;
    }
    std::optional<uint8_t> rate() const {
        return l_.rate ? std::optional<uint8_t>(b_[l_.rate]) : std::nullopt;
    }
    std::optional<uint16_t> channel_mhz() const {
        return l_.channel ? std::optional<uint16_t>(get_le16(b_, l_.channel)) : std::nullopt;
    }
    std::optional<uint16_t> channel_flags() const {
        return l_.channel ? std::optional<uint16_t>(get_le16(b_, l_.channel + 2)) : std::nullopt;
    }

    // Setters change fields that are present; they return false otherwise.
    bool set_flags(uint8_t v) requires(!std::is_const_v<B>) {
        return l_.flags && (b_[l_.flags] = v, true);
    }
    bool set_rate(uint8_t v) requires(!std::is_const_v<B>) {
        return l_.rate && (b_[l_.rate] = v, true);
    }
    bool set_channel(uint16_t mhz, uint16_t flags) requires(!std::is_const_v<B>) {
        if (!l_.channel)
            return false;
        put_le16(b_, l_.channel, mhz);
        put_le16(b_, l_.channel + 2, flags);
        return true;
    }

private:
    RadiotapView(std::span<B> b, const RadiotapLayout &l) : b_(b), l_(l) {}
    std::span<B> b_;
    RadiotapLayout l_;
};

// The fields as values; an absent field is nullopt. emit() writes one
// present word and the fields in bit order with their alignment.
struct Radiotap {
    std::optional<uint8_t> flags;
    std::optional<uint8_t> rate; // 500 kb/s units
    std::optional<uint16_t> channel_mhz;
    std::optional<uint16_t> channel_flags; // with channel_mhz

    bool operator==(const Radiotap &) const = default;

    static Radiotap parse(const RadiotapView<const uint8_t> &v) {
        return Radiotap{v.flags(), v.rate(), v.channel_mhz(), v.channel_flags()};
    }

    uint32_t present() const {
        return (flags ? radiotap::PresentFlags : 0) | (rate ? radiotap::PresentRate : 0) |
               (channel_mhz ? radiotap::PresentChannel : 0);
    }
    size_t buffer_len() const;
    // `out` holds at least buffer_len() bytes.
    void emit(std::span<uint8_t> out) const;
    std::vector<uint8_t> to_bytes() const;
};

} // namespace talsim::wire
