// Fuzz target: the header probe.
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tessaly::ImageInfo info;
    (void)tessaly::BmpCodec::ProbeFrom(tessaly::MemorySource({data, size}), info);
    return 0;
}
