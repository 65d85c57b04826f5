// Typing into a Wayland compositor through the virtual keyboard protocol,
// with a keymap compiled by libxkbcommon: the keys a pc105 keyboard has, the
// modifier state sent from an xkb_state after every key event.
#pragma once

#include <xkbcommon/xkbcommon.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "clock.h"
#include "keyboard.h"

struct wl_display;
struct wl_seat;
struct zwp_virtual_keyboard_manager_v1;
struct zwp_virtual_keyboard_v1;

struct VirtualKeyboard {
    wl_display* display = nullptr;
    wl_seat* seat = nullptr;
    zwp_virtual_keyboard_manager_v1* manager = nullptr;
    zwp_virtual_keyboard_v1* keyboard = nullptr;
    xkb_context* context = nullptr;
    xkb_keymap* keymap = nullptr;  // the one last uploaded
    xkb_state* state = nullptr;    // the keys and locks sent since
    std::string keymap_text;       // the layout's, without a spare binding
    std::array<Clock::time_point, 256> released{};  // by X keycode
};

// Connects to the compositor's socket (`runtime_dir`/`display`) and makes a
// virtual keyboard on its seat. "" or what went wrong.
std::string connect_virtual_keyboard(VirtualKeyboard& keyboard, const std::string& runtime_dir, const std::string& display);
void disconnect_virtual_keyboard(VirtualKeyboard& keyboard);

// The keymap the compositor at `display` (a name in $XDG_RUNTIME_DIR, or a
// path) sends every client with the seat's keyboard (wl_keyboard.keymap).
// "" or what went wrong.
std::string read_wayland_keymap(const std::string& display, std::string& keymap);
// The layouts a keymap's symbols name ("pc+de(nodeadkeys)+us:2+inet(evdev)"
// names "de(nodeadkeys),us"), and its symbols' whole name; for a keymap
// whose parts have no names (as libxkbcommon writes one), its layouts' own
// names ("German, English (US)") and no symbols.
std::string keymap_layouts(const std::string& keymap, std::string& symbols);

// The keymap of an XKB layout as setxkbmap's -layout takes it ("de",
// "de(nodeadkeys),us"), compiled with rules evdev and model pc105, as text.
// "" or what went wrong.
std::string layout_keymap(const std::string& layout, std::string& text);
// Compiles `text` and uploads it as the keyboard's keymap, every key up and
// no lock on. "" or what went wrong.
std::string use_keymap(VirtualKeyboard& keyboard, const std::string& text);
// Every key up, no lock on, and the compositor told so.
void reset_keyboard(VirtualKeyboard& keyboard);

// Presses or releases the key of X keycode `code` (evdev code + 8), a key
// pressed again no sooner than 3 ms after its release, then sends the
// modifier state and waits for the compositor to take both.
void press_key(VirtualKeyboard& keyboard, xkb_keycode_t code, bool press);
// The key that gives `sym` with no modifier, a real key before one no
// keyboard has (<LVL3>); 0 if none.
xkb_keycode_t keycode_of(const VirtualKeyboard& keyboard, xkb_keysym_t sym);
// Whether a modifier (XKB_MOD_NAME_CAPS, XKB_MOD_NAME_NUM) is locked now.
bool locked(const VirtualKeyboard& keyboard, const char* modifier);
// Levels 1 and 2 of group 1 of every key, in keycode order.
std::vector<std::array<xkb_keysym_t, 2>> layout_symbols(const VirtualKeyboard& keyboard);

// Types one key as type_key does on X: its modifiers held, the key pressed
// and released on the level its symbol sits on (in the current Num Lock
// state; Caps Lock left to act), with the Shift or AltGr that level needs.
// A symbol the keymap lacks is bound on a spare keycode by uploading a
// keymap that binds it, typed, and unbound once `after` has run.
std::string type_virtual_key(VirtualKeyboard& keyboard, const KeySpec& spec, TypedKey& typed,
                             const std::function<void()>& after = {}, const std::function<void()>& held_down = {});
