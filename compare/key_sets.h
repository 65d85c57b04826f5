// The keys a layout is tried with.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "keys.h"

// Levels 1 to 4 of group 1 of every key of a layout, in keycode order.
using LayoutSymbols = std::vector<std::array<xkb_keysym_t, 4>>;

// The built-in set, in a fixed order: every class of key (letters with and
// without Shift, digits, punctuation, editing keys, the keypad without and
// with Num Lock, F1-F12, arrows and navigation, every modifier, Caps Lock, a
// dead key and a letter, AltGr); then every character the layout types on
// levels 1 to 4 of group 1, key by key; Ctrl with each of its letter keys,
// the digits, [ ] \ and space; Menu, Pause, Print and Scroll_Lock; Shift
// with Return, Tab and keypad Enter; and, where the layout has Multi_key, a
// compose sequence (Multi_key apostrophe e).
std::vector<std::string> builtin_keys(const LayoutSymbols& symbols);
