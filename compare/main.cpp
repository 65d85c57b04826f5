// keymon-compare: types the same keys into keymon on the classic SDL 1.2 and
// on the SDL2-based runtime, in a private X server with a real XKB layout,
// and shows key by key where the two reports differ. Exit status as diff's:
// 0 all agree, 1 some key differs, 2 trouble.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>

#include "compare.h"

namespace {

constexpr int status_trouble = 2;

const char* const usage =
    "usage: keymon-compare [--keymon PATH] [--layout XKB_LAYOUT] [--markdown] [--all] [KEY ...]\n"
    "KEY: an X keysym name, with modifiers joined by '+' (a, shift+a, KP_Enter, ISO_Level3_Shift+e);\n"
    "with no KEY, a built-in set covering every class of key and the layout's own keys.\n";

int trouble(const std::string& message) {
    std::fprintf(stderr, "keymon-compare: %s\n", message.c_str());
    return status_trouble;
}

// What an interrupted run must stop and remove, recorded under the lock
// from before a child starts until it has ended.
std::mutex children_lock;
pid_t running_server = -1;   // guarded by children_lock
pid_t running_monitor = -1;  // guarded by children_lock
std::string server_dir;      // guarded by children_lock
std::atomic<bool> interrupted{false};

// The signals that interrupt a run are blocked in every thread and taken
// here: stop keymon and the server, remove the server's files, and end as
// an interrupted command does.
void watch_signals(sigset_t signals) {
    int signal = 0;
    sigwait(&signals, &signal);
    interrupted = true;
    std::lock_guard<std::mutex> hold(children_lock);
    if (running_monitor > 0) end_process(running_monitor, SIGKILL, milliseconds(10000));
    if (running_server > 0) end_process(running_server, SIGTERM, milliseconds(10000));
    std::error_code ignored;
    if (!server_dir.empty()) std::filesystem::remove_all(server_dir, ignored);
    std::fprintf(stderr, "keymon-compare: interrupted; the X server and keymon are stopped\n");
    _exit(128 + signal);
}

// The connection breaks when an interrupt stops the server under the main
// thread's feet: leave the end to the signal thread then.
int on_lost_server(Display*) {
    if (interrupted) {
        for (;;) pause();
    }
    std::fprintf(stderr, "keymon-compare: lost the connection to the X server\n");
    _exit(status_trouble);
}

// keymon built beside this program (in the same folder once installed, in
// the sibling folder of the build tree), else the one on PATH.
std::string default_keymon() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        for (const auto& candidate : {self.parent_path() / "keymon", self.parent_path().parent_path() / "keymon" / "keymon"}) {
            if (access(candidate.c_str(), X_OK) == 0) return candidate;
        }
    }
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= dirs.size();) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string candidate = (end > start ? dirs.substr(start, end - start) : ".") + "/keymon";
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    std::string keymon, layout = "us";
    bool markdown = false, all = false;
    std::vector<std::string> keys;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--keymon" || arg == "--layout") && i + 1 < argc) {
            (arg == "--keymon" ? keymon : layout) = argv[++i];
        } else if (arg == "--markdown") {
            markdown = true;
        } else if (arg == "--all") {
            all = true;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(usage, stdout);
            return 0;
        } else if (arg == "--") {
            keys.insert(keys.end(), argv + i + 1, argv + argc);
            break;
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            std::fputs(usage, stderr);
            return trouble("unknown option '" + arg + "'");
        } else {
            keys.push_back(arg);
        }
    }
    if (layout.empty() || layout.find_first_of(" \t\n") != std::string::npos) {
        return trouble("unknown XKB layout '" + layout + "'");
    }
    std::vector<KeyResult> results;
    for (const std::string& key : keys) {
        KeyResult result;
        const std::string error = parse_key_spec(key, result.spec);
        if (!error.empty()) return trouble(error);
        results.push_back(result);
    }
    if (keymon.empty()) keymon = default_keymon();
    if (keymon.empty()) return trouble("no keymon found beside keymon-compare or on PATH; name it with --keymon");
    if (access(keymon.c_str(), X_OK) != 0) return trouble("keymon '" + keymon + "' is not an executable file");
    if (const std::string missing = runtime_missing(Runtime::compat); !missing.empty()) {
        return trouble(missing + "; nothing compared");
    }

    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, signal);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread(watch_signals, signals).detach();
    XSetIOErrorHandler(on_lost_server);

    XServer server;
    {
        std::lock_guard<std::mutex> hold(children_lock);
        const std::string error = start_xserver(server, ServerKind::xorg);
        running_server = server.pid;
        server_dir = server.dir;
        if (!error.empty()) {
            return trouble("no X server could start: " + error +
                           " (keymon-compare runs Xorg with the dummy video driver: Debian packages "
                           "xserver-xorg-core and xserver-xorg-video-dummy, as root)");
        }
    }
    const auto stop = [&] {
        std::lock_guard<std::mutex> hold(children_lock);
        stop_xserver(server);
        running_server = -1;
        server_dir.clear();
    };
    if (const std::string error = set_layout(server, layout); !error.empty()) {
        stop();
        return trouble(error);
    }
    if (keys.empty()) {
        for (const std::string& key : builtin_keys(server.conn)) {
            KeyResult result;
            parse_key_spec(key, result.spec);
            results.push_back(result);
        }
    }

    std::string libraries[2];
    for (Runtime runtime : {Runtime::classic, Runtime::compat}) {
        const std::string error = type_into_keymon(
            server, keymon, runtime, results, libraries[runtime == Runtime::classic ? 0 : 1],
            [](pid_t pid) { running_monitor = pid; }, children_lock);
        if (!error.empty()) {
            stop();
            return trouble(error);
        }
    }
    stop();

    bool differ = false;
    for (const KeyResult& result : results) differ = differ || result.differs();
    const std::string summary = format_summary(results, layout);
    if (markdown) {
        std::fputs(format_markdown(results, all).c_str(), stdout);
        std::printf("\n%s", summary.c_str());
    } else {
        std::fputs(format_text(results, all).c_str(), stdout);
        std::fputs(summary.c_str(), stdout);
    }
    std::printf("classic: %s\nSDL2-based: %s\n", libraries[0].c_str(), libraries[1].c_str());
    return differ ? 1 : 0;
}
