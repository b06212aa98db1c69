// The host WEP engine: RC4, CRC-32, the transmit IV schedule and the receive
// keystream cache.
//
// Transmit keeps one keystream block per IV in tx_wepBox, built whole when
// the IV changes. Receive keeps its own RC4 generator (rx_prng) and extends
// rx_wepBox only as far as the frames seen under the current seed need it
// (rx_wepBoxValid bytes are valid), so a new IV per frame costs one key
// schedule and the frame's own keystream, not a whole block.
//
// Speed without changing a byte: the CRC runs TAL_CRC32_SLICES bytes per
// step over tables derived from crc32_table, the XOR runs in machine words,
// and the RC4 generator runs sixteen steps at a time where i does not wrap,
// so that s[i] is a fixed offset from one pointer. Opening a frame is one
// generator run for the keystream the cache lacks, then XOR and CRC in one
// pass over the body, 16 bytes a step. Unaligned words are read through
// byte-shift helpers, which the compiler merges into single loads, and
// written through an unaligned word type.

#include "wep/talwep.h"

#define WEP_SBOX_SIZE 256
#define WEP_BYTE_MASK 0xFFUL
#define WEP_WORD_BYTES ((ULONG)sizeof(ULONG_PTR))

// ---------------------------------------------------------------------------
// Byte order helpers (little-endian, any alignment)
// ---------------------------------------------------------------------------

// A 32-bit word that may sit at any address and alias any bytes. Byte
// stores of a word whose bytes the CRC also takes apart stay byte stores
// (sixteen of them per step), so stores go through this type: one
// unaligned store, which both targets (little-endian x86) have.
typedef ULONG __attribute__((may_alias, aligned(1))) WEP_ULONG_UNALIGNED;

static inline ULONG wep_load32(const UCHAR *p) {
    return (ULONG)p[0] | ((ULONG)p[1] << 8) | ((ULONG)p[2] << 16) | ((ULONG)p[3] << 24);
}

static inline VOID wep_store32(PUCHAR p, ULONG v) {
    *(WEP_ULONG_UNALIGNED *)p = v;
}

// A machine word from bytes; on a 32-bit target the high half vanishes.
static inline ULONG_PTR wep_loadword(const UCHAR *p) {
    ULONG_PTR w = wep_load32(p);
    if (WEP_WORD_BYTES == 8) {
        w |= ((ULONG_PTR)wep_load32(p + 4) << 16) << 16;
    }
    return w;
}

static inline VOID wep_storeword(PUCHAR p, ULONG_PTR w) {
    wep_store32(p, (ULONG)w);
    if (WEP_WORD_BYTES == 8) {
        wep_store32(p + 4, (ULONG)((w >> 16) >> 16));
    }
}

// data[n] ^= stream[n] for n < len, a machine word at a time.
static VOID wep_xor(PUCHAR data, const UCHAR *stream, ULONG len) {
    ULONG n = 0;
    for (; n + WEP_WORD_BYTES <= len; n += WEP_WORD_BYTES) {
        wep_storeword(data + n, wep_loadword(data + n) ^ wep_loadword(stream + n));
    }
    for (; n < len; n++) {
        data[n] ^= stream[n];
    }
}

// ---------------------------------------------------------------------------
// RC4
// ---------------------------------------------------------------------------

// Key schedule of seed k into st; i and j are left 0.
static VOID wep_rc4_schedule(wepprng *st, const UCHAR *k, ULONG klen) {
    PUCHAR s = st->s;
    ULONG n, m;
    UCHAR j = 0; // a byte: the wrap modulo 256 costs nothing

    // Identity permutation, four entries per store.
    for (n = 0; n < WEP_SBOX_SIZE; n += 4) {
        wep_store32(s + n, 0x03020100UL + n * 0x01010101UL);
    }
    st->i = 0;
    st->j = 0;

#define WEP_KSA_STEP(pos, keybyte)       \
    do {                                 \
        UCHAR a_ = s[pos];               \
        j = (UCHAR)(j + a_ + (keybyte)); \
        s[pos] = s[j];                   \
        s[j] = a_;                       \
    } while (0)

    if (klen == WEP_SEED_LEN_40 || klen == WEP_SEED_LEN_104) {
        // Both seed lengths divide 16: the key byte of each of 16 unrolled
        // steps is fixed, and no index needs a wrap.
        UCHAR kk[WEP_SEED_LEN_104];
        for (m = 0; m < WEP_SEED_LEN_104; m++) {
            kk[m] = k[m & (klen - 1)];
        }
#define WEP_KSA_STEP4(o)                        \
    do {                                        \
        WEP_KSA_STEP(n + (o), kk[o]);           \
        WEP_KSA_STEP(n + (o) + 1, kk[(o) + 1]); \
        WEP_KSA_STEP(n + (o) + 2, kk[(o) + 2]); \
        WEP_KSA_STEP(n + (o) + 3, kk[(o) + 3]); \
    } while (0)
        for (n = 0; n < WEP_SBOX_SIZE; n += WEP_SEED_LEN_104) {
            WEP_KSA_STEP4(0);
            WEP_KSA_STEP4(4);
            WEP_KSA_STEP4(8);
            WEP_KSA_STEP4(12);
        }
#undef WEP_KSA_STEP4
        return;
    }
    for (n = 0, m = 0; n < WEP_SBOX_SIZE; n++) {
        WEP_KSA_STEP(n, k[m]);
        if (++m >= klen) {
            m = 0;
        }
    }
#undef WEP_KSA_STEP
}

// One RC4 step: i = i + 1; j = j + s[i]; exchange s[i] and s[j]; emit
// s[s[i] + s[j]], all modulo 256 (i and j are bytes). WEP_PRGA_AT takes s[i]
// as p[o] for a caller that knows i = p - s + o without a wrap.
#define WEP_PRGA_AT(p, o, dst)       \
    do {                             \
        UCHAR a_ = (p)[o];           \
        UCHAR b_;                    \
        j = (UCHAR)(j + a_);         \
        b_ = s[j];                   \
        (p)[o] = b_;                 \
        s[j] = a_;                   \
        (dst) = s[(UCHAR)(a_ + b_)]; \
    } while (0)

#define WEP_PRGA_STEP(dst)      \
    do {                        \
        i = (UCHAR)(i + 1);     \
        WEP_PRGA_AT(s, i, dst); \
    } while (0)

// Four steps at p[o] to p[o + 3]: one keystream word, first byte lowest.
#define WEP_PRGA_WORD(p, o, w)                              \
    do {                                                    \
        ULONG k0_, k1_, k2_, k3_;                           \
        WEP_PRGA_AT(p, (o), k0_);                           \
        WEP_PRGA_AT(p, (o) + 1, k1_);                       \
        WEP_PRGA_AT(p, (o) + 2, k2_);                       \
        WEP_PRGA_AT(p, (o) + 3, k3_);                       \
        (w) = k0_ | (k1_ << 8) | (k2_ << 16) | (k3_ << 24); \
    } while (0)

// A group is 16 steps from an i + 1 that is a multiple of 16: i + 1 to
// i + 16 stay inside s without a wrap.
#define WEP_GROUP 16
#define WEP_GROUP_MASK (WEP_GROUP - 1)

// Steps before i + 1 reaches a multiple of 16.
static inline ULONG wep_rc4_to_group(const wepprng *st) {
    return (WEP_GROUP_MASK - st->i) & WEP_GROUP_MASK;
}

// The next len keystream bytes of st into out; i and j advance.
static VOID wep_rc4_generate(wepprng *st, PUCHAR out, ULONG len) {
    PUCHAR s = st->s;
    UCHAR i = (UCHAR)st->i;
    UCHAR j = (UCHAR)st->j;
    ULONG lead = wep_rc4_to_group(st);

    for (; lead != 0 && len != 0; lead--, len--, out++) {
        WEP_PRGA_STEP(*out);
    }
    for (; len >= WEP_GROUP; len -= WEP_GROUP, out += WEP_GROUP) {
        PUCHAR p = s + (UCHAR)(i + 1);
        ULONG w0, w1, w2, w3;
        WEP_PRGA_WORD(p, 0, w0);
        WEP_PRGA_WORD(p, 4, w1);
        WEP_PRGA_WORD(p, 8, w2);
        WEP_PRGA_WORD(p, 12, w3);
        wep_store32(out, w0);
        wep_store32(out + 4, w1);
        wep_store32(out + 8, w2);
        wep_store32(out + 12, w3);
        i = (UCHAR)(i + WEP_GROUP);
    }
    for (; len != 0; len--, out++) {
        WEP_PRGA_STEP(*out);
    }
    st->i = i;
    st->j = j;
}

VOID wep_initprng(TAL_ADAPTER *Adapter, const UCHAR *k, USHORT klen) {
    wep_rc4_schedule(&Adapter->prng, k, klen);
}

VOID wep_block_init(TAL_ADAPTER *Adapter, PUCHAR buf) {
    wep_rc4_generate(&Adapter->prng, buf, TAL_WEPBOX_SIZE);
}

// ---------------------------------------------------------------------------
// CRC-32
// ---------------------------------------------------------------------------

VOID crc32_mktable(TAL_ADAPTER *Adapter) {
    ULONG *t = Adapter->crc32_table;
    ULONG n, k;

    for (n = 0; n < 256; n++) {
        ULONG c = n;
        for (k = 0; k < 8; k++) {
            c = (c & 1) ? (c >> 1) ^ CRC32_POLY : c >> 1;
        }
        t[n] = c;
    }
    // Each derived table moves the previous one a byte further on.
    for (n = 0; n < 256; n++) {
        ULONG c = t[n];
        for (k = 0; k < TAL_CRC32_SLICES - 1; k++) {
            c = (c >> 8) ^ t[c & WEP_BYTE_MASK];
            Adapter->crc32_slice[k][n] = c;
        }
    }
}

#if TAL_CRC32_SLICES != 16
#error "the CRC steps 16 bytes at a time"
#endif

// The CRC register after 16 bytes given as four little-endian words.
// t[k - 1] serves the byte followed by k more bytes of the step.
static inline ULONG crc32_step16(const TAL_ADAPTER *Adapter, ULONG reg, ULONG a, ULONG b, ULONG c,
                                 ULONG d) {
    const ULONG *t0 = Adapter->crc32_table;
    const ULONG(*t)[256] = Adapter->crc32_slice;

    a ^= reg;
    return t[14][a & 0xFF] ^ t[13][(a >> 8) & 0xFF] ^ t[12][(a >> 16) & 0xFF] ^ t[11][a >> 24] ^
           t[10][b & 0xFF] ^ t[9][(b >> 8) & 0xFF] ^ t[8][(b >> 16) & 0xFF] ^ t[7][b >> 24] ^
           t[6][c & 0xFF] ^ t[5][(c >> 8) & 0xFF] ^ t[4][(c >> 16) & 0xFF] ^ t[3][c >> 24] ^
           t[2][d & 0xFF] ^ t[1][(d >> 8) & 0xFF] ^ t[0][(d >> 16) & 0xFF] ^ t0[d >> 24];
}

static inline ULONG crc32_step1(const TAL_ADAPTER *Adapter, ULONG reg, UCHAR b) {
    return Adapter->crc32_table[(reg ^ b) & WEP_BYTE_MASK] ^ (reg >> 8);
}

ULONG crc32_block(TAL_ADAPTER *Adapter, ULONG reg, const UCHAR *p, USHORT len) {
    ULONG n = len;

    for (; n >= 16; n -= 16, p += 16) {
        reg = crc32_step16(Adapter, reg, wep_load32(p), wep_load32(p + 4), wep_load32(p + 8),
                           wep_load32(p + 12));
    }
    for (; n != 0; n--, p++) {
        reg = crc32_step1(Adapter, reg, *p);
    }
    return reg;
}

ULONG crc32_blockfinish(ULONG reg) {
    return ~reg;
}

// ---------------------------------------------------------------------------
// Keys and seeds
// ---------------------------------------------------------------------------

static USHORT wep_seed_len(const TAL_ADAPTER *Adapter) {
    return Adapter->WepRequired == WEP_MODE_104 ? WEP_SEED_LEN_104 : WEP_SEED_LEN_40;
}

// The default key array for a key index; an unknown index means key 0.
static const UCHAR *wep_key_by_id(const TAL_ADAPTER *Adapter, ULONG id) {
    switch (id) {
    case 1:
        return Adapter->WepDefaultKey1;
    case 2:
        return Adapter->WepDefaultKey2;
    case 3:
        return Adapter->WepDefaultKey3;
    default:
        return Adapter->WepDefaultKey0;
    }
}

static VOID wep_copy(PUCHAR dst, const UCHAR *src, ULONG len) {
    ULONG n;
    for (n = 0; n < len; n++) {
        dst[n] = src[n];
    }
}

// ---------------------------------------------------------------------------
// Transmit
// ---------------------------------------------------------------------------

VOID wep_encrypt(TAL_ADAPTER *Adapter, PUCHAR data, USHORT dlen) {
    ULONG len = dlen > TAL_WEPBOX_SIZE ? TAL_WEPBOX_SIZE : dlen;
    wep_xor(data, Adapter->tx_wepBox, len);
}

// The default key the transmit seed is built from: the one rule behind both
// the seed and the key-id byte that announces it.
static ULONG wep_tx_keyindex(const TAL_ADAPTER *Adapter) {
    if (Adapter->WepRequired == WEP_MODE_104 || Adapter->WepDefaultKeyId >= WEP_NUM_KEYS) {
        return 0;
    }
    return Adapter->WepDefaultKeyId;
}

UCHAR wep_tx_keyid(const TAL_ADAPTER *Adapter) {
    return (UCHAR)(wep_tx_keyindex(Adapter) << WEP_KEY_ID_SHIFT);
}

VOID wep_tx_setkey(TAL_ADAPTER *Adapter) {
    USHORT klen = wep_seed_len(Adapter);
    const UCHAR *secret = wep_key_by_id(Adapter, wep_tx_keyindex(Adapter));

    wep_copy(Adapter->key, Adapter->iv, WEP_IV_LEN);
    wep_copy(Adapter->key + WEP_IV_LEN, secret, klen - WEP_IV_LEN);
    wep_initprng(Adapter, Adapter->key, klen);
    wep_block_init(Adapter, Adapter->tx_wepBox);
}

VOID wep_tx_nextiv(TAL_ADAPTER *Adapter) {
    USHORT old = Adapter->ivCount;
    ULONG counter;

    Adapter->ivCount = (USHORT)(old + 1);
    if (old < Adapter->ivCountMax) {
        return;
    }
    Adapter->ivCount = 0;

    counter = (ULONG)Adapter->iv[0] | ((ULONG)Adapter->iv[1] << 8) | ((ULONG)Adapter->iv[2] << 16);
    counter = (counter + 1) & WEP_IV_COUNTER_MASK;
    Adapter->iv[0] = (UCHAR)counter;
    Adapter->iv[1] = (UCHAR)(counter >> 8);
    Adapter->iv[2] = (UCHAR)(counter >> 16);
    Adapter->iv[3] = wep_tx_keyid(Adapter);

    wep_copy(Adapter->key, Adapter->iv, WEP_IV_LEN);
    wep_initprng(Adapter, Adapter->key, wep_seed_len(Adapter));
    wep_block_init(Adapter, Adapter->tx_wepBox);
}

VOID wep_tx_seal(TAL_ADAPTER *Adapter, PUCHAR body, USHORT L) {
    ULONG icv = crc32_blockfinish(crc32_block(Adapter, CRC32_INIT, body, L));
    wep_store32(body + L, icv);
    wep_encrypt(Adapter, body, (USHORT)(L + WEP_ICV_LEN));
}

// ---------------------------------------------------------------------------
// Receive
// ---------------------------------------------------------------------------

VOID wep_rx_setkey(TAL_ADAPTER *Adapter, const UCHAR *h) {
    UCHAR seed[WEP_SEED_LEN_104];
    USHORT klen = wep_seed_len(Adapter);
    ULONG n;
    BOOLEAN same = TRUE;

    wep_copy(seed, h, WEP_IV_LEN);
    wep_copy(seed + WEP_IV_LEN, wep_key_by_id(Adapter, h[3] >> WEP_KEY_ID_SHIFT),
             klen - WEP_IV_LEN);
    for (n = 0; n < klen; n++) {
        if (seed[n] != Adapter->rx_key[n]) {
            same = FALSE;
        }
    }
    // A scheduled permutation never holds two equal entries; a generator
    // still zero from registration must be scheduled even when the seed
    // equals the zero rx_key.
    if (!same || Adapter->rx_prng.s[0] == Adapter->rx_prng.s[1]) {
        wep_rc4_schedule(&Adapter->rx_prng, seed, klen);
        Adapter->rx_wepBoxValid = 0;
    }
    wep_copy(Adapter->rx_key, seed, klen);
}

// Makes rx_wepBox hold at least len (at most TAL_WEPBOX_SIZE) keystream
// bytes of the receive seed, going on from where the generator stopped.
static VOID wep_rx_extend(TAL_ADAPTER *Adapter, ULONG len) {
    ULONG valid = Adapter->rx_wepBoxValid;

    if (len > valid) {
        wep_rc4_generate(&Adapter->rx_prng, Adapter->rx_wepBox + valid, len - valid);
        Adapter->rx_wepBoxValid = (USHORT)len;
    }
}

VOID wep_decrypt(TAL_ADAPTER *Adapter, PUCHAR data, USHORT dlen) {
    ULONG len = dlen > TAL_WEPBOX_SIZE ? TAL_WEPBOX_SIZE : dlen;

    wep_rx_extend(Adapter, len);
    wep_xor(data, Adapter->rx_wepBox, len);
}

// data[n] ^= stream[n] for n < len, and the CRC register over the first
// crclen (at most len) bytes of the result, in one pass.
static ULONG wep_xor_crc(TAL_ADAPTER *Adapter, ULONG reg, PUCHAR data, const UCHAR *stream,
                         ULONG len, ULONG crclen) {
    ULONG n = 0;

    for (; n + 16 <= crclen; n += 16) {
        ULONG a = wep_load32(data + n) ^ wep_load32(stream + n);
        ULONG b = wep_load32(data + n + 4) ^ wep_load32(stream + n + 4);
        ULONG c = wep_load32(data + n + 8) ^ wep_load32(stream + n + 8);
        ULONG d = wep_load32(data + n + 12) ^ wep_load32(stream + n + 12);
        wep_store32(data + n, a);
        wep_store32(data + n + 4, b);
        wep_store32(data + n + 8, c);
        wep_store32(data + n + 12, d);
        reg = crc32_step16(Adapter, reg, a, b, c, d);
    }
    for (; n < crclen; n++) {
        data[n] ^= stream[n];
        reg = crc32_step1(Adapter, reg, data[n]);
    }
    wep_xor(data + n, stream + n, len - n);
    return reg;
}

// Under the lock of the receive path. The sealed part (body and ICV) is
// XORed with the first keystream bytes of the frame's seed: those the cache
// holds, and the rest made by one run of the generator, which leaves them
// cached for the next frame under the same seed. XOR and CRC then take one
// pass over the body.
BOOLEAN wep_rx_open(TAL_ADAPTER *Adapter, PUCHAR data, USHORT dlen) {
    PUCHAR body = data + WEP_IV_HEADER_LEN;
    ULONG blen;
    ULONG reg;

    if (dlen < WEP_IV_HEADER_LEN + WEP_ICV_LEN || dlen - WEP_IV_HEADER_LEN > TAL_WEPBOX_SIZE) {
        return FALSE;
    }
    blen = (ULONG)dlen - WEP_IV_HEADER_LEN - WEP_ICV_LEN;

    wep_rx_setkey(Adapter, data);
    wep_rx_extend(Adapter, blen + WEP_ICV_LEN);
    reg = wep_xor_crc(Adapter, CRC32_INIT, body, Adapter->rx_wepBox, blen + WEP_ICV_LEN, blen);
    return crc32_blockfinish(reg) == wep_load32(body + blen) ? TRUE : FALSE;
}
