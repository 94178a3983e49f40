// The platform file service: every byte the codec reads or writes on disk goes
// through here. A File opens, reads, writes and closes one file; a
// ReplacingFile writes a new file beside its destination and puts it in place
// only when every write succeeded; a MemFile collects bytes in memory.
//
// Failed opens report false; short reads report their count; an I/O error
// while reading throws FileError (the boundary turns it into the command's
// failure result). Writes, flushes and closes report false on failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

namespace tessaly {

// The two flag sets the codec ever opens a file with.
inline constexpr unsigned kOpenRead = 0x8000;         // existing file, reading only, binary
inline constexpr unsigned kOpenCreateWrite = 0x9001;  // create or empty, writing, binary
// Bit of FileStatus::attribute set for a file nobody may write.
inline constexpr unsigned kAttributeReadOnly = 0x01;

struct FileError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct FileStatus {
    bool exists = false;
    unsigned attribute = 0;  // kAttributeReadOnly when set
};

// Status of the file at `path` without opening it. On POSIX a file with no
// write permission bit for anyone counts as read-only (whoever the caller is);
// on Windows the read-only attribute does.
FileStatus GetStatus(const char* path);

class File {
public:
    File() = default;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();  // closes a file that is still open

    // True when opened. `flags` is kOpenRead or kOpenCreateWrite. Reading opens
    // regular files only; otherwise errno says why (EISDIR, EINVAL for a
    // device or pipe, or the system's own reason).
    [[nodiscard]] bool Open(const char* path, unsigned flags);
    // Reads up to n bytes; fewer only at the end of the file. Throws FileError on an I/O error.
    std::size_t Read(void* buffer, std::size_t n);
    // Moves the position to `offset` from the start (past the end is allowed;
    // reads then deliver nothing). Throws FileError when the system refuses.
    void Seek(std::uint64_t offset);
    // Writes all n bytes at the position; false on any failure.
    [[nodiscard]] bool Write(const void* buffer, std::size_t n);
    // Writes all n bytes at `offset` (within what was written so far); the position then stands
    // after them. False on any failure.
    [[nodiscard]] bool WriteAt(std::uint64_t offset, const void* buffer, std::size_t n);
    // Written bytes reach the storage device (fsync on POSIX); false on failure.
    [[nodiscard]] bool Flush();
    // Closes the file; false when the close reported an error. Closing a closed file is a no-op.
    [[nodiscard]] bool Close();

    [[nodiscard]] bool IsOpen() const { return handle_ != kNoHandle; }
    [[nodiscard]] std::uint64_t GetLength() const { return length_; }
    [[nodiscard]] std::uint64_t GetPosition() const { return position_; }

private:
    static constexpr std::intptr_t kNoHandle = -1;
    std::intptr_t handle_ = kNoHandle;  // fd on POSIX, HANDLE on Windows
    std::uint64_t length_ = 0;          // length at open time (reading), bytes written (writing)
    std::uint64_t position_ = 0;
};

// Writes a new file in the destination's folder and renames it over the
// destination in Commit. Until Commit succeeds the destination stays exactly as
// it was (or absent); the temporary file is removed on every failure and by
// the destructor when Commit was never reached.
class ReplacingFile {
public:
    ReplacingFile() = default;
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;
    ~ReplacingFile();

    // Creates the temporary file; false when it cannot be created.
    [[nodiscard]] bool Begin(const char* destination);
    [[nodiscard]] bool Write(const void* buffer, std::size_t n) { return file_.Write(buffer, n); }
    [[nodiscard]] bool Write(std::span<const std::uint8_t> bytes) {
        return file_.Write(bytes.data(), bytes.size());
    }
    // Rewrites bytes already written (a header field known only at the end).
    [[nodiscard]] bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
        return file_.WriteAt(offset, bytes.data(), bytes.size());
    }
    // Flush, close and rename over the destination; false (and nothing replaced) on any failure.
    [[nodiscard]] bool Commit();

private:
    void Discard();
    File file_;
    std::vector<char> destination_;
    std::vector<char> temporary_;
};

// A growable block of bytes written front to back; Detach hands the block over.
class MemFile {
public:
    explicit MemFile(std::size_t expected = 1024) { block_.reserve(expected); }
    void Write(const void* buffer, std::size_t n) {
        const auto* bytes = static_cast<const std::uint8_t*>(buffer);
        block_.insert(block_.end(), bytes, bytes + n);
    }
    [[nodiscard]] std::size_t GetLength() const { return block_.size(); }
    [[nodiscard]] std::vector<std::uint8_t> Detach() { return std::move(block_); }

private:
    std::vector<std::uint8_t> block_;
};

}  // namespace tessaly
