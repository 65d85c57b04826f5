// What a comparison found: each key's report lines on every target, each
// layout's keys, and what each target's run learned.
#pragma once

#include <string>
#include <vector>

#include "keyboard_drawing.h"
#include "keys.h"

// What one key gave on one target: keymon's report lines for it, each
// without its "ITEM_ID_XY " tag and its trailing blank and newline, and how
// that target's run typed it.
struct TargetLines {
    std::vector<std::string> lines;
    bool answered = true;  // false: keymon did not confirm the key in time
    xkb_keycode_t code = 0;  // the keycode it was typed on
    bool spare = false;      // typed on a spare keycode bound for the moment
    std::string context;     // what it was typed after: a dead key, locks on
    bool typed = false;      // its target's run has typed it
    bool ended_keymon = false;  // keymon ended on it (it was reported as Escape)
    std::vector<xkb_keysym_t> added;  // the modifiers its level needed (Shift, AltGr)
};

// One key typed into every target of a run.
struct KeyComparison {
    KeySpec spec;
    // As the first target typed it (every target's own is in its lines).
    xkb_keycode_t code = 0;
    bool spare = false;
    std::string context;
    std::vector<xkb_keysym_t> added;  // the modifiers its level needed (Shift, AltGr)
    std::vector<TargetLines> by_target;  // one for each target of the run, in its order
    // Whether any two targets gave different lines, or ended keymon apart.
    bool differs() const;
};
// Whether two targets gave the same for a key.
bool same_lines(const TargetLines& a, const TargetLines& b);
// How many of the keys differ.
std::size_t keys_differing(const std::vector<KeyComparison>& keys);

// What a run of keymon on one target learned.
struct TargetRun {
    std::string library;  // the SDL 1.2 library file keymon mapped
};

// One layout's comparison.
struct LayoutReport {
    std::string layout;  // as given, or as read from the desktop
    std::string source;  // where it came from ("from --layout", ...)
    std::vector<std::string> options;  // XKB options loaded with it
    std::vector<KeyComparison> keys;
    KeyboardDrawing keyboard;
    std::vector<TargetRun> runs;  // one for each target
    std::string failure;  // why it could not be compared; "" when it was
};
// Reports taken together (every layout of a run, every keymap of a survey).
using ReportList = std::vector<const LayoutReport*>;
ReportList report_list(const std::vector<LayoutReport>& reports);
// The library each target mapped, from the first layout whose run of it
// learned one.
std::vector<std::string> target_libraries(std::size_t targets, const ReportList& reports);

// What a physical key shows: every target gave the same lines for every key
// typed on it; some differ; a target reported nothing for one of them while
// another did; nothing was typed on it.
enum class KeyState { agree, differ, missing, untyped };
const char* key_state_name(KeyState state);
KeyState physical_key_state(const std::vector<KeyComparison>& keys, xkb_keycode_t code);
