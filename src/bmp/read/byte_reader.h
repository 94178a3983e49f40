// The only ways the reading side takes input bytes.
//
// ByteReader walks a span in memory: a request for n bytes is met in full or
// not at all, so nothing can read past the span's end.
//
// StreamReader reads an open file, or bytes in memory, through one small
// buffer the caller owns. Take(n) is met in full or not at all;
// TakeZeroPadded(n) always answers n bytes and zero-fills whatever the source
// no longer holds.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "shell/assert.h"
#include "shell/file.h"

namespace tessaly {

class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> in) : in_(in) {}

    std::optional<std::span<const std::uint8_t>> Take(std::size_t n) {
        if (n > in_.size() - pos_) return std::nullopt;
        auto out = in_.subspan(pos_, n);
        pos_ += n;
        return out;
    }
    // Every byte not yet taken; `want` is for the StreamReader's sake.
    std::span<const std::uint8_t> Window(std::size_t /*want*/) const { return in_.subspan(pos_); }
    // Takes n bytes of the window (n at most its size).
    void Skip(std::size_t n) {
        TESSALY_ASSERT(n <= in_.size() - pos_);
        pos_ += n;
    }
    [[nodiscard]] std::size_t Remaining() const { return in_.size() - pos_; }
    [[nodiscard]] std::size_t Position() const { return pos_; }

private:
    std::span<const std::uint8_t> in_;
    std::size_t pos_ = 0;
};

class StreamReader {
public:
    // An empty source, until one is assigned.
    StreamReader() = default;
    // Reads an open file from its current position; `buffer` bounds every single request.
    StreamReader(File& file, std::span<std::uint8_t> buffer)
        : file_(&file), buffer_(buffer), length_(file.GetLength()), offset_(file.GetPosition()), source_(offset_) {}
    // Reads bytes in memory (tests and fuzzing decode from bytes). A read that
    // reaches offset `failAt` throws FileError, as a failing disk would.
    StreamReader(std::span<const std::uint8_t> bytes, std::span<std::uint8_t> buffer,
                 std::uint64_t failAt = ~std::uint64_t{0})
        : memory_(bytes), buffer_(buffer), failAt_(failAt), length_(bytes.size()) {}

    // Exactly n bytes (n <= buffer size), or nullopt when the source ends first.
    std::optional<std::span<const std::uint8_t>> Take(std::size_t n) {
        if (!Fill(n)) return std::nullopt;
        return Consume(n);
    }

    // n bytes (n <= buffer size); bytes past the end of the source read as zero.
    std::span<const std::uint8_t> TakeZeroPadded(std::size_t n) {
        TESSALY_ASSERT(n <= buffer_.size());
        if (!Fill(n)) {
            std::memset(buffer_.data() + end_, 0, begin_ + n - end_);
            end_ = begin_ + n;
        }
        return Consume(n);
    }

    // The buffered bytes not yet taken, at least `want` of them (want <= buffer
    // size) unless the source ends first: a decoder reads commands straight
    // from it and says how many it used with Skip.
    std::span<const std::uint8_t> Window(std::size_t want) {
        (void)Fill(want);
        return std::span<const std::uint8_t>(buffer_).subspan(begin_, end_ - begin_);
    }
    // Takes n bytes of the window (n at most its size).
    void Skip(std::size_t n) {
        TESSALY_ASSERT(n <= end_ - begin_);
        (void)Consume(n);
    }

    // Moves to the absolute offset `to`, forward or back (past the end is allowed).
    void Seek(std::uint64_t to) {
        const std::size_t buffered = end_ - begin_;
        if (to >= offset_ && to - offset_ <= buffered) {
            begin_ += static_cast<std::size_t>(to - offset_);
        } else {
            begin_ = end_ = 0;
            source_ = to;
            if (file_) file_->Seek(to);
        }
        offset_ = to;
    }

    // Absolute offset of the next byte Take would return.
    [[nodiscard]] std::uint64_t Offset() const { return offset_; }
    // Bytes of the source from Offset() to its end.
    [[nodiscard]] std::uint64_t Remaining() const { return offset_ < length_ ? length_ - offset_ : 0; }
    [[nodiscard]] std::uint64_t Length() const { return length_; }
    [[nodiscard]] std::size_t Capacity() const { return buffer_.size(); }

private:
    // True when n bytes are buffered, reading more from the source if needed.
    bool Fill(std::size_t n) {
        if (end_ - begin_ >= n) return true;
        if (n > buffer_.size()) return false;
        if (begin_ != 0) {
            std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        }
        const std::size_t got = ReadSource(buffer_.data() + end_, buffer_.size() - end_);
        end_ += got;
        source_ += got;
        return end_ >= n;
    }
    std::size_t ReadSource(std::uint8_t* out, std::size_t n) {
        if (file_) return file_->Read(out, n);
        if (source_ >= memory_.size()) return 0;
        const auto k = static_cast<std::size_t>(std::min<std::uint64_t>(n, memory_.size() - source_));
        if (source_ + k > failAt_) throw FileError("read failed");
        std::memcpy(out, memory_.data() + source_, k);
        return k;
    }
    std::span<const std::uint8_t> Consume(std::size_t n) {
        auto out = std::span<const std::uint8_t>(buffer_).subspan(begin_, n);
        begin_ += n;
        offset_ += n;
        return out;
    }

    File* file_ = nullptr;
    std::span<const std::uint8_t> memory_;
    std::span<std::uint8_t> buffer_;
    std::uint64_t failAt_ = ~std::uint64_t{0};
    std::uint64_t length_ = 0;
    std::size_t begin_ = 0;    // first buffered byte not yet taken
    std::size_t end_ = 0;      // one past the last buffered byte
    std::uint64_t offset_ = 0;  // of the byte at begin_
    std::uint64_t source_ = 0;  // where the next read from the source starts
};

}  // namespace tessaly
