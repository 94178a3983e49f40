// The Win32 part of a save; see save_destination.h. The system follows links
// when it opens a file; the existing destination is opened for writing first,
// so its read-only attribute or ACL refuses the save as it refuses any writer.
// ReplaceFileA gives the new file the old one's attributes, ACLs and streams,
// so every property is carried over by the replace itself.
#include <windows.h>

#include <cerrno>
#include <random>

#include "shell/save_destination.h"

namespace tessaly {
namespace {

// The folder part of a path, separator included ("" for a bare name).
std::string FolderOf(const std::string& path) {
    const std::size_t cut = path.find_last_of("\\/:");
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

// A temporary's name in `folder`: fixed length whatever the destination's name.
std::string TemporaryNameIn(const std::string& folder) {
    std::random_device entropy;
    const std::uint32_t tag = entropy();
    static constexpr char kHex[] = "0123456789abcdef";
    std::string name = folder + ".tessaly-";
    for (int shift = 28; shift >= 0; shift -= 4) name += kHex[(tag >> shift) & 0xF];
    return name + ".tmp";
}

std::optional<std::uint64_t> FreeBytes(const std::string& folder) {
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExA(folder.empty() ? nullptr : folder.c_str(), &available, nullptr, nullptr))
        return std::nullopt;
    return available.QuadPart;
}

std::string SystemTemporaryFolder() {
    char buffer[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof buffer, buffer);
    return n == 0 || n > MAX_PATH ? std::string() : std::string(buffer, n);
}

// The path of the file an open handle reaches, links followed, in its
// ordinary form (C:\dir\name, \\server\share\name, without the \\?\ prefix);
// "" when the system cannot say.
std::string FinalPathOf(HANDLE h) {
    char buffer[MAX_PATH + 8];
    const DWORD n = GetFinalPathNameByHandleA(h, buffer, sizeof buffer, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= sizeof buffer) return {};
    const std::string path(buffer, n);
    if (path.rfind("\\\\?\\UNC\\", 0) == 0) return "\\\\" + path.substr(8);
    return path.rfind("\\\\?\\", 0) == 0 ? path.substr(4) : path;
}

// A file made under a fresh temporary name in `folder`; a scratch file
// vanishes when closed, whatever ends the process.
Outcome CreateIn(const std::string& folder, bool scratch, io::OwnedHandle& file, std::string& named) {
    const DWORD access = scratch ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
    const DWORD flags = scratch ? FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE : FILE_ATTRIBUTE_NORMAL;
    for (int attempt = 0; attempt < 8; ++attempt) {
        const std::string name = TemporaryNameIn(folder);
        HANDLE h = CreateFileA(name.c_str(), access, 0, nullptr, CREATE_NEW, flags, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            file.Reset(reinterpret_cast<io::Handle>(h));
            if (!scratch) named = name;
            return {};
        }
        if (GetLastError() != ERROR_FILE_EXISTS) return {Reason::CannotWrite, io::LastError()};
    }
    return {Reason::CannotWrite, EEXIST};
}

}  // namespace

void SaveDestination::Inspect(const char* path, bool /*waitForReader*/) {
    facts_ = DestinationFacts{};
    using Kind = DestinationFacts::Kind;
    name_ = path;
    scratchFolder_ = SystemTemporaryFolder();
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        facts_.kind = Kind::Other;
        facts_.folder = true;
        return;
    }
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        facts_.kind = Kind::Regular;  // the read-only attribute refuses every writer, administrators too
        facts_.writeBit = false;
        return;
    }
    constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, kShare, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    facts_.readable = h != INVALID_HANDLE_VALUE;
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
        h = CreateFileA(path, GENERIC_WRITE, kShare, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        // A new file: its folder decides. Any other failure is the system's refusal.
        if (GetLastError() != ERROR_FILE_NOT_FOUND) facts_.openError = io::LastError();
        facts_.folderWritable = true;  // ACLs are the system's to judge when the file is made
        facts_.folderFree = FreeBytes(FolderOf(name_));
        return;
    }
    target_.Reset(reinterpret_cast<io::Handle>(h));
    const DWORD type = GetFileType(h);
    if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) {
        facts_.kind = Kind::Stream;
        return;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (type != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        facts_.kind = Kind::Other;
        return;
    }
    facts_.kind = Kind::Regular;
    facts_.links = info.nNumberOfLinks;
    facts_.oldSize = std::uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
    facts_.carriesOver = true;
    facts_.folderWritable = true;
    facts_.scratchWritable = !scratchFolder_.empty();
    if (const std::string final = FinalPathOf(h); !final.empty()) name_ = final;
    facts_.folderFree = FreeBytes(FolderOf(name_));
    facts_.scratchFree = FreeBytes(scratchFolder_);
    return;
}

Outcome SaveDestination::CreateNew(io::OwnedHandle& file) { return CreateIn(FolderOf(name_), false, file, temporary_); }

Outcome SaveDestination::CreateScratch(bool inFolder, io::OwnedHandle& file) {
    std::string unnamed;
    return CreateIn(inFolder ? FolderOf(name_) : scratchFolder_, true, file, unnamed);
}

bool SaveDestination::CarryOver(io::Handle) { return true; }  // ReplaceFileA carries them at the end

Outcome SaveDestination::ReopenNew(io::OwnedHandle& file) {
    HANDLE h = CreateFileA(temporary_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return {Reason::WriteFailed, io::LastError()};
    file.Reset(reinterpret_cast<io::Handle>(h));
    return {};
}

Outcome SaveDestination::LinkNew(io::OwnedHandle& file) {
    if (!file.CloseNow()) return {Reason::WriteFailed, io::LastError()};
    // Never over a file that appeared since Inspect.
    if (!MoveFileExA(temporary_.c_str(), name_.c_str(), MOVEFILE_WRITE_THROUGH)) return {Reason::CannotWrite, io::LastError()};
    temporary_.clear();
    return {};
}

Outcome SaveDestination::Replace(io::OwnedHandle& file) {
    if (!file.CloseNow()) return {Reason::WriteFailed, io::LastError()};
    target_.Reset();  // only read from; the replace needs it closed
    // With a backup name, whatever step fails leaves the old file under its
    // own name or under the backup's, from where it is moved back.
    const std::string backup = TemporaryNameIn(FolderOf(name_));
    if (!ReplaceFileA(name_.c_str(), temporary_.c_str(), backup.c_str(), 0, nullptr, nullptr)) {
        const int why = io::LastError();
        if (GetFileAttributesA(name_.c_str()) == INVALID_FILE_ATTRIBUTES &&
            GetFileAttributesA(backup.c_str()) != INVALID_FILE_ATTRIBUTES)
            MoveFileExA(backup.c_str(), name_.c_str(), MOVEFILE_WRITE_THROUGH);
        return {Reason::CannotWrite, why};
    }
    temporary_.clear();
    DeleteFileA(backup.c_str());  // the old file, no longer needed; the save has succeeded either way
    return {};
}

bool SaveDestination::SyncFolder() { return true; }  // MOVEFILE_WRITE_THROUGH and ReplaceFileA leave nothing to sync

void SaveDestination::RemoveTemporary() {
    if (!temporary_.empty()) DeleteFileA(temporary_.c_str());
    temporary_.clear();
}

void SaveDestination::HoldBrokenPipe() {}  // Windows raises no signal for a reader that went away
void SaveDestination::ReleaseBrokenPipe() {}

SaveDestination::~SaveDestination() { RemoveTemporary(); }

}  // namespace tessaly
