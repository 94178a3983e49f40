// Helpers shared by the gray test and the gray loader.
#pragma once

#include <cstdint>

#include "bmp/read/bmp_layout.h"

namespace tessaly {

// True when the first `entries` entries of `palette` are the gray ramp.
bool IsGrayRamp(const Palette& palette, std::uint32_t entries);

}  // namespace tessaly
