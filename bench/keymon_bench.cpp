// Idle processor use, lost key events and latency of keymon builds on each
// SDL 1.2 runtime, in a private Xvfb, typed through XTEST.
//   keymon_bench [--idle SECONDS] [--bursts N] [--events N] [--latency KEYS] [--pipe] LABEL=KEYMON ...
// Each LABEL=KEYMON is one build; all are measured in the same run.
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <getopt.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "children.h"
#include "interface.h"
#include "xtest_keyboard.h"
#include "line_match.h"
#include "child.h"
#include "files.h"
#include "runtime.h"
#include "xserver.h"

namespace {

struct Build {
    std::string label;
    std::string binary;
};

// User plus system time of `pid`, in clock ticks.
long cpu_ticks(pid_t pid) {
    std::string text;
    const std::size_t close = read_file("/proc/" + std::to_string(pid) + "/stat", text) ? text.rfind(')') : std::string::npos;
    if (close == std::string::npos) return 0;  // it has ended
    std::istringstream fields(text.substr(close + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
    long utime = 0, stime = 0;
    fields >> utime >> stime;
    return utime + stime;
}

// A keymon that has its window, the focus, and a running loop (the lines of
// one key are out).
struct Running {
    std::unique_ptr<Child> monitor = std::make_unique<Child>();
    Window window = None;
};

// --pipe: keymon writes into a pipe, made line-buffered by stdbuf(1), rather
// than to a pseudo-terminal.
bool through_pipe = false;

bool start(XServer& server, const Build& build, SystemRuntime runtime, Running& running) {
    LaunchOptions options;
    options.display = server.display;
    options.library_path = runtime_libdir(runtime);
    std::string binary = build.binary;
    if (through_pipe) {
        options.output = Output::pipe;
        options.args = {"-oL", binary};
        binary = find_program("stdbuf");  // it execs keymon: the same process
    }
    if (!launch_child(*running.monitor, binary, options).empty()) return false;
    running.window = find_and_focus_window(server.conn, running.monitor->pid);
    if (running.window == None) {
        std::fprintf(stderr, "%s on %s: no window\n", build.label.c_str(), runtime_name(runtime));
        return false;
    }
    send_strokes(server.conn, taps({XK_F12}));
    return wait_lines(*running.monitor, 2);
}

int stop(XServer& server, Running& running) {
    send_strokes(server.conn, {{XK_Escape, true}});
    const int status = wait_child(*running.monitor);
    send_strokes(server.conn, {{XK_Escape, false}});
    return status;
}

// ---- Idle -------------------------------------------------------------------

void measure_idle(XServer& server, const std::vector<Build>& builds, int seconds) {
    std::printf("\n## Idle: processor use over %d s with no key typed\n\n| build | runtime | CPU of one core |\n|---|---|---:|\n",
                seconds);
    for (const Build& build : builds) {
        for (SystemRuntime runtime : {SystemRuntime::classic, SystemRuntime::compat}) {
            Running running;
            if (!start(server, build, runtime, running)) continue;
            const long before = cpu_ticks(running.monitor->pid);
            const auto began = Clock::now();
            std::this_thread::sleep_for(std::chrono::seconds(seconds));  // the idle time measured
            const double wall = std::chrono::duration<double>(Clock::now() - began).count();
            const double cpu = double(cpu_ticks(running.monitor->pid) - before) / double(sysconf(_SC_CLK_TCK));
            stop(server, running);
            std::printf("| %s | %s | %.2f%% |\n", build.label.c_str(), runtime_name(runtime), 100.0 * cpu / wall);
            std::fflush(stdout);
        }
    }
}

// ---- Bursts -----------------------------------------------------------------

enum class Pace {
    paced,    // one round trip per event, a key pressed again no sooner than 3 ms after its release
    unpaced,  // 16 events a round trip, nothing held back
    spaced,   // 16 events a round trip, a key pressed again no sooner than 3 ms after its release
};
const char* pace_name(Pace pace) {
    return pace == Pace::paced ? "paced" : pace == Pace::unpaced ? "unpaced" : "unpaced, keys 3 ms apart";
}

// Processes that keep `count` cores busy until stopped.
std::vector<pid_t> busy_cores(int count) {
    std::vector<pid_t> spinners;
    for (int i = 0; i < count; ++i) {
        const pid_t pid = fork_child();
        if (pid == 0) {
            for (;;) asm volatile("");
        }
        if (pid > 0) spinners.push_back(pid);
    }
    return spinners;
}

void stop_busy(const std::vector<pid_t>& spinners) {
    for (pid_t pid : spinners) end_child(pid, SIGKILL, milliseconds(5000));
}

std::string report_line(const std::string& name, unsigned scancode, unsigned unicode, const std::string& text) {
    char numbers[32];
    std::snprintf(numbers, sizeof numbers, " 0x%x 0x%x ", scancode, unicode);
    return keymon_report_tag + name + numbers + text + " ";
}

struct Typed {
    std::vector<std::string> expected;
    std::vector<KeyCode> codes;  // of each expected line
    std::vector<bool> presses;
};

Typed expected_lines(Display* conn, const std::vector<KeySym>& keys) {
    Typed typed;
    for (KeySym sym : keys) {
        const KeyCode code = XKeysymToKeycode(conn, sym);
        const char c = static_cast<char>(sym);
        for (bool press : {true, false}) {
            typed.expected.push_back(report_line(std::string("SDLK_") + c, code, press ? unsigned(c) : 0,
                                                 press ? std::string(1, c) : ""));
            typed.codes.push_back(code);
            typed.presses.push_back(press);
        }
    }
    return typed;
}

// Key events as the server delivered them to the monitor's window, read on
// a connection of the benchmark's own that selects them too.
struct Delivered {
    KeyCode code;
    bool press;
    Time time;
};

std::vector<Delivered> take_delivered(Display* observer) {
    std::vector<Delivered> events;
    XSync(observer, False);
    while (XPending(observer)) {
        XEvent event;
        XNextEvent(observer, &event);
        if (event.type == KeyPress || event.type == KeyRelease) {
            events.push_back({static_cast<KeyCode>(event.xkey.keycode), event.type == KeyPress, event.xkey.time});
        }
    }
    return events;
}

// The SDL2-based runtime takes a release for an auto-repeat, and drops it
// and the press that follows, when a press of the same key less than 2 ms
// (server time) later is among the events it has not yet read. Counts, per
// keycode and direction, the events of such pairs, as if every later event
// had been read at once: an upper bound of what that rule can drop.
std::map<std::pair<KeyCode, bool>, std::size_t> repeat_pairs(const std::vector<Delivered>& events) {
    std::map<std::pair<KeyCode, bool>, std::size_t> pairs;
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i].press) continue;
        for (std::size_t j = i + 1; j < events.size() && events[j].time - events[i].time < 2; ++j) {
            if (events[j].press && events[j].code == events[i].code) {
                ++pairs[{events[i].code, false}];
                ++pairs[{events[i].code, true}];
                break;
            }
        }
    }
    return pairs;
}

struct BurstResult {
    bool ran = false;
    LineMatch match;
    std::size_t repeat_pair_losses = 0;  // lost events that were such pairs
};

BurstResult burst(XServer& server, const Build& build, SystemRuntime runtime, Pace pace, std::size_t events,
                  Display* observer) {
    BurstResult result;
    Running running;
    if (!start(server, build, runtime, running)) return result;
    XSelectInput(observer, running.window, KeyPressMask | KeyReleaseMask);
    take_delivered(observer);
    const std::vector<KeySym> keys = burst_keys(events / 2);
    const Typed typed = expected_lines(server.conn, keys);
    const std::size_t before = child_lines(*running.monitor);
    if (pace == Pace::paced) {
        send_burst(server.conn, keys);
    } else if (pace == Pace::unpaced) {
        send_strokes(server.conn, taps(keys), 16);
    } else {
        send_spaced_burst(server.conn, keys, 16);
    }
    // Lines still missing after a quiet second are taken as lost.
    const std::size_t wanted = before + typed.expected.size();
    for (std::size_t seen = before; seen < wanted && wait_lines(*running.monitor, seen + 1, milliseconds(1000));) {
        seen = child_lines(*running.monitor);
    }
    const std::vector<Delivered> delivered = take_delivered(observer);
    if (stop(server, running) != 0) return result;
    std::vector<std::string> got = split_lines(child_output(*running.monitor));
    got.erase(got.begin(), got.begin() + static_cast<long>(before));
    result.ran = true;
    result.match = match_lines(typed.expected, got);

    std::map<std::pair<KeyCode, bool>, long> lost;  // expected minus got, per line
    std::map<std::string, std::pair<KeyCode, bool>> key_of;
    for (std::size_t i = 0; i < typed.expected.size(); ++i) {
        key_of[typed.expected[i]] = {typed.codes[i], typed.presses[i]};
        ++lost[{typed.codes[i], typed.presses[i]}];
    }
    for (const std::string& line : got) {
        const auto at = key_of.find(line);
        if (at != key_of.end()) --lost[at->second];
    }
    const auto pairs = repeat_pairs(delivered);
    for (const auto& [key, count] : lost) {
        const auto at = pairs.find(key);
        if (count > 0 && at != pairs.end()) result.repeat_pair_losses += std::min<std::size_t>(std::size_t(count), at->second);
    }
    return result;
}

void measure_bursts(XServer& server, const std::vector<Build>& builds, int count, std::size_t events) {
    std::printf("\n## Bursts of %zu key events, %d of each kind\n\n"
                "Lost, extra and out-of-order lines are counted by content. \"Repeat pairs\": of the lost events,\n"
                "those that were a release, or the press of the same key less than 2 ms (server time) after it,\n"
                "which the SDL2-based runtime drops as an auto-repeat when both wait to be read.\n\n"
                "| build | runtime | typing | busy cores | bursts with loss | worst loss | lost in all | of them repeat pairs | extra | out of order |\n"
                "|---|---|---|---:|---:|---:|---:|---:|---:|---:|\n",
                events, count);
    Display* observer = XOpenDisplay(server.display.c_str());
    for (const Build& build : builds) {
        for (SystemRuntime runtime : {SystemRuntime::classic, SystemRuntime::compat}) {
            for (Pace pace : {Pace::paced, Pace::unpaced, Pace::spaced}) {
                for (int busy = 0; busy <= 2; ++busy) {
                    const std::vector<pid_t> spinners = busy_cores(busy);
                    int with_loss = 0, failed = 0;
                    std::size_t worst = 0, lost = 0, pairs = 0, extra = 0, out_of_order = 0;
                    for (int i = 0; i < count; ++i) {
                        const BurstResult r = burst(server, build, runtime, pace, events, observer);
                        if (!r.ran) {
                            ++failed;
                            continue;
                        }
                        with_loss += r.match.lost > 0;
                        worst = std::max(worst, r.match.lost);
                        lost += r.match.lost;
                        pairs += r.repeat_pair_losses;
                        extra += r.match.extra;
                        out_of_order += r.match.out_of_order;
                    }
                    stop_busy(spinners);
                    std::printf("| %s | %s | %s | %d | %d of %d | %zu | %zu | %zu | %zu | %zu |%s\n", build.label.c_str(),
                                runtime_name(runtime), pace_name(pace), busy, with_loss, count - failed, worst, lost,
                                pairs, extra, out_of_order, failed ? " (some runs failed)" : "");
                    std::fflush(stdout);
                }
            }
        }
    }
    XCloseDisplay(observer);
}

// ---- Latency ----------------------------------------------------------------

struct Spread {
    double p50 = 0, p99 = 0, worst = 0;  // milliseconds
};

Spread spread(std::vector<double> ms) {
    if (ms.empty()) return {};
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double q) { return ms[std::min(ms.size() - 1, std::size_t(q * double(ms.size())))]; };
    return {at(0.5), at(0.99), ms.back()};
}

// Types `keys` taps (press and release are two events), each event once the
// server has taken the one before. Apart: the next event waits for the line
// of the last and then 10 ms, so the monitor is idle when it comes. Returns
// the milliseconds from each event's XTEST request to its line, or nothing
// if a line is missing.
std::vector<double> latencies(XServer& server, const Build& build, SystemRuntime runtime, std::size_t keys, bool apart,
                              std::size_t& missing) {
    Running running;
    missing = 0;
    if (!start(server, build, runtime, running)) return {};
    Keyboard keyboard = x_keyboard(server.conn);
    // Every key once before the clock runs: a key's first event pays for
    // code and data keymon and SDL touch for the first time.
    const std::vector<KeySym> warm_up = burst_keys(burst_cycle.size());
    for (KeySym sym : warm_up) {
        const KeyCode code = XKeysymToKeycode(server.conn, sym);
        stroke(keyboard, code, true);
        stroke(keyboard, code, false);
    }
    const std::size_t before = 2 + 2 * warm_up.size();
    if (!wait_lines(*running.monitor, before, milliseconds(5000))) return {};
    const std::vector<KeySym> syms = burst_keys(keys);
    std::vector<Clock::time_point> sent;
    for (KeySym sym : syms) {
        const KeyCode code = XKeysymToKeycode(server.conn, sym);
        for (bool press : {true, false}) {
            // From just before the request leaves: the line can be read
            // before the reply to the XSync after it comes back.
            if (press) pace_press(keyboard, code);
            sent.push_back(Clock::now());
            stroke(keyboard, code, press);
            if (apart) {
                wait_lines(*running.monitor, before + sent.size(), milliseconds(1000));
                std::this_thread::sleep_for(milliseconds(10));  // the spacing of the keys, not a wait for them
            }
        }
    }
    wait_lines(*running.monitor, before + sent.size(), milliseconds(5000));
    const std::vector<Clock::time_point> came = child_line_times(*running.monitor);
    stop(server, running);
    if (came.size() < before + sent.size()) {
        missing = before + sent.size() - came.size();
        return {};
    }
    std::vector<double> ms;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        ms.push_back(std::chrono::duration<double, std::milli>(came[before + i] - sent[i]).count());
    }
    return ms;
}

void measure_latency(XServer& server, const std::vector<Build>& builds, std::size_t keys) {
    std::printf("\n## Latency: XTEST key event sent (then XSync) to its line read from the %s\n\n"
                "%zu keys (%zu events) each way, after one tap of every key; milliseconds.\n\n"
                "| build | runtime | typing | p50 | p99 | worst |\n|---|---|---|---:|---:|---:|\n",
                through_pipe ? "pipe" : "pseudo-terminal", keys, 2 * keys);
    for (bool apart : {true, false}) {
        for (SystemRuntime runtime : {SystemRuntime::classic, SystemRuntime::compat}) {
            for (const Build& build : builds) {
                std::size_t missing = 0;
                const std::vector<double> ms = latencies(server, build, runtime, keys, apart, missing);
                const char* typing = apart ? "one at a time, idle between" : "back to back";
                if (ms.empty()) {
                    std::printf("| %s | %s | %s | %zu lines missing | | |\n", build.label.c_str(), runtime_name(runtime),
                                typing, missing);
                } else {
                    const Spread s = spread(ms);
                    std::printf("| %s | %s | %s | %.2f | %.2f | %.2f |\n", build.label.c_str(), runtime_name(runtime),
                                typing, s.p50, s.p99, s.worst);
                }
                std::fflush(stdout);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    int idle_seconds = 0, bursts = 0;
    std::size_t events = 10000, latency_keys = 0;
    const option options[] = {{"idle", required_argument, nullptr, 'i'},
                              {"bursts", required_argument, nullptr, 'b'},
                              {"events", required_argument, nullptr, 'e'},
                              {"latency", required_argument, nullptr, 'l'},
                              {"pipe", no_argument, nullptr, 'p'},
                              {nullptr, 0, nullptr, 0}};
    for (int opt; (opt = getopt_long(argc, argv, "i:b:e:l:p", options, nullptr)) != -1;) {
        switch (opt) {
        case 'i': idle_seconds = std::atoi(optarg); break;
        case 'b': bursts = std::atoi(optarg); break;
        case 'e': events = std::strtoul(optarg, nullptr, 10); break;
        case 'l': latency_keys = std::strtoul(optarg, nullptr, 10); break;
        case 'p': through_pipe = true; break;
        default: return 2;
        }
    }
    std::vector<Build> builds;
    for (int i = optind; i < argc; ++i) {
        const std::string arg = argv[i];
        const std::size_t equals = arg.find('=');
        builds.push_back(equals == std::string::npos ? Build{arg, arg} : Build{arg.substr(0, equals), arg.substr(equals + 1)});
    }
    if (builds.empty()) {
        std::fprintf(stderr,
                     "usage: %s [--idle SECONDS] [--bursts N] [--events N] [--latency KEYS] [--pipe] LABEL=KEYMON ...\n",
                     argv[0]);
        return 2;
    }
    XServer server;
    const std::string error = start_xserver(server);
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    if (idle_seconds > 0) measure_idle(server, builds, idle_seconds);
    if (bursts > 0) measure_bursts(server, builds, bursts, events);
    if (latency_keys > 0) measure_latency(server, builds, latency_keys);
    stop_xserver(server);
    return take_x_errors().empty() ? 0 : 1;
}
