// Loads the plug-in library by path at run time and resolves its three
// exports by name (and, on Windows, checks that ordinals 1, 2 and 3 reach the
// same functions), as a host application does. The host, the tests and the
// benchmarks all load the plug-in through this one class.
#pragma once

#include <string>

#include "tessaly/plugin.h"

namespace tessaly::kit {

class PluginLibrary {
public:
    PluginLibrary() = default;
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;
    ~PluginLibrary();  // unloads the library

    // False with the reason in `error` (which does not repeat the path) when the
    // library or one of its exports is missing; the three pointers are then null.
    // A missing DefaultPluginPath() is reported with every path it was looked for.
    [[nodiscard]] bool Load(const std::string& path, std::string& error);

    // The version the plug-in's build recorded in the library ("1.0.0.1"): its
    // version resource on Windows, its "Tessaly" ELF note elsewhere; "" when
    // it records none. Reads nothing the exports provide.
    [[nodiscard]] std::string Version() const;

    TessalyBaseProc baseProc = nullptr;
    TessalyParamProc paramProc = nullptr;
    TessalyImageProc imageProc = nullptr;

private:
    void* handle_ = nullptr;
};

// The plug-in a host loads when none is named (Tessaly.so, or Tessaly.dll on
// Windows): the first that exists of the one beside the running executable and
// the one in ../lib/tessaly/ from its folder (the installed layout); the first
// of them when neither exists.
std::string DefaultPluginPath();

}  // namespace tessaly::kit
