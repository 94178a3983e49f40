// Fuzz target: the header probe.
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tessaly::fuzz::MemoryFile file(data, size);
    tessaly::ImageInfo info;
    (void)tessaly::fuzz::FuzzCodec().ProbeBmpFile(file.Path(), info);
    return 0;
}
