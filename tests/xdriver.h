// Drives the real keymon binary in a private Xvfb with XTEST key events.
// Shared by the end-to-end tests and the monitor benchmark.
#pragma once

#include <X11/Xlib.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct XServer {
    pid_t pid = -1;
    std::string display;  // ":N"
    Display* conn = nullptr;
};

// Starts Xvfb on a free display (-displayfd) and connects to it, waiting at
// most `limit`. Returns an empty text on success, else what went wrong.
std::string start_xserver(XServer& server, milliseconds limit = milliseconds(15000));
void stop_xserver(XServer& server);

// Which SDL 1.2 library the monitor runs on: the classic one it was built
// against, or the SDL2-based one picked by LD_LIBRARY_PATH.
enum class Runtime { classic, compat };
Runtime runtime_from_env();  // KEYMON_RUNTIME=classic|compat (default classic)
const char* runtime_name(Runtime runtime);
std::string runtime_libdir(Runtime runtime);  // "" for classic

enum class Output { pty, pipe };

struct Monitor {
    pid_t pid = -1;
    int out_fd = -1;
    int err_fd = -1;
    std::thread reader;
    std::mutex lock;
    std::condition_variable changed;
    std::string out;  // guarded by lock
    std::string err;  // guarded by lock
    std::size_t out_lines = 0;  // newlines in out; guarded by lock
    bool ended = false;  // both streams closed; guarded by lock
};

struct LaunchOptions {
    std::string display;  // "" leaves DISPLAY unset
    Runtime runtime = Runtime::classic;
    Output output = Output::pty;
    std::vector<std::string> extra_env;  // "NAME=value"
};

// Starts `binary` with the given environment; a thread collects its output.
std::string launch_monitor(Monitor& monitor, const std::string& binary, const LaunchOptions& options);
// True once the process has ended (it is not reaped), false if it has not
// within `limit`.
bool monitor_exited(Monitor& monitor, milliseconds limit);
// Waits for the process to end; returns its exit status, or -1 on a signal
// or after `limit` (the process is then killed).
int wait_monitor(Monitor& monitor, milliseconds limit = milliseconds(15000));
// True once `done(out)` holds, false if it did not within `limit`.
bool wait_output(Monitor& monitor, const std::function<bool(const std::string&)>& done,
                 milliseconds limit = milliseconds(15000));
// True once the output holds at least `lines` lines, false if it did not
// within `limit`. Cheap enough to wait on while thousands of lines arrive.
bool wait_lines(Monitor& monitor, std::size_t lines, milliseconds limit = milliseconds(15000));
std::size_t monitor_lines(Monitor& monitor);
std::string monitor_output(Monitor& monitor);
std::string monitor_errors(Monitor& monitor);
// True once the process's main thread is blocked in the monitor loop's
// bounded wait for the display (poll on one descriptor for 100 ms), that is,
// start-up is over and the event queue is empty; false after `limit`.
bool wait_idle(pid_t pid, milliseconds limit = milliseconds(15000));
// The shared library file the process has mapped for SDL 1.2, "" if none.
std::string mapped_sdl_library(pid_t pid);

// The viewable top-level window whose _NET_WM_PID is `pid`, waiting at most
// `limit`; None if it did not appear. It is then given the keyboard focus.
Window find_and_focus_window(Display* conn, pid_t pid, milliseconds limit = milliseconds(15000));

struct Stroke {
    KeySym sym;
    bool press;
};
// Press and release of each key, with Shift held around upper-case letters
// and other shifted symbols as the keymap has them.
std::vector<Stroke> taps(const std::vector<KeySym>& keys);
// Sends the strokes through XTEST as fast as the server takes them; with
// `per_round_trip` set, waits for the server after each that many strokes.
void send_strokes(Display* conn, const std::vector<Stroke>& strokes, std::size_t per_round_trip = 0);
// A burst types these keys in turn; no two neighbours are the same key.
inline const std::string burst_cycle = "abcdefghijklmnopqrstuvwxyz0123456789";
std::vector<KeySym> burst_keys(std::size_t count);
// Types `keys` (unshifted) as fast as the server takes them, one round trip
// per event, except that a key is pressed again no sooner than 3 ms after
// its release: the SDL2-based runtime drops a release when a press of the
// same key less than 2 ms later is already queued, taking the two for an
// auto-repeat. `before_each`, if given, is called with the count of events
// sent so far before each key, and may hold the typing back.
void send_burst(Display* conn, const std::vector<KeySym>& keys,
                const std::function<void(std::size_t)>& before_each = {});
// The symbols the keymap gives `code`, trailing NoSymbol entries dropped.
std::vector<KeySym> keycode_symbols(Display* conn, KeyCode code);
// Gives `code` these symbols (none: unbinds it), as a layout switch does.
void bind_keycode(Display* conn, KeyCode code, std::vector<KeySym> syms);
// Binds `sym` to a keycode that has no symbols; returns it, or 0.
KeyCode bind_spare_keycode(Display* conn, KeySym sym);
// Sends WM_DELETE_WINDOW as a window manager does when a window is closed.
void request_close(Display* conn, Window window);

// Counts the lines of `text`.
std::size_t count_lines(const std::string& text);
