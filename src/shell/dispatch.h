// The command dispatcher: the only code that sees the host's types. It checks
// the host's pointers and path, turns the request into typed values (a path,
// an image view, a save request, a gray target), runs one codec operation and
// copies results into the host's record where the command asks for it.
#pragma once

#include <cstdint>

#include "shell/bmp_codec.h"
#include "shell/outcome.h"
#include "tessaly/plugin.h"

namespace tessaly {

// Runs `command` and returns what ImageProc returns to the host. Null records
// or pixel buffers, and paths without a terminator in their 260 bytes, get the
// command's failure result with nothing touched.
[[nodiscard]] std::int32_t Dispatch(BmpCodec& codec, std::int32_t command, const ImageRequest* request,
                                    ImageRecord* record);

// What ImageProc returns for `command` when its operation ended with
// `outcome`: 0 on success; on failure 1 for commands 2, 3 and 4, and 0 for
// every other command (which report nothing, or through the record).
[[nodiscard]] std::int32_t HostResult(std::int32_t command, const Outcome& outcome);

// Fills the descriptor's identity fields (BaseProc with selector 0).
void WriteDescriptor(PluginDescriptor& descriptor);

}  // namespace tessaly
