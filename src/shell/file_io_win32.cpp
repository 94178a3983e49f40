// The Win32 adapters of file_io.h: one system call each. Paths are narrow
// strings in the ANSI code page, passed through unchanged.
#include <windows.h>

#include <cerrno>

#include "shell/file_io.h"

namespace tessaly::io {
namespace {

HANDLE AsHandle(Handle h) { return reinterpret_cast<HANDLE>(h); }

OVERLAPPED At(std::uint64_t offset) {
    OVERLAPPED o{};
    o.Offset = static_cast<DWORD>(offset);
    o.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return o;
}

}  // namespace

int ErrnoOf(unsigned long error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_DIRECTORY: return ENOTDIR;
    case ERROR_WRITE_PROTECT: return EROFS;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA: return EPIPE;
    default: return EIO;
    }
}

int LastError() { return ErrnoOf(GetLastError()); }

Outcome OpenForReading(const char* path, Handle& handle, std::uint64_t& length) {
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD attributes = GetFileAttributesA(path);
        const bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
        return {Reason::CannotOpen, folder ? EISDIR : LastError()};
    }
    LARGE_INTEGER size{};
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileSizeEx(h, &size)) {
        CloseHandle(h);
        return {Reason::CannotOpen, EINVAL};
    }
    handle = reinterpret_cast<Handle>(h);
    length = static_cast<std::uint64_t>(size.QuadPart);
    return {};
}

std::optional<std::size_t> ReadOnce(Handle h, std::uint64_t offset, std::uint8_t* out, std::size_t n, int& error) {
    OVERLAPPED at = At(offset);
    DWORD got = 0;
    if (ReadFile(AsHandle(h), out, static_cast<DWORD>(n), &got, &at)) return got;
    if (GetLastError() == ERROR_HANDLE_EOF) return 0;
    error = LastError();
    return std::nullopt;
}

std::optional<std::size_t> WriteOnce(Handle h, std::uint64_t offset, const std::uint8_t* in, std::size_t n,
                                     int& error) {
    OVERLAPPED at = At(offset);
    DWORD put = 0;
    if (WriteFile(AsHandle(h), in, static_cast<DWORD>(n), &put, &at)) return put;
    error = LastError();
    return std::nullopt;
}

std::optional<std::size_t> WriteNextOnce(Handle h, const std::uint8_t* in, std::size_t n, int& error) {
    DWORD put = 0;
    if (WriteFile(AsHandle(h), in, static_cast<DWORD>(n), &put, nullptr)) return put;
    error = LastError();
    return std::nullopt;
}

std::optional<std::size_t> WriteGatherOnce(Handle h, std::optional<std::uint64_t> offset,
                                           std::span<const std::span<const std::uint8_t>> pieces, int& error) {
    // WriteFileGather takes whole pages only: the first piece alone.
    const std::span<const std::uint8_t> first = pieces.empty() ? std::span<const std::uint8_t>() : pieces[0];
    return offset ? WriteOnce(h, *offset, first.data(), first.size(), error)
                  : WriteNextOnce(h, first.data(), first.size(), error);
}

bool SetLength(Handle h, std::uint64_t n) {
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(n);
    return SetFilePointerEx(AsHandle(h), to, nullptr, FILE_BEGIN) && SetEndOfFile(AsHandle(h));
}

std::optional<std::uint64_t> LengthOf(Handle h) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(AsHandle(h), &size)) return std::nullopt;
    return static_cast<std::uint64_t>(size.QuadPart);
}

bool Sync(Handle h) { return FlushFileBuffers(AsHandle(h)) != 0; }

bool Close(Handle h) { return h == kNoHandle || CloseHandle(AsHandle(h)) != 0; }

}  // namespace tessaly::io
