// Fuzz target: whatever loads is saved in every form and loads back to the
// same pixels (8-bit saves: to the indexer's colours).
#include <cstdlib>
#include <filesystem>

#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string dir = [] {
        const auto d = std::filesystem::temp_directory_path() / ("tessaly-fuzz-" + std::to_string(getpid()));
        std::filesystem::create_directories(d);
        return d.string();
    }();
    tessaly::fuzz::MemoryFile file(data, size);
    tessaly::fuzz::RoundTrip(file.Path(), dir);
    return 0;
}
