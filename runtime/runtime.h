// The system's two SDL 1.2 runtimes as the end-to-end tests and the
// benchmark pick them, and which SDL 1.2 library a running process has
// mapped.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// The classic SDL 1.2 keymon was built against, or the SDL2-based one
// picked by LD_LIBRARY_PATH.
enum class SystemRuntime { classic, compat };
SystemRuntime runtime_from_env();  // KEYMON_RUNTIME=classic|compat (default classic)
const char* runtime_name(SystemRuntime runtime);
// Where the SDL2-based runtime's libSDL-1.2 lives ("" for classic):
// Debian's folder, or KEYMON_COMPAT_LIBDIR. It goes first on keymon's
// LD_LIBRARY_PATH.
std::string runtime_libdir(SystemRuntime runtime);

// The shared library file process `pid` has mapped for SDL 1.2, "" if none
// (or if the process has ended meanwhile).
std::string mapped_sdl_library(pid_t pid);
// Every shared object process `pid` has mapped (a path holding ".so"), each
// once; none if the process has ended meanwhile.
std::vector<std::string> mapped_objects(pid_t pid);
