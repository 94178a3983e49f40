// The command dispatcher: one codec operation per ImageProc command, results
// copied into the host's record where the command asks for it.
#pragma once

#include <cstdint>

#include "shell/bmp_codec.h"
#include "tessaly/plugin.h"

namespace tessaly {

// Runs `command` and returns what ImageProc returns to the host. Null records
// or pixel buffers, and paths without a terminator in their 260 bytes, get the
// command's failure result with nothing touched.
[[nodiscard]] std::int32_t Dispatch(BmpCodec& codec, std::int32_t command, const ImageRequest* request,
                                    ImageRecord* record);

// What ImageProc returns when `command` fails: 1 for commands 2, 3 and 4, else 0.
[[nodiscard]] std::int32_t FailureResultFor(std::int32_t command);

// Fills the descriptor's identity fields (BaseProc with selector 0).
void WriteDescriptor(PluginDescriptor& descriptor);

}  // namespace tessaly
