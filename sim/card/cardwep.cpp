#include "card/cardwep.h"

#include <utility>

namespace talsim {

CardRc4::CardRc4(std::span<const uint8_t> key) {
    for (unsigned n = 0; n < 256; ++n)
        s_[n] = (uint8_t)n;
    uint8_t j = 0;
    for (unsigned n = 0; n < 256; ++n) {
        j = (uint8_t)(j + s_[n] + key[n % key.size()]);
        std::swap(s_[n], s_[j]);
    }
}

uint8_t CardRc4::next() {
    i_ = (uint8_t)(i_ + 1);
    j_ = (uint8_t)(j_ + s_[i_]);
    std::swap(s_[i_], s_[j_]);
    return s_[(uint8_t)(s_[i_] + s_[j_])];
}

void CardRc4::apply(std::span<uint8_t> data) {
    for (uint8_t &b : data)
        b ^= next();
}

uint32_t card_crc32(std::span<const uint8_t> data) {
    uint32_t crc = 0xFFFFFFFFu;
    for (uint8_t b : data) {
        crc ^= b;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::vector<uint8_t> card_wep_seal(uint32_t iv, uint8_t key_id, std::span<const uint8_t> key,
                                   std::span<const uint8_t> body) {
    std::vector<uint8_t> seed{(uint8_t)iv, (uint8_t)(iv >> 8), (uint8_t)(iv >> 16)};
    seed.insert(seed.end(), key.begin(), key.end());

    std::vector<uint8_t> out(seed.begin(), seed.begin() + 3);
    out.push_back((uint8_t)((key_id & 3) << 6));
    out.insert(out.end(), body.begin(), body.end());
    uint32_t icv = card_crc32(body);
    for (int k = 0; k < 4; ++k)
        out.push_back((uint8_t)(icv >> (8 * k)));
    CardRc4 rc4(seed);
    rc4.apply(std::span<uint8_t>(out).subspan(4));
    return out;
}

std::optional<std::vector<uint8_t>> card_wep_open(std::span<const uint8_t> key,
                                                  std::span<const uint8_t> sealed) {
    if (sealed.size() < 8)
        return std::nullopt;
    std::vector<uint8_t> seed(sealed.begin(), sealed.begin() + 3);
    seed.insert(seed.end(), key.begin(), key.end());
    std::vector<uint8_t> plain(sealed.begin() + 4, sealed.end());
    CardRc4 rc4(seed);
    rc4.apply(plain);
    size_t n = plain.size() - 4;
    uint32_t icv = card_crc32(std::span<const uint8_t>(plain).first(n));
    for (int k = 0; k < 4; ++k)
        if (plain[n + k] != (uint8_t)(icv >> (8 * k)))
            return std::nullopt;
    plain.resize(n);
    return plain;
}

} // namespace talsim
