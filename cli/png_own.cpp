// PNG without libpng, for toolchains that have none (the mingw-w64 cross
// builds). Writing: the plan's colour type and rows, the filters chosen as
// libpng chooses them by default (none for palettes and depths below 8, else
// per row the filter with the smallest sum of absolute differences), deflated
// by stb_image_write's zlib encoder, and the chunks (the libpng build's, in
// its order) written here with their CRC-32. The pixels match the libpng
// build's; the compressed bytes differ. Reading: a stream picture_input.cpp
// has checked and trimmed, decoded by stb_image to R, G, B, A at 8 or 16
// bits; wider samples become 8 bits by the host's own rule, so the pixels
// match the libpng build's.
//
// Limit: the filtered rows are held whole (the encoder takes one buffer), at
// most 2^31 - 1 bytes of them; a stream read is at most 2^31 - 1 bytes too.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "picture_input.h"
#include "png_plan.h"

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wcast-align"
#pragma GCC diagnostic ignored "-Wunused-function"
#endif
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb_image_write.h>
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STBI_ONLY_PNG
#define STBI_NO_STDIO
#define STBI_NO_LINEAR
#define STBI_NO_HDR
#include <stb_image.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace tessaly_cli {
namespace {

constexpr int kDeflateQuality = 8;  // stb's default; its matcher's effort
constexpr std::size_t kIdatBytes = std::size_t{1} << 20;

void PutBe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

bool PutChunk(std::FILE* out, const char* type, const std::uint8_t* data, std::size_t n, std::string& error) {
    std::uint8_t head[8], tail[4];
    PutBe32(head, static_cast<std::uint32_t>(n));
    std::memcpy(head + 4, type, 4);
    PutBe32(tail, ~PngCrc(PngCrc(0xFFFFFFFFu, {head + 4, 4}), {data, n}));
    if (std::fwrite(head, 1, 8, out) == 8 && (n == 0 || std::fwrite(data, 1, n, out) == n) &&
        std::fwrite(tail, 1, 4, out) == 4)
        return true;
    error = errno != 0 ? std::strerror(errno) : "write error";
    return false;
}

std::uint8_t Paeth(int a, int b, int c) {
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return static_cast<std::uint8_t>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// Row `cur` filtered with `filter` (1 Sub, 2 Up, 3 Average, 4 Paeth) against `prev` into `out`.
void Filter(int filter, const std::uint8_t* cur, const std::uint8_t* prev, std::size_t n, std::size_t bpp,
            std::uint8_t* out) {
    for (std::size_t i = 0; i < n; ++i) {
        const int a = i >= bpp ? cur[i - bpp] : 0, b = prev[i], c = i >= bpp ? prev[i - bpp] : 0;
        const int predictor = filter == 1 ? a : filter == 2 ? b : filter == 3 ? (a + b) / 2 : Paeth(a, b, c);
        out[i] = static_cast<std::uint8_t>(cur[i] - predictor);
    }
}

std::uint64_t Cost(const std::uint8_t* p, std::size_t n) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += p[i] < 128 ? p[i] : 256u - p[i];
    return sum;
}

}  // namespace

bool WritePng(std::FILE* out, const Picture& picture, std::string& error) {
    errno = 0;
    const PngPlan plan = PlanPng(picture);
    const std::size_t line = plan.rowBytes + 1;
    if (picture.height > static_cast<std::size_t>(std::numeric_limits<int>::max()) / line) {
        error = "too large for this build's PNG writer (over 2 GiB of rows)";
        return false;
    }
    std::vector<std::uint8_t> rows(line * picture.height);
    std::vector<std::uint8_t> prev(plan.rowBytes, 0), cur(plan.rowBytes), trial(plan.rowBytes);
    const bool adaptive = plan.colour != PngColour::Palette && plan.bitDepth == 8;
    for (std::size_t y = 0; y < picture.height; ++y) {
        PackPngRow(picture, plan, y, cur.data());
        std::uint8_t* dst = rows.data() + y * line;
        dst[0] = 0;
        std::memcpy(dst + 1, cur.data(), plan.rowBytes);
        std::uint64_t best = adaptive ? Cost(cur.data(), plan.rowBytes) : 0;
        for (int filter = 1; adaptive && filter <= 4; ++filter) {
            Filter(filter, cur.data(), prev.data(), plan.rowBytes, plan.bytesPerPixel, trial.data());
            if (const std::uint64_t cost = Cost(trial.data(), plan.rowBytes); cost < best) {
                best = cost;
                dst[0] = static_cast<std::uint8_t>(filter);
                std::memcpy(dst + 1, trial.data(), plan.rowBytes);
            }
        }
        prev.swap(cur);
    }
    int packedBytes = 0;
    std::uint8_t* packed = stbi_zlib_compress(rows.data(), static_cast<int>(rows.size()), &packedBytes, kDeflateQuality);
    if (!packed) {
        error = "out of memory while compressing";
        return false;
    }
    std::uint8_t header[13];
    PutBe32(header, static_cast<std::uint32_t>(picture.width));
    PutBe32(header + 4, static_cast<std::uint32_t>(picture.height));
    header[8] = static_cast<std::uint8_t>(plan.bitDepth);
    header[9] = static_cast<std::uint8_t>(plan.colour);
    header[10] = header[11] = header[12] = 0;  // deflate, adaptive filtering, no interlace
    std::vector<std::uint8_t> colours, alphas;
    for (std::size_t i = 0; i < plan.palette.size(); ++i) {
        const std::uint32_t c = plan.palette[i];
        colours.insert(colours.end(), {static_cast<std::uint8_t>(c >> 16), static_cast<std::uint8_t>(c >> 8),
                                       static_cast<std::uint8_t>(c)});
        if (i < plan.translucent) alphas.push_back(static_cast<std::uint8_t>(c >> 24));
    }
    static const std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    bool ok = std::fwrite(kSignature, 1, 8, out) == 8;
    if (!ok) error = errno != 0 ? std::strerror(errno) : "write error";
    ok = ok && PutChunk(out, "IHDR", header, sizeof header, error);
    if (picture.srgb) {
        // As libpng's png_set_sRGB_gAMA_and_cHRM: gamma 1/2.2 and the sRGB primaries for
        // readers that know no sRGB chunk, then the chunk itself (perceptual intent).
        std::uint8_t gamma[4], chromaticities[32];
        static const std::uint32_t kChromaticities[8] = {31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000};
        PutBe32(gamma, 45455);
        for (int i = 0; i < 8; ++i) PutBe32(chromaticities + 4 * i, kChromaticities[i]);
        const std::uint8_t intent = 0;
        ok = ok && PutChunk(out, "gAMA", gamma, sizeof gamma, error) &&
             PutChunk(out, "sRGB", &intent, 1, error) &&
             PutChunk(out, "cHRM", chromaticities, sizeof chromaticities, error);
    }
    if (ok && !colours.empty()) ok = PutChunk(out, "PLTE", colours.data(), colours.size(), error);
    if (ok && !alphas.empty()) ok = PutChunk(out, "tRNS", alphas.data(), alphas.size(), error);
    if (ok && picture.pixelsPerMeterX != 0 && picture.pixelsPerMeterY != 0) {
        std::uint8_t resolution[9];
        PutBe32(resolution, picture.pixelsPerMeterX);
        PutBe32(resolution + 4, picture.pixelsPerMeterY);
        resolution[8] = 1;  // per metre
        ok = PutChunk(out, "pHYs", resolution, sizeof resolution, error);
    }
    for (std::size_t at = 0, n = static_cast<std::size_t>(packedBytes); ok && at < n; at += kIdatBytes)
        ok = PutChunk(out, "IDAT", packed + at, std::min(kIdatBytes, n - at), error);
    ok = ok && PutChunk(out, "IEND", nullptr, 0, error);
    STBIW_FREE(packed);
    return ok;
}

bool DecodePng(const PngStream& stream, std::uint32_t width, std::uint32_t height, std::span<std::uint32_t> pixels,
               std::string& error) {
    if (stream.bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        error = "too large for this build's PNG reader (over 2 GiB)";
        return false;
    }
    const auto size = static_cast<int>(stream.bytes.size());
    int w = 0, h = 0, channels = 0;
    void* decoded = stream.bitDepth == 16
                        ? static_cast<void*>(stbi_load_16_from_memory(stream.bytes.data(), size, &w, &h, &channels, 4))
                        : static_cast<void*>(stbi_load_from_memory(stream.bytes.data(), size, &w, &h, &channels, 4));
    if (!decoded) {
        error = std::string("damaged PNG: ") + stbi_failure_reason();
        return false;
    }
    const bool same = static_cast<std::uint32_t>(w) == width && static_cast<std::uint32_t>(h) == height;
    const std::size_t samples = std::size_t{width} * height * 4;
    if (same && stream.bitDepth == 16)
        StoreRgba16({static_cast<const std::uint16_t*>(decoded), samples}, pixels);
    else if (same)
        StoreRgba8({static_cast<const std::uint8_t*>(decoded), samples}, pixels);
    else
        error = "damaged PNG: decoded at another size than IHDR gives";
    stbi_image_free(decoded);
    return same;
}

}  // namespace tessaly_cli
