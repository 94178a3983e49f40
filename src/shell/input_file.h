// A file opened for reading, as a byte source (bmp/read/byte_reader.h): the
// only way the codec's reading operations reach a file. Opens regular files
// only, and never waits on a FIFO or device named as an image.
#pragma once

#include <cstdint>

#include "bmp/read/byte_reader.h"
#include "shell/file_io.h"
#include "shell/outcome.h"

namespace tessaly {

class InputFile {
public:
    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Opens `path`; CannotOpen with the system's reason when it cannot
    // (EISDIR for a folder, EINVAL for a device or FIFO).
    [[nodiscard]] Outcome Open(const char* path);
    // The open file's bytes, as long as this object lives; its length is the
    // file's at the time it was opened.
    [[nodiscard]] ByteSource Source() const;

private:
    io::OwnedHandle handle_;
    std::uint64_t length_ = 0;
};

}  // namespace tessaly
