// Where header fields meet arithmetic. Every size the reader or writer
// allocates, skips or compares comes from these helpers; they compute in 64
// bits and answer std::nullopt for a negative or oversized result.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>

namespace tessaly {

// Limit: a pixel buffer's byte count must fit in 32 bits (at most 2^32 - 1
// bytes), the largest buffer a 32-bit host could hand us; larger images are
// refused rather than shortened.
inline constexpr std::uint64_t kMaxPixelBufferBytes = 0xFFFFFFFFull;

// Bytes of one stored row, padded to a multiple of 4: ((width * bits + 31) / 32) * 4.
inline constexpr std::uint64_t RowStride(std::uint32_t width, std::uint32_t bitsPerPixel) {
    return ((std::uint64_t{width} * bitsPerPixel + 31) / 32) * 4;
}

// Bytes that hold the pixels of one row, without padding: ceil(width * bits / 8).
inline constexpr std::uint64_t RowPixelBytes(std::uint32_t width, std::uint32_t bitsPerPixel) {
    return (std::uint64_t{width} * bitsPerPixel + 7) / 8;
}

// Byte count of a buffer of width x height pixels of 4 bytes; nullopt when
// either side is negative or the count does not fit kMaxPixelBufferBytes.
inline constexpr std::optional<std::uint64_t> PixelBufferBytes(std::int64_t width, std::int64_t height,
                                                               std::uint64_t bytesPerPixel = 4) {
    if (width < 0 || height < 0) return std::nullopt;
    const std::uint64_t pixels = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
    if (bytesPerPixel != 0 && pixels > kMaxPixelBufferBytes / bytesPerPixel) return std::nullopt;
    return pixels * bytesPerPixel;
}

// A count that the platform can index: nullopt when it does not fit size_t (32-bit builds).
inline constexpr std::optional<std::size_t> AsSize(std::uint64_t n) {
    if (n > std::numeric_limits<std::size_t>::max()) return std::nullopt;
    return static_cast<std::size_t>(n);
}

// |v| of a stored signed dimension as an unsigned count (INT32_MIN gives 2^31).
inline constexpr std::uint32_t Magnitude(std::int32_t v) {
    return v < 0 ? static_cast<std::uint32_t>(-(static_cast<std::int64_t>(v)))
                 : static_cast<std::uint32_t>(v);
}

}  // namespace tessaly
