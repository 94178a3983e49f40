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
// weights, so every window lies inside the source. Where the source is long
// enough, taps is a multiple of 4 (the extra taps weigh 0) so the vector
// kernels work four pixels at a time.
struct AxisWeights {
    std::size_t taps = 0;
    std::vector<std::size_t> first;
    std::vector<std::int16_t> weights;
    // The same weights as 32-bit words holding a pair (w[2j], w[2j+1]) (the
    // last pair of an odd count padded with 0), each pair four times over, ready
    // for the vector kernels: PairCount() x 4 words per coordinate.
    std::vector<std::int32_t> pairs;
    [[nodiscard]] std::size_t PairCount() const { return (taps + 1) / 2; }
};
AxisWeights BuildAxisWeights(std::size_t srcLength, std::size_t dstLength);

// The two passes, as kernels over memory. Scalar is the reference; Sse2 and
// Avx2 compute the same integers with vector instructions, chosen at run time
// by what the CPU has.
enum class ResampleKernel : std::uint8_t { Scalar, Sse2, Avx2 };
ResampleKernel BestResampleKernel();

// One source row to xs.first.size() intermediate pixels (4 values each, 6 fractional bits).
void HorizontalPass(std::span<const std::uint32_t> src, const AxisWeights& xs, std::int16_t* out, ResampleKernel k);
// Output row `y` of `lanes` bytes from ys.taps intermediate rows.
void VerticalPass(const std::int16_t* const* rows, const AxisWeights& ys, std::size_t y, std::size_t lanes,
                  std::uint8_t* out, ResampleKernel k);

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
    ResampleKernel kernel_;
    AxisWeights xs_, ys_;
    std::vector<std::int16_t> ring_;  // ys_.taps intermediate rows of dst width * 4 values
    std::vector<const std::int16_t*> window_;
    std::size_t nextOut_ = 0;         // next output row, counted in arrival order
};

// Resamples a whole image (same sizes copy it exactly).
void ResampleCubic(ConstImageView src, ImageView dst);

}  // namespace tessaly
