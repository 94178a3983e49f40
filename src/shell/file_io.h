// The file service's lowest layer: handles on open files and the system calls
// the service makes through them. Each platform supplies one thin adapter per
// call (file_io_posix.cpp, file_io_win32.cpp: one system call, no loop); the
// loops over them (whole reads and writes, copies) are written once, in
// file_io.cpp. Errors are errno values on every platform (Windows errors are
// mapped), so outcomes read the same everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "shell/outcome.h"

namespace tessaly::io {

using Handle = std::intptr_t;  // fd on POSIX, HANDLE on Windows
inline constexpr Handle kNoHandle = -1;
#if !defined(_WIN32)
// The file descriptor a POSIX handle is.
inline int Fd(Handle h) { return static_cast<int>(h); }
#endif

// ---- One system call each (platform adapters) ----

// Opens an existing regular file for reading: never waits on a FIFO or
// device, never takes a terminal as the caller's own. CannotOpen with the
// system's reason (EISDIR for a folder, EINVAL for anything but a regular file).
[[nodiscard]] Outcome OpenForReading(const char* path, Handle& handle, std::uint64_t& length);
// Moves at most n bytes at `offset`: the count (0 only at the end of the file
// when reading), or nullopt with `error` set. Interrupted calls are repeated.
std::optional<std::size_t> ReadOnce(Handle h, std::uint64_t offset, std::uint8_t* out, std::size_t n, int& error);
std::optional<std::size_t> WriteOnce(Handle h, std::uint64_t offset, const std::uint8_t* in, std::size_t n, int& error);
// The same at the handle's own position, for pipes and devices, which have no offset.
std::optional<std::size_t> WriteNextOnce(Handle h, const std::uint8_t* in, std::size_t n, int& error);
// Writes pieces, in order, as one run of bytes at `offset` (nullopt: at the
// handle's position) in one call: the count the call took (from the first
// pieces; POSIX takes up to kGatherPieces of them, Windows the first alone),
// or nullopt with `error` set. Interrupted calls are repeated.
inline constexpr std::size_t kGatherPieces = 256;
std::optional<std::size_t> WriteGatherOnce(Handle h, std::optional<std::uint64_t> offset,
                                           std::span<const std::span<const std::uint8_t>> pieces, int& error);
[[nodiscard]] bool SetLength(Handle h, std::uint64_t n);
[[nodiscard]] std::optional<std::uint64_t> LengthOf(Handle h);
// Written bytes reach the storage device.
[[nodiscard]] bool Sync(Handle h);
// Closes the handle; false when the close reported an error. kNoHandle is a no-op.
bool Close(Handle h);
// The errno value of the calling thread's last failed call.
int LastError();
#if defined(_WIN32)
// The errno value that stands for a Windows error code.
int ErrnoOf(unsigned long windowsError);
#endif

// ---- Loops, written once (file_io.cpp) ----

// Up to out.size() bytes at `offset`, fewer only at the end of the file; error set on an I/O error.
std::size_t ReadAt(Handle h, std::uint64_t offset, std::span<std::uint8_t> out, int& error);
// All of `bytes` at `offset` (or, with `offset` nullopt, at the handle's position).
[[nodiscard]] Outcome WriteAll(Handle h, std::optional<std::uint64_t> offset, std::span<const std::uint8_t> bytes);
// All of `pieces`, in order, from `offset` on (or at the handle's position), in
// as few calls as the platform allows; the bytes written before a failure stay.
[[nodiscard]] Outcome WriteAllGathered(Handle h, std::optional<std::uint64_t> offset,
                                       std::span<const std::span<const std::uint8_t>> pieces);
// Copies the first n bytes of `from` over the start of `to` and cuts `to` to n bytes.
[[nodiscard]] bool CopyOver(Handle from, Handle to, std::uint64_t n, std::vector<std::uint8_t>& buffer);

// An open handle with one owner: closed by the destructor.
class OwnedHandle {
public:
    OwnedHandle() = default;
    explicit OwnedHandle(Handle h) : h_(h) {}
    OwnedHandle(OwnedHandle&& other) noexcept : h_(other.Release()) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() { (void)Close(h_); }  // a destructor has nobody to report to

    [[nodiscard]] Handle Get() const { return h_; }
    [[nodiscard]] bool IsOpen() const { return h_ != kNoHandle; }
    Handle Release() {
        const Handle h = h_;
        h_ = kNoHandle;
        return h;
    }
    void Reset(Handle h = kNoHandle) {
        (void)Close(h_);  // a handle being replaced was only read from, or is being abandoned
        h_ = h;
    }
    // Closes now, reporting the close's result.
    [[nodiscard]] bool CloseNow() { return Close(Release()); }

private:
    Handle h_ = kNoHandle;
};

}  // namespace tessaly::io
