// Fuzz target: a load at the file's own size and a scaled load whose target
// size comes from the input's first byte.
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tessaly::fuzz;
    const Input file(data, size);
    std::int32_t w = 0, h = 0;
    (void)LoadOwnSize(file, w, h);
    const std::uint8_t pick = size > 0 ? data[0] : 0;
    LoadScaled(file, 1 + (pick & 0x3F), 1 + (pick >> 2));
    return 0;
}
