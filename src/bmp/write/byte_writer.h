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
#include <vector>

namespace tessaly {

struct ByteSink {
    // Writes all of `bytes` after those written before; false on any failure,
    // after which the sink takes nothing more.
    using WriteFn = bool (*)(void* context, std::span<const std::uint8_t> bytes);
    WriteFn write = nullptr;
    void* context = nullptr;
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

class BandWriter {
public:
    BandWriter(const ByteSink& sink, std::span<std::uint8_t> buffer) : sink_(sink), buffer_(buffer) {}

    // Room for n bytes (n <= capacity) at the end of the band, handing the band on first when full.
    [[nodiscard]] std::optional<std::span<std::uint8_t>> Reserve(std::size_t n) {
        if (buffer_.size() - used_ < n && !Flush()) return std::nullopt;
        auto out = buffer_.subspan(used_, n);
        used_ += n;
        return out;
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
    // Hands the band to the sink; false when the sink failed.
    [[nodiscard]] bool Flush() {
        const bool ok = used_ == 0 || sink_.write(sink_.context, buffer_.first(used_));
        used_ = 0;
        return ok;
    }
    [[nodiscard]] std::size_t Capacity() const { return buffer_.size(); }

private:
    ByteSink sink_;
    std::span<std::uint8_t> buffer_;
    std::size_t used_ = 0;
};

}  // namespace tessaly
