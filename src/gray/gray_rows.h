// The gray loader's row target (bmp/read/pixel_sink.h): keeps the blue byte
// of each decoded pixel, one byte per pixel in rows of `stride` bytes; for a
// gray file, each pixel's gray level.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tessaly {

class GrayRows {
public:
    GrayRows(std::size_t width, std::size_t height, std::span<std::uint8_t> out, std::size_t stride)
        : width_(width), height_(height), stride_(stride), out_(out), piece_(std::min<std::size_t>(width, kPiece)) {}
    [[nodiscard]] std::size_t Width() const { return width_; }
    [[nodiscard]] std::size_t Height() const { return height_; }
    [[nodiscard]] std::span<std::uint32_t> Piece(std::size_t /*y*/, std::size_t x) {
        return std::span<std::uint32_t>(piece_).first(std::min(piece_.size(), width_ - x));
    }
    void Commit(std::size_t y, std::size_t x, std::size_t n) {
        std::uint8_t* dst = &out_[y * stride_ + x];
        for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<std::uint8_t>(piece_[i]);
    }
    void Fill(std::size_t y, std::size_t x, std::size_t n, std::uint32_t px) {
        std::fill_n(&out_[y * stride_ + x], n, static_cast<std::uint8_t>(px));
    }
    void FillRows(std::size_t top, std::size_t count, std::uint32_t px) {
        for (std::size_t y = top; y < top + count; ++y) Fill(y, 0, width_, px);
    }

private:
    static constexpr std::size_t kPiece = 4096;  // a multiple of 8 pixels
    std::size_t width_, height_, stride_;
    std::span<std::uint8_t> out_;
    std::vector<std::uint32_t> piece_;
};

}  // namespace tessaly
