// keymon-compare: the same keys typed into keymon on both SDL 1.2 runtimes.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "keyboard.h"
#include "keyboard_drawing.h"
#include "monitor.h"
#include "xserver.h"

// What one key gave on one runtime: keymon's report lines for it, each
// without its "ITEM_ID_XY " tag and its trailing blank and newline.
struct KeyReport {
    std::vector<std::string> lines;
    bool answered = true;  // false: the monitor did not confirm the key in time
};

// Where keymon runs: the private Xorg, or the private Wayland compositor
// (with Xwayland beside it).
enum class Session { x11, wayland };
const char* session_name(Session session);

// One way of running keymon: an SDL 1.2 runtime in a session, through an
// X server or on SDL2's own Wayland backend.
struct Target {
    std::string id;          // classic, compat, classic_xwayland, compat_xwayland, compat_wayland
    std::string name;        // its column's heading
    std::string short_name;  // for the line that names its library
    Runtime runtime = Runtime::classic;
    Session session = Session::x11;
    std::string server;        // what keymon's window is on: Xorg, Xwayland, sway
    std::string video_driver;  // SDL_VIDEODRIVER given to it ("" leaves SDL's choice)
    std::string library;       // the SDL 1.2 library file it mapped, once it has run
};
// The targets of a session, in the order they are run and shown.
std::vector<Target> session_targets(Session session);

struct KeyResult {
    KeySpec spec;
    KeyCode code = 0;    // the keycode it was typed on
    bool spare = false;  // typed on a spare keycode bound for the moment
    std::string context;  // what the key was typed after: a dead key, locks on
    std::vector<KeyReport> reports;  // one for each target of the run, in its order
    // Whether any two targets gave different lines.
    bool differs() const;
};

// The built-in set: every class of key (letters with and without Shift,
// digits, punctuation, editing keys, the keypad without and with Num Lock,
// F1-F12, arrows and navigation, every modifier, Caps Lock, a dead key and
// a letter, AltGr), then the keys of the current layout (group 1, with and
// without Shift) that give a character outside ASCII.
// `symbols`: levels 1 and 2 of group 1 of every key of the layout.
std::vector<std::string> builtin_keys(const std::vector<std::array<KeySym, 2>>& symbols);
// Those of the X server's keymap.
std::vector<std::array<KeySym, 2>> x_layout_symbols(Display* conn);

// How a session reaches keymon and types into it: the X server through
// XTEST, or the compositor through its virtual keyboard.
struct Typist {
    LaunchOptions launch;  // keymon's display and environment; the runtime is the target's
    // Waits for keymon's window (of process group `group`), focuses it and
    // checks it is of the target's kind; "" and the window's process, or
    // what went wrong. Gives up at once when `gone` says keymon has ended.
    std::function<std::string(const Target&, pid_t group, const std::function<bool()>& gone, pid_t& pid)> find_window;
    std::function<KeyCode(KeySym)> keycode;           // the key that gives it unshifted, 0 if none
    std::function<void(KeyCode, bool press)> stroke;  // paced, and taken by the server once it returns
    std::function<std::string(const KeySpec&, TypedKey&, const std::function<void()>& after,
                              const std::function<void()>& held)> type_key;
    std::function<void()> reset;                      // every key up, no lock on
    std::function<bool(const char* lock)> locked;     // "Caps" or "Num"
};
Typist x_typist(XServer& server);

// Runs keymon as target `index` of `targets` in the server, types every
// key, ends the run with Escape. Fills reports[index] of each result (and,
// for the first target, the keycode, `spare` and the context) and the
// target's library. Returns "" or what went wrong.
std::string type_into_keymon(Typist& typist, const std::string& keymon, std::vector<Target>& targets,
                             std::size_t index, std::vector<KeyResult>& results);

// The report as text (a column for each target, "!" on the rows where any
// two differ) or as a Markdown table; `all` shows the keys that agree too.
std::string format_text(const std::vector<Target>& targets, const std::vector<KeyResult>& results, bool all);
std::string format_markdown(const std::vector<Target>& targets, const std::vector<KeyResult>& results, bool all);
// How many of the keys differ.
std::size_t keys_differing(const std::vector<KeyResult>& keys);

// A report line as keymon-compare shows it: a text field that holds
// control characters (Return gives a carriage return) or blanks is quoted,
// with C escapes.
std::string shown(const std::string& line);
// What is noted after a key's name: "(spare keycode, after dead_circumflex)".
std::string key_notes(const KeyResult& result);

// The lines of one target's cell in the table: each report line (`code`),
// bold where another target's line in that row differs; a target with no
// lines has the one plain line "nothing", or "no answer" when the monitor
// did not confirm the key.
struct CellLine {
    std::string text;
    bool code = true;
    bool differs = false;
};
std::vector<CellLine> table_cell(const KeyResult& key, std::size_t target);

// One layout's comparison.
struct LayoutReport {
    std::string layout;  // as given, or as read from the desktop
    std::string source;  // where it came from ("from --layout", ...)
    std::vector<KeyResult> keys;
    KeyboardDrawing keyboard;
};

// What a physical key shows: every target gave the same lines for every key
// typed on it; some differ; a target reported nothing for one of them while
// another did; nothing was typed on it.
enum class KeyState { agree, differ, missing, untyped };
const char* key_state_name(KeyState state);
KeyState physical_key_state(const std::vector<KeyResult>& keys, KeyCode code);

// keymon's report records in `text` from offset `at` on, each without its
// tag and its trailing blank and newline ("SDLK_a 0x26 0x61 a"). A record's
// text is as long as its Unicode value's UTF-8 form (none for 0 and for a
// surrogate), so a control character in it, a line feed too, stays in its
// record. Output that is no record is taken up to its newline; an
// unfinished record at the end is left for later.
std::vector<std::string> read_records(const std::string& text, std::size_t at = 0);

// Where a run's time goes, summed over every job: for the survey's
// benchmark (KEYMON_COMPARE_TIMES=1 prints it on standard error).
enum class Phase { server_start, layout_load, keymon_start, typing, confirmation, keymon_end, count };
void add_time(Phase phase, Clock::duration spent);
std::string phase_times();
// Adds the time from its making to its end to `phase`.
struct PhaseTimer {
    Phase phase;
    Clock::time_point start = Clock::now();
    ~PhaseTimer() { add_time(phase, Clock::now() - start); }
};

// The kinds of difference between the runtimes, named by rules over a key's
// report lines, in the order the rules are tried; `other` is what no rule
// names.
enum class DifferenceClass {
    none,              // the targets agree
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
inline constexpr int difference_class_count = 13;
DifferenceClass classify(const KeyResult& key, const std::vector<Target>& targets);
// "scan_code_0", as JSON has it; "scan code 0", as people read it.
const char* class_id(DifferenceClass which);
const char* class_description(DifferenceClass which);

// A report line ("SDLK_a 0x26 0x61 a") in its parts.
struct ReportLine {
    std::string name;
    unsigned scancode = 0, unicode = 0;
    std::string text;
};
ReportLine parse_report_line(const std::string& line);

// The layout's summary line, naming where the layout came from.
std::string layout_summary(const LayoutReport& report);
// Every layout's result as one JSON document.
std::string format_json(const std::vector<Target>& targets, const std::vector<LayoutReport>& reports);
// One page that needs nothing from elsewhere: for each layout the keyboard
// drawn as SVG, coloured by state, and the Markdown table's rows (`all`:
// of every key, else of those that differ).
std::string format_html(const std::vector<Target>& targets, const std::vector<LayoutReport>& reports, bool all);
