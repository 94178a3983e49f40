// The info command: what the core's reader makes of each file (Describe, the
// rules every load runs), one line per file, with -v the raw header fields,
// or with --json one JSON object per file.
#pragma once

#include <string>
#include <vector>

#include "host.h"

namespace tessaly_cli {

extern const char* const kInfoHelp;

// Describes each file named in `args`; kFailed when any would not load (or,
// with --strict, loads only with damage forgiven).
int InfoCommand(const Host& host, const std::vector<std::string>& args);

}  // namespace tessaly_cli
