// The host WEP engine: RC4 keystream blocks, the CRC-32 integrity value,
// the transmit IV schedule and the receive keystream cache.
//
// The transmit path calls wep_tx_nextiv at the start of each frame, copies
// Adapter->iv in front of the plaintext body and calls wep_tx_seal on the
// body. The receive path calls wep_rx_open on the data field (IV header,
// body, ICV) and drops the frame when it returns FALSE.
#pragma once

#include "driver/taladapter.h"

// -- Framing --
#define WEP_IV_HEADER_LEN 4 // 3 IV bytes and the key-id byte, sent in clear
#define WEP_ICV_LEN 4       // CRC-32 of the body, least significant byte first
#define WEP_IV_LEN 3        // IV bytes at the start of the header and the seed
#define WEP_KEY_ID_SHIFT 6  // key-id byte = key index << 6, low 6 bits 0
#define WEP_IV_COUNTER_MASK 0x00FFFFFFUL

// -- Keys and seeds --
#define WEP_MODE_104 7 // WepRequired value that selects one 104-bit key
#define WEP_SECRET_LEN_40 5
#define WEP_SECRET_LEN_104 13
#define WEP_SEED_LEN_40 (WEP_IV_LEN + WEP_SECRET_LEN_40)   // 8
#define WEP_SEED_LEN_104 (WEP_IV_LEN + WEP_SECRET_LEN_104) // 16
#define WEP_NUM_KEYS 4

// -- CRC-32 (reflected, IEEE 802.3) --
#define CRC32_POLY 0xEDB88320UL
#define CRC32_INIT 0xFFFFFFFFUL

// RC4 key schedule of seed k (klen bytes, 8 or 16) into Adapter->prng;
// leaves prng.i = prng.j = 0.
VOID wep_initprng(TAL_ADAPTER *Adapter, const UCHAR *k, USHORT klen);

// The next TAL_WEPBOX_SIZE keystream bytes of Adapter->prng into buf.
VOID wep_block_init(TAL_ADAPTER *Adapter, PUCHAR buf);

// data[n] ^= tx_wepBox[n] for n < dlen (dlen at most TAL_WEPBOX_SIZE).
VOID wep_encrypt(TAL_ADAPTER *Adapter, PUCHAR data, USHORT dlen);

// data[n] ^= rx_wepBox[n] for n < dlen (dlen at most TAL_WEPBOX_SIZE); the
// receive keystream is generated as far as dlen first if it is not yet.
VOID wep_decrypt(TAL_ADAPTER *Adapter, PUCHAR data, USHORT dlen);

// Builds crc32_table and the derived tables of the word-wide CRC.
VOID crc32_mktable(TAL_ADAPTER *Adapter);

// CRC-32 register update over len bytes of p; start with CRC32_INIT.
ULONG crc32_block(TAL_ADAPTER *Adapter, ULONG reg, const UCHAR *p, USHORT len);

// Final complement of the CRC register.
ULONG crc32_blockfinish(ULONG reg);

// The key-id byte of the transmit IV header (iv[3]): the index of the key
// the transmit seed is built from, which is WepDefaultKeyId for ids 0 to 3
// with 40-bit keys and key 0 otherwise (104-bit WEP has key 0 only; an
// unknown id falls back to key 0). Whatever writes iv[3] takes it from
// here, so a receiver choosing its key by the byte reads our frames.
UCHAR wep_tx_keyid(const TAL_ADAPTER *Adapter);

// Transmit seed from iv and the default key, then a fresh tx_wepBox.
VOID wep_tx_setkey(TAL_ADAPTER *Adapter);

// Counts one transmitted frame; every ivCountMax + 1 frames advances the
// 24-bit IV counter, rewrites the key-id byte and rebuilds tx_wepBox.
VOID wep_tx_nextiv(TAL_ADAPTER *Adapter);

// Stores the ICV of body[0..L-1] at body[L..L+3] and encrypts L + 4 bytes.
VOID wep_tx_seal(TAL_ADAPTER *Adapter, PUCHAR body, USHORT L);

// Selects the receive seed from a received 4-byte IV header; the receive
// keystream starts anew only when the seed differs from rx_key.
VOID wep_rx_setkey(TAL_ADAPTER *Adapter, const UCHAR *h);

// Opens a received data field in place: dlen bytes of IV header, body and
// ICV. Decrypts body and ICV and returns TRUE when the decrypted ICV equals
// the CRC-32 of the decrypted body. Returns FALSE, touching nothing, when
// dlen is below WEP_IV_HEADER_LEN + WEP_ICV_LEN or the sealed part exceeds
// TAL_WEPBOX_SIZE.
BOOLEAN wep_rx_open(TAL_ADAPTER *Adapter, PUCHAR data, USHORT dlen);
