// Why a file cannot be loaded or saved, in the words a user reads: the rule
// of the core's reader that refuses it (Describe, the same rules the plug-in's
// load runs), or the system's reason when the file cannot be opened. The
// plug-in itself only says 0 or 1; these say why.
#pragma once

#include <string>

namespace tessaly_cli {

// Why `path` cannot be opened as a file to read, in the system's words
// ("No such file or directory", "Is a directory", "Permission denied").
std::string OpenFailure(const std::string& path);

// Why a save to `path` can fail, judged from the destination ("No such file
// or directory" for a missing folder, "Is a directory", "Permission denied",
// a read-only file); "" when nothing there explains it.
std::string SaveObstacle(const std::string& path);

}  // namespace tessaly_cli
