// keymon-compare: types the same keys into keymon on the classic SDL 1.2 and
// on the SDL2-based runtime, in a private X server with a real XKB layout,
// and shows key by key where the two reports differ. Exit status as diff's:
// 0 all agree, 1 some key differs, 2 trouble.
#include <getopt.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "compare.h"

namespace {

constexpr int status_trouble = 2;

const char* const usage =
    "usage: keymon-compare [-k|--keymon PATH] [-l|--layout XKB_LAYOUT] [-m|--markdown] [-a|--all] [--] [KEY ...]\n"
    "       keymon-compare -h|--help | -V|--version\n"
    "KEY: an X keysym name, with modifiers joined by '+' (a, shift+a, KP_Enter, ISO_Level3_Shift+e);\n"
    "with no KEY, a built-in set covering every class of key and the layout's own keys.\n"
    "The layout is by default the one of the X display in $DISPLAY, else us.\n";

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
    return find_program("keymon");
}

// The layout keymon-compare types under when none is named: the one the
// desktop's X server was set to (as `setxkbmap -query` reads it), with each
// group's variant in parentheses, else "us". `source` says which.
std::string default_layout(std::string& source) {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        source = "the default: no X display";
        return "us";
    }
    Display* conn = XOpenDisplay(display);
    if (!conn) {
        source = std::string("the default: X display ") + display + " not reachable";
        return "us";
    }
    const std::string layout = layout_with_variants(conn);
    XCloseDisplay(conn);
    if (layout.empty()) {
        source = std::string("the default: X display ") + display + " names no layout";
        return "us";
    }
    source = std::string("from X display ") + display;
    return layout;
}

}  // namespace

int main(int argc, char** argv) {
    std::string keymon, html_file, default_source;
    std::vector<std::string> layouts;
    bool markdown = false, all = false, json = false, html_given = false;
    const option options[] = {{"keymon", required_argument, nullptr, 'k'}, {"layout", required_argument, nullptr, 'l'},
                              {"markdown", no_argument, nullptr, 'm'},     {"all", no_argument, nullptr, 'a'},
                              {"json", no_argument, nullptr, 'j'},         {"html", required_argument, nullptr, 'H'},
                              {"help", no_argument, nullptr, 'h'},         {"version", no_argument, nullptr, 'V'},
                              {nullptr, 0, nullptr, 0}};
    opterr = 0;  // the one message comes from here
    for (int opt; (opt = getopt_long(argc, argv, ":k:l:majhV", options, nullptr)) != -1;) {
        switch (opt) {
        case 'k': keymon = optarg; break;
        case 'l': layouts.push_back(optarg); break;
        case 'm': markdown = true; break;
        case 'a': all = true; break;
        case 'j': json = true; break;
        case 'H': html_file = optarg, html_given = true; break;
        case 'h': std::fputs(usage, stdout); return 0;
        case 'V': std::printf("keymon-compare %s\n", KEYMON_VERSION); return 0;
        case ':':
            std::fputs(usage, stderr);
            return trouble(std::string("option '") + argv[optind - 1] + "' needs a value");
        default:
            std::fputs(usage, stderr);
            return trouble("unknown option '" + (optopt ? std::string("-") + char(optopt) : std::string(argv[optind - 1])) + "'");
        }
    }
    const std::vector<std::string> keys(argv + optind, argv + argc);
    if (layouts.empty()) layouts.push_back(default_layout(default_source));
    for (const std::string& layout : layouts) {
        if (layout.empty() || layout.find_first_of(" \t\n") != std::string::npos) {
            return trouble("unknown XKB layout '" + layout + "'");
        }
    }
    if (html_given && html_file.empty()) return trouble("option '--html' needs a file name");
    std::vector<KeyResult> named;
    for (const std::string& key : keys) {
        KeyResult result;
        const std::string error = parse_key_spec(key, result.spec);
        if (!error.empty()) return trouble(error);
        named.push_back(result);
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
            return trouble("no X server could start: " + error);
        }
    }
    const auto stop = [&] {
        std::lock_guard<std::mutex> hold(children_lock);
        stop_xserver(server);
        running_server = -1;
        server_dir.clear();
    };

    // One server for every layout: each is loaded in turn, as a desktop's
    // keyboard settings switch it, and both runtimes are typed under it.
    std::vector<LayoutReport> reports;
    std::string libraries[2];
    for (const std::string& layout : layouts) {
        LayoutReport report;
        report.layout = layout;
        report.source = default_source.empty() ? "from --layout" : default_source;
        if (const std::string error = set_layout(server, layout); !error.empty()) {
            stop();
            return trouble(error);
        }
        report.keys = named;
        if (keys.empty()) {
            for (const std::string& key : builtin_keys(server.conn)) {
                KeyResult result;
                parse_key_spec(key, result.spec);
                report.keys.push_back(result);
            }
        }
        for (Runtime runtime : {Runtime::classic, Runtime::compat}) {
            const std::string error = type_into_keymon(
                server, keymon, runtime, report.keys, libraries[runtime == Runtime::classic ? 0 : 1],
                [](pid_t pid) { running_monitor = pid; }, children_lock);
            if (!error.empty()) {
                stop();
                return trouble(error);
            }
        }
        if (!html_file.empty() && !read_keyboard_geometry(server.conn, report.keyboard)) {
            std::fprintf(stderr, "keymon-compare: the X server has no keyboard geometry for layout %s; "
                                 "the page draws the typed keys as a grid\n", layout.c_str());
            std::vector<KeyCode> codes;
            for (const KeyResult& key : report.keys) {
                if (!key.spare && std::find(codes.begin(), codes.end(), key.code) == codes.end()) codes.push_back(key.code);
            }
            report.keyboard = keyboard_grid(server.conn, codes);
        }
        reports.push_back(std::move(report));
    }
    stop();

    bool differ = false;
    for (const LayoutReport& report : reports) differ = differ || keys_differing(report.keys) > 0;
    if (!html_file.empty()) {
        std::ofstream page(html_file);
        page << format_html(reports, libraries);
        if (!page.flush()) return trouble("cannot write '" + html_file + "'");
    }
    if (json) {
        std::fputs(format_json(reports, libraries).c_str(), stdout);
        return differ ? 1 : 0;
    }
    for (std::size_t i = 0; i < reports.size(); ++i) {
        const LayoutReport& report = reports[i];
        if (i) std::fputs("\n", stdout);
        if (markdown) {
            std::fputs(format_markdown(report.keys, all).c_str(), stdout);
            std::printf("\n%s", layout_summary(report).c_str());
        } else {
            std::fputs(format_text(report.keys, all).c_str(), stdout);
            std::fputs(layout_summary(report).c_str(), stdout);
        }
    }
    std::printf("classic: %s\nSDL2-based: %s\n", libraries[0].c_str(), libraries[1].c_str());
    return differ ? 1 : 0;
}
