// Typing through XTEST, and the keymap the keys are read through.
#pragma once

#include <X11/Xlib.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "clock.h"
#include "keyboard.h"  // the typing layer's

// The X server's core keyboard as a typing backend: keys through XTEST, the
// levels read from its XKB keymap and lock state, a spare keycode bound with
// XChangeKeyboardMapping.
Keyboard x_keyboard(Display* conn);

struct Stroke {
    KeySym sym;
    bool press;
};
// Press and release of each key, with Shift held around upper-case letters
// and other shifted symbols as the keymap has them.
std::vector<Stroke> taps(const std::vector<KeySym>& keys);
// Sends the strokes through XTEST as fast as the server takes them; with
// `per_round_trip` set, waits for the server after each that many strokes.
void send_strokes(Display* conn, const std::vector<Stroke>& strokes, std::size_t per_round_trip = 0);

// A burst types these keys in turn; no two neighbours are the same key.
inline const std::string burst_cycle = "abcdefghijklmnopqrstuvwxyz0123456789";
std::vector<KeySym> burst_keys(std::size_t count);
// Types `keys` (unshifted) as fast as the server takes them, each stroke
// paced as `stroke` paces it. `before_each`, if given, is called with the
// count of events sent so far before each key, and may hold the typing back.
void send_burst(Display* conn, const std::vector<KeySym>& keys,
                const std::function<void(std::size_t)>& before_each = {});
// Types `keys` (unshifted) `per_round_trip` events at a time, waiting for
// the server only after each batch and never for the monitor, as a typing
// tool does. A key is pressed again no sooner than 3 ms after the server took
// its release, so the SDL2-based runtime sees no auto-repeat.
void send_spaced_burst(Display* conn, const std::vector<KeySym>& keys, std::size_t per_round_trip);

// The symbols the keymap gives `code`, trailing NoSymbol entries dropped.
std::vector<KeySym> keycode_symbols(Display* conn, KeyCode code);
// Gives `code` these symbols (none: unbinds it), as a layout switch does.
void bind_keycode(Display* conn, KeyCode code, std::vector<KeySym> syms);
// Binds `sym` to a keycode that has no symbols; returns it, or 0.
KeyCode bind_spare_keycode(Display* conn, KeySym sym);

// Puts a keycode's symbols back as they were when it was made, however the
// scope is left, so a failed test never leaves a changed keymap behind.
struct KeymapRestore {
    Display* conn;
    KeyCode code;
    std::vector<KeySym> saved;
    KeymapRestore(Display* c, KeyCode k) : conn(c), code(k), saved(keycode_symbols(c, k)) {}
    KeymapRestore(Display* c, KeyCode k, std::vector<KeySym> s) : conn(c), code(k), saved(std::move(s)) {}
    KeymapRestore(const KeymapRestore&) = delete;
    KeymapRestore& operator=(const KeymapRestore&) = delete;
    ~KeymapRestore() {
        if (code != 0) bind_keycode(conn, code, saved);
    }
};

// Takes in the server's notice of a keymap change, so that Xlib's own copy
// of the keymap, which its look-ups use, shows the change.
void refresh_keymap(Display* conn);
