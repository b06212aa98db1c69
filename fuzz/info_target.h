// One fuzz input through the information frame reader: a sequence of
// arbitrary information frames (any length word, type and data), each put
// into an information FID of the card model and handed to getInfoFrame as
// the event loop does. Aborts when the reader writes outside the fields it
// owns (tallies, scan_buffer, the link state, the vendor request's
// transmit state) or a link state goes out of its range. Shared by the
// libFuzzer target and the corpus replay.
//
// Input: byte 0 bit 0 selects infrastructure mode (link status followed),
// bit 1 starts with the link up; then records of
//   length lo | length hi | frame bytes (length word, type word, data)
#pragma once

#include <cstddef>
#include <cstdint>

int tal_fuzz_information_frames(const uint8_t *data, size_t size);
