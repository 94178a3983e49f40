// POSIX and Win32 implementations of the file service. Paths are passed to the
// system unchanged (narrow strings; the ANSI code page on Windows).
#include "shell/file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tessaly {
namespace {

// Limit: one system call moves at most 1 GiB, well inside every platform's per-call limit.
constexpr std::size_t kMaxIoChunk = std::size_t{1} << 30;

std::vector<char> CopyPath(const char* path) {
    return std::vector<char>(path, path + std::strlen(path) + 1);
}

// A name in the destination's folder that no other save is likely to pick.
std::vector<char> TemporaryNameFor(const char* destination) {
    static_assert(sizeof(unsigned long long) == 8);
    std::random_device entropy;
    const unsigned long long tag = (static_cast<unsigned long long>(entropy()) << 32) ^ entropy();
    std::string name(destination);
    name += ".tessaly-";
    static constexpr char kHex[] = "0123456789abcdef";
    for (int shift = 60; shift >= 0; shift -= 4) name += kHex[(tag >> shift) & 0xF];
    name += ".tmp";
    return std::vector<char>(name.c_str(), name.c_str() + name.size() + 1);
}

}  // namespace

#ifdef _WIN32

namespace {
HANDLE AsHandle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }
}  // namespace

FileStatus GetStatus(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return {};
    return {true, (attributes & FILE_ATTRIBUTE_READONLY) ? kAttributeReadOnly : 0u};
}

bool File::Open(const char* path, unsigned flags) {
    if (IsOpen()) return false;
    const bool write = flags == kOpenCreateWrite;
    HANDLE h = CreateFileA(path, write ? GENERIC_WRITE : GENERIC_READ,
                           write ? 0 : FILE_SHARE_READ, nullptr,
                           write ? CREATE_NEW : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size{};
    if (!write && !GetFileSizeEx(h, &size)) {
        CloseHandle(h);
        return false;
    }
    handle_ = reinterpret_cast<std::intptr_t>(h);
    length_ = write ? 0 : static_cast<std::uint64_t>(size.QuadPart);
    position_ = 0;
    return true;
}

std::size_t File::Read(void* buffer, std::size_t n) {
    if (!IsOpen()) throw FileError("read from a closed file");
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < n) {
        const DWORD want = static_cast<DWORD>(std::min(n - done, kMaxIoChunk));
        DWORD got = 0;
        if (!ReadFile(AsHandle(handle_), out + done, want, &got, nullptr))
            throw FileError("read failed");
        if (got == 0) break;
        done += got;
    }
    position_ += done;
    return done;
}

void File::Seek(std::uint64_t offset) {
    if (!IsOpen()) throw FileError("seek in a closed file");
    position_ = offset;
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(position_);
    if (!SetFilePointerEx(AsHandle(handle_), to, nullptr, FILE_BEGIN)) throw FileError("seek failed");
}

bool File::Write(const void* buffer, std::size_t n) {
    if (!IsOpen()) return false;
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < n) {
        const DWORD want = static_cast<DWORD>(std::min(n - done, kMaxIoChunk));
        DWORD put = 0;
        if (!WriteFile(AsHandle(handle_), in + done, want, &put, nullptr) || put == 0) return false;
        done += put;
    }
    position_ += done;
    length_ = position_;
    return true;
}

bool File::WriteAt(std::uint64_t offset, const void* buffer, std::size_t n) {
    if (!IsOpen() || offset + n > length_) return false;
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(AsHandle(handle_), to, nullptr, FILE_BEGIN)) return false;
    const std::uint64_t end = length_;
    position_ = offset;
    if (!Write(buffer, n)) return false;
    length_ = end;
    to.QuadPart = static_cast<LONGLONG>(end);
    position_ = end;
    return SetFilePointerEx(AsHandle(handle_), to, nullptr, FILE_BEGIN) != 0;
}

bool File::Flush() { return IsOpen() && FlushFileBuffers(AsHandle(handle_)); }

bool File::Close() {
    if (!IsOpen()) return true;
    const bool ok = CloseHandle(AsHandle(handle_));
    handle_ = kNoHandle;
    return ok;
}

bool ReplacingFile::Commit() {
    if (!file_.Flush() || !file_.Close()) {
        Discard();
        return false;
    }
    if (!MoveFileExA(temporary_.data(), destination_.data(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        Discard();
        return false;
    }
    temporary_.clear();
    return true;
}

void ReplacingFile::Discard() {
    (void)file_.Close();  // the file is removed next; its close result no longer matters
    if (!temporary_.empty()) DeleteFileA(temporary_.data());
    temporary_.clear();
}

#else

FileStatus GetStatus(const char* path) {
    struct stat st {};
    if (::stat(path, &st) != 0) return {};
    const bool anyWrite = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
    return {true, anyWrite ? 0u : kAttributeReadOnly};
}

bool File::Open(const char* path, unsigned flags) {
    if (IsOpen()) return false;
    const bool write = flags == kOpenCreateWrite;
    if (!write && flags != kOpenRead) return false;
    // Writing always makes a fresh file (the codec writes only temporary files it named itself).
    // Reading opens without blocking, so a FIFO or device named as an image cannot stall the host,
    // and never takes a terminal as the host's controlling terminal.
    const int fd = write ? ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666)
                         : ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return false;
    std::uint64_t length = 0;
    if (!write) {
        // Only regular files are images; their length is known before the first read.
        struct stat st {};
        const bool stated = ::fstat(fd, &st) == 0;
        if (!stated || !S_ISREG(st.st_mode) || ::fcntl(fd, F_SETFL, 0) != 0) {
            const int why = !stated ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
            ::close(fd);
            errno = why;
            return false;
        }
        length = static_cast<std::uint64_t>(st.st_size);
    }
    handle_ = fd;
    length_ = length;
    position_ = 0;
    return true;
}

std::size_t File::Read(void* buffer, std::size_t n) {
    if (!IsOpen()) throw FileError("read from a closed file");
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < n) {
        const ssize_t got = ::read(static_cast<int>(handle_), out + done, std::min(n - done, kMaxIoChunk));
        if (got < 0) {
            if (errno == EINTR) continue;
            throw FileError(std::strerror(errno));
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    position_ += done;
    return done;
}

void File::Seek(std::uint64_t offset) {
    if (!IsOpen()) throw FileError("seek in a closed file");
    position_ = offset;
    if (::lseek(static_cast<int>(handle_), static_cast<off_t>(position_), SEEK_SET) < 0)
        throw FileError(std::strerror(errno));
}

bool File::Write(const void* buffer, std::size_t n) {
    if (!IsOpen()) return false;
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < n) {
        const ssize_t put = ::write(static_cast<int>(handle_), in + done, std::min(n - done, kMaxIoChunk));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += static_cast<std::size_t>(put);
    }
    position_ += done;
    length_ = position_;
    return true;
}

bool File::WriteAt(std::uint64_t offset, const void* buffer, std::size_t n) {
    if (!IsOpen() || offset + n > length_) return false;
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < n) {
        const ssize_t put = ::pwrite(static_cast<int>(handle_), in + done, n - done, static_cast<off_t>(offset + done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += static_cast<std::size_t>(put);
    }
    return true;
}

bool File::Flush() { return IsOpen() && ::fsync(static_cast<int>(handle_)) == 0; }

bool File::Close() {
    if (!IsOpen()) return true;
    const int rc = ::close(static_cast<int>(handle_));
    handle_ = kNoHandle;
    // POSIX leaves the descriptor closed even when close reports EINTR.
    return rc == 0;
}

bool ReplacingFile::Commit() {
    if (!file_.Flush() || !file_.Close() || ::rename(temporary_.data(), destination_.data()) != 0) {
        Discard();
        return false;
    }
    temporary_.clear();
    return true;
}

void ReplacingFile::Discard() {
    (void)file_.Close();  // the file is removed next; its close result no longer matters
    if (!temporary_.empty()) ::unlink(temporary_.data());
    temporary_.clear();
}

#endif

File::~File() { (void)Close(); }  // a destructor has nobody to report to

bool ReplacingFile::Begin(const char* destination) {
    if (file_.IsOpen()) return false;
    destination_ = CopyPath(destination);
    // A name clash with an existing file makes the exclusive create fail; a few tries settle it.
    for (int attempt = 0; attempt < 8; ++attempt) {
        temporary_ = TemporaryNameFor(destination);
        if (file_.Open(temporary_.data(), kOpenCreateWrite)) return true;
    }
    temporary_.clear();
    return false;
}

ReplacingFile::~ReplacingFile() {
    if (!temporary_.empty()) Discard();
}

}  // namespace tessaly
