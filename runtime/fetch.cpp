#include "fetch.h"

#include <glob.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "children.h"
#include "command.h"
#include "files.h"
#include "runtimes.h"

namespace fs = std::filesystem;

namespace {

// Each release's SDL 1.2 runtime, with the SDL2 (and SDL3) under it as that
// release builds them. Classic SDL 1.2 last shipped in Debian 12.
struct Release {
    const char* name;
    const char* suite;
    const char* title;
    std::vector<const char*> packages;
};
const std::array<Release, 4> releases = {{
    {"classic", "bookworm", "Debian 12 (bookworm), classic SDL 1.2", {"libsdl1.2debian"}},
    {"debian12", "bookworm", "Debian 12 (bookworm), SDL2-based SDL 1.2", {"libsdl1.2-compat", "libsdl2-2.0-0"}},
    {"debian13", "trixie", "Debian 13 (trixie)", {"libsdl1.2debian", "libsdl2-2.0-0"}},
    {"unstable", "sid", "Debian unstable (sid)", {"libsdl1.2debian", "libsdl2-2.0-0", "libsdl3-0"}},
}};

// The libraries a runtime's folder holds, by the names their loaders ask for.
constexpr std::array<const char*, 3> sonames = {"libSDL-1.2.so.0", "libSDL2-2.0.so.0", "libSDL3.so.0"};

constexpr const char* keyring = "/usr/share/keyrings/debian-archive-keyring.gpg";

// apt's own word on why it failed: the line that names the failure, else its last.
std::string apt_reason(const std::string& printed) {
    for (const char* failure : {"Could not connect", "Could not resolve", "Failed to fetch", "Unable to locate", "NO_PUBKEY"}) {
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

// apt with lists, cache and state of its own under `dir`.
struct PrivateApt {
    std::string dir;
    std::vector<std::string> options() const {
        return {"-o", "Dir::Etc::SourceList=" + dir + "/sources.list", "-o", "Dir::Etc::SourceParts=" + dir + "/none",
                "-o", "Dir::Etc::Preferences=" + dir + "/none", "-o", "Dir::Etc::PreferencesParts=" + dir + "/none",
                "-o", "Dir::State=" + dir + "/state", "-o", "Dir::State::status=" + dir + "/status",
                "-o", "Dir::Cache=" + dir + "/cache", "-o", "Debug::NoLocking=1", "-o", "APT::Sandbox::User=root",
                "-q"};
    }
    int run(const std::string& command, std::vector<std::string> args, std::string& printed, const std::string& where = "") const {
        std::vector<std::string> argv;
        if (!where.empty()) argv = {"env", "-C", where};
        argv.push_back("apt-get");
        for (const std::string& option : options()) argv.push_back(option);
        argv.push_back(command);
        argv.insert(argv.end(), args.begin(), args.end());
        return run_command(argv, printed, milliseconds(600000));
    }
};

std::string make_folders(const std::string& dir, const std::string& mirror, const char* suite) {
    std::error_code error;
    for (const char* sub : {"none", "state/lists/partial", "cache/archives/partial", "debs", "tree"}) {
        fs::create_directories(dir + "/" + sub, error);
        if (error) return dir + "/" + sub + ": " + error.message();
    }
    std::string made = write_file(dir + "/status", "");
    if (made.empty()) made = write_file(dir + "/sources.list", std::string("deb [signed-by=") + keyring + "] " + mirror + " " + suite + " main\n");
    return made;
}

// What a library needs that this system's C library has not, as ldd says
// it: "GLIBC_2.38"; "" when nothing is missing.
std::string missing_versions(const std::string& library) {
    std::string printed, missing;
    run_command({"ldd", library}, printed, milliseconds(30000));
    for (std::size_t at = 0; (at = printed.find("version `", at)) != std::string::npos;) {
        const std::size_t end = printed.find('\'', at + 9);
        if (end == std::string::npos) break;
        const std::string version = printed.substr(at + 9, end - at - 9);
        if (missing.find(version) == std::string::npos) missing += (missing.empty() ? "" : ", ") + version;
        at = end;
    }
    return missing;
}

// On a terminal only: elsewhere the one line said is the result, or what went wrong.
void progress(const std::string& line) {
    if (isatty(2)) std::fprintf(stderr, "keymon-compare: %s\n", line.c_str());
}

}  // namespace

std::string known_releases() {
    std::string names;
    for (const Release& release : releases) names += std::string(names.empty() ? "" : ", ") + release.name;
    return names;
}

std::string fetch_runtime(const std::string& name, std::string& summary) {
    const Release* release = nullptr;
    for (const Release& candidate : releases) {
        if (name == candidate.name) release = &candidate;
    }
    if (!release) return "no runtime to fetch called '" + name + "': it knows " + known_releases();
    const std::string mirror = system_mirror();
    if (mirror.empty()) return "this system's apt sources name no Debian mirror to fetch from";
    std::error_code error;
    if (!fs::exists(keyring, error)) return std::string("no Debian archive keyring to check signatures with (") + keyring +
                                            "; Debian package debian-archive-keyring)";
    const std::string cache = runtime_cache();
    fs::create_directories(cache, error);
    if (error) return "cannot make " + cache + ": " + error.message();

    // apt's work goes to /tmp; the runtime is made beside its place in the
    // cache and put there whole.
    PrivateDir work, made;
    if (std::string failed = work.make("keymon-fetch"); !failed.empty()) return failed;
    if (std::string failed = made.make(("." + name).c_str(), cache); !failed.empty()) return failed;
    if (std::string failed = make_folders(work.path(), mirror, release->suite); !failed.empty()) return failed;
    const PrivateApt apt{work.path()};
    std::string printed;
    progress("fetching " + name + " (" + release->title + ") from " + mirror);
    const int updated = apt.run("update", {"--error-on=any"}, printed);
    if (updated == 127) return "apt-get is not installed";
    if (updated != 0) return "Debian's archive cannot be reached at " + mirror + " (apt-get update: " + apt_reason(printed) + ")";
    std::vector<std::string> packages(release->packages.begin(), release->packages.end());
    printed.clear();
    if (apt.run("download", packages, printed, work.path() + "/debs") != 0) {
        return "cannot download " + std::string(release->suite) + "'s packages (apt-get download: " + apt_reason(printed) + ")";
    }
    std::vector<fs::path> debs;
    for (const auto& deb : fs::directory_iterator(work.path() + "/debs", error)) debs.push_back(deb.path());
    std::sort(debs.begin(), debs.end());
    std::string versions, sdl12_depends;
    for (const fs::path& deb : debs) {
        printed.clear();
        if (run_command({"dpkg-deb", "-x", deb.string(), work.path() + "/tree"}, printed, milliseconds(120000)) != 0) {
            return "cannot unpack " + deb.filename().string() + " (" + apt_reason(printed) + ")";
        }
        std::string field;
        run_command({"dpkg-deb", "-f", deb.string(), "Package", "Version"}, field, milliseconds(30000));
        std::string package = field.substr(field.find(": ") + 2), version = field.substr(field.rfind(": ") + 2);
        package = package.substr(0, package.find('\n'));
        version = version.substr(0, version.find('\n'));
        versions += (versions.empty() ? "" : ", ") + package + " " + version;
        if (package.rfind("libsdl1.2", 0) == 0) {
            run_command({"dpkg-deb", "-f", deb.string(), "Depends"}, sdl12_depends, milliseconds(30000));
            while (!sdl12_depends.empty() && sdl12_depends.back() == '\n') sdl12_depends.pop_back();
        }
    }
    // Each library under the name its loader asks for, its own file.
    for (const auto& entry : fs::recursive_directory_iterator(work.path() + "/tree", error)) {
        const std::string file = entry.path().filename().string();
        for (const char* soname : sonames) {
            if (file != soname) continue;
            fs::copy_file(fs::canonical(entry.path(), error), made.path() + "/" + soname, fs::copy_options::overwrite_existing, error);
            if (error) return "cannot copy " + file + ": " + error.message();
        }
    }
    if (!fs::exists(made.path() + "/libSDL-1.2.so.0")) return "the packages of " + name + " hold no libSDL-1.2.so.0";
    // Libraries the SDL 1.2 layer needs that this system lacks (classic's
    // sound and console libraries on a system that has none).
    printed.clear();
    run_command({"env", "LD_LIBRARY_PATH=" + made.path(), "ldd", made.path() + "/libSDL-1.2.so.0"}, printed, milliseconds(30000));
    std::string lacking;
    for (std::size_t at = 0; (at = printed.find(" => not found", at)) != std::string::npos; at += 13) {
        const std::size_t start = printed.find_first_not_of(" \t", printed.rfind('\n', at) + 1);
        const std::string soname = printed.substr(start, at - start);
        if (soname.rfind("libSDL2", 0) != 0 && soname.rfind("libSDL3", 0) != 0) lacking += (lacking.empty() ? "" : ", ") + soname;
    }
    if (!lacking.empty()) {
        return name + "'s libSDL-1.2.so.0 needs libraries this system lacks: " + lacking + " (its package depends on " +
               sdl12_depends + "); install them, then fetch it again";
    }

    // A layer this system cannot load (it needs a newer C library) is left
    // out: the runtime then runs over this system's SDL2, and says so.
    RuntimeIdentity identity;
    std::string note;
    if (std::string failed = identify_runtime(made.path(), identity); !failed.empty()) {
        std::string needs;
        for (const char* layer : {"libSDL2-2.0.so.0", "libSDL3.so.0"}) {
            const std::string file = made.path() + "/" + layer;
            if (!fs::exists(file, error)) continue;
            const std::string missing = missing_versions(file);
            if (!missing.empty()) needs += (needs.empty() ? "" : "; ") + std::string(layer) + " needs " + missing;
            fs::remove(file, error);
        }
        note = std::string("over this system's SDL2: ") + release->title + "'s own cannot load here (" +
               (needs.empty() ? failed : needs) + ")";
        if (std::string still = identify_runtime(made.path(), identity); !still.empty()) return name + ": " + still;
    }
    if (std::string written = write_file(made.path() + "/keymon-runtime.txt",
                                         std::string("release: ") + release->title + "\npackages: " + versions + "\nnote: " + note + "\n");
        !written.empty()) {
        return written;
    }
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
    summary = name + ": " + describe(identity) + (note.empty() ? "" : " (" + note + ")") + ", from " + versions + ", in " + place;
    return "";
}

namespace {

// A value of the notes a fetch leaves beside a runtime ("release: ...").
std::string note_field(const std::string& folder, const std::string& field) {
    std::string text;
    if (!read_file(folder + "/keymon-runtime.txt", text)) return "";
    const std::string key = "\n" + field + ": ";
    text.insert(0, "\n");
    const std::size_t at = text.find(key);
    if (at == std::string::npos) return "";
    const std::size_t start = at + key.size();
    return text.substr(start, text.find('\n', start) - start);
}

std::string megabytes(std::uintmax_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

}  // namespace

std::vector<CachedRuntime> cached_runtimes() {
    std::vector<CachedRuntime> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(runtime_cache(), error)) {
        const std::string name = entry.path().filename().string();
        // A runtime being made or replaced is a hidden folder beside it.
        if (name.empty() || name[0] == '.' || !entry.is_directory(error)) continue;
        CachedRuntime runtime{name, note_field(entry.path().string(), "release"), "", 0};
        RuntimeIdentity identity;
        const std::string failed = identify_runtime(entry.path().string(), identity);
        runtime.versions = failed.empty() ? describe(identity) : "does not load: " + failed;
        for (const auto& file : fs::recursive_directory_iterator(entry.path(), error)) {
            if (file.is_regular_file(error) && !file.is_symlink(error)) runtime.bytes += file.file_size(error);
        }
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
