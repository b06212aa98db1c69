// LLC/SNAP header as a view: DSAP, SSAP, control, OUI and the protocol
// (EtherType) field, 8 bytes. An RFC 1042 header carries OUI 00-00-00, the
// 802.1H bridge tunnel OUI 00-00-F8; any other OUI is a vendor's.
#pragma once

#include "wire/bytes.h"

#include <optional>
#include <type_traits>
#include <vector>

namespace talsim::wire {

enum class SnapKind : uint8_t { Rfc1042, BridgeTunnel, Vendor };

inline constexpr std::array<uint8_t, 3> kOuiRfc1042{0x00, 0x00, 0x00};
inline constexpr std::array<uint8_t, 3> kOuiBridgeTunnel{0x00, 0x00, 0xF8};
inline constexpr uint8_t kSnapSap = 0xAA;
inline constexpr uint8_t kLlcUi = 0x03;

inline SnapKind snap_kind_of(const std::array<uint8_t, 3> &oui) {
    if (oui == kOuiRfc1042)
        return SnapKind::Rfc1042;
    if (oui == kOuiBridgeTunnel)
        return SnapKind::BridgeTunnel;
    return SnapKind::Vendor;
}

template <class B>
class SnapView {
    static_assert(std::is_same_v<std::remove_const_t<B>, uint8_t>);

public:
    static constexpr size_t kDsap = 0;
    static constexpr size_t kSsap = 1;
    static constexpr size_t kControl = 2;
    static constexpr size_t kOui = 3;
    static constexpr size_t kProtocol = 6;
    static constexpr size_t kLen = 8;

    static std::optional<SnapView> parse(std::span<B> bytes) {
        if (bytes.size() < kLen)
            return std::nullopt;
        return SnapView(bytes);
    }

    std::span<B> payload() const { return b_.subspan(kLen); }
    uint8_t dsap() const { return b_[kDsap]; }
    uint8_t ssap() const { return b_[kSsap]; }
    uint8_t control() const { return b_[kControl]; }
    std::array<uint8_t, 3> oui() const { return {b_[kOui], b_[kOui + 1], b_[kOui + 2]}; }
    uint16_t protocol() const { return get_be16(b_, kProtocol); }

    void set_dsap(uint8_t v) requires(!std::is_const_v<B>) { b_[kDsap] = v; }
    void set_ssap(uint8_t v) requires(!std::is_const_v<B>) { b_[kSsap] = v; }
    void set_control(uint8_t v) requires(!std::is_const_v<B>) { b_[kControl] = v; }
    void set_oui(const std::array<uint8_t, 3> &o) requires(!std::is_const_v<B>) {
        for (size_t i = 0; i < 3; ++i)
            b_[kOui + i] = o[i];
    }
    void set_protocol(uint16_t v) requires(!std::is_const_v<B>) { put_be16(b_, kProtocol, v); }

private:
    explicit SnapView(std::span<B> b) : b_(b) {}
    std::span<B> b_;
};

struct Snap {
    std::array<uint8_t, 3> oui = kOuiRfc1042;
    uint16_t protocol = 0;

    bool operator==(const Snap &) const = default;

    SnapKind kind() const { return snap_kind_of(oui); }

    // Refuses an LLC header that is not SNAP (AA AA 03).
    static std::optional<Snap> parse(const SnapView<const uint8_t> &v) {
        if (v.dsap() != kSnapSap || v.ssap() != kSnapSap || v.control() != kLlcUi)
            return std::nullopt;
        return Snap{v.oui(), v.protocol()};
    }

    static constexpr size_t buffer_len() { return SnapView<uint8_t>::kLen; }

    void emit(SnapView<uint8_t> v) const {
        v.set_dsap(kSnapSap);
        v.set_ssap(kSnapSap);
        v.set_control(kLlcUi);
        v.set_oui(oui);
        v.set_protocol(protocol);
    }

    std::vector<uint8_t> to_bytes() const {
        std::vector<uint8_t> out(buffer_len());
        emit(*SnapView<uint8_t>::parse(out));
        return out;
    }
};

// The encapsulation a body announces by its first six bytes, LLC and OUI,
// as a receiver classifies it before it reads the protocol field: nullopt
// when the body is shorter or does not start with AA AA 03.
inline std::optional<SnapKind> snap_kind(std::span<const uint8_t> body) {
    using V = SnapView<const uint8_t>;
    if (body.size() < V::kProtocol || body[V::kDsap] != kSnapSap || body[V::kSsap] != kSnapSap ||
        body[V::kControl] != kLlcUi)
        return std::nullopt;
    return snap_kind_of({body[V::kOui], body[V::kOui + 1], body[V::kOui + 2]});
}

} // namespace talsim::wire
