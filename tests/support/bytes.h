// Byte strings as tests write them: joined, counted up, and the byte orders
// of the card (little-endian words) and of the wire (big-endian fields).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace taltest {

using Bytes = std::vector<uint8_t>;

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes operator+(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// n bytes from `from` up: from, from + 1, ...
inline Bytes counting(size_t n, uint8_t from = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = (uint8_t)(from + i);
    return b;
}

inline Bytes be16(size_t v) {
    return {(uint8_t)(v >> 8), (uint8_t)v};
}

// The low n bytes of v, least significant first.
inline Bytes le(uint64_t v, size_t n) {
    Bytes b;
    for (size_t i = 0; i < n; i++)
        b.push_back((uint8_t)(v >> (8 * i)));
    return b;
}
inline Bytes le32(uint32_t v) {
    return le(v, 4);
}

// 16-bit words as the card stores them, low byte first.
inline Bytes words_le(const std::vector<uint16_t> &w) {
    Bytes b;
    for (uint16_t x : w)
        b.insert(b.end(), {(uint8_t)x, (uint8_t)(x >> 8)});
    return b;
}

} // namespace taltest
