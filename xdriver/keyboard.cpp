// Typing through XTEST, and the keymap the keys are read through.
#include <X11/XKBlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <thread>

#include "keyboard.h"
#include "xdriver_internal.h"

std::vector<Stroke> taps(const std::vector<KeySym>& keys) {
    std::vector<Stroke> strokes;
    strokes.reserve(keys.size() * 2);
    for (KeySym sym : keys) strokes.push_back({sym, true}), strokes.push_back({sym, false});
    return strokes;
}

void send_strokes(Display* conn, const std::vector<Stroke>& strokes, std::size_t per_round_trip) {
    const KeyCode shift = XKeysymToKeycode(conn, XK_Shift_L);
    std::size_t sent = 0;
    for (const Stroke& stroke : strokes) {
        const KeyCode code = XKeysymToKeycode(conn, stroke.sym);
        const bool shifted = code != 0 && XkbKeycodeToKeysym(conn, code, 0, 0) != stroke.sym &&
                             XkbKeycodeToKeysym(conn, code, 0, 1) == stroke.sym;
        if (shifted && stroke.press) XTestFakeKeyEvent(conn, shift, True, CurrentTime);
        XTestFakeKeyEvent(conn, code, stroke.press ? True : False, CurrentTime);
        if (shifted && !stroke.press) XTestFakeKeyEvent(conn, shift, False, CurrentTime);
        if (per_round_trip && ++sent % per_round_trip == 0) XSync(conn, False);
    }
    XSync(conn, False);
}

void paced_stroke(Display* conn, KeyPacing& pacing, KeyCode code, bool press) {
    if (press) std::this_thread::sleep_until(pacing.released[code] + milliseconds(3));
    XTestFakeKeyEvent(conn, code, press ? True : False, CurrentTime);
    XSync(conn, False);
    if (!press) pacing.released[code] = Clock::now();
}

void refresh_keymap(Display* conn) {
    XSync(conn, False);
    while (XPending(conn)) {
        XEvent event;
        XNextEvent(conn, &event);
        if (event.type == MappingNotify) XRefreshKeyboardMapping(&event.xmapping);
    }
}

std::vector<KeySym> keycode_symbols(Display* conn, KeyCode code) {
    int per_code = 0;
    KeySym* map = XGetKeyboardMapping(conn, code, 1, &per_code);
    std::vector<KeySym> syms(map, map + per_code);
    XFree(map);
    while (!syms.empty() && syms.back() == NoSymbol) syms.pop_back();
    return syms;
}

void bind_keycode(Display* conn, KeyCode code, std::vector<KeySym> syms) {
    if (syms.empty()) syms.push_back(NoSymbol);
    XChangeKeyboardMapping(conn, code, static_cast<int>(syms.size()), syms.data(), 1);
    refresh_keymap(conn);
}

std::vector<KeySym> burst_keys(std::size_t count) {
    std::vector<KeySym> keys;
    keys.reserve(count);
    for (std::size_t i = 0; i < count; ++i) keys.push_back(static_cast<KeySym>(burst_cycle[i % burst_cycle.size()]));
    return keys;
}

void send_burst(Display* conn, const std::vector<KeySym>& keys,
                const std::function<void(std::size_t)>& before_each) {
    KeyPacing pacing;
    std::size_t sent = 0;
    for (KeySym sym : keys) {
        const KeyCode code = XKeysymToKeycode(conn, sym);
        if (before_each) before_each(sent);
        sent += 2;
        paced_stroke(conn, pacing, code, true);
        paced_stroke(conn, pacing, code, false);
    }
}

void send_spaced_burst(Display* conn, const std::vector<KeySym>& keys, std::size_t per_round_trip) {
    std::array<Clock::time_point, 256> synced_release{};  // when a key's release was known to be in
    std::vector<KeyCode> unsynced;
    std::size_t pending = 0;
    auto sync = [&] {
        XSync(conn, False);
        const auto now = Clock::now();
        for (KeyCode code : unsynced) synced_release[code] = now;
        unsynced.clear();
        pending = 0;
    };
    for (KeySym sym : keys) {
        const KeyCode code = XKeysymToKeycode(conn, sym);
        if (std::find(unsynced.begin(), unsynced.end(), code) != unsynced.end()) sync();
        std::this_thread::sleep_until(synced_release[code] + milliseconds(3));
        for (bool press : {true, false}) {
            XTestFakeKeyEvent(conn, code, press ? True : False, CurrentTime);
            if (++pending == per_round_trip) sync();
        }
        unsynced.push_back(code);
    }
    sync();
}

KeyCode bind_spare_keycode(Display* conn, KeySym sym) {
    int low, high;
    XDisplayKeycodes(conn, &low, &high);
    for (int code = high; code >= low; --code) {
        if (keycode_symbols(conn, static_cast<KeyCode>(code)).empty()) {
            bind_keycode(conn, static_cast<KeyCode>(code), {sym, sym});
            return static_cast<KeyCode>(code);
        }
    }
    return 0;
}

std::string parse_key_spec(const std::string& text, KeySpec& spec) {
    static const struct {
        const char* alias;
        KeySym sym;
    } aliases[] = {{"shift", XK_Shift_L}, {"ctrl", XK_Control_L}, {"control", XK_Control_L},
                   {"alt", XK_Alt_L},     {"altgr", XK_ISO_Level3_Shift}, {"super", XK_Super_L},
                   {"meta", XK_Meta_L}};
    spec = KeySpec{text, {}, NoSymbol};
    std::size_t start = 0;
    for (;;) {
        const std::size_t plus = text.find('+', start);
        const std::string part = text.substr(start, plus == std::string::npos ? std::string::npos : plus - start);
        const bool last = plus == std::string::npos;
        KeySym sym = part.empty() ? NoSymbol : XStringToKeysym(part.c_str());
        if (!last && sym == NoSymbol) {
            for (const auto& a : aliases) {
                if (strcasecmp(part.c_str(), a.alias) == 0) sym = a.sym;
            }
        }
        if (sym == NoSymbol) return "unknown keysym '" + part + "' in '" + text + "'";
        if (last) {
            spec.sym = sym;
            return "";
        }
        spec.modifiers.push_back(sym);
        start = plus + 1;
    }
}

namespace {

struct KeyPlace {
    KeyCode code = 0;
    unsigned extra = 0;  // ShiftMask and the AltGr modifier the level needs
};

// Keys that evdev keymaps define for modifiers alone and no keyboard has
// (ISO_Level3_Shift and Mode_switch): chosen only when no real key carries
// the symbol, as AltGr is the right Alt key on a real keyboard.
bool virtual_key(const XkbDescPtr xkb, int code) {
    if (!xkb->names || !xkb->names->keys) return false;
    const std::string name(xkb->names->keys[code].name, strnlen(xkb->names->keys[code].name, XkbKeyNameLength));
    return name == "LVL3" || name == "MDSW";
}

// Finds the key that gives `sym` in group 1 of the server's keymap with the
// fewest added modifiers, in the current Num Lock (and other lock) state but
// without Caps Lock, which is left to act on the key as it would for a person.
bool find_key(Display* conn, KeySym sym, unsigned level3, KeyPlace& place) {
    XkbDescPtr xkb = XkbGetMap(conn, XkbAllClientInfoMask, XkbUseCoreKbd);
    if (!xkb) return false;
    XkbGetNames(conn, XkbKeyNamesMask, xkb);
    XkbStateRec state{};
    XkbGetState(conn, XkbUseCoreKbd, &state);
    const unsigned locked = state.locked_mods & ~static_cast<unsigned>(LockMask);
    std::vector<unsigned> extras = {0, ShiftMask};
    if (level3 != 0) extras.insert(extras.end(), {level3, ShiftMask | level3});
    bool found = false;
    for (unsigned extra : extras) {
        for (int code = xkb->min_key_code; code <= xkb->max_key_code; ++code) {
            unsigned consumed = 0;
            KeySym got = NoSymbol;
            if (!XkbTranslateKeyCode(xkb, static_cast<KeyCode>(code), locked | extra, &consumed, &got) || got != sym) {
                continue;
            }
            if (!found || virtual_key(xkb, place.code)) place = {static_cast<KeyCode>(code), extra};
            found = true;
        }
        if (found) break;
    }
    XkbFreeKeyboard(xkb, 0, True);
    return found;
}

}  // namespace

std::string type_key(Display* conn, KeyPacing& pacing, const KeySpec& spec, TypedKey& typed,
                     const std::function<void()>& after, const std::function<void()>& held_down) {
    typed = TypedKey{};
    const unsigned level3 = XkbKeysymToModifiers(conn, XK_ISO_Level3_Shift);
    std::vector<KeyCode>& held = typed.pressed;
    const auto hold = [&](KeyCode code) {
        if (std::find(held.begin(), held.end(), code) == held.end()) held.push_back(code);
    };
    // Holds the modifiers the level of `place` needs; "" or what is missing.
    const auto hold_level = [&](const KeyPlace& place) -> std::string {
        for (const auto& [mask, sym] : {std::pair{unsigned(ShiftMask), KeySym(XK_Shift_L)}, std::pair{level3, KeySym(XK_ISO_Level3_Shift)}}) {
            if (mask == 0 || !(place.extra & mask)) continue;
            KeyPlace at;
            if (!find_key(conn, sym, level3, at) || at.extra != 0) {
                return std::string("the layout has no key for ") + XKeysymToString(sym);
            }
            hold(at.code);
        }
        return "";
    };
    for (KeySym modifier : spec.modifiers) {
        KeyPlace place;
        if (!find_key(conn, modifier, level3, place)) {
            return std::string("the layout has no key for the modifier ") + XKeysymToString(modifier);
        }
        if (const std::string missing = hold_level(place); !missing.empty()) return missing;
        hold(place.code);
    }
    KeyPlace place;
    if (find_key(conn, spec.sym, level3, place)) {
        typed.code = place.code;
        if (place.extra & ShiftMask) typed.added.push_back(XK_Shift_L);
        if (place.extra & level3) typed.added.push_back(XK_ISO_Level3_Shift);
        if (const std::string missing = hold_level(place); !missing.empty()) return missing;
    } else {
        typed.code = bind_spare_keycode(conn, spec.sym);
        typed.spare = true;
        if (typed.code == 0) return "no spare keycode is left to bind " + spec.text + " on";
    }
    const std::size_t modifiers = held.size();
    for (std::size_t i = 0; i < modifiers; ++i) paced_stroke(conn, pacing, held[i], true);
    if (held_down && modifiers) held_down();
    paced_stroke(conn, pacing, typed.code, true);
    paced_stroke(conn, pacing, typed.code, false);
    for (std::size_t i = modifiers; i-- > 0;) paced_stroke(conn, pacing, held[i], false);
    held.push_back(typed.code);
    if (after) after();
    if (typed.spare) bind_keycode(conn, typed.code, {});
    return "";
}
