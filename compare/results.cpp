#include "results.h"

#include <algorithm>

bool same_lines(const TargetLines& a, const TargetLines& b) { return a.lines == b.lines && a.ended_keymon == b.ended_keymon; }

bool KeyComparison::differs() const {
    return std::any_of(by_target.begin(), by_target.end(),
                       [&](const TargetLines& target) { return !same_lines(target, by_target.front()); });
}

std::size_t keys_differing(const std::vector<KeyComparison>& keys) {
    return static_cast<std::size_t>(std::count_if(keys.begin(), keys.end(), [](const KeyComparison& key) { return key.differs(); }));
}

ReportList report_list(const std::vector<LayoutReport>& reports) {
    ReportList list;
    for (const LayoutReport& report : reports) list.push_back(&report);
    return list;
}

std::vector<std::string> target_libraries(std::size_t targets, const ReportList& reports) {
    std::vector<std::string> libraries(targets);
    for (std::size_t t = 0; t < targets; ++t) {
        for (const LayoutReport* report : reports) {
            if (t < report->runs.size() && !report->runs[t].library.empty()) {
                libraries[t] = report->runs[t].library;
                break;
            }
        }
    }
    return libraries;
}

const char* key_state_name(KeyState state) {
    switch (state) {
    case KeyState::agree: return "agree";
    case KeyState::differ: return "differ";
    case KeyState::missing: return "missing";
    case KeyState::untyped: break;
    }
    return "untyped";
}

KeyState physical_key_state(const std::vector<KeyComparison>& keys, xkb_keycode_t code) {
    KeyState state = KeyState::untyped;
    for (const KeyComparison& key : keys) {
        if (key.spare || key.code != code || code == 0) continue;
        const auto silent = [](const TargetLines& target) { return target.lines.empty(); };
        const bool some_silent = std::any_of(key.by_target.begin(), key.by_target.end(), silent);
        if (some_silent && !std::all_of(key.by_target.begin(), key.by_target.end(), silent)) return KeyState::missing;
        if (key.differs()) state = KeyState::differ;
        else if (state == KeyState::untyped) state = KeyState::agree;
    }
    return state;
}
