// keymon-compare's Wayland session: a private headless sway, keymon on
// both runtimes through its Xwayland and on SDL2's own Wayland backend,
// keys typed through its virtual keyboard.
#include <wayland-client.h>

#include <memory>

#include "compositor.h"
#include "session.h"
#include "sway_ipc.h"
#include "virtual_keyboard.h"

namespace {

struct WaylandSession {
    Compositor compositor;
    VirtualKeyboard keyboard;  // destroyed first: it is the compositor's client
};

WaylandSession& wayland_session(void* servers) { return *static_cast<WaylandSession*>(servers); }

std::string load(void* servers, const LayoutTyping& typing, LayoutSymbols& symbols) {
    VirtualKeyboard& keyboard = wayland_session(servers).keyboard;
    std::string keymap = typing.keymap;
    std::string options;
    for (const std::string& option : typing.options) options += (options.empty() ? "" : ",") + option;
    std::string error = keymap.empty() ? layout_keymap(typing.layout, keymap, options) : "";
    if (error.empty()) error = use_keymap(keyboard, keymap);
    if (!error.empty()) return error;
    symbols = layout_symbols(keyboard);
    return "";
}

std::string find_window(void* servers, const Target& target, pid_t group, const std::function<bool()>& gone, pid_t& pid) {
    SwayWindow window;
    if (!find_and_focus_sway_window(wayland_session(servers).compositor.ipc_socket, group, window, milliseconds(15000), gone)) {
        return "keymon did not open its window on " + target.name;
    }
    // A Wayland window is an xdg_shell one; SDL2 that silently falls back
    // to X11 would give an Xwayland window instead.
    const std::string wanted = target.window == WindowKind::wayland ? "xdg_shell" : "xwayland";
    if (window.shell != wanted) {
        return "keymon's window on " + target.name + " is an " + window.shell + " window, not " + wanted +
               (wanted == "xdg_shell" ? ": SDL fell back to X11" : "");
    }
    pid = window.pid;
    return "";
}

// Xwayland describes no keyboard: a private Xorg draws the layout's.
void draw(void*, const LayoutTyping& typing, const std::vector<KeyComparison>&, KeyboardDrawing& drawing) {
    draw_from_xorg(typing, drawing);
}

void close(void* servers) { delete static_cast<WaylandSession*>(servers); }

constexpr SessionOps wayland_session_ops = {load, find_window, draw, close};

}  // namespace

std::string open_wayland_session(const std::string& keymap, const std::vector<Runtime>& runtimes, Session& session) {
    auto servers = std::make_unique<WaylandSession>();
    Compositor& compositor = servers->compositor;
    if (const std::string error = start_compositor(compositor, keymap); !error.empty()) {
        return "no Wayland compositor could start: " + error;
    }
    if (std::string error = connect_virtual_keyboard(servers->keyboard, compositor.dir.path(), compositor.wayland_display);
        !error.empty()) {
        return error;
    }
    session.kind = SessionKind::wayland;
    session.targets = session_targets(SessionKind::wayland, runtimes);
    session.launch.display = compositor.x_display;
    session.launch.extra_env = compositor_environment(compositor);
    session.keyboard = virtual_keyboard_typing(servers->keyboard);
    session.ops = &wayland_session_ops;
    session.servers = servers.release();
    return "";
}

std::string open_session(SessionKind kind, const std::string& keymap, const std::vector<Runtime>& runtimes, Session& session) {
    return kind == SessionKind::x11 ? open_x_session(runtimes, session) : open_wayland_session(keymap, runtimes, session);
}

bool wayland_display_answers(const char* name) {
    if (!name || !*name) return false;
    wl_display* display = wl_display_connect(name);
    if (!display) return false;
    const bool answers = wl_display_roundtrip(display) >= 0;
    wl_display_disconnect(display);
    return answers;
}
