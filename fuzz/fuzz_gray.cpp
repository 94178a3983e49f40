// Fuzz target: the gray test and the gray load.
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tessaly::fuzz::GrayOperations({data, size});
    return 0;
}
