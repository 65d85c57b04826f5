// A release's whole stack: the shared objects its SDL 1.2 runtime loads,
// down to that release's own C library and dynamic loader, in one folder,
// and programs started on it through that loader, so that nothing comes
// from this system's library folders.
#pragma once

#include <string>
#include <vector>

#include "child.h"

// The dynamic loader's file name the programs built here ask for
// ("ld-linux-x86-64.so.2"), from keymon-compare's own program header.
std::string loader_name();

// The SDL libraries a runtime is made of, by the names their loaders ask for.
inline constexpr const char* sdl12_soname = "libSDL-1.2.so.0";
inline constexpr const char* sdl2_soname = "libSDL2-2.0.so.0";
inline constexpr const char* sdl3_soname = "libSDL3.so.0";

// Copies into `folder`, each under the name it is loaded by, every shared
// object that the packages unpacked under `tree` give the SDL libraries
// and the C library: what they need (DT_NEEDED), what the SDL libraries
// load by name, and what those need in turn; with the loader, and the C
// library's character set converters (gconv/). LLVM, Mesa and the rest,
// which a keymon run never loads, stay behind. "" or what is missing.
[[nodiscard]] std::string gather_stack(const std::string& tree, const std::string& folder);

// Copies `name` from `tree` into the stack in `folder`, in place of what is
// there, with whatever it needs that the stack lacks. "" or what is missing.
[[nodiscard]] std::string add_to_stack(const std::string& tree, const std::string& folder, const std::string& name);

// Puts the gconv modules of the C library under `tree` in the stack's
// place of those there. "" or what went wrong.
[[nodiscard]] std::string copy_gconv(const std::string& tree, const std::string& folder);

// Where the packages under `tree` hold `name`, its links followed within
// the tree; "" if they do not.
std::string find_in_tree(const std::string& tree, const std::string& name);

// True if `folder` is a stack: it holds its own loader.
bool holds_stack(const std::string& folder);

// How a program on a stack draws its window. On X11 SDL draws in
// software, and the stack lends it no OpenGL (this system's would be found
// in its library folders). SDL has no software drawing on Wayland: there
// the window needs OpenGL, and the stack's release brings none (Mesa and
// LLVM are 200 MB), so this system's drivers are let in, under the stack's
// own C library, SDL and Wayland client libraries.
enum class StackGraphics { software, system_opengl };

// Starts the program through the stack's loader, with the stack's folder
// as the whole library path (the loader's cache of this system's
// libraries is not read), the stack's gconv modules, and no libdecor
// plugins (this system's would be found by absolute path).
void launch_on_stack(const std::string& folder, LaunchOptions& options, StackGraphics graphics = StackGraphics::software);

// The shared objects of `mapped` that are not the stack's own. With
// system_opengl, only those that take the place of one the stack holds
// (a library of this system loaded where the stack's should be).
std::vector<std::string> foreign_objects(const std::string& folder, const std::vector<std::string>& mapped, StackGraphics graphics);
