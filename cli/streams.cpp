// Inputs and outputs around the plug-in; see streams.h.
#include "streams.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

namespace tessaly_cli {
namespace {

// Limit: standard input is copied up to 4 GiB + 16 MiB, room for the largest
// pixel array the plug-in loads (2^32 - 1 bytes) with its headers and colour
// table; a longer stream is refused rather than left to fill the disk.
constexpr std::uint64_t kMaxStdinBytes = (std::uint64_t{1} << 32) + (std::uint64_t{16} << 20);

std::string SystemText(int error) { return error != 0 ? std::strerror(error) : "I/O error"; }

void SetBinary(std::FILE* stream) {
#ifdef _WIN32
    (void)_setmode(_fileno(stream), _O_BINARY);
#else
    (void)stream;
#endif
}

// A private folder for temporary files, in the system's temporary folder.
bool MakePrivateFolder(std::string& folder, std::string& error) {
#ifdef _WIN32
    char base[MAX_PATH + 1], name[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof base, base);
    // GetTempFileNameA reserves a unique name by creating a file: it becomes the folder's name.
    if (n == 0 || n > MAX_PATH || GetTempFileNameA(base, "tsy", 0, name) == 0 || !DeleteFileA(name) ||
        !CreateDirectoryA(name, nullptr)) {
        error = "cannot make a temporary folder (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    folder = name;
#else
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tessaly-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        error = "cannot make a temporary folder: " + SystemText(errno);
        return false;
    }
    folder = pattern;
#endif
    return true;
}

bool CopyStream(std::FILE* from, std::FILE* to, std::uint64_t limit, std::string& error, bool& tooLong) {
    std::vector<char> buffer(1 << 16);
    std::uint64_t total = 0;
    tooLong = false;
    for (;;) {
        const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), from);
        if (got == 0) break;
        total += got;
        if (total > limit) {
            tooLong = true;
            return false;
        }
        if (std::fwrite(buffer.data(), 1, got, to) != got) {
            error = SystemText(errno);
            return false;
        }
    }
    if (std::ferror(from)) {
        error = SystemText(errno);
        return false;
    }
    return true;
}

}  // namespace

bool StdoutIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(STDOUT_FILENO) != 0;
#endif
}

InputFile::~InputFile() {
#ifndef _WIN32
    if (fd_ >= 0) close(fd_);
#endif
    if (!named_.empty()) std::remove(named_.c_str());
}

bool InputFile::Open(const std::string& word, std::string& error) {
    if (word != "-") {
        path_ = name_ = word;
        return true;
    }
    name_ = kStdinName;
    SetBinary(stdin);
    std::FILE* copy = nullptr;
#ifdef _WIN32
    char base[MAX_PATH + 1], name[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof base, base);
    if (n == 0 || n > MAX_PATH || GetTempFileNameA(base, "tsy", 0, name) == 0) {
        error = "cannot make a temporary file (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    named_ = path_ = name;
    copy = std::fopen(name, "wb");
#else
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tessaly-stdin-XXXXXX";
    fd_ = mkstemp(pattern.data());
    if (fd_ < 0) {
        error = "cannot make a temporary file: " + SystemText(errno);
        return false;
    }
    named_ = path_ = pattern;
    // The plug-in reaches the copy through its descriptor, so it needs no name
    // even while it is written: a killed host leaves nothing behind.
    const std::string byDescriptor = "/proc/self/fd/" + std::to_string(fd_);
    if (access(byDescriptor.c_str(), R_OK) == 0 && unlink(pattern.c_str()) == 0) {
        named_.clear();
        path_ = byDescriptor;
    }
    const int writer = dup(fd_);
    copy = writer >= 0 ? fdopen(writer, "wb") : nullptr;
    if (!copy && writer >= 0) close(writer);
#endif
    if (!copy) {
        error = "cannot write a temporary file: " + SystemText(errno);
        return false;
    }
    bool tooLong = false;
    const bool copied = CopyStream(stdin, copy, kMaxStdinBytes, error, tooLong);
    const bool closed = std::fclose(copy) == 0;
    if (tooLong) error = "longer than any BMP file the plug-in loads (over 4 GiB)";
    else if (copied && !closed) error = SystemText(errno);
    return copied && closed;
}

namespace {

// The folder part of `path` with its separator ("" for a bare name).
std::string FolderOf(const std::string& path) {
#ifdef _WIN32
    const std::size_t slash = path.find_last_of("/\\");
#else
    const std::size_t slash = path.find_last_of('/');
#endif
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

#ifdef _WIN32

// The number of names `path` has; 1 when it cannot be told.
DWORD LinkCount(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 1;
    BY_HANDLE_FILE_INFORMATION info{};
    const DWORD links = GetFileInformationByHandle(h, &info) ? info.nNumberOfLinks : 1;
    CloseHandle(h);
    return links;
}

#else

// Whether a new file can be given `old`'s owner, group and mode.
bool GiveProperties(int fd, const struct stat& old) {
    struct stat now {};
    if (fstat(fd, &now) != 0) return false;
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) && fchown(fd, old.st_uid, old.st_gid) != 0) return false;
    return fchmod(fd, old.st_mode & 07777) == 0;
}

// Copies the complete temporary `from` over the file at `path`, opened as a
// plain writer opens it (links followed, as the kernel allows). The file-size
// limit and the room are checked first, so neither stops the copy half way.
bool CopyOver(int from, const std::string& path, std::string& error) {
    struct stat st {};
    if (fstat(from, &st) != 0) {
        error = SystemText(errno);
        return false;
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && size > limit.rlim_cur) {
        error = SystemText(EFBIG);
        return false;
    }
    const int to = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    if (to < 0) {
        error = SystemText(errno);
        return false;
    }
    int why = 0;  // the first failure's errno
    if (st.st_size > 0 && fallocate(to, FALLOC_FL_KEEP_SIZE, 0, st.st_size) != 0 && errno != EOPNOTSUPP &&
        errno != ENOSYS)
        why = errno;
    std::vector<char> buffer(1 << 16);
    for (off_t at = 0; why == 0 && at < st.st_size;) {
        const ssize_t got = pread(from, buffer.data(), buffer.size(), at);
        if (got <= 0) why = got < 0 ? errno : EIO;
        for (ssize_t done = 0; why == 0 && done < got;) {
            const ssize_t put = pwrite(to, buffer.data() + done, static_cast<std::size_t>(got - done), at + done);
            if (put <= 0) why = put < 0 ? errno : EIO;
            done += put > 0 ? put : 0;
        }
        at += got > 0 ? got : 0;
    }
    if (why == 0 && (ftruncate(to, st.st_size) != 0 || fsync(to) != 0)) why = errno;
    if (close(to) != 0 && why == 0) why = errno;
    if (why != 0) error = SystemText(why);
    return why == 0;
}

#endif

}  // namespace

OutputFile::~OutputFile() { Discard(); }

void OutputFile::Discard() {
    if (stream_ && stream_ != stdout) std::fclose(stream_);
    stream_ = nullptr;
    if (!temp_.empty()) std::remove(temp_.c_str());
    temp_.clear();
}

bool OutputFile::Open(const std::string& word, std::string& error) {
    if (word == "-") {
        name_ = kStdoutName;
        SetBinary(stdout);
        stream_ = stdout;
        route_ = Route::Stream;
        return true;
    }
    name_ = word;
    if (!reach_.Reach(word, error)) return false;
    path_ = reach_.Path();
    const std::string folder = FolderOf(path_);
#ifdef _WIN32
    const DWORD attributes = GetFileAttributesA(path_.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD why = GetLastError();
        if (why != ERROR_FILE_NOT_FOUND) {
            error = WindowsText(why);
            return false;
        }
        route_ = Route::Create;
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        error = "Is a directory";
        return false;
    } else if (attributes & FILE_ATTRIBUTE_READONLY) {
        error = "Permission denied";
        return false;
    } else {
        route_ = LinkCount(path_) > 1 ? Route::InPlace : Route::Replace;
    }
    char temp[MAX_PATH + 1];
    if (GetTempFileNameA(folder.empty() ? "." : folder.c_str(), "tsy", 0, temp) == 0) {
        error = WindowsText(GetLastError());
        return false;
    }
    temp_ = temp;
    stream_ = std::fopen(temp, "wb");
    if (!stream_) {
        error = SystemText(errno);
        return false;
    }
#else
    struct stat link {}, old {};
    const bool exists = lstat(path_.c_str(), &link) == 0;
    if (!exists && errno != ENOENT) {
        error = SystemText(errno);
        return false;
    }
    const bool target = exists && stat(path_.c_str(), &old) == 0;
    if (target && S_ISDIR(old.st_mode)) {
        error = "Is a directory";
        return false;
    }
    if (target && (S_ISFIFO(old.st_mode) || S_ISCHR(old.st_mode))) {
        stream_ = std::fopen(path_.c_str(), "wb");
        if (!stream_) error = SystemText(errno);
        route_ = Route::Stream;
        return stream_ != nullptr;
    }
    if (target && !S_ISREG(old.st_mode)) {
        error = "not a regular file";
        return false;
    }
    if (exists && access(path_.c_str(), W_OK) != 0) {  // a dangling link is for the kernel to judge later
        if (target || errno != ENOENT) {
            error = SystemText(errno);
            return false;
        }
    }
    // The kernel judges an existing file as it would a plain writer's open (a file another user planted
    // in a sticky folder is refused, even to root, where fs.protected_regular is on); the open creates
    // nothing where the file exists and changes none of its bytes.
    if (target) {
        const int probe = open(path_.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
        if (probe < 0) {
            error = SystemText(errno);
            return false;
        }
        close(probe);
    }
    // A rename replaces the name alone: the file must be a plain one, of one name, whose properties a
    // new file can take.
    route_ = !exists ? Route::Create
             : S_ISLNK(link.st_mode) || !target || old.st_nlink != 1 || listxattr(path_.c_str(), nullptr, 0) > 0
                 ? Route::InPlace
                 : Route::Replace;
    std::string pattern = folder + ".tessaly-XXXXXX.tmp";
    int fd = mkstemps(pattern.data(), 4);
    if (fd < 0 && route_ != Route::Create && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        // A file the caller may write in a folder it may not: the complete file is made in the temporary folder.
        const char* base = std::getenv("TMPDIR");
        pattern = std::string(base && *base ? base : "/tmp") + "/tessaly-out-XXXXXX.tmp";
        fd = mkstemps(pattern.data(), 4);
        route_ = Route::InPlace;
    }
    if (fd < 0) {
        error = SystemText(errno);
        return false;
    }
    temp_ = pattern;
    if (route_ == Route::Create) {
        const mode_t mask = umask(0);
        umask(mask);
        (void)fchmod(fd, 0666 & ~mask);  // mkstemps made it 0600; a plain create gives the umask's mode
    } else if (route_ == Route::Replace && !GiveProperties(fd, old)) {
        route_ = Route::InPlace;
    }
    stream_ = fdopen(fd, "wb");
    if (!stream_) {
        error = SystemText(errno);
        close(fd);
        return false;
    }
#endif
    return true;
}

bool OutputFile::Close(std::string& error) {
    std::FILE* stream = stream_;
    errno = 0;
    if (route_ == Route::Stream) {
        stream_ = nullptr;
        const bool ok = stream == stdout ? std::fflush(stream) == 0 && !std::ferror(stream) : std::fclose(stream) == 0;
        if (!ok) error = SystemText(errno);
        return ok;
    }
    bool ok = std::fflush(stream) == 0 && !std::ferror(stream);
#ifdef _WIN32
    ok = ok && _commit(_fileno(stream)) == 0;
    if (!ok) error = SystemText(errno);
    stream_ = nullptr;
    if (std::fclose(stream) != 0 && ok) {
        error = SystemText(errno);
        ok = false;
    }
    if (ok && route_ == Route::Create && !MoveFileExA(temp_.c_str(), path_.c_str(), MOVEFILE_WRITE_THROUGH)) {
        error = WindowsText(GetLastError());
        ok = false;
    } else if (ok && route_ == Route::Replace) {
        // ReplaceFileA gives the new file the old one's attributes and ACLs. With a backup name
        // (which Wine needs for a name without a folder), a failure leaves the old file under its
        // own name or the backup's, from where it is moved back.
        char backup[MAX_PATH + 1] = {};
        const std::string folder = FolderOf(path_);
        ok = GetTempFileNameA(folder.empty() ? "." : folder.c_str(), "tsy", 0, backup) != 0 &&
             ReplaceFileA(path_.c_str(), temp_.c_str(), backup, 0, nullptr, nullptr);
        if (!ok) {
            error = WindowsText(GetLastError());
            if (backup[0] != '\0' && GetFileAttributesA(path_.c_str()) == INVALID_FILE_ATTRIBUTES)
                MoveFileExA(backup, path_.c_str(), MOVEFILE_WRITE_THROUGH);
        }
        if (backup[0] != '\0') DeleteFileA(backup);
        if (ok) temp_.clear();
    } else if (ok && route_ == Route::InPlace) {
        ok = CopyFileA(temp_.c_str(), path_.c_str(), FALSE) != 0;  // writes into the existing file, every name sees it
        if (!ok) error = WindowsText(GetLastError());
    }
    if (ok && route_ != Route::InPlace) temp_.clear();  // moved into place
#else
    ok = ok && fsync(fileno(stream)) == 0;
    if (!ok) error = SystemText(errno);
    if (ok && route_ == Route::InPlace) ok = CopyOver(fileno(stream), path_, error);
    stream_ = nullptr;
    if (std::fclose(stream) != 0 && ok) {
        error = SystemText(errno);
        ok = false;
    }
    if (ok && route_ == Route::Create) {
        // Linked in under its name, never over a file that appeared meanwhile
        // (renamed where the file system has no hard links).
        if (link(temp_.c_str(), path_.c_str()) != 0 && (errno == EEXIST || rename(temp_.c_str(), path_.c_str()) != 0)) {
            error = errno == EEXIST ? "File exists (made while the output was written)" : SystemText(errno);
            ok = false;
        }
    } else if (ok && route_ == Route::Replace && rename(temp_.c_str(), path_.c_str()) != 0) {
        error = SystemText(errno);
        ok = false;
    } else if (ok && route_ == Route::Replace) {
        temp_.clear();  // renamed: nothing left to remove
    }
#endif
    Discard();
    return ok;
}

SaveTarget::~SaveTarget() {
    if (folder_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
}

bool SaveTarget::Open(const std::string& word, std::string& error) {
    name_ = word == "-" ? kStdoutName : word;
    path_ = word;
#ifndef _WIN32
    // A FIFO or a device is written by the host from a complete file, so that
    // a failed write ("No space left on device", a reader that went away) is
    // seen and reported: a save streamed by the plug-in, a gray one above all,
    // cannot say so.
    std::error_code ec;
    const auto kind = std::filesystem::status(word, ec).type();
    if (kind == std::filesystem::file_type::fifo || kind == std::filesystem::file_type::character) stream_ = word;
#endif
    if (word != "-" && stream_.empty()) return true;
    if (!MakePrivateFolder(folder_, error)) return false;
    path_ = folder_ + "/out.bmp";
    return true;
}

bool SaveTarget::Finish(std::string& error) {
    if (folder_.empty()) return true;
    std::FILE* saved = std::fopen(path_.c_str(), "rb");
    if (!saved) {
        error = SystemText(errno);
        return false;
    }
    std::FILE* to = stdout;
    if (!stream_.empty() && !(to = std::fopen(stream_.c_str(), "wb"))) {
        error = SystemText(errno);
        std::fclose(saved);
        return false;
    }
    SetBinary(to);
    bool tooLong = false;
    bool copied = CopyStream(saved, to, ~std::uint64_t{0}, error, tooLong);
    std::fclose(saved);
    if (copied && std::fflush(to) != 0) {
        error = SystemText(errno);
        copied = false;
    }
    if (to != stdout && std::fclose(to) != 0 && copied) {
        error = SystemText(errno);
        copied = false;
    }
    return copied;
}

}  // namespace tessaly_cli
