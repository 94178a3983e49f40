// One save carried to its destination: the file service's byte sink
// (bmp/write/byte_writer.h). Begin learns what the destination is and picks
// the route once (save_route.h); the bytes are then written where the route
// says; Commit puts the complete file in place. Until Commit succeeds the
// destination stays exactly as it was (a FIFO or device has then received
// what was written); temporaries are unnamed, or removed on every failure.
//
// - a new file (a dangling symbolic link names the file to create) is written
//   unnamed in its folder and linked in under its name when complete, never
//   over a file that appeared meanwhile;
// - an existing regular file, links followed, must be one the caller could
//   open for writing and one with a write permission bit (on Windows, without
//   the read-only attribute). With one name, and an owner, group, mode and
//   extended attributes the caller can give a new file, the new file gets them
//   and is renamed over it (ReplaceFileA on Windows); otherwise (several
//   names, another user's file, a folder the caller may not write, a name no
//   rename can replace) it is rewritten in place once the new file is
//   complete, its old bytes kept aside to be put back if the rewrite fails;
// - a FIFO or character device is written straight through;
// - a directory, socket or block device is refused.
#pragma once

#include <cstdint>
#include <vector>

#include "bmp/write/byte_writer.h"
#include "shell/background_writer.h"
#include "shell/file_io.h"
#include "shell/outcome.h"
#include "shell/save_destination.h"

namespace tessaly {

class ReplacingFile {
public:
    ReplacingFile() = default;
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    // Prepares a save of exactly `size` bytes to `path`: refused, with nothing
    // created or changed, when the destination cannot take it or a limit (the
    // process's file-size limit, the free space) would be passed.
    [[nodiscard]] Outcome Begin(const char* path, std::uint64_t size);
    // Where the file's bytes go, front to back: never more than Begin's size.
    // For a large file (not a stream), an asynchronous sink: its write hands
    // bytes of a band's size to a background writer and returns, reading them
    // until the sink's next call (its drain waits for them).
    [[nodiscard]] ByteSink Sink();
    // Puts the complete file in place, synced to disk with its folder. Fails
    // when fewer bytes than planned were written or any step failed, leaving
    // the destination as it was (or, when only the folder's sync failed,
    // already holding the new file).
    [[nodiscard]] Outcome Commit();
    // Why the last write through the sink failed (Ok when none did).
    [[nodiscard]] Outcome WriteFailure() const { return writeFailure_; }

    // What a save of `size` bytes to `path` would meet when it begins, made
    // by the same checks as Begin without creating anything (a FIFO without
    // a reader is not waited on).
    [[nodiscard]] static Outcome Check(const char* path, std::uint64_t size);

private:
    [[nodiscard]] Outcome Prepare(const RouteChoice& choice);
    [[nodiscard]] Outcome CommitInPlace(io::Handle newBytes, bool scratchInFolder);
    // Writes pieces, in order, after the bytes written before (a piece handed
    // to the background writer is still being written when this returns).
    [[nodiscard]] Outcome Write(std::span<const std::span<const std::uint8_t>> pieces, bool inBackground = false);
    // Waits for the background writer's job; its failure becomes the write failure.
    [[nodiscard]] Outcome Drain();

    SaveDestination destination_;
    bool begun_ = false;
    SaveRoute route_ = SaveRoute::Create;
    bool scratchInFolder_ = true;
    std::uint64_t size_ = 0;
    std::uint64_t written_ = 0;
    io::OwnedHandle out_;  // where the bytes go: the new file, a scratch file, or the stream
    Outcome writeFailure_;
    // Declared after out_, so it is joined before the handle it writes to closes.
    BackgroundWriter background_;
};

}  // namespace tessaly
