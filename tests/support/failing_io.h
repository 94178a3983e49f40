// Sources and sinks that fail as a disk would: the test side of the byte
// source and sink seams, so the codec's handling of I/O errors is tested on
// bytes in memory.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "bmp/read/byte_reader.h"
#include "bmp/write/byte_writer.h"

namespace tessaly::test {

// `bytes` as a source whose reads fail (EIO) once they would pass `failAt`.
class FailingSource {
public:
    FailingSource(std::span<const std::uint8_t> bytes, std::uint64_t failAt) : bytes_(bytes), failAt_(failAt) {}
    [[nodiscard]] ByteSource Source() const {
        constexpr ByteSource::ReadFn read = [](const ByteSource& self, std::uint64_t offset,
                                               std::span<std::uint8_t> out, int& error) -> std::size_t {
            const auto& me = *static_cast<const FailingSource*>(self.context);
            if (offset >= me.bytes_.size()) return 0;
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), me.bytes_.size() - offset));
            if (offset + n > me.failAt_) {
                error = EIO;
                return 0;
            }
            std::memcpy(out.data(), me.bytes_.data() + offset, n);
            return n;
        };
        return ByteSource{read, this, bytes_.size()};
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::uint64_t failAt_;
};

// A sink that keeps what it is given until `failAt` bytes, then fails.
class FailingSink {
public:
    explicit FailingSink(std::size_t failAt) : failAt_(failAt) {}
    [[nodiscard]] ByteSink Sink() {
        constexpr ByteSink::WriteFn write = [](void* context, std::span<const std::uint8_t> in) {
            auto& me = *static_cast<FailingSink*>(context);
            if (me.bytes.size() + in.size() > me.failAt_) return false;
            me.bytes.insert(me.bytes.end(), in.begin(), in.end());
            return true;
        };
        return ByteSink{write, this};
    }
    std::vector<std::uint8_t> bytes;

private:
    std::size_t failAt_;
};

}  // namespace tessaly::test
