// Typing a key sequence into keymon and reading back each key's report lines.
#include "typing_run.h"

#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "phases.h"
#include "report_records.h"
#include "runtime.h"

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

// Taps the marker and waits, at most `limit`, for its two lines after
// output offset `from`.
bool confirm(Keyboard& keyboard, Child& keymon, const Marker& marker, xkb_keycode_t code, std::size_t from, milliseconds limit) {
    if (code == 0) return false;
    stroke(keyboard, code, true);
    stroke(keyboard, code, false);
    const PhaseTimer timed{Phase::confirmation};
    return wait_output(keymon, [&](const std::string& out) {
        if (out.size() < from) return false;
        const std::vector<std::string> records = read_records(out, from);
        return std::count_if(records.begin(), records.end(), [&](const std::string& r) { return is_marker_record(r, marker); }) >= 2;
    }, limit);
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

// Ends keymon with Escape and returns its exit status, -1 if it did not end.
// A compose sequence left pending (Multi_key, Multi_key a) takes the next
// key that does not continue it, Escape too, and drops it: Escape goes down
// again, up to three times, until keymon has ended.
int end_with_escape(Keyboard& keyboard, Child& keymon) {
    const xkb_keycode_t escape = keycode_of(keyboard, XKB_KEY_Escape);
    for (int attempt = 0; attempt < 3; ++attempt) {
        stroke(keyboard, escape, true);
        const bool ended = child_exited(keymon, milliseconds(attempt < 2 ? 1000 : 15000));
        stroke(keyboard, escape, false);
        if (ended) break;
    }
    return wait_child(keymon, milliseconds(0));
}

}  // namespace

namespace {

// keymon's standard error, as a message's tail.
std::string errors_of(Child& keymon) {
    std::string err = child_errors(keymon);
    while (!err.empty() && err.back() == '\n') err.pop_back();
    return err.empty() ? "" : " (keymon: " + err + ")";
}

std::string failed(Child& keymon, const std::string& why) {
    kill(-keymon.pid, SIGKILL);
    wait_child(keymon);
    return why + errors_of(keymon);
}

// Starts keymon as `target`, waits for its window, checks the library it
// mapped, and waits for its first key. "" or what went wrong (keymon is
// ended then).
std::string start_keymon(Session& session, const Target& target, const std::string& keymon_path, const MarkerCodes& marker_codes,
                         Child& keymon, TargetRun& run) {
    const auto started = Clock::now();
    LaunchOptions options = session.launch;
    options.library_path = target.runtime.folder;
    if (!target.video_driver.empty()) options.extra_env.push_back("SDL_VIDEODRIVER=" + target.video_driver);
    if (const std::string error = launch_child(keymon, keymon_path, options); !error.empty()) {
        return "keymon did not start: " + error;
    }
    const auto ended = [&] { return child_exited(keymon, milliseconds(0)); };
    pid_t window_owner = -1;
    const std::string not_found = session.ops->find_window(session.servers, target, keymon.pid, ended, window_owner);
    if (!not_found.empty()) {
        if (ended()) {
            const int status = wait_child(keymon);
            return "keymon ended " + (status < 0 ? std::string("on a signal") : "with status " + std::to_string(status)) +
                   " before it opened its window on the " + target.runtime.name + " runtime" + target.qualifier +
                   errors_of(keymon);
        }
        return failed(keymon, not_found);
    }
    run.library = mapped_sdl_library(window_owner);
    std::error_code unresolved;
    if (run.library.empty() || std::filesystem::canonical(run.library, unresolved) != target.runtime.identity.sdl12_file) {
        return failed(keymon, std::string("keymon did not load the ") + target.runtime.name + " runtime (it mapped '" +
                                  run.library + "')");
    }
    // The first key that comes back shows the monitor is taking keys.
    if (!confirm(session.keyboard, keymon, markers[0], marker_codes[0], 0, milliseconds(10000))) {
        return failed(keymon, "keymon did not report a key");
    }
    add_time(Phase::keymon_start, Clock::now() - started);
    return "";
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

    auto keymon = std::make_unique<Child>();
    if (std::string error = start_keymon(session, target, keymon_path, marker_codes, *keymon, run); !error.empty()) return error;
    const auto typing_start = Clock::now();
    const KeyComparison* previous = nullptr;
    std::size_t marker = 0;
    for (std::size_t k = 0; k < keys.size(); ++k) {
        KeyComparison& key = keys[k];
        key.by_target.resize(std::max(key.by_target.size(), index + 1));
        TargetLines& lines = key.by_target[index];
        lines.context = typing_context(keyboard, previous, k >= 2 ? &keys[k - 2] : nullptr);
        previous = &key;
        const std::size_t from = child_output(*keymon).size();
        TypedKey typed;
        const std::size_t last = marker;
        // The key goes down once keymon has reported its modifiers: the
        // SDL2-based runtime otherwise gives a key it cannot name (on a spare
        // keycode) to a modifier press still pending, or not, by chance.
        const auto held = [&] {
            const std::size_t modifiers = typed.pressed.size();
            wait_output(*keymon, [&](const std::string& out) {
                return out.size() >= from && read_records(out, from).size() >= modifiers;
            }, milliseconds(300));
        };
        const std::string typing = type_key(keyboard, key.spec, typed, [&] {
            marker = marker_for(marker_codes, typed.pressed, last);
            lines.answered = confirm(keyboard, *keymon, markers[marker], marker_codes[marker], from, milliseconds(3000));
        }, held);
        if (!typing.empty()) return failed(*keymon, key.spec.text + ": " + typing);
        lines.code = typed.code;
        lines.spare = typed.spare;
        lines.lines = key_records(child_output(*keymon), from, markers[marker]);
        lines.typed = true;
        // The key as the first of the run's targets typed it, whichever ran first.
        if (std::none_of(key.by_target.begin(), key.by_target.begin() + static_cast<std::ptrdiff_t>(index),
                         [](const TargetLines& other) { return other.typed; })) {
            key.code = lines.code, key.spare = lines.spare, key.context = lines.context;
        }
        if (!child_exited(*keymon, milliseconds(0))) continue;
        // keymon ends on an Escape press: a runtime that reports this key as
        // Escape ended it. That is a difference like any other, and the
        // keys after it go to a fresh keymon.
        if (const int status = wait_child(*keymon); status != 0) {
            return "keymon ended with status " + std::to_string(status) + " after " + key.spec.text + errors_of(*keymon);
        }
        lines.ended_keymon = true;
        lines.answered = true;
        if (k + 1 == keys.size()) return "";
        keymon = std::make_unique<Child>();
        if (std::string error = start_keymon(session, target, keymon_path, marker_codes, *keymon, run); !error.empty()) return error;
    }
    add_time(Phase::typing, Clock::now() - typing_start);
    const auto ending = Clock::now();
    const int status = end_with_escape(keyboard, *keymon);
    add_time(Phase::keymon_end, Clock::now() - ending);
    if (status != 0) return "keymon ended with status " + std::to_string(status) + errors_of(*keymon);
    return "";
}
