// libFuzzer's entry for one target; FUZZ_ENTRY names its function (fuzz.h).
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) { return FUZZ_ENTRY(data, size); }
