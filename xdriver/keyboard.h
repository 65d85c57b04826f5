// Typing through XTEST, and the keymap the keys are read through.
#pragma once

#include <X11/Xlib.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "clock.h"

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

// The SDL2-based runtime drops a release when a press of the same key less
// than 2 ms later is already queued, taking the two for an auto-repeat.
// Typing through a KeyPacing presses a key again no sooner than 3 ms after
// its release, and waits for the server after each stroke.
struct KeyPacing {
    std::array<Clock::time_point, 256> released{};
};
void paced_stroke(Display* conn, KeyPacing& pacing, KeyCode code, bool press);

// A burst types these keys in turn; no two neighbours are the same key.
inline const std::string burst_cycle = "abcdefghijklmnopqrstuvwxyz0123456789";
std::vector<KeySym> burst_keys(std::size_t count);
// Types `keys` (unshifted) as fast as the server takes them, paced as
// above. `before_each`, if given, is called with the count of events sent
// so far before each key, and may hold the typing back.
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

// One key as a person names it: X keysym names joined by '+', the last the
// key, the others modifiers held around it ("a", "shift+a",
// "ISO_Level3_Shift+e"). "shift", "ctrl", "control", "alt", "altgr",
// "super" and "meta" name the left-hand modifiers (altgr: ISO_Level3_Shift).
struct KeySpec {
    std::string text;
    std::vector<KeySym> modifiers;
    KeySym sym = 0;
};
// Returns "" and fills `spec`, or names the part that is not a keysym.
std::string parse_key_spec(const std::string& text, KeySpec& spec);

// How a key was typed.
struct TypedKey {
    KeyCode code = 0;
    bool spare = false;  // the layout has no such key: bound for the moment
    std::vector<KeySym> added;  // modifiers its level needed (Shift, AltGr)
    std::vector<KeyCode> pressed;  // every key pressed for it, in order
};
// Types one key: holds its modifiers, presses and releases it, lets the
// modifiers go. The key and each modifier are looked up in the current
// keymap (group 1) at the level their symbol sits on, in the current Num
// Lock state, and the modifiers that level needs are held too (Meta_L is
// Shift+Alt on us: Shift is held, then Alt); Caps Lock is left to act. A symbol
// the keymap does not have is bound on a spare keycode, typed, and unbound
// once `after` has run (as a typing tool such as xdotool does). Returns ""
// or what went wrong.
// `held`, if given, runs once the modifiers are down and before the key
// goes down (typed.pressed then lists the modifiers).
std::string type_key(Display* conn, KeyPacing& pacing, const KeySpec& spec, TypedKey& typed,
                     const std::function<void()>& after = {}, const std::function<void()>& held = {});
