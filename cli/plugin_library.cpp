#include "plugin_library.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <vector>

namespace tessaly_cli {

#ifdef _WIN32

namespace {
template <class Fn>
Fn Resolve(void* handle, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name)));
}
}  // namespace

PluginLibrary::~PluginLibrary() {
    if (handle_) FreeLibrary(static_cast<HMODULE>(handle_));
}

bool PluginLibrary::Load(const std::string& path, std::string& error) {
    handle_ = LoadLibraryA(path.c_str());
    if (!handle_) {
        error = "cannot load plug-in " + path + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    baseProc = Resolve<TessalyBaseProc>(handle_, "BaseProc");
    paramProc = Resolve<TessalyParamProc>(handle_, "ParamProc");
    imageProc = Resolve<TessalyImageProc>(handle_, "ImageProc");
    if (!baseProc || !paramProc || !imageProc) {
        error = "plug-in " + path + " lacks BaseProc, ParamProc or ImageProc";
        return false;
    }
    // Hosts that bind by ordinal must reach the same functions: 1, 2 and 3.
    if (Resolve<TessalyBaseProc>(handle_, MAKEINTRESOURCEA(1)) != baseProc ||
        Resolve<TessalyParamProc>(handle_, MAKEINTRESOURCEA(2)) != paramProc ||
        Resolve<TessalyImageProc>(handle_, MAKEINTRESOURCEA(3)) != imageProc) {
        error = "plug-in " + path + " does not export BaseProc, ParamProc and ImageProc as ordinals 1, 2 and 3";
        return false;
    }
    return true;
}

std::string DefaultPluginPath() {
    std::vector<char> buffer(32768);
    const DWORD n = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    std::string self(buffer.data(), n);
    const auto slash = self.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : self.substr(0, slash + 1)) + "Tessaly.dll";
}

#else

namespace {
template <class Fn>
Fn Resolve(void* handle, const char* name) {
    return reinterpret_cast<Fn>(dlsym(handle, name));
}
}  // namespace

PluginLibrary::~PluginLibrary() {
    if (handle_) dlclose(handle_);
}

bool PluginLibrary::Load(const std::string& path, std::string& error) {
    // A bare name would make dlopen search the library path instead of the current folder.
    const std::string target = path.find('/') == std::string::npos ? "./" + path : path;
    handle_ = dlopen(target.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* why = dlerror();
        error = "cannot load plug-in: " + std::string(why ? why : path);
        return false;
    }
    baseProc = Resolve<TessalyBaseProc>(handle_, "BaseProc");
    paramProc = Resolve<TessalyParamProc>(handle_, "ParamProc");
    imageProc = Resolve<TessalyImageProc>(handle_, "ImageProc");
    if (!baseProc || !paramProc || !imageProc) {
        error = "plug-in " + path + " lacks BaseProc, ParamProc or ImageProc";
        return false;
    }
    return true;
}

std::string DefaultPluginPath() {
    std::vector<char> buffer(4096);
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) return "Tessaly.so";
    std::string self(buffer.data(), static_cast<std::size_t>(n));
    return self.substr(0, self.find_last_of('/') + 1) + "Tessaly.so";
}

#endif

}  // namespace tessaly_cli
