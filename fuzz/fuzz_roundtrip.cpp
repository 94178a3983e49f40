// Fuzz target: whatever loads is saved in every form and loads back to the
// same pixels (8-bit saves: to the indexer's colours).
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tessaly::fuzz::RoundTrip({data, size});
    return 0;
}
