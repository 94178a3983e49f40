// A file opened for reading; see input_file.h.
#include "shell/input_file.h"

namespace tessaly {

Outcome InputFile::Open(const char* path) {
    io::Handle h = io::kNoHandle;
    const Outcome opened = io::OpenForReading(path, h, length_);
    if (opened.Ok()) handle_.Reset(h);
    return opened;
}

ByteSource InputFile::Source() const {
    constexpr ByteSource::ReadFn read = [](const ByteSource& self, std::uint64_t offset, std::span<std::uint8_t> out,
                                           int& error) {
        return io::ReadAt(static_cast<const io::OwnedHandle*>(self.context)->Get(), offset, out, error);
    };
    return ByteSource{read, &handle_, handle_.IsOpen() ? length_ : 0};
}

}  // namespace tessaly
