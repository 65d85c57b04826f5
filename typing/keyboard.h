// Typing a key into whatever has the focus, written once over a narrow
// backend that each session supplies: XTEST on an X server, the virtual
// keyboard protocol on a Wayland compositor.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "clock.h"
#include "keys.h"

// The levels of group 1 a key is looked up on, by the modifiers they need.
enum Level : int { plain, shifted, altgr, shifted_altgr, level_count };

// What one keycode gives on each level, in the lock state of the moment but
// with Caps Lock off (it is left to act as it would for a person).
struct KeyLevels {
    std::array<xkb_keysym_t, level_count> syms{};  // NoSymbol where none
    // A key evdev keymaps define for modifiers alone and no keyboard has
    // (<LVL3>, <MDSW>): chosen only when no real key gives the symbol.
    bool virtual_key = false;
};
// Indexed by keycode, 0 to 255.
using LevelTable = std::array<KeyLevels, 256>;

enum class Lock { caps, num };

// A backend: a record of operations on its own state `self`.
struct KeyboardOps {
    // Fills the table from the keymap and lock state of the moment (the
    // AltGr levels stay empty when the keymap has no AltGr modifier).
    // False when the keymap cannot be read.
    bool (*read_levels)(void* self, LevelTable& table);
    // Presses or releases a key, and returns once the server has taken it;
    // with `more`, the stroke may wait to go out with the next one.
    void (*send_key)(void* self, xkb_keycode_t code, bool press, bool more);
    // Binds `sym` on a keycode that has no symbols and returns it; 0 when
    // none is left, with `error` saying why.
    xkb_keycode_t (*bind_spare)(void* self, xkb_keysym_t sym, std::string& error);
    // Takes the binding away again. "" or what went wrong.
    std::string (*unbind)(void* self, xkb_keycode_t code);
    // The modifier `lock` locks, as `locks` gives it (0 when the keymap has none).
    unsigned (*lock_mask)(void* self, Lock lock);
    // The locked modifiers of the moment, as a mask: the levels read last
    // hold while it is the same and the keymap has not changed.
    unsigned (*locks)(void* self);
    // Every key up, the locked modifiers `mask` (as `locks` gives them),
    // and the server told so.
    void (*set_locks)(void* self, unsigned mask);
    // Returns once the server has taken every key sent so far.
    void (*sync)(void* self);
};

// A keyboard to type on: its backend, and when the server had taken each
// key's last release.
struct Keyboard {
    const KeyboardOps* ops = nullptr;
    void* self = nullptr;
    std::array<Clock::time_point, 256> released{};
    std::vector<xkb_keycode_t> unsynced{};  // released, and not known to be taken yet
    // The levels last read, and the locks they were read under.
    LevelTable levels{};
    unsigned levels_locks = 0;
    bool levels_read = false;
    // The locks as last asked, while no key has gone down or up since and
    // nothing set them (asking the server is a round trip).
    unsigned known_locks = 0;
    bool locks_known = false;
};
// Says that the keymap has changed (a layout loaded): the levels are read again.
void keymap_changed(Keyboard& keyboard);

// The SDL2-based runtime drops a release when a press of the same key less
// than 2 ms later is already queued, taking the two for an auto-repeat: a
// key goes down again no sooner than 3 ms after the server took its
// release. The server stamps the events as it takes them, and a busy one
// takes a release late: the 3 ms count from a sync that followed it.
// `Send::with_next` lets the stroke go out with the next one, in one write:
// the next stroke must follow at once, with nothing waited for between.
enum class Send { now, with_next };
void stroke(Keyboard& keyboard, xkb_keycode_t code, bool press, Send send = Send::now);
// Waits until `code` may go down again (stroke does, before a press).
void pace_press(Keyboard& keyboard, xkb_keycode_t code);

// The key that gives `sym` with no modifier, a real key before one no
// keyboard has; 0 if none.
xkb_keycode_t keycode_of(Keyboard& keyboard, xkb_keysym_t sym);
bool locked(Keyboard& keyboard, Lock lock);
// No lock on, every key up.
void reset_locks(Keyboard& keyboard);
// The locked modifiers of the moment, and setting them back.
unsigned locks(Keyboard& keyboard);
void set_locks(Keyboard& keyboard, unsigned mask);

// What type_key does between its strokes. `pressed(done, presses)` runs
// after each press (`done` of `presses`: the modifiers, then the key), and
// stops the typing there by returning false: whatever is down goes up at
// once and `after` does not run. `after` runs once every key is up again.
struct TypingHooks {
    std::function<bool(std::size_t done, std::size_t presses)> pressed;
    std::function<void()> after;
};

// Types one key: holds its modifiers, presses and releases it, lets the
// modifiers go. The key and each modifier are looked up in group 1 at the
// level their symbol sits on, in the current Num Lock state, and the
// modifiers that level needs are held too (Meta_L is Shift+Alt on us: Shift
// is held, then Alt); Caps Lock is left to act. A symbol the keymap does not
// have is bound on a spare keycode, typed, and unbound once the hooks have
// run (as a typing tool such as xdotool does). typed.pressed lists every
// key it presses, the key itself last, before the first goes down.
// Returns "" or what went wrong.
[[nodiscard]] std::string type_key(Keyboard& keyboard, const KeySpec& spec, TypedKey& typed, const TypingHooks& hooks = {});
