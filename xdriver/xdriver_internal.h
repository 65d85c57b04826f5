// Helpers the driver's units share; not part of its interface.
#pragma once

#include <X11/Xlib.h>
#include <sys/types.h>

#include <string>

#include "clock.h"

// Waits until `fd` is readable or the deadline passes.
bool readable(int fd, Clock::time_point deadline);
// True once process `pid` (a child, not yet reaped) has ended, false if it
// has not by the deadline.
bool process_ended(pid_t pid, Clock::time_point deadline);
std::string errno_text(const char* what);
// Takes in the server's notice of a keymap change, so that Xlib's own copy
// of the keymap, which its look-ups use, shows the change.
void refresh_keymap(Display* conn);
