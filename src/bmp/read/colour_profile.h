// What a V4 or V5 file says its colours mean: an embedded ICC profile with a
// matrix and three tone curves (rXYZ, gXYZ, bXYZ, rTRC, gTRC, bTRC: `curv`
// tables or gammas, `para` curves of any of the five types), or calibrated RGB
// in the header (endpoints and gammas). Anything else shows the stored levels
// as they are: no colour space, sRGB or the Windows default, a linked profile
// (never opened: a file name inside an image is a path to anywhere), and a
// profile this reader cannot use (LUT-based, not RGB, broken or missing tags).
#pragma once

#include <cstdint>
#include <optional>

#include "bmp/read/byte_reader.h"
#include "bmp/read/colour_transform.h"
#include "bmp/read/header.h"

namespace tessaly {

inline constexpr std::uint32_t kProfileEmbedded = 0x4D424544;  // 'MBED'
inline constexpr std::uint32_t kProfileLinked = 0x4C494E4B;    // 'LINK'
inline constexpr std::uint32_t kCalibratedRgb = 0;             // LCS_CALIBRATED_RGB

// The source space the file's pixels are converted from, or nullopt when they
// are shown as stored, which includes every space found to be sRGB (its
// primaries, and curves that change no level or are a gamma of 2.2), so sRGB
// costs nothing. With other primaries every curve is used as read. Reads
// the profile's header, tag table and the six tags through `in`, seeking
// wherever they are inside the profile and the file; allocates nothing.
std::optional<SourceSpace> ReadSourceSpace(ByteReader& in, const BmpHeaders& headers);

}  // namespace tessaly
