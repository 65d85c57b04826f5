// The private X server, its keyboard layout, X errors, and the monitor's window.
#include <X11/Xatom.h>
#include <X11/Xproto.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "children.h"
#include "command.h"
#include "display_files.h"
#include "files.h"
#include "interface.h"
#include "xserver.h"
#include "xtest_keyboard.h"

namespace {

std::mutex x_errors_lock;
std::vector<std::string> x_errors;  // guarded by x_errors_lock
// Set while a request must reach a window that exists: its BadWindow is then
// a fault like any other.
bool window_must_exist = false;

int on_x_error(Display* conn, XErrorEvent* error) {
    // A monitor that has just ended takes its window with it; a query or a
    // focus change aimed at that window in the meantime is not a fault.
    // (XGetWindowAttributes asks for its geometry too: BadDrawable then.)
    if ((error->error_code == BadWindow || (error->error_code == BadDrawable && error->request_code == X_GetGeometry)) &&
        !window_must_exist) {
        return 0;
    }
    if (error->error_code == BadMatch && error->request_code == X_SetInputFocus) return 0;
    char text[160];
    XGetErrorText(conn, error->error_code, text, sizeof text);
    char line[320];
    std::snprintf(line, sizeof line, "X error: %s (request %u.%u, resource 0x%lx)", text,
                  error->request_code, error->minor_code, error->resourceid);
    std::fprintf(stderr, "xdriver: %s\n", line);
    std::lock_guard<std::mutex> hold(x_errors_lock);
    x_errors.emplace_back(line);
    return 0;
}

// Xorg with the dummy video driver and no input devices of its own: the
// XTEST keyboard is its only keyboard, so a layout loaded on the core
// keyboard is the one XTEST keys are read through.
constexpr const char* xorg_config = R"(Section "ServerFlags"
    Option "AutoAddDevices" "false"
    Option "AutoEnableDevices" "false"
EndSection
Section "Device"
    Identifier "dummy"
    Driver "dummy"
    VideoRam 16384
EndSection
Section "Screen"
    Identifier "screen"
    Device "dummy"
    SubSection "Display"
        Modes "800x600"
    EndSubSection
EndSection
)";

// The lines of Xorg's log that say why it stopped, if any.
std::string xorg_failure(const std::string& dir) {
    std::string log, found;
    if (dir.empty() || !read_file(dir + "/Xorg.log", log)) return found;
    for (std::size_t start = 0; start < log.size();) {
        std::size_t end = log.find('\n', start);
        if (end == std::string::npos) end = log.size();
        const std::string line = log.substr(start, end - start);
        if (line.rfind("(EE) ", 0) == 0 && line.size() > 6) found += (found.empty() ? "" : "; ") + line.substr(5);
        start = end + 1;
    }
    return found;
}

// Debian's /usr/bin/Xorg hands over to the setuid Xorg.wrap when
// xserver-xorg-legacy is installed, which lets only console users start a
// server, and then refuses a -config or -logfile path outside /etc/X11. The
// dummy video driver needs no privilege: run the server itself, as the
// calling user.
std::string xorg_binary() {
    const char* server = "/usr/lib/xorg/Xorg";
    return access(server, X_OK) == 0 ? server : find_program("Xorg");
}

}  // namespace

std::vector<std::string> take_x_errors() {
    std::lock_guard<std::mutex> hold(x_errors_lock);
    return std::exchange(x_errors, {});
}

std::string start_xserver(XServer& server, ServerKind kind, milliseconds limit) {
    XSetErrorHandler(on_x_error);
    // A server killed outright leaves its lock file and socket: they go too.
    set_leftover_sweep(remove_x_display_files);
    // Whatever fails from here on, the server is stopped and its folder removed.
    const auto failed = [&](const std::string& why) {
        stop_xserver(server);
        return why;
    };
    std::string config, log;
    if (kind == ServerKind::xorg) {
        if (std::string error = server.dir.make("keymon-xorg"); !error.empty()) return failed(error);
        config = server.dir.path() + "/xorg.conf";
        log = server.dir.path() + "/Xorg.log";
        if (std::string error = write_file(config, xorg_config); !error.empty()) return failed(error);
    }
    const std::string binary = kind == ServerKind::xorg ? xorg_binary() : find_program("Xvfb");
    if (binary.empty()) {
        return failed(kind == ServerKind::xorg ? "Xorg is not installed (Debian package xserver-xorg-core)"
                                               : "Xvfb is not installed (Debian package xvfb)");
    }
    Fd number_read, number_write;
    if (std::string error = make_pipe(number_read, number_write); !error.empty()) return failed(error);
    const pid_t pid = fork_child();
    if (pid < 0) return failed(errno_text("fork"));
    if (pid == 0) {
        dup2(number_write.get(), 3);  // dup2 leaves the new descriptor inheritable
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        // -dumbSched: the smart scheduler sets a timer around every batch
        // of requests it serves, two system calls each; a test server has
        // no clients to share out fairly.
        if (kind == ServerKind::xorg) {
            execl(binary.c_str(), "Xorg", "-displayfd", "3", "-config", config.c_str(), "-logfile", log.c_str(),
                   "-nolisten", "tcp", "-noreset", "-dumbSched", static_cast<char*>(nullptr));
        } else {
            execl(binary.c_str(), "Xvfb", "-displayfd", "3", "-screen", "0", "640x480x24", "-nolisten", "tcp",
                   "-noreset", "-dumbSched", static_cast<char*>(nullptr));
        }
        _exit(127);
    }
    number_write.reset();
    server.pid = pid;
    const auto deadline = Clock::now() + limit;
    std::string number;
    char c = 0;
    while (readable(number_read.get(), deadline) && read(number_read.get(), &c, 1) == 1 && c != '\n') number += c;
    number_read.reset();
    const char* name = kind == ServerKind::xorg ? "Xorg" : "Xvfb";
    if (number.empty()) {
        const std::string why = kind == ServerKind::xorg ? xorg_failure(server.dir.path()) : "";
        if (why.find("Failed to load module \"dummy\"") != std::string::npos) {
            return failed("Xorg's dummy video driver is not installed (Debian package xserver-xorg-video-dummy)");
        }
        return failed(std::string(name) + " did not start" + (why.empty() ? "" : " (" + why + ")"));
    }
    server.display = ":" + number;
    server.conn = XOpenDisplay(server.display.c_str());
    if (!server.conn) return failed(std::string("cannot connect to ") + name + " at " + server.display);
    int event_base, error_base, major, minor;
    if (!XTestQueryExtension(server.conn, &event_base, &error_base, &major, &minor)) {
        return failed(std::string(name) + " has no XTEST extension");
    }
    return "";
}

void stop_xserver(XServer& server) {
    if (server.conn) XCloseDisplay(server.conn);
    server.conn = nullptr;
    if (server.pid > 0) end_child(server.pid, SIGTERM, milliseconds(10000));
    server.pid = -1;
    server.dir.remove();
}

XServer::~XServer() { stop_xserver(*this); }

namespace {

// The fields of _XKB_RULES_NAMES: rules, model, layout, variant, options.
std::vector<std::string> rules_names(Display* conn) {
    const Atom names = XInternAtom(conn, "_XKB_RULES_NAMES", False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    std::vector<std::string> fields;
    if (XGetWindowProperty(conn, DefaultRootWindow(conn), names, 0, 1024, False, XA_STRING, &type, &format,
                           &count, &after, &data) == Success && data && format == 8) {
        // each field ended by a zero
        const char* field = reinterpret_cast<const char*>(data);
        const char* end = field + count;
        while (field < end) {
            fields.emplace_back(field, strnlen(field, static_cast<std::size_t>(end - field)));
            field += fields.back().size() + 1;
        }
    }
    if (data) XFree(data);
    fields.resize(5);
    return fields;
}

}  // namespace

std::vector<std::string> split_commas(const std::string& text) {
    std::vector<std::string> parts;
    for (std::size_t start = 0;;) {
        const std::size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) return parts;
        start = comma + 1;
    }
}

std::string current_layout(Display* conn) { return rules_names(conn)[2]; }

std::string layout_options(Display* conn) { return rules_names(conn)[4]; }

std::string read_display_keymap(const std::string& display, std::string& keymap) {
    PrivateDir dir;
    if (std::string error = dir.make("keymon-keymap"); !error.empty()) return error;
    const std::string file = dir.path() + "/keymap.xkb";
    std::string printed;
    const int status = run_command({"xkbcomp", "-w", "0", "-xkb", display, file}, printed, milliseconds(20000));
    if (!read_file(file, keymap)) keymap.clear();
    if (status == 127) return "xkbcomp is not installed (Debian package x11-xkb-utils)";
    if (status != 0 || keymap.empty()) return "xkbcomp cannot read the keymap of X display " + display;
    return "";
}

std::string load_keymap(XServer& server, const std::string& keymap) {
    if (server.dir.empty()) return "no folder of the server's to put the keymap in";
    const std::string file = server.dir.path() + "/keymap.xkb";
    if (std::string error = write_file(file, keymap); !error.empty()) return error;
    std::string printed;
    const int status = run_command({"xkbcomp", "-w", "0", file, server.display}, printed, milliseconds(20000));
    while (!printed.empty() && (printed.back() == '\n' || printed.back() == ' ')) printed.pop_back();
    if (status == 127) return "xkbcomp is not installed (Debian package x11-xkb-utils)";
    if (status != 0) return "the X server did not take the keymap" + (printed.empty() ? "" : " (xkbcomp: " + printed + ")");
    refresh_keymap(server.conn);
    return "";
}

std::string layout_with_variants(Display* conn) {
    const std::vector<std::string> names = rules_names(conn);
    if (names[2].empty()) return "";
    const std::vector<std::string> layouts = split_commas(names[2]);
    const std::vector<std::string> variants = split_commas(names[3]);
    std::string joined;
    for (std::size_t i = 0; i < layouts.size(); ++i) {
        if (i) joined += ',';
        joined += layouts[i];
        if (i < variants.size() && !variants[i].empty()) joined += "(" + variants[i] + ")";
    }
    return joined;
}

std::string set_layout(XServer& server, const std::string& layout, const std::vector<std::string>& options) {
    std::vector<std::string> argv = {"setxkbmap", "-display", server.display, "-rules", "evdev", "-model", "pc105", "-layout", layout,
                                     "-option", ""};  // "": the options so far go
    std::string joined;
    for (const std::string& option : options) {
        argv.insert(argv.end(), {"-option", option});
        joined += (joined.empty() ? "" : ",") + option;
    }
    std::string printed;
    const int status = run_command(argv, printed, milliseconds(20000));
    while (!printed.empty() && (printed.back() == '\n' || printed.back() == ' ')) printed.pop_back();
    if (status == 127) return "setxkbmap is not installed (Debian package x11-xkb-utils)";
    if (status != 0) {
        return "unknown XKB layout '" + layout + "'" + (printed.empty() ? "" : " (setxkbmap: " + printed + ")");
    }
    refresh_keymap(server.conn);
    const std::string now = current_layout(server.conn);
    if (now != layout) return "the X server kept layout '" + now + "' instead of '" + layout + "'";
    if (const std::string taken = layout_options(server.conn); taken != joined) {
        return "the X server took options '" + taken + "' instead of '" + joined + "'";
    }
    return "";
}

namespace {


// The title's bytes whatever its encoding: keymon's title is ASCII.
bool has_keymon_title(Display* conn, Window window) {
    XTextProperty name{};
    bool match = false;
    if (XGetWMName(conn, window, &name) && name.value && name.format == 8) {
        match = std::string(reinterpret_cast<const char*>(name.value), name.nitems) == keymon_window_title;
    }
    if (name.value) XFree(name.value);
    return match;
}

bool viewable(Display* conn, Window window) {
    XWindowAttributes attributes;
    return XGetWindowAttributes(conn, window, &attributes) && attributes.map_state == IsViewable;
}

Window find_ready_window(Display* conn, pid_t group) {
    for (Window window : windows_of(conn, group)) {
        if (viewable(conn, window) && has_keymon_title(conn, window)) return window;
    }
    return None;
}

}  // namespace

pid_t window_pid(Display* conn, Window window) {
    const Atom net_wm_pid = XInternAtom(conn, "_NET_WM_PID", False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    pid_t pid = -1;
    if (XGetWindowProperty(conn, window, net_wm_pid, 0, 1, False, XA_CARDINAL, &type, &format,
                           &count, &after, &data) == Success &&
        data && count == 1 && format == 32) {
        pid = static_cast<pid_t>(*reinterpret_cast<unsigned long*>(data));
    }
    if (data) XFree(data);
    return pid;
}

std::vector<Window> windows_of(Display* conn, pid_t group) {
    Window root, parent, *children = nullptr;
    unsigned int count = 0;
    std::vector<Window> found;
    if (XQueryTree(conn, DefaultRootWindow(conn), &root, &parent, &children, &count)) {
        for (unsigned int i = 0; i < count; ++i) {
            const pid_t pid = window_pid(conn, children[i]);
            if (pid > 0 && (pid == group || process_group_of(pid) == group)) found.push_back(children[i]);
        }
    }
    if (children) XFree(children);
    return found;
}

Window find_and_focus_window(Display* conn, pid_t group, milliseconds limit, const std::function<bool()>& gone) {
    const auto deadline = Clock::now() + limit;
    // No window manager runs, so nothing announces the window: look again
    // until it is ready or the bound has passed, at a step that grows to
    // 16 ms (a monitor loading its libraries takes a good part of a second
    // on a busy machine, and each look is a few round trips).
    milliseconds step{2};
    for (;;) {
        const Window window = find_ready_window(conn, group);
        if (window != None) {
            XSetInputFocus(conn, window, RevertToPointerRoot, CurrentTime);
            XSync(conn, False);
            Window focus;
            int revert;
            XGetInputFocus(conn, &focus, &revert);
            if (focus == window) return window;
        }
        if (Clock::now() >= deadline || (gone && gone())) return None;
        std::this_thread::sleep_for(step);
        step = std::min(step * 2, milliseconds(16));
    }
}

bool request_close(Display* conn, Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(conn, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(conn, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    const std::size_t errors_before = [] {
        std::lock_guard<std::mutex> hold(x_errors_lock);
        return x_errors.size();
    }();
    window_must_exist = true;
    const Status sent = XSendEvent(conn, window, False, NoEventMask, &event);
    XSync(conn, False);
    window_must_exist = false;
    std::lock_guard<std::mutex> hold(x_errors_lock);
    return sent != 0 && x_errors.size() == errors_before;
}
