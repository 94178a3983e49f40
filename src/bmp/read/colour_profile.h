// Embedded ICC profiles of V5 files. The loader does no colour management, so
// it shows a file's pixels as they are stored; that is right only for sRGB
// data. A profile whose RGB primaries are plainly not sRGB's (a profile that
// swaps channels back, say) would make those pixels wrong, so such a file is
// refused instead. Profiles without primaries are taken as they come.
#pragma once

#include <cstdint>
#include <span>

namespace tessaly {

inline constexpr std::uint32_t kProfileEmbedded = 0x4D424544;  // 'MBED'
// Limit: a profile larger than this is not read (real ones are a few KiB).
inline constexpr std::uint32_t kMaxProfileBytes = 1u << 20;

// False when the profile's rXYZ, gXYZ and bXYZ tags are all present and any
// of them is far from the sRGB primary (D50). Reads only inside `icc`.
bool ProfileLooksSrgb(std::span<const std::uint8_t> icc);

}  // namespace tessaly
