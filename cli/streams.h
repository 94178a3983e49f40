// Files and streams around the plug-in: "-" as an input (standard input, copied
// to a temporary file, since the plug-in opens files by path) and as an output
// (standard output: written directly, or copied from the temporary file a
// plug-in save wrote). Temporary files are private to the process and removed
// when the object that made them ends; on Linux an input's copy has no name at
// all once it is made (the plug-in opens it as /proc/self/fd/N).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

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

// An output the host writes itself (pictures): a file, or standard output for "-".
class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();  // an output never closed is a failed one: a file it created is removed

    // Opens (creates or truncates) the file. False with the reason in `error`.
    [[nodiscard]] bool Open(const std::string& word, std::string& error);
    [[nodiscard]] std::FILE* Stream() const { return stream_; }
    [[nodiscard]] const std::string& Name() const { return name_; }
    // Flushes and closes; false with the reason (a full disk shows here).
    [[nodiscard]] bool Close(std::string& error);

private:
    std::FILE* stream_ = nullptr;
    std::string name_;
    bool created_ = false;  // the file did not exist before Open
};

// Where a plug-in save goes: the named file itself, or for "-" a temporary
// file that Finish copies to standard output.
class SaveTarget {
public:
    SaveTarget() = default;
    SaveTarget(const SaveTarget&) = delete;
    SaveTarget& operator=(const SaveTarget&) = delete;
    ~SaveTarget();  // removes the temporary file

    [[nodiscard]] bool Open(const std::string& word, std::string& error);
    [[nodiscard]] const std::string& Path() const { return path_; }
    [[nodiscard]] const std::string& Name() const { return name_; }
    [[nodiscard]] bool ToStdout() const { return !folder_.empty(); }
    // After a successful save: copies a temporary file to standard output.
    [[nodiscard]] bool Finish(std::string& error);

private:
    std::string path_, name_, folder_;  // folder_: the private folder holding the temporary file
};

// True when standard output is a terminal, where binary output does not belong.
bool StdoutIsTerminal();

}  // namespace tessaly_cli
