// Files and streams around the plug-in: "-" as an input (standard input, copied
// to a temporary file, since the plug-in opens files by path) and as an output
// (standard output: written directly, or copied from the temporary file a
// plug-in save wrote), and the files the host writes itself, written aside.
// Temporary files are private to the process and removed when the object that
// made them ends; on Linux an input's copy has no name at all once it is made
// (the plug-in opens it as /proc/self/fd/N).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "reach.h"

namespace tessaly_cli {

// What messages call standard input and standard output.
inline constexpr const char* kStdinName = "(standard input)";
inline constexpr const char* kStdoutName = "(standard output)";

// A file a command reads through the plug-in.
class InputFile {
public:
    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();  // removes the copy of standard input

    // Takes `word` as the input; "-" copies standard input first. False with
    // the reason in `error` (standard input unreadable, too long, no room).
    [[nodiscard]] bool Open(const std::string& word, std::string& error);
    // The path the plug-in is given.
    [[nodiscard]] const std::string& Path() const { return path_; }
    // What messages call the input.
    [[nodiscard]] const std::string& Name() const { return name_; }

private:
    std::string path_, name_, named_;  // named_: a copy's name while it has one
    int fd_ = -1;
};

// An output the host writes itself (pictures). A file is written aside: under
// a temporary name in its folder, flushed to disk and moved into place when
// Close completes it, so until then the destination is untouched and a failure
// (a full disk, the file-size limit, a picture the type cannot hold) leaves an
// old file as it was and makes no new one. The new file keeps an old one's
// mode, owner and group (a new one gets 0666 less the umask). An old file a
// rename would change in other ways (a symbolic link, several names, another
// owner the caller cannot give a new file, extended attributes, a folder the
// caller may not write) is overwritten in place from the complete temporary,
// after room for it has been reserved. Standard output ("-"), a FIFO and a
// character device are written straight through. A path longer than the
// plug-in takes is reached through its folder (reach.h) while the file is open.
class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();  // an output never closed is a failed one: the temporary goes, the destination stays

    // Opens `word` for writing. False with the reason in `error` (a folder that
    // is missing or not writable, a directory, a file the caller may not write).
    [[nodiscard]] bool Open(const std::string& word, std::string& error);
    [[nodiscard]] std::FILE* Stream() const { return stream_; }
    [[nodiscard]] const std::string& Name() const { return name_; }
    // Flushes, syncs and moves the file into place; false with the reason
    // ("No space left on device", "File too large"), the destination as it was.
    [[nodiscard]] bool Close(std::string& error);

private:
    enum class Route { Stream, Create, Replace, InPlace };
    void Discard();

    PathInReach reach_;
    std::FILE* stream_ = nullptr;
    std::string name_, path_, temp_;
    Route route_ = Route::Stream;
};

// Where a plug-in save goes: the named file itself, or for "-", a FIFO or a
// device a temporary file that Finish copies there.
class SaveTarget {
public:
    SaveTarget() = default;
    SaveTarget(const SaveTarget&) = delete;
    SaveTarget& operator=(const SaveTarget&) = delete;
    ~SaveTarget();  // removes the temporary file

    [[nodiscard]] bool Open(const std::string& word, std::string& error);
    [[nodiscard]] const std::string& Path() const { return path_; }
    [[nodiscard]] const std::string& Name() const { return name_; }
    // After a successful save: copies a temporary file to standard output.
    [[nodiscard]] bool Finish(std::string& error);

private:
    std::string path_, name_, folder_;  // folder_: the private folder holding the temporary file
    std::string stream_;                // the FIFO or device Finish writes to (else standard output)
};

// True when standard output is a terminal, where binary output does not belong.
bool StdoutIsTerminal();

}  // namespace tessaly_cli
