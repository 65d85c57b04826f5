#include "runtime.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "files.h"

SystemRuntime runtime_from_env() {
    const char* name = std::getenv("KEYMON_RUNTIME");
    return name && std::strcmp(name, "compat") == 0 ? SystemRuntime::compat : SystemRuntime::classic;
}

const char* runtime_name(SystemRuntime runtime) { return runtime == SystemRuntime::compat ? "compat" : "classic"; }

std::string runtime_libdir(SystemRuntime runtime) {
    if (runtime == SystemRuntime::classic) return "";
    const char* dir = std::getenv("KEYMON_COMPAT_LIBDIR");
    return dir ? dir : KEYMON_COMPAT_LIBDIR;
}

std::vector<std::string> mapped_objects(pid_t pid) {
    std::vector<std::string> objects;
    std::string maps;
    if (!read_file("/proc/" + std::to_string(pid) + "/maps", maps)) return objects;
    for (std::size_t start = 0; start < maps.size();) {
        std::size_t end = maps.find('\n', start);
        if (end == std::string::npos) end = maps.size();
        const std::size_t at = maps.find('/', start);
        if (at < end) {
            std::string path = maps.substr(at, end - at);
            if (path.find(".so") != std::string::npos && std::find(objects.begin(), objects.end(), path) == objects.end()) {
                objects.push_back(std::move(path));
            }
        }
        start = end + 1;
    }
    return objects;
}

std::string mapped_sdl_library(pid_t pid) {
    for (const std::string& object : mapped_objects(pid)) {
        if (object.find("libSDL-1.2.so") != std::string::npos) return object;
    }
    return "";
}
