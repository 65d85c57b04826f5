#include "stack.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <vector>

#include "elf_links.h"
#include "files.h"

namespace fs = std::filesystem;

namespace {

// The folders of a Debian package tree that hold this architecture's libraries.
std::vector<std::string> library_folders(const std::string& tree) {
    return {tree + "/usr/lib/" KEYMON_MULTIARCH, tree + "/lib/" KEYMON_MULTIARCH};
}

// `path` with its links followed, an absolute link taken as inside the tree.
std::string resolve_in_tree(const std::string& tree, std::string path) {
    std::error_code error;
    for (int hops = 0; hops < 16; ++hops) {
        if (!fs::is_symlink(path, error)) return fs::exists(path, error) ? path : "";
        const fs::path target = fs::read_symlink(path, error);
        if (error) return "";
        path = target.is_absolute() ? tree + target.string() : (fs::path(path).parent_path() / target).lexically_normal().string();
    }
    return "";
}

// Every file name under the library folders (the pulseaudio/ folder's
// private library among them), the shallowest first.
std::map<std::string, std::string> index_tree(const std::string& tree) {
    std::map<std::string, std::string> found;
    std::error_code error;
    for (const std::string& folder : library_folders(tree)) {
        std::vector<fs::path> paths;
        for (auto it = fs::recursive_directory_iterator(folder, error); !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
            if (it->path().filename() == "gconv" && it->is_directory(error)) it.disable_recursion_pending();
            else paths.push_back(it->path());
        }
        std::stable_sort(paths.begin(), paths.end(), [](const fs::path& a, const fs::path& b) {
            return std::distance(a.begin(), a.end()) < std::distance(b.begin(), b.end());
        });
        for (const fs::path& path : paths) found.emplace(path.filename().string(), path.string());
    }
    return found;
}

std::string host_loader() {
    ElfLinks self;
    if (!read_elf_links("/proc/self/exe", self).empty() || self.interpreter.empty()) return "ld-linux-x86-64.so.2";
    return fs::path(self.interpreter).filename().string();
}

}  // namespace

std::string loader_name() {
    static const std::string name = host_loader();
    return name;
}

namespace {

using TreeIndex = std::map<std::string, std::string>;

std::string look_up(const std::string& tree, const TreeIndex& index, const std::string& name) {
    const auto at = index.find(name);
    return at == index.end() ? "" : resolve_in_tree(tree, at->second);
}

// Copies each of `roots` from the tree into the folder (in place of what is
// there when `replace`), and, from the same tree, what each needs in turn
// that the folder lacks. A root the tree lacks is skipped when `optional`
// says so; any other missing name is named.
std::string copy_closure(const std::string& tree, const TreeIndex& index, const std::string& folder, const std::vector<std::string>& roots,
                         bool replace, const std::function<bool(const std::string&)>& optional) {
    std::vector<std::string> wanted(roots.rbegin(), roots.rend());
    std::vector<std::string> copied;
    std::string missing;
    std::error_code error;
    while (!wanted.empty()) {
        const std::string name = wanted.back();
        wanted.pop_back();
        if (std::find(copied.begin(), copied.end(), name) != copied.end()) continue;
        const bool root = std::find(roots.begin(), roots.end(), name) != roots.end();
        if (!(root && replace) && fs::exists(folder + "/" + name, error)) continue;
        const std::string file = look_up(tree, index, name);
        if (file.empty()) {
            if (!(root && optional(name)) && missing.find(name) == std::string::npos) missing += (missing.empty() ? "" : ", ") + name;
            continue;
        }
        fs::copy_file(file, folder + "/" + name, fs::copy_options::overwrite_existing, error);
        if (error) return "cannot copy " + name + ": " + error.message();
        copied.push_back(name);
        ElfLinks links;
        if (std::string failed = read_elf_links(file, links); !failed.empty()) return failed;
        wanted.insert(wanted.end(), links.needed.begin(), links.needed.end());
    }
    return missing.empty() ? "" : "the packages lack " + missing + ", which the libraries in them need";
}

}  // namespace

std::string find_in_tree(const std::string& tree, const std::string& name) { return look_up(tree, index_tree(tree), name); }

std::string gather_stack(const std::string& tree, const std::string& folder) {
    const TreeIndex index = index_tree(tree);
    std::vector<std::string> roots = {sdl12_soname, sdl2_soname, sdl3_soname, "libc.so.6", loader_name()};
    // What the SDL libraries and libX11 (libXcursor, for the pointer) load
    // by name, where the packages hold it: the X11, Wayland, XKB and sound
    // libraries. The others (OpenGL, Vulkan, GTK) are not in the release's
    // Depends, and a keyboard run needs none. (Mesa's libraries name their
    // drivers too, and those would bring LLVM: they are not read.)
    for (const char* named : {sdl12_soname, sdl2_soname, sdl3_soname, "libX11.so.6"}) {
        std::string bytes;
        const std::string file = look_up(tree, index, named);
        if (file.empty() || !read_file(file, bytes)) continue;
        for (const std::string& name : library_names_in(bytes)) {
            if (!look_up(tree, index, name).empty()) roots.push_back(name);
        }
    }
    // The SDL layers are optional: classic has no SDL2, SDL2 no SDL3.
    const auto layer = [](const std::string& name) { return name == sdl2_soname || name == sdl3_soname; };
    if (std::string failed = copy_closure(tree, index, folder, roots, true, layer); !failed.empty()) return failed;
    return copy_gconv(tree, folder);
}

std::string add_to_stack(const std::string& tree, const std::string& folder, const std::string& name) {
    return copy_closure(tree, index_tree(tree), folder, {name}, true, [](const std::string&) { return false; });
}

std::string copy_gconv(const std::string& tree, const std::string& folder) {
    const std::string gconv = tree + "/usr/lib/" KEYMON_MULTIARCH "/gconv";
    std::error_code error;
    if (!fs::is_directory(gconv, error)) return "";
    fs::remove_all(folder + "/gconv", error);
    fs::copy(gconv, folder + "/gconv", fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
    return error ? "cannot copy the C library's gconv modules: " + error.message() : "";
}

bool holds_stack(const std::string& folder) {
    std::error_code error;
    return !folder.empty() && fs::exists(folder + "/" + loader_name(), error);
}

void launch_on_stack(const std::string& folder, LaunchOptions& options, StackGraphics graphics) {
    options.library_path.clear();
    options.through = {folder + "/" + loader_name(), "--inhibit-cache", "--library-path", folder};
    // A path that holds nothing: what SDL and libdecor would otherwise
    // load from this system's folders.
    const std::string nothing = folder + "/none";
    options.extra_env.push_back("GCONV_PATH=" + folder + "/gconv");
    options.extra_env.push_back("LIBDECOR_PLUGIN_DIR=" + nothing);
    if (graphics == StackGraphics::software) {
        for (const char* library : {"SDL_OPENGL_LIBRARY=", "SDL_EGL_LIBRARY=", "SDL_VULKAN_LIBRARY="}) options.extra_env.push_back(library + nothing);
    }
}

std::vector<std::string> foreign_objects(const std::string& folder, const std::vector<std::string>& mapped, StackGraphics graphics) {
    std::vector<std::string> foreign;
    std::error_code error;
    for (const std::string& object : mapped) {
        if (object.rfind(folder + "/", 0) == 0) continue;
        // Named by its file (libwayland-client.so.0.23.1); the stack holds
        // it under its soname (libwayland-client.so.0).
        std::string name = fs::path(object).filename().string();
        bool stacks = false;
        while (!stacks && name.find(".so") != std::string::npos) {
            stacks = fs::exists(folder + "/" + name, error);
            const std::size_t dot = name.rfind('.');
            if (dot == std::string::npos || dot <= name.find(".so")) break;
            name.resize(dot);
        }
        if (graphics == StackGraphics::software || stacks) foreign.push_back(object);
    }
    return foreign;
}
