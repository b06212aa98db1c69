// The firmware's own WEP: RC4 and the CRC-32 integrity check value, written
// from the card's side (the driver's host engine is separate code).
//
// A sealed body is  IV0 IV1 IV2 KeyIdByte | RC4(IV || key)(body || ICV)
// where the ICV is the CRC-32 of the plain body, least significant byte
// first, and KeyIdByte carries the key id in its top two bits.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace talsim {

class CardRc4 {
public:
    explicit CardRc4(std::span<const uint8_t> key);
    uint8_t next();
    void apply(std::span<uint8_t> data);

private:
    std::array<uint8_t, 256> s_{};
    uint8_t i_ = 0;
    uint8_t j_ = 0;
};

// CRC-32 as 802.11 uses it (reflected, polynomial 0xEDB88320, inverted).
uint32_t card_crc32(std::span<const uint8_t> data);

// The IV header followed by the encrypted body and ICV. `iv` is the 24-bit
// IV, sent least significant byte first; `key` the 5 or 13 secret bytes.
std::vector<uint8_t> card_wep_seal(uint32_t iv, uint8_t key_id, std::span<const uint8_t> key,
                                   std::span<const uint8_t> body);

// The key id a sealed body names (top two bits of its fourth byte).
inline uint8_t card_wep_key_id(std::span<const uint8_t> sealed) {
    return sealed.size() >= 4 ? (uint8_t)(sealed[3] >> 6) : 0;
}

// Opens a sealed body (IV header, encrypted body, encrypted ICV) with the
// secret `key`: the plain body, or nullopt when it is too short for the
// IV header and ICV or its ICV does not match.
std::optional<std::vector<uint8_t>> card_wep_open(std::span<const uint8_t> key,
                                                  std::span<const uint8_t> sealed);

} // namespace talsim
