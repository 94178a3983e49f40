// The library's version as an ELF note (name "Tessaly", type 1, the text
// "1.0.0.1"): the Linux build's counterpart of version.rc, so a host can read
// the version of the library it loaded without any export. Keep the two equal.
#include <cstdint>

namespace tessaly {
namespace {

struct VersionNote {
    std::uint32_t nameSize, descriptionSize, type;
    char name[8];
    char description[8];
};

[[gnu::used, gnu::section(".note.tessaly.version")]] alignas(4) const VersionNote kVersionNote = {
    8, 8, 1, "Tessaly", "1.0.0.1"};

}  // namespace
}  // namespace tessaly
