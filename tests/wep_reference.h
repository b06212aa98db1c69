// A plain, byte-at-a-time model of the host WEP engine, for tests and the
// benchmark: RC4 with a whole keystream block rebuilt per seed, the bitwise
// CRC-32 table and the one-table CRC update. It shares no code with wep/.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace talref {

inline constexpr std::size_t kBlockSize = 2348;

struct Rc4 {
    std::array<std::uint8_t, 256> s{};
    unsigned i = 0;
    unsigned j = 0;

    void schedule(std::span<const std::uint8_t> key) {
        for (unsigned n = 0; n < 256; n++)
            s[n] = static_cast<std::uint8_t>(n);
        i = j = 0;
        unsigned jj = 0;
        std::size_t m = 0;
        for (unsigned n = 0; n < 256; n++) {
            jj = (jj + s[n] + key[m]) % 256;
            std::swap(s[n], s[jj]);
            if (++m == key.size())
                m = 0;
        }
    }

    std::uint8_t next() {
        i = (i + 1) % 256;
        j = (j + s[i]) % 256;
        std::swap(s[i], s[j]);
        return s[(s[i] + s[j]) % 256];
    }
};

// Keystream bytes 0 .. out.size()-1 of a seed.
inline void keystream(std::span<const std::uint8_t> seed, std::span<std::uint8_t> out) {
    Rc4 r;
    r.schedule(seed);
    for (auto &b : out)
        b = r.next();
}

inline std::array<std::uint32_t, 256> crc_table() {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; n++) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[n] = c;
    }
    return t;
}

inline std::uint32_t crc_update(std::uint32_t reg, std::span<const std::uint8_t> p) {
    static const auto t = crc_table();
    for (auto b : p)
        reg = t[(reg ^ b) & 0xFF] ^ (reg >> 8);
    return reg;
}

inline std::uint32_t crc32(std::span<const std::uint8_t> p) {
    return ~crc_update(0xFFFFFFFFu, p);
}

// The receive side as first written: one full block per new seed.
struct PlainReceiver {
    std::array<std::uint8_t, 16> rx_key{};
    std::array<std::uint8_t, kBlockSize> box{};

    // seed: klen bytes (IV then secret); rebuilds the block when it changed.
    void setkey(std::span<const std::uint8_t> seed) {
        bool same = true;
        for (std::size_t n = 0; n < seed.size(); n++)
            same = same && seed[n] == rx_key[n];
        if (!same)
            keystream(seed, box);
        for (std::size_t n = 0; n < seed.size(); n++)
            rx_key[n] = seed[n];
    }

    // Decrypts body + ICV of a data field and checks the ICV.
    bool open(std::span<std::uint8_t> field) {
        for (std::size_t n = 4; n < field.size(); n++)
            field[n] ^= box[n - 4];
        auto body = field.subspan(4, field.size() - 8);
        std::uint32_t icv = crc32(body);
        const std::uint8_t *q = field.data() + field.size() - 4;
        return icv == (q[0] | q[1] << 8 | q[2] << 16 | static_cast<std::uint32_t>(q[3]) << 24);
    }
};

} // namespace talref
