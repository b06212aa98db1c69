// Ethernet II header as a view: destination, source, EtherType, 14 bytes.
#pragma once

#include "wire/bytes.h"

#include <optional>
#include <type_traits>
#include <vector>

namespace talsim::wire {

template <class B>
class EthernetView {
    static_assert(std::is_same_v<std::remove_const_t<B>, uint8_t>);

public:
    static constexpr size_t kDst = 0;
    static constexpr size_t kSrc = 6;
    static constexpr size_t kEtherType = 12;
    static constexpr size_t kLen = 14;

    static std::optional<EthernetView> parse(std::span<B> bytes) {
        if (bytes.size() < kLen)
            return std::nullopt;
        return EthernetView(bytes);
    }

    std::span<B> payload() const { return b_.subspan(kLen); }
    MacAddr dst() const { return get_addr(b_, kDst); }
    MacAddr src() const { return get_addr(b_, kSrc); }
    uint16_t ethertype() const { return get_be16(b_, kEtherType); }

    void set_dst(const MacAddr &a) requires(!std::is_const_v<B>) { put_addr(b_, kDst, a); }
    void set_src(const MacAddr &a) requires(!std::is_const_v<B>) { put_addr(b_, kSrc, a); }
    void set_ethertype(uint16_t v) requires(!std::is_const_v<B>) { put_be16(b_, kEtherType, v); }

private:
    explicit EthernetView(std::span<B> b) : b_(b) {}
    std::span<B> b_;
};

struct EthernetHeader {
    MacAddr dst{};
    MacAddr src{};
    uint16_t ethertype = 0;

    bool operator==(const EthernetHeader &) const = default;

    static EthernetHeader parse(const EthernetView<const uint8_t> &v) {
        return EthernetHeader{v.dst(), v.src(), v.ethertype()};
    }

    static constexpr size_t buffer_len() { return EthernetView<uint8_t>::kLen; }

    void emit(EthernetView<uint8_t> v) const {
        v.set_dst(dst);
        v.set_src(src);
        v.set_ethertype(ethertype);
    }

    std::vector<uint8_t> to_bytes() const {
        std::vector<uint8_t> out(buffer_len());
        emit(*EthernetView<uint8_t>::parse(out));
        return out;
    }
};

} // namespace talsim::wire
