// The loops over the platform's single calls; see file_io.h.
#include "shell/file_io.h"

#include <algorithm>

namespace tessaly::io {
namespace {

// Limit: one system call moves at most 1 GiB, well inside every platform's per-call limit.
constexpr std::size_t kMaxIoChunk = std::size_t{1} << 30;

}  // namespace

std::size_t ReadAt(Handle h, std::uint64_t offset, std::span<std::uint8_t> out, int& error) {
    std::size_t done = 0;
    while (done < out.size()) {
        const auto got = ReadOnce(h, offset + done, out.data() + done, std::min(out.size() - done, kMaxIoChunk), error);
        if (!got) return done;
        if (*got == 0) break;
        done += *got;
    }
    return done;
}

Outcome WriteAll(Handle h, std::optional<std::uint64_t> offset, std::span<const std::uint8_t> bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        int error = 0;
        const std::size_t n = std::min(bytes.size() - done, kMaxIoChunk);
        const auto put = offset ? WriteOnce(h, *offset + done, bytes.data() + done, n, error)
                                : WriteNextOnce(h, bytes.data() + done, n, error);
        if (!put || *put == 0) return {Reason::WriteFailed, put ? 0 : error};
        done += *put;
    }
    return {};
}

Outcome WriteAllGathered(Handle h, std::optional<std::uint64_t> offset,
                         std::span<const std::span<const std::uint8_t>> pieces) {
    std::uint64_t done = 0;
    while (!pieces.empty()) {
        if (pieces.size() == 1) return WriteAll(h, offset ? std::optional(*offset + done) : std::nullopt, pieces[0]);
        int error = 0;
        const auto put = WriteGatherOnce(h, offset ? std::optional(*offset + done) : std::nullopt, pieces, error);
        if (!put || (*put == 0 && !pieces[0].empty())) return {Reason::WriteFailed, put ? 0 : error};
        done += *put;
        // Whole pieces written are passed; one written in part is finished alone.
        std::size_t left = *put;
        while (!pieces.empty() && left >= pieces[0].size()) {
            left -= pieces[0].size();
            pieces = pieces.subspan(1);
        }
        if (left != 0) {
            const Outcome rest =
                WriteAll(h, offset ? std::optional(*offset + done) : std::nullopt, pieces[0].subspan(left));
            if (!rest.Ok()) return rest;
            done += pieces[0].size() - left;
            pieces = pieces.subspan(1);
        }
    }
    return {};
}

bool CopyOver(Handle from, Handle to, std::uint64_t n, std::vector<std::uint8_t>& buffer) {
    for (std::uint64_t at = 0; at < n;) {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), n - at));
        int error = 0;
        if (ReadAt(from, at, std::span<std::uint8_t>(buffer).first(piece), error) != piece ||
            !WriteAll(to, at, std::span<const std::uint8_t>(buffer).first(piece)).Ok())
            return false;
        at += piece;
    }
    return SetLength(to, n);
}

}  // namespace tessaly::io
