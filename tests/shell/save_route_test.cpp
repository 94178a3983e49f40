// The route a save takes, for every kind of destination and every right the
// caller may lack, as rows of facts: no file system, no root needed. What the
// routes then do to real files is tested in file_test.cpp and writer_test.cpp.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>

#include "shell/save_route.h"

namespace tessaly::test {
namespace {

using Kind = DestinationFacts::Kind;

// An existing file with one name that the caller owns, in a folder it may write, with room everywhere.
DestinationFacts OwnFile() {
    DestinationFacts f;
    f.kind = Kind::Regular;
    f.readable = true;
    f.carriesOver = true;
    f.folderWritable = f.scratchWritable = true;
    f.oldSize = 100;
    f.folderFree = f.scratchFree = 1'000'000;
    return f;
}

std::string Describe(const RouteChoice& c) {
    if (!c.refusal.Ok()) return std::string("refused: ") + ReasonText(c.refusal) +
                                (c.refusal.systemError ? " (" + std::to_string(c.refusal.systemError) + ")" : "");
    switch (c.route) {
    case SaveRoute::Stream: return "stream";
    case SaveRoute::Create: return "create";
    case SaveRoute::Rename: return "rename";
    case SaveRoute::InPlace: return c.scratchInFolder ? "in place, scratch beside it" : "in place, scratch in the temporary folder";
    }
    return "?";
}

TEST(SaveRoute, EveryDestinationTakesItsRowsRoute) {
    struct Row {
        const char* what;
        std::function<void(DestinationFacts&)> change;
        std::string route;
    };
    const Row rows[] = {
        {"own file", [](DestinationFacts&) {}, "rename"},
        {"two names", [](DestinationFacts& f) { f.links = 2; }, "in place, scratch beside it"},
        {"another user's file", [](DestinationFacts& f) { f.carriesOver = false; }, "in place, scratch beside it"},
        {"a folder the caller may not write", [](DestinationFacts& f) { f.folderWritable = false; },
         "in place, scratch in the temporary folder"},
        {"a name no longer reaching the file", [](DestinationFacts& f) { f.nameReachesFile = false; },
         "in place, scratch in the temporary folder"},
        {"no room beside it for the old and new bytes", [](DestinationFacts& f) { f.links = 2; f.folderFree = 149; },
         "in place, scratch in the temporary folder"},
        {"room for the new file only: renamed", [](DestinationFacts& f) { f.folderFree = 60; }, "rename"},
        {"no room anywhere", [](DestinationFacts& f) { f.links = 2; f.folderFree = f.scratchFree = 100; },
         "refused: No space left on device"},
        {"free space unknown", [](DestinationFacts& f) { f.folderFree = f.scratchFree = std::nullopt; },
         "refused: No space left on device"},
        {"writable but not readable, must stay in place",
         [](DestinationFacts& f) { f.readable = false; f.links = 2; },
         "refused: cannot be read, so its old bytes could not be kept while it is rewritten"},
        {"writable but not readable, renamed", [](DestinationFacts& f) { f.readable = false; }, "rename"},
        {"no write permission bit", [](DestinationFacts& f) { f.writeBit = false; }, "refused: read-only file (no write permission)"},
        {"the system refused to open it", [](DestinationFacts& f) { f.openError = EACCES; },
         "refused: cannot be written (13)"},
        {"planted by another user", [](DestinationFacts& f) { f.plainWriterRefused = true; },
         "refused: cannot be written (13)"},
        {"over the file-size limit", [](DestinationFacts& f) { f.fileSizeLimit = 49; },
         "refused: larger than the process's file-size limit"},
        {"old bytes over the file-size limit", [](DestinationFacts& f) { f.links = 2; f.fileSizeLimit = 60; },
         "refused: larger than the process's file-size limit"},
        {"nothing there yet", [](DestinationFacts& f) { f = DestinationFacts{}; f.folderWritable = true; f.folderFree = 50; },
         "create"},
        {"nothing there, no room", [](DestinationFacts& f) { f = DestinationFacts{}; f.folderWritable = true; f.folderFree = 49; },
         "refused: No space left on device"},
        {"nothing there, folder not writable", [](DestinationFacts& f) { f = DestinationFacts{}; f.folderFree = 50; },
         "refused: cannot be written (13)"},
        {"nothing there, read-only mount", [](DestinationFacts& f) { f = DestinationFacts{}; f.folderError = EROFS; },
         "refused: cannot be written (30)"},
        {"missing folder", [](DestinationFacts& f) { f = DestinationFacts{}; f.openError = ENOENT; },
         "refused: cannot be written (2)"},
        {"a FIFO or device", [](DestinationFacts& f) { f = DestinationFacts{}; f.kind = Kind::Stream; }, "stream"},
        {"a FIFO over the file-size limit", [](DestinationFacts& f) { f.kind = Kind::Stream; f.fileSizeLimit = 1; },
         "stream"},
        {"a directory or socket", [](DestinationFacts& f) { f.kind = Kind::Other; },
         "refused: not a file (a directory, socket or block device)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        DestinationFacts f = OwnFile();
        row.change(f);
        EXPECT_EQ(Describe(ChooseSaveRoute(f, 50)), row.route);
    }
}

}  // namespace
}  // namespace tessaly::test
