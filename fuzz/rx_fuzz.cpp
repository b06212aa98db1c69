// libFuzzer entry: receive frames through the receive path.
#include "rx_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return tal_fuzz_receive(data, size);
}
