// Test helpers: the shared BmpBuilder (cli/kit/bmp_builder.h) under the test
// namespace, so each test states exactly what it feeds the codec, and TempDir
// gives each test a private folder for the files it writes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "kit/bmp_builder.h"

namespace tessaly::test {

using kit::BmpBuilder;
using kit::Bytes;
using kit::Get32;
using kit::MatrixTrcProfile;
using kit::PadRows;
using kit::Put16;
using kit::Put32;

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    [[nodiscard]] std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    // Writes `bytes` to a file of that name and returns its path.
    std::string Write(const std::string& name, const Bytes& bytes) const;
    [[nodiscard]] std::size_t FileCount() const;

private:
    std::filesystem::path dir_;
};

Bytes ReadFile(const std::string& path);

// Where the shared BMP suite lives, or "" when it is not beside the project.
std::string BmpSuiteDir();

}  // namespace tessaly::test
