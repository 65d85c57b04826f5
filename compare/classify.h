// The kinds of difference between the runtimes, named by rules over a
// key's report lines.
#pragma once

#include <iterator>
#include <vector>

#include "results.h"
#include "targets.h"

// In the order the rules are tried; `other` is what no rule names.
enum class DifferenceClass {
    none,              // the targets agree
    // Causes a rule can establish:
    ends_keymon,       // a runtime reports the key as Escape, and keymon ends
    utf8_decoding,     // the SDL2-based runtime's three-byte UTF-8 decoding fault
    ctrl_character,    // a control character under Ctrl on one, the letter or 0 on the other
    // Symptoms:
    spare_keycode,     // a keysym on a spare keycode reported by one runtime only
    dead_key,          // a dead key, or the key typed after one
    lock_lines,        // a lock key gives one line, or two
    delete_character,  // Delete carries no character
    altgr_character,   // an AltGr character differs
    key_names,         // other names for the Windows keys and AltGr
    scan_code_0,       // scan code 0 and nothing else
    // Found by the survey of every keymap:
    character_on_modifier,  // a spare key's character reported on the modifier pressed before it
    position_names,         // a key named after the US key in its place, not after its own symbol
    character,              // a character differs, without AltGr (the key often named otherwise too)
    other_scan_code,        // another key's scan code, not 0
    other,
};
inline constexpr int difference_class_count = static_cast<int>(DifferenceClass::other) + 1;
// The first class that names a difference.
inline constexpr DifferenceClass first_class = DifferenceClass::ends_keymon;
// The classes by how much they tell about a key, most first: a key that
// ends keymon, then the decoding fault, the lock keys, dead keys, the
// characters, and last the classes that only name a key otherwise.
inline constexpr DifferenceClass cause_order[] = {
    DifferenceClass::ends_keymon,      DifferenceClass::utf8_decoding,  DifferenceClass::lock_lines,
    DifferenceClass::dead_key,         DifferenceClass::character,      DifferenceClass::altgr_character,
    DifferenceClass::ctrl_character,   DifferenceClass::character_on_modifier, DifferenceClass::delete_character,
    DifferenceClass::spare_keycode,    DifferenceClass::other,          DifferenceClass::other_scan_code,
    DifferenceClass::scan_code_0,      DifferenceClass::position_names, DifferenceClass::key_names,
};
static_assert(std::size(cause_order) == difference_class_count - 1, "every class that names a difference, once");
static_assert([] {
    for (int c = static_cast<int>(first_class); c < difference_class_count; ++c) {
        int seen = 0;
        for (DifferenceClass listed : cause_order) seen += listed == DifferenceClass(c);
        if (seen != 1) return false;
    }
    return true;
}());
// The place of `which` in cause_order (none comes after every class).
constexpr int cause_rank(DifferenceClass which) {
    for (int r = 0; r < static_cast<int>(std::size(cause_order)); ++r) {
        if (cause_order[r] == which) return r;
    }
    return static_cast<int>(std::size(cause_order));
}
// The class of the key's difference: the reference against the first
// target that differs from it.
DifferenceClass classify(const KeyComparison& key, const std::vector<Target>& targets);
// Of the difference between two of the key's targets (none if they agree).
DifferenceClass classify_pair(const KeyComparison& key, std::size_t first, std::size_t second);
// The reference of a run, every other target stated against it: the first
// runtime's first target (classic, by default).
std::size_t reference_target(const std::vector<Target>& targets);
// "scan_code_0", as JSON has it; "scan code 0", as people read it.
const char* class_id(DifferenceClass which);
const char* class_description(DifferenceClass which);
