#include "plugin_library.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <vector>

namespace tessaly_cli {
namespace {

#ifdef _WIN32

void* OpenLibrary(const std::string& path, std::string& error) {
    void* handle = LoadLibraryA(path.c_str());
    if (!handle) error = "cannot load plug-in " + path + " (error " + std::to_string(GetLastError()) + ")";
    return handle;
}
void CloseLibrary(void* handle) { FreeLibrary(static_cast<HMODULE>(handle)); }
void* Symbol(void* handle, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}

#else

void* OpenLibrary(const std::string& path, std::string& error) {
    // A bare name would make dlopen search the library path instead of the current folder.
    const std::string target = path.find('/') == std::string::npos ? "./" + path : path;
    void* handle = dlopen(target.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        error = "cannot load plug-in: " + std::string(why ? why : path);
    }
    return handle;
}
void CloseLibrary(void* handle) { dlclose(handle); }
void* Symbol(void* handle, const char* name) { return dlsym(handle, name); }

#endif

template <class Fn>
Fn Resolve(void* handle, const char* name) {
    return reinterpret_cast<Fn>(Symbol(handle, name));
}

}  // namespace

PluginLibrary::~PluginLibrary() {
    if (handle_) CloseLibrary(handle_);
}

bool PluginLibrary::Load(const std::string& path, std::string& error) {
    handle_ = OpenLibrary(path, error);
    if (!handle_) return false;
    baseProc = Resolve<TessalyBaseProc>(handle_, "BaseProc");
    paramProc = Resolve<TessalyParamProc>(handle_, "ParamProc");
    imageProc = Resolve<TessalyImageProc>(handle_, "ImageProc");
    if (!baseProc || !paramProc || !imageProc) {
        error = "plug-in " + path + " lacks BaseProc, ParamProc or ImageProc";
        return false;
    }
#ifdef _WIN32
    // Hosts that bind by ordinal must reach the same functions: 1, 2 and 3.
    if (Resolve<TessalyBaseProc>(handle_, MAKEINTRESOURCEA(1)) != baseProc ||
        Resolve<TessalyParamProc>(handle_, MAKEINTRESOURCEA(2)) != paramProc ||
        Resolve<TessalyImageProc>(handle_, MAKEINTRESOURCEA(3)) != imageProc) {
        error = "plug-in " + path + " does not export BaseProc, ParamProc and ImageProc as ordinals 1, 2 and 3";
        return false;
    }
#endif
    return true;
}

std::string DefaultPluginPath() {
#ifdef _WIN32
    std::vector<char> buffer(32768);
    const DWORD n = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    const std::string self(buffer.data(), n);
    const auto slash = self.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : self.substr(0, slash + 1)) + "Tessaly.dll";
#else
    std::vector<char> buffer(4096);
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) return "Tessaly.so";
    const std::string self(buffer.data(), static_cast<std::size_t>(n));
    return self.substr(0, self.find_last_of('/') + 1) + "Tessaly.so";
#endif
}

}  // namespace tessaly_cli
