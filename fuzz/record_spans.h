// The adapter record as fuzz targets check it: the fields a path may
// change, as byte spans, and a comparison that every other byte is as it
// was.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "driver/taladapter.h"

namespace talfuzz {

struct Span {
    size_t from, to;
};

#define TAL_FIELD(f)                                                                \
    talfuzz::Span {                                                                 \
        offsetof(TAL_ADAPTER, f), offsetof(TAL_ADAPTER, f) + sizeof(TAL_ADAPTER::f) \
    }

// Every byte of the record outside `owned` is as it was.
template <size_t N>
bool only_owned_changed(const Span (&owned)[N], const uint8_t *now, const uint8_t *before) {
    std::vector<Span> spans(std::begin(owned), std::end(owned));
    std::sort(spans.begin(), spans.end(), [](Span x, Span y) { return x.from < y.from; });
    size_t at = 0;
    for (const Span &s : spans) {
        if (s.from > at && std::memcmp(now + at, before + at, s.from - at) != 0)
            return false;
        at = std::max(at, s.to);
    }
    return std::memcmp(now + at, before + at, sizeof(TAL_ADAPTER) - at) == 0;
}

inline uint16_t le16(const uint8_t *p) {
    return (uint16_t)(p[0] | p[1] << 8);
}

} // namespace talfuzz
