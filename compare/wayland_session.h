// keymon-compare's Wayland session.
#pragma once

#include <wayland-client.h>

#include "compare.h"
#include "compositor.h"
#include "virtual_keyboard.h"

// How the Wayland session finds keymon's window (through sway's IPC,
// checking that it is an Xwayland or a Wayland window as the target says)
// and types into it (the virtual keyboard).
Typist wayland_typist(Compositor& compositor, VirtualKeyboard& keyboard);
// Whether a Wayland compositor answers on display `name` (as
// $WAYLAND_DISPLAY names it).
bool wayland_display_answers(const char* name);
