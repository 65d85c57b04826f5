// The keymap of the desktop keymon-compare runs on.
#pragma once

#include <string>

// What keymon-compare types under when no layout is named: the desktop's
// whole keymap (options and changes by hand carried over). On a Wayland
// desktop the compositor's, as it sends it to its clients; on an X11
// desktop the X server's, as xkbcomp reads it; else the layout us.
struct Desktop {
    std::string layout;  // its layouts' names, for the summary
    std::string source;  // where it came from
    std::string keymap;  // "" for the layout us
};
Desktop desktop_keymap();
