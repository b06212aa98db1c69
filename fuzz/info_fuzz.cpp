// libFuzzer entry: information frames through the reader.
#include "info_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return tal_fuzz_information_frames(data, size);
}
