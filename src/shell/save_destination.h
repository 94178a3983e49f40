// The platform's part of a save (save_destination_posix.cpp,
// save_destination_win32.cpp): learning the facts about a destination with the
// caller's own rights, and the steps each route takes. The choice between the
// routes is not made here (save_route.h), nor the order of the steps
// (replacing_file.h).
//
// On POSIX systems the kernel walks every path, and the service then works
// from handles on the folder that holds the name it will replace: the name's
// symbolic links are followed one at a time, each only where the kernel would
// follow it for this caller (protected_symlinks), and a file is saved over
// only where a plain open for writing and creating would be allowed
// (protected_regular, protected_fifos), so a link or file planted by another
// user in a sticky folder is treated as a plain writer meets it. A new file is
// linked in with a call that never follows a link and never replaces a name,
// so nothing planted after the facts were gathered is followed or overwritten.
#pragma once

#include <cstdint>
#include <string>

#include "shell/file_io.h"
#include "shell/outcome.h"
#include "shell/save_route.h"

namespace tessaly {

class SaveDestination {
public:
    SaveDestination() = default;
    SaveDestination(const SaveDestination&) = delete;
    SaveDestination& operator=(const SaveDestination&) = delete;
    ~SaveDestination();  // removes a named temporary left behind, and lets a held SIGPIPE go

    // Learns the facts about `path`, opening an existing destination for
    // writing (a FIFO's open waits for its reader, as any writer's does,
    // unless `waitForReader` is false). Creates nothing; what stands in the
    // way is in the facts.
    void Inspect(const char* path, bool waitForReader = true);
    [[nodiscard]] const DestinationFacts& Facts() const { return facts_; }
    // The existing destination, opened with the caller's rights (for writing; for reading too when allowed).
    [[nodiscard]] io::Handle Target() const { return target_.Get(); }
    // Hands the opened stream over, to be written straight through.
    io::OwnedHandle TakeTarget() { return std::move(target_); }
    // Closes the existing destination (a rename on Windows needs it closed).
    void CloseTarget() { target_.Reset(); }

    // The file to be put in place: made where the destination's name lies,
    // with the permissions a plain create would give it, unnamed where the
    // system allows it, else under a short-lived name of fixed length.
    [[nodiscard]] Outcome CreateNew(io::OwnedHandle& file);
    // A scratch file, the caller's alone, that no name reaches: in the
    // destination's folder, or in the system's temporary folder.
    [[nodiscard]] Outcome CreateScratch(bool inFolder, io::OwnedHandle& file);
    // Gives `file` the destination's owner, group, extended attributes and
    // mode; false when any of it cannot be given.
    [[nodiscard]] bool CarryOver(io::Handle file);
    // Opens the file made by CreateNew again, for reading (after it was closed for a rename that failed).
    [[nodiscard]] Outcome ReopenNew(io::OwnedHandle& file);

    // Puts the complete new file under the destination's name, never over a
    // name that appeared since Inspect. Closes `file`.
    [[nodiscard]] Outcome LinkNew(io::OwnedHandle& file);
    // Replaces the existing destination with the complete new file. Closes
    // `file`. CannotWrite with EBUSY or EXDEV when no rename can replace that
    // name (a mount point, a name that no longer reaches the file opened):
    // then only a rewrite in place reaches the file.
    [[nodiscard]] Outcome Replace(io::OwnedHandle& file);
    // Makes the name's change durable (the folder synced).
    [[nodiscard]] bool SyncFolder();
    // Removes the new file's short-lived name, if it has one.
    void RemoveTemporary();

    // While a stream is written: a reader that goes away fails the write
    // (EPIPE) instead of raising SIGPIPE in the host.
    void HoldBrokenPipe();
    void ReleaseBrokenPipe();

private:
    DestinationFacts facts_;
    io::OwnedHandle target_;
    io::OwnedHandle folder_;      // POSIX: the folder that holds `name_`
    std::string name_;            // POSIX: the name in it; Windows: the whole final path
    std::string temporary_;       // the new file's short-lived name; "" when it has none
    std::string scratchFolder_;   // the system's temporary folder
    bool pipeHeld_ = false;
    bool pipeWasPending_ = false;
};

}  // namespace tessaly
