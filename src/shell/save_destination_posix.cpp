// The POSIX part of a save, learning the facts; see save_destination.h.
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "shell/save_destination.h"

namespace tessaly {
namespace {

using io::Fd;

// A kernel protection's level (/proc/sys/fs/NAME); where it cannot be read,
// the protection is taken to be on, as Debian and most systems set it.
int Protection(const char* name) {
    const std::string path = std::string("/proc/sys/fs/") + name;
    std::FILE* f = std::fopen(path.c_str(), "re");
    int level = 1;
    if (f && std::fscanf(f, "%d", &level) != 1) level = 1;
    if (f) std::fclose(f);
    return level;
}

// Whether the kernel follows a link for this caller (protected_symlinks): a
// link in a sticky world-writable folder only when the caller or the
// folder's owner owns it.
bool KernelFollows(const struct stat& folder, const struct stat& link) {
    // The cheap tests first: the level is read from /proc only when it decides.
    if (link.st_uid == ::geteuid() || folder.st_uid == link.st_uid) return true;
    if ((folder.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH)) return true;
    return Protection("protected_symlinks") == 0;
}

// Whether a plain open for writing and creating reaches an existing file
// (protected_regular, protected_fifos): in a sticky folder, another user's
// file (not the folder owner's) is refused where the folder is world-writable
// (or, at level 2, group-writable). Without a folder (a file reached through
// links whose folder cannot be named), another user's file is refused
// whenever the protection is on: the check fails closed.
bool PlainWriterOpens(const struct stat* folder, const struct stat& file) {
    const bool fifo = S_ISFIFO(file.st_mode), regular = S_ISREG(file.st_mode);
    if (!(fifo || regular) || file.st_uid == ::geteuid()) return true;
    const int level = Protection(fifo ? "protected_fifos" : "protected_regular");
    if (level == 0) return true;
    if (folder == nullptr) return false;
    if (!(folder->st_mode & S_ISVTX) || file.st_uid == folder->st_uid) return true;
    return !((folder->st_mode & S_IWOTH) || ((folder->st_mode & S_IWGRP) && level >= 2));
}

// The folder part of a path (".", "/", or the text before its last '/') and its last component.
void Split(const std::string& path, std::string& folder, std::string& name) {
    const std::size_t cut = path.find_last_of('/');
    folder = cut == std::string::npos ? "." : cut == 0 ? "/" : path.substr(0, cut);
    name = cut == std::string::npos ? path : path.substr(cut + 1);
}

int OpenFolder(int at, const std::string& path) { return ::openat(at, path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); }

// The bytes the caller may still fill there: root may also use the blocks a
// file system keeps in reserve for it.
std::uint64_t Room(const struct statvfs& fs) {
    return std::uint64_t{::geteuid() == 0 ? fs.f_bfree : fs.f_bavail} * fs.f_frsize;
}

std::optional<std::uint64_t> FreeBytes(int folder) {
    struct statvfs fs {};
    if (::fstatvfs(folder, &fs) != 0) return std::nullopt;
    return Room(fs);
}

bool MayCreateIn(int folder) { return ::faccessat(folder, ".", W_OK | X_OK, AT_EACCESS) == 0; }

bool InGroup(gid_t gid) {
    if (gid == ::getegid()) return true;
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(0, ::getgroups(0, nullptr))));
    const int n = ::getgroups(static_cast<int>(groups.size()), groups.data());
    return std::find(groups.begin(), groups.begin() + std::max(0, n), gid) != groups.begin() + std::max(0, n);
}

// Where the kernel says a file it reached through links lies: its folder and
// name, when that name still reaches the very file. False when it cannot say
// (a file no name reaches, a pipe) or the name has changed since.
bool Locate(int reached, const struct stat& st, io::OwnedHandle& folder, std::string& name, struct stat& folderStat) {
    char where[4096];
    const std::string self = "/proc/self/fd/" + std::to_string(reached);
    const ssize_t n = ::readlink(self.c_str(), where, sizeof where);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof where || where[0] != '/') return false;
    std::string folderPath, last;
    Split(std::string(where, static_cast<std::size_t>(n)), folderPath, last);
    io::OwnedHandle dir(OpenFolder(AT_FDCWD, folderPath));
    struct stat named {};
    if (!dir.IsOpen() || last.empty() || ::fstatat(Fd(dir.Get()), last.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        named.st_dev != st.st_dev || named.st_ino != st.st_ino || ::fstat(Fd(dir.Get()), &folderStat) != 0)
        return false;
    folder = std::move(dir);
    name = last;
    return true;
}

}  // namespace

void SaveDestination::Inspect(const char* path, bool waitForReader) {
    facts_ = DestinationFacts{};
    using Kind = DestinationFacts::Kind;
    std::string folderPath;
    Split(path, folderPath, name_);
    if (name_.empty()) {  // a name ending in a separator is a folder's
        facts_.kind = Kind::Other;
        facts_.folder = true;
        return;
    }
    folder_.Reset(OpenFolder(AT_FDCWD, folderPath));
    if (!folder_.IsOpen()) {
        facts_.openError = errno;
        return;
    }
    // What the name reaches: the file itself, or what the kernel reaches
    // through its links. A dangling link names the file to create, one link at
    // a time, each only where the kernel would follow it.
    struct stat folderStat {}, st {};
    io::OwnedHandle reached;
    bool throughLinks = false;
    for (int hop = 0; !reached.IsOpen(); ++hop) {
        if (hop > 40 || ::fstat(Fd(folder_.Get()), &folderStat) != 0) {
            facts_.openError = hop > 40 ? ELOOP : errno;
            return;
        }
        io::OwnedHandle link(::openat(Fd(folder_.Get()), name_.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!link.IsOpen() || ::fstat(Fd(link.Get()), &st) != 0) {
            if (errno != ENOENT) facts_.openError = errno;
            break;  // a new file
        }
        if (!S_ISLNK(st.st_mode)) {
            reached = std::move(link);
            break;
        }
        if (!KernelFollows(folderStat, st)) {
            facts_.plainWriterRefused = true;
            return;
        }
        // The kernel follows it, with its protections for every link on the way.
        reached.Reset(::openat(Fd(folder_.Get()), name_.c_str(), O_PATH | O_CLOEXEC));
        if (reached.IsOpen()) {
            throughLinks = ::fstat(Fd(reached.Get()), &st) == 0;
            if (!throughLinks) facts_.openError = errno;
            break;
        }
        if (errno != ENOENT) {
            facts_.openError = errno;
            return;
        }
        char target[4096];
        const ssize_t n = ::readlinkat(Fd(link.Get()), "", target, sizeof target);
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target) {
            facts_.openError = n < 0 ? errno : ENAMETOOLONG;
            return;
        }
        std::string next;
        Split(std::string(target, static_cast<std::size_t>(n)), folderPath, next);
        folder_.Reset(OpenFolder(target[0] == '/' ? AT_FDCWD : Fd(folder_.Get()), folderPath));
        name_ = next;
        if (!folder_.IsOpen() || name_.empty()) {
            facts_.openError = folder_.IsOpen() ? EISDIR : errno;
            return;
        }
    }
    if (facts_.openError != 0) return;
    if (throughLinks) facts_.nameReachesFile = Locate(Fd(reached.Get()), st, folder_, name_, folderStat);
    facts_.folderWritable = MayCreateIn(Fd(folder_.Get()));
    if (!facts_.folderWritable) facts_.folderError = errno;
    facts_.folderFree = FreeBytes(Fd(folder_.Get()));
    if (struct rlimit limit {}; ::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        facts_.fileSizeLimit = static_cast<std::uint64_t>(limit.rlim_cur);
    if (!reached.IsOpen()) return;

    const bool stream = S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode);
    facts_.kind = stream ? Kind::Stream : S_ISREG(st.st_mode) ? Kind::Regular : Kind::Other;
    facts_.folder = S_ISDIR(st.st_mode);
    if (facts_.kind == Kind::Other) return;
    facts_.plainWriterRefused = !PlainWriterOpens(facts_.nameReachesFile ? &folderStat : nullptr, st);
    if (facts_.plainWriterRefused) return;
    // Opening it for writing is the permission check, made with the caller's
    // own rights, on the very file looked at: by its name when it has no link
    // on the way, else through the handle the kernel's walk gave. A FIFO's open
    // waits for its reader; a regular file's never waits. Reading too lets a
    // rewrite in place keep the old bytes aside.
    const std::string self = "/proc/self/fd/" + std::to_string(Fd(reached.Get()));
    const auto open = [&](int flags) {
        flags |= O_NOCTTY | O_CLOEXEC;
        return throughLinks ? ::open(self.c_str(), flags) : ::openat(Fd(folder_.Get()), name_.c_str(), flags | O_NOFOLLOW);
    };
    // Looking only, a FIFO is not waited on: without a reader its open fails (ENXIO).
    int fd = stream ? open(O_WRONLY | (waitForReader ? 0 : O_NONBLOCK)) : open(O_RDWR | O_NONBLOCK);
    facts_.readable = fd >= 0 && !stream;
    if (fd < 0 && !stream && errno == EACCES) fd = open(O_WRONLY | O_NONBLOCK);
    if (fd < 0) {
        facts_.openError = errno;
        return;
    }
    target_.Reset(fd);
    // The file opened is the one judged, even if the name changed meanwhile.
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
        facts_.openError = EAGAIN;
        return;
    }
    if (stream) return;
    if (::fcntl(fd, F_SETFL, 0) != 0) facts_.openError = errno;
    facts_.writeBit = (opened.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
    facts_.links = opened.st_nlink;
    facts_.oldSize = static_cast<std::uint64_t>(opened.st_size);
    // A new file can be given the owner and group by root, or by an owner who is in that group.
    facts_.carriesOver = ::geteuid() == 0 || (opened.st_uid == ::geteuid() && InGroup(opened.st_gid));
    const char* tmp = std::getenv("TMPDIR");
    scratchFolder_ = tmp && *tmp ? tmp : "/tmp";
    // Judged as the destination's folder is: with the effective IDs, from the folder opened.
    if (const io::OwnedHandle scratch(OpenFolder(AT_FDCWD, scratchFolder_)); Fd(scratch.Get()) >= 0) {
        facts_.scratchWritable = MayCreateIn(Fd(scratch.Get()));
        facts_.scratchFree = FreeBytes(Fd(scratch.Get()));
    }
}

}  // namespace tessaly
