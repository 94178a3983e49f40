// What the reference host's commands share: exit statuses, the one-line
// failure and usage reports, and the command-line parser.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace tessaly::kit {
class PluginLibrary;
}

namespace tessaly_cli {

// What a command runs with: the plug-in, the largest picture it allocates, and
// whether a damaged file is refused (--strict) rather than loaded with a warning.
struct Host {
    tessaly::kit::PluginLibrary& plugin;
    std::uint64_t maxPixels;
    bool strict = false;
};

// Exit statuses: everything asked succeeded, something failed, a usage error.
constexpr int kOk = 0, kFailed = 1, kUsage = 2;

// Where failures, warnings and usage errors go: standard error, or standard
// output in a batch, so that each command's messages stay beside its output.
extern std::FILE* messages;

// Prints "tessaly: SUBJECT: REASON" on standard error and returns kFailed.
int Fail(const std::string& subject, const std::string& reason);
// Prints "tessaly: MESSAGE" and the command's help on standard error and returns kUsage.
int Usage(const std::string& message, const char* help);

// A command line split into options that take a value (-o X, --size X or
// --size=X), flags and the remaining words in order. "--" ends the options;
// "-" is a word. `error` is set for an unknown option, a missing value or a
// flag given one (--rle=1).
struct Parsed {
    std::map<std::string, std::string> values;
    std::vector<std::string> flags;
    std::vector<std::string> words;
    std::string error;

    [[nodiscard]] bool Has(const std::string& flag) const;
};
Parsed ParseArgs(const std::vector<std::string>& args, const std::vector<std::string>& valued,
                 const std::vector<std::string>& flags);

}  // namespace tessaly_cli
