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
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include <X11/Xlib.h>

#include "children.h"
#include "elf_links.h"
#include "desktop.h"
#include "fetch.h"
#include "files.h"
#include "formats.h"
#include "phases.h"
#include "runner.h"
#include "stack.h"
#include "standard_streams.h"
#include "survey.h"
#include "xserver.h"

namespace {

constexpr int status_trouble = 2;

const char* const usage =
    "usage: keymon-compare [-k|--keymon PATH] [-r|--runtime NAME[=PATH]]... [-s|--session x11|wayland]...\n"
    "                      [-l|--layout XKB_LAYOUT]... [--every-layout[=LAYOUTS]] [-J|--jobs N]\n"
    "                      [-m|--markdown] [-a|--all] [-j|--json] [--html FILE] [--] [KEY ...]\n"
    "       keymon-compare --fetch-runtime NAME[=BASE,LAYER=RELEASE,...]...\n"
    "       keymon-compare --list-runtimes | --remove-runtime NAME\n"
    "       keymon-compare -h|--help | -V|--version\n"
    "Types the same keys into keymon on several SDL 1.2 runtimes (by default the classic one and\n"
    "the SDL2-based one), in a private Xorg with a real XKB layout, and shows where they differ.\n"
    "  -k, --keymon PATH    the keymon to run (a wrapper script will do, except on a fetched\n"
    "                       stack); by default the one beside keymon-compare, else keymon on PATH\n"
    "  -r, --runtime NAME[=PATH]  an SDL 1.2 runtime to run keymon on, NAME its column; may be given\n"
    "                       again, in the order shown. PATH: a folder holding libSDL-1.2.so.0 (and the\n"
    "                       libSDL2-2.0.so.0 and libSDL3.so.0 it should load), or the library file.\n"
    "                       classic and compat alone are the system's; another NAME alone, the one\n"
    "                       fetched under that name. Default: classic and compat\n"
    "      --fetch-runtime NAME  fetch a release's whole stack (its SDL 1.2, SDL2, SDL3, C library\n"
    "                       and loader) from Debian's archive into ~/.cache/keymon/runtimes/NAME and\n"
    "                       stop: classic, debian12, debian13, testing, unstable, experimental;\n"
    "                       NAME=BASE,LAYER=RELEASE,... mixes layers (sdl12, sdl2, sdl3) across them\n"
    "      --list-runtimes  list the fetched runtimes (name, release, size, versions) and stop\n"
    "      --remove-runtime NAME  take a fetched runtime out of the cache and stop\n"
    "  -s, --session SESSION  x11 (a private Xorg) or wayland (a private sway: every runtime\n"
    "                       through Xwayland and each SDL2-based one on SDL2's Wayland backend);\n"
    "                       may be given again or joined by commas; by default wayland when\n"
    "                       $WAYLAND_DISPLAY names a compositor that answers, else x11\n"
    "  -l, --layout LAYOUT  an XKB layout (de, fr, de(nodeadkeys), us,de); may be given again\n"
    "                       for more layouts in one run; by default the keymap of the desktop\n"
    "                       (Wayland's, else the X display's), else us\n"
    "  -o, --option OPT     an XKB option (caps:swapescape, compose:ralt) with each layout, as\n"
    "                       setxkbmap -option takes it; may be given again or joined by commas;\n"
    "                       with no --layout, on us\n"
    "      --every-option[=GROUPS]  every option the XKB registry lists (only those of GROUPS,\n"
    "                       joined by commas, when given), each alone on the --layout given (us)\n"
    "      --every-layout[=LAYOUTS]  every layout and variant the XKB registry lists (only those of\n"
    "                       LAYOUTS, joined by commas, when given), with a report per keymap\n"
    "  -J, --jobs N         with --every-layout or --every-option, N private servers at once\n"
    "                       (default: 8 for each processor, at most 64)\n"
    "  -a, --all            show the keys that agree too\n"
    "  -m, --markdown       a Markdown table instead of text\n"
    "  -j, --json           the whole result as one JSON document instead of text\n"
    "      --html FILE      also write a self-contained page with each layout's keyboard\n"
    "KEY: an X keysym name, with modifiers joined by '+' (a, shift+a, KP_Enter, ISO_Level3_Shift+e);\n"
    "with no KEY, a built-in set covering every class of key and the layout's own keys.\n"
    "Exit status: 0 all agree, 1 some key differs, 2 trouble.\n";


// A mistake on the command line: one message, and where to read more.
int usage_error(const std::string& message) {
    std::fprintf(stderr, "keymon-compare: %s\nTry 'keymon-compare --help' for more information.\n", message.c_str());
    return status_trouble;
}

std::atomic<bool> interrupted{false};

int trouble(const std::string& message) {
    // A child the signal thread has just ended fails the main thread's
    // work: that is no trouble of its own to report.
    if (interrupted) {
        for (;;) pause();
    }
    std::fprintf(stderr, "keymon-compare: %s\n", message.c_str());
    return status_trouble;
}

// The signals that interrupt a run are blocked in every thread and taken
// here: stop every child (the X server, keymon and whatever it started),
// remove the private folders, and end as an interrupted command does. It
// takes no lock, so no state of the main thread's can hold it up.
void watch_signals(sigset_t signals) {
    int signal = 0;
    sigwait(&signals, &signal);
    interrupted = true;
    end_all_children(milliseconds(700));
    std::fprintf(stderr, "keymon-compare: interrupted; the X server and keymon are stopped\n");
    _exit(128 + signal);
}

// The connection breaks when an interrupt stops the server under the main
// thread's feet: leave the end to the signal thread then.
int on_lost_server(Display*) {
    if (interrupted) {
        for (;;) pause();
    }
    end_all_children(milliseconds(700));
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

// Writes all of `text` to standard output and flushes it; "" or why it failed.
std::string write_out(const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
        return std::string("write error: ") + std::strerror(errno);
    }
    return "";
}

// Writes the page into the file opened for it at the start, and closes it.
// "" or why it failed.
std::string write_page(std::FILE* page, const std::string& name, const std::string& html) {
    const bool written = ftruncate(fileno(page), 0) == 0 && std::fwrite(html.data(), 1, html.size(), page) == html.size() &&
                         std::fflush(page) == 0;
    const int error = errno;
    if (std::fclose(page) != 0 || !written) return "cannot write '" + name + "': " + std::strerror(written ? errno : error);
    return "";
}

// An XKB layout list as setxkbmap takes it: groups joined by commas, none
// empty, no blanks.
bool plausible_layout(const std::string& layout) {
    if (layout.empty() || layout.find_first_of(" \t\n") != std::string::npos) return false;
    return layout.front() != ',' && layout.back() != ',' && layout.find(",,") == std::string::npos;
}

LayoutReport layout_to_compare(const std::string& layout, const std::string& source) {
    LayoutReport report;
    report.layout = layout;
    report.source = source;
    return report;
}

}  // namespace

int main(int argc, char** argv) {
    open_missing_standard_streams();
    XInitThreads();  // a survey's jobs each talk to servers of their own
    std::string keymon, html_file, default_source;
    std::vector<std::string> layouts;
    std::vector<SessionKind> sessions;
    bool markdown = false, all = false, json = false, keymon_given = false, every_layout = false;
    std::vector<std::string> every_only;  // --every-layout=de,fr
    std::vector<std::string> xkb_options, every_option_groups;
    bool every_option = false;
    // A job spends most of its time waiting on round trips and keymon:
    // eight a processor keep the processors busy.
    long jobs = std::min(64L, 8L * static_cast<long>(std::max(1u, std::thread::hardware_concurrency())));
    std::vector<RuntimeRequest> requests;
    std::vector<std::string> fetches, removals;
    bool list_runtimes = false;
    const option options[] = {{"keymon", required_argument, nullptr, 'k'}, {"layout", required_argument, nullptr, 'l'},
                              {"runtime", required_argument, nullptr, 'r'}, {"fetch-runtime", required_argument, nullptr, 'F'},
                              {"list-runtimes", no_argument, nullptr, 'L'}, {"remove-runtime", required_argument, nullptr, 'X'},
                              {"session", required_argument, nullptr, 's'},
                              {"every-layout", optional_argument, nullptr, 'E'},
                              {"option", required_argument, nullptr, 'o'}, {"every-option", optional_argument, nullptr, 'O'},
                              {"jobs", required_argument, nullptr, 'J'},
                              {"markdown", no_argument, nullptr, 'm'},     {"all", no_argument, nullptr, 'a'},
                              {"json", no_argument, nullptr, 'j'},         {"html", required_argument, nullptr, 'H'},
                              {"help", no_argument, nullptr, 'h'},         {"version", no_argument, nullptr, 'V'},
                              {nullptr, 0, nullptr, 0}};
    opterr = 0;  // the one message comes from here
    for (int opt; (opt = getopt_long(argc, argv, ":k:l:o:r:s:J:majhV", options, nullptr)) != -1;) {
        switch (opt) {
        case 'k': keymon = optarg, keymon_given = true; break;
        case 'r': {
            RuntimeRequest request;
            if (const std::string error = parse_runtime_option(optarg, request); !error.empty()) return usage_error(error);
            for (const RuntimeRequest& given : requests) {
                if (given.name == request.name) return usage_error("runtime " + request.name + " is given twice");
            }
            requests.push_back(request);
            break;
        }
        case 'F':
            if (!*optarg) return usage_error("option '--fetch-runtime' needs a name: " + known_releases());
            fetches.push_back(optarg);
            break;
        case 'L': list_runtimes = true; break;
        case 'X': removals.push_back(optarg); break;
        case 'l': layouts.push_back(optarg); break;
        case 's':
            for (const std::string& name : split_commas(optarg)) {
                if (name != "x11" && name != "wayland") return usage_error("unknown session '" + name + "': x11 or wayland");
                const SessionKind session = name == "x11" ? SessionKind::x11 : SessionKind::wayland;
                if (std::find(sessions.begin(), sessions.end(), session) == sessions.end()) sessions.push_back(session);
            }
            break;
        case 'm': markdown = true; break;
        case 'o':
            for (const std::string& option : split_commas(optarg)) {
                if (option.empty() || option.find_first_of(" \t\n") != std::string::npos) {
                    return usage_error("unknown XKB option '" + std::string(optarg) + "'");
                }
                if (std::find(xkb_options.begin(), xkb_options.end(), option) == xkb_options.end()) xkb_options.push_back(option);
            }
            break;
        case 'O':
            every_option = true;
            if (optarg) {
                for (const std::string& group : split_commas(optarg)) {
                    if (group.empty()) return usage_error("an empty option group in --every-option");
                    every_option_groups.push_back(group);
                }
            }
            break;
        case 'E':
            every_layout = true;
            if (optarg) {
                for (const std::string& name : split_commas(optarg)) {
                    if (!plausible_layout(name)) return usage_error("unknown XKB layout '" + name + "' in --every-layout");
                    every_only.push_back(name);
                }
            }
            break;
        case 'J': {
            char* end = nullptr;
            jobs = std::strtol(optarg, &end, 10);
            if (*end || jobs < 1 || jobs > 64) return usage_error(std::string("--jobs takes a number from 1 to 64, not '") + optarg + "'");
            break;
        }
        case 'a': all = true; break;
        case 'j': json = true; break;
        case 'H':
            if (!*optarg) return usage_error("option '--html' needs a file name");
            html_file = optarg;
            break;
        case 'h': {
            const std::string error = write_out(usage);
            return error.empty() ? 0 : trouble(error);
        }
        case 'V': {
            const std::string error = write_out(std::string("keymon-compare ") + KEYMON_VERSION + "\n");
            return error.empty() ? 0 : trouble(error);
        }
        case ':': return usage_error(std::string("option '") + argv[optind - 1] + "' needs a value");
        default:
            return usage_error("unknown option '" +
                               (optopt ? std::string("-") + char(optopt) : std::string(argv[optind - 1])) + "'");
        }
    }
    if (keymon_given && keymon.empty()) return usage_error("option '--keymon' needs a program");
    if (!removals.empty() || list_runtimes) {
        signal(SIGPIPE, SIG_IGN);
        for (const std::string& name : removals) {
            if (const std::string error = remove_runtime(name); !error.empty()) return trouble(error);
        }
        if (!list_runtimes) return 0;
        const std::string error = write_out(runtime_listing(cached_runtimes()));
        return error.empty() ? 0 : trouble(error);
    }
    if (!fetches.empty()) {
        signal(SIGPIPE, SIG_IGN);
        for (const std::string& name : fetches) {
            std::string summary;
            if (const std::string error = fetch_runtime(name, summary); !error.empty()) return trouble(error);
            if (const std::string error = write_out("fetched " + summary + "\n"); !error.empty()) return trouble(error);
        }
        return 0;
    }
    if (every_layout && !layouts.empty()) return usage_error("--every-layout and --layout cannot be given together");
    if (every_layout && every_option) return usage_error("--every-layout and --every-option cannot be given together");
    if (every_option && layouts.size() > 1) return usage_error("--every-option takes one --layout");
    for (const std::string& layout : layouts) {
        if (!plausible_layout(layout)) return trouble("unknown XKB layout '" + layout + "'");
    }
    const std::vector<std::string> keys(argv + optind, argv + argc);
    std::vector<KeyComparison> named;
    for (const std::string& key : keys) {
        KeyComparison result;
        const std::string error = parse_key_spec(key, result.spec);
        if (!error.empty()) return trouble(error);
        named.push_back(result);
    }
    if (keymon.empty()) keymon = default_keymon();
    if (keymon.empty()) return trouble("no keymon found beside keymon-compare or on PATH; name it with --keymon");
    std::error_code not_regular;
    if (!std::filesystem::is_regular_file(keymon, not_regular) || access(keymon.c_str(), X_OK) != 0) {
        return trouble("keymon '" + keymon + "' is not an executable file");
    }
    // Each runtime identified before anything starts: a wrong one costs no server.
    if (requests.empty()) requests = {{"classic", ""}, {"compat", ""}};
    std::vector<Runtime> runtimes;
    for (const RuntimeRequest& request : requests) {
        Runtime runtime;
        if (const std::string error = resolve_runtime(request, runtime); !error.empty()) return trouble(error);
        // A stack's loader runs programs, not scripts: a wrapper would run
        // its interpreter on this system's libraries.
        ElfLinks links;
        if (holds_stack(runtime.folder) && !read_elf_links(keymon, links).empty()) {
            return trouble("keymon '" + keymon + "' is not a program, and runtime " + runtime.name +
                           " runs it through its own loader; name keymon itself with --keymon");
        }
        runtimes.push_back(std::move(runtime));
    }
    std::string desktop_keymap_text;
    std::vector<Keymap> keymaps;
    // An option XKB does not list would be dropped by the rules without a word.
    if (!xkb_options.empty()) {
        std::vector<Keymap> known;
        if (const std::string error = registry_options({}, known); !error.empty()) return trouble(error);
        for (const std::string& option : xkb_options) {
            if (std::none_of(known.begin(), known.end(), [&](const Keymap& k) { return k.variant == option; })) {
                return trouble("unknown XKB option '" + option + "'");
            }
        }
    }
    if (every_layout) {
        if (const std::string error = registry_keymaps(every_only, keymaps); !error.empty()) return trouble(error);
    } else if (every_option) {
        if (const std::string error = registry_options(every_option_groups, keymaps); !error.empty()) return trouble(error);
        if (layouts.empty()) layouts.push_back("us");
    } else if (layouts.empty() && !xkb_options.empty()) {
        layouts.push_back("us");  // options go with a layout; the desktop's keymap has its own
    } else if (layouts.empty()) {
        const Desktop desktop = desktop_keymap();
        layouts.push_back(desktop.layout);
        default_source = desktop.source;
        desktop_keymap_text = desktop.keymap;
    }
    if (sessions.empty()) {
        sessions.push_back(wayland_display_answers(std::getenv("WAYLAND_DISPLAY")) ? SessionKind::wayland : SessionKind::x11);
    }
    std::sort(sessions.begin(), sessions.end());  // the Xorg session's targets first, in every run

    // The page is written at the end; a place it cannot be written to is
    // found now, before the run. The file is left as it was until then.
    std::FILE* page = nullptr;
    if (!html_file.empty()) {
        page = std::fopen(html_file.c_str(), "a");
        if (!page) return trouble("cannot write '" + html_file + "': " + std::strerror(errno));
    }

    // Output into a closed pipe is an error to report, not a silent death.
    signal(SIGPIPE, SIG_IGN);
    adopt_orphans();
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, signal);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread(watch_signals, signals).detach();
    XSetIOErrorHandler(on_lost_server);

    RunPlan plan;
    plan.sessions = sessions;
    plan.runtimes = runtimes;
    plan.base = LayoutTyping{keymon, "", {}, desktop_keymap_text, named, keys.empty(), page != nullptr};
    std::vector<Target> targets;
    std::vector<LayoutReport> reports;
    const bool survey = every_layout || every_option;
    if (survey) {
        plan.jobs = static_cast<int>(jobs);
        plan.progress = isatty(2) == 1;
        plan.stop_at_failure = false;
    }
    if (every_layout) {
        for (const Keymap& keymap : keymaps) reports.push_back(layout_to_compare(keymap_spec(keymap), keymap.description));
    } else if (every_option) {
        // Each option alone, on the one layout.
        for (const Keymap& option : keymaps) {
            reports.push_back(layout_to_compare(layouts.front(), option.description));
            reports.back().options = {option.variant};
        }
    } else {
        for (const std::string& layout : layouts) {
            reports.push_back(layout_to_compare(layout, default_source.empty() ? "from --layout" : default_source));
            reports.back().options = xkb_options;
        }
    }
    if (const std::string error = run_comparison(plan, targets, reports); !error.empty()) return trouble(error);

    if (survey) {
        std::vector<SurveyEntry> entries;
        for (std::size_t i = 0; i < keymaps.size(); ++i) entries.push_back({keymaps[i], std::move(reports[i])});
        if (page) {
            const std::string html = format_survey_html(targets, entries);
            if (const std::string error = write_page(page, html_file, html); !error.empty()) return trouble(error);
        }
        const std::string out = json       ? format_survey_json(targets, entries)
                                : markdown ? format_survey_markdown(targets, entries)
                                           : format_survey_text(targets, entries);
        if (const std::string error = write_out(out); !error.empty()) return trouble(error);
        if (std::getenv("KEYMON_COMPARE_TIMES")) std::fprintf(stderr, "keymon-compare: times: %s\n", phase_times().c_str());
        bool failed = false, differ = false;
        for (const SurveyEntry& entry : entries) {
            failed = failed || !entry.report.failure.empty();
            differ = differ || keys_differing(entry.report.keys) > 0;
        }
        return failed ? status_trouble : differ ? 1 : 0;
    }
    for (const LayoutReport& report : reports) {
        if (report.failure.empty()) continue;
        // A keymap read from the desktop says where it came from.
        return trouble(default_source.rfind("keymap", 0) == 0 ? "the " + default_source + ": " + report.failure : report.failure);
    }
    bool differ = false;
    for (const LayoutReport& report : reports) differ = differ || keys_differing(report.keys) > 0;
    if (page) {
        if (const std::string error = write_page(page, html_file, format_html(targets, reports, all)); !error.empty()) {
            return trouble(error);
        }
    }
    const std::string out = json       ? format_json(targets, reports)
                            : markdown ? format_run_markdown(targets, reports, all)
                                       : format_run_text(targets, reports, all);
    if (const std::string error = write_out(out); !error.empty()) return trouble(error);
    return differ ? 1 : 0;
}
