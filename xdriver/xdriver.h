// Drives the real keymon binary in a private X server with XTEST key events.
// Shared by the end-to-end tests, the monitor benchmark and keymon-compare.
// Every wait here is bounded; none is a fixed sleep.
#pragma once

#include <X11/Xlib.h>
#include <sys/types.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// ---- X server -------------------------------------------------------------

// Xvfb is light and enough for the US layout it starts with. Xorg with the
// dummy video driver is what a desktop runs: only there does an XKB layout
// loaded with setxkbmap reach the keyboard (Xvfb accepts it and keeps "us").
enum class ServerKind { xvfb, xorg };

struct XServer {
    pid_t pid = -1;
    std::string display;  // ":N"
    Display* conn = nullptr;
    std::string dir;      // Xorg's configuration and log; removed on stop
};

// Starts the server on a free display (-displayfd) and connects to it,
// waiting at most `limit`. Returns an empty text on success, else what went
// wrong (the server is then stopped). Installs the X error handler below.
std::string start_xserver(XServer& server, ServerKind kind = ServerKind::xvfb,
                          milliseconds limit = milliseconds(15000));
void stop_xserver(XServer& server);
// Loads the XKB layout as a desktop's keyboard settings do (setxkbmap) and
// checks that the server took it. Returns "" or what went wrong.
std::string set_layout(XServer& server, const std::string& layout);
// The layout the server's keymap was last built from (_XKB_RULES_NAMES).
std::string current_layout(Display* conn);

// X errors from a window that has gone away (a monitor that just ended) are
// expected and dropped; every other error is kept here until taken, and
// printed on standard error as it comes.
std::vector<std::string> take_x_errors();

// ---- The monitor process ----------------------------------------------------

// Sends `signal` to the child `pid`, waits at most `limit` for it to end,
// kills it if it has not, and reaps it.
void end_process(pid_t pid, int signal, milliseconds limit);

// Which SDL 1.2 library the monitor runs on: the classic one it was built
// against, or the SDL2-based one picked by LD_LIBRARY_PATH.
enum class Runtime { classic, compat };
Runtime runtime_from_env();  // KEYMON_RUNTIME=classic|compat (default classic)
const char* runtime_name(Runtime runtime);
// Where the SDL2-based runtime's libSDL-1.2 lives ("" for classic):
// Debian's directory, or KEYMON_COMPAT_LIBDIR.
std::string runtime_libdir(Runtime runtime);
// "" when the runtime's library is there, else what is missing.
std::string runtime_missing(Runtime runtime);

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

    // A process still running here (its test stopped part-way) is asked to
    // end, then killed, and reaped; the reader is joined. One failing test
    // then neither aborts the whole run nor leaves a child behind.
    ~Monitor();
};

struct LaunchOptions {
    std::string display;  // "" leaves DISPLAY unset
    Runtime runtime = Runtime::classic;
    Output output = Output::pty;
    std::vector<std::string> extra_env;  // "NAME=value"
    std::vector<std::string> args;  // after the program's name
};

// Starts `binary` with the given environment and arguments; a thread
// collects its output. Also runs keymon-compare for its tests.
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
// The shared library file the process has mapped for SDL 1.2, "" if none.
std::string mapped_sdl_library(pid_t pid);

// ---- The monitor's window ---------------------------------------------------

// Waits at most `limit` for the monitor's window to be ready for keys: a
// viewable top-level window whose _NET_WM_PID is `pid` and whose title is
// keymon's (set as the last step of its start-up). Gives it the keyboard
// focus and returns it; None if that did not happen in time.
Window find_and_focus_window(Display* conn, pid_t pid, milliseconds limit = milliseconds(15000));
// Sends WM_DELETE_WINDOW as a window manager does when a window is closed.
// True when the server took the message without an error.
bool request_close(Display* conn, Window window);
// Every top-level window whose _NET_WM_PID is `pid`.
std::vector<Window> windows_of(Display* conn, pid_t pid);

// ---- Keys -------------------------------------------------------------------

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

// The SDL2-based runtime drops a release when a press of the same key less
// than 2 ms later is already queued, taking the two for an auto-repeat.
// Typing through a KeyPacing presses a key again no sooner than 3 ms after
// its release, and waits for the server after each stroke.
struct KeyPacing {
    std::array<Clock::time_point, 256> released{};
};
void paced_stroke(Display* conn, KeyPacing& pacing, KeyCode code, bool press);

// A burst types these keys in turn; no two neighbours are the same key.
inline const std::string burst_cycle = "abcdefghijklmnopqrstuvwxyz0123456789";
std::vector<KeySym> burst_keys(std::size_t count);
// Types `keys` (unshifted) as fast as the server takes them, paced as
// above. `before_each`, if given, is called with the count of events sent
// so far before each key, and may hold the typing back.
void send_burst(Display* conn, const std::vector<KeySym>& keys,
                const std::function<void(std::size_t)>& before_each = {});

// The symbols the keymap gives `code`, trailing NoSymbol entries dropped.
std::vector<KeySym> keycode_symbols(Display* conn, KeyCode code);
// Gives `code` these symbols (none: unbinds it), as a layout switch does.
void bind_keycode(Display* conn, KeyCode code, std::vector<KeySym> syms);
// Binds `sym` to a keycode that has no symbols; returns it, or 0.
KeyCode bind_spare_keycode(Display* conn, KeySym sym);

// Puts a keycode's symbols back as they were when it was made, however the
// scope is left, so a failed test never leaves a changed keymap behind.
struct KeymapRestore {
    Display* conn;
    KeyCode code;
    std::vector<KeySym> saved;
    KeymapRestore(Display* c, KeyCode k) : conn(c), code(k), saved(keycode_symbols(c, k)) {}
    KeymapRestore(Display* c, KeyCode k, std::vector<KeySym> s) : conn(c), code(k), saved(std::move(s)) {}
    KeymapRestore(const KeymapRestore&) = delete;
    KeymapRestore& operator=(const KeymapRestore&) = delete;
    ~KeymapRestore() {
        if (code != 0) bind_keycode(conn, code, saved);
    }
};

// One key as a person names it: X keysym names joined by '+', the last the
// key, the others modifiers held around it ("a", "shift+a",
// "ISO_Level3_Shift+e"). "shift", "ctrl", "control", "alt", "altgr",
// "super" and "meta" name the left-hand modifiers (altgr: ISO_Level3_Shift).
struct KeySpec {
    std::string text;
    std::vector<KeySym> modifiers;
    KeySym sym = 0;
};
// Returns "" and fills `spec`, or names the part that is not a keysym.
std::string parse_key_spec(const std::string& text, KeySpec& spec);

// How a key was typed.
struct TypedKey {
    KeyCode code = 0;
    bool spare = false;  // the layout has no such key: bound for the moment
    std::vector<KeySym> added;  // modifiers its level needed (Shift, AltGr)
};
// Types one key: holds its modifiers, presses and releases it, lets the
// modifiers go. The key is looked up in the current keymap (group 1) at
// the level its symbol sits on, in the current Num Lock state, and the
// modifiers that level needs are added; Caps Lock is left to act. A symbol
// the keymap does not have is bound on a spare keycode, typed, and unbound
// once `after` has run (as a typing tool such as xdotool does). Returns ""
// or what went wrong.
std::string type_key(Display* conn, KeyPacing& pacing, const KeySpec& spec, TypedKey& typed,
                     const std::function<void()>& after = {});

// Counts the lines of `text`.
std::size_t count_lines(const std::string& text);
