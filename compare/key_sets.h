// The keys a layout is tried with.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "keys.h"

// Levels 1 and 2 of group 1 of every key of a layout, in keycode order.
using LayoutSymbols = std::vector<std::array<xkb_keysym_t, 2>>;

// The built-in set: every class of key (letters with and without Shift,
// digits, punctuation, editing keys, the keypad without and with Num Lock,
// F1-F12, arrows and navigation, every modifier, Caps Lock, a dead key and
// a letter, AltGr), then the keys of the layout (group 1, with and without
// Shift) that give a character outside ASCII.
std::vector<std::string> builtin_keys(const LayoutSymbols& symbols);
