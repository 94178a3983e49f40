// One save's transaction; see replacing_file.h.
#include "shell/replacing_file.h"

#include <cerrno>

namespace tessaly {
namespace {

// Limit: a rewrite in place copies through a buffer of this size.
constexpr std::size_t kCopyChunk = 256 * 1024;
// Files at least this large are written in the background while the save
// makes the next bytes; bands at least this large are worth a thread's turn.
constexpr std::uint64_t kBackgroundFileBytes = 8 << 20;
constexpr std::size_t kBackgroundBandBytes = 256 * 1024;

}  // namespace

Outcome ReplacingFile::Begin(const char* path, std::uint64_t size) {
    if (begun_) return {Reason::Internal};
    size_ = size;
    written_ = 0;
    destination_.Inspect(path);
    return Prepare(ChooseSaveRoute(destination_.Facts(), size));
}

Outcome ReplacingFile::Check(const char* path, std::uint64_t size) {
    SaveDestination destination;
    destination.Inspect(path, false);
    return ChooseSaveRoute(destination.Facts(), size).refusal;
}

Outcome ReplacingFile::Prepare(const RouteChoice& choice) {
    if (!choice.refusal.Ok()) return choice.refusal;
    route_ = choice.route;
    scratchInFolder_ = choice.scratchInFolder;
    switch (route_) {
    case SaveRoute::Stream:
        out_ = destination_.TakeTarget();
        destination_.HoldBrokenPipe();
        break;
    case SaveRoute::Create:
        if (const Outcome made = destination_.CreateNew(out_); !made.Ok()) return made;
        break;
    case SaveRoute::Rename:
        if (const Outcome made = destination_.CreateNew(out_); !made.Ok() || !destination_.CarryOver(out_.Get())) {
            // The properties cannot all be given to a new file: only a rewrite keeps them.
            out_.Reset();
            destination_.RemoveTemporary();
            DestinationFacts facts = destination_.Facts();
            facts.carriesOver = false;
            return Prepare(ChooseSaveRoute(facts, size_));
        }
        break;
    case SaveRoute::InPlace:
        if (const Outcome made = destination_.CreateScratch(scratchInFolder_, out_); !made.Ok()) return made;
        break;
    }
    begun_ = true;
    return {};
}

ByteSink ReplacingFile::Sink() {
    constexpr ByteSink::WriteFn write = [](void* self, std::span<const std::uint8_t> bytes) {
        return static_cast<ReplacingFile*>(self)->Write(std::span(&bytes, 1)).Ok();
    };
    constexpr ByteSink::WriteFn handOver = [](void* self, std::span<const std::uint8_t> bytes) {
        return static_cast<ReplacingFile*>(self)->Write(std::span(&bytes, 1), true).Ok();
    };
    constexpr ByteSink::GatherFn gather = [](void* self, std::span<const std::span<const std::uint8_t>> pieces) {
        return static_cast<ReplacingFile*>(self)->Write(pieces).Ok();
    };
    constexpr ByteSink::DrainFn drain = [](void* self) { return static_cast<ReplacingFile*>(self)->Drain().Ok(); };
    if (route_ != SaveRoute::Stream && size_ >= kBackgroundFileBytes) return ByteSink{handOver, this, gather, drain};
    return ByteSink{write, this, gather};
}

Outcome ReplacingFile::Write(std::span<const std::span<const std::uint8_t>> pieces, bool inBackground) {
    // Limit: never more than planned, so the limits checked in Begin hold.
    if (!begun_ || !writeFailure_.Ok()) return writeFailure_.Ok() ? Outcome{Reason::Internal} : writeFailure_;
    std::uint64_t bytes = 0;
    for (const auto& piece : pieces) bytes += piece.size();
    if (bytes > size_ - written_) {
        writeFailure_ = Outcome{Reason::WriteFailed, EFBIG};
        return writeFailure_;
    }
    // A stream has no offsets; a file is written at its own. Band-sized
    // pieces of a large file go to the background writer (started with the
    // first of them); everything else waits for it and is written here.
    const auto at = route_ == SaveRoute::Stream ? std::nullopt : std::optional<std::uint64_t>(written_);
    if (inBackground && at && bytes >= kBackgroundBandBytes && (background_.Running() || background_.Start())) {
        writeFailure_ = background_.Post(out_.Get(), *at, pieces[0]);
    } else {
        if (const Outcome drained = Drain(); !drained.Ok()) return drained;
        writeFailure_ = io::WriteAllGathered(out_.Get(), at, pieces);
    }
    if (writeFailure_.Ok()) written_ += bytes;
    return writeFailure_;
}

Outcome ReplacingFile::Drain() {
    const Outcome done = background_.Wait();
    if (writeFailure_.Ok()) writeFailure_ = done;
    return writeFailure_;
}

Outcome ReplacingFile::CommitInPlace(io::Handle newBytes, bool scratchInFolder) {
    // The old bytes go aside first, so a failed rewrite can put them back under every name.
    const io::Handle target = destination_.Target();
    const auto old = io::LengthOf(target);
    io::OwnedHandle kept;
    if (!old) return {Reason::WriteFailed, io::LastError()};
    if (const Outcome made = destination_.CreateScratch(scratchInFolder, kept); !made.Ok()) return made;
    std::vector<std::uint8_t> buffer(kCopyChunk);
    if (!io::CopyOver(target, kept.Get(), *old, buffer)) return {Reason::WriteFailed, io::LastError()};
    if (io::CopyOver(newBytes, target, size_, buffer) && io::Sync(target)) return {};
    const int why = io::LastError();
    (void)(io::CopyOver(kept.Get(), target, *old, buffer) && io::Sync(target));
    return {Reason::WriteFailed, why};
}

Outcome ReplacingFile::Commit() {
    if (!begun_) return {Reason::Internal};
    // Nothing is written in the background past this point.
    if (const Outcome last = background_.Stop(); writeFailure_.Ok()) writeFailure_ = last;
    begun_ = false;
    if (!writeFailure_.Ok()) return writeFailure_;
    if (written_ != size_) return {Reason::WriteFailed, EIO};
    switch (route_) {
    case SaveRoute::Stream: {
        const bool closed = out_.CloseNow();  // a FIFO or device keeps nothing to sync
        destination_.ReleaseBrokenPipe();
        return closed ? Outcome{} : Outcome{Reason::WriteFailed, io::LastError()};
    }
    case SaveRoute::InPlace:
        return CommitInPlace(out_.Get(), scratchInFolder_);
    case SaveRoute::Create:
    case SaveRoute::Rename: break;
    }
    if (!io::Sync(out_.Get())) return {Reason::WriteFailed, io::LastError()};
    Outcome placed = route_ == SaveRoute::Create ? destination_.LinkNew(out_) : destination_.Replace(out_);
    if (route_ == SaveRoute::Rename && (placed.systemError == EBUSY || placed.systemError == EXDEV)) {
        // No rename can replace that name (a file mounted over it, say): the
        // complete new file is copied in place instead, with the same care.
        const DestinationFacts& f = destination_.Facts();
        io::OwnedHandle made;
        placed = f.readable ? destination_.ReopenNew(made) : Outcome{Reason::Unreadable};
        if (placed.Ok()) placed = CommitInPlace(made.Get(), f.folderWritable);
        destination_.RemoveTemporary();
        return placed;
    }
    if (!placed.Ok()) return placed;
    return destination_.SyncFolder() ? Outcome{} : Outcome{Reason::WriteFailed, io::LastError()};
}

}  // namespace tessaly
