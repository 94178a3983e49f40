// Fuzz target: plain decoding over bytes in memory (see PlainKernel).
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tessaly::fuzz::PlainKernel(data, size);
    return 0;
}
