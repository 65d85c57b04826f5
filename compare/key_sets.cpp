#include "key_sets.h"

#include <X11/Xlib.h>

#include <cstdint>
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

// A keysym that types a character that is no control character.
bool character(xkb_keysym_t sym) {
    const std::uint32_t c = xkb_keysym_to_utf32(sym);
    return c >= 0x20 && c != 0x7f;
}

// A letter that has an upper and a lower case.
bool letter(xkb_keysym_t sym) { return xkb_keysym_to_lower(sym) != xkb_keysym_to_upper(sym); }

std::string name_of(xkb_keysym_t sym) {
    const char* name = sym == XKB_KEY_NoSymbol ? nullptr : XKeysymToString(static_cast<KeySym>(sym));
    return name ? name : "";
}

}  // namespace

std::vector<std::string> builtin_keys(const LayoutSymbols& symbols) {
    std::vector<std::string> keys = base_keys;
    std::set<std::string> seen(keys.begin(), keys.end());
    const auto add = [&](const std::string& key) {
        if (!key.empty() && key != "ctrl+" && seen.insert(key).second) keys.push_back(key);
    };
    bool compose = false;
    for (const auto& levels : symbols) {
        for (xkb_keysym_t sym : levels) {
            if (character(sym)) add(name_of(sym));
            compose = compose || sym == XKB_KEY_Multi_key;
        }
    }
    for (const auto& levels : symbols) {
        if (letter(levels[0])) add("ctrl+" + name_of(levels[0]));
    }
    for (const char* key : {"1", "2", "3", "4", "5", "6", "7", "8", "9", "0", "bracketleft", "bracketright", "backslash", "space"}) {
        add(std::string("ctrl+") + key);
    }
    for (const char* key : {"Menu", "Pause", "Print", "Scroll_Lock", "shift+Return", "shift+Tab", "shift+KP_Enter"}) add(key);
    // A sequence, typed in its order whatever came before.
    if (compose) keys.insert(keys.end(), {"Multi_key", "apostrophe", "e"});
    return keys;
}
