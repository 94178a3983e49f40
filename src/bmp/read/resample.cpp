// Separable cubic resampling; see resample.h.
//
// Pulled axes use 16-bit weights and exact 32-bit integer sums: the widest
// weight of an output gets up to 15 bits, and the bit count is lowered until
// no sum can overflow, so every output is within a small fraction of a level
// of the same sum in real numbers. Between the passes each value is kept as a
// "mid": the level times 64 in 16 bits.
//
// Pushed axes place each source sample in the cell between two output centres
// (c_j <= x < c_j+1, t = (x - c_j) / stretch); the sample reaches outputs j - 1
// to j + 2 with the four Keys weights of phase t. Horizontally the sums are
// doubles (a row always arrives left to right); vertically they are 64-bit
// integers of weights with up to 24 bits, divided by their own total at the
// end, so the order in which rows arrive changes nothing.
#include "bmp/read/resample.h"

#include <algorithm>
#include <cmath>
#include <bit>
#include <cstring>
#include <numeric>

#include "bmp/read/resample_x86.h"
#include "shell/assert.h"

namespace tessaly {
namespace {

// Limit: mids stay within +-kMidLimit. Every pass produces at most about
// 1.3 x 255 x 64 = 21216 in magnitude (the kernel's negative lobes); the bound
// is what the overflow checks of the next pass assume.
constexpr std::int32_t kMidLimit = 24576;
constexpr int kMidBits = 6;
// The largest magnitude a pulled weight may have: int16, with one step of
// headroom for the cumulative rounding.
constexpr double kMaxWeight = 32766.0;
constexpr std::int64_t kMaxPullSum = std::int64_t{1} << 31;
// Pixels a pushed row takes per piece: a whole number of bytes at any depth.
constexpr std::size_t kPushPiecePixels = 4096;

std::int16_t ClampMid(std::int64_t v) {
    return static_cast<std::int16_t>(std::clamp<std::int64_t>(v, -kMidLimit, kMidLimit));
}

std::int64_t RoundedShift(std::int64_t acc, unsigned shift) { return (acc + (std::int64_t{1} << (shift - 1))) >> shift; }

// floor(v) for |v| < 2^62, without a library call (the baseline has no SSE4.1 rounding).
std::int64_t FloorToInt(double v) {
    const auto t = static_cast<std::int64_t>(v);
    return t - (v < static_cast<double>(t) ? 1 : 0);
}

// The four weights of a sample at phase t in [0, 1) of its cell, for outputs j - 1 .. j + 2.
std::array<double, 4> CellWeights(double t) {
    const double t2 = t * t, t3 = t2 * t;
    return {-0.5 * t + t2 - 0.5 * t3, 1.0 - 2.5 * t2 + 1.5 * t3, 0.5 * t + 2.0 * t2 - 1.5 * t3, -0.5 * t2 + 0.5 * t3};
}

// The cell of sample x: Centre(j) <= x < Centre(j + 1), j from -1 to dst - 1.
std::int64_t CellOf(const AxisMap& map, std::int64_t x) {
    auto j = static_cast<std::int64_t>(std::floor((static_cast<double>(x) + 0.5) / map.scale - 0.5));
    while (map.Centre(j + 1) <= static_cast<double>(x)) ++j;
    while (map.Centre(j) > static_cast<double>(x)) --j;
    return j;
}

// The first sample of cell j: the smallest integer at or after its centre.
std::int64_t CellStart(const AxisMap& map, std::int64_t j) {
    return static_cast<std::int64_t>(std::ceil(map.Centre(j)));
}

// Weight that samples beyond the edges add to the edge sample for output i.
double EdgeWeight(const AxisMap& map, std::int64_t i, bool first) {
    const double c = map.Centre(i);
    const auto src = static_cast<std::int64_t>(map.src);
    return first ? KernelSum(c, map.stretch, map.Lo(i), -1) : KernelSum(c, map.stretch, src, map.Hi(i));
}

std::array<std::int64_t, 4> Channels(std::uint32_t px) {
    return {px & 0xFF, (px >> 8) & 0xFF, (px >> 16) & 0xFF, px >> 24};
}

// ---- Pull kernels, scalar reference ----

}  // namespace

void HorizontalScalar(std::span<const std::uint32_t> src, const PullTable& xs, std::int16_t* out) {
    const std::size_t taps = xs.taps;
    const unsigned shift = xs.bits - kMidBits;
    for (std::size_t x = 0; x < xs.first.size(); ++x) {
        const std::uint32_t* p = src.data() + xs.first[x];
        const std::int16_t* w = &xs.weights[x * taps];
        std::int32_t acc[4] = {0, 0, 0, 0};
        for (std::size_t k = 0; k < taps; ++k)
            for (unsigned c = 0; c < 4; ++c) acc[c] += w[k] * static_cast<std::int32_t>((p[k] >> (8 * c)) & 0xFF);
        for (unsigned c = 0; c < 4; ++c)
            out[4 * x + c] = static_cast<std::int16_t>(std::clamp<std::int64_t>(RoundedShift(acc[c], shift), -32768, 32767));
    }
}

void VerticalScalarLanes(const std::int16_t* const* rows, const OutputWeights& w, std::size_t taps, std::size_t begin,
                         std::size_t lanes, std::uint8_t* out) {
    const unsigned shift = w.bits + kMidBits;
    for (std::size_t i = begin; i < lanes; ++i) {
        std::int32_t acc = 0;
        for (std::size_t k = 0; k < taps; ++k) acc += w.w[k] * rows[k][i];
        out[i] = static_cast<std::uint8_t>(std::clamp<std::int64_t>(RoundedShift(acc, shift), 0, 255));
    }
}

double Keys(double x) {
    constexpr double a = -0.5;
    x = std::fabs(x);
    if (x <= 1.0) return ((a + 2) * x - (a + 3)) * x * x + 1;
    if (x < 2.0) return ((a * x - 5 * a) * x + 8 * a) * x - 4 * a;
    return 0.0;
}

double KernelSum(double centre, double stretch, std::int64_t lo, std::int64_t hi) {
    // Keys' kernel as a cubic in v on each unit interval: a0 + a1 v + a2 v^2 + a3 v^3.
    static constexpr double kPieces[4][4] = {
        {2.0, 4.0, 2.5, 0.5}, {1.0, 0.0, -2.5, -1.5}, {1.0, 0.0, -2.5, 1.5}, {2.0, -4.0, 2.5, -0.5}};
    // The integers of each piece: v = (k - centre) / stretch in [-2,-1], (-1,0), [0,1], (1,2].
    const double s = stretch;
    const auto fl = [](double v) { return static_cast<std::int64_t>(std::floor(v)); };
    const auto ce = [](double v) { return static_cast<std::int64_t>(std::ceil(v)); };
    const std::int64_t bounds[5] = {ce(centre - 2 * s), fl(centre - s) + 1, ce(centre), fl(centre + s) + 1,
                                    fl(centre + 2 * s) + 1};
    double total = 0;
    for (int p = 0; p < 4; ++p) {
        const std::int64_t k0 = std::max(lo, bounds[p]);
        const std::int64_t k1 = std::min(hi, bounds[p + 1] - 1);
        if (k1 < k0) continue;
        // Around v0, the piece is b0 + b1 m + b2 m^2 + b3 m^3 in m = k - k0; sum m^e in closed form.
        const double* a = kPieces[p];
        const double h = 1.0 / s, v0 = (static_cast<double>(k0) - centre) * h;
        const double b0 = a[0] + v0 * (a[1] + v0 * (a[2] + v0 * a[3]));
        const double b1 = (a[1] + v0 * (2 * a[2] + 3 * a[3] * v0)) * h;
        const double b2 = (a[2] + 3 * a[3] * v0) * h * h;
        const double b3 = a[3] * h * h * h;
        const auto n = static_cast<double>(k1 - k0 + 1);
        const double s1 = n * (n - 1) / 2, s2 = n * (n - 1) * (2 * n - 1) / 6, s3 = s1 * s1;
        total += b0 * n + b1 * s1 + b2 * s2 + b3 * s3;
    }
    return total;
}

AxisMap::AxisMap(std::size_t srcLength, std::size_t dstLength)
    : src(srcLength), dst(dstLength), scale(static_cast<double>(srcLength) / static_cast<double>(dstLength)),
      stretch(std::max(1.0, scale)), inverseStretch(1.0 / stretch) {}

std::int64_t AxisMap::Lo(std::int64_t i) const {
    return static_cast<std::int64_t>(std::floor(Centre(i) - 2 * stretch)) + 1;
}

std::int64_t AxisMap::Hi(std::int64_t i) const {
    return static_cast<std::int64_t>(std::ceil(Centre(i) + 2 * stretch)) - 1;
}

std::uint64_t AxisMap::Span() const {
    // Integers strictly inside (c - 2s, c + 2s): never more than floor(4s) + 1, whatever c is.
    return static_cast<std::uint64_t>(std::floor(4 * stretch)) + 1;
}

std::size_t PullTaps(const AxisMap& map, bool fourAtATime) {
    if (map.src == map.dst) return 1;  // the identity: one weight of 1
    const auto last = static_cast<std::int64_t>(map.src) - 1;
    std::size_t needed = 1;
    // Limit: short axes are counted output by output; long ones in closed form,
    // so no plan costs a pass over a tall target.
    if (map.dst <= 4096) {
        for (std::size_t i = 0; i < map.dst; ++i) {
            const auto ii = static_cast<std::int64_t>(i);
            const std::int64_t lo = std::max<std::int64_t>(map.Lo(ii), 0), hi = std::min(map.Hi(ii), last);
            needed = std::max(needed, static_cast<std::size_t>(hi - lo + 1));
        }
    } else {
        // With D = 2 dst, centre i is n / D for the integer n = (2i + 1) src - dst,
        // and the kernel reaches (n - S) / D .. (n + S) / D, S = 2 D stretch. The
        // samples strictly inside number ceil((r + 2S) / D) - 1, r = (n - S) mod D,
        // largest at the largest r the outputs give: they step by 2 gcd(src, dst).
        const std::uint64_t src = map.src, dst = map.dst, d = 2 * dst, g2 = 2 * std::gcd(src, dst);
        const std::uint64_t s = 4 * std::max(src, dst);  // 2 D stretch
        const std::uint64_t r0 = ((src % g2) + g2 - (dst % g2) + g2 - (s % g2)) % g2;
        needed = static_cast<std::size_t>(std::min<std::uint64_t>((r0 + d - g2 + 2 * s + d - 1) / d - 1, src));
    }
    const std::size_t padded = (needed + 3) / 4 * 4;
    return fourAtATime && padded <= map.src ? padded : needed;
}

OutputWeights MakeOutputWeights(const AxisMap& map, std::size_t i, std::size_t taps, SampleKind input,
                                unsigned maxBits) {
    TESSALY_ASSERT(taps >= 1 && taps <= kMaxPullTaps && taps <= map.src);
    OutputWeights out;
    std::array<double, kMaxPullTaps> w;
    std::fill_n(w.begin(), taps, 0.0);
    if (map.src == map.dst) {
        out.first = i;
        w[0] = 1.0;
    } else {
        const double c = map.Centre(static_cast<std::int64_t>(i));
        const std::int64_t lo = map.Lo(static_cast<std::int64_t>(i)), hi = map.Hi(static_cast<std::int64_t>(i));
        const auto last = static_cast<std::int64_t>(map.src) - 1;
        const std::int64_t first = std::clamp<std::int64_t>(lo, 0, last + 1 - static_cast<std::int64_t>(taps));
        double sum = 0;
        for (std::int64_t k = lo; k <= hi; ++k) {
            const double v = Keys((static_cast<double>(k) - c) * map.inverseStretch);
            // Clamped edges: a sample beyond the source weighs on its edge sample.
            w[static_cast<std::size_t>(std::clamp<std::int64_t>(k, 0, last) - first)] += v;
            sum += v;
        }
        const double inverse = 1.0 / sum;
        for (std::size_t k = 0; k < taps; ++k) w[k] *= inverse;
        out.first = static_cast<std::size_t>(first);
    }
    double widest = 0;
    for (std::size_t k = 0; k < taps; ++k) widest = std::max(widest, std::fabs(w[k]));
    const std::int64_t inputMax = input == SampleKind::Byte ? 255 : kMidLimit;
    // The most bits that keep the widest weight within int16: from the
    // exponent of the ratio, then settled exactly by the test itself.
    const auto fits = [&](unsigned b) { return widest * static_cast<double>(std::int64_t{2} << b) <= kMaxWeight; };
    const double room = widest > 0 ? kMaxWeight / widest : 0x1p40;  // at most 32766 x 64: exact in 64 bits
    unsigned bits = std::clamp(static_cast<unsigned>(std::bit_width(static_cast<std::uint64_t>(room))), 2u, maxBits + 1) - 1;
    while (bits < maxBits && fits(bits)) ++bits;
    while (bits > 1 && !fits(bits - 1)) --bits;
    for (;; --bits) {
        // Cumulative rounding: every weight within one step of exact, and the total exactly 2^bits.
        const auto one = static_cast<double>(std::int64_t{1} << bits);
        std::int64_t previous = 0, magnitude = 0;
        double cumulative = 0;
        for (std::size_t k = 0; k < taps; ++k) {
            cumulative += w[k];
            const std::int64_t upTo = k + 1 == taps ? std::int64_t{1} << bits
                                                    : FloorToInt(cumulative * one + 0.5);
            out.w[k] = static_cast<std::int16_t>(upTo - previous);
            magnitude += std::abs(upTo - previous);
            previous = upTo;
        }
        if (magnitude * inputMax < kMaxPullSum) break;
    }
    out.bits = bits;
    return out;
}

std::size_t PairChunk(std::size_t pair, std::size_t taps) {
    const std::size_t group = pair / 4, r = pair % 4;
    static constexpr std::size_t kEightOrder[4] = {0, 2, 1, 3};
    return 4 * group + (8 * group + 8 <= taps ? kEightOrder[r] : r);
}

PullTable BuildPullTable(const AxisMap& map, SampleKind input, std::pmr::memory_resource* memory) {
    PullTable t(memory);
    t.taps = PullTaps(map);
    // One bit count for the row: the fewest any output allows.
    unsigned bits = 30;
    for (std::size_t i = 0; i < map.dst; ++i) bits = std::min(bits, MakeOutputWeights(map, i, t.taps, input, bits).bits);
    t.bits = bits;
    t.first.resize(map.dst);
    t.weights.resize(map.dst * t.taps);
    const std::size_t pairs = t.taps % 4 == 0 ? t.taps / 2 : 0;
    t.chunks.resize(map.dst * pairs * 4);
    for (std::size_t i = 0; i < map.dst; ++i) {
        const OutputWeights w = MakeOutputWeights(map, i, t.taps, input, bits);
        TESSALY_ASSERT(w.bits == bits);
        t.first[i] = static_cast<std::uint32_t>(w.first);
        std::copy_n(w.w.begin(), t.taps, &t.weights[i * t.taps]);
        for (std::size_t j = 0; j < pairs; ++j) {
            const auto pair = static_cast<std::int32_t>(static_cast<std::uint16_t>(w.w[2 * j]) |
                                                        std::uint32_t{static_cast<std::uint16_t>(w.w[2 * j + 1])} << 16);
            std::fill_n(&t.chunks[(i * pairs + PairChunk(j, t.taps)) * 4], 4, pair);
        }
    }
    return t;
}

const KernelFamily<HorizontalFn> kHorizontalPass = KernelFamily<HorizontalFn>(HorizontalScalar)
#if defined(TESSALY_RESAMPLE_X86)
    .With(Simd::Sse2, HorizontalSse2).With(Simd::Avx2, HorizontalAvx2)
#endif
    ;

void HorizontalPassMid(const std::int16_t* src, const PullTable& xs, std::uint32_t* out) {
    const std::size_t taps = xs.taps;
    const unsigned shift = xs.bits + kMidBits;
    for (std::size_t x = 0; x < xs.first.size(); ++x) {
        const std::int16_t* p = src + 4 * std::size_t{xs.first[x]};
        const std::int16_t* w = &xs.weights[x * taps];
        std::int32_t acc[4] = {0, 0, 0, 0};
        for (std::size_t k = 0; k < taps; ++k)
            for (std::size_t c = 0; c < 4; ++c) acc[c] += w[k] * p[4 * k + c];
        std::uint32_t px = 0;
        for (unsigned c = 0; c < 4; ++c)
            px |= static_cast<std::uint32_t>(std::clamp<std::int64_t>(RoundedShift(acc[c], shift), 0, 255)) << (8 * c);
        out[x] = px;
    }
}

void VerticalScalar(const std::int16_t* const* rows, const OutputWeights& w, std::size_t taps, std::size_t lanes,
                    std::uint8_t* out) {
    VerticalScalarLanes(rows, w, taps, 0, lanes, out);
}

const KernelFamily<VerticalFn> kVerticalPass = KernelFamily<VerticalFn>(VerticalScalar)
#if defined(TESSALY_RESAMPLE_X86)
    .With(Simd::Sse2, VerticalSse2).With(Simd::Avx2, VerticalAvx2)
#endif
    ;

void VerticalPassMid(const std::int16_t* const* rows, const OutputWeights& w, std::size_t taps, std::size_t lanes,
                     std::int16_t* out) {
    for (std::size_t i = 0; i < lanes; ++i) {
        std::int32_t acc = 0;
        for (std::size_t k = 0; k < taps; ++k) acc += w.w[k] * rows[k][i];
        out[i] = ClampMid(RoundedShift(acc, w.bits));
    }
}

// ---- RowResampler ----

struct RowResampler::Plan {
    bool rowsFirst = false;
    bool xPush = false, yPush = false;
    std::size_t xTaps = 0, yTaps = 0;
    std::uint64_t vLanes = 0;
    std::uint64_t rowPixels = 0;
    std::uint64_t bytes = 0;
};

RowResampler::Plan RowResampler::MakePlan(std::size_t srcWidth, std::size_t srcHeight, std::size_t dstWidth,
                                          std::size_t dstHeight) {
    const AxisMap xs(srcWidth, dstWidth), ys(srcHeight, dstHeight);
    Plan p;
    // Rows first only when widening and shrinking the rows: then the vertical
    // pass runs at the (narrower) source width and the horizontal pass over
    // the (fewer) output rows; otherwise the horizontal pass goes first. No
    // pass then costs source rows x target width.
    p.rowsFirst = dstWidth > srcWidth && dstHeight < srcHeight;
    p.xPush = xs.Push();
    p.yPush = ys.Push();
    p.xTaps = p.xPush ? 0 : PullTaps(xs);
    p.yTaps = p.yPush ? 0 : PullTaps(ys, false);
    p.vLanes = 4 * std::uint64_t{p.rowsFirst ? srcWidth : dstWidth};
    p.rowPixels = p.xPush ? std::min<std::uint64_t>(kPushPiecePixels, srcWidth) : srcWidth;
    std::uint64_t bytes = 4 * p.rowPixels + 2 * p.vLanes;                      // row_, mids_
    if (p.rowsFirst) bytes += 2 * p.vLanes;                                    // vOut_
    // The horizontal table: per output its first sample, its weights, and their chunks (8 bytes a tap).
    bytes += p.xPush ? 40 * std::uint64_t{dstWidth} : (4 + 10 * std::uint64_t{p.xTaps}) * dstWidth;
    bytes += p.yPush ? 8 * kSlots * p.vLanes : (2 * p.vLanes + sizeof(void*)) * p.yTaps;
    if (!p.yPush && dstHeight / std::gcd(srcHeight, dstHeight) <= kMaxPhases)
        bytes += (sizeof(OutputWeights) + 1) * (dstHeight / std::gcd(srcHeight, dstHeight));
    p.bytes = bytes;
    return p;
}

std::optional<std::uint64_t> RowResampler::WorkingBytes(std::size_t srcWidth, std::size_t srcHeight,
                                                        std::size_t dstWidth, std::size_t dstHeight) {
    if (srcWidth == 0 || srcHeight == 0 || dstWidth == 0 || dstHeight == 0) return std::nullopt;
    return MakePlan(srcWidth, srcHeight, dstWidth, dstHeight).bytes;
}

RowResampler::RowResampler(std::size_t srcWidth, std::size_t srcHeight, ImageView dst, bool bottomUp, Simd simd,
                           std::pmr::memory_resource* memory)
    : dst_(dst), srcWidth_(srcWidth), srcHeight_(srcHeight), bottomUp_(bottomUp),
      vertical_(kVerticalPass.Plain()),
      xMap_(srcWidth, dst.width), yMap_(srcHeight, dst.height), row_(memory), xs_(memory),
      xAcc_(memory), xNorm_(memory), mids_(memory), vOut_(memory), ring_(memory), window_(memory),
      phaseWeights_(memory), phaseMade_(memory), slotAcc_(memory) {
    TESSALY_ASSERT(srcWidth > 0 && srcHeight > 0 && dst.width > 0 && dst.height > 0);
    const Plan plan = MakePlan(srcWidth, srcHeight, dst.width, dst.height);
    rowsFirst_ = plan.rowsFirst;
    xPush_ = plan.xPush;
    yPush_ = plan.yPush;
    vLanes_ = static_cast<std::size_t>(plan.vLanes);
    // The AVX2 kernel pays its setup per row, which a row of a pixel or two never repays.
    vertical_ = kVerticalPass.At(vLanes_ < 32 ? std::min(simd, Simd::Sse2) : simd);
    row_.assign(static_cast<std::size_t>(plan.rowPixels), 0);
    mids_.assign(vLanes_, 0);
    if (rowsFirst_) vOut_.assign(vLanes_, 0);
    if (xPush_) {
        xAcc_.assign(4 * dst.width, 0.0);
        xNorm_.resize(dst.width);
        for (std::size_t i = 0; i < dst.width; ++i) {
            const auto ii = static_cast<std::int64_t>(i);
            xNorm_[i] = KernelSum(xMap_.Centre(ii), xMap_.stretch, xMap_.Lo(ii), xMap_.Hi(ii));
        }
    } else {
        xs_ = BuildPullTable(xMap_, rowsFirst_ ? SampleKind::Mid : SampleKind::Byte, memory);
        // The vector kernels take taps four at a time; tables of 1 to 3 taps (sources that narrow) go plain.
        horizontal_ = xs_.chunks.empty() ? kHorizontalPass.Plain() : kHorizontalPass.At(simd);
    }
    if (yPush_) {
        slotAcc_.assign(kSlots * vLanes_, 0);
        slotOutput_.fill(-1);
        // Weights of up to 24 bits, fewer for very tall reductions so that no
        // 64-bit sum can overflow: |sum| <= ~2.2 x stretch x 2^bits x kMidLimit.
        yBits_ = 24;
        while (yMap_.stretch * std::ldexp(1.0, static_cast<int>(yBits_)) > std::ldexp(1.0, 45)) --yBits_;
    } else {
        vTaps_ = plan.yTaps;
        InitPhases();
        ring_.assign(vTaps_ * vLanes_, 0);
        window_.resize(vTaps_);
    }
}

std::uint8_t* RowResampler::HostRowBytes(std::size_t i) const {
    return reinterpret_cast<std::uint8_t*>(dst_.Row(i).data());
}

std::span<std::uint32_t> RowResampler::Piece(std::size_t /*y*/, std::size_t x) {
    if (xPush_) return std::span<std::uint32_t>(row_).first(std::min(row_.size(), srcWidth_ - x));
    return std::span<std::uint32_t>(row_).subspan(x);
}

void RowResampler::Commit(std::size_t y, std::size_t x, std::size_t n) {
    if (xPush_) {
        // Each sample to the four outputs of its cell.
        const double s = xMap_.stretch;
        std::int64_t j = CellOf(xMap_, static_cast<std::int64_t>(x));
        double centre = xMap_.Centre(j), next = xMap_.Centre(j + 1);
        const auto dst = static_cast<std::int64_t>(dst_.width);
        for (std::size_t k = 0; k < n; ++k) {
            const auto sx = static_cast<std::int64_t>(x + k);
            while (next <= static_cast<double>(sx)) {
                ++j;
                centre = next;
                next = xMap_.Centre(j + 1);
            }
            const auto w = CellWeights((static_cast<double>(sx) - centre) / s);
            const auto ch = Channels(row_[k]);
            for (std::int64_t d = 0; d < 4; ++d) {
                const std::int64_t i = j - 1 + d;
                if (i < 0 || i >= dst) continue;
                double* acc = &xAcc_[4 * static_cast<std::size_t>(i)];
                for (std::size_t c = 0; c < 4; ++c) acc[c] += w[static_cast<std::size_t>(d)] * static_cast<double>(ch[c]);
            }
        }
        if (x == 0 || x + n == srcWidth_) {
            // Samples beyond an edge repeat it.
            for (const bool left : {true, false}) {
                if (left ? x != 0 : x + n != srcWidth_) continue;
                const auto ch = Channels(left ? row_[0] : row_[n - 1]);
                const std::int64_t from = left ? 0 : std::max<std::int64_t>(0, dst - 4);
                for (std::int64_t i = from; i < std::min(dst, from + 4); ++i) {
                    const double e = EdgeWeight(xMap_, i, left);
                    for (std::size_t c = 0; c < 4; ++c) xAcc_[4 * static_cast<std::size_t>(i) + c] += e * static_cast<double>(ch[c]);
                }
            }
        }
    }
    if (x + n == srcWidth_) RowDone(y);
}

void RowResampler::Fill(std::size_t y, std::size_t x, std::size_t n, std::uint32_t px) {
    if (x == 0 && n == srcWidth_) return ConstantRows(y, 1, px);
    if (!xPush_) {
        std::fill_n(row_.begin() + static_cast<std::ptrdiff_t>(x), n, px);
        if (x + n == srcWidth_) RowDone(y);
        return;
    }
    // A run reaches each output of each cell it crosses with the kernel's sum over the run.
    const auto first = static_cast<std::int64_t>(x), last = static_cast<std::int64_t>(x + n) - 1;
    const auto dst = static_cast<std::int64_t>(dst_.width);
    const auto ch = Channels(px);
    for (std::int64_t j = CellOf(xMap_, first); j <= CellOf(xMap_, last); ++j) {
        const std::int64_t lo = std::max(first, CellStart(xMap_, j));
        const std::int64_t hi = std::min(last, CellStart(xMap_, j + 1) - 1);
        for (std::int64_t i = std::max<std::int64_t>(0, j - 1); i <= std::min(dst - 1, j + 2); ++i) {
            double weight = KernelSum(xMap_.Centre(i), xMap_.stretch, lo, hi);
            if (lo == 0) weight += EdgeWeight(xMap_, i, true);
            if (hi == static_cast<std::int64_t>(srcWidth_) - 1) weight += EdgeWeight(xMap_, i, false);
            for (std::size_t c = 0; c < 4; ++c) xAcc_[4 * static_cast<std::size_t>(i) + c] += weight * static_cast<double>(ch[c]);
        }
    }
    if (x + n == srcWidth_) RowDone(y);
}

void RowResampler::FillRows(std::size_t top, std::size_t count, std::uint32_t px) {
    ConstantRows(bottomUp_ ? top + count - 1 : top, count, px);
}

void RowResampler::ConstantRows(std::size_t y, std::size_t count, std::uint32_t px) {
    // A row of one colour stays that colour through any horizontal pass (the
    // weights sum to one), so it goes straight to the vertical pass as a pattern.
    const auto ch = Channels(px);
    std::int16_t pattern[4];
    for (std::size_t c = 0; c < 4; ++c) pattern[c] = static_cast<std::int16_t>(ch[c] << kMidBits);
    VerticalAdd(y, count, nullptr, pattern);
}

void RowResampler::RowDone(std::size_t y) {
    // The vertical pass's input row: the ring slot of row y (pull), or mids_ (push).
    std::int16_t* out = yPush_ ? mids_.data() : &ring_[(y % vTaps_) * vLanes_];
    if (rowsFirst_) {
        for (std::size_t x = 0; x < srcWidth_; ++x) {
            const auto ch = Channels(row_[x]);
            for (std::size_t c = 0; c < 4; ++c) out[4 * x + c] = static_cast<std::int16_t>(ch[c] << kMidBits);
        }
    } else if (xPush_) {
        for (std::size_t i = 0; i < dst_.width; ++i) {
            const double scale = 64.0 / xNorm_[i];
            for (std::size_t c = 0; c < 4; ++c) {
                double& acc = xAcc_[4 * i + c];
                out[4 * i + c] = ClampMid(static_cast<std::int64_t>(std::floor(acc * scale + 0.5)));
                acc = 0.0;
            }
        }
    } else {
        horizontal_(row_, xs_, out);
    }
    VerticalAdd(y, 1, out, nullptr);
}

void RowResampler::VerticalAdd(std::size_t y, std::size_t count, const std::int16_t* row, const std::int16_t* pattern) {
    if (!yPush_) {
        for (std::size_t r = 0; r < count; ++r) {
            const std::size_t yy = bottomUp_ ? y - r : y + r;
            std::int16_t* slot = &ring_[(yy % vTaps_) * vLanes_];
            if (pattern) {
                for (std::size_t l = 0; l < vLanes_; ++l) slot[l] = pattern[l & 3];
            } else if (row != slot) {
                std::copy_n(row, vLanes_, slot);
            }
            ++arrived_;
            PullEmitReady(arrived_);
        }
        return;
    }
    // Push: the rows [lo, hi] cell by cell, in arrival order.
    const auto lo = static_cast<std::int64_t>(bottomUp_ ? y + 1 - count : y);
    const auto hi = static_cast<std::int64_t>(bottomUp_ ? y : y + count - 1);
    const std::int64_t firstCell = CellOf(yMap_, lo), lastCell = CellOf(yMap_, hi);
    for (std::int64_t k = 0; k <= lastCell - firstCell; ++k) {
        const std::int64_t j = bottomUp_ ? lastCell - k : firstCell + k;
        PushFinishBefore(j);
        PushAddCell(j, std::max(lo, CellStart(yMap_, j)), std::min(hi, CellStart(yMap_, j + 1) - 1), row, pattern);
    }
    arrived_ += count;
    if (arrived_ == srcHeight_) {
        PushFinishBefore(bottomUp_ ? -3 : static_cast<std::int64_t>(dst_.height) + 2);
    }
}

void RowResampler::PushFinishBefore(std::int64_t cell) {
    // Outputs the cells still to come cannot reach: below j - 1 going down, above j + 2 going up.
    for (;;) {
        std::int64_t pick = -1;
        for (const std::int64_t i : slotOutput_) {
            if (i < 0 || (bottomUp_ ? i <= cell + 2 : i >= cell - 1)) continue;
            if (pick < 0 || (bottomUp_ ? i > pick : i < pick)) pick = i;
        }
        if (pick < 0) return;
        PushFinish(pick);
    }
}

void RowResampler::PushAddCell(std::int64_t j, std::int64_t lo, std::int64_t hi, const std::int16_t* row,
                               const std::int16_t* pattern) {
    const auto dst = static_cast<std::int64_t>(dst_.height);
    const auto last = static_cast<std::int64_t>(srcHeight_) - 1;
    const auto cellWeights = CellWeights((static_cast<double>(lo) - yMap_.Centre(j)) / yMap_.stretch);
    for (std::int64_t i = std::max<std::int64_t>(0, j - 1); i <= std::min(dst - 1, j + 2); ++i) {
        double weight = lo == hi ? cellWeights[static_cast<std::size_t>(i - j + 1)]
                                 : KernelSum(yMap_.Centre(i), yMap_.stretch, lo, hi);
        if (lo == 0) weight += EdgeWeight(yMap_, i, true);
        if (hi == last) weight += EdgeWeight(yMap_, i, false);
        const std::int64_t q = std::llround(std::ldexp(weight, static_cast<int>(yBits_)));
        const std::size_t slot = static_cast<std::size_t>(i) % kSlots;
        std::int64_t* acc = &slotAcc_[slot * vLanes_];
        if (slotOutput_[slot] != i) {
            TESSALY_ASSERT(slotOutput_[slot] < 0);
            slotOutput_[slot] = i;
            std::fill_n(acc, vLanes_, 0);
            slotConst_[slot] = {0, 0, 0, 0};
            slotWeight_[slot] = 0;
        }
        slotWeight_[slot] += q;
        if (pattern) {
            for (std::size_t c = 0; c < 4; ++c) slotConst_[slot][c] += q * pattern[c];
        } else {
            for (std::size_t l = 0; l < vLanes_; ++l) acc[l] += q * row[l];
        }
    }
}

void RowResampler::PushFinish(std::int64_t i) {
    const std::size_t slot = static_cast<std::size_t>(i) % kSlots;
    const std::int64_t* acc = &slotAcc_[slot * vLanes_];
    const auto& constant = slotConst_[slot];
    const double weight = static_cast<double>(slotWeight_[slot]);
    if (rowsFirst_) {
        for (std::size_t l = 0; l < vLanes_; ++l)
            vOut_[l] = ClampMid(static_cast<std::int64_t>(std::floor(static_cast<double>(acc[l] + constant[l & 3]) / weight + 0.5)));
        Emit(static_cast<std::size_t>(i), vOut_.data());
    } else {
        std::uint8_t* out = HostRowBytes(static_cast<std::size_t>(i));
        const double scale = weight * 64.0;
        for (std::size_t l = 0; l < vLanes_; ++l) {
            const double v = std::floor(static_cast<double>(acc[l] + constant[l & 3]) / scale + 0.5);
            out[l] = static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0));
        }
    }
    slotOutput_[slot] = -1;
}

void RowResampler::InitPhases() {
    const std::size_t period = yMap_.dst / std::gcd(yMap_.src, yMap_.dst);
    if (period > kMaxPhases || yMap_.src == yMap_.dst) return;
    // The interior rows: every sample their window takes lies inside the source.
    const auto lo = [&](std::size_t i) { return yMap_.Lo(static_cast<std::int64_t>(i)); };
    const auto src = static_cast<std::int64_t>(yMap_.src), taps = static_cast<std::int64_t>(vTaps_);
    std::size_t a = 0, b = yMap_.dst;
    while (a < b && lo(a) < 0) ++a;
    while (b > a && lo(b - 1) + taps > src) --b;
    if (b - a < 2 * period) return;
    yPeriod_ = period;
    yInterior_ = {a, b};
    phaseWeights_.resize(period);
    phaseMade_.assign(period, 0);
}

void RowResampler::PullEmitReady(std::size_t arrived) {
    const std::size_t dstHeight = dst_.height;
    while (emitted_ < dstHeight) {
        const std::size_t i = bottomUp_ ? dstHeight - 1 - emitted_ : emitted_;
        if (!nextWeights_ || nextWeightsFor_ != i) {
            nextWeights_ = VerticalWeights(i);
            nextWeightsFor_ = i;
        }
        const OutputWeights& w = *nextWeights_;
        // Rows first .. first + taps - 1 must all have arrived (the ring holds the last taps).
        const bool ready = bottomUp_ ? w.first + arrived >= srcHeight_ : w.first + vTaps_ <= arrived;
        if (!ready) return;
        for (std::size_t k = 0, slot = w.first % vTaps_; k < vTaps_; ++k, slot = slot + 1 == vTaps_ ? 0 : slot + 1)
            window_[k] = &ring_[slot * vLanes_];
        if (rowsFirst_) {
            VerticalPassMid(window_.data(), w, vTaps_, vLanes_, vOut_.data());
            Emit(i, vOut_.data());
        } else {
            vertical_(window_.data(), w, vTaps_, vLanes_, HostRowBytes(i));
        }
        ++emitted_;
    }
}

OutputWeights RowResampler::VerticalWeights(std::size_t i) {
    if (yPeriod_ == 0 || i < yInterior_[0] || i >= yInterior_[1]) return MakeOutputWeights(yMap_, i, vTaps_, SampleKind::Mid);
    // Interior rows of one phase share their weights, shifted by a whole number
    // of samples: made once, at the phase's first interior row, whatever order
    // the rows are emitted in.
    const std::size_t phase = (i - yInterior_[0]) % yPeriod_, periods = (i - yInterior_[0]) / yPeriod_;
    if (!phaseMade_[phase]) {
        phaseWeights_[phase] = MakeOutputWeights(yMap_, yInterior_[0] + phase, vTaps_, SampleKind::Mid);
        phaseMade_[phase] = 1;
    }
    OutputWeights w = phaseWeights_[phase];
    w.first += periods * (yMap_.src / std::gcd(yMap_.src, yMap_.dst));
    return w;
}

void RowResampler::Emit(std::size_t i, const std::int16_t* mids) { HorizontalPassMid(mids, xs_, dst_.Row(i).data()); }

void ResampleCubic(ConstImageView src, ImageView dst) {
    if (src.width == dst.width && src.height == dst.height) {
        std::memcpy(dst.pixels, src.pixels, src.width * src.height * 4);
        return;
    }
    RowResampler resampler(src.width, src.height, dst, false);
    for (std::size_t y = 0; y < src.height; ++y) {
        for (std::size_t x = 0; x < src.width;) {
            const auto piece = resampler.Piece(y, x);
            const std::size_t n = std::min(piece.size(), src.width - x);
            std::copy_n(src.Row(y).data() + x, n, piece.data());
            resampler.Commit(y, x, n);
            x += n;
        }
    }
}

}  // namespace tessaly
