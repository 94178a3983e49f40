// Every input a fuzzer ever found faulty, replayed through every operation the
// fuzz targets run (the same harness), so a fixed fault stays fixed.
#include <gtest/gtest.h>

#include <filesystem>

#include "../fuzz/harness.h"
#include "support/bmp_builder.h"

namespace tessaly::test {
namespace {

std::vector<std::string> Crashers() {
    std::vector<std::string> out;
    const auto dir = std::filesystem::path(TESSALY_SOURCE_DIR) / "tests" / "data" / "crashers";
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.is_regular_file() && entry.path().filename() != "README.md") out.push_back(entry.path().string());
    std::sort(out.begin(), out.end());
    return out;
}

TEST(FuzzReplay, SavedCrashInputsRunCleanly) {
    const auto files = Crashers();
    for (const std::string& path : files) {
        SCOPED_TRACE(path);
        const Bytes bytes = ReadFile(path);
        ImageInfo info;
        (void)BmpCodec::ProbeFrom(MemorySource(bytes), info);
        std::int32_t w = 0, h = 0;
        (void)fuzz::LoadOwnSize(bytes, w, h);
        fuzz::LoadScaled(bytes, 13, 7);
        fuzz::GrayOperations(bytes);
        fuzz::RoundTrip(bytes);
        fuzz::RleKernel(bytes.data(), bytes.size());    // the kernels' views of the same bytes
        fuzz::PlainKernel(bytes.data(), bytes.size());
    }
    std::printf("replayed %zu saved crash inputs\n", files.size());
}

}  // namespace
}  // namespace tessaly::test
