// Idle processor use of keymon, and events lost in a burst of key events,
// on each SDL 1.2 runtime. Usage: keymon_bench KEYMON [IDLE_SECONDS [EVENTS]]
#include <X11/keysym.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "keyboard.h"
#include "monitor.h"
#include "xserver.h"

namespace {

// User plus system time of `pid`, in clock ticks.
long cpu_ticks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
    long utime = 0, stime = 0;
    fields >> utime >> stime;
    return utime + stime;
}

bool run(const char* binary, Runtime runtime, XServer& server, int idle_seconds, int events, std::size_t per_round_trip) {
    Monitor monitor;
    LaunchOptions options;
    options.display = server.display;
    options.runtime = runtime;
    if (!launch_monitor(monitor, binary, options).empty()) return false;
    if (find_and_focus_window(server.conn, monitor.pid) == None) {
        std::fprintf(stderr, "%s: no window\n", runtime_name(runtime));
        kill(monitor.pid, SIGKILL);
        wait_monitor(monitor);
        return false;
    }
    send_strokes(server.conn, taps({XK_F12}));  // the loop is running once its lines are out
    wait_lines(monitor, 2);

    const long ticks_before = cpu_ticks(monitor.pid);
    const auto idle_start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));
    const double idle_wall = std::chrono::duration<double>(Clock::now() - idle_start).count();
    const double idle_cpu = double(cpu_ticks(monitor.pid) - ticks_before) / double(sysconf(_SC_CLK_TCK));

    const std::vector<KeySym> keys = burst_keys(static_cast<std::size_t>(events / 2));
    const std::size_t before = monitor_lines(monitor);
    const auto burst_start = Clock::now();
    if (per_round_trip) {
        send_strokes(server.conn, taps(keys), per_round_trip);
    } else {
        send_burst(server.conn, keys);
    }
    const std::size_t wanted = before + keys.size() * 2;
    // Lines still missing after a quiet second are taken as lost.
    for (std::size_t seen = before; seen < wanted && wait_lines(monitor, seen + 1, milliseconds(1000));) {
        seen = monitor_lines(monitor);
    }
    const double burst_wall = std::chrono::duration<double>(Clock::now() - burst_start).count();
    send_strokes(server.conn, {{XK_Escape, true}});
    const int status = wait_monitor(monitor);
    send_strokes(server.conn, {{XK_Escape, false}});
    const std::size_t got = monitor_lines(monitor) - before;
    std::printf("%-8s idle CPU %5.2f%% of one core over %.1f s | burst %zu events: %zu lost (%.1f%%), %.2f s | exit %d\n",
                runtime_name(runtime), 100.0 * idle_cpu / idle_wall, idle_wall, keys.size() * 2,
                keys.size() * 2 - got, 100.0 * double(keys.size() * 2 - got) / double(keys.size() * 2),
                burst_wall, status);
    return status == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s KEYMON [IDLE_SECONDS [EVENTS]]\n", argv[0]);
        return 2;
    }
    const int idle_seconds = argc > 2 ? std::atoi(argv[2]) : 10;
    const int events = argc > 3 ? std::atoi(argv[3]) : 10000;
    const std::size_t per_round_trip = argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 0;
    XServer server;
    const std::string error = start_xserver(server);
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    bool ok = true;
    for (Runtime runtime : {Runtime::classic, Runtime::compat}) {
        ok = run(argv[1], runtime, server, idle_seconds, events, per_round_trip) && ok;
    }
    stop_xserver(server);
    return ok ? 0 : 1;
}
