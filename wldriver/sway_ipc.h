// sway's IPC (the i3 protocol over a Unix socket): its window tree, and
// commands such as focusing a window.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>

#include "clock.h"

enum class SwayMessage : std::uint32_t { run_command = 0, get_tree = 4 };

// Sends one message and returns sway's reply (JSON), "" when the socket
// cannot be reached or the reply does not come within `limit`.
std::string sway_request(const std::string& socket, SwayMessage type, const std::string& payload,
                         milliseconds limit = milliseconds(5000));

struct SwayWindow {
    long id = 0;
    pid_t pid = -1;
    std::string shell;  // "xdg_shell" (a Wayland window) or "xwayland"
};

// Waits at most `limit` for a window titled keymon's of a process in group
// `group` (the monitor or the keymon a wrapper started), gives it the focus
// and waits until sway says it has it. False if that did not happen in
// time, or at once when `gone` (if given) says the monitor has ended.
bool find_and_focus_sway_window(const std::string& socket, pid_t group, SwayWindow& window,
                                milliseconds limit = milliseconds(15000), const std::function<bool()>& gone = {});
