// ICC primaries check; see colour_profile.h.
#include "bmp/read/colour_profile.h"

#include <cmath>
#include <optional>

namespace tessaly {
namespace {

std::uint32_t LoadBe32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

constexpr std::uint32_t Tag(const char (&s)[5]) {
    return std::uint32_t(std::uint8_t(s[0])) << 24 | std::uint32_t(std::uint8_t(s[1])) << 16 |
           std::uint32_t(std::uint8_t(s[2])) << 8 | std::uint8_t(s[3]);
}

struct Xyz {
    double x, y, z;
};

// The XYZ value of tag `sig`, when the tag table holds a well-formed one.
std::optional<Xyz> ReadXyzTag(std::span<const std::uint8_t> icc, std::uint32_t sig) {
    if (icc.size() < 132) return std::nullopt;
    const std::uint32_t count = LoadBe32(&icc[128]);
    if (count > (icc.size() - 132) / 12) return std::nullopt;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* entry = &icc[132 + 12 * std::size_t{i}];
        if (LoadBe32(entry) != sig) continue;
        const std::uint64_t at = LoadBe32(entry + 4), size = LoadBe32(entry + 8);
        if (size < 20 || at + 20 > icc.size()) return std::nullopt;
        const auto offset = static_cast<std::size_t>(at);
        if (LoadBe32(&icc[offset]) != Tag("XYZ ")) return std::nullopt;
        auto fixed = [&](std::size_t field) {
            return static_cast<double>(static_cast<std::int32_t>(LoadBe32(&icc[offset + field]))) / 65536.0;
        };
        return Xyz{fixed(8), fixed(12), fixed(16)};
    }
    return std::nullopt;
}

}  // namespace

bool ProfileLooksSrgb(std::span<const std::uint8_t> icc) {
    // sRGB's primaries adapted to D50, as ICC profiles store them.
    constexpr Xyz kSrgb[3] = {{0.4361, 0.2225, 0.0139}, {0.3851, 0.7169, 0.0971}, {0.1431, 0.0606, 0.7141}};
    const std::uint32_t tags[3] = {Tag("rXYZ"), Tag("gXYZ"), Tag("bXYZ")};
    for (int c = 0; c < 3; ++c) {
        const auto xyz = ReadXyzTag(icc, tags[c]);
        if (!xyz) return true;  // no matrix to judge by
        constexpr double kTolerance = 0.02;
        if (std::fabs(xyz->x - kSrgb[c].x) > kTolerance || std::fabs(xyz->y - kSrgb[c].y) > kTolerance ||
            std::fabs(xyz->z - kSrgb[c].z) > kTolerance)
            return false;
    }
    return true;
}

}  // namespace tessaly
