// Embedded ICC profiles of V5 files. The loader does no colour management, so
// it shows a file's pixels as they are stored; that is right only for sRGB
// data. A profile whose RGB primaries are plainly not sRGB's (a profile that
// swaps channels back, say) would make those pixels wrong, so such a file is
// refused instead. Profiles without primaries are taken as they come.
#pragma once

#include <cstdint>

#include "bmp/read/byte_reader.h"
#include "bmp/read/header.h"

namespace tessaly {

inline constexpr std::uint32_t kProfileEmbedded = 0x4D424544;  // 'MBED'

// False when the file embeds a profile whose rXYZ, gXYZ and bXYZ tags are all
// present and any of them is far from the sRGB primary (D50). Reads the
// profile's tag table and those three tags through `in`, seeking wherever they
// are; allocates nothing. A profile whose offset, size or tags do not fit the
// file counts as absent.
bool ProfileAllowsPlainPixels(StreamReader& in, const BmpHeaders& headers);

}  // namespace tessaly
