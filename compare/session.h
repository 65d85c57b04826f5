// A session: the private servers keymon runs in, opened once and typed
// under one layout after another, and the targets it runs keymon on. The
// Xorg session and the Wayland session each supply their operations.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "child.h"
#include "key_sets.h"
#include "keyboard.h"
#include "results.h"
#include "targets.h"

// What to type, and where to.
struct LayoutTyping {
    std::string keymon;
    std::string layout;                 // an XKB layout as setxkbmap takes it
    std::vector<std::string> options;   // XKB options with it ("caps:swapescape")
    std::string keymap;                 // or a whole keymap, loaded instead
    std::vector<KeyComparison> named;   // the keys named on the command line
    bool builtin = false;               // or the built-in set, from the layout's own keys
    bool drawing = false;               // read the keyboard's geometry for a page
};

// A session's operations on its own servers.
struct SessionOps {
    // Loads the layout, or the whole keymap, that `typing` names, as a
    // desktop's keyboard settings do, and reads the layout's symbols.
    std::string (*load)(void* servers, const LayoutTyping& typing, LayoutSymbols& symbols);
    // Waits for keymon's window (of process group `group`), focuses it and
    // checks it is of the target's kind; "" and the window's process, or
    // what went wrong. Gives up at once when `gone` says keymon has ended.
    std::string (*find_window)(void* servers, const Target& target, pid_t group, const std::function<bool()>& gone,
                               pid_t& pid);
    // The keyboard of the layout last loaded, for the page.
    void (*draw)(void* servers, const LayoutTyping& typing, const std::vector<KeyComparison>& keys,
                 KeyboardDrawing& drawing);
    // Stops the servers and releases everything they hold.
    void (*close)(void* servers);
};

// Owns its servers: they stop when it goes.
struct Session {
    SessionKind kind = SessionKind::x11;
    std::vector<Target> targets;  // session_targets(kind, the run's runtimes)
    LaunchOptions launch;         // keymon's display and environment there
    Keyboard keyboard;            // types into the focused window
    const SessionOps* ops = nullptr;
    void* servers = nullptr;

    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() {
        if (ops) ops->close(servers);
    }
};

// Starts the session's servers, its targets those of `runtimes`; `keymap`, if given, is a whole keymap the
// Wayland compositor starts with. "" or what went wrong (nothing is left
// running then).
[[nodiscard]] std::string open_session(SessionKind kind, const std::string& keymap, const std::vector<Runtime>& runtimes,
                                       Session& session);
[[nodiscard]] std::string open_x_session(const std::vector<Runtime>& runtimes, Session& session);
[[nodiscard]] std::string open_wayland_session(const std::string& keymap, const std::vector<Runtime>& runtimes, Session& session);

// The keyboard of a layout (or keymap) as a private Xorg's pc105 geometry
// has it, for a session whose server has none (Xwayland).
void draw_from_xorg(const LayoutTyping& typing, KeyboardDrawing& drawing);

// Whether a Wayland compositor answers on display `name` (as
// $WAYLAND_DISPLAY names it).
bool wayland_display_answers(const char* name);
