// One fuzz input through the information requests: an adapter the wrapper
// created through DriverEntry on the card model, in interrupt mode with an
// access point in range and the verifier on, takes a sequence of query and
// set requests (any code, any buffer length and bytes) from a binding,
// interleaved with sends, link changes, card resets and the passing of
// time, and is halted at the end. Aborts when the wrapper's verifier names
// a broken rule (a request answered twice, more bytes reported than the
// buffer holds, a byte written outside the answer or into a set's input,
// anything held after halt) or an adapter field leaves its limits. Shared
// by the libFuzzer target and the corpus replay.
//
// Input: byte 0 selects the WEP settings (bit 0: four 40-bit keys, bit 1:
// one 104-bit key, bit 2: the firmware encrypts); then records of
//   op | a | b | length lo | length hi | bytes (sets only)
// op % 6: 0 query, 1 set (the code from a, b: a < 0xC0 picks a known code
// by a, else the code is 0xFFFFFF00 | b), 2 a binding's send of `length`
// bytes, 3 a link status code a, 4 a card reset request, 5 a bit of time.
#pragma once

#include <cstddef>
#include <cstdint>

int tal_fuzz_requests(const uint8_t *data, size_t size);
