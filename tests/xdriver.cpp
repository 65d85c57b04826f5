#include "xdriver.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <fstream>

extern char** environ;

namespace {

int ms_left(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until `fd` is readable or the deadline passes.
bool readable(int fd, Clock::time_point deadline) {
    for (;;) {
        pollfd pfd{fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, ms_left(deadline));
        if (ready > 0) return true;
        if (ready == 0 || errno != EINTR) return false;
    }
}

int pidfd_of(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

std::string errno_text(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

namespace {

// Windows of monitors that have just ended may vanish between a query and
// the next request; such errors are expected and must not end the test.
int ignore_x_error(Display*, XErrorEvent*) { return 0; }

}  // namespace

std::string start_xserver(XServer& server, milliseconds limit) {
    XSetErrorHandler(ignore_x_error);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return errno_text("pipe2");
    const pid_t pid = fork();
    if (pid < 0) return errno_text("fork");
    if (pid == 0) {
        dup2(fds[1], 3);  // dup2 leaves the new descriptor inheritable
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", "640x480x24", "-nolisten", "tcp",
               "-noreset", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    server.pid = pid;
    const auto deadline = Clock::now() + limit;
    std::string number;
    char c = 0;
    while (readable(fds[0], deadline) && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (number.empty()) {
        stop_xserver(server);
        return "Xvfb did not report a display (is it installed?)";
    }
    server.display = ":" + number;
    server.conn = XOpenDisplay(server.display.c_str());
    if (!server.conn) {
        stop_xserver(server);
        return "cannot connect to Xvfb at " + server.display;
    }
    int event_base, error_base, major, minor;
    if (!XTestQueryExtension(server.conn, &event_base, &error_base, &major, &minor)) {
        stop_xserver(server);
        return "Xvfb has no XTEST extension";
    }
    return "";
}

void stop_xserver(XServer& server) {
    if (server.conn) XCloseDisplay(server.conn);
    server.conn = nullptr;
    if (server.pid > 0) {
        kill(server.pid, SIGTERM);
        waitpid(server.pid, nullptr, 0);
    }
    server.pid = -1;
}

Runtime runtime_from_env() {
    const char* name = std::getenv("KEYMON_RUNTIME");
    return name && std::strcmp(name, "compat") == 0 ? Runtime::compat : Runtime::classic;
}

const char* runtime_name(Runtime runtime) { return runtime == Runtime::compat ? "compat" : "classic"; }

std::string runtime_libdir(Runtime runtime) {
    if (runtime == Runtime::classic) return "";
    const char* dir = std::getenv("KEYMON_COMPAT_LIBDIR");
    return dir ? dir : "/usr/lib/x86_64-linux-gnu/sdl12-compat";
}

namespace {

void read_streams(Monitor* monitor) {
    int fds[2] = {monitor->out_fd, monitor->err_fd};
    std::string* sinks[2] = {&monitor->out, &monitor->err};
    char buffer[65536];
    while (fds[0] >= 0 || fds[1] >= 0) {
        pollfd pfds[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
        if (poll(pfds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i] < 0 || pfds[i].revents == 0) continue;
            const ssize_t got = read(fds[i], buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {  // end of stream; a pty master reports EIO instead
                close(fds[i]);
                fds[i] = -1;
                continue;
            }
            const std::size_t lines = i == 0 ? count_lines(std::string(buffer, static_cast<std::size_t>(got))) : 0;
            std::lock_guard<std::mutex> hold(monitor->lock);
            sinks[i]->append(buffer, static_cast<std::size_t>(got));
            monitor->out_lines += lines;
            monitor->changed.notify_all();
        }
    }
    std::lock_guard<std::mutex> hold(monitor->lock);
    monitor->ended = true;
    monitor->changed.notify_all();
}

std::vector<std::string> child_environment(const LaunchOptions& options) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        if (text.rfind("DISPLAY=", 0) == 0 || text.rfind("LD_LIBRARY_PATH=", 0) == 0) continue;
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
    } else {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return errno_text("pipe2");
        out_read = fds[0];
        out_write = fds[1];
    }
    if (pipe2(err_pipe, O_CLOEXEC) != 0) return errno_text("pipe2");

    std::vector<std::string> env = child_environment(options);
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0) return errno_text("fork");
    if (pid == 0) {
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(out_write, 1);
        dup2(err_pipe[1], 2);
        char* argv[] = {const_cast<char*>(binary.c_str()), nullptr};
        execve(binary.c_str(), argv, envp.data());
        _exit(127);
    }
    close(out_write);
    close(err_pipe[1]);
    monitor.pid = pid;
    monitor.out_fd = out_read;
    monitor.err_fd = err_pipe[0];
    monitor.reader = std::thread(read_streams, &monitor);
    return "";
}

bool monitor_exited(Monitor& monitor, milliseconds limit) {
    if (monitor.pid <= 0) return false;
    const int pidfd = pidfd_of(monitor.pid);
    const bool exited = pidfd >= 0 && readable(pidfd, Clock::now() + limit);
    if (pidfd >= 0) close(pidfd);
    return exited;
}

int wait_monitor(Monitor& monitor, milliseconds limit) {
    if (monitor.pid <= 0) return -1;
    const bool in_time = monitor_exited(monitor, limit);
    if (!in_time) kill(monitor.pid, SIGKILL);
    int status = 0;
    waitpid(monitor.pid, &status, 0);
    monitor.pid = -1;
    if (monitor.reader.joinable()) monitor.reader.join();
    if (!in_time || !WIFEXITED(status)) return -1;
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

std::string monitor_output(Monitor& monitor) {
    std::lock_guard<std::mutex> hold(monitor.lock);
    return monitor.out;
}

std::string monitor_errors(Monitor& monitor) {
    std::lock_guard<std::mutex> hold(monitor.lock);
    return monitor.err;
}

bool wait_idle(pid_t pid, milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    const std::string path = "/proc/" + std::to_string(pid) + "/syscall";
    for (;;) {
        std::ifstream file(path);
        long number = -1;
        std::string fds, nfds, timeout;
        file >> number >> fds >> nfds >> timeout;
        if (number == SYS_poll && nfds == "0x1" && timeout == "0x64") return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(milliseconds(1));
    }
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

namespace {

bool window_has_pid(Display* conn, Window window, pid_t pid) {
    const Atom net_wm_pid = XInternAtom(conn, "_NET_WM_PID", False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    bool match = false;
    if (XGetWindowProperty(conn, window, net_wm_pid, 0, 1, False, XA_CARDINAL, &type, &format,
                           &count, &after, &data) == Success &&
        data && count == 1 && format == 32) {
        match = static_cast<pid_t>(*reinterpret_cast<unsigned long*>(data)) == pid;
    }
    if (data) XFree(data);
    return match;
}

bool viewable(Display* conn, Window window) {
    XWindowAttributes attributes;
    return XGetWindowAttributes(conn, window, &attributes) && attributes.map_state == IsViewable;
}

Window find_window(Display* conn, pid_t pid) {
    Window root, parent, *children = nullptr;
    unsigned int count = 0;
    Window found = None;
    if (XQueryTree(conn, DefaultRootWindow(conn), &root, &parent, &children, &count)) {
        for (unsigned int i = 0; i < count && found == None; ++i) {
            if (window_has_pid(conn, children[i], pid) && viewable(conn, children[i])) found = children[i];
        }
    }
    if (children) XFree(children);
    return found;
}

}  // namespace

Window find_and_focus_window(Display* conn, pid_t pid, milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    // No window manager runs, so nothing announces the window: look again
    // every few milliseconds until it is mapped or the bound has passed.
    for (;;) {
        const Window window = find_window(conn, pid);
        if (window != None) {
            XSetInputFocus(conn, window, RevertToPointerRoot, CurrentTime);
            XSync(conn, False);
            Window focus;
            int revert;
            XGetInputFocus(conn, &focus, &revert);
            if (focus == window) return window;
        }
        if (Clock::now() >= deadline) return None;
        std::this_thread::sleep_for(milliseconds(5));
    }
}

std::vector<Stroke> taps(const std::vector<KeySym>& keys) {
    std::vector<Stroke> strokes;
    strokes.reserve(keys.size() * 2);
    for (KeySym sym : keys) strokes.push_back({sym, true}), strokes.push_back({sym, false});
    return strokes;
}

void send_strokes(Display* conn, const std::vector<Stroke>& strokes, std::size_t per_round_trip) {
    const KeyCode shift = XKeysymToKeycode(conn, XK_Shift_L);
    std::size_t sent = 0;
    for (const Stroke& stroke : strokes) {
        const KeyCode code = XKeysymToKeycode(conn, stroke.sym);
        const bool shifted = code != 0 && XkbKeycodeToKeysym(conn, code, 0, 0) != stroke.sym &&
                             XkbKeycodeToKeysym(conn, code, 0, 1) == stroke.sym;
        if (shifted && stroke.press) XTestFakeKeyEvent(conn, shift, True, CurrentTime);
        XTestFakeKeyEvent(conn, code, stroke.press ? True : False, CurrentTime);
        if (shifted && !stroke.press) XTestFakeKeyEvent(conn, shift, False, CurrentTime);
        if (per_round_trip && ++sent % per_round_trip == 0) XSync(conn, False);
    }
    XSync(conn, False);
}

namespace {

// Xlib keeps its own copy of the keymap; take in the server's notice of a
// change so that later look-ups see the new binding.
void refresh_keymap(Display* conn) {
    XSync(conn, False);
    while (XPending(conn)) {
        XEvent event;
        XNextEvent(conn, &event);
        if (event.type == MappingNotify) XRefreshKeyboardMapping(&event.xmapping);
    }
}

}  // namespace

std::vector<KeySym> keycode_symbols(Display* conn, KeyCode code) {
    int per_code = 0;
    KeySym* map = XGetKeyboardMapping(conn, code, 1, &per_code);
    std::vector<KeySym> syms(map, map + per_code);
    XFree(map);
    while (!syms.empty() && syms.back() == NoSymbol) syms.pop_back();
    return syms;
}

void bind_keycode(Display* conn, KeyCode code, std::vector<KeySym> syms) {
    if (syms.empty()) syms.push_back(NoSymbol);
    XChangeKeyboardMapping(conn, code, static_cast<int>(syms.size()), syms.data(), 1);
    refresh_keymap(conn);
}

std::vector<KeySym> burst_keys(std::size_t count) {
    std::vector<KeySym> keys;
    keys.reserve(count);
    for (std::size_t i = 0; i < count; ++i) keys.push_back(static_cast<KeySym>(burst_cycle[i % burst_cycle.size()]));
    return keys;
}

void send_burst(Display* conn, const std::vector<KeySym>& keys,
                const std::function<void(std::size_t)>& before_each) {
    // When each key was last released, as seen after the server's answer.
    std::vector<Clock::time_point> released(256, Clock::time_point{});
    std::size_t sent = 0;
    for (KeySym sym : keys) {
        const KeyCode code = XKeysymToKeycode(conn, sym);
        if (before_each) before_each(sent);
        sent += 2;
        std::this_thread::sleep_until(released[code] + milliseconds(3));
        XTestFakeKeyEvent(conn, code, True, CurrentTime);
        XSync(conn, False);
        XTestFakeKeyEvent(conn, code, False, CurrentTime);
        XSync(conn, False);
        released[code] = Clock::now();
    }
}

KeyCode bind_spare_keycode(Display* conn, KeySym sym) {
    int low, high;
    XDisplayKeycodes(conn, &low, &high);
    for (int code = high; code >= low; --code) {
        if (keycode_symbols(conn, static_cast<KeyCode>(code)).empty()) {
            bind_keycode(conn, static_cast<KeyCode>(code), {sym, sym});
            return static_cast<KeyCode>(code);
        }
    }
    return 0;
}

void request_close(Display* conn, Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(conn, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(conn, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(conn, window, False, NoEventMask, &event);
    XSync(conn, False);
}

std::size_t count_lines(const std::string& text) {
    std::size_t lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
}
