// How a save reaches its destination, decided once from what the system says
// about the destination and the caller's rights, before anything is created.
// The decision is a pure function of those facts (ChooseSaveRoute), so every
// case is a row of a table that runs without root; gathering the facts and
// carrying out the route is the platform's part (save_destination_*.cpp).
#pragma once

#include <cerrno>
#include <cstdint>
#include <optional>

#include "shell/outcome.h"

namespace tessaly {

enum class SaveRoute : std::uint8_t {
    Stream,   // a FIFO or character device: written straight through
    Create,   // no file yet: written unnamed in the folder, linked in under its name when complete
    Rename,   // a file with one name: a complete new file with its properties replaces it
    InPlace,  // a file whose identity must stay: rewritten in place, the old bytes kept aside until done
};

struct DestinationFacts {
    enum class Kind : std::uint8_t { Missing, Regular, Stream, Other };
    Kind kind = Kind::Missing;
    bool folder = false;  // Other: a directory
    // Why the system refused to open it (or, for Missing, its folder): an
    // errno value; 0 when it opened (or the folder is there).
    int openError = 0;
    // A plain writer (open for writing, creating if absent) would be refused
    // here: a link planted by another user in a sticky world-writable folder,
    // or a file another user owns there (the kernel's protected_symlinks,
    // protected_regular and protected_fifos rules).
    bool plainWriterRefused = false;
    bool readable = false;        // the existing file opened for reading too
    bool writeBit = true;         // some write permission bit (Windows: no read-only attribute)
    std::uint64_t links = 1;
    bool nameReachesFile = true;  // the name the links lead to still names the file opened
    bool carriesOver = false;     // its owner, group, mode and attributes can be given to a new file
    bool folderWritable = false;  // new files can be made in the destination's folder
    int folderError = EACCES;     // when they cannot: why (an errno value; EROFS on a read-only mount)
    bool scratchWritable = false; // ... and in the system's temporary folder
    std::uint64_t oldSize = 0;
    std::optional<std::uint64_t> folderFree;   // free bytes where the destination lies, when known
    std::optional<std::uint64_t> scratchFree;  // ... in the system's temporary folder
    std::optional<std::uint64_t> fileSizeLimit;  // the process's limit on a file's size, when there is one
};

struct RouteChoice {
    Outcome refusal;            // not Ok: the save is refused, and nothing is created
    SaveRoute route = SaveRoute::Create;
    bool scratchInFolder = true;  // InPlace: scratch files in the destination's folder, else the system's
};

// The route a save of `size` bytes takes to the destination the facts describe.
RouteChoice ChooseSaveRoute(const DestinationFacts& facts, std::uint64_t size);

}  // namespace tessaly
