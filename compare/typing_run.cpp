// Typing a key sequence into keymon and reading back each key's report lines.
#include "typing_run.h"

#include <signal.h>
#include <sys/syscall.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>

#include "files.h"
#include "interface.h"
#include "phases.h"
#include "report_records.h"
#include "runtime.h"
#include "stack.h"

namespace {

// The key whose two lines end a key's lines: the monitor reports it after
// everything typed before it. A modifier, because Xlib's compose handling
// lets modifiers pass through a pending dead key without ending it; and
// never a key the key typed pressed, whose own lines it would otherwise take
// for its own.
struct Marker {
    xkb_keysym_t sym;
    const char* reported;  // keymon's name for it
};
constexpr Marker markers[] = {{XKB_KEY_Shift_R, "SDLK_RSHIFT"}, {XKB_KEY_Control_R, "SDLK_RCTRL"},
                              {XKB_KEY_Shift_L, "SDLK_LSHIFT"}, {XKB_KEY_Control_L, "SDLK_LCTRL"}};
constexpr std::size_t marker_count = std::size(markers);

// The markers' keycodes under the layout of the run (0: the layout has none).
using MarkerCodes = std::array<xkb_keycode_t, marker_count>;

// The first marker on none of the keycodes `pressed`, other than the last
// key's if another will do: a key pressed again within 3 ms of its release
// waits out the rest of them (see `stroke`), and every key taps a marker.
std::size_t marker_for(const MarkerCodes& codes, const std::vector<xkb_keycode_t>& pressed, std::size_t last) {
    std::size_t found = marker_count;
    for (std::size_t m = 0; m < marker_count; ++m) {
        if (codes[m] == 0 || std::find(pressed.begin(), pressed.end(), codes[m]) != pressed.end()) continue;
        if (m != last) return m;
        if (found == marker_count) found = m;
    }
    return found == marker_count ? 0 : found;  // only a key that presses all four gets here
}

bool is_marker_record(const std::string& record, const Marker& marker) {
    const std::size_t length = std::char_traits<char>::length(marker.reported);
    return record.compare(0, length, marker.reported) == 0 && record.size() > length && record[length] == ' ';
}

// A key's records: those after its start, but for the marker's last two.
std::vector<std::string> key_records(const std::string& out, std::size_t from, const Marker& marker) {
    std::vector<std::string> records = read_records(out, from);
    int dropped = 0;
    for (auto at = records.end(); at != records.begin() && dropped < 2;) {
        --at;
        if (is_marker_record(*at, marker)) at = records.erase(at), ++dropped;
    }
    return records;
}

bool dead_key(xkb_keysym_t sym) { return sym >= XKB_KEY_dead_grave && sym <= 0xfe8f; }

// The state a person would need to know to read a key's lines: a dead key
// or a compose sequence it continues, the locks.
std::string typing_context(Keyboard& keyboard, const KeyComparison* previous, const KeyComparison* before) {
    std::vector<std::string> parts;
    if (previous && dead_key(previous->spec.sym)) parts.push_back("after " + previous->spec.text);
    if (previous && previous->spec.sym == XKB_KEY_Multi_key) parts.push_back("after Multi_key");
    if (before && previous && before->spec.sym == XKB_KEY_Multi_key) parts.push_back("after Multi_key " + previous->spec.text);
    if (locked(keyboard, Lock::caps)) parts.push_back("Caps Lock on");
    if (locked(keyboard, Lock::num)) parts.push_back("Num Lock on");
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
    return text;
}

}  // namespace

namespace {

// keymon as it runs: the child started, and the process that owns its
// window (the child itself, or the keymon a wrapper script started).
struct Monitor {
    std::unique_ptr<Child> child = std::make_unique<Child>();
    pid_t owner = -1;
    Fd owner_call;  // the owner's /proc/PID/syscall, once looked at
};

// keymon's main thread blocked in its idle wait: it has taken every event
// that reached it, and neither an Escape press nor a quit request is among
// them (it never waits once one is).
bool idle(Monitor& keymon) {
    if (!keymon.owner_call) keymon.owner_call = open_blocked_call(keymon.owner);
    BlockedCall call;
    if (!blocked_call(keymon.owner_call, call)) return false;
#ifdef SYS_poll
    if (call.number != SYS_poll) return false;
    return (call.args[1] == 1 && call.args[2] == keymon_idle_wait_ms) ||
           (call.args[0] == 0 && call.args[1] == 0 && call.args[2] == keymon_idle_nap_ms);
#else
    return call.number == SYS_ppoll && call.args[1] <= 1;
#endif
}

enum class Settled { went_on, ended, stuck };

// Once keymon has taken what it was sent: whether it went on (back in its
// idle wait) or ended. A keymon that took an Escape press ends without any
// further input, so until one of the two holds it is still working through
// its events; `limit` only bounds a keymon that hangs.
// The step between looks grows: a keymon that is not idle at once is
// mostly one that waits for a processor, and looking every millisecond
// would take processor time from it and from the other jobs.
Settled settle(Monitor& keymon, milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    milliseconds step{1};
    for (;;) {
        if (child_exited(*keymon.child, milliseconds(0))) return Settled::ended;
        if (idle(keymon)) return Settled::went_on;
        if (Clock::now() >= deadline) return Settled::stuck;
        child_exited(*keymon.child, step);  // returns at once if it ends
        step = std::min(step * 2, milliseconds(8));
    }
}

constexpr milliseconds hang_limit{15000};

// Waits until `done(output)` holds (true), or keymon has ended, or keymon
// waits idle once the keys sent have had `allowance` to reach it (false:
// it reported nothing for them). Nothing tells when a key has reached
// keymon but keymon's own lines: an X server may hold a busy client's
// events back while it answers another, a compositor and Xwayland pass
// them on in their own time. So the allowance decides only for keys keymon
// does not report at all; `hang_limit` bounds a keymon that hangs.
bool await_output(Monitor& keymon, const std::function<bool(const std::string&)>& done, milliseconds allowance) {
    const PhaseTimer timed{Phase::confirmation};
    const auto start = Clock::now();
    Child& child = *keymon.child;
    for (;;) {
        // Woken by each piece of output, and by keymon's end closing it.
        if (wait_output(child, done, milliseconds(10))) return true;
        const auto waited = Clock::now() - start;
        if (output_ended(child) || waited >= hang_limit) return false;
        // Ended, with the output held open by something it left behind.
        if (child_exited(child, milliseconds(0))) return wait_output(child, done, output_after_end);
        if (waited >= allowance && idle(keymon)) return false;
    }
}

// Once keymon has taken the keys just pressed: `lines` more lines after
// output offset `from` are in, or it has ended, or it reported nothing more.
void await_lines(Monitor& keymon, std::size_t from, std::size_t lines, milliseconds allowance) {
    await_output(keymon, [&](const std::string& out) {
        return out.size() >= from && read_records(out, from).size() >= lines;
    }, allowance);
}

// Taps the marker and waits for its two lines after output offset `from`:
// false when keymon ended first, or took the taps and did not report them.
bool confirm(Keyboard& keyboard, Monitor& keymon, const Marker& marker, xkb_keycode_t code, std::size_t from,
             milliseconds allowance = milliseconds(3000)) {
    if (code == 0) return false;
    stroke(keyboard, code, true, Send::with_next);
    stroke(keyboard, code, false);
    return await_output(keymon, [&](const std::string& out) {
        if (out.size() < from) return false;
        const std::vector<std::string> records = read_records(out, from);
        return std::count_if(records.begin(), records.end(), [&](const std::string& r) { return is_marker_record(r, marker); }) >= 2;
    }, allowance);
}

// keymon's standard error, as a message's tail.
std::string errors_of(Child& keymon) {
    std::string err = child_errors(keymon);
    while (!err.empty() && err.back() == '\n') err.pop_back();
    return err.empty() ? "" : " (keymon: " + err + ")";
}

// Reaps keymon, its processor time counted for the benchmark.
int reap_keymon(Child& keymon, milliseconds limit = milliseconds(15000)) {
    const int status = wait_child(keymon, limit);
    add_keymon_processor(keymon.processor);
    return status;
}

std::string failed(Child& keymon, const std::string& why) {
    kill(-keymon.pid, SIGKILL);
    reap_keymon(keymon);
    return why + errors_of(keymon);
}

// Starts keymon as `target`, waits for its window, checks the library it
// mapped, and waits for its first key. "" or what went wrong (keymon is
// ended then).
std::string start_keymon(Session& session, const Target& target, const std::string& keymon_path, const MarkerCodes& marker_codes,
                         Monitor& monitor, TargetRun& run) {
    const auto started = Clock::now();
    monitor = Monitor{};
    Child& keymon = *monitor.child;
    LaunchOptions options = session.launch;
    // SDL on Wayland draws only through OpenGL.
    const StackGraphics graphics = target.window == WindowKind::wayland ? StackGraphics::system_opengl : StackGraphics::software;
    launch_on(target.runtime, options, graphics);
    if (!target.video_driver.empty()) options.extra_env.push_back("SDL_VIDEODRIVER=" + target.video_driver);
    if (const std::string error = launch_child(keymon, keymon_path, options); !error.empty()) {
        return "keymon did not start: " + error;
    }
    const auto ended = [&] { return child_exited(keymon, milliseconds(0)); };
    const std::string not_found = session.ops->find_window(session.servers, target, keymon.pid, ended, monitor.owner);
    if (!not_found.empty()) {
        if (ended()) {
            const int status = reap_keymon(keymon);
            return "keymon ended " + (status < 0 ? std::string("on a signal") : "with status " + std::to_string(status)) +
                   " before it opened its window on the " + target.runtime.name + " runtime" + target.qualifier +
                   errors_of(keymon);
        }
        return failed(keymon, not_found);
    }
    run.library = mapped_sdl_library(monitor.owner);
    std::error_code unresolved;
    if (run.library.empty() || std::filesystem::canonical(run.library, unresolved) != target.runtime.identity.sdl12_file) {
        return failed(keymon, std::string("keymon did not load the ") + target.runtime.name + " runtime (it mapped '" +
                                  run.library + "')");
    }
    if (holds_stack(target.runtime.folder)) {
        // On a release's stack, every library keymon maps is the stack's own.
        std::string foreign;
        for (const std::string& object : foreign_objects(target.runtime.folder, mapped_objects(monitor.owner), graphics)) {
            foreign += (foreign.empty() ? "" : ", ") + object;
        }
        if (!foreign.empty()) {
            return failed(keymon, "keymon on the " + target.runtime.name + " stack mapped this system's " + foreign);
        }
    }
    // The first key that comes back shows the monitor is taking keys.
    if (!confirm(session.keyboard, monitor, markers[0], marker_codes[0], 0, milliseconds(10000))) {
        return failed(keymon, "keymon did not report a key");
    }
    add_time(Phase::keymon_start, Clock::now() - started);
    return "";
}

// Ends keymon with Escape and returns its exit status, -1 if it did not
// end. A compose sequence left pending (Multi_key, Multi_key a) takes the
// next key that does not continue it, Escape too, and drops it: while
// keymon goes on after an Escape, Escape goes down again, three times at
// most.
int end_with_escape(Keyboard& keyboard, Monitor& keymon, const MarkerCodes& marker_codes) {
    const xkb_keycode_t escape = keycode_of(keyboard, XKB_KEY_Escape);
    const std::size_t marker = marker_for(marker_codes, {escape}, marker_count);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const std::size_t from = child_output(*keymon.child).size();
        stroke(keyboard, escape, true);
        stroke(keyboard, escape, false);
        confirm(keyboard, keymon, markers[marker], marker_codes[marker], from);
        if (settle(keymon, hang_limit) != Settled::went_on) break;
    }
    return reap_keymon(*keymon.child, hang_limit);
}

// How one key is typed. `quick`: the key and its modifiers go down and up
// back to back and a marker closes its lines. `stepwise`: after each press
// keymon takes it before the next key goes down, and the typing stops at
// the press that ends keymon, so that what keymon reports before it ends
// is all that was sent before its end, whatever the timing; for a key
// that ended keymon when typed quickly.
enum class Typing { quick, stepwise };

enum class Outcome { went_on, ended, failed };

struct KeyTyping {
    Session& session;
    const MarkerCodes& marker_codes;
    std::size_t last_marker = 0;  // the marker the key before tapped
    unsigned locks = 0;  // the locked modifiers the last key was typed under
};

// Types `key` into keymon and fills `lines` with what keymon reported for
// it; says whether keymon went on or ended on it. `error` on a failure.
Outcome type_one(KeyTyping& typing, Monitor& keymon, const KeySpec& spec, Typing how, TargetLines& lines, std::string& error) {
    Keyboard& keyboard = typing.session.keyboard;
    Child& child = *keymon.child;
    const std::size_t from = child_output(child).size();
    lines.lines.clear();
    lines.ended_keymon = false;
    lines.answered = true;
    std::size_t seen = 0;  // stepwise: the lines in before the last press
    TypedKey typed;
    std::size_t marker = typing.last_marker;
    bool ended = false;
    TypingHooks hooks;
    hooks.pressed = [&](std::size_t done, std::size_t presses) {
        if (how == Typing::quick) {
            // The key goes down once keymon has taken its modifiers: the
            // SDL2-based runtime otherwise gives a key it cannot name (on a
            // spare keycode) to a modifier press still pending, or not, by
            // chance.
            if (done + 1 == presses && presses > 1) await_lines(keymon, from, done, milliseconds(300));
            return true;
        }
        await_lines(keymon, from, seen + 1, hang_limit);
        ended = settle(keymon, hang_limit) == Settled::ended;
        seen = read_records(child_output(child), from).size();
        return !ended;
    };
    hooks.after = [&] {
        marker = marker_for(typing.marker_codes, typed.pressed, typing.last_marker);
        lines.answered = confirm(keyboard, keymon, markers[marker], typing.marker_codes[marker], from);
    };
    if (const std::string typing_error = type_key(keyboard, spec, typed, hooks); !typing_error.empty()) {
        error = failed(child, spec.text + ": " + typing_error);
        return Outcome::failed;
    }
    typing.last_marker = marker;
    lines.code = typed.code;
    lines.spare = typed.spare;
    lines.added = typed.added;
    lines.typed = true;
    typing.locks = typed.locks;
    if (!ended) {
        const Settled settled = settle(keymon, hang_limit);
        if (settled == Settled::stuck) {
            error = failed(child, "keymon neither went on nor ended after " + spec.text);
            return Outcome::failed;
        }
        ended = settled == Settled::ended;
    }
    if (!ended) {
        lines.lines = key_records(child_output(child), from, markers[marker]);
        return Outcome::went_on;
    }
    // keymon ends on an Escape press: a runtime that reports this key as
    // Escape ended it. Its output is whole once it has ended.
    if (const int status = reap_keymon(child); status != 0) {
        error = "keymon ended with status " + std::to_string(status) + " after " + spec.text + errors_of(child);
        return Outcome::failed;
    }
    lines.lines = how == Typing::stepwise ? read_records(child_output(child), from)
                                          : key_records(child_output(child), from, markers[marker]);
    lines.ended_keymon = true;
    lines.answered = true;
    return Outcome::ended;
}

}  // namespace

std::string type_into_keymon(Session& session, const Target& target, std::size_t index, const std::string& keymon_path,
                             std::vector<KeyComparison>& keys, TargetRun& run) {
    Keyboard& keyboard = session.keyboard;
    // Every target starts from the same keyboard: no lock left on.
    reset_locks(keyboard);
    // The layout's markers, looked up once: typing binds nothing on them.
    MarkerCodes marker_codes{};
    for (std::size_t m = 0; m < marker_count; ++m) marker_codes[m] = keycode_of(keyboard, markers[m].sym);

    Monitor keymon;
    if (std::string error = start_keymon(session, target, keymon_path, marker_codes, keymon, run); !error.empty()) return error;
    const auto typing_start = Clock::now();
    const KeyComparison* previous = nullptr;
    KeyTyping typing{session, marker_codes};
    for (std::size_t k = 0; k < keys.size(); ++k) {
        KeyComparison& key = keys[k];
        key.by_target.resize(std::max(key.by_target.size(), index + 1));
        TargetLines& lines = key.by_target[index];
        lines.context = typing_context(keyboard, previous, k >= 2 ? &keys[k - 2] : nullptr);
        previous = &key;
        std::string error;
        Outcome outcome = type_one(typing, keymon, key.spec, Typing::quick, lines, error);
        if (outcome == Outcome::ended) {
            // What keymon printed before it ended depends on how far it had
            // read: type the key again, step by step, into a fresh keymon
            // under the locks it was first typed under, and keep that.
            const unsigned locks_after = locks(keyboard);
            if (error = start_keymon(session, target, keymon_path, marker_codes, keymon, run); !error.empty()) return error;
            set_locks(keyboard, typing.locks);
            outcome = type_one(typing, keymon, key.spec, Typing::stepwise, lines, error);
            if (outcome == Outcome::ended) set_locks(keyboard, locks_after);
        }
        if (outcome == Outcome::failed) return error;
        // The key as the first of the run's targets typed it, whichever ran first.
        if (std::none_of(key.by_target.begin(), key.by_target.begin() + static_cast<std::ptrdiff_t>(index),
                         [](const TargetLines& other) { return other.typed; })) {
            key.code = lines.code, key.spare = lines.spare, key.context = lines.context, key.added = lines.added;
        }
        if (outcome == Outcome::went_on) continue;
        // The keys after it go to a fresh keymon.
        if (k + 1 == keys.size()) return "";
        if (error = start_keymon(session, target, keymon_path, marker_codes, keymon, run); !error.empty()) return error;
    }
    add_time(Phase::typing, Clock::now() - typing_start);
    const auto ending = Clock::now();
    const int status = end_with_escape(keyboard, keymon, marker_codes);
    add_time(Phase::keymon_end, Clock::now() - ending);
    if (status != 0) return "keymon ended with status " + std::to_string(status) + errors_of(*keymon.child);
    return "";
}
