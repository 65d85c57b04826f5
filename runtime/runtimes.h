// The SDL 1.2 runtimes keymon-compare runs keymon on: the system's, a
// folder or library file the user names, or one fetched from Debian's
// archive into the user's cache; each identified by what its libraries
// report, never by its path.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "child.h"
#include "children.h"
#include "stack.h"

enum class RuntimeKind { classic, sdl2_based };

// What a runtime is, as the libraries it loads report themselves.
struct RuntimeIdentity {
    RuntimeKind kind = RuntimeKind::classic;
    std::string sdl12;         // SDL_Linked_Version: "1.2.15", "1.2.60"
    std::string sdl2;          // the SDL2 under an SDL2-based one: "2.26.5"
    bool sdl2_compat = false;  // that SDL2 is sdl2-compat, running on SDL3
    std::string sdl3;          // the SDL3 under sdl2-compat: "3.2.10"
    std::string sdl12_file;    // the libSDL-1.2 file it loads, its links resolved
    std::string glibc;         // the C library it runs on: "2.43"
    std::string release;       // where its stack comes from: "Debian unstable"; "this system"
};
// Its layers: "classic SDL 1.2.15", "SDL2-based SDL 1.2.60 over SDL2 2.26.5",
// "SDL2-based SDL 1.2.78 over sdl2-compat 2.32.74 over SDL3 3.4.18".
std::string describe(const RuntimeIdentity& identity);
// Its layers, its release and its C library: "SDL2-based SDL 1.2.78 over
// sdl2-compat 2.32.74 over SDL3 3.4.18 (Debian unstable, glibc 2.43)".
std::string describe_whole(const RuntimeIdentity& identity);

struct Runtime {
    std::string name;    // the targets' id: classic, compat, unstable, ...
    // A release's whole stack, run through its own loader; else a folder
    // first on keymon's LD_LIBRARY_PATH; "" for the system's own.
    std::string folder;
    std::string note;    // what its reader must know
    RuntimeIdentity identity;
    // A library file named on its own is reached through a folder of its
    // own, with a link of the name keymon loads; it goes with the runtime.
    std::shared_ptr<PrivateDir> link_folder;
};

// A --runtime value: NAME, or NAME=PATH.
struct RuntimeRequest {
    std::string name, path;
};
// "" and the request, or what is wrong with the value.
[[nodiscard]] std::string parse_runtime_option(const std::string& value, RuntimeRequest& request);

// Finds the runtime a request names and identifies it: with a path, the
// folder or library file there; without, the system's classic or SDL2-based
// runtime for `classic` and `compat`, or the one fetched under that name.
// A runtime named classic or compat must be of that kind. "" or what is
// wrong, in one message.
[[nodiscard]] std::string resolve_runtime(const RuntimeRequest& request, Runtime& runtime);

// keymon started on `runtime`: on a stack, through the stack's loader
// (drawing as `graphics` says); else with its folder first on keymon's
// library path.
void launch_on(const Runtime& runtime, LaunchOptions& options, StackGraphics graphics = StackGraphics::software);

// What the SDL libraries a folder's runtime loads report of themselves, as
// keymon would load them (through the folder's own loader if it is a
// stack, else with `folder` first on LD_LIBRARY_PATH, "" for none), and
// the C library under them. "" or which layer failed to load and why.
[[nodiscard]] std::string identify_runtime(const std::string& folder, RuntimeIdentity& identity);

// The program that reports what the SDL libraries it loads say of
// themselves (keymon-sdl-probe): beside keymon-compare, where it is
// installed, or where the build left it; "" if none is there.
std::string sdl_probe_program();

// A field of the notes a fetch leaves beside a stack ("release: ..."), "" if none.
std::string runtime_note_field(const std::string& folder, const std::string& field);

// A name a runtime may have: letters, digits, '_', '-' and '.', 40 at most.
bool valid_runtime_name(const std::string& name);

// Where fetched runtimes are kept: $XDG_CACHE_HOME/keymon/runtimes, by
// default ~/.cache/keymon/runtimes.
std::string runtime_cache();
