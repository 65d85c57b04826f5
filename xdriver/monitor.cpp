// The monitor process: its environment, its output, its end.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "children.h"
#include "monitor.h"
#include "xdriver_internal.h"

extern char** environ;

std::string find_program(const std::string& name) {
    const char* path = std::getenv("PATH");
    const std::string dirs = path ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= dirs.size();) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string candidate = (end > start ? dirs.substr(start, end - start) : ".") + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

std::string errno_text(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

Runtime runtime_from_env() {
    const char* name = std::getenv("KEYMON_RUNTIME");
    return name && std::strcmp(name, "compat") == 0 ? Runtime::compat : Runtime::classic;
}

const char* runtime_name(Runtime runtime) { return runtime == Runtime::compat ? "compat" : "classic"; }

std::string runtime_libdir(Runtime runtime) {
    if (runtime == Runtime::classic) return "";
    const char* dir = std::getenv("KEYMON_COMPAT_LIBDIR");
    return dir ? dir : KEYMON_COMPAT_LIBDIR;
}

std::string runtime_missing(Runtime runtime) {
    if (runtime == Runtime::classic) return "";
    const std::string library = runtime_libdir(runtime) + "/libSDL-1.2.so.0";
    std::error_code unreadable;  // counts as missing; never throws
    if (std::filesystem::exists(library, unreadable)) return "";
    return "the SDL2-based SDL 1.2 runtime is not installed (no " + library +
           "; Debian package libsdl1.2-compat)";
}

namespace {

void read_streams(Monitor* monitor) {
    int fds[2] = {monitor->out_fd, monitor->err_fd};
    std::string* sinks[2] = {&monitor->out, &monitor->err};
    char buffer[65536];
    while (fds[0] >= 0 || fds[1] >= 0) {
        pollfd pfds[3] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}, {monitor->stop_fds[0], POLLIN, 0}};
        if (poll(pfds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (pfds[2].revents) break;  // told to stop: what is read is all there is
        for (int i = 0; i < 2; ++i) {
            if (fds[i] < 0 || pfds[i].revents == 0) continue;
            const ssize_t got = read(fds[i], buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {  // end of stream; a pty master reports EIO instead
                close(fds[i]);
                fds[i] = -1;
                continue;
            }
            const auto now = Clock::now();
            const std::size_t lines = i == 0 ? count_lines(std::string(buffer, static_cast<std::size_t>(got))) : 0;
            std::lock_guard<std::mutex> hold(monitor->lock);
            sinks[i]->append(buffer, static_cast<std::size_t>(got));
            monitor->out_lines += lines;
            monitor->line_times.insert(monitor->line_times.end(), lines, now);
            monitor->changed.notify_all();
        }
    }
    for (int fd : fds) {
        if (fd >= 0) close(fd);
    }
    std::lock_guard<std::mutex> hold(monitor->lock);
    monitor->ended = true;
    monitor->changed.notify_all();
}

// Once the process has ended, its output ends as soon as whatever it left
// behind has gone; a descendant that left its process group and kept the
// stream open is not waited for longer than this.
constexpr milliseconds output_after_end(1000);

void stop_reader(Monitor& monitor) {
    if (!monitor.reader.joinable()) return;
    {
        std::unique_lock<std::mutex> hold(monitor.lock);
        monitor.changed.wait_for(hold, output_after_end, [&] { return monitor.ended; });
    }
    const char stop = 1;
    if (write(monitor.stop_fds[1], &stop, 1) < 0) {
        // a full pipe has a byte in it already
    }
    monitor.reader.join();
    close(monitor.stop_fds[0]);
    close(monitor.stop_fds[1]);
    monitor.stop_fds[0] = monitor.stop_fds[1] = -1;
}

std::vector<std::string> child_environment(const LaunchOptions& options) {
    std::vector<std::string> env;
    // The display, the runtime and SDL's video driver are the driver's to
    // give, not the desktop's it runs on; so is whatever `extra_env` sets.
    std::vector<std::string> owned = {"DISPLAY=", "LD_LIBRARY_PATH=", "WAYLAND_DISPLAY=", "SDL_VIDEODRIVER="};
    for (const std::string& extra : options.extra_env) owned.push_back(extra.substr(0, extra.find('=') + 1));
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        if (std::any_of(owned.begin(), owned.end(), [&](const std::string& name) { return text.rfind(name, 0) == 0; })) continue;
        env.push_back(text);
    }
    if (!options.display.empty()) env.push_back("DISPLAY=" + options.display);
    const std::string libdir = runtime_libdir(options.runtime);
    if (!libdir.empty()) env.push_back("LD_LIBRARY_PATH=" + libdir);
    for (const std::string& extra : options.extra_env) env.push_back(extra);
    return env;
}

}  // namespace

std::string launch_monitor(Monitor& monitor, const std::string& binary, const LaunchOptions& options) {
    int out_read = -1, out_write = -1, err_pipe[2];
    if (options.output == Output::pty) {
        termios raw{};
        cfmakeraw(&raw);  // no newline translation: the bytes arrive as written
        if (openpty(&out_read, &out_write, nullptr, &raw, nullptr) != 0) return errno_text("openpty");
        fcntl(out_read, F_SETFD, FD_CLOEXEC);
        fcntl(out_write, F_SETFD, FD_CLOEXEC);
    } else if (options.output == Output::file) {
        out_write = open(options.output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out_write < 0) return errno_text(options.output_file.c_str());
    } else if (options.output == Output::pipe) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return errno_text("pipe2");
        out_read = fds[0];
        out_write = fds[1];
    }
    if (options.errors_on_terminal) {
        termios raw{};
        cfmakeraw(&raw);
        if (openpty(&err_pipe[0], &err_pipe[1], nullptr, &raw, nullptr) != 0) return errno_text("openpty");
        fcntl(err_pipe[0], F_SETFD, FD_CLOEXEC);
        fcntl(err_pipe[1], F_SETFD, FD_CLOEXEC);
    } else if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        return errno_text("pipe2");
    }
    if (pipe2(monitor.stop_fds, O_CLOEXEC) != 0) return errno_text("pipe2");

    std::vector<std::string> env = child_environment(options);
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    // Built before fork: the child of a threaded process may not allocate.
    std::vector<char*> argv = {const_cast<char*>(binary.c_str())};
    for (const std::string& arg : options.args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    const pid_t pid = fork_child();
    if (pid < 0) return errno_text("fork");
    if (pid == 0) {
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        if (out_write >= 0) dup2(out_write, 1);
        dup2(err_pipe[1], 2);
        if (options.output == Output::closed) close(1);
        if (options.closed_stdin) close(0);
        execve(binary.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    if (out_write >= 0) close(out_write);
    close(err_pipe[1]);
    monitor.pid = pid;
    monitor.out_fd = out_read;
    monitor.err_fd = err_pipe[0];
    monitor.reader = std::thread(read_streams, &monitor);
    return "";
}

Monitor::~Monitor() {
    if (pid > 0) end_child(pid, SIGTERM, milliseconds(5000));  // keymon-compare stops its server and keymon on it
    pid = -1;
    stop_reader(*this);
}

bool monitor_exited(Monitor& monitor, milliseconds limit) {
    return monitor.pid > 0 && process_ended(monitor.pid, Clock::now() + limit);
}

int wait_monitor(Monitor& monitor, milliseconds limit) {
    if (monitor.pid <= 0) return -1;
    const bool in_time = monitor_exited(monitor, limit);
    if (!in_time) kill(monitor.pid, SIGKILL);
    const int status = reap_child(monitor.pid);
    monitor.pid = -1;
    stop_reader(monitor);
    if (!in_time || status < 0 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

bool wait_output(Monitor& monitor, const std::function<bool(const std::string&)>& done,
                 milliseconds limit) {
    std::unique_lock<std::mutex> hold(monitor.lock);
    return monitor.changed.wait_for(hold, limit, [&] { return done(monitor.out) || monitor.ended; }) &&
           done(monitor.out);
}

bool wait_lines(Monitor& monitor, std::size_t lines, milliseconds limit) {
    std::unique_lock<std::mutex> hold(monitor.lock);
    return monitor.changed.wait_for(hold, limit, [&] { return monitor.out_lines >= lines || monitor.ended; }) &&
           monitor.out_lines >= lines;
}

std::size_t monitor_lines(Monitor& monitor) {
    std::lock_guard<std::mutex> hold(monitor.lock);
    return monitor.out_lines;
}

std::vector<Clock::time_point> monitor_line_times(Monitor& monitor) {
    std::lock_guard<std::mutex> hold(monitor.lock);
    return monitor.line_times;
}

std::string monitor_output(Monitor& monitor) {
    std::lock_guard<std::mutex> hold(monitor.lock);
    return monitor.out;
}

std::string monitor_errors(Monitor& monitor) {
    std::lock_guard<std::mutex> hold(monitor.lock);
    return monitor.err;
}

std::string mapped_sdl_library(pid_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::string line;
    while (std::getline(maps, line)) {
        const std::size_t at = line.find('/');
        if (at != std::string::npos && line.find("libSDL-1.2.so", at) != std::string::npos) {
            return line.substr(at);
        }
    }
    return "";
}

std::size_t count_lines(const std::string& text) {
    std::size_t lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
}
