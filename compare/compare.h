// keymon-compare: the same keys typed into keymon on both SDL 1.2 runtimes.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "keyboard.h"
#include "monitor.h"
#include "xserver.h"

// What one key gave on one runtime: keymon's report lines for it, each
// without its "ITEM_ID_XY " tag and its trailing blank and newline.
struct KeyReport {
    std::vector<std::string> lines;
    bool answered = true;  // false: the monitor did not confirm the key in time
};

struct KeyResult {
    KeySpec spec;
    bool spare = false;  // typed on a spare keycode bound for the moment
    std::string context;  // what the key was typed after: a dead key, locks on
    KeyReport runtimes[2];  // classic, then the SDL2-based runtime
    bool differs() const;
};

// The built-in set: every class of key (letters with and without Shift,
// digits, punctuation, editing keys, the keypad without and with Num Lock,
// F1-F12, arrows and navigation, every modifier, Caps Lock, a dead key and
// a letter, AltGr), then the keys of the current layout (group 1, with and
// without Shift) that give a character outside ASCII.
std::vector<std::string> builtin_keys(Display* conn);

// Runs keymon on `runtime` in the server, types every key, ends the run
// with Escape. Fills runtimes[index of runtime] of each result and, for
// the first runtime, `spare`. `started` is told keymon's process id, and -1
// once it has ended; both under `children`. Returns "" or what went wrong.
std::string type_into_keymon(XServer& server, const std::string& keymon, Runtime runtime,
                             std::vector<KeyResult>& results, std::string& library,
                             const std::function<void(pid_t)>& started, std::mutex& children);

// The report as text (side by side, "!" on the rows that differ) or as a
// Markdown table; `all` shows the keys that agree too.
std::string format_text(const std::vector<KeyResult>& results, bool all);
std::string format_markdown(const std::vector<KeyResult>& results, bool all);
std::string format_summary(const std::vector<KeyResult>& results, const std::string& layout);
