// Typing through XTEST, and the keymap the keys are read through.
#include <X11/XKBlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <thread>

#include "xtest_keyboard.h"

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
    Keyboard keyboard = x_keyboard(conn);
    std::size_t sent = 0;
    for (KeySym sym : keys) {
        const KeyCode code = XKeysymToKeycode(conn, sym);
        if (before_each) before_each(sent);
        sent += 2;
        stroke(keyboard, code, true);
        stroke(keyboard, code, false);
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

namespace {

// Keys that evdev keymaps define for modifiers alone and no keyboard has
// (ISO_Level3_Shift and Mode_switch): chosen only when no real key carries
// the symbol, as AltGr is the right Alt key on a real keyboard.
bool virtual_key(const XkbDescPtr xkb, int code) {
    if (!xkb->names || !xkb->names->keys) return false;
    const std::string name(xkb->names->keys[code].name, strnlen(xkb->names->keys[code].name, XkbKeyNameLength));
    return name == "LVL3" || name == "MDSW";
}

Display* display_of(void* self) { return static_cast<Display*>(self); }

bool read_levels(void* self, LevelTable& table) {
    Display* conn = display_of(self);
    XkbDescPtr xkb = XkbGetMap(conn, XkbAllClientInfoMask, XkbUseCoreKbd);
    if (!xkb) return false;
    XkbGetNames(conn, XkbKeyNamesMask, xkb);
    XkbStateRec state{};
    XkbGetState(conn, XkbUseCoreKbd, &state);
    const unsigned locked = state.locked_mods & ~static_cast<unsigned>(LockMask);
    const unsigned level3 = XkbKeysymToModifiers(conn, XK_ISO_Level3_Shift);
    const unsigned masks[level_count] = {0, ShiftMask, level3, ShiftMask | level3};
    table = LevelTable{};
    for (int code = xkb->min_key_code; code <= xkb->max_key_code && code < 256; ++code) {
        KeyLevels& key = table[static_cast<std::size_t>(code)];
        key.virtual_key = virtual_key(xkb, code);
        for (int level = 0; level < level_count; ++level) {
            if (level3 == 0 && level >= altgr) break;
            unsigned consumed = 0;
            KeySym got = NoSymbol;
            if (XkbTranslateKeyCode(xkb, static_cast<KeyCode>(code), locked | masks[level], &consumed, &got)) {
                key.syms[static_cast<std::size_t>(level)] = static_cast<xkb_keysym_t>(got);
            }
        }
    }
    XkbFreeKeyboard(xkb, 0, True);
    return true;
}

void send_key(void* self, xkb_keycode_t code, bool press, bool more) {
    Display* conn = display_of(self);
    XTestFakeKeyEvent(conn, code, press ? True : False, CurrentTime);
    if (!more) XFlush(conn);
}

xkb_keycode_t bind_spare(void* self, xkb_keysym_t sym, std::string&) {
    return bind_spare_keycode(display_of(self), sym);
}

std::string unbind(void* self, xkb_keycode_t code) {
    bind_keycode(display_of(self), static_cast<KeyCode>(code), {});
    return "";
}

unsigned lock_mask(void* self, Lock lock) {
    return lock == Lock::caps ? LockMask : XkbKeysymToModifiers(display_of(self), XK_Num_Lock);
}

unsigned locks(void* self) {
    XkbStateRec state{};
    XkbGetState(display_of(self), XkbUseCoreKbd, &state);
    return state.locked_mods;
}

void set_locks(void* self, unsigned mask) {
    Display* conn = display_of(self);
    XkbLockModifiers(conn, XkbUseCoreKbd, 0xff, mask & 0xff);
    XSync(conn, False);
}

void sync(void* self) { XSync(display_of(self), False); }

constexpr KeyboardOps x_keyboard_ops = {read_levels, send_key, bind_spare, unbind, lock_mask, locks, set_locks, sync};

}  // namespace

Keyboard x_keyboard(Display* conn) { return Keyboard{&x_keyboard_ops, conn, {}}; }
