// Where decoded pixels go.
//
// A row target hands out memory for one image row at a time (Begin) and is
// told when that row is complete (End). ImageRows writes straight into an
// image; ResampledRows keeps one row of its own and passes each finished row
// to a RowResampler, so a scaled load never holds the whole source image;
// IndexRows keeps one byte per pixel.
//
// PixelSink writes a stored-order stream of pixels through a row target:
// element p is stored row p / width, which lands top row first whichever
// order the file stores its rows in. Its bounds come from the image, never
// from a header field, and nothing can be written past them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "bmp/read/image_view.h"
#include "bmp/read/resample.h"

namespace tessaly {

class ImageRows {
public:
    explicit ImageRows(ImageView image) : image_(image) {}
    [[nodiscard]] std::size_t Width() const { return image_.width; }
    [[nodiscard]] std::size_t Height() const { return image_.height; }
    [[nodiscard]] std::span<std::uint32_t> Begin(std::size_t y) { return image_.Row(y); }
    void End(std::size_t /*y*/) {}

private:
    ImageView image_;
};

class ResampledRows {
public:
    ResampledRows(std::size_t width, std::size_t height, RowResampler& resampler)
        : height_(height), row_(width), resampler_(resampler) {}
    [[nodiscard]] std::size_t Width() const { return row_.size(); }
    [[nodiscard]] std::size_t Height() const { return height_; }
    [[nodiscard]] std::span<std::uint32_t> Begin(std::size_t /*y*/) { return row_; }
    void End(std::size_t y) { resampler_.PushRow(y, row_); }

private:
    std::size_t height_;
    std::vector<std::uint32_t> row_;
    RowResampler& resampler_;
};

// Keeps the low byte of each decoded pixel: with a table whose entry i is i,
// the palette indices, one byte per pixel in rows of `stride` bytes.
class IndexRows {
public:
    IndexRows(std::size_t width, std::size_t height, std::span<std::uint8_t> out, std::size_t stride)
        : height_(height), stride_(stride), out_(out), row_(width) {}
    [[nodiscard]] std::size_t Width() const { return row_.size(); }
    [[nodiscard]] std::size_t Height() const { return height_; }
    [[nodiscard]] std::span<std::uint32_t> Begin(std::size_t /*y*/) { return row_; }
    void End(std::size_t y) {
        std::uint8_t* dst = out_.subspan(y * stride_, row_.size()).data();
        for (std::size_t x = 0; x < row_.size(); ++x) dst[x] = static_cast<std::uint8_t>(row_[x]);
    }

private:
    std::size_t height_;
    std::size_t stride_;
    std::span<std::uint8_t> out_;
    std::vector<std::uint32_t> row_;
};

template <class Rows>
class PixelSink {
public:
    // `bottomUp`: the first stored row is the image's last row.
    PixelSink(Rows& rows, bool bottomUp) : rows_(rows), bottomUp_(bottomUp) { EnterRow(); }

    // Writes n copies of px; false when the image ended first (the rest is dropped).
    bool Fill(std::uint32_t px, std::size_t n) {
        // Short runs inside the row, the common case of RLE data: eight stores
        // whatever n is. Elements past the run are written again later (by the
        // next command, an end of line, or the final fill), so storing ahead
        // within the current row changes nothing that is seen.
        if (n <= 8 && current_.size() - column_ >= 8) {
            std::uint32_t* out = current_.data() + column_;
            for (std::size_t j = 0; j < 8; ++j) out[j] = px;
            column_ += n;
            if (column_ == current_.size()) FinishRow();
            return true;
        }
        return Emit(n, [px](std::size_t) { return px; });
    }

    // Writes n pixels, pixel i being pixelAt(i); false when the image ended first.
    template <class PixelAt>
    bool Emit(std::size_t n, PixelAt pixelAt) {
        if (n < current_.size() - column_) {  // inside the row: no row bookkeeping
            std::uint32_t* out = current_.data() + column_;
            for (std::size_t j = 0; j < n; ++j) out[j] = pixelAt(j);
            column_ += n;
            return true;
        }
        std::size_t i = 0;
        while (i < n) {
            if (row_ == rows_.Height()) return false;
            const std::size_t k = std::min(n - i, rows_.Width() - column_);
            std::uint32_t* out = current_.data() + column_;
            for (std::size_t j = 0; j < k; ++j) out[j] = pixelAt(i + j);
            i += k;
            column_ += k;
            if (column_ == rows_.Width()) FinishRow();
        }
        return true;
    }

    // Elements not yet written.
    [[nodiscard]] std::size_t Remaining() const { return (rows_.Height() - row_) * rows_.Width() - column_; }

private:
    void FinishRow() {
        rows_.End(ImageRow());
        ++row_;
        column_ = 0;
        EnterRow();
    }
    [[nodiscard]] std::size_t ImageRow() const { return bottomUp_ ? rows_.Height() - 1 - row_ : row_; }
    // The row being written; empty once the image is complete, so no store can follow.
    void EnterRow() { current_ = row_ < rows_.Height() ? rows_.Begin(ImageRow()) : std::span<std::uint32_t>(); }

    Rows& rows_;
    bool bottomUp_;
    std::size_t row_ = 0;     // stored row being written
    std::size_t column_ = 0;  // next element within it
    std::span<std::uint32_t> current_;
};

}  // namespace tessaly
