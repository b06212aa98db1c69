// Shared helpers of the WEP engine tests: an adapter record on the heap with
// the engine set up as registration does it.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "wep/talwep.h"

namespace weptest {

inline std::unique_ptr<TAL_ADAPTER> NewAdapter() {
    return std::make_unique<TAL_ADAPTER>(); // value-initialised: all zero
}

struct Keys {
    ULONG wepRequired = 3;
    ULONG defaultKeyId = 0;
    std::uint8_t key[4][14] = {};
};

// Installs keys and runs the registration steps of the engine.
inline void Register(TAL_ADAPTER *a, const Keys &k, USHORT ivCountMax = 1000) {
    a->WepRequired = k.wepRequired;
    a->WepDefaultKeyId = k.defaultKeyId;
    std::memcpy(a->WepDefaultKey0, k.key[0], 14);
    std::memcpy(a->WepDefaultKey1, k.key[1], 14);
    std::memcpy(a->WepDefaultKey2, k.key[2], 14);
    std::memcpy(a->WepDefaultKey3, k.key[3], 14);
    a->ivCountMax = ivCountMax;
    a->iv[0] = a->iv[1] = a->iv[2] = 0;
    a->iv[3] = wep_tx_keyid(a);
    a->ivCount = 0;
    crc32_mktable(a);
    wep_tx_setkey(a);
    std::memset(a->rx_key, 0, sizeof a->rx_key);
}

// Four distinct 40-bit keys (and a 104-bit key 0), fixed bytes.
inline Keys SampleKeys(ULONG wepRequired = 3, ULONG id = 0) {
    Keys k;
    k.wepRequired = wepRequired;
    k.defaultKeyId = id;
    for (int n = 0; n < 4; n++)
        for (int b = 0; b < 13; b++)
            k.key[n][b] = static_cast<std::uint8_t>(0x11 * (n + 1) + 3 * b);
    return k;
}

inline std::uint32_t Counter(const TAL_ADAPTER *a) {
    return a->iv[0] | a->iv[1] << 8 | a->iv[2] << 16;
}

// The seed a frame with header h is sealed with (IV then klen-3 key bytes).
inline std::vector<std::uint8_t> Seed(const Keys &k, const std::uint8_t *h, unsigned keyIndex) {
    unsigned secret = k.wepRequired == 7 ? 13 : 5;
    std::vector<std::uint8_t> s(h, h + 3);
    s.insert(s.end(), k.key[keyIndex], k.key[keyIndex] + secret);
    return s;
}

} // namespace weptest
