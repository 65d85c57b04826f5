#include "desktop.h"

#include <X11/Xlib.h>

#include <cstdlib>

#include "session.h"
#include "virtual_keyboard.h"
#include "xserver.h"

Desktop desktop_keymap() {
    Desktop desktop{"us", "", ""};
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (wayland_display_answers(wayland) && read_wayland_keymap(wayland, desktop.keymap).empty()) {
        std::string symbols;
        const std::string layouts = keymap_layouts(desktop.keymap, symbols);
        desktop.layout = layouts.empty() ? "(keymap)" : layouts;
        desktop.source = std::string("keymap of Wayland display ") + wayland +
                         (symbols.empty() ? (layouts.empty() ? "" : ", " + layouts) : ", symbols " + symbols);
        return desktop;
    }
    desktop.keymap.clear();
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        desktop.source = "the default: no X display";
        return desktop;
    }
    Display* conn = XOpenDisplay(display);
    if (!conn) {
        desktop.source = std::string("the default: X display ") + display + " not reachable";
        return desktop;
    }
    const std::string layouts = layout_with_variants(conn), options = layout_options(conn);
    XCloseDisplay(conn);
    if (!read_display_keymap(display, desktop.keymap).empty()) {
        desktop.keymap.clear();
        desktop.source = std::string("the default: the keymap of X display ") + display + " cannot be read";
        return desktop;
    }
    desktop.layout = layouts.empty() ? "(keymap)" : layouts;
    desktop.source = std::string("keymap of X display ") + display + (options.empty() ? "" : ", options " + options);
    return desktop;
}
