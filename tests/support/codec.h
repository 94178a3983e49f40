// The codec's operations on bytes in memory, as the exports run them on a
// path: tests feed a file's bytes and read a saved file's bytes without
// touching the file system.
#pragma once

#include <cstdint>

#include "shell/bmp_codec.h"
#include "support/bmp_builder.h"

namespace tessaly::test {

// ImageCmdLoad's operation: `pixels` is the host's w x h buffer.
Outcome LoadBytes(BmpCodec& codec, const Bytes& file, void* pixels, std::int32_t w, std::int32_t h);
Outcome ProbeBytes(const Bytes& file, ImageInfo& info);
Outcome CheckGrayBytes(BmpCodec& codec, const Bytes& file);
// ImageCmdLoadGray's operation: with w and h positive, they are the buffer's size.
Outcome LoadGrayBytes(BmpCodec& codec, const Bytes& file, std::uint8_t* levels, std::int32_t w = 0, std::int32_t h = 0);
// A save's file, as its bytes (empty when refused).
Bytes SaveBytes(BmpCodec& codec, const SaveRequest& request, Outcome* outcome = nullptr);

}  // namespace tessaly::test
