// Fuzz target: the RLE command loop and the Huffman 1-D decoder over bytes in
// memory (see RleKernel).
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tessaly::fuzz::RleKernel(data, size);
    return 0;
}
