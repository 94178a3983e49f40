// Where decoded pixels go.
//
// A row target takes an image row by row, in the order the file stores them,
// each row from left to right in pieces or runs of one colour:
//   Piece(y, x)            memory for pixels x .. of row y: the rest of the
//                          row, or a multiple of 8 pixels of it;
//   Commit(y, x, n)        the first n pixels of that piece are written;
//   Fill(y, x, n, px)      pixels x .. x + n - 1 of row y are px (within the row);
//   FillRows(top, n, px)   rows top .. top + n - 1 are all px (the next n to arrive);
// and, optionally,
//   Streamed()             true when its pieces are not read back while they
//                          could still be in the caches, so a decoder may write
//                          them with stores that bypass the caches.
// A decoder is a template over its row target and knows none of them: the
// loader's ImageRows (image_view.h) writes straight into an image, its
// RowResampler (resample.h) scales the rows as they come, and FilteredRows
// (below) converts their colours or watches their alpha first; the gray
// loader's GrayRows keeps one byte per pixel.
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

namespace tessaly {

// A row target that passes every pixel through `filter` before `Rows` sees
// it: filter.Pixels(span) changes or looks at a written piece in place,
// filter.Pixel(px) answers the colour a run of px becomes. The loader converts
// colours and watches alpha with it.
template <class Rows, class Filter>
class FilteredRows {
public:
    FilteredRows(Rows& rows, Filter& filter) : rows_(rows), filter_(filter) {}
    [[nodiscard]] std::size_t Width() const { return rows_.Width(); }
    [[nodiscard]] std::size_t Height() const { return rows_.Height(); }
    [[nodiscard]] std::span<std::uint32_t> Piece(std::size_t y, std::size_t x) {
        piece_ = rows_.Piece(y, x);
        return piece_;
    }
    void Commit(std::size_t y, std::size_t x, std::size_t n) {
        filter_.Pixels(piece_.first(n));
        rows_.Commit(y, x, n);
    }
    void Fill(std::size_t y, std::size_t x, std::size_t n, std::uint32_t px) { rows_.Fill(y, x, n, filter_.Pixel(px)); }
    void FillRows(std::size_t top, std::size_t count, std::uint32_t px) { rows_.FillRows(top, count, filter_.Pixel(px)); }

private:
    Rows& rows_;
    Filter& filter_;
    std::span<std::uint32_t> piece_;
};

template <class Rows>
class PixelSink {
public:
    // `bottomUp`: the first stored row is the image's last row.
    PixelSink(Rows& rows, bool bottomUp) : rows_(rows), bottomUp_(bottomUp) { EnterPiece(); }

    // Writes n copies of px; false when the image ended first (the rest is dropped).
    bool Fill(std::uint32_t px, std::size_t n) {
        // Short runs inside the piece, the common case of RLE data: eight stores
        // whatever n is. Elements past the run are written again before the
        // piece is committed (by the next command, an end of line, or the final
        // fill), so storing ahead within the piece changes nothing that is seen.
        if (n <= 8 && piece_.size() - pos_ >= 8) {
            std::uint32_t* out = piece_.data() + pos_;
            for (std::size_t j = 0; j < 8; ++j) out[j] = px;
            pos_ += n;
            if (pos_ == piece_.size()) FinishPiece();
            return true;
        }
        if (n < kLongRun) return Emit(n, [px](std::size_t) { return px; });
        return FillLong(px, n);
    }

    // Writes n pixels, pixel i being pixelAt(i); false when the image ended first.
    template <class PixelAt>
    bool Emit(std::size_t n, PixelAt pixelAt) {
        if (n < piece_.size() - pos_) {  // inside the piece: no bookkeeping
            std::uint32_t* out = piece_.data() + pos_;
            for (std::size_t j = 0; j < n; ++j) out[j] = pixelAt(j);
            pos_ += n;
            return true;
        }
        std::size_t i = 0;
        while (i < n) {
            if (row_ == rows_.Height()) return false;
            const std::size_t k = std::min(n - i, piece_.size() - pos_);
            std::uint32_t* out = piece_.data() + pos_;
            for (std::size_t j = 0; j < k; ++j) out[j] = pixelAt(i + j);
            i += k;
            pos_ += k;
            if (pos_ == piece_.size()) FinishPiece();
        }
        return true;
    }

    // The rest of the current piece, for a decoder that stores pixels itself:
    // it writes at most Room() pixels at Cursor() and then calls Advance.
    [[nodiscard]] std::uint32_t* Cursor() const { return piece_.data() + pos_; }
    [[nodiscard]] std::size_t Room() const { return piece_.size() - pos_; }
    void Advance(std::size_t n) {
        if (n == 0) return;  // nothing written: not even a full piece to hand on (nor a finished image)
        pos_ += n;
        if (pos_ == piece_.size()) FinishPiece();
    }

    // Whether pieces may be written with stores that bypass the caches (the row target says).
    [[nodiscard]] bool Streamed() const {
        if constexpr (requires(const Rows& r) { r.Streamed(); })
            return rows_.Streamed();
        else
            return false;
    }

    // Elements not yet written.
    [[nodiscard]] std::size_t Remaining() const {
        return (rows_.Height() - row_) * rows_.Width() - (pieceX_ + pos_);
    }

private:
    // Runs at least this long go to the row target as runs, which a resampler
    // adds in one step per output instead of pixel by pixel.
    static constexpr std::size_t kLongRun = 64;

    bool FillLong(std::uint32_t px, std::size_t n) {
        const std::size_t width = rows_.Width(), height = rows_.Height();
        if (row_ == height) return n == 0;
        if (pos_ != 0) rows_.Commit(ImageRow(), pieceX_, pos_);
        std::size_t column = pieceX_ + pos_;
        while (n != 0 && row_ < height) {
            if (column == 0 && n >= width) {
                const std::size_t count = std::min(n / width, height - row_);
                rows_.FillRows(bottomUp_ ? height - row_ - count : row_, count, px);
                row_ += count;
                n -= count * width;
                continue;
            }
            const std::size_t k = std::min(n, width - column);
            rows_.Fill(ImageRow(), column, k, px);
            n -= k;
            column += k;
            if (column == width) {
                ++row_;
                column = 0;
            }
        }
        pieceX_ = column;
        EnterPiece();
        return n == 0;
    }

    void FinishPiece() {
        rows_.Commit(ImageRow(), pieceX_, piece_.size());
        pieceX_ += piece_.size();
        if (pieceX_ == rows_.Width()) {
            ++row_;
            pieceX_ = 0;
        }
        EnterPiece();
    }
    [[nodiscard]] std::size_t ImageRow() const { return bottomUp_ ? rows_.Height() - 1 - row_ : row_; }
    // The piece being written; empty once the image is complete, so no store can follow.
    void EnterPiece() {
        pos_ = 0;
        piece_ = row_ < rows_.Height() ? rows_.Piece(ImageRow(), pieceX_) : std::span<std::uint32_t>();
    }

    Rows& rows_;
    bool bottomUp_;
    std::size_t row_ = 0;     // stored row being written
    std::size_t pieceX_ = 0;  // column of the piece's first element
    std::size_t pos_ = 0;     // next element within the piece
    std::span<std::uint32_t> piece_;
};

}  // namespace tessaly
