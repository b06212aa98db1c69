// One fuzz input through the registry reader and the driver's
// configuration pass: a .reg file's bytes, parsed; if they parse, the
// adapter record filled from them. Aborts when a record invariant breaks.
// Shared by the libFuzzer target and the regression test that replays the
// corpus in the normal build.
#pragma once

#include <cstddef>
#include <cstdint>

int tal_fuzz_registry_configuration(const uint8_t *data, size_t size);
