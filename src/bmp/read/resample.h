// Cubic-convolution resampling of 32-bit pixels (Keys' kernel, a = -0.5).
//
// The model, per axis: output i sits at source coordinate
// c_i = (i + 0.5) * src / dst - 0.5 (centres aligned) and is the weighted
// mean of the source samples k with weights K((k - c_i) / stretch), where
// stretch = max(1, src / dst) widens the kernel when shrinking so that every
// source sample counts; samples beyond an edge repeat the edge sample. The four
// bytes of a pixel are resampled independently, rounded and clamped to 0..255.
//
// Each axis is computed one of two ways, chosen once per image:
// - pull: when a kernel spans at most kMaxPullTaps source samples, fixed-point
//   weights summing to exactly 2^bits are made per output and each output is
//   combined from its window of samples (vector kernels);
// - push: for wider kernels each arriving sample is added, with its weight
//   from the kernel, into the four outputs it reaches, and each output is
//   divided by its total weight once complete; a run of one colour is added
//   in one step per output, since the kernel's sum over a range has a closed
//   form. Nothing is sized by the reduction factor.
// The vertical pass sums exact integers, so the order in which rows arrive
// (top row first or bottom row first) cannot change a single bit of the result.
#pragma once

#include <array>
#include <cstdint>
#include <memory_resource>
#include <optional>
#include <span>
#include <vector>

#include "bmp/read/image_view.h"
#include "shell/cpu.h"

namespace tessaly {

// Keys' cubic convolution kernel with a = -0.5.
double Keys(double x);

// Sum of Keys((k - centre) / stretch) over the integers k in [lo, hi], in
// constant time whatever the length of the range (0 for an empty range).
double KernelSum(double centre, double stretch, std::int64_t lo, std::int64_t hi);

// Limit: a kernel spanning more source samples than this is computed by
// accumulation (push), so weight tables and row windows never grow with the
// reduction factor (about 16:1 and beyond).
inline constexpr std::size_t kMaxPullTaps = 64;

// Where the outputs of one axis sit over its source.
struct AxisMap {
    std::size_t src = 0;
    std::size_t dst = 0;
    double scale = 1;    // src / dst
    double stretch = 1;  // max(1, scale): the kernel's width factor
    double inverseStretch = 1;
    AxisMap() = default;
    AxisMap(std::size_t srcLength, std::size_t dstLength);
    [[nodiscard]] double Centre(std::int64_t i) const { return (static_cast<double>(i) + 0.5) * scale - 0.5; }
    // Source samples, edges not clamped, inside output i's kernel.
    [[nodiscard]] std::int64_t Lo(std::int64_t i) const;
    [[nodiscard]] std::int64_t Hi(std::int64_t i) const;
    // Samples the widest kernel reaches; more than kMaxPullTaps means push.
    [[nodiscard]] std::uint64_t Span() const;
    [[nodiscard]] bool Push() const { return Span() > kMaxPullTaps; }
};

// Fixed-point weights of one output of a pulled axis: `taps` weights for the
// samples first .. first + taps - 1, summing to exactly 2^bits.
struct OutputWeights {
    std::size_t first = 0;
    unsigned bits = 0;
    std::array<std::int16_t, kMaxPullTaps> w{};
};

// What a pass reads: 8-bit levels, or "mids", 16-bit levels x 64 (the
// precision kept between the two passes).
enum class SampleKind : std::uint8_t { Byte, Mid };

// Weights of output i over `taps` samples (the window every output of the
// axis uses), with as many bits as the weights and the input kind allow.
// At most maxBits bits.
OutputWeights MakeOutputWeights(const AxisMap& map, std::size_t i, std::size_t taps, SampleKind input,
                                unsigned maxBits = 30);

// Taps every output's window holds: the widest kernel's samples (1 for the
// identity), made a multiple of 4 where the source is long enough when
// `fourAtATime` (the horizontal vector kernels take taps four at a time).
std::size_t PullTaps(const AxisMap& map, bool fourAtATime = true);

// A pulled horizontal axis: every output's weights in one table, with one bit count.
struct PullTable {
    explicit PullTable(std::pmr::memory_resource* memory = std::pmr::get_default_resource())
        : first(memory), weights(memory), chunks(memory) {}
    std::size_t taps = 0;
    unsigned bits = 0;
    std::pmr::vector<std::uint32_t> first;   // per output
    std::pmr::vector<std::int16_t> weights;  // dst x taps
    // For the vector kernels (when taps is a multiple of 4): per output, taps / 2
    // chunks of four 32-bit words, each the pair (w[2j], w[2j+1]) four times,
    // chunk PairChunk(j) holding pair j.
    std::pmr::vector<std::int32_t> chunks;
};
// Where pair j of an output's weights sits among its chunks: in each group of
// eight taps the pairs go 0, 2, 1, 3, so that one 256-bit load gives the
// weights of pixels 0-1 and 4-5, the next those of 2-3 and 6-7.
std::size_t PairChunk(std::size_t pair, std::size_t taps);
PullTable BuildPullTable(const AxisMap& map, SampleKind input,
                         std::pmr::memory_resource* memory = std::pmr::get_default_resource());

// The pull kernels: plain twins with SSE2 and AVX2 variants (cpu.h), each
// computing its plain twin's integers exactly.

// One row of pixels to mids: xs.first.size() outputs of 4 values. The vector
// variants need a table of a multiple of 4 taps (xs.chunks not empty).
using HorizontalFn = void (*)(std::span<const std::uint32_t> src, const PullTable& xs, std::int16_t* out);
void HorizontalScalar(std::span<const std::uint32_t> src, const PullTable& xs, std::int16_t* out);
extern const KernelFamily<HorizontalFn> kHorizontalPass;
// One row of mids (4 per sample) to pixels (the second pass when rows are resampled first).
void HorizontalPassMid(const std::int16_t* src, const PullTable& xs, std::uint32_t* out);
// `lanes` output bytes from w.taps rows of mids.
using VerticalFn = void (*)(const std::int16_t* const* rows, const OutputWeights& w, std::size_t taps,
                            std::size_t lanes, std::uint8_t* out);
void VerticalScalar(const std::int16_t* const* rows, const OutputWeights& w, std::size_t taps, std::size_t lanes,
                    std::uint8_t* out);
extern const KernelFamily<VerticalFn> kVerticalPass;
// The same to mids (when rows are resampled first).
void VerticalPassMid(const std::int16_t* const* rows, const OutputWeights& w, std::size_t taps, std::size_t lanes,
                     std::int16_t* out);

// Scales a decoded image into `dst` while the decoder hands over its rows.
// Row target of the decoder (see pixel_sink.h): each source row arrives in
// pieces from left to right, or as runs of one colour, rows in the order given
// to the constructor. Output rows are written as soon as their source rows
// have arrived. Everything is allocated by the constructor.
class RowResampler {
public:
    // Both sizes at least 1 each way. `bottomUp`: rows arrive bottom row first.
    // The kernels are the variants of `simd` (the best the CPU runs by
    // default). Working memory comes from `memory` (a host's codec passes
    // memory it keeps between loads, so a load does not touch fresh pages).
    RowResampler(std::size_t srcWidth, std::size_t srcHeight, ImageView dst, bool bottomUp, Simd simd = BestSimd(),
                 std::pmr::memory_resource* memory = std::pmr::get_default_resource());
    RowResampler(const RowResampler&) = delete;
    RowResampler& operator=(const RowResampler&) = delete;

    // Bytes the constructor would allocate; nullopt when they cannot even be counted.
    static std::optional<std::uint64_t> WorkingBytes(std::size_t srcWidth, std::size_t srcHeight, std::size_t dstWidth,
                                                     std::size_t dstHeight);

    [[nodiscard]] std::size_t Width() const { return srcWidth_; }
    [[nodiscard]] std::size_t Height() const { return srcHeight_; }
    // Memory for pixels x .. of source row y: the rest of the row, or a
    // multiple of 8 pixels of it.
    [[nodiscard]] std::span<std::uint32_t> Piece(std::size_t y, std::size_t x);
    // The first n pixels of the last piece handed out are written.
    void Commit(std::size_t y, std::size_t x, std::size_t n);
    // Pixels x .. x + n - 1 of row y are all `px` (n at most the rest of the row).
    void Fill(std::size_t y, std::size_t x, std::size_t n, std::uint32_t px);
    // Rows top .. top + count - 1, the next to arrive, are all `px`.
    void FillRows(std::size_t top, std::size_t count, std::uint32_t px);

private:
    struct Plan;
    static Plan MakePlan(std::size_t srcWidth, std::size_t srcHeight, std::size_t dstWidth, std::size_t dstHeight);

    void RowDone(std::size_t y);
    // `count` rows of `px`, the first to arrive being row y.
    void ConstantRows(std::size_t y, std::size_t count, std::uint32_t px);
    // Rows to the vertical pass: `row` holds vLanes_ mids (null for a constant row of `pattern`).
    void VerticalAdd(std::size_t y, std::size_t count, const std::int16_t* row, const std::int16_t* pattern);
    void PullEmitReady(std::size_t arrived);
    void InitPhases();
    [[nodiscard]] OutputWeights VerticalWeights(std::size_t i);
    void PushFinishBefore(std::int64_t cell);
    void PushFinish(std::int64_t i);
    void PushAddCell(std::int64_t cell, std::int64_t lo, std::int64_t hi, const std::int16_t* row,
                     const std::int16_t* pattern);
    // Output row i of the vertical pass, as mids (rows first) or as the host's row.
    void Emit(std::size_t i, const std::int16_t* mids);
    [[nodiscard]] std::uint8_t* HostRowBytes(std::size_t i) const;

    ImageView dst_;
    std::size_t srcWidth_, srcHeight_;
    bool bottomUp_;
    bool rowsFirst_;  // the vertical pass runs first, at the source width
    HorizontalFn horizontal_ = HorizontalScalar;
    VerticalFn vertical_;
    AxisMap xMap_, yMap_;
    bool xPush_, yPush_;
    std::size_t vLanes_;  // 4 x the width at which the vertical pass runs

    // The source row being received (pull), or its latest piece (push).
    std::pmr::vector<std::uint32_t> row_;

    // Horizontal axis: a table (pull), or accumulators with each output's total weight (push).
    PullTable xs_;
    std::pmr::vector<double> xAcc_;
    std::pmr::vector<double> xNorm_;
    std::pmr::vector<std::int16_t> mids_;  // one row through the horizontal pass, or a row made mids
    std::pmr::vector<std::int16_t> vOut_;  // an output row of the vertical pass, as mids (rows first)

    // Vertical axis, pull: the last taps rows in a ring, outputs in arrival order.
    std::size_t vTaps_ = 0;
    std::pmr::vector<std::int16_t> ring_;
    std::pmr::vector<const std::int16_t*> window_;
    std::optional<OutputWeights> nextWeights_;  // the next output row's, made once
    std::size_t nextWeightsFor_ = 0;
    // Limit: interior output rows repeat their weights with the period of the
    // ratio, dst / gcd(src, dst); up to this many phases they are made once each.
    static constexpr std::size_t kMaxPhases = 256;
    std::size_t yPeriod_ = 0;  // 0: every row's weights are made anew
    std::array<std::size_t, 2> yInterior_{};
    std::pmr::vector<OutputWeights> phaseWeights_;
    std::pmr::vector<std::uint8_t> phaseMade_;
    std::size_t arrived_ = 0;  // rows received so far
    std::size_t emitted_ = 0;  // output rows written so far
    // Vertical axis, push: four outputs in flight, exact integer sums.
    static constexpr std::size_t kSlots = 4;
    unsigned yBits_ = 0;
    std::pmr::vector<std::int64_t> slotAcc_;  // kSlots x vLanes_
    std::array<std::array<std::int64_t, 4>, kSlots> slotConst_{};
    std::array<std::int64_t, kSlots> slotWeight_{};
    std::array<std::int64_t, kSlots> slotOutput_{};  // the output each slot sums, or -1
};

// Resamples a whole image (same sizes copy it exactly).
void ResampleCubic(ConstImageView src, ImageView dst);

}  // namespace tessaly
