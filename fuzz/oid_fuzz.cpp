// libFuzzer entry: query and set requests with traffic and resets.
#include "oid_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return tal_fuzz_requests(data, size);
}
