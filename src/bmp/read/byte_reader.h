// The only ways the reading side takes input bytes.
//
// ByteReader walks a span in memory: a request for n bytes is met in full or
// not at all, so nothing can read past the span's end.
//
// StreamReader walks an open file strictly forward through one small buffer
// the caller owns. Take(n) is met in full or not at all; TakeZeroPadded(n)
// always answers n bytes and zero-fills whatever the file no longer holds.
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
    [[nodiscard]] std::size_t Remaining() const { return in_.size() - pos_; }
    [[nodiscard]] std::size_t Position() const { return pos_; }

private:
    std::span<const std::uint8_t> in_;
    std::size_t pos_ = 0;
};

class StreamReader {
public:
    // `buffer` bounds every single request; the reader starts at the file's current position.
    StreamReader(File& file, std::span<std::uint8_t> buffer)
        : file_(file), buffer_(buffer), offset_(file.GetPosition()) {}

    // Exactly n bytes (n <= buffer size), or nullopt when the file ends first.
    std::optional<std::span<const std::uint8_t>> Take(std::size_t n) {
        if (!Fill(n)) return std::nullopt;
        return Consume(n);
    }

    // n bytes (n <= buffer size); bytes past the end of the file read as zero.
    std::span<const std::uint8_t> TakeZeroPadded(std::size_t n) {
        TESSALY_ASSERT(n <= buffer_.size());
        if (!Fill(n)) {
            std::memset(buffer_.data() + end_, 0, begin_ + n - end_);
            end_ = begin_ + n;
        }
        return Consume(n);
    }

    // Moves forward to the absolute file offset `to`; an offset behind the position is a caller bug.
    void SkipTo(std::uint64_t to) {
        if (to <= offset_) return;
        const std::uint64_t gap = to - offset_;
        const std::size_t buffered = end_ - begin_;
        if (gap <= buffered) {
            begin_ += static_cast<std::size_t>(gap);
        } else {
            file_.Skip(gap - buffered);
            begin_ = end_ = 0;
        }
        offset_ = to;
    }

    // Absolute file offset of the next byte Take would return.
    [[nodiscard]] std::uint64_t Offset() const { return offset_; }
    // Bytes of the file from Offset() to its end.
    [[nodiscard]] std::uint64_t Remaining() const {
        return offset_ < file_.GetLength() ? file_.GetLength() - offset_ : 0;
    }
    [[nodiscard]] std::size_t Capacity() const { return buffer_.size(); }

private:
    // True when n bytes are buffered, reading more from the file if needed.
    bool Fill(std::size_t n) {
        if (end_ - begin_ >= n) return true;
        if (n > buffer_.size()) return false;
        if (begin_ != 0) {
            std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        }
        end_ += file_.Read(buffer_.data() + end_, buffer_.size() - end_);
        return end_ >= n;
    }
    std::span<const std::uint8_t> Consume(std::size_t n) {
        auto out = std::span<const std::uint8_t>(buffer_).subspan(begin_, n);
        begin_ += n;
        offset_ += n;
        return out;
    }

    File& file_;
    std::span<std::uint8_t> buffer_;
    std::size_t begin_ = 0;  // first buffered byte not yet taken
    std::size_t end_ = 0;    // one past the last buffered byte
    std::uint64_t offset_;
};

}  // namespace tessaly
