// The only way the reading side takes input bytes.
//
// A ByteSource is where the bytes come from: one read function chosen once
// (an open file, bytes in memory, a test's failing source) that reads by
// offset. A ByteReader walks a source front to back, seeking where the
// headers send it, through one small buffer the caller owns: Take(n) is met
// in full or not at all, TakeZeroPadded(n) always answers n bytes and
// zero-fills whatever the source no longer holds, and Window/Skip let a
// decoder read commands straight from the buffer.
//
// An I/O error is never thrown: the reader notes it, behaves from then on as
// if the source had ended there, and Failed() tells the operation, which
// reports it as its outcome.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "shell/assert.h"

namespace tessaly {

struct ByteSource {
    // Reads up to out.size() bytes at `offset`: the count read, fewer only at
    // the end of the source, or (with `error` set to an errno value) an I/O error.
    using ReadFn = std::size_t (*)(const ByteSource& self, std::uint64_t offset, std::span<std::uint8_t> out,
                                   int& error);
    ReadFn read = nullptr;
    const void* context = nullptr;  // the read function's own: a file, or bytes
    std::uint64_t length = 0;       // bytes the source holds
};

// `bytes` as a source; they must outlive it.
inline ByteSource MemorySource(std::span<const std::uint8_t> bytes) {
    constexpr ByteSource::ReadFn read = [](const ByteSource& self, std::uint64_t offset, std::span<std::uint8_t> out,
                                           int&) -> std::size_t {
        if (offset >= self.length) return 0;
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), self.length - offset));
        std::memcpy(out.data(), static_cast<const std::uint8_t*>(self.context) + offset, n);
        return n;
    };
    return ByteSource{read, bytes.data(), bytes.size()};
}

class ByteReader {
public:
    // An empty source, until one is assigned.
    ByteReader() = default;
    // Reads `source` from offset 0; `buffer` bounds every single request.
    ByteReader(const ByteSource& source, std::span<std::uint8_t> buffer)
        : source_(source), buffer_(buffer), length_(source.length) {}

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
            next_ = to;
        }
        offset_ = to;
    }

    // Absolute offset of the next byte Take would return.
    [[nodiscard]] std::uint64_t Offset() const { return offset_; }
    // Bytes of the source from Offset() to its end (to the failed read, after an I/O error).
    [[nodiscard]] std::uint64_t Remaining() const { return offset_ < length_ ? length_ - offset_ : 0; }
    [[nodiscard]] std::uint64_t Length() const { return length_; }
    [[nodiscard]] std::size_t Capacity() const { return buffer_.size(); }
    // Whether a read failed; its errno value.
    [[nodiscard]] bool Failed() const { return error_ != 0; }
    [[nodiscard]] int Error() const { return error_; }

private:
    // True when n bytes are buffered, reading more from the source if needed.
    bool Fill(std::size_t n) {
        if (end_ - begin_ >= n) return true;
        if (n > buffer_.size() || error_ != 0) return false;
        if (begin_ != 0) {
            std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        }
        // Limit: reads stop at the length the source had when it was opened.
        const std::size_t want = next_ < length_
            ? static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size() - end_, length_ - next_)) : 0;
        int error = 0;
        const std::size_t got = want == 0 ? 0 : source_.read(source_, next_, buffer_.subspan(end_, want), error);
        if (error != 0) {
            error_ = error;
            length_ = next_;  // the source ends where it failed
            return false;
        }
        end_ += got;
        next_ += got;
        if (got < want) length_ = next_;  // a file that shrank since it was opened
        return end_ - begin_ >= n;
    }
    std::span<const std::uint8_t> Consume(std::size_t n) {
        auto out = std::span<const std::uint8_t>(buffer_).subspan(begin_, n);
        begin_ += n;
        offset_ += n;
        return out;
    }

    ByteSource source_;
    std::span<std::uint8_t> buffer_;
    std::uint64_t length_ = 0;
    std::size_t begin_ = 0;     // first buffered byte not yet taken
    std::size_t end_ = 0;       // one past the last buffered byte
    std::uint64_t offset_ = 0;  // of the byte at begin_
    std::uint64_t next_ = 0;    // where the next read from the source starts
    int error_ = 0;
};

}  // namespace tessaly
