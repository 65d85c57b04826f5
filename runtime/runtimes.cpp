#include "runtimes.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "child.h"
#include "files.h"
#include "runtime.h"
#include "stack.h"

namespace fs = std::filesystem;

namespace {

// Classic SDL 1.2 ended at 1.2.15; the SDL2-based runtime numbers its
// releases from 1.2.50 on.
constexpr unsigned first_sdl2_based_patch = 50;

bool valid_name(const std::string& name) {
    if (name.empty() || name.size() > 40) return false;
    for (unsigned char c : name) {
        if (!std::isalnum(c) && c != '_' && c != '-' && c != '.') return false;
    }
    return true;
}

bool holds_sdl12(const std::string& folder) {
    std::error_code error;
    return fs::exists(folder + "/libSDL-1.2.so.0", error);
}

// What the cache's folder of a fetched runtime says of it ("note: ...").
std::string fetched_note(const std::string& folder) { return runtime_note_field(folder, "note"); }

// A runtime named classic or compat is of that kind. "" or what it is instead.
std::string claimed_kind(const Runtime& runtime, const std::string& where) {
    const bool classic = runtime.identity.kind == RuntimeKind::classic;
    if ((runtime.name == "classic" && !classic) || (runtime.name == "compat" && classic)) {
        return "runtime " + runtime.name + ": " + where + " is the " + describe(runtime.identity) + ", not " +
               (runtime.name == "classic" ? "classic SDL 1.2" : "an SDL2-based SDL 1.2");
    }
    return "";
}

// Uses `folder`, identifies what is there (`where`, in messages), and
// checks that it is what its name says. "" or what is wrong.
std::string use_folder(const std::string& folder, const std::string& where, Runtime& runtime) {
    runtime.folder = folder;
    if (const std::string error = identify_runtime(folder, runtime.identity); !error.empty()) {
        return "runtime " + runtime.name + ": " + error;
    }
    runtime.note = fetched_note(folder);
    return claimed_kind(runtime, where);
}

std::string resolve_path(const RuntimeRequest& request, Runtime& runtime) {
    std::error_code error;
    const fs::path given(request.path);
    const auto status = fs::status(given, error);
    if (error || !fs::exists(status)) return "runtime " + request.name + ": no such file or folder '" + request.path + "'";
    const fs::path resolved = fs::canonical(given, error);
    if (error) return "runtime " + request.name + ": '" + request.path + "': " + error.message();
    std::string folder;
    if (fs::is_directory(status)) {
        if (!holds_sdl12(resolved)) return "runtime " + request.name + ": '" + request.path + "' holds no libSDL-1.2.so.0";
        folder = resolved.string();
    } else {
        // keymon loads libSDL-1.2.so.0 by that name: a folder of its own
        // holds the name, and the file's own folder comes after it, with
        // whatever SDL2 and SDL3 stand beside the file.
        runtime.link_folder = std::make_shared<PrivateDir>();
        if (std::string made = runtime.link_folder->make("keymon-runtime"); !made.empty()) return made;
        const std::string link = runtime.link_folder->path() + "/libSDL-1.2.so.0";
        if (symlink(resolved.c_str(), link.c_str()) != 0) return errno_text(link.c_str());
        folder = runtime.link_folder->path() + ":" + resolved.parent_path().string();
    }
    std::string identified = use_folder(folder, "'" + request.path + "'", runtime);
    if (!identified.empty()) {
        // Refused (no SDL 1.2 library, no library at all, not of its
        // name's kind): named as the user named it, not by the link to it.
        if (runtime.link_folder) {
            const std::string link = runtime.link_folder->path() + "/libSDL-1.2.so.0";
            for (std::size_t at; (at = identified.find(link)) != std::string::npos;) identified.replace(at, link.size(), request.path);
            runtime.link_folder.reset();
        }
    }
    return identified;
}

}  // namespace

std::string describe(const RuntimeIdentity& identity) {
    if (identity.kind == RuntimeKind::classic) return "classic SDL " + identity.sdl12;
    std::string text = "SDL2-based SDL " + identity.sdl12;
    if (identity.sdl2_compat) return text + " over sdl2-compat " + identity.sdl2 + " over SDL3 " + identity.sdl3;
    return text + " over SDL2 " + identity.sdl2;
}

std::string describe_whole(const RuntimeIdentity& identity) {
    std::string where = identity.release;
    if (!identity.glibc.empty()) where += (where.empty() ? "" : ", ") + std::string("glibc ") + identity.glibc;
    return describe(identity) + (where.empty() ? "" : " (" + where + ")");
}

std::string parse_runtime_option(const std::string& value, RuntimeRequest& request) {
    const std::size_t equals = value.find('=');
    request.name = value.substr(0, equals);
    request.path = equals == std::string::npos ? "" : value.substr(equals + 1);
    if (request.name.empty()) return "--runtime needs a name: NAME or NAME=PATH";
    if (!valid_name(request.name)) {
        return "runtime name '" + request.name + "' may hold only letters, digits, '_', '-' and '.' (at most 40)";
    }
    if (equals != std::string::npos && request.path.empty()) return "runtime " + request.name + ": PATH is empty";
    return "";
}

std::string resolve_runtime(const RuntimeRequest& request, Runtime& runtime) {
    runtime = Runtime{};
    runtime.name = request.name;
    if (!request.path.empty()) return resolve_path(request, runtime);
    const std::string cached = runtime_cache() + "/" + request.name;
    if (request.name == "classic") {
        RuntimeIdentity system;
        const std::string unloadable = identify_runtime("", system);
        if (unloadable.empty() && system.kind == RuntimeKind::classic) {
            runtime.identity = system;
            return "";
        }
        if (holds_sdl12(cached)) return use_folder(cached, "'" + cached + "'", runtime);
        return "classic SDL 1.2 is not installed (" +
               (unloadable.empty() ? "this system's libSDL-1.2.so.0 is the " + describe(system) : unloadable) +
               "); fetch it with: keymon-compare --fetch-runtime classic; nothing compared";
    }
    if (request.name == "compat") {
        // Debian 12 installs it beside classic, in a folder of its own;
        // from Debian 13 on it is the system's libSDL-1.2.so.0.
        const std::string folder = runtime_libdir(SystemRuntime::compat);
        if (holds_sdl12(folder)) return use_folder(folder, "'" + folder + "'", runtime);
        RuntimeIdentity system;
        if (identify_runtime("", system).empty() && system.kind == RuntimeKind::sdl2_based) {
            runtime.identity = system;
            return "";
        }
        if (holds_sdl12(cached)) return use_folder(cached, "'" + cached + "'", runtime);
        return "the SDL2-based SDL 1.2 runtime is not installed (no " + folder +
               "/libSDL-1.2.so.0; Debian package libsdl1.2-compat); nothing compared";
    }
    if (holds_sdl12(cached)) return use_folder(cached, "'" + cached + "'", runtime);
    return "no runtime named '" + request.name + "': give its folder as " + request.name + "=PATH, or fetch it with " +
           "--fetch-runtime (which knows classic, debian12, debian13 and unstable)";
}

std::string identify_runtime(const std::string& folder, RuntimeIdentity& identity) {
    identity = RuntimeIdentity{};
    const std::string program = sdl_probe_program();
    if (program.empty()) return "keymon-sdl-probe is not installed beside keymon-compare";
    Child probe;
    LaunchOptions options;
    options.output = Output::pipe;
    if (holds_stack(folder)) {
        launch_on_stack(folder, options);
        identity.release = runtime_note_field(folder, "release");
    } else {
        options.library_path = folder;
        // The system's own runtimes; a folder of the user's has no release.
        if (folder.empty() || folder == runtime_libdir(SystemRuntime::compat)) identity.release = "this system";
    }
    if (std::string error = launch_child(probe, program, options); !error.empty()) return error;
    const int status = wait_child(probe, milliseconds(20000));
    const std::string out = child_output(probe);
    std::string err = child_errors(probe);
    while (!err.empty() && (err.back() == '\n' || err.back() == ' ')) err.pop_back();
    bool sdl12 = false;
    for (std::size_t start = 0; start < out.size();) {
        std::size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        const std::string line = out.substr(start, end - start);
        start = end + 1;
        const std::size_t blank = line.find(' '), second = line.find(' ', blank + 1);
        const std::string layer = line.substr(0, blank);
        const std::string version = line.substr(blank + 1, second == std::string::npos ? std::string::npos : second - blank - 1);
        const std::string file = second == std::string::npos ? "" : line.substr(second + 1);
        if (layer == "failed") return line.substr(blank + 1);
        if (layer == "glibc") {
            identity.glibc = version;
        } else if (layer == "sdl12") {
            sdl12 = true;
            identity.sdl12 = version;
            identity.sdl12_file = file;
            unsigned major = 0, minor = 0, patch = 0;
            std::sscanf(version.c_str(), "%u.%u.%u", &major, &minor, &patch);
            identity.kind = patch >= first_sdl2_based_patch ? RuntimeKind::sdl2_based : RuntimeKind::classic;
        } else if (layer == "sdl2") {
            identity.sdl2 = version;
        } else if (layer == "sdl3") {
            identity.sdl3 = version;
            identity.sdl2_compat = true;
        }
    }
    if (status == 0 && sdl12) return "";
    const std::string why = err.empty() ? (status < 0 ? "it ended on a signal" : "status " + std::to_string(status)) : err;
    // The probe names its C library before anything else.
    if (identity.glibc.empty() && holds_stack(folder)) return "its loader " + folder + "/" + loader_name() + " does not run (" + why + ")";
    // The SDL2-based runtime loads its SDL2 as it is loaded itself.
    if (!sdl12 && err.find("SDL2") == std::string::npos && err.find("SDL3") == std::string::npos) {
        return "its libSDL-1.2.so.0 cannot be loaded (" + why + ")";
    }
    return "its SDL2 (libSDL2-2.0.so.0, or the SDL3 under it) cannot be loaded (" + why + ")";
}

void launch_on(const Runtime& runtime, LaunchOptions& options, StackGraphics graphics) {
    if (holds_stack(runtime.folder)) {
        launch_on_stack(runtime.folder, options, graphics);
    } else {
        options.library_path = runtime.folder;
    }
}

std::string sdl_probe_program() {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    std::vector<fs::path> places = {KEYMON_PROBE_INSTALLED, KEYMON_PROBE_BUILT};
    if (!error) places.insert(places.begin(), {self.parent_path() / "keymon-sdl-probe", self.parent_path().parent_path() / "libexec/keymon/keymon-sdl-probe"});
    for (const fs::path& place : places) {
        if (access(place.c_str(), X_OK) == 0) return place.string();
    }
    return "";
}

std::string runtime_note_field(const std::string& folder, const std::string& field) {
    std::string text;
    if (!read_file(folder + "/keymon-runtime.txt", text)) return "";
    const std::string key = "\n" + field + ": ";
    text.insert(0, "\n");
    const std::size_t at = text.find(key);
    if (at == std::string::npos) return "";
    const std::size_t start = at + key.size();
    return text.substr(start, text.find('\n', start) - start);
}

bool valid_runtime_name(const std::string& name) { return valid_name(name) && name != "." && name != ".."; }

std::string runtime_cache() {
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (cache && *cache == '/') return std::string(cache) + "/keymon/runtimes";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/") + "/.cache/keymon/runtimes";
}
