// The plug-in loader; see plugin_library.h.
#include "kit/plugin_library.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <vector>

namespace tessaly::kit {
namespace {

#ifdef _WIN32

void* OpenLibrary(const std::string& path, std::string& error) {
    void* handle = LoadLibraryA(path.c_str());
    if (!handle) error = "cannot load the plug-in (error " + std::to_string(GetLastError()) + ")";
    return handle;
}
void CloseLibrary(void* handle) { FreeLibrary(static_cast<HMODULE>(handle)); }
void* Symbol(void* handle, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}

// FILEVERSION of the module's version resource, as "a.b.c.d".
std::string ModuleVersion(void* handle, TessalyBaseProc) {
    std::vector<char> path(32768);
    const DWORD n = GetModuleFileNameA(static_cast<HMODULE>(handle), path.data(), static_cast<DWORD>(path.size()));
    if (n == 0 || n >= path.size()) return {};
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.data(), &ignored);
    if (size == 0) return {};
    std::vector<char> data(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoA(path.data(), 0, size, data.data()) ||
        !VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length) || length < sizeof *fixed)
        return {};
    return std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionMS)) +
           "." + std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionLS));
}

#else

void* OpenLibrary(const std::string& path, std::string& error) {
    // A bare name would make dlopen search the library path instead of the current folder.
    const std::string target = path.find('/') == std::string::npos ? "./" + path : path;
    void* handle = dlopen(target.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        // dlerror names the file first; the caller names it too.
        const char* text = dlerror();
        std::string why = text ? text : "";
        if (why.rfind(target + ": ", 0) == 0) why.erase(0, target.size() + 2);
        error = "cannot load the plug-in: " + why;
    }
    return handle;
}
void CloseLibrary(void* handle) { dlclose(handle); }
void* Symbol(void* handle, const char* name) { return dlsym(handle, name); }

// The build writes its version as an ELF note, name "Tessaly", type 1, in a
// loaded segment: found among the program headers of the object that holds
// BaseProc, so nothing but the mapped library is read.
struct NoteSearch {
    std::uintptr_t inside = 0;  // an address in the plug-in's code
    std::string version;
};

constexpr std::uint32_t kVersionNoteType = 1;
constexpr char kNoteName[] = "Tessaly";

std::size_t Align4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

void ReadVersionNotes(const unsigned char* p, std::size_t size, std::string& version) {
    while (size >= 12) {
        std::uint32_t head[3];  // namesz, descsz, type
        std::memcpy(head, p, sizeof head);
        const std::size_t desc = 12 + Align4(head[0]);
        const std::size_t next = desc + Align4(head[1]);
        if (head[0] > size || head[1] > size || next > size) return;
        if (head[2] == kVersionNoteType && head[0] == sizeof kNoteName && std::memcmp(p + 12, kNoteName, sizeof kNoteName) == 0) {
            const auto* text = reinterpret_cast<const char*>(p + desc);
            version.assign(text, strnlen(text, head[1]));
            return;
        }
        p += next;
        size -= next;
    }
}

int VisitObject(dl_phdr_info* info, std::size_t, void* data) {
    auto* search = static_cast<NoteSearch*>(data);
    bool holds = false;
    for (std::size_t i = 0; i < info->dlpi_phnum; ++i) {
        const auto& ph = info->dlpi_phdr[i];
        const std::uintptr_t start = info->dlpi_addr + ph.p_vaddr;
        if (ph.p_type == PT_LOAD && search->inside >= start && search->inside - start < ph.p_memsz) holds = true;
    }
    if (!holds) return 0;
    for (std::size_t i = 0; i < info->dlpi_phnum && search->version.empty(); ++i) {
        const auto& ph = info->dlpi_phdr[i];
        if (ph.p_type == PT_NOTE)
            ReadVersionNotes(reinterpret_cast<const unsigned char*>(info->dlpi_addr + ph.p_vaddr), ph.p_memsz,
                             search->version);
    }
    return 1;
}

std::string ModuleVersion(void*, TessalyBaseProc baseProc) {
    NoteSearch search;
    search.inside = reinterpret_cast<std::uintptr_t>(baseProc);
    dl_iterate_phdr(VisitObject, &search);
    return search.version;
}

#endif

#ifdef _WIN32
constexpr char kPluginFile[] = "Tessaly.dll";
#else
constexpr char kPluginFile[] = "Tessaly.so";
#endif

// Where a host looks when no plug-in is named, in order: beside the executable
// (a build folder, a Windows folder, an unpacked package), then the installed
// layout's lib/tessaly/ beside its bin/.
std::vector<std::string> DefaultPluginCandidates() {
#ifdef _WIN32
    std::vector<char> buffer(32768);
    const DWORD n = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    const std::string self(buffer.data(), n);
#else
    std::vector<char> buffer(4096);
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    const std::string self(buffer.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
#endif
    const std::filesystem::path folder = std::filesystem::path(self).parent_path();
    if (folder.empty()) return {kPluginFile};
    return {(folder / kPluginFile).string(),
            (folder / ".." / "lib" / "tessaly" / kPluginFile).lexically_normal().string()};
}

bool Exists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

// When `path` is the default plug-in and none exists at any place the default
// search looks, the reason to report: every path tried and how to name one.
std::string MissingDefaultPlugin(const std::string& path) {
    const std::vector<std::string> candidates = DefaultPluginCandidates();
    if (path != candidates.front()) return {};
    std::string tried;
    for (const std::string& candidate : candidates) {
        if (Exists(candidate)) return {};
        tried += (tried.empty() ? "" : " or ") + candidate;
    }
    return "no plug-in at " + tried + "; name one with --plugin PATH or TESSALY_PLUGIN";
}

template <class Fn>
Fn Resolve(void* handle, const char* name) {
    return reinterpret_cast<Fn>(Symbol(handle, name));
}

}  // namespace

PluginLibrary::~PluginLibrary() {
    if (handle_) CloseLibrary(handle_);
}

bool PluginLibrary::Load(const std::string& path, std::string& error) {
    if (handle_) CloseLibrary(handle_);  // a library that lacked an export, loaded before
    handle_ = OpenLibrary(path, error);
    if (!handle_) {
        if (std::string missing = MissingDefaultPlugin(path); !missing.empty()) error = missing;
        return false;
    }
    baseProc = Resolve<TessalyBaseProc>(handle_, "BaseProc");
    paramProc = Resolve<TessalyParamProc>(handle_, "ParamProc");
    imageProc = Resolve<TessalyImageProc>(handle_, "ImageProc");
    bool exported = baseProc && paramProc && imageProc;
    if (!exported) error = "not a Tessaly plug-in: it lacks BaseProc, ParamProc or ImageProc";
#ifdef _WIN32
    // Hosts that bind by ordinal must reach the same functions: 1, 2 and 3.
    if (exported && (Resolve<TessalyBaseProc>(handle_, MAKEINTRESOURCEA(1)) != baseProc ||
                     Resolve<TessalyParamProc>(handle_, MAKEINTRESOURCEA(2)) != paramProc ||
                     Resolve<TessalyImageProc>(handle_, MAKEINTRESOURCEA(3)) != imageProc)) {
        error = "not a Tessaly plug-in: BaseProc, ParamProc and ImageProc are not ordinals 1, 2 and 3";
        exported = false;
    }
#endif
    if (!exported) baseProc = nullptr, paramProc = nullptr, imageProc = nullptr;
    return exported;
}

std::string PluginLibrary::Version() const { return handle_ && baseProc ? ModuleVersion(handle_, baseProc) : ""; }

std::string DefaultPluginPath() {
    const std::vector<std::string> candidates = DefaultPluginCandidates();
    for (const std::string& candidate : candidates)
        if (Exists(candidate)) return candidate;
    return candidates.front();
}

}  // namespace tessaly::kit
