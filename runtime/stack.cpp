#include "stack.h"

#include <algorithm>
#include <filesystem>
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

std::string find_in_tree(const std::string& tree, const std::string& name) {
    for (const std::string& folder : library_folders(tree)) {
        if (std::string found = resolve_in_tree(tree, folder + "/" + name); !found.empty()) return found;
    }
    const auto index = index_tree(tree);
    const auto at = index.find(name);
    return at == index.end() ? "" : resolve_in_tree(tree, at->second);
}

std::string gather_stack(const std::string& tree, const std::string& folder, GatheredStack& gathered) {
    gathered = GatheredStack{};
    const std::map<std::string, std::string> index = index_tree(tree);
    const auto file_of = [&](const std::string& name) {
        const auto at = index.find(name);
        return at == index.end() ? std::string() : resolve_in_tree(tree, at->second);
    };
    std::vector<std::string> wanted = {sdl12_soname, sdl2_soname, sdl3_soname, "libc.so.6", loader_name()};
    // What the SDL libraries and libX11 (libXcursor, for the pointer) load
    // by name, where the packages hold it: the X11, Wayland, XKB and sound
    // libraries. The others (OpenGL, Vulkan, GTK) are not in the release's
    // Depends, and a keyboard run needs none. (Mesa's libraries name their
    // drivers too, and those would bring LLVM: they are not read.)
    for (const char* sdl : {sdl12_soname, sdl2_soname, sdl3_soname, "libX11.so.6"}) {
        std::string bytes;
        const std::string file = file_of(sdl);
        if (file.empty() || !read_file(file, bytes)) continue;
        for (const std::string& name : library_names_in(bytes)) {
            if (!file_of(name).empty()) wanted.push_back(name);
        }
    }
    std::map<std::string, std::string> kept;  // name -> the file it is
    std::string missing;
    while (!wanted.empty()) {
        const std::string name = wanted.back();
        wanted.pop_back();
        if (kept.count(name)) continue;
        const std::string file = file_of(name);
        if (file.empty()) {
            // The SDL layers are optional: classic has no SDL2, SDL2 no SDL3.
            if (name != sdl2_soname && name != sdl3_soname && missing.find(name) == std::string::npos) {
                missing += (missing.empty() ? "" : ", ") + name;
            }
            continue;
        }
        kept[name] = file;
        ElfLinks links;
        if (std::string failed = read_elf_links(file, links); !failed.empty()) return failed;
        wanted.insert(wanted.end(), links.needed.begin(), links.needed.end());
    }
    if (!missing.empty()) return "the packages lack " + missing + ", which the libraries in them need";
    std::error_code error;
    for (const auto& [name, file] : kept) {
        fs::copy_file(file, folder + "/" + name, fs::copy_options::overwrite_existing, error);
        if (error) return "cannot copy " + name + ": " + error.message();
        gathered.files += 1;
        gathered.bytes += fs::file_size(file, error);
    }
    const std::string gconv = tree + "/usr/lib/" KEYMON_MULTIARCH "/gconv";
    if (fs::is_directory(gconv, error)) {
        fs::copy(gconv, folder + "/gconv", fs::copy_options::recursive | fs::copy_options::copy_symlinks | fs::copy_options::overwrite_existing, error);
        if (error) return "cannot copy the C library's gconv modules: " + error.message();
        for (const auto& entry : fs::recursive_directory_iterator(folder + "/gconv", error)) {
            if (entry.is_regular_file(error) && !entry.is_symlink(error)) gathered.files += 1, gathered.bytes += entry.file_size(error);
        }
    }
    return "";
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
