#include "keyboard.h"

#include <algorithm>
#include <thread>

namespace {

struct KeyPlace {
    xkb_keycode_t code = 0;
    int level = plain;
};

// The key that gives `sym` on the lowest level that any key gives it on:
// the fewest modifiers added; a real key before a virtual one.
bool find_key(const LevelTable& table, xkb_keysym_t sym, KeyPlace& place) {
    for (int level = plain; level < level_count; ++level) {
        bool found = false;
        for (xkb_keycode_t code = 0; code < table.size(); ++code) {
            if (sym == XKB_KEY_NoSymbol || table[code].syms[level] != sym) continue;
            if (!found || table[place.code].virtual_key) place = {code, level};
            found = true;
        }
        if (found) return true;
    }
    return false;
}

bool has_shift(int level) { return level == shifted || level == shifted_altgr; }
bool has_altgr(int level) { return level == altgr || level == shifted_altgr; }

// The levels of the keymap and locks of the moment: read again only when
// the locks or the keymap have changed since.
const LevelTable* current_levels(Keyboard& keyboard) {
    const unsigned locks = ::locks(keyboard);
    if (!keyboard.levels_read || locks != keyboard.levels_locks) {
        keyboard.levels_read = keyboard.ops->read_levels(keyboard.self, keyboard.levels);
        keyboard.levels_locks = locks;
    }
    return keyboard.levels_read ? &keyboard.levels : nullptr;
}

}  // namespace

void keymap_changed(Keyboard& keyboard) {
    keyboard.levels_read = false;
    keyboard.locks_known = false;
}

void pace_press(Keyboard& keyboard, xkb_keycode_t code) {
    std::vector<xkb_keycode_t>& unsynced = keyboard.unsynced;
    if (std::find(unsynced.begin(), unsynced.end(), code) != unsynced.end()) {
        keyboard.ops->sync(keyboard.self);
        const auto now = Clock::now();
        for (xkb_keycode_t taken : unsynced) keyboard.released[taken] = now;
        unsynced.clear();
    }
    std::this_thread::sleep_until(keyboard.released[code] + milliseconds(3));
}

void stroke(Keyboard& keyboard, xkb_keycode_t code, bool press, Send send) {
    if (code > 255) return;
    if (press) pace_press(keyboard, code);
    keyboard.ops->send_key(keyboard.self, code, press, send == Send::with_next);
    keyboard.locks_known = false;
    std::vector<xkb_keycode_t>& unsynced = keyboard.unsynced;
    if (!press && std::find(unsynced.begin(), unsynced.end(), code) == unsynced.end()) unsynced.push_back(code);
}

xkb_keycode_t keycode_of(Keyboard& keyboard, xkb_keysym_t sym) {
    const LevelTable* table = current_levels(keyboard);
    KeyPlace place;
    if (!table || !find_key(*table, sym, place) || place.level != plain) return 0;
    return place.code;
}

bool locked(Keyboard& keyboard, Lock lock) { return (locks(keyboard) & keyboard.ops->lock_mask(keyboard.self, lock)) != 0; }

void reset_locks(Keyboard& keyboard) { set_locks(keyboard, 0); }

unsigned locks(Keyboard& keyboard) {
    if (!keyboard.locks_known) {
        keyboard.known_locks = keyboard.ops->locks(keyboard.self);
        keyboard.locks_known = true;
    }
    return keyboard.known_locks;
}

void set_locks(Keyboard& keyboard, unsigned mask) {
    keyboard.ops->set_locks(keyboard.self, mask);
    keyboard.locks_known = false;
}

std::string type_key(Keyboard& keyboard, const KeySpec& spec, TypedKey& typed, const TypingHooks& hooks) {
    typed = TypedKey{};
    const LevelTable* levels = current_levels(keyboard);
    if (!levels) return "the keymap cannot be read";
    typed.locks = keyboard.levels_locks;
    const LevelTable& table = *levels;
    std::vector<xkb_keycode_t>& held = typed.pressed;
    const auto hold = [&](xkb_keycode_t code) {
        if (std::find(held.begin(), held.end(), code) == held.end()) held.push_back(code);
    };
    // Holds the modifiers the level of `place` needs; "" or what is missing.
    const auto hold_level = [&](const KeyPlace& place) -> std::string {
        for (const auto& [needed, sym] : {std::pair{has_shift(place.level), xkb_keysym_t(XKB_KEY_Shift_L)},
                                          std::pair{has_altgr(place.level), xkb_keysym_t(XKB_KEY_ISO_Level3_Shift)}}) {
            if (!needed) continue;
            KeyPlace at;
            if (!find_key(table, sym, at) || at.level != plain) return "the layout has no key for " + keysym_name(sym);
            hold(at.code);
        }
        return "";
    };
    for (xkb_keysym_t modifier : spec.modifiers) {
        KeyPlace place;
        if (!find_key(table, modifier, place)) return "the layout has no key for the modifier " + keysym_name(modifier);
        if (const std::string missing = hold_level(place); !missing.empty()) return missing;
        hold(place.code);
    }
    KeyPlace place;
    if (find_key(table, spec.sym, place)) {
        typed.code = place.code;
        if (has_shift(place.level)) typed.added.push_back(XKB_KEY_Shift_L);
        if (has_altgr(place.level)) typed.added.push_back(XKB_KEY_ISO_Level3_Shift);
        if (const std::string missing = hold_level(place); !missing.empty()) return missing;
    } else {
        std::string error;
        keymap_changed(keyboard);
        typed.code = keyboard.ops->bind_spare(keyboard.self, spec.sym, error);
        if (typed.code == 0) return error.empty() ? "no spare keycode is left to bind " + spec.text + " on" : error;
        typed.spare = true;
    }
    held.push_back(typed.code);
    const std::size_t presses = held.size();
    std::size_t down = 0;
    bool going_on = true;
    while (going_on && down < presses) {
        stroke(keyboard, held[down], true);
        ++down;
        if (hooks.pressed) going_on = hooks.pressed(down, presses);
    }
    // The releases go out together, with the first stroke of `after`.
    const bool after = going_on && hooks.after;
    while (down > 0) {
        --down;
        stroke(keyboard, held[down], false, down > 0 || after ? Send::with_next : Send::now);
    }
    if (after) hooks.after();
    if (typed.spare) {
        keymap_changed(keyboard);
        return keyboard.ops->unbind(keyboard.self, typed.code);
    }
    return "";
}
