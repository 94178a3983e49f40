// Cubic-convolution resampling of 32-bit pixels (Keys' kernel, a = -0.5).
//
// Pixel centres are aligned (source x = (x + 0.5) * sw / dw - 0.5), edges are
// clamped, and the four bytes of a pixel are resampled independently, each
// result rounded and clamped to 0..255. When shrinking, the kernel is widened
// by the scale factor so every source pixel contributes; when enlarging it
// has 4 taps. Separable and fixed-point, with weight tables built once per
// image.
//
// RowResampler takes the source one row at a time, in the order a decoder
// produces them (top row first, or bottom row first), and writes each output
// row as soon as the rows it depends on have arrived, so a scaled load never
// holds the source image: only as many intermediate rows as the kernel spans.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "bmp/read/image_view.h"

namespace tessaly {

// Per output coordinate: the first source index and `taps` weights in 14-bit
// fixed point summing to exactly 1 << 14; edge clamping is folded into the
// weights, so every window lies inside the source.
struct AxisWeights {
    std::size_t taps = 0;
    std::vector<std::size_t> first;
    std::vector<std::int16_t> weights;
};
AxisWeights BuildAxisWeights(std::size_t srcLength, std::size_t dstLength);

class RowResampler {
public:
    // Both sizes at least 1 pixel each way. `bottomUp`: rows arrive bottom row first.
    RowResampler(std::size_t srcWidth, std::size_t srcHeight, ImageView dst, bool bottomUp);

    // Takes source row y (0 = the image's top row); rows arrive one by one in
    // the constructor's order. Every output row is written once all have arrived.
    void PushRow(std::size_t y, std::span<const std::uint32_t> row);

private:
    void EmitReady(std::size_t arrived);

    ImageView dst_;
    bool bottomUp_;
    std::size_t srcHeight_;
    AxisWeights xs_, ys_;
    std::vector<std::int16_t> ring_;  // ys_.taps intermediate rows of dst width * 4 values
    std::vector<std::int32_t> acc_;
    std::size_t nextOut_ = 0;         // next output row, counted in arrival order
};

// Resamples a whole image (same sizes copy it exactly).
void ResampleCubic(ConstImageView src, ImageView dst);

}  // namespace tessaly
