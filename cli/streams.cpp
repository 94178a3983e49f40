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

OutputFile::~OutputFile() {
    if (!stream_) return;
    std::fclose(stream_);
    if (created_) std::remove(name_.c_str());
}

bool OutputFile::Open(const std::string& word, std::string& error) {
    if (word == "-") {
        name_ = kStdoutName;
        SetBinary(stdout);
        stream_ = stdout;
        return true;
    }
    name_ = word;
    std::error_code ec;
    created_ = !std::filesystem::exists(std::filesystem::symlink_status(word, ec));
    stream_ = std::fopen(word.c_str(), "wb");
    if (!stream_) {
        error = SystemText(errno);
        if (std::filesystem::is_directory(word, ec)) error = "Is a directory";
        return false;
    }
    return true;
}

bool OutputFile::Close(std::string& error) {
    std::FILE* stream = stream_;
    stream_ = nullptr;
    errno = 0;
    const bool ok = stream == stdout ? std::fflush(stream) == 0 && !std::ferror(stream) : std::fclose(stream) == 0;
    if (!ok) {
        error = SystemText(errno);
        if (created_) std::remove(name_.c_str());
    }
    return ok;
}

SaveTarget::~SaveTarget() {
    if (folder_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
}

bool SaveTarget::Open(const std::string& word, std::string& error) {
    if (word != "-") {
        path_ = name_ = word;
        return true;
    }
    name_ = kStdoutName;
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
    SetBinary(stdout);
    bool tooLong = false;
    const bool copied = CopyStream(saved, stdout, ~std::uint64_t{0}, error, tooLong);
    std::fclose(saved);
    if (copied && std::fflush(stdout) != 0) {
        error = SystemText(errno);
        return false;
    }
    return copied;
}

}  // namespace tessaly_cli
