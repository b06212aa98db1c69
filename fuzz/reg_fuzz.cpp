// libFuzzer entry: .reg files through the reader and the configuration pass.
#include "reg_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return tal_fuzz_registry_configuration(data, size);
}
