#include "support/bmp_builder.h"

#include <fstream>
#include <iterator>
#include <random>

namespace tessaly::test {

TempDir::TempDir() {
    std::random_device rd;
    dir_ = std::filesystem::temp_directory_path() / ("tessaly-test-" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(dir_);
}

TempDir::~TempDir() {
    std::error_code ec;
    // Restore write permission first so read-only fixtures can be removed.
    for (const auto& entry : std::filesystem::directory_iterator(dir_, ec))
        std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(dir_, ec);
}

std::string TempDir::Write(const std::string& name, const Bytes& bytes) const {
    const std::string path = Path(name);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

std::size_t TempDir::FileCount() const {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir_), {}));
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string BmpSuiteDir() {
#ifdef TESSALY_SHARED_DIR
    const std::filesystem::path dir = std::filesystem::path(TESSALY_SHARED_DIR) / "corpus" / "bmpsuite";
    if (std::filesystem::exists(dir / "MANIFEST.tsv")) return dir.string();
#endif
    return {};
}

}  // namespace tessaly::test
