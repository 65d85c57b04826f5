// Which SDL 1.2 runtime keymon runs on, and which one a running process
// has mapped.
#pragma once

#include <sys/types.h>

#include <string>

// The classic SDL 1.2 keymon was built against, or the SDL2-based one
// picked by LD_LIBRARY_PATH.
enum class Runtime { classic, compat };
Runtime runtime_from_env();  // KEYMON_RUNTIME=classic|compat (default classic)
const char* runtime_name(Runtime runtime);
// Where the SDL2-based runtime's libSDL-1.2 lives ("" for classic):
// Debian's folder, or KEYMON_COMPAT_LIBDIR. It goes first on keymon's
// LD_LIBRARY_PATH.
std::string runtime_libdir(Runtime runtime);
// "" when the runtime's library is there, else what is missing.
std::string runtime_missing(Runtime runtime);

// The shared library file process `pid` has mapped for SDL 1.2, "" if none
// (or if the process has ended meanwhile).
std::string mapped_sdl_library(pid_t pid);
// The runtime a mapped SDL 1.2 library file belongs to.
Runtime runtime_of_library(const std::string& library);
