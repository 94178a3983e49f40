// Images of 32-bit pixels as the reading side sees them: width x height,
// top row first, rows packed. Views borrow memory; they own nothing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "bmp/read/geometry.h"

namespace tessaly {

struct ImageView {
    std::uint32_t* pixels = nullptr;
    std::size_t width = 0;
    std::size_t height = 0;

    [[nodiscard]] std::span<std::uint32_t> Row(std::size_t y) const { return {pixels + y * width, width}; }
};

struct ConstImageView {
    const std::uint32_t* pixels = nullptr;
    std::size_t width = 0;
    std::size_t height = 0;

    [[nodiscard]] std::span<const std::uint32_t> Row(std::size_t y) const { return {pixels + y * width, width}; }
};

// The host's buffer of width x height 32-bit pixels as a view: nullopt when
// a side is not positive, or the buffer is one no 32-bit host could allocate.
inline std::optional<ImageView> HostImage(void* pixels, std::int32_t width, std::int32_t height) {
    if (width <= 0 || height <= 0 || !PixelBufferBytes(width, height)) return std::nullopt;
    return ImageView{static_cast<std::uint32_t*>(pixels), static_cast<std::size_t>(width),
                     static_cast<std::size_t>(height)};
}

// Limit: an image at least this large is not read back from the caches (it
// cannot stay in them), so the stores that fill it may bypass them: written
// straight to memory, each line of it is never first read in.
inline constexpr std::uint64_t kStreamedImageBytes = 16u << 20;

// The row target (pixel_sink.h) that writes decoded rows straight into an image.
class ImageRows {
public:
    explicit ImageRows(ImageView image) : image_(image) {}
    [[nodiscard]] std::size_t Width() const { return image_.width; }
    [[nodiscard]] std::size_t Height() const { return image_.height; }
    [[nodiscard]] bool Streamed() const {
        return std::uint64_t{4} * image_.width * image_.height >= kStreamedImageBytes;
    }
    [[nodiscard]] std::span<std::uint32_t> Piece(std::size_t y, std::size_t x) { return image_.Row(y).subspan(x); }
    void Commit(std::size_t /*y*/, std::size_t /*x*/, std::size_t /*n*/) {}
    void Fill(std::size_t y, std::size_t x, std::size_t n, std::uint32_t px) {
        std::fill_n(image_.Row(y).data() + x, n, px);
    }
    void FillRows(std::size_t top, std::size_t count, std::uint32_t px) {
        std::fill_n(image_.Row(top).data(), count * image_.width, px);
    }

private:
    ImageView image_;
};

}  // namespace tessaly
