#include "key_sets.h"

#include <X11/Xlib.h>

#include <set>

namespace {

// The keys every layout is tried with, as a person would name them.
const std::vector<std::string> base_keys = {
    // letters, with and without Shift; digits; punctuation
    "a", "z", "m", "shift+a", "shift+z", "A",
    "1", "2", "3", "4", "5", "6", "7", "8", "9", "0",
    "minus", "equal", "bracketleft", "bracketright", "semicolon", "apostrophe", "grave",
    "backslash", "comma", "period", "slash", "exclam", "at", "shift+1",
    // editing keys
    "space", "Return", "Tab", "BackSpace", "Delete",
    // the keypad without Num Lock, then with it, then Num Lock off again
    "KP_Insert", "KP_End", "KP_Down", "KP_Next", "KP_Left", "KP_Begin", "KP_Right", "KP_Home",
    "KP_Up", "KP_Prior", "KP_Delete", "KP_Divide", "KP_Multiply", "KP_Subtract", "KP_Add", "KP_Enter",
    "Num_Lock",
    "KP_0", "KP_1", "KP_2", "KP_3", "KP_4", "KP_5", "KP_6", "KP_7", "KP_8", "KP_9", "KP_Decimal",
    "Num_Lock",
    // function keys, arrows and the navigation block
    "F1", "F2", "F3", "F4", "F5", "F6", "F7", "F8", "F9", "F10", "F11", "F12",
    "Up", "Down", "Left", "Right", "Insert", "Home", "End", "Prior", "Next",
    // every modifier, alone
    "Shift_L", "Shift_R", "Control_L", "Control_R", "Alt_L", "Alt_R", "Super_L", "Super_R",
    "ISO_Level3_Shift", "Mode_switch",
    // Caps Lock on, a letter, Caps Lock off
    "Caps_Lock", "a", "Caps_Lock",
    // a dead key and the letter it composes with
    "dead_circumflex", "e",
    // AltGr combinations
    "ISO_Level3_Shift+e", "ISO_Level3_Shift+q", "ISO_Level3_Shift+2",
};

// A keysym that stands for a character outside ASCII (not a function key,
// not a dead key or other ISO 9995 function, not a vendor key).
bool non_ascii_character(xkb_keysym_t sym) {
    if ((sym & 0xff000000) == 0x01000000) return (sym & 0x00ffffff) > 0x7f;
    return sym > 0x7e && sym < 0xfe00;
}

}  // namespace

std::vector<std::string> builtin_keys(const LayoutSymbols& symbols) {
    std::vector<std::string> keys = base_keys;
    std::set<std::string> seen(keys.begin(), keys.end());
    for (const std::array<xkb_keysym_t, 2>& levels : symbols) {
        for (xkb_keysym_t sym : levels) {
            const char* name = sym == NoSymbol ? nullptr : XKeysymToString(static_cast<KeySym>(sym));
            if (name && non_ascii_character(sym) && seen.insert(name).second) keys.push_back(name);
        }
    }
    return keys;
}

