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

// The XYZ value stored at `at` (from the profile's start), when it is one.
std::optional<Xyz> ReadXyz(StreamReader& in, std::uint64_t profile, std::uint64_t size, std::uint64_t at) {
    if (at + 20 > size) return std::nullopt;
    in.Seek(profile + at);
    const auto tag = in.Take(20);
    if (!tag || LoadBe32(tag->data()) != Tag("XYZ ")) return std::nullopt;
    auto fixed = [&](std::size_t field) {
        return static_cast<double>(static_cast<std::int32_t>(LoadBe32(tag->data() + field))) / 65536.0;
    };
    return Xyz{fixed(8), fixed(12), fixed(16)};
}

}  // namespace

bool ProfileAllowsPlainPixels(StreamReader& in, const BmpHeaders& headers) {
    if (headers.colourSpace != kProfileEmbedded) return true;
    const std::uint64_t profile = headers.infoOffset + headers.profileOffset;
    const std::uint64_t size = headers.profileSize;
    if (size < 132 || profile + size > headers.fileLength) return true;
    in.Seek(profile + 128);
    const auto countField = in.Take(4);
    if (!countField) return true;
    const std::uint32_t count = LoadBe32(countField->data());
    if (count > (size - 132) / 12) return true;
    const std::uint32_t wanted[3] = {Tag("rXYZ"), Tag("gXYZ"), Tag("bXYZ")};
    std::uint64_t at[3] = {0, 0, 0};
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto entry = in.Take(12);
        if (!entry) return true;
        for (int c = 0; c < 3; ++c)
            if (LoadBe32(entry->data()) == wanted[c] && at[c] == 0) at[c] = LoadBe32(entry->data() + 4);
    }
    // sRGB's primaries adapted to D50, as ICC profiles store them.
    constexpr Xyz kSrgb[3] = {{0.4361, 0.2225, 0.0139}, {0.3851, 0.7169, 0.0971}, {0.1431, 0.0606, 0.7141}};
    for (int c = 0; c < 3; ++c) {
        const auto xyz = at[c] == 0 ? std::nullopt : ReadXyz(in, profile, size, at[c]);
        if (!xyz) return true;  // no matrix to judge by
        constexpr double kTolerance = 0.02;
        if (std::fabs(xyz->x - kSrgb[c].x) > kTolerance || std::fabs(xyz->y - kSrgb[c].y) > kTolerance ||
            std::fabs(xyz->z - kSrgb[c].z) > kTolerance)
            return false;
    }
    return true;
}

}  // namespace tessaly
