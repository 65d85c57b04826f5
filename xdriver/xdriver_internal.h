// Helpers the driver's units share; not part of its interface.
#pragma once

#include <X11/Xlib.h>
#include <sys/types.h>

#include <string>

#include "clock.h"

std::string errno_text(const char* what);
// Takes in the server's notice of a keymap change, so that Xlib's own copy
// of the keymap, which its look-ups use, shows the change.
void refresh_keymap(Display* conn);
