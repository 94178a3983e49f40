// POSIX and Win32 implementations of the file service. Paths are passed to the
// system unchanged (narrow strings; the ANSI code page on Windows).
#if !defined(_WIN32) && !defined(_FILE_OFFSET_BITS)
#define _FILE_OFFSET_BITS 64  // 64-bit offsets on 32-bit Linux too: a BMP file may pass 2 GiB
#endif

#include "shell/file.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>
#endif

namespace tessaly {
namespace {

// Limit: one system call moves at most 1 GiB, well inside every platform's per-call limit.
constexpr std::size_t kMaxIoChunk = std::size_t{1} << 30;
// Limit: a rewrite in place copies through a buffer of this size.
constexpr std::size_t kCopyChunk = 256 * 1024;

#ifdef _WIN32
constexpr const char* kSeparators = "\\/:";
#else
constexpr const char* kSeparators = "/";
#endif

// The folder part of a path, separator included ("" for a bare name).
std::string FolderOf(const std::string& path) {
    const std::size_t cut = path.find_last_of(kSeparators);
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

// A temporary's name in `folder`: fixed length whatever the destination's
// name, so any name the folder accepts can be saved.
std::string TemporaryNameIn(const std::string& folder) {
    std::random_device entropy;
    const std::uint32_t tag = entropy();
    static constexpr char kHex[] = "0123456789abcdef";
    std::string name = folder + ".tessaly-";
    for (int shift = 28; shift >= 0; shift -= 4) name += kHex[(tag >> shift) & 0xF];
    return name + ".tmp";
}

}  // namespace

#ifdef _WIN32

namespace {

HANDLE AsHandle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

OVERLAPPED At(std::uint64_t offset) {
    OVERLAPPED o{};
    o.Offset = static_cast<DWORD>(offset);
    o.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return o;
}

std::optional<std::uint64_t> FreeBytes(const std::string& folder) {
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExA(folder.empty() ? nullptr : folder.c_str(), &available, nullptr, nullptr))
        return std::nullopt;
    return available.QuadPart;
}

std::string SystemTemporaryFolder() {
    char buffer[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof buffer, buffer);
    return n == 0 || n > MAX_PATH ? std::string() : std::string(buffer, n);
}

// Windows sets no file-size limit on a process.
bool WithinFileSizeLimit(std::uint64_t) { return true; }

// The system follows links when it opens a file; a name to create is used as given.
std::optional<std::string> FollowLinks(std::string path) { return path; }

// ReplaceFileA carries attributes, ACLs and streams over at Commit.
bool CarryOver(std::intptr_t, std::intptr_t) { return true; }

void RemoveFile(const std::string& path) { DeleteFileA(path.c_str()); }

// The path of the file an open handle reaches, links followed, in its
// ordinary form (C:\dir\name, \\server\share\name, without the \\?\ prefix); "" when
// the system cannot say.
std::string FinalPathOf(HANDLE h) {
    char buffer[MAX_PATH + 8];
    const DWORD n = GetFinalPathNameByHandleA(h, buffer, sizeof buffer, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= sizeof buffer) return {};
    const std::string path(buffer, n);
    if (path.rfind("\\\\?\\UNC\\", 0) == 0) return "\\\\" + path.substr(8);
    return path.rfind("\\\\?\\", 0) == 0 ? path.substr(4) : path;
}

}  // namespace

void File::Adopt(std::intptr_t handle) {
    (void)Close();  // nothing was written through a handle being replaced
    handle_ = handle;
    length_ = position_ = 0;
}

bool File::Open(const char* path, unsigned flags) {
    if (IsOpen() || flags != kOpenRead) return false;
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(h, &size)) {
        CloseHandle(h);
        return false;
    }
    handle_ = reinterpret_cast<std::intptr_t>(h);
    length_ = static_cast<std::uint64_t>(size.QuadPart);
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
        if (!ReadFile(AsHandle(handle_), out + done, want, &got, nullptr)) throw FileError("read failed");
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
    return true;
}

bool File::ReadAt(std::uint64_t offset, void* buffer, std::size_t n) {
    auto* out = static_cast<std::uint8_t*>(buffer);
    for (std::size_t done = 0; done < n;) {
        OVERLAPPED at = At(offset + done);
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min(n - done, kMaxIoChunk));
        if (!IsOpen() || !ReadFile(AsHandle(handle_), out + done, want, &got, &at) || got == 0) return false;
        done += got;
    }
    return true;
}

bool File::WriteAt(std::uint64_t offset, const void* buffer, std::size_t n) {
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    for (std::size_t done = 0; done < n;) {
        OVERLAPPED at = At(offset + done);
        DWORD put = 0;
        const DWORD want = static_cast<DWORD>(std::min(n - done, kMaxIoChunk));
        if (!IsOpen() || !WriteFile(AsHandle(handle_), in + done, want, &put, &at) || put == 0) return false;
        done += put;
    }
    return true;
}

bool File::SetLength(std::uint64_t n) {
    LARGE_INTEGER to{};
    to.QuadPart = static_cast<LONGLONG>(n);
    return IsOpen() && SetFilePointerEx(AsHandle(handle_), to, nullptr, FILE_BEGIN) &&
           SetEndOfFile(AsHandle(handle_));
}

std::optional<std::uint64_t> File::QueryLength() const {
    LARGE_INTEGER size{};
    if (!IsOpen() || !GetFileSizeEx(AsHandle(handle_), &size)) return std::nullopt;
    return static_cast<std::uint64_t>(size.QuadPart);
}

bool File::Flush() { return IsOpen() && FlushFileBuffers(AsHandle(handle_)); }

bool File::Close() {
    if (!IsOpen()) return true;
    const bool ok = CloseHandle(AsHandle(handle_));
    handle_ = kNoHandle;
    return ok;
}

bool ReplacingFile::Begin(const char* destination, std::uint64_t size) {
    if (route_ != Route::None) return false;
    size_ = size;
    written_ = 0;
    // Opening the existing file for writing is the permission check: the
    // read-only attribute or the file's ACL refuse it as they refuse any writer.
    constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    bool readable = true;
    HANDLE h = CreateFileA(destination, GENERIC_READ | GENERIC_WRITE, kShare, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
        readable = false;
        h = CreateFileA(destination, GENERIC_WRITE, kShare, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND && BeginNew(destination);
    target_.Adopt(reinterpret_cast<std::intptr_t>(h));
    const DWORD type = GetFileType(h);
    if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) return BeginStream();
    BY_HANDLE_FILE_INFORMATION info{};
    if (type != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        Discard();
        return false;
    }
    path_ = FinalPathOf(h);
    if (path_.empty()) path_ = destination;
    return BeginExisting(readable, info.nNumberOfLinks);
}

bool ReplacingFile::BeginStream() {
    // Writes go straight to the device or pipe.
    out_.Adopt(target_.handle_);
    target_.handle_ = File::kNoHandle;
    route_ = Route::Stream;
    return true;
}

bool ReplacingFile::CreateTemporary(const std::string& folder, bool scratch, File& file) {
    // A scratch file vanishes when closed, whatever ends the process; a
    // temporary to be put in place keeps its name until then.
    const DWORD access = scratch ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
    const DWORD flags = scratch ? FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE : FILE_ATTRIBUTE_NORMAL;
    for (int attempt = 0; attempt < 8; ++attempt) {
        const std::string name = TemporaryNameIn(folder);
        HANDLE h = CreateFileA(name.c_str(), access, 0, nullptr, CREATE_NEW, flags, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            file.Adopt(reinterpret_cast<std::intptr_t>(h));
            if (!scratch) temporary_ = name;
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) return false;
    }
    return false;
}

bool ReplacingFile::CommitRoute() {
    if (!out_.Flush() || !out_.Close()) return false;
    if (route_ == Route::Create) {
        // Never over a file that appeared since Begin.
        if (!MoveFileExA(temporary_.c_str(), path_.c_str(), MOVEFILE_WRITE_THROUGH)) return false;
        temporary_.clear();
        return true;
    }
    // ReplaceFileA gives the new file the old one's attributes, ACLs and
    // streams. With a backup name, whatever step fails leaves the old file
    // under its own name or under the backup's, from where it is moved back.
    const std::string backup = TemporaryNameIn(FolderOf(path_));
    if (!ReplaceFileA(path_.c_str(), temporary_.c_str(), backup.c_str(), 0, nullptr, nullptr)) {
        if (GetFileAttributesA(path_.c_str()) == INVALID_FILE_ATTRIBUTES &&
            GetFileAttributesA(backup.c_str()) != INVALID_FILE_ATTRIBUTES)
            MoveFileExA(backup.c_str(), path_.c_str(), MOVEFILE_WRITE_THROUGH);
        return false;
    }
    temporary_.clear();
    DeleteFileA(backup.c_str());  // the old file, no longer needed; the save has succeeded either way
    return true;
}

void ReplacingFile::Discard() {
    (void)out_.Close();  // the save is abandoned; close results no longer matter
    (void)target_.Close();
    if (!temporary_.empty()) RemoveFile(temporary_);
    temporary_.clear();
    route_ = Route::None;
}

#else

namespace {

int Fd(std::intptr_t h) { return static_cast<int>(h); }

std::optional<std::uint64_t> FreeBytes(const std::string& folder) {
    struct statvfs fs {};
    if (::statvfs(folder.empty() ? "." : folder.c_str(), &fs) != 0) return std::nullopt;
    return std::uint64_t{fs.f_bavail} * fs.f_frsize;
}

std::string SystemTemporaryFolder() {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/";
}

// False when a file of n bytes would pass the process's RLIMIT_FSIZE: the
// write that crossed it would raise SIGXFSZ, which kills the host.
bool WithinFileSizeLimit(std::uint64_t n) {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0) return false;
    return limit.rlim_cur == RLIM_INFINITY || n <= static_cast<std::uint64_t>(limit.rlim_cur);
}

// The name a plain open of `path` would reach: the last component's symbolic
// links followed (40 at most, as the kernel allows) to a name that is not a
// link, or does not exist yet.
std::optional<std::string> FollowLinks(std::string path) {
    for (int hop = 0; hop <= 40; ++hop) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? std::optional(path) : std::nullopt;
        if (!S_ISLNK(st.st_mode)) return path;
        char target[4096];
        const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target) return std::nullopt;
        path = target[0] == '/' ? std::string(target, static_cast<std::size_t>(n))
                                : FolderOf(path) + std::string(target, static_cast<std::size_t>(n));
    }
    return std::nullopt;
}

void RemoveFile(const std::string& path) { ::unlink(path.c_str()); }

// Gives the new file what the old one has: owner and group, extended
// attributes (ACLs among them) and mode. False when any of it cannot be set.
bool CarryOver(std::intptr_t fromHandle, std::intptr_t toHandle) {
    const int from = Fd(fromHandle), to = Fd(toHandle);
    struct stat st {};
    if (::fstat(from, &st) != 0) return false;
    // Owner and group first: changing them clears set-user-ID and set-group-ID bits.
    if (::fchown(to, st.st_uid, st.st_gid) != 0) return false;
    const ssize_t listed = ::flistxattr(from, nullptr, 0);
    if (listed < 0 && errno != ENOTSUP) return false;
    std::vector<char> names(listed > 0 ? static_cast<std::size_t>(listed) : 0);
    if (listed > 0 && ::flistxattr(from, names.data(), names.size()) != listed) return false;
    bool hasAcl = false;
    std::vector<char> value;
    for (std::size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1) {
        const char* name = &names[at];
        hasAcl = hasAcl || std::strcmp(name, "system.posix_acl_access") == 0;
        const ssize_t n = ::fgetxattr(from, name, nullptr, 0);
        if (n < 0) return false;
        value.resize(static_cast<std::size_t>(n));
        if (::fgetxattr(from, name, value.data(), value.size()) != n ||
            ::fsetxattr(to, name, value.data(), value.size(), 0) != 0)
            return false;
    }
    // A folder's default ACL may have given the new file entries the old one lacks.
    if (!hasAcl && ::fremovexattr(to, "system.posix_acl_access") != 0 && errno != ENODATA && errno != ENOTSUP)
        return false;
    return ::fchmod(to, st.st_mode & 07777) == 0;
}

// The new name for an unnamed file, made only when the name is free.
bool LinkUnnamed(int fd, const std::string& name) {
    if (::linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0) return true;  // needs CAP_DAC_READ_SEARCH
    if (errno == EEXIST) return false;
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// Makes a rename or link in `folder` durable.
bool SyncFolder(const std::string& folder) {
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno == EACCES;  // a folder the caller may not read cannot be synced by it
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

void File::Adopt(std::intptr_t handle) {
    (void)Close();  // nothing was written through a handle being replaced
    handle_ = handle;
    length_ = position_ = 0;
}

bool File::Open(const char* path, unsigned flags) {
    if (IsOpen() || flags != kOpenRead) return false;
    // Opened without blocking, so a FIFO or device named as an image cannot stall the host,
    // and never taking a terminal as the host's controlling terminal.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return false;
    // Only regular files are images; their length is known before the first read.
    struct stat st {};
    const bool stated = ::fstat(fd, &st) == 0;
    if (!stated || !S_ISREG(st.st_mode) || ::fcntl(fd, F_SETFL, 0) != 0) {
        const int why = !stated ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        errno = why;
        return false;
    }
    handle_ = fd;
    length_ = static_cast<std::uint64_t>(st.st_size);
    position_ = 0;
    return true;
}

std::size_t File::Read(void* buffer, std::size_t n) {
    if (!IsOpen()) throw FileError("read from a closed file");
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < n) {
        const ssize_t got = ::read(Fd(handle_), out + done, std::min(n - done, kMaxIoChunk));
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
    if (::lseek(Fd(handle_), static_cast<off_t>(position_), SEEK_SET) < 0) throw FileError(std::strerror(errno));
}

bool File::Write(const void* buffer, std::size_t n) {
    if (!IsOpen()) return false;
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < n) {
        const ssize_t put = ::write(Fd(handle_), in + done, std::min(n - done, kMaxIoChunk));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += static_cast<std::size_t>(put);
    }
    position_ += done;
    return true;
}

bool File::ReadAt(std::uint64_t offset, void* buffer, std::size_t n) {
    auto* out = static_cast<std::uint8_t*>(buffer);
    for (std::size_t done = 0; done < n;) {
        const ssize_t got = ::pread(Fd(handle_), out + done, std::min(n - done, kMaxIoChunk),
                                    static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

bool File::WriteAt(std::uint64_t offset, const void* buffer, std::size_t n) {
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    for (std::size_t done = 0; done < n;) {
        const ssize_t put = ::pwrite(Fd(handle_), in + done, std::min(n - done, kMaxIoChunk),
                                     static_cast<off_t>(offset + done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += static_cast<std::size_t>(put);
    }
    return true;
}

bool File::SetLength(std::uint64_t n) { return IsOpen() && ::ftruncate(Fd(handle_), static_cast<off_t>(n)) == 0; }

std::optional<std::uint64_t> File::QueryLength() const {
    struct stat st {};
    if (!IsOpen() || ::fstat(Fd(handle_), &st) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

bool File::Flush() { return IsOpen() && ::fsync(Fd(handle_)) == 0; }

bool File::Close() {
    if (!IsOpen()) return true;
    const int rc = ::close(Fd(handle_));
    handle_ = kNoHandle;
    // POSIX leaves the descriptor closed even when close reports EINTR.
    return rc == 0;
}

bool ReplacingFile::Begin(const char* destination, std::uint64_t size) {
    if (route_ != Route::None) return false;
    size_ = size;
    written_ = 0;
    struct stat st {};
    if (::stat(destination, &st) != 0) return errno == ENOENT && BeginNew(destination);
    const bool stream = S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode);
    if (!stream && !S_ISREG(st.st_mode)) return false;  // a directory, socket or block device
    // Opening the existing file for writing is the permission check, made with
    // the caller's own rights. A FIFO's open waits for its reader, as any
    // writer's does; a regular file's never waits. Reading too lets a rewrite
    // in place keep the old bytes aside.
    constexpr int kFlags = O_NOCTTY | O_CLOEXEC;
    int fd = stream ? ::open(destination, O_WRONLY | kFlags) : ::open(destination, O_RDWR | O_NONBLOCK | kFlags);
    const bool readable = fd >= 0 && !stream;
    if (fd < 0 && !stream && errno == EACCES) fd = ::open(destination, O_WRONLY | O_NONBLOCK | kFlags);
    if (fd < 0) return false;
    target_.Adopt(fd);
    // The file opened is the one judged, even if the name changed meanwhile.
    if (::fstat(fd, &st) != 0 || stream != (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) ||
        (!stream && !S_ISREG(st.st_mode))) {
        Discard();
        return false;
    }
    if (stream) return BeginStream();
    // Compat: a file without any write permission bit is read-only and refused
    // even for root, as Windows refuses a file with the read-only attribute.
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || !WithinFileSizeLimit(size_)) {
        Discard();
        return false;
    }
    // The new file replaces the old under the name the links lead to, when
    // that name still reaches the file opened (else only a rewrite reaches it).
    const auto name = FollowLinks(destination);
    struct stat named {};
    if (name && ::lstat(name->c_str(), &named) == 0 && named.st_dev == st.st_dev && named.st_ino == st.st_ino)
        path_ = *name;
    return BeginExisting(readable, st.st_nlink);
}

bool ReplacingFile::BeginStream() {
    out_.Adopt(target_.handle_);
    target_.handle_ = File::kNoHandle;
    // Limit: a reader that goes away must not kill the host with SIGPIPE. The
    // signal is held while this save writes (the write then fails with EPIPE),
    // and one it raised is taken back in Discard.
    sigset_t pipe, before, pending;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    if (::pthread_sigmask(SIG_BLOCK, &pipe, &before) == 0 && !sigismember(&before, SIGPIPE)) {
        sigpipeHeld_ = true;
        sigpipeWasPending_ = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE);
    }
    route_ = Route::Stream;
    return true;
}

bool ReplacingFile::CreateTemporary(const std::string& folder, bool scratch, File& file) {
    const char* where = folder.empty() ? "." : folder.c_str();
    // A file put in place starts with the permissions a plain create would
    // give it (0666 less the umask) until it gets the old file's; a scratch
    // file is the caller's alone. Unnamed (O_TMPFILE) when the folder's file
    // system allows it and it can be linked in later through /proc.
    const mode_t mode = scratch ? 0600 : 0666;
    if (scratch || ::access("/proc/self/fd", X_OK) == 0) {
        const int fd = ::open(where, O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
        if (fd >= 0) {
            file.Adopt(fd);
            return true;
        }
        if (errno == EACCES || errno == EROFS || errno == ENOSPC || errno == EDQUOT) return false;
    }
    for (int attempt = 0; attempt < 8; ++attempt) {
        const std::string name = TemporaryNameIn(folder);
        const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            file.Adopt(fd);
            // A scratch file needs no name at all; a file to be put in place keeps its own until then.
            if (scratch) ::unlink(name.c_str());
            else temporary_ = name;
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

bool ReplacingFile::CommitRoute() {
    if (!out_.Flush()) return false;
    if (route_ == Route::Create) {
        // Linked in under the destination's name, never over a file that appeared since Begin.
        const bool linked = temporary_.empty() ? LinkUnnamed(Fd(out_.handle_), path_)
                                               : ::link(temporary_.c_str(), path_.c_str()) == 0;
        if (!linked) return false;
        if (!temporary_.empty()) ::unlink(temporary_.c_str());
        temporary_.clear();
        if (!out_.Close()) {
            ::unlink(path_.c_str());  // the name was new: removing it restores what was there
            return false;
        }
        return SyncFolder(FolderOf(path_));
    }
    // An unnamed file gets a temporary name first: only a rename replaces a name in one step.
    for (int attempt = 0; temporary_.empty() && attempt < 8; ++attempt) {
        const std::string name = TemporaryNameIn(FolderOf(path_));
        if (LinkUnnamed(Fd(out_.handle_), name)) temporary_ = name;
        else if (errno != EEXIST) return false;
    }
    if (temporary_.empty() || !out_.Close() || ::rename(temporary_.c_str(), path_.c_str()) != 0) return false;
    temporary_.clear();
    return SyncFolder(FolderOf(path_));
}

void ReplacingFile::Discard() {
    (void)out_.Close();  // the save is abandoned; close results no longer matter
    (void)target_.Close();
    if (!temporary_.empty()) RemoveFile(temporary_);
    temporary_.clear();
    if (sigpipeHeld_) {
        sigset_t pipe, pending;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        const timespec now{};
        if (!sigpipeWasPending_ && ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE))
            (void)::sigtimedwait(&pipe, nullptr, &now);  // ours: taken back, never delivered
        ::pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
        sigpipeHeld_ = false;
    }
    route_ = Route::None;
}

#endif

File::~File() { (void)Close(); }  // a destructor has nobody to report to

bool ReplacingFile::CopyOver(File& from, File& to, std::uint64_t n, std::vector<std::uint8_t>& buffer) {
    for (std::uint64_t at = 0; at < n;) {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), n - at));
        if (!from.ReadAt(at, buffer.data(), piece) || !to.WriteAt(at, buffer.data(), piece)) return false;
        at += piece;
    }
    return to.SetLength(n);
}

bool ReplacingFile::BeginNew(const std::string& path) {
    const auto name = FollowLinks(path);  // a dangling link names the file to create
    if (!name || !WithinFileSizeLimit(size_)) return false;
    const std::string folder = FolderOf(*name);
    if (folder.size() == name->size()) return false;  // a name ending in a separator is a folder's
    // The folder's own permissions decide, as for any new file.
    const auto room = FreeBytes(folder);
    if (!room || *room < size_ || !CreateTemporary(folder, false, out_)) return false;
    path_ = *name;
    route_ = Route::Create;
    return true;
}

bool ReplacingFile::BeginExisting(bool readable, std::uint64_t links) {
    // A rename keeps the new file's own identity, so it is the route only
    // where nothing is lost by that: one name, and every property carried over.
    const std::string folder = path_.empty() ? std::string() : FolderOf(path_);
    if (!path_.empty() && links == 1) {
        const auto room = FreeBytes(folder);
        if (room && *room >= size_ && CreateTemporary(folder, false, out_)) {
            if (CarryOver(target_.handle_, out_.handle_)) {
                (void)target_.Close();  // only read from; the rename needs it closed on Windows
                route_ = Route::Rename;
                return true;
            }
            (void)out_.Close();
            if (!temporary_.empty()) RemoveFile(temporary_);
            temporary_.clear();
        }
    }
    return BeginInPlace(readable, folder);
}

bool ReplacingFile::BeginInPlace(bool readable, const std::string& folder) {
    // The old bytes are kept aside before the rewrite, so they must be readable.
    const auto old = target_.QueryLength();
    // The copy kept aside is as large as the old file.
    if (!readable || !old || !WithinFileSizeLimit(*old)) {
        Discard();
        return false;
    }
    // The new file and the old bytes live in scratch files, in the destination's
    // folder where the caller may create files there, else in the system's
    // temporary folder. Free space is judged there, and the growth of the
    // destination as well (an overestimate when they are on different disks).
    const std::uint64_t growth = size_ > *old ? size_ - *old : 0;
    const std::string places[] = {folder, SystemTemporaryFolder()};
    for (const std::string& scratch : places) {
        if (&scratch == &places[0] && path_.empty()) continue;  // the name no longer reaches the file
        const auto room = FreeBytes(scratch);
        if (room && *room >= size_ + *old + growth && CreateTemporary(scratch, true, out_)) {
            scratchFolder_ = scratch;
            route_ = Route::InPlace;
            return true;
        }
    }
    Discard();
    return false;
}

bool ReplacingFile::CommitInPlace() {
    const auto old = target_.QueryLength();
    File kept;
    if (!old || !CreateTemporary(scratchFolder_, true, kept)) return false;
    std::vector<std::uint8_t> buffer(kCopyChunk);
    if (!CopyOver(target_, kept, *old, buffer)) return false;
    if (CopyOver(out_, target_, size_, buffer) && target_.Flush()) return true;
    // The rewrite failed part-way: the old bytes go back under every name.
    (void)(CopyOver(kept, target_, *old, buffer) && target_.Flush());
    return false;
}

bool ReplacingFile::Write(std::span<const std::uint8_t> bytes) {
    // Limit: never more than planned, so the limits checked in Begin hold.
    if (route_ == Route::None || bytes.size() > size_ - written_ || !out_.Write(bytes.data(), bytes.size())) {
        Discard();
        return false;
    }
    written_ += bytes.size();
    return true;
}

bool ReplacingFile::Commit() {
    bool ok = route_ != Route::None && written_ == size_;
    if (ok) {
        switch (route_) {
        case Route::Stream: ok = out_.Close(); break;  // a FIFO or device keeps nothing to sync
        case Route::InPlace: ok = CommitInPlace(); break;
        default: ok = CommitRoute(); break;
        }
    }
    Discard();
    return ok;
}

ReplacingFile::~ReplacingFile() {
    if (route_ != Route::None) Discard();
}

}  // namespace tessaly
