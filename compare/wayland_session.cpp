// keymon-compare's Wayland session: a private headless sway, keymon on
// both runtimes through its Xwayland and on SDL2's own Wayland backend,
// keys typed through its virtual keyboard.
#include "wayland_session.h"

#include <cstring>

#include "sway_ipc.h"

Typist wayland_typist(Compositor& compositor, VirtualKeyboard& keyboard) {
    Typist typist;
    typist.launch.display = compositor.x_display;
    typist.launch.extra_env = compositor_environment(compositor);
    typist.find_window = [&compositor](const Target& target, pid_t group, const std::function<bool()>& gone, pid_t& pid) {
        SwayWindow window;
        if (!find_and_focus_sway_window(compositor.ipc_socket, group, window, milliseconds(15000), gone)) {
            return "keymon did not open its window on " + target.name;
        }
        // A Wayland window is an xdg_shell one; SDL2 that silently falls
        // back to X11 would give an Xwayland window instead.
        const std::string wanted = target.server == "Xwayland" ? "xwayland" : "xdg_shell";
        if (window.shell != wanted) {
            return "keymon's window on " + target.name + " is an " + window.shell + " window, not " + wanted +
                   (wanted == "xdg_shell" ? ": SDL fell back to X11" : "");
        }
        pid = window.pid;
        return std::string();
    };
    typist.keycode = [&keyboard](KeySym sym) { return static_cast<KeyCode>(keycode_of(keyboard, static_cast<xkb_keysym_t>(sym))); };
    typist.stroke = [&keyboard](KeyCode code, bool press) { press_key(keyboard, code, press); };
    typist.type_key = [&keyboard](const KeySpec& spec, TypedKey& typed, const std::function<void()>& after,
                                  const std::function<void()>& held) {
        return type_virtual_key(keyboard, spec, typed, after, held);
    };
    typist.reset = [&keyboard] { reset_keyboard(keyboard); };
    typist.locked = [&keyboard](const char* lock) {
        return locked(keyboard, std::strcmp(lock, "Caps") == 0 ? XKB_MOD_NAME_CAPS : XKB_MOD_NAME_NUM);
    };
    return typist;
}

bool wayland_display_answers(const char* name) {
    if (!name || !*name) return false;
    wl_display* display = wl_display_connect(name);
    if (!display) return false;
    const bool answers = wl_display_roundtrip(display) >= 0;
    wl_display_disconnect(display);
    return answers;
}
