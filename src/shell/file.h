// The platform file service: every byte the codec reads or writes on disk goes
// through here. A File opens, reads and closes one file; a ReplacingFile
// carries one save to its destination; a MemFile collects bytes in memory.
//
// Failed opens report false; short reads report their count; an I/O error
// while reading throws FileError (the boundary turns it into the command's
// failure result). Writes, flushes and commits report false on failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace tessaly {

// The flag set the codec opens a file for reading with: an existing regular file, reading only, binary.
inline constexpr unsigned kOpenRead = 0x8000;

struct FileError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class File {
public:
    File() = default;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();  // closes a file that is still open

    // True when opened. `flags` is kOpenRead; only regular files open, and a
    // FIFO or device named as an image never makes the call wait. Otherwise
    // errno says why (EISDIR, EINVAL for a device or pipe, or the system's own).
    [[nodiscard]] bool Open(const char* path, unsigned flags);
    // Reads up to n bytes; fewer only at the end of the file. Throws FileError on an I/O error.
    std::size_t Read(void* buffer, std::size_t n);
    // Moves the position to `offset` from the start (past the end is allowed;
    // reads then deliver nothing). Throws FileError when the system refuses.
    void Seek(std::uint64_t offset);
    // Closes the file; false when the close reported an error. Closing a closed file is a no-op.
    [[nodiscard]] bool Close();

    [[nodiscard]] bool IsOpen() const { return handle_ != kNoHandle; }
    [[nodiscard]] std::uint64_t GetLength() const { return length_; }
    [[nodiscard]] std::uint64_t GetPosition() const { return position_; }

private:
    friend class ReplacingFile;  // writes go through a save only
    static constexpr std::intptr_t kNoHandle = -1;

    // Takes ownership of an open handle.
    void Adopt(std::intptr_t handle);
    // Writes all n bytes at the position; false on any failure.
    [[nodiscard]] bool Write(const void* buffer, std::size_t n);
    // Exactly n bytes at `offset`, the position untouched; false on any failure or a short file.
    [[nodiscard]] bool ReadAt(std::uint64_t offset, void* buffer, std::size_t n);
    [[nodiscard]] bool WriteAt(std::uint64_t offset, const void* buffer, std::size_t n);
    // Cuts or extends the file to n bytes.
    [[nodiscard]] bool SetLength(std::uint64_t n);
    [[nodiscard]] std::optional<std::uint64_t> QueryLength() const;
    // Written bytes reach the storage device (fsync on POSIX); false on failure.
    [[nodiscard]] bool Flush();

    std::intptr_t handle_ = kNoHandle;  // fd on POSIX, HANDLE on Windows
    std::uint64_t length_ = 0;          // length at open time
    std::uint64_t position_ = 0;
};

// One save of exactly `size` bytes to a destination path, with the rights a
// plain open for writing of that path would need, never losing the old file
// when the save fails. Begin picks the route once:
//
// - a new file (a dangling symbolic link names the file to create) is written
//   unnamed in its folder (O_TMPFILE on Linux, else a short temporary name)
//   and linked in under its name when complete, never over a file that
//   appeared meanwhile;
// - an existing regular file, symbolic links followed, must be one the caller
//   could open for writing and one with a write permission bit (or, on
//   Windows, without the read-only attribute). With one link, and an owner,
//   group, mode and extended attributes the caller can give a new file, the
//   new file gets them and is renamed over it (ReplaceFileA on Windows);
//   otherwise (several links, another user's file, a folder the caller may
//   not write) the file is rewritten in place once the new one is complete
//   in a temporary, its old bytes kept aside to be put back if the rewrite
//   fails;
// - a FIFO or character device is written straight through;
// - a directory, socket or block device is refused.
//
// A size above the process's file-size limit or the free space is refused
// before anything is created. Until Commit succeeds the destination stays as
// it was (a FIFO or device has then received what was written); temporaries
// are unnamed or removed on every failure and by the destructor.
class ReplacingFile {
public:
    ReplacingFile() = default;
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;
    ~ReplacingFile();

    // Checks the destination and the limits and opens where the bytes go;
    // false, with nothing created or changed, when the save cannot be made.
    [[nodiscard]] bool Begin(const char* destination, std::uint64_t size);
    // Writes the next bytes of the file; false past the size given to Begin or
    // on any failure, which abandons the save.
    [[nodiscard]] bool Write(std::span<const std::uint8_t> bytes);
    // Puts the complete file in place, synced to disk with its folder; false
    // when fewer bytes than planned were written or any step failed, with the
    // destination as it was (or, when only the folder's sync failed, already
    // holding the new file).
    [[nodiscard]] bool Commit();

private:
    enum class Route : std::uint8_t { None, Stream, Create, Rename, InPlace };
    [[nodiscard]] bool BeginStream();
    [[nodiscard]] bool BeginNew(const std::string& path);
    [[nodiscard]] bool BeginExisting(bool readable, std::uint64_t links);
    [[nodiscard]] bool BeginInPlace(bool readable, const std::string& folder);
    [[nodiscard]] bool CreateTemporary(const std::string& folder, bool scratch, File& file);
    [[nodiscard]] bool CommitRoute();
    [[nodiscard]] bool CommitInPlace();
    void Discard();
    // Copies n bytes from the start of `from` over the start of `to`, and cuts `to` to n bytes.
    [[nodiscard]] static bool CopyOver(File& from, File& to, std::uint64_t n, std::vector<std::uint8_t>& buffer);

    Route route_ = Route::None;
    std::uint64_t size_ = 0;
    std::uint64_t written_ = 0;
    File out_;                   // where Write goes: the new file, or the FIFO or device
    File target_;                // the existing destination, for a rewrite in place
    std::string path_;           // the name the new file takes (links followed)
    std::string temporary_;      // a named temporary to remove on failure; "" when none
    std::string scratchFolder_;  // where a rewrite in place keeps the old bytes
    bool sigpipeHeld_ = false;   // POSIX streams: SIGPIPE blocked by this save
    bool sigpipeWasPending_ = false;
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
