// The choice of a save's route; see save_route.h.
#include "shell/save_route.h"

#include <cerrno>

namespace tessaly {
namespace {

bool Fits(const std::optional<std::uint64_t>& room, std::uint64_t need) { return room && *room >= need; }

bool OverLimit(const DestinationFacts& f, std::uint64_t bytes) { return f.fileSizeLimit && bytes > *f.fileSizeLimit; }

RouteChoice Refused(Reason reason, int error = 0) { return RouteChoice{Outcome{reason, error}}; }

RouteChoice InPlace(const DestinationFacts& f, std::uint64_t size) {
    // The old bytes are kept aside before the rewrite, so they must be readable,
    // and the copy kept aside is as large as the old file.
    if (!f.readable) return Refused(Reason::Unreadable);
    if (OverLimit(f, f.oldSize)) return Refused(Reason::FileSizeLimit);
    // The new file and the old bytes live in scratch files, in the destination's
    // folder where the caller may create files there, else in the system's
    // temporary folder. Free space is judged there, and the growth of the
    // destination as well (an overestimate when they are on different disks).
    const std::uint64_t growth = size > f.oldSize ? size - f.oldSize : 0;
    const std::uint64_t need = size + f.oldSize + growth;
    if (f.nameReachesFile && f.folderWritable && Fits(f.folderFree, need))
        return RouteChoice{Outcome{}, SaveRoute::InPlace, true};
    if (f.scratchWritable && Fits(f.scratchFree, need)) return RouteChoice{Outcome{}, SaveRoute::InPlace, false};
    return (f.folderWritable && f.nameReachesFile) || f.scratchWritable ? Refused(Reason::NoSpace)
                                                                        : Refused(Reason::CannotWrite, EACCES);
}

}  // namespace

RouteChoice ChooseSaveRoute(const DestinationFacts& f, std::uint64_t size) {
    using Kind = DestinationFacts::Kind;
    if (f.kind == Kind::Other) return Refused(Reason::NotAFile, f.folder ? EISDIR : 0);
    // The system's own refusals come first, as a plain writer would meet them.
    if (f.openError != 0) return Refused(Reason::CannotWrite, f.openError);
    if (f.plainWriterRefused) return Refused(Reason::CannotWrite, EACCES);
    if (f.kind == Kind::Stream) return RouteChoice{Outcome{}, SaveRoute::Stream};
    if (OverLimit(f, size)) return Refused(Reason::FileSizeLimit);
    if (f.kind == Kind::Missing) {
        // The folder's own permissions decide, as for any new file.
        if (!f.folderWritable) return Refused(Reason::CannotWrite, f.folderError);
        if (!Fits(f.folderFree, size)) return Refused(Reason::NoSpace);
        return RouteChoice{Outcome{}, SaveRoute::Create};
    }
    // Compat: a file without any write permission bit is read-only and refused
    // even for root, as Windows refuses a file with the read-only attribute.
    if (!f.writeBit) return Refused(Reason::ReadOnly);
    // A rename keeps the new file's own identity, so it is the route only where
    // nothing is lost by that: one name, and every property carried over.
    if (f.links == 1 && f.nameReachesFile && f.carriesOver && f.folderWritable && Fits(f.folderFree, size))
        return RouteChoice{Outcome{}, SaveRoute::Rename};
    return InPlace(f, size);
}

}  // namespace tessaly
