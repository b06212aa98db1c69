// Byte order helpers for the wire views: every multi-byte field is read and
// written through these, so a view states its byte order at each field.
// Callers have checked the length once, at the view; these do not check.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace talsim::wire {

using MacAddr = std::array<uint8_t, 6>;

inline constexpr MacAddr kBroadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

inline bool is_group(const MacAddr &a) {
    return (a[0] & 0x01) != 0;
}

inline uint16_t get_le16(std::span<const uint8_t> b, size_t off) {
    return (uint16_t)(b[off] | (b[off + 1] << 8));
}
inline uint16_t get_be16(std::span<const uint8_t> b, size_t off) {
    return (uint16_t)((b[off] << 8) | b[off + 1]);
}
inline uint32_t get_le32(std::span<const uint8_t> b, size_t off) {
    return (uint32_t)b[off] | ((uint32_t)b[off + 1] << 8) | ((uint32_t)b[off + 2] << 16) |
           ((uint32_t)b[off + 3] << 24);
}
inline void put_le16(std::span<uint8_t> b, size_t off, uint16_t v) {
    b[off] = (uint8_t)v;
    b[off + 1] = (uint8_t)(v >> 8);
}
inline void put_be16(std::span<uint8_t> b, size_t off, uint16_t v) {
    b[off] = (uint8_t)(v >> 8);
    b[off + 1] = (uint8_t)v;
}
inline void put_le32(std::span<uint8_t> b, size_t off, uint32_t v) {
    for (size_t i = 0; i < 4; ++i)
        b[off + i] = (uint8_t)(v >> (8 * i));
}
inline MacAddr get_addr(std::span<const uint8_t> b, size_t off) {
    MacAddr a;
    for (size_t i = 0; i < a.size(); ++i)
        a[i] = b[off + i];
    return a;
}
inline void put_addr(std::span<uint8_t> b, size_t off, const MacAddr &a) {
    for (size_t i = 0; i < a.size(); ++i)
        b[off + i] = a[i];
}

} // namespace talsim::wire
