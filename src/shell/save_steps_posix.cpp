// The POSIX part of a save, the steps of the routes; see save_destination.h.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "shell/save_destination.h"

namespace tessaly {
namespace {

using io::Fd;

// A temporary's name: fixed length whatever the destination's, so any name the folder accepts can be saved.
std::string TemporaryName() {
    std::random_device entropy;
    char name[32];
    std::snprintf(name, sizeof name, ".tessaly-%08x.tmp", static_cast<unsigned>(entropy()));
    return name;
}

// A new name for an unnamed file, made only when the name is free.
bool LinkUnnamed(int fd, int folder, const std::string& name) {
    if (::linkat(fd, "", folder, name.c_str(), AT_EMPTY_PATH) == 0) return true;  // needs CAP_DAC_READ_SEARCH
    if (errno == EEXIST) return false;
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// A file to write in `folder`: unnamed when the folder's file system allows it
// (and, for a file to be linked in later, /proc can name it), else under a
// fresh short name, returned in `named`.
Outcome CreateIn(int folder, mode_t mode, bool needsLink, io::OwnedHandle& file, std::string& named) {
    if (!needsLink || ::access("/proc/self/fd", X_OK) == 0) {
        const int fd = ::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
        if (fd >= 0) {
            file.Reset(fd);
            return {};
        }
        if (errno == EACCES || errno == EROFS || errno == ENOSPC || errno == EDQUOT) return {Reason::CannotWrite, errno};
    }
    for (int attempt = 0; attempt < 8; ++attempt) {
        const std::string name = TemporaryName();
        const int fd = ::openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            file.Reset(fd);
            named = name;
            return {};
        }
        if (errno != EEXIST) return {Reason::CannotWrite, errno};
    }
    return {Reason::CannotWrite, EEXIST};
}

}  // namespace

Outcome SaveDestination::CreateNew(io::OwnedHandle& file) {
    // It starts with the permissions a plain create would give it (0666 less the umask).
    return CreateIn(Fd(folder_.Get()), 0666, true, file, temporary_);
}

Outcome SaveDestination::CreateScratch(bool inFolder, io::OwnedHandle& file) {
    io::OwnedHandle elsewhere;
    if (!inFolder) elsewhere.Reset(::open(scratchFolder_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    const int folder = Fd(inFolder ? folder_.Get() : elsewhere.Get());
    if (folder < 0) return {Reason::CannotWrite, errno};
    std::string named;
    const Outcome made = CreateIn(folder, 0600, false, file, named);
    if (!named.empty()) ::unlinkat(folder, named.c_str(), 0);  // a scratch file needs no name at all
    return made;
}

bool SaveDestination::CarryOver(io::Handle file) {
    const int from = Fd(target_.Get()), to = Fd(file);
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

Outcome SaveDestination::ReopenNew(io::OwnedHandle& file) {
    file.Reset(::openat(Fd(folder_.Get()), temporary_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    return file.IsOpen() ? Outcome{} : Outcome{Reason::WriteFailed, errno};
}

Outcome SaveDestination::LinkNew(io::OwnedHandle& file) {
    // Never over a file (or a link) that appeared since Inspect: neither call follows or replaces a name.
    const int folder = Fd(folder_.Get());
    const bool linked = temporary_.empty() ? LinkUnnamed(Fd(file.Get()), folder, name_)
                                           : ::linkat(folder, temporary_.c_str(), folder, name_.c_str(), 0) == 0;
    if (!linked) return {Reason::CannotWrite, errno};
    RemoveTemporary();
    if (!file.CloseNow()) {
        const int why = errno;
        ::unlinkat(folder, name_.c_str(), 0);  // the name was new: removing it restores what was there
        return {Reason::WriteFailed, why};
    }
    return {};
}

Outcome SaveDestination::Replace(io::OwnedHandle& file) {
    const int folder = Fd(folder_.Get());
    // An unnamed file gets a short-lived name first: only a rename replaces a name in one step.
    for (int attempt = 0; temporary_.empty() && attempt < 8; ++attempt) {
        const std::string name = TemporaryName();
        if (LinkUnnamed(Fd(file.Get()), folder, name)) temporary_ = name;
        else if (errno != EEXIST) return {Reason::CannotWrite, errno};
    }
    if (temporary_.empty()) return {Reason::CannotWrite, EEXIST};
    if (!file.CloseNow()) return {Reason::WriteFailed, errno};
    // The name must still reach the file opened; else only a rewrite in place does.
    struct stat named {}, opened {};
    if (::fstatat(folder, name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || ::fstat(Fd(target_.Get()), &opened) != 0 ||
        named.st_dev != opened.st_dev || named.st_ino != opened.st_ino)
        return {Reason::CannotWrite, EBUSY};
    if (::renameat(folder, temporary_.c_str(), folder, name_.c_str()) != 0) return {Reason::CannotWrite, errno};
    temporary_.clear();
    return {};
}

bool SaveDestination::SyncFolder() {
    const int fd = ::openat(Fd(folder_.Get()), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno == EACCES;  // a folder the caller may not read cannot be synced by it
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

void SaveDestination::RemoveTemporary() {
    if (!temporary_.empty()) ::unlinkat(Fd(folder_.Get()), temporary_.c_str(), 0);
    temporary_.clear();
}

void SaveDestination::HoldBrokenPipe() {
    // Limit: a reader that goes away must not kill the host with SIGPIPE. The
    // signal is held while the save writes (the write then fails with EPIPE),
    // and one it raised is taken back when released.
    sigset_t pipe, before, pending;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    if (::pthread_sigmask(SIG_BLOCK, &pipe, &before) == 0 && !sigismember(&before, SIGPIPE)) {
        pipeHeld_ = true;
        pipeWasPending_ = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE);
    }
}

void SaveDestination::ReleaseBrokenPipe() {
    if (!pipeHeld_) return;
    sigset_t pipe, pending;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    const timespec now{};
    if (!pipeWasPending_ && ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE))
        (void)::sigtimedwait(&pipe, nullptr, &now);  // ours: taken back, never delivered
    ::pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
    pipeHeld_ = false;
}

SaveDestination::~SaveDestination() {
    RemoveTemporary();
    ReleaseBrokenPipe();
}

}  // namespace tessaly
