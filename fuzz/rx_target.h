// One fuzz input through the receive path: a sequence of arbitrary receive
// frames, each put into a receive FID of the card model and handed to
// TalReceive and then TalTransferData, with host decryption and monitor
// mode switched by the input. Aborts when the receive path reads or writes
// outside its buffers (the sanitizer's part), indicates a frame longer
// than a protocol takes, or changes a field of the adapter record that it
// does not own. Shared by the libFuzzer target and the corpus replay.
//
// Input: byte 0 selects the adapter's WEP settings (bit 0: host
// decryption, bit 1: 104-bit keys); then records of
//   flags (bit 0: monitor mode, bit 1: transfer-data) | offset lo | offset hi |
//   wanted lo | wanted hi | packet lo | packet hi | length lo | length hi | frame bytes
// each a receive frame from offset 0 (control block, headers, DataLen, body).
#pragma once

#include <cstddef>
#include <cstdint>

int tal_fuzz_receive(const uint8_t *data, size_t size);
