#include "runtime.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "files.h"

Runtime runtime_from_env() {
    const char* name = std::getenv("KEYMON_RUNTIME");
    return name && std::strcmp(name, "compat") == 0 ? Runtime::compat : Runtime::classic;
}

const char* runtime_name(Runtime runtime) { return runtime == Runtime::compat ? "compat" : "classic"; }

std::string runtime_libdir(Runtime runtime) {
    if (runtime == Runtime::classic) return "";
    const char* dir = std::getenv("KEYMON_COMPAT_LIBDIR");
    return dir ? dir : KEYMON_COMPAT_LIBDIR;
}

std::string runtime_missing(Runtime runtime) {
    if (runtime == Runtime::classic) return "";
    const std::string library = runtime_libdir(runtime) + "/libSDL-1.2.so.0";
    std::error_code unreadable;  // counts as missing; never throws
    if (std::filesystem::exists(library, unreadable)) return "";
    return "the SDL2-based SDL 1.2 runtime is not installed (no " + library +
           "; Debian package libsdl1.2-compat)";
}

std::string mapped_sdl_library(pid_t pid) {
    std::string maps;
    if (!read_file("/proc/" + std::to_string(pid) + "/maps", maps)) return "";
    for (std::size_t start = 0; start < maps.size();) {
        std::size_t end = maps.find('\n', start);
        if (end == std::string::npos) end = maps.size();
        const std::size_t at = maps.find('/', start);
        if (at < end) {
            const std::string path = maps.substr(at, end - at);
            if (path.find("libSDL-1.2.so") != std::string::npos) return path;
        }
        start = end + 1;
    }
    return "";
}

Runtime runtime_of_library(const std::string& library) {
    return library.find("sdl12-compat") != std::string::npos ? Runtime::compat : Runtime::classic;
}
