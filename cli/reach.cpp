// Long paths; see reach.h.
#include "reach.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "host.h"
#include "kit/request.h"

namespace tessaly_cli {
namespace {

constexpr const char* kNameTooLong = "File name too long";


}  // namespace

#ifdef _WIN32
std::string WindowsText(unsigned long code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return "No such file or directory";
    case ERROR_ACCESS_DENIED: return "Permission denied";
    case ERROR_FILENAME_EXCED_RANGE: return kNameTooLong;
    case ERROR_DIRECTORY: return "Not a directory";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return "No space left on device";
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return "File exists (made while the output was written)";
    default: return "error " + std::to_string(code);
    }
}
#endif

PathInReach::~PathInReach() { Leave(); }

void PathInReach::Leave() {
#ifdef _WIN32
    if (home_.empty()) return;
    const bool back = SetCurrentDirectoryA(home_.c_str()) != 0;
    home_.clear();
#else
    if (home_ < 0) return;
    const bool back = fchdir(home_) == 0;
    close(home_);
    home_ = -1;
#endif
    // Every later relative path would name another file: stop rather than go on elsewhere.
    if (!back) {
        std::fputs("tessaly: cannot return to the working folder\n", stderr);
        std::_Exit(kFailed);
    }
}

bool PathInReach::Reach(const std::string& path, std::string& error) {
    Leave();
    if (tessaly::kit::PathFits(path)) {
        path_ = path;
        return true;
    }
#ifdef _WIN32
    const std::size_t slash = path.find_last_of("/\\");
#else
    const std::size_t slash = path.find_last_of('/');
#endif
    const std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string name = last.empty() ? std::string(1, '.') : last;  // "folder/" names the folder itself
    if (slash == std::string::npos || !tessaly::kit::PathFits(name) || path.find('\0') != std::string::npos) {
        error = kNameTooLong;
        return false;
    }
    const std::string folder = slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
#ifdef _WIN32
    char home[MAX_PATH + 1];
    const DWORD n = GetCurrentDirectoryA(sizeof home, home);
    if (n == 0 || n > MAX_PATH) {
        error = std::string("cannot note the working folder (error ")
                    .append(std::to_string(GetLastError()))
                    .append(")");
        return false;
    }
    if (!SetCurrentDirectoryA(folder.c_str())) {
        error = folder.size() >= MAX_PATH ? kNameTooLong : WindowsText(GetLastError());
        return false;
    }
    home_ = home;
#else
    const int home = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (home < 0) {
        error = std::string("cannot note the working folder: ") + std::strerror(errno);
        return false;
    }
    // One component at a time from the start (the root for an absolute path):
    // each step is a name, so no step passes PATH_MAX.
    int dir = folder[0] == '/' ? open("/", O_PATH | O_DIRECTORY | O_CLOEXEC) : dup(home);
    for (std::size_t at = 0; dir >= 0 && at < folder.size();) {
        const std::size_t end = std::min(folder.find('/', at), folder.size());
        if (end > at) {
            const int next = openat(dir, folder.substr(at, end - at).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            const int saved = errno;
            close(dir);
            dir = next;
            errno = saved;
        }
        at = end + 1;
    }
    const bool entered = dir >= 0 && fchdir(dir) == 0;
    const int why = errno;
    if (dir >= 0) close(dir);
    if (!entered) {
        close(home);
        error = std::strerror(why);
        return false;
    }
    home_ = home;
#endif
    path_ = name;
    return true;
}

}  // namespace tessaly_cli
