#include "wire/radiotap.h"

#include <algorithm>

namespace talsim::wire {

namespace {

size_t align_up(size_t off, size_t align) {
    return (off + align - 1) / align * align;
}

} // namespace

std::optional<RadiotapLayout> radiotap_layout(std::span<const uint8_t> b) {
    using View = RadiotapView<const uint8_t>;
    if (b.size() < View::kMinLen || b[View::kVersion] != 0)
        return std::nullopt;
    RadiotapLayout l;
    l.length = get_le16(b, View::kLength);
    if (l.length < View::kMinLen || l.length > b.size())
        return std::nullopt;
    std::span<const uint8_t> h = b.first(l.length);
    l.present = get_le32(h, View::kPresent);

    // Further present words: the fields start after the last one.
    size_t off = View::kPresent;
    for (uint32_t word = l.present; word & radiotap::PresentExt;) {
        off += 4;
        if (off + 4 > h.size())
            return std::nullopt;
        word = get_le32(h, off);
    }
    off += 4;

    // Fields in bit order, each at its natural alignment.
    struct Field {
        uint32_t bit;
        size_t align;
        size_t size;
        size_t *where;
    };
    size_t tsft = 0;
    const Field fields[] = {
        {radiotap::PresentTsft, 8, 8, &tsft},
        {radiotap::PresentFlags, 1, 1, &l.flags},
        {radiotap::PresentRate, 1, 1, &l.rate},
        {radiotap::PresentChannel, 2, 4, &l.channel},
    };
    for (const Field &f : fields) {
        if (!(l.present & f.bit))
            continue;
        off = align_up(off, f.align);
        if (off + f.size > h.size())
            return std::nullopt;
        *f.where = off;
        off += f.size;
    }
    return l;
}

size_t Radiotap::buffer_len() const {
    size_t len = RadiotapView<uint8_t>::kMinLen;
    len += flags ? 1 : 0;
    len += rate ? 1 : 0;
    if (channel_mhz)
        len = align_up(len, 2) + 4;
    return len;
}

void Radiotap::emit(std::span<uint8_t> out) const {
    using View = RadiotapView<uint8_t>;
    size_t len = buffer_len();
    std::fill(out.begin(), out.begin() + (std::ptrdiff_t)len, 0);
    out[View::kVersion] = 0;
    put_le16(out, View::kLength, (uint16_t)len);
    put_le32(out, View::kPresent, present());
    auto v = *View::parse(out.first(len));
    if (flags)
        v.set_flags(*flags);
    if (rate)
        v.set_rate(*rate);
    if (channel_mhz)
        v.set_channel(*channel_mhz, channel_flags.value_or(0));
}

std::vector<uint8_t> Radiotap::to_bytes() const {
    std::vector<uint8_t> out(buffer_len());
    emit(out);
    return out;
}

} // namespace talsim::wire
