// Typing into a Wayland compositor through the virtual keyboard protocol,
// with a keymap compiled by libxkbcommon: the keys a pc105 keyboard has, the
// modifier state sent from an xkb_state after every key event.
#pragma once

#include <xkbcommon/xkbcommon.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "keyboard.h"  // the typing layer's

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

    VirtualKeyboard() = default;
    VirtualKeyboard(const VirtualKeyboard&) = delete;
    VirtualKeyboard& operator=(const VirtualKeyboard&) = delete;
    ~VirtualKeyboard();
};

// Connects to the compositor's socket (`runtime_dir`/`display`) and makes a
// virtual keyboard on its seat. "" or what went wrong.
[[nodiscard]] std::string connect_virtual_keyboard(VirtualKeyboard& keyboard, const std::string& runtime_dir, const std::string& display);
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
[[nodiscard]] std::string layout_keymap(const std::string& layout, std::string& text, const std::string& options = "");
// Compiles `text` and uploads it as the keyboard's keymap, every key up and
// no lock on. "" or what went wrong.
[[nodiscard]] std::string use_keymap(VirtualKeyboard& keyboard, const std::string& text);
// Levels 1 to 4 of group 1 of every key, in keycode order.
std::vector<std::array<xkb_keysym_t, 4>> layout_symbols(const VirtualKeyboard& keyboard);

// The virtual keyboard as a typing backend: keys and modifier state sent
// through the protocol, the levels read from the uploaded keymap and the
// locks sent since, a spare keycode bound by uploading a keymap that binds it.
Keyboard virtual_keyboard_typing(VirtualKeyboard& keyboard);
