// Loads the plug-in library by path at run time and resolves its three
// exports by name, as a host application does.
#pragma once

#include <string>

#include "tessaly/plugin.h"

namespace tessaly_cli {

class PluginLibrary {
public:
    PluginLibrary() = default;
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;
    ~PluginLibrary();

    // False with a reason in `error` when the library or one of its exports is missing.
    bool Load(const std::string& path, std::string& error);

    TessalyBaseProc baseProc = nullptr;
    TessalyParamProc paramProc = nullptr;
    TessalyImageProc imageProc = nullptr;

private:
    void* handle_ = nullptr;
};

// The plug-in beside the running executable (Tessaly.so, or Tessaly.dll on Windows).
std::string DefaultPluginPath();

}  // namespace tessaly_cli
