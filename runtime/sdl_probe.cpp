// keymon-sdl-probe: loads the SDL libraries as keymon's SDL 1.2 would, and
// says what each reports of itself, one line each:
//   glibc 2.36
//   sdl12 1.2.78 FILE
//   sdl2 2.32.74 FILE
//   sdl3 3.4.18 FILE
// or "failed REASON" for the layer that cannot load. It links the C library
// alone, so it runs on any release's stack through that stack's loader.
// Written with the C library only: no C++ runtime to bring along.
#include <dlfcn.h>
#include <gnu/libc-version.h>
#include <link.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

// SDL 1.2's and SDL2's SDL_version.
struct SdlVersion {
    unsigned char major, minor, patch;
};

// Classic SDL 1.2 ended at 1.2.15; the SDL2-based runtime numbers its
// releases from 1.2.50 on.
constexpr unsigned first_sdl2_based_patch = 50;

// The file a handle was loaded from, its links resolved, in `resolved`.
const char* file_of(void* handle, char (&resolved)[4096]) {
    link_map* map = nullptr;
    if (!handle || dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name) return "";
    return realpath(map->l_name, resolved) ? resolved : map->l_name;
}

// Out at once: a layer that aborts the process (sdl2-compat without a
// loadable SDL3) leaves the lines before it.
void line(const char* layer, unsigned major, unsigned minor, unsigned patch, void* handle) {
    char resolved[4096];
    printf("%s %u.%u.%u %s\n", layer, major, minor, patch, file_of(handle, resolved));
    fflush(stdout);
}

int not_a_library(void* handle, const char* kind) {
    char resolved[4096];
    printf("failed %s is not an %s library\n", file_of(handle, resolved), kind);
    fflush(stdout);
    return 1;
}

int failed(const char* what, const char* why) {
    printf("failed %s (%s)\n", what, why ? why : "no reason given");
    fflush(stdout);
    return 1;
}

}  // namespace

int main() {
    printf("glibc %s\n", gnu_get_libc_version());
    fflush(stdout);
    void* sdl12 = dlopen("libSDL-1.2.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!sdl12) return failed("its libSDL-1.2.so.0 cannot be loaded", dlerror());
    const auto linked = reinterpret_cast<const SdlVersion* (*)()>(dlsym(sdl12, "SDL_Linked_Version"));
    if (!linked) return not_a_library(sdl12, "SDL 1.2");
    const SdlVersion* v12 = linked();
    line("sdl12", v12->major, v12->minor, v12->patch, sdl12);
    if (v12->patch < first_sdl2_based_patch) return 0;  // classic loads no SDL2
    // The SDL2 the runtime loads itself, by the same name, at its start.
    void* sdl2 = dlopen("libSDL2-2.0.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!sdl2) return failed("its SDL2 (libSDL2-2.0.so.0) cannot be loaded", dlerror());
    const auto version2 = reinterpret_cast<void (*)(SdlVersion*)>(dlsym(sdl2, "SDL_GetVersion"));
    if (!version2) return not_a_library(sdl2, "SDL2");
    SdlVersion v2{};
    version2(&v2);
    line("sdl2", v2.major, v2.minor, v2.patch, sdl2);
    // sdl2-compat loads SDL3 as it is loaded itself; SDL2 proper never does.
    if (void* sdl3 = dlopen("libSDL3.so.0", RTLD_NOW | RTLD_NOLOAD)) {
        const auto version3 = reinterpret_cast<int (*)()>(dlsym(sdl3, "SDL_GetVersion"));
        const int v3 = version3 ? version3() : 0;
        line("sdl3", unsigned(v3 / 1000000), unsigned(v3 / 1000 % 1000), unsigned(v3 % 1000), sdl3);
    }
    return 0;
}
