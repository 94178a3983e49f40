// Reasons; see reasons.h.
#include "reasons.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "host.h"
#include "shell/bmp_codec.h"

namespace tessaly_cli {
namespace {

namespace fs = std::filesystem;

std::string gForeignPlugin;

// The system's words for an errno value, the same on every build (the C
// libraries of Linux and Windows word them differently).
std::string SystemText(int error) {
    switch (error) {
    case ENOENT: return "No such file or directory";
    case ENOTDIR: return "Not a directory";
    case EACCES:
    case EPERM: return "Permission denied";
    case ENAMETOOLONG: return "File name too long";
    case EISDIR: return "Is a directory";
    case EINVAL: return "not a regular file";
    case ENOSPC: return "No space left on device";
    case EROFS: return "Read-only file system";
    case EFBIG: return "File too large";
    case EEXIST: return "File exists";
    case ENXIO: return "No reader at the other end";
    case EPIPE: return "The reader went away";
    case EBUSY: return "Device or resource busy";
    case ELOOP: return "Too many levels of symbolic links";
    case EAGAIN: return "It changed while the save looked at it";
    case EIO: return "Input/output error";
    default: return "System error " + std::to_string(error);
    }
}

// The first explanation from this host's reader for a plug-in of another build says so.
void NoteOnce() {
    if (gForeignPlugin.empty()) return;
    std::fprintf(messages, "tessaly: note: %s is not this host's own plug-in; explanations come from this host's reader\n",
                 gForeignPlugin.c_str());
    gForeignPlugin.clear();
}

}  // namespace

void SetForeignPlugin(const std::string& path) { gForeignPlugin = path; }

std::string OpenFailure(const std::string& path) {
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (st.type() == fs::file_type::not_found) return SystemText(ENOENT);
    if (ec) return ec == std::errc::not_a_directory ? SystemText(ENOTDIR)
                   : ec == std::errc::permission_denied ? SystemText(EACCES)
                   : ec == std::errc::filename_too_long ? SystemText(ENAMETOOLONG) : ec.message();
    if (st.type() == fs::file_type::directory) return SystemText(EISDIR);
    if (st.type() != fs::file_type::regular) return SystemText(EINVAL);
    errno = 0;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        std::fclose(f);
        return tessaly::ReasonText(tessaly::Reason::CannotOpen);  // it opens now: it did not when asked
    }
    return SystemText(errno);
}

std::string OutcomeText(const tessaly::Outcome& outcome) {
    return outcome.systemError != 0 ? SystemText(outcome.systemError) : tessaly::ReasonText(outcome);
}

std::string LoadExplanation(const std::string& path, const std::string& fallback, const char* notAnyType) {
    return LoadExplanation(tessaly::Describe(path.c_str()), fallback, notAnyType);
}

std::string LoadExplanation(const tessaly::BmpDescription& d, const std::string& fallback, const char* notAnyType) {
    if (d.reason.Ok()) return fallback;
    NoteOnce();
    if (d.reason == tessaly::Reason::CannotOpen || !notAnyType) return OutcomeText(d.reason);
    return notAnyType;
}

std::string SaveExplanation(const std::string& path, const tessaly::SaveRequest& request, const std::string& fallback) {
    const auto codec = std::make_unique<tessaly::BmpCodec>();
    const tessaly::Outcome checked = codec->CheckSave(path.c_str(), request);
    if (checked.Ok()) return fallback;
    NoteOnce();
    return OutcomeText(checked);
}

std::string DamageClauses(const tessaly::BmpDescription& d) {
    std::string text;
    for (const tessaly::Damage& x : d.damage)
        if (!tessaly::IsNote(x.kind) || x.kind == tessaly::DamageKind::AlphaUnused)
            text += (text.empty() ? "" : "; ") + tessaly::DamageText(x, d.layout);
    return text;
}

}  // namespace tessaly_cli
