// The POSIX adapters of file_io.h: one system call each.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "shell/file_io.h"

namespace tessaly::io {
namespace {

// Runs a system call that answers a count or -1, again while a signal interrupts it.
template <class Call>
std::optional<std::size_t> Retried(Call call, int& error) {
    for (;;) {
        const ssize_t done = call();
        if (done >= 0) return static_cast<std::size_t>(done);
        if (errno != EINTR) {
            error = errno;
            return std::nullopt;
        }
    }
}

}  // namespace

Outcome OpenForReading(const char* path, Handle& handle, std::uint64_t& length) {
    // Opened without blocking, so a FIFO or device named as an image cannot stall the host,
    // and never taking a terminal as the host's controlling terminal.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return {Reason::CannotOpen, errno};
    // Only regular files are images; their length is known before the first read.
    struct stat st {};
    const bool stated = ::fstat(fd, &st) == 0;
    if (!stated || !S_ISREG(st.st_mode) || ::fcntl(fd, F_SETFL, 0) != 0) {
        const int why = !stated ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        return {Reason::CannotOpen, why};
    }
    handle = fd;
    length = static_cast<std::uint64_t>(st.st_size);
    return {};
}

std::optional<std::size_t> ReadOnce(Handle h, std::uint64_t offset, std::uint8_t* out, std::size_t n, int& error) {
    return Retried([&] { return ::pread(Fd(h), out, n, static_cast<off_t>(offset)); }, error);
}

std::optional<std::size_t> WriteOnce(Handle h, std::uint64_t offset, const std::uint8_t* in, std::size_t n,
                                     int& error) {
    return Retried([&] { return ::pwrite(Fd(h), in, n, static_cast<off_t>(offset)); }, error);
}

std::optional<std::size_t> WriteNextOnce(Handle h, const std::uint8_t* in, std::size_t n, int& error) {
    return Retried([&] { return ::write(Fd(h), in, n); }, error);
}

std::optional<std::size_t> WriteGatherOnce(Handle h, std::optional<std::uint64_t> offset,
                                           std::span<const std::span<const std::uint8_t>> pieces, int& error) {
    std::array<iovec, kGatherPieces> vector;
    const std::size_t count = std::min(pieces.size(), vector.size());
    for (std::size_t i = 0; i < count; ++i)
        vector[i] = iovec{const_cast<std::uint8_t*>(pieces[i].data()), pieces[i].size()};  // writev only reads
    return Retried(
        [&] {
            return offset ? ::pwritev(Fd(h), vector.data(), static_cast<int>(count), static_cast<off_t>(*offset))
                          : ::writev(Fd(h), vector.data(), static_cast<int>(count));
        },
        error);
}

bool SetLength(Handle h, std::uint64_t n) {
    return ::ftruncate(Fd(h), static_cast<off_t>(n)) == 0;
}

std::optional<std::uint64_t> LengthOf(Handle h) {
    struct stat st {};
    if (::fstat(Fd(h), &st) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

bool Sync(Handle h) {
    return ::fsync(Fd(h)) == 0;
}

bool Close(Handle h) {
    // POSIX leaves the descriptor closed even when close reports EINTR.
    return h == kNoHandle || ::close(Fd(h)) == 0;
}

int LastError() {
    return errno;
}

}  // namespace tessaly::io
