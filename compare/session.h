// A session's private server, opened once and typed under one layout after
// another: the Xorg, or the sway with its Xwayland and virtual keyboard.
#pragma once

#include "compare.h"
#include "wayland_session.h"

struct SessionServer {
    Session session = Session::x11;
    std::string keymap;  // a whole keymap the compositor starts with, if any
    XServer x;
    Compositor compositor;
    VirtualKeyboard keyboard;
};

// Starts the session's server. "" or what went wrong (nothing is left running then).
std::string open_session(SessionServer& server);
void close_session(SessionServer& server);

// What to type, and where to.
struct LayoutTyping {
    std::string keymon;
    std::string layout;              // an XKB layout as setxkbmap takes it
    std::string keymap;              // or a whole keymap, loaded instead
    std::vector<KeyResult> named;    // the keys named on the command line
    bool builtin = false;            // or the built-in set, from the layout's own keys
    bool drawing = false;            // read the keyboard's geometry for a page
};

// Loads the layout into the server, makes the report's keys when it has none
// yet, and types them into targets `first` to the end. "" or what went
// wrong.
std::string type_layout(SessionServer& server, const LayoutTyping& typing, std::vector<Target>& targets,
                        std::size_t first, LayoutReport& report);

// The keyboard of a layout (or keymap) as a private Xorg's pc105 geometry
// has it, for a session whose server has none (Xwayland).
void draw_from_xorg(const std::string& layout, const std::string& keymap, LayoutReport& report);
