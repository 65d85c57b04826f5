// The private headless Wayland compositor (sway) with Xwayland beside it.
// Every wait here is bounded; none is a fixed sleep.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "clock.h"
#include "children.h"

// Owns the compositor process and its folder; both go when it does.
struct Compositor {
    pid_t pid = -1;
    PrivateDir dir;               // configuration, log and runtime folder (XDG_RUNTIME_DIR)
    std::string wayland_display;  // its socket's name in dir ("wayland-1")
    std::string ipc_socket;       // sway's IPC socket
    std::string x_display;        // Xwayland's display (":N")
    uid_t uid = 0;                // whom it runs as

    Compositor() = default;
    Compositor(const Compositor&) = delete;
    Compositor& operator=(const Compositor&) = delete;
    ~Compositor();
};

// Starts sway (headless backend, pixman renderer, Xwayland on) as the
// calling user, or, for root, as the unprivileged user "nobody" (sway
// refuses root), with root let into its Xwayland. `keymap`, if given, is a
// complete keymap (xkbcomp's text) for its own keyboards (xkb_file). Waits at most `limit` for it to
// answer. Returns "" or what went wrong (the compositor is then stopped),
// naming the Debian package when one is missing.
[[nodiscard]] std::string start_compositor(Compositor& compositor, const std::string& keymap = "",
                             milliseconds limit = milliseconds(15000));
void stop_compositor(Compositor& compositor);

// The environment a client of the compositor needs: its runtime folder,
// its Wayland display and Xwayland's display.
std::vector<std::string> compositor_environment(const Compositor& compositor);
