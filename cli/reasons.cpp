// Reasons; see reasons.h.
#include "reasons.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "bmp/read/describe.h"

namespace tessaly_cli {
namespace {

namespace fs = std::filesystem;

// The system's words for an error code, the same on every build.
std::string SystemText(const std::error_code& ec) {
    if (ec == std::errc::no_such_file_or_directory) return "No such file or directory";
    if (ec == std::errc::not_a_directory) return "Not a directory";
    if (ec == std::errc::permission_denied) return "Permission denied";
    if (ec == std::errc::filename_too_long) return "File name too long";
    return ec.message();
}

bool Writable(const fs::path& path) {
#ifdef _WIN32
    (void)path;
    return true;  // the read-only attribute shows in the permission bits; ACLs are the save's to judge
#else
    return access(path.c_str(), W_OK) == 0;
#endif
}

}  // namespace

std::string OpenFailure(const std::string& path) {
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (st.type() == fs::file_type::not_found) return "No such file or directory";
    if (ec) return SystemText(ec);
    if (st.type() == fs::file_type::directory) return "Is a directory";
    if (st.type() != fs::file_type::regular) return "not a regular file";
    errno = 0;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        std::fclose(f);
        return tessaly::ReasonText(tessaly::Reason::CannotOpen);  // it opens now: it did not when asked
    }
    return errno == EACCES ? "Permission denied" : std::strerror(errno);
}

std::string SaveObstacle(const std::string& path) {
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (st.type() == fs::file_type::directory) return "Is a directory";
    if (st.type() == fs::file_type::not_found) {
        fs::path folder = fs::path(path).parent_path();
        if (folder.empty()) folder = ".";
        const fs::file_status fst = fs::status(folder, ec);
        if (fst.type() == fs::file_type::not_found) return "No such file or directory";
        if (ec) return SystemText(ec);
        if (fst.type() != fs::file_type::directory) return "Not a directory";
        return Writable(folder) ? "" : "Permission denied";
    }
    if (ec) return SystemText(ec);
    const fs::perms writeBits = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    if (st.type() == fs::file_type::regular && (st.permissions() & writeBits) == fs::perms::none)
        return "read-only file (no write permission)";
    if (!Writable(path)) return "Permission denied";
    if (st.type() != fs::file_type::regular && st.type() != fs::file_type::fifo &&
        st.type() != fs::file_type::character)
        return "not a regular file";
    return {};
}

}  // namespace tessaly_cli
