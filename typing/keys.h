// Keys as a person names them, and how one was typed: the vocabulary both
// drivers and keymon-compare share, in xkbcommon's keysym and keycode types
// (an X keycode is the evdev code + 8 under Xorg, Xwayland and Wayland alike).
#pragma once

#include <xkbcommon/xkbcommon.h>

#include <string>
#include <vector>

// One key as a person names it: keysym names joined by '+', the last the
// key, the others modifiers held around it ("a", "shift+a",
// "ISO_Level3_Shift+e"). "shift", "ctrl", "control", "alt", "altgr",
// "super" and "meta" name the left-hand modifiers (altgr: ISO_Level3_Shift).
struct KeySpec {
    std::string text;
    std::vector<xkb_keysym_t> modifiers;
    xkb_keysym_t sym = XKB_KEY_NoSymbol;
};
// Returns "" and fills `spec`, or names the part that is not a keysym.
[[nodiscard]] std::string parse_key_spec(const std::string& text, KeySpec& spec);

// How a key was typed.
struct TypedKey {
    xkb_keycode_t code = 0;
    bool spare = false;  // the layout has no such key: bound for the moment
    std::vector<xkb_keysym_t> added;  // modifiers its level needed (Shift, AltGr)
    std::vector<xkb_keycode_t> pressed;  // every key pressed for it, in order
    unsigned locks = 0;  // the locked modifiers it was typed under
};

// A keysym's name ("EuroSign"), "" for none.
std::string keysym_name(xkb_keysym_t sym);
