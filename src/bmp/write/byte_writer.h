// The only way the writing side puts out bytes.
//
// A ByteSink is where a file's bytes go, front to back: one write function
// chosen once (the file service's replacing file, a vector in memory, a test's
// failing sink). BandWriter collects bytes in one reused buffer of the
// caller's and hands them to the sink in large pieces, so a save never holds a
// second copy of the image.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace tessaly {

struct ByteSink {
    // Writes all of `bytes` after those written before; false on any failure,
    // after which the sink takes nothing more.
    using WriteFn = bool (*)(void* context, std::span<const std::uint8_t> bytes);
    // Writes the pieces, in order, as write would one after another, in fewer
    // calls to the system (a file's sink); null when the sink has no such call.
    using GatherFn = bool (*)(void* context, std::span<const std::span<const std::uint8_t>> pieces);
    // An asynchronous sink's: waits until everything handed over is written;
    // false when any of it failed. Such a sink's write may go on reading its
    // `bytes` until its next call (write, gather or drain) returns.
    using DrainFn = bool (*)(void* context);
    WriteFn write = nullptr;
    void* context = nullptr;
    GatherFn gather = nullptr;
    DrainFn drain = nullptr;
};

// A sink that appends to `bytes`, which must outlive it.
inline ByteSink VectorSink(std::vector<std::uint8_t>& bytes) {
    constexpr ByteSink::WriteFn write = [](void* context, std::span<const std::uint8_t> in) {
        auto& out = *static_cast<std::vector<std::uint8_t>*>(context);
        out.insert(out.end(), in.begin(), in.end());
        return true;
    };
    return ByteSink{write, &bytes};
}

// For an asynchronous sink the buffer is split into two bands: one is filled
// while the sink writes the other.
class BandWriter {
public:
    BandWriter(const ByteSink& sink, std::span<std::uint8_t> buffer)
        : sink_(sink),
          buffer_(sink.drain ? buffer.first(buffer.size() / 2) : buffer),
          other_(sink.drain ? buffer.subspan(buffer.size() / 2, buffer.size() / 2) : buffer) {}

    // Room for n bytes (n <= capacity) at the end of the band, handing the band on first when full.
    [[nodiscard]] std::optional<std::span<std::uint8_t>> Reserve(std::size_t n) {
        const auto room = Space(n);
        if (room) Used(n);
        return room;
    }
    [[nodiscard]] bool Put(std::span<const std::uint8_t> bytes) {
        while (!bytes.empty()) {
            const std::size_t n = std::min(bytes.size(), buffer_.size());
            const auto room = Reserve(n);
            if (!room) return false;
            std::memcpy(room->data(), bytes.data(), n);
            bytes = bytes.subspan(n);
        }
        return true;
    }
    // Room for up to n bytes (n <= capacity) at the end of the band, handing it on first when
    // short; the caller writes some of it and says how many with Used.
    [[nodiscard]] std::optional<std::span<std::uint8_t>> Space(std::size_t n) {
        if (buffer_.size() - used_ < n && !Flush()) return std::nullopt;
        return buffer_.subspan(used_, n);
    }
    void Used(std::size_t k) { used_ += k; }
    // Hands the band on, then `pieces` as they lie (memory the caller keeps
    // until this returns), without copying them into the band.
    [[nodiscard]] bool PutPieces(std::span<const std::span<const std::uint8_t>> pieces) {
        if (!Flush()) return false;
        if (sink_.gather) return sink_.gather(sink_.context, pieces);
        for (const auto& piece : pieces)
            if (!sink_.write(sink_.context, piece)) return false;
        return true;
    }
    // Hands the band to the sink; false when the sink failed.
    [[nodiscard]] bool Flush() {
        if (used_ == 0) return true;
        const bool ok = sink_.write(sink_.context, buffer_.first(used_));
        used_ = 0;
        std::swap(buffer_, other_);  // the same band again unless the sink is asynchronous
        return ok;
    }
    // Hands the band to the sink and waits until the sink has written everything.
    [[nodiscard]] bool Finish() { return Flush() && (!sink_.drain || sink_.drain(sink_.context)); }
    [[nodiscard]] std::size_t Capacity() const { return buffer_.size(); }

private:
    ByteSink sink_;
    std::span<std::uint8_t> buffer_;
    std::span<std::uint8_t> other_;  // the band the sink may still be reading
    std::size_t used_ = 0;
};

}  // namespace tessaly
