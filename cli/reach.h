// Paths longer than the plug-in takes. A request holds a path of at most 259
// bytes (ImageRequestPathMax); a longer one is reached through its folder:
// the process moves into the folder and names the file from there, until the
// scope ends and the working folder of before is restored. On Linux the
// folder is entered one component at a time (openat, then fchdir), so even a
// path past the system's own limit (PATH_MAX) is reached, every component
// checked by the kernel as in any path walk; on Windows the folder itself must
// fit MAX_PATH. Scopes do not nest: a command reaches one path at a time.
#pragma once

#include <string>

namespace tessaly_cli {

class PathInReach {
public:
    PathInReach() = default;
    PathInReach(const PathInReach&) = delete;
    PathInReach& operator=(const PathInReach&) = delete;
    ~PathInReach();  // back in the working folder of before

    // Makes `path` reachable: itself when it fits a request, else its last
    // component, with the process in its folder. False with the reason in
    // `error` (the folder missing, not a folder, not searchable, or the name
    // itself too long), the working folder unchanged.
    [[nodiscard]] bool Reach(const std::string& path, std::string& error);
    // What the plug-in and the system calls are given while the scope lasts.
    [[nodiscard]] const std::string& Path() const { return path_; }

private:
    void Leave();

    std::string path_;
#ifdef _WIN32
    std::string home_;
#else
    int home_ = -1;
#endif
};

#ifdef _WIN32
// A Windows error code in the words the POSIX builds use for the same failure
// ("No such file or directory", "Permission denied", ...), else "error N".
std::string WindowsText(unsigned long code);
#endif

}  // namespace tessaly_cli
