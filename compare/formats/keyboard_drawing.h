// The keyboard as the X server describes it: every key's place and shape
// from the XKB geometry loaded with the keymap, for drawing.
#pragma once

#include <X11/Xlib.h>

#include <string>
#include <vector>

struct Point {
    double x = 0, y = 0;
};

struct DrawnKey {
    KeyCode code = 0;      // 0: the geometry names a key the keymap lacks
    std::string keysym;    // X keysym name of its first level, "" for none
    std::string label;     // what the key shows: its character, or a short name
    std::vector<Point> outline;  // in the drawing's units, on the whole keyboard
};

struct KeyboardDrawing {
    std::string geometry;  // the geometry's name ("pc(pc105)"); "" for a plain grid
    double width = 0, height = 0;
    std::vector<DrawnKey> keys;
};

// What a key whose first level is `sym` shows: its character, or a short
// name (at most six characters) when it types none or a control character;
// "" for the space bar and for no symbol.
std::string keycap_label(KeySym sym);

// Reads the geometry of the server's core keyboard (units: 0.1 mm). False
// when the server has none.
bool read_keyboard_geometry(Display* conn, KeyboardDrawing& drawing);
// A plain grid of these keycodes, in the order given, for a server without
// a geometry.
KeyboardDrawing keyboard_grid(Display* conn, const std::vector<KeyCode>& codes);
