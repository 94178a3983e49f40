// The vector variants of the pull kernels (resample_x86.cpp), each computing
// exactly the integers of its scalar twin in resample.cpp. Declared only where
// they are built: x86 compilers that can dispatch at run time.
#pragma once

#include <cstdint>
#include <span>

#include "bmp/read/resample.h"
#include "shell/cpu.h"

#if defined(TESSALY_X86_DISPATCH) && (defined(__SSE2__) || defined(_M_X64))
#define TESSALY_RESAMPLE_X86 1

namespace tessaly {

void HorizontalSse2(std::span<const std::uint32_t> src, const PullTable& xs, std::int16_t* out);
void HorizontalAvx2(std::span<const std::uint32_t> src, const PullTable& xs, std::int16_t* out);
void VerticalSse2(const std::int16_t* const* rows, const OutputWeights& w, std::size_t taps, std::size_t lanes,
                  std::uint8_t* out);
void VerticalAvx2(const std::int16_t* const* rows, const OutputWeights& w, std::size_t taps, std::size_t lanes,
                  std::uint8_t* out);
// Lanes [begin, lanes) of an output row, one lane at a time (the vector kernels' tail).
void VerticalScalarLanes(const std::int16_t* const* rows, const OutputWeights& w, std::size_t taps, std::size_t begin,
                         std::size_t lanes, std::uint8_t* out);

}  // namespace tessaly

#endif
