#include "fetch.h"

#include <glob.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>
#include <thread>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "children.h"
#include "command.h"
#include "files.h"
#include "runtimes.h"
#include "stack.h"

namespace fs = std::filesystem;

namespace {

// Each release's SDL 1.2 runtime, as that release installs it: apt brings
// the rest of the stack (SDL2 or sdl2-compat, SDL3, the C library) as its
// Depends. libX11 loads libXcursor by name, which classic's Depends lack.
// Classic SDL 1.2 last shipped in Debian 12.
struct Release {
    const char* name;
    const char* suite;
    const char* title;
    std::vector<const char*> packages;
    const char* extra_suite = nullptr;  // a suite whose packages are taken only where named
};
const std::array<Release, 6> releases = {{
    {"classic", "bookworm", "Debian 12", {"libsdl1.2debian", "libxcursor1"}},
    {"debian12", "bookworm", "Debian 12", {"libsdl1.2-compat", "libxcursor1"}},
    {"debian13", "trixie", "Debian 13", {"libsdl1.2debian", "libxcursor1"}},
    {"testing", "testing", "Debian testing", {"libsdl1.2debian", "libxcursor1"}},
    {"unstable", "sid", "Debian unstable", {"libsdl1.2debian", "libxcursor1"}},
    {"experimental", "sid", "Debian experimental", {"libsdl1.2debian", "libxcursor1", "libsdl3-0/experimental"}, "experimental"},
}};

const Release* release_named(const std::string& name) {
    for (const Release& release : releases) {
        if (name == release.name) return &release;
    }
    return nullptr;
}

// The layers a mix may take from another release, by the library each is.
struct Layer {
    const char* name;
    const char* soname;
};
constexpr std::array<Layer, 3> layers = {{{"sdl12", sdl12_soname}, {"sdl2", sdl2_soname}, {"sdl3", sdl3_soname}}};

constexpr const char* keyring = "/usr/share/keyrings/debian-archive-keyring.gpg";

// apt's own word on why it failed: the line that names the failure, else its last.
std::string apt_reason(const std::string& printed) {
    for (const char* failure : {"Could not connect", "Could not resolve", "Failed to fetch", "Unable to locate", "NO_PUBKEY",
                                "Unable to correct problems", "but it is not installable", "but it is not going to be installed"}) {
        const std::size_t at = printed.find(failure);
        if (at == std::string::npos) continue;
        const std::size_t start = printed.rfind('\n', at), end = printed.find('\n', at);
        std::string line = printed.substr(start == std::string::npos ? 0 : start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
        return line.substr(std::min(line.size(), line.find_first_not_of(" \t")));
    }
    std::string text = printed;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    const std::size_t last = text.rfind('\n');
    return last == std::string::npos ? text : text.substr(last + 1);
}

// The first Debian mirror the system's apt sources name (not the security
// archive), as one-line entries or deb822 ones.
std::string system_mirror() {
    std::vector<std::string> files = {"/etc/apt/sources.list"};
    glob_t found{};
    for (const char* pattern : {"/etc/apt/sources.list.d/*.list", "/etc/apt/sources.list.d/*.sources"}) {
        if (glob(pattern, 0, nullptr, &found) == 0) {
            for (std::size_t i = 0; i < found.gl_pathc; ++i) files.push_back(found.gl_pathv[i]);
        }
        globfree(&found);
    }
    for (const std::string& file : files) {
        std::string text;
        if (!read_file(file, text)) continue;
        for (std::size_t start = 0; start < text.size();) {
            std::size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(start, end - start);
            start = end + 1;
            std::string uri;
            if (line.rfind("URIs:", 0) == 0) {
                uri = line.substr(5);
            } else if (line.rfind("deb ", 0) == 0) {
                line = line.substr(4);
                if (line.rfind("[", 0) == 0) line = line.substr(line.find(']') + 1);
                uri = line;
            }
            uri.erase(0, uri.find_first_not_of(" \t"));
            uri = uri.substr(0, uri.find_first_of(" \t"));
            if (uri.rfind("http", 0) == 0 && uri.find("security") == std::string::npos) return uri;
        }
    }
    return "";
}

// apt with lists, cache and state of its own under `dir`. Its status file
// is empty: it takes nothing as installed, so it resolves a package's
// whole Depends closure from the release alone.
struct PrivateApt {
    std::string dir;
    std::vector<std::string> options() const {
        return {"-o", "Dir::Etc::SourceList=" + dir + "/sources.list", "-o", "Dir::Etc::SourceParts=" + dir + "/none",
                "-o", "Dir::Etc::Preferences=" + dir + "/none", "-o", "Dir::Etc::PreferencesParts=" + dir + "/none",
                "-o", "Dir::State=" + dir + "/state", "-o", "Dir::State::status=" + dir + "/status",
                "-o", "Dir::Cache=" + dir + "/cache", "-o", "Dir::Log=" + dir + "/log", "-o", "Debug::NoLocking=1",
                "-o", "APT::Sandbox::User=root", "-o", "Acquire::Languages=none", "-q"};
    }
    int run(const std::string& command, std::vector<std::string> args, std::string& printed) const {
        std::vector<std::string> argv = {"apt-get"};
        for (const std::string& option : options()) argv.push_back(option);
        argv.push_back(command);
        argv.insert(argv.end(), args.begin(), args.end());
        return run_command(argv, printed, milliseconds(600000));
    }
};

std::string make_folders(const std::string& dir, const std::string& mirror, const Release& release) {
    std::error_code error;
    for (const char* sub : {"none", "state/lists/partial", "cache/archives/partial", "log", "tree"}) {
        fs::create_directories(dir + "/" + sub, error);
        if (error) return dir + "/" + sub + ": " + error.message();
    }
    std::string sources = std::string("deb [signed-by=") + keyring + "] " + mirror + " " + release.suite + " main\n";
    if (release.extra_suite) sources += std::string("deb [signed-by=") + keyring + "] " + mirror + " " + release.extra_suite + " main\n";
    std::string made = write_file(dir + "/status", "");
    if (made.empty()) made = write_file(dir + "/sources.list", sources);
    return made;
}

// On a terminal only: elsewhere the one line said is the result, or what went wrong.
void progress(const std::string& line) {
    if (isatty(2)) std::fprintf(stderr, "keymon-compare: %s\n", line.c_str());
}

// "name version" of a package file apt saved as NAME_VERSION_ARCH.deb.
std::pair<std::string, std::string> package_of(const fs::path& deb) {
    std::string base = deb.stem().string();
    for (std::size_t at; (at = base.find("%3a")) != std::string::npos;) base.replace(at, 3, ":");
    const std::size_t first = base.find('_'), last = base.rfind('_');
    if (first == std::string::npos || last == first) return {base, ""};
    return {base.substr(0, first), base.substr(first + 1, last - first - 1)};
}

// Unpacks every package file into `tree`, a few at once.
std::string unpack_all(const std::vector<fs::path>& debs, const std::string& tree) {
    std::atomic<std::size_t> next{0};
    std::mutex lock;
    std::string failure;
    const auto work = [&] {
        for (std::size_t i; (i = next++) < debs.size();) {
            std::string printed;
            if (run_command({"dpkg-deb", "-x", debs[i].string(), tree}, printed, milliseconds(300000)) != 0) {
                const std::lock_guard<std::mutex> held(lock);
                if (failure.empty()) failure = "cannot unpack " + debs[i].filename().string() + " (" + apt_reason(printed) + ")";
            }
        }
    };
    std::vector<std::thread> workers;
    const unsigned count = std::clamp(std::thread::hardware_concurrency(), 2u, 4u);
    for (unsigned i = 0; i < count; ++i) workers.emplace_back(work);
    for (std::thread& worker : workers) worker.join();
    return failure;
}

// One release's packages, resolved by apt and unpacked.
struct ReleaseTree {
    const Release* release = nullptr;
    std::string dir;   // apt's folders, and tree/ with the packages unpacked
    std::string packages;  // "libc6 2.43-1, libsdl1.2debian 1.2.78-1, ..."
    std::vector<std::string> libc_files;  // the names of the C library's own files
    unsigned glibc = 0;  // its C library's version, as 2 * 1000 + 43
    std::string tree() const { return dir + "/tree"; }
};

std::string fetch_release(const Release& release, const std::string& mirror, const std::string& dir, ReleaseTree& fetched) {
    fetched = ReleaseTree{&release, dir, "", {}, 0};
    if (std::string failed = make_folders(dir, mirror, release); !failed.empty()) return failed;
    const PrivateApt apt{dir};
    std::string printed;
    progress(std::string("fetching ") + release.name + " (" + release.title + ") from " + mirror);
    const int updated = apt.run("update", {"--error-on=any"}, printed);
    if (updated == 127) return "apt-get is not installed";
    if (updated != 0) return "Debian's archive cannot be reached at " + mirror + " (apt-get update: " + apt_reason(printed) + ")";
    std::vector<std::string> args = {"--download-only", "--no-install-recommends", "--yes"};
    args.insert(args.end(), release.packages.begin(), release.packages.end());
    printed.clear();
    if (apt.run("install", args, printed) != 0) {
        return std::string("cannot download ") + release.suite + "'s packages (apt-get install: " + apt_reason(printed) + ")";
    }
    std::error_code error;
    std::vector<fs::path> debs;
    for (const auto& deb : fs::directory_iterator(dir + "/cache/archives", error)) {
        if (deb.path().extension() == ".deb") debs.push_back(deb.path());
    }
    std::sort(debs.begin(), debs.end());
    progress("unpacking " + std::to_string(debs.size()) + " packages of " + release.name);
    if (std::string failed = unpack_all(debs, fetched.tree()); !failed.empty()) return failed;
    for (const fs::path& deb : debs) {
        const auto [package, version] = package_of(deb);
        fetched.packages += (fetched.packages.empty() ? "" : ", ") + package + " " + version;
        if (package != "libc6") continue;
        unsigned major = 0, minor = 0;
        std::sscanf(version.c_str(), "%u.%u", &major, &minor);
        fetched.glibc = major * 1000 + minor;
        printed.clear();
        run_command({"dpkg-deb", "-c", deb.string()}, printed, milliseconds(60000));
        for (std::size_t start = 0; start < printed.size();) {
            std::size_t end = printed.find('\n', start);
            if (end == std::string::npos) end = printed.size();
            std::string path = printed.substr(start, end - start);
            start = end + 1;
            path = path.substr(path.rfind(' ') + 1);
            const std::string name = fs::path(path).filename().string();
            if (name.find(".so") != std::string::npos) fetched.libc_files.push_back(name);
        }
    }
    if (fetched.glibc == 0) return std::string(release.suite) + "'s packages hold no C library (libc6)";
    return "";
}

// What --fetch-runtime asks for: a release, or NAME=BASE,LAYER=RELEASE,...
struct FetchRequest {
    std::string name;
    const Release* base = nullptr;
    std::vector<std::pair<const Layer*, const Release*>> layers;
};

std::string parse_fetch(const std::string& value, FetchRequest& request) {
    request = FetchRequest{};
    const std::size_t equals = value.find('=');
    if (equals == std::string::npos) {
        request.name = value;
        request.base = release_named(value);
        if (!request.base) return "no runtime to fetch called '" + value + "': it knows " + known_releases();
        return "";
    }
    request.name = value.substr(0, equals);
    if (!valid_runtime_name(request.name)) return "'" + request.name + "' is not a runtime's name (letters, digits, '_', '-' and '.')";
    std::vector<std::string> parts;
    for (std::size_t start = equals + 1;;) {
        const std::size_t comma = value.find(',', start);
        parts.push_back(value.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    request.base = release_named(parts[0]);
    if (!request.base) return "mix " + request.name + ": no release called '" + parts[0] + "' to build on: it knows " + known_releases();
    if (parts.size() < 2) return "mix " + request.name + ": name a layer to take from another release (sdl12=RELEASE, sdl2=..., sdl3=...)";
    for (std::size_t i = 1; i < parts.size(); ++i) {
        const std::size_t at = parts[i].find('=');
        const std::string layer_name = parts[i].substr(0, at), from = at == std::string::npos ? "" : parts[i].substr(at + 1);
        const Layer* layer = nullptr;
        for (const Layer& candidate : layers) {
            if (layer_name == candidate.name) layer = &candidate;
        }
        if (!layer) return "mix " + request.name + ": no layer called '" + layer_name + "': sdl12, sdl2 or sdl3";
        for (const auto& [given, unused] : request.layers) {
            if (given == layer) return "mix " + request.name + ": layer " + layer_name + " is given twice";
        }
        const Release* release = release_named(from);
        if (!release) return "mix " + request.name + ": no release called '" + from + "' for " + layer_name + ": it knows " + known_releases();
        request.layers.push_back({layer, release});
    }
    return "";
}

std::uintmax_t folder_bytes(const std::string& folder) {
    std::uintmax_t bytes = 0;
    std::error_code error;
    for (const auto& file : fs::recursive_directory_iterator(folder, error)) {
        if (file.is_regular_file(error) && !file.is_symlink(error)) bytes += file.file_size(error);
    }
    return bytes;
}

std::string megabytes(std::uintmax_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

}  // namespace

std::string mix_problem(const RuntimeIdentity& identity, const std::vector<std::string>& layers_taken) {
    for (const std::string& layer : layers_taken) {
        if (identity.kind == RuntimeKind::classic && layer != "sdl12") {
            return std::string("classic SDL 1.2 loads no ") + (layer == "sdl2" ? "SDL2" : "SDL3");
        }
        if (layer == "sdl3" && !identity.sdl2_compat) return "SDL3 is loaded by sdl2-compat alone, and its SDL2 is SDL2 " + identity.sdl2 + " itself";
    }
    return "";
}

std::string known_releases() {
    std::string names;
    for (const Release& release : releases) names += std::string(names.empty() ? "" : ", ") + release.name;
    return names;
}

std::string fetch_runtime(const std::string& value, std::string& summary) {
    FetchRequest request;
    if (std::string wrong = parse_fetch(value, request); !wrong.empty()) return wrong;
    const std::string& name = request.name;
    const std::string mirror = system_mirror();
    if (mirror.empty()) return "this system's apt sources name no Debian mirror to fetch from";
    std::error_code error;
    if (!fs::exists(keyring, error)) return std::string("no Debian archive keyring to check signatures with (") + keyring +
                                            "; Debian package debian-archive-keyring)";
    const std::string cache = runtime_cache();
    fs::create_directories(cache, error);
    if (error) return "cannot make " + cache + ": " + error.message();

    // apt's work goes to /tmp; the stack is made beside its place in the
    // cache and put there whole.
    PrivateDir work, made;
    if (std::string failed = work.make("keymon-fetch"); !failed.empty()) return failed;
    if (std::string failed = made.make(("." + name).c_str(), cache); !failed.empty()) return failed;
    // Each release the runtime takes a part from, fetched once.
    std::vector<ReleaseTree> trees;
    const auto tree_of = [&](const Release* release) -> const ReleaseTree& {
        for (const ReleaseTree& tree : trees) {
            if (tree.release == release) return tree;
        }
        return trees.front();
    };
    std::vector<const Release*> parts = {request.base};
    for (const auto& [layer, release] : request.layers) {
        if (std::find(parts.begin(), parts.end(), release) == parts.end()) parts.push_back(release);
    }
    for (const Release* release : parts) {
        ReleaseTree fetched;
        if (std::string failed = fetch_release(*release, mirror, work.path() + "/" + release->name, fetched); !failed.empty()) return failed;
        trees.push_back(std::move(fetched));
    }

    const ReleaseTree& base = trees.front();
    if (std::string failed = gather_stack(base.tree(), made.path()); !failed.empty()) return name + ": " + failed;
    std::string title = base.release->title, layer_note;
    if (!request.layers.empty()) {
        // A mix runs under the newest C library among its parts: the older
        // parts run on it, the newer ones need it.
        const ReleaseTree* newest = &base;
        for (const ReleaseTree& tree : trees) {
            if (tree.glibc > newest->glibc) newest = &tree;
        }
        for (const auto& [layer, release] : request.layers) {
            const ReleaseTree& from = tree_of(release);
            if (find_in_tree(from.tree(), layer->soname).empty()) {
                return "mix " + name + " cannot work: " + release->name + "'s stack has no " + layer->name + " layer (" + layer->soname + ")";
            }
            if (std::string failed = add_to_stack(from.tree(), made.path(), layer->soname); !failed.empty()) return "mix " + name + ": " + failed;
            title += std::string(", ") + layer->name + " from " + release->title;
            layer_note += std::string(layer_note.empty() ? "" : ", ") + layer->name + "=" + release->name;
        }
        if (newest != &base) {
            for (const std::string& file : newest->libc_files) {
                if (!fs::exists(made.path() + "/" + file, error) && file != loader_name()) continue;
                if (std::string failed = add_to_stack(newest->tree(), made.path(), file); !failed.empty()) return "mix " + name + ": " + failed;
            }
            if (std::string failed = copy_gconv(newest->tree(), made.path()); !failed.empty()) return failed;
        }
    }
    std::string packages;
    for (const ReleaseTree& tree : trees) packages += (packages.empty() ? "" : "; ") + std::string(tree.release->name) + ": " + tree.packages;
    if (std::string written = write_file(made.path() + "/keymon-runtime.txt", "release: " + title + "\nbase: " + base.release->name +
                                                                                  "\nlayers: " + layer_note + "\npackages: " + packages + "\n");
        !written.empty()) {
        return written;
    }
    RuntimeIdentity identity;
    if (std::string failed = identify_runtime(made.path(), identity); !failed.empty()) {
        return (request.layers.empty() ? name + ": " : "mix " + name + " cannot work: ") + failed;
    }
    std::vector<std::string> taken;
    for (const auto& [layer, release] : request.layers) taken.push_back(layer->name);
    if (std::string problem = mix_problem(identity, taken); !problem.empty()) return "mix " + name + " cannot work: " + problem;
    // The old one goes only once the new one is in its place.
    const std::string place = cache + "/" + name, old = made.path() + ".old";
    if (fs::exists(place, error)) fs::rename(place, old, error);
    if (error) return "cannot replace " + place + ": " + error.message();
    fs::rename(made.path(), place, error);
    if (error) {
        fs::rename(old, place, error);
        return "cannot put the runtime in " + place;
    }
    made.release();
    fs::remove_all(old, error);
    summary = name + ": " + describe_whole(identity) + ", " + megabytes(folder_bytes(place)) + ", in " + place;
    return "";
}

std::vector<CachedRuntime> cached_runtimes() {
    std::vector<CachedRuntime> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(runtime_cache(), error)) {
        const std::string name = entry.path().filename().string();
        // A runtime being made or replaced is a hidden folder beside it.
        if (name.empty() || name[0] == '.' || !entry.is_directory(error)) continue;
        CachedRuntime runtime{name, runtime_note_field(entry.path().string(), "release"), "", 0};
        RuntimeIdentity identity;
        const std::string failed = identify_runtime(entry.path().string(), identity);
        runtime.versions = failed.empty() ? describe(identity) : "does not load: " + failed;
        runtime.bytes = folder_bytes(entry.path().string());
        found.push_back(runtime);
    }
    std::sort(found.begin(), found.end(), [](const CachedRuntime& a, const CachedRuntime& b) { return a.name < b.name; });
    return found;
}

std::string runtime_listing(const std::vector<CachedRuntime>& runtimes) {
    if (runtimes.empty()) return "no runtime fetched yet (the cache is " + runtime_cache() + ")\n";
    std::size_t widths[2] = {4, 7};
    for (const CachedRuntime& runtime : runtimes) {
        widths[0] = std::max(widths[0], runtime.name.size());
        widths[1] = std::max(widths[1], runtime.release.size());
    }
    const auto row = [&](const std::string& name, const std::string& release, const std::string& size, const std::string& versions) {
        return name + std::string(widths[0] + 2 - name.size(), ' ') + release + std::string(widths[1] + 2 - release.size(), ' ') +
               std::string(size.size() < 9 ? 9 - size.size() : 0, ' ') + size + "  " + versions + "\n";
    };
    std::string text = row("name", "release", "size", "versions");
    for (const CachedRuntime& runtime : runtimes) text += row(runtime.name, runtime.release, megabytes(runtime.bytes), runtime.versions);
    return text + "in " + runtime_cache() + "\n";
}

std::string remove_runtime(const std::string& name) {
    if (!valid_runtime_name(name)) return "'" + name + "' is not a runtime's name";
    const std::string place = runtime_cache() + "/" + name;
    std::error_code error;
    if (!fs::is_directory(place, error)) {
        return "no runtime called '" + name + "' in " + runtime_cache() + "; --list-runtimes lists them";
    }
    // Out of its place in one step, so a run never finds half of it.
    PrivateDir going;
    if (std::string failed = going.make(("." + name).c_str(), runtime_cache()); !failed.empty()) return failed;
    fs::rename(place, going.path() + "/" + name, error);
    if (error) return "cannot remove " + place + ": " + error.message();
    return "";
}
