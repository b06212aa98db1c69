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
// and the RC4 generator keeps its indices in registers. Unaligned bytes are
// read and written through byte-shift helpers, which the compiler merges
// into single word accesses where the target allows them.

#include "wep/talwep.h"

#define WEP_SBOX_SIZE 256
#define WEP_BYTE_MASK 0xFFUL
#define WEP_WORD_BYTES ((ULONG)sizeof(ULONG_PTR))

// ---------------------------------------------------------------------------
// Byte order helpers (little-endian, any alignment)
// ---------------------------------------------------------------------------

static inline ULONG wep_load32(const UCHAR *p)
{
    return (ULONG)p[0] | ((ULONG)p[1] << 8) | ((ULONG)p[2] << 16) | ((ULONG)p[3] << 24);
}

static inline VOID wep_store32(PUCHAR p, ULONG v)
{
    p[0] = (UCHAR)v;
    p[1] = (UCHAR)(v >> 8);
    p[2] = (UCHAR)(v >> 16);
    p[3] = (UCHAR)(v >> 24);
}

// A machine word from bytes; on a 32-bit target the high half vanishes.
static inline ULONG_PTR wep_loadword(const UCHAR *p)
{
    ULONG_PTR w = wep_load32(p);
    if (WEP_WORD_BYTES == 8) {
        w |= ((ULONG_PTR)wep_load32(p + 4) << 16) << 16;
    }
    return w;
}

static inline VOID wep_storeword(PUCHAR p, ULONG_PTR w)
{
    wep_store32(p, (ULONG)w);
    if (WEP_WORD_BYTES == 8) {
        wep_store32(p + 4, (ULONG)((w >> 16) >> 16));
    }
}

// data[n] ^= stream[n] for n < len, a machine word at a time.
static VOID wep_xor(PUCHAR data, const UCHAR *stream, ULONG len)
{
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
static VOID wep_rc4_schedule(wepprng *st, const UCHAR *k, ULONG klen)
{
    PUCHAR s = st->s;
    ULONG n, m;
    ULONG j = 0;

    // Identity permutation, four entries per store.
    for (n = 0; n < WEP_SBOX_SIZE; n += 4) {
        wep_store32(s + n, 0x03020100UL + n * 0x01010101UL);
    }
    st->i = 0;
    st->j = 0;

#define WEP_KSA_STEP(pos, keybyte)                     \
    do {                                               \
        ULONG a_ = s[pos];                             \
        j = (j + a_ + (keybyte)) & WEP_BYTE_MASK;      \
        s[pos] = s[j];                                 \
        s[j] = (UCHAR)a_;                              \
    } while (0)

    if (klen == WEP_SEED_LEN_40 || klen == WEP_SEED_LEN_104) {
        // Both seed lengths divide 16: the key byte of each of 16 unrolled
        // steps is fixed, and no index needs a wrap.
        UCHAR kk[WEP_SEED_LEN_104];
        for (m = 0; m < WEP_SEED_LEN_104; m++) {
            kk[m] = k[m & (klen - 1)];
        }
#define WEP_KSA_STEP4(o)                               \
    do {                                               \
        WEP_KSA_STEP(n + (o), kk[o]);                  \
        WEP_KSA_STEP(n + (o) + 1, kk[(o) + 1]);        \
        WEP_KSA_STEP(n + (o) + 2, kk[(o) + 2]);        \
        WEP_KSA_STEP(n + (o) + 3, kk[(o) + 3]);        \
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

// The next len keystream bytes of st into out; i and j advance.
//
// One step: i = i + 1; j = j + s[i]; exchange s[i] and s[j]; emit
// s[s[i] + s[j]], all modulo 256. Indices stay in full-width registers; four
// steps make one 32-bit store of output.
static VOID wep_rc4_generate(wepprng *st, PUCHAR out, ULONG len)
{
    PUCHAR s = st->s;
    ULONG i = st->i & WEP_BYTE_MASK;
    ULONG j = st->j & WEP_BYTE_MASK;

#define WEP_PRGA_STEP(dst)                             \
    do {                                               \
        ULONG a_, b_;                                  \
        i = (i + 1) & WEP_BYTE_MASK;                   \
        a_ = s[i];                                     \
        j = (j + a_) & WEP_BYTE_MASK;                  \
        b_ = s[j];                                     \
        s[i] = (UCHAR)b_;                              \
        s[j] = (UCHAR)a_;                              \
        (dst) = s[(a_ + b_) & WEP_BYTE_MASK];          \
    } while (0)

    for (; len >= 4; len -= 4, out += 4) {
        ULONG k0, k1, k2, k3;
        WEP_PRGA_STEP(k0);
        WEP_PRGA_STEP(k1);
        WEP_PRGA_STEP(k2);
        WEP_PRGA_STEP(k3);
        wep_store32(out, k0 | (k1 << 8) | (k2 << 16) | (k3 << 24));
    }
    for (; len != 0; len--, out++) {
        WEP_PRGA_STEP(*out);
    }
#undef WEP_PRGA_STEP
    st->i = (USHORT)i;
    st->j = (USHORT)j;
}

VOID wep_initprng(TAL_ADAPTER *Adapter, const UCHAR *k, USHORT klen)
{
    wep_rc4_schedule(&Adapter->prng, k, klen);
}

VOID wep_block_init(TAL_ADAPTER *Adapter, PUCHAR buf)
{
    wep_rc4_generate(&Adapter->prng, buf, TAL_WEPBOX_SIZE);
}

// ---------------------------------------------------------------------------
// CRC-32
// ---------------------------------------------------------------------------

VOID crc32_mktable(TAL_ADAPTER *Adapter)
{
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

ULONG crc32_block(TAL_ADAPTER *Adapter, ULONG reg, const UCHAR *p, USHORT len)
{
    const ULONG *t0 = Adapter->crc32_table;
    const ULONG(*t)[256] = Adapter->crc32_slice;
    ULONG n = len;

#if TAL_CRC32_SLICES != 16
#error "crc32_block steps 16 bytes at a time"
#endif
    // t[k - 1] serves the byte followed by k more bytes of the step.
    for (; n >= 16; n -= 16, p += 16) {
        ULONG a = wep_load32(p) ^ reg;
        ULONG b = wep_load32(p + 4);
        ULONG c = wep_load32(p + 8);
        ULONG d = wep_load32(p + 12);
        reg = t[14][a & 0xFF] ^ t[13][(a >> 8) & 0xFF] ^
              t[12][(a >> 16) & 0xFF] ^ t[11][a >> 24] ^
              t[10][b & 0xFF] ^ t[9][(b >> 8) & 0xFF] ^
              t[8][(b >> 16) & 0xFF] ^ t[7][b >> 24] ^
              t[6][c & 0xFF] ^ t[5][(c >> 8) & 0xFF] ^
              t[4][(c >> 16) & 0xFF] ^ t[3][c >> 24] ^
              t[2][d & 0xFF] ^ t[1][(d >> 8) & 0xFF] ^
              t[0][(d >> 16) & 0xFF] ^ t0[d >> 24];
    }
    for (; n != 0; n--, p++) {
        reg = t0[(reg ^ *p) & WEP_BYTE_MASK] ^ (reg >> 8);
    }
    return reg;
}

ULONG crc32_blockfinish(ULONG reg)
{
    return ~reg;
}

// ---------------------------------------------------------------------------
// Keys and seeds
// ---------------------------------------------------------------------------

static USHORT wep_seed_len(const TAL_ADAPTER *Adapter)
{
    return Adapter->WepRequired == WEP_MODE_104 ? WEP_SEED_LEN_104 : WEP_SEED_LEN_40;
}

// The default key array for a key index; an unknown index means key 0.
static const UCHAR *wep_key_by_id(const TAL_ADAPTER *Adapter, ULONG id)
{
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

static VOID wep_copy(PUCHAR dst, const UCHAR *src, ULONG len)
{
    ULONG n;
    for (n = 0; n < len; n++) {
        dst[n] = src[n];
    }
}

// ---------------------------------------------------------------------------
// Transmit
// ---------------------------------------------------------------------------

VOID wep_encrypt(TAL_ADAPTER *Adapter, PUCHAR data, USHORT dlen)
{
    ULONG len = dlen > TAL_WEPBOX_SIZE ? TAL_WEPBOX_SIZE : dlen;
    wep_xor(data, Adapter->tx_wepBox, len);
}

// The default key the transmit seed is built from: the one rule behind both
// the seed and the key-id byte that announces it.
static ULONG wep_tx_keyindex(const TAL_ADAPTER *Adapter)
{
    if (Adapter->WepRequired == WEP_MODE_104 || Adapter->WepDefaultKeyId >= WEP_NUM_KEYS) {
        return 0;
    }
    return Adapter->WepDefaultKeyId;
}

UCHAR wep_tx_keyid(const TAL_ADAPTER *Adapter)
{
    return (UCHAR)(wep_tx_keyindex(Adapter) << WEP_KEY_ID_SHIFT);
}

VOID wep_tx_setkey(TAL_ADAPTER *Adapter)
{
    USHORT klen = wep_seed_len(Adapter);
    const UCHAR *secret = wep_key_by_id(Adapter, wep_tx_keyindex(Adapter));

    wep_copy(Adapter->key, Adapter->iv, WEP_IV_LEN);
    wep_copy(Adapter->key + WEP_IV_LEN, secret, klen - WEP_IV_LEN);
    wep_initprng(Adapter, Adapter->key, klen);
    wep_block_init(Adapter, Adapter->tx_wepBox);
}

VOID wep_tx_nextiv(TAL_ADAPTER *Adapter)
{
    USHORT old = Adapter->ivCount;
    ULONG counter;

    Adapter->ivCount = (USHORT)(old + 1);
    if (old < Adapter->ivCountMax) {
        return;
    }
    Adapter->ivCount = 0;

    counter = (ULONG)Adapter->iv[0] | ((ULONG)Adapter->iv[1] << 8) |
              ((ULONG)Adapter->iv[2] << 16);
    counter = (counter + 1) & WEP_IV_COUNTER_MASK;
    Adapter->iv[0] = (UCHAR)counter;
    Adapter->iv[1] = (UCHAR)(counter >> 8);
    Adapter->iv[2] = (UCHAR)(counter >> 16);
    Adapter->iv[3] = wep_tx_keyid(Adapter);

    wep_copy(Adapter->key, Adapter->iv, WEP_IV_LEN);
    wep_initprng(Adapter, Adapter->key, wep_seed_len(Adapter));
    wep_block_init(Adapter, Adapter->tx_wepBox);
}

VOID wep_tx_seal(TAL_ADAPTER *Adapter, PUCHAR body, USHORT L)
{
    ULONG icv = crc32_blockfinish(crc32_block(Adapter, CRC32_INIT, body, L));
    wep_store32(body + L, icv);
    wep_encrypt(Adapter, body, (USHORT)(L + WEP_ICV_LEN));
}

// ---------------------------------------------------------------------------
// Receive
// ---------------------------------------------------------------------------

VOID wep_rx_setkey(TAL_ADAPTER *Adapter, const UCHAR *h)
{
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

VOID wep_decrypt(TAL_ADAPTER *Adapter, PUCHAR data, USHORT dlen)
{
    ULONG len = dlen > TAL_WEPBOX_SIZE ? TAL_WEPBOX_SIZE : dlen;
    ULONG valid = Adapter->rx_wepBoxValid;

    if (len > valid) {
        wep_rc4_generate(&Adapter->rx_prng, Adapter->rx_wepBox + valid, len - valid);
        Adapter->rx_wepBoxValid = (USHORT)len;
    }
    wep_xor(data, Adapter->rx_wepBox, len);
}

BOOLEAN wep_rx_open(TAL_ADAPTER *Adapter, PUCHAR data, USHORT dlen)
{
    PUCHAR body = data + WEP_IV_HEADER_LEN;
    USHORT blen;
    ULONG icv;

    if (dlen < WEP_IV_HEADER_LEN + WEP_ICV_LEN ||
        dlen - WEP_IV_HEADER_LEN > TAL_WEPBOX_SIZE) {
        return FALSE;
    }
    blen = (USHORT)(dlen - WEP_IV_HEADER_LEN - WEP_ICV_LEN);

    wep_rx_setkey(Adapter, data);
    wep_decrypt(Adapter, body, (USHORT)(blen + WEP_ICV_LEN));
    icv = crc32_blockfinish(crc32_block(Adapter, CRC32_INIT, body, blen));
    return icv == wep_load32(body + blen) ? TRUE : FALSE;
}
