// The private X server: Xvfb or Xorg, its keyboard layout, X errors, and
// the monitor's window in it. Every wait here is bounded; none is a fixed sleep.
#pragma once

#include <X11/Xlib.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "clock.h"
#include "children.h"

// Xvfb is light and enough for the US layout it starts with. Xorg with the
// dummy video driver is what a desktop runs: only there does an XKB layout
// loaded with setxkbmap reach the keyboard (Xvfb accepts it and keeps "us").
enum class ServerKind { xvfb, xorg };

// Owns the server process, the connection to it and its private folder;
// all three go when it does.
struct XServer {
    pid_t pid = -1;
    std::string display;  // ":N"
    Display* conn = nullptr;
    PrivateDir dir;       // Xorg's configuration, log and keymaps

    XServer() = default;
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;
    ~XServer();
};

// Starts the server on a free display (-displayfd) and connects to it,
// waiting at most `limit`. Returns an empty text on success, else what went
// wrong (the server is then stopped). Installs the X error handler below.
[[nodiscard]] std::string start_xserver(XServer& server, ServerKind kind = ServerKind::xvfb,
                          milliseconds limit = milliseconds(15000));
void stop_xserver(XServer& server);
// Loads the XKB layout, with these options and no others, as a desktop's
// keyboard settings do (setxkbmap) and checks that the server took it.
// Returns "" or what went wrong.
[[nodiscard]] std::string set_layout(XServer& server, const std::string& layout, const std::vector<std::string>& options = {});
// The parts of a list joined by commas, as XKB joins layouts ("us,de" gives
// "us" and "de"; "us," gives "us" and "").
std::vector<std::string> split_commas(const std::string& text);
// The layout the server's keymap was last built from (_XKB_RULES_NAMES).
std::string current_layout(Display* conn);
// The same with each group's variant in parentheses, as setxkbmap's -layout
// takes it ("us,de(nodeadkeys)"); "" when the server names no layout.
std::string layout_with_variants(Display* conn);
// The options it was built with ("compose:ralt,caps:swapescape").
std::string layout_options(Display* conn);
// The whole keymap of the X server at `display`, as `xkbcomp $DISPLAY`
// writes it (options and changes by hand included). "" or what went wrong.
[[nodiscard]] std::string read_display_keymap(const std::string& display, std::string& keymap);
// Loads such a keymap into the server (xkbcomp to its display). "" or what
// went wrong.
[[nodiscard]] std::string load_keymap(XServer& server, const std::string& keymap);

// X errors from a window that has gone away (a monitor that just ended) are
// expected and dropped; every other error is kept here until taken, and
// printed on standard error as it comes.
std::vector<std::string> take_x_errors();

// ---- The monitor's window ---------------------------------------------------

// Waits at most `limit` for the monitor's window to be ready for keys: a
// viewable top-level window of a process in process group `group` (the
// monitor, or the keymon a wrapper script of it started; _NET_WM_PID) whose
// title is keymon's (set as the last step of its start-up). Gives it the
// keyboard focus and returns it; None if that did not happen in time, or at
// once when `gone` (if given) says the monitor has ended.
Window find_and_focus_window(Display* conn, pid_t group, milliseconds limit = milliseconds(15000),
                             const std::function<bool()>& gone = {});
// Sends WM_DELETE_WINDOW as a window manager does when a window is closed.
// True when the server took the message without an error.
bool request_close(Display* conn, Window window);
// Every top-level window of a process in process group `group`.
std::vector<Window> windows_of(Display* conn, pid_t group);
// The process a window belongs to (its _NET_WM_PID), or -1.
pid_t window_pid(Display* conn, Window window);
