// What keymon-compare runs keymon on: a runtime in a session, reached
// through the session's X server or on SDL2's own Wayland backend.
#pragma once

#include <string>
#include <vector>

#include "runtimes.h"

// Where keymon runs: the private Xorg, or the private Wayland compositor
// (with Xwayland beside it).
enum class SessionKind { x11, wayland };
const char* session_name(SessionKind session);

// The kind of window keymon must open there: a window of the X server the
// session runs (Xorg), one of its Xwayland, or a Wayland (xdg_shell) one.
enum class WindowKind { x11, xwayland, wayland };

// One way of running keymon. Plain data: what a run learns about it comes
// back in the run's result.
struct Target {
    std::string id;          // classic, compat, classic_xwayland, compat_xwayland, compat_wayland, ...
    std::string name;        // its column's heading
    std::string short_name;  // for the line that names its library
    Runtime runtime;
    SessionKind session = SessionKind::x11;
    std::string server;        // what keymon's window is on: Xorg, Xwayland, sway
    std::string video_driver;  // SDL_VIDEODRIVER given to it ("" leaves SDL's choice)
    WindowKind window = WindowKind::x11;
    std::string qualifier;     // after the runtime in messages: "" or " (NAME)"
};
// The targets of a session, in the order they are run and shown: each
// runtime in its X server (Xorg, or Xwayland), then each SDL2-based one on
// SDL2's own Wayland backend.
std::vector<Target> session_targets(SessionKind session, const std::vector<Runtime>& runtimes);
// Those of every session, in the sessions' order.
std::vector<Target> targets_of(const std::vector<SessionKind>& sessions, const std::vector<Runtime>& runtimes);

// The system's classic and SDL2-based runtimes as a run without --runtime
// has them, identified as they are named (for tests of the reports).
std::vector<Runtime> named_system_runtimes();
