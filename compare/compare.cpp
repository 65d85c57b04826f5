// Typing a key sequence into keymon and reading back each key's report
// lines; the report as text or Markdown.
#include "compare.h"

#include <X11/XKBlib.h>
#include <X11/keysym.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <memory>
#include <set>

#include "interface.h"

namespace {

// The keys every layout is tried with, as a person would name them.
const std::vector<std::string> base_keys = {
    // letters, with and without Shift; digits; punctuation
    "a", "z", "m", "shift+a", "shift+z", "A",
    "1", "2", "3", "4", "5", "6", "7", "8", "9", "0",
    "minus", "equal", "bracketleft", "bracketright", "semicolon", "apostrophe", "grave",
    "backslash", "comma", "period", "slash", "exclam", "at", "shift+1",
    // editing keys
    "space", "Return", "Tab", "BackSpace", "Delete",
    // the keypad without Num Lock, then with it, then Num Lock off again
    "KP_Insert", "KP_End", "KP_Down", "KP_Next", "KP_Left", "KP_Begin", "KP_Right", "KP_Home",
    "KP_Up", "KP_Prior", "KP_Delete", "KP_Divide", "KP_Multiply", "KP_Subtract", "KP_Add", "KP_Enter",
    "Num_Lock",
    "KP_0", "KP_1", "KP_2", "KP_3", "KP_4", "KP_5", "KP_6", "KP_7", "KP_8", "KP_9", "KP_Decimal",
    "Num_Lock",
    // function keys, arrows and the navigation block
    "F1", "F2", "F3", "F4", "F5", "F6", "F7", "F8", "F9", "F10", "F11", "F12",
    "Up", "Down", "Left", "Right", "Insert", "Home", "End", "Prior", "Next",
    // every modifier, alone
    "Shift_L", "Shift_R", "Control_L", "Control_R", "Alt_L", "Alt_R", "Super_L", "Super_R",
    "ISO_Level3_Shift", "Mode_switch",
    // Caps Lock on, a letter, Caps Lock off
    "Caps_Lock", "a", "Caps_Lock",
    // a dead key and the letter it composes with
    "dead_circumflex", "e",
    // AltGr combinations
    "ISO_Level3_Shift+e", "ISO_Level3_Shift+q", "ISO_Level3_Shift+2",
};

// A keysym that stands for a character outside ASCII (not a function key,
// not a dead key or other ISO 9995 function, not a vendor key).
bool non_ascii_character(KeySym sym) {
    if ((sym & 0xff000000) == 0x01000000) return (sym & 0x00ffffff) > 0x7f;
    return sym > 0x7e && sym < 0xfe00;
}

// The key whose two lines end a key's lines: the monitor reports it after
// everything typed before it. A modifier, because Xlib's compose handling
// lets modifiers pass through a pending dead key without ending it; and
// never a key the key typed pressed, whose own lines it would otherwise take
// for its own.
struct Marker {
    KeySym sym;
    const char* reported;  // the monitor's name for it
};
constexpr Marker markers[] = {{XK_Shift_R, "SDLK_RSHIFT"}, {XK_Control_R, "SDLK_RCTRL"},
                               {XK_Shift_L, "SDLK_LSHIFT"}, {XK_Control_L, "SDLK_LCTRL"}};

// The first marker on none of the keycodes `pressed`, other than the last
// key's if another will do: a key pressed again within 3 ms of its release
// waits out the rest of them (see KeyPacing), and every key taps a marker.
const Marker& marker_for(Typist& typist, const std::vector<KeyCode>& pressed, const Marker* last) {
    const Marker* found = nullptr;
    for (const Marker& marker : markers) {
        const KeyCode code = typist.keycode(marker.sym);
        if (code == 0 || std::find(pressed.begin(), pressed.end(), code) != pressed.end()) continue;
        if (&marker != last) return marker;
        if (!found) found = &marker;
    }
    return found ? *found : markers[0];  // only a key that presses all four gets here
}

bool is_marker_record(const std::string& record, const Marker& marker) {
    const std::size_t length = std::char_traits<char>::length(marker.reported);
    return record.compare(0, length, marker.reported) == 0 && record.size() > length && record[length] == ' ';
}

// Taps the marker and waits, at most `limit`, for its two lines after
// output offset `from`.
bool confirm(Typist& typist, Monitor& monitor, const Marker& marker, std::size_t from, milliseconds limit) {
    const KeyCode code = typist.keycode(marker.sym);
    if (code == 0) return false;
    typist.stroke(code, true);
    typist.stroke(code, false);
    const PhaseTimer timed{Phase::confirmation};
    return wait_output(monitor, [&](const std::string& out) {
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

bool dead_key(KeySym sym) { return sym >= XK_dead_grave && sym <= 0xfe8f; }

// The state a person would need to know to read a key's lines.
std::string typing_context(Typist& typist, const KeyResult* previous) {
    std::vector<std::string> parts;
    if (previous && dead_key(previous->spec.sym)) parts.push_back("after " + previous->spec.text);
    if (typist.locked("Caps")) parts.push_back("Caps Lock on");
    if (typist.locked("Num")) parts.push_back("Num Lock on");
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
    return text;
}

}  // namespace

namespace {

std::atomic<long long> phase_nanoseconds[static_cast<int>(Phase::count)];

}  // namespace

void add_time(Phase phase, Clock::duration spent) {
    phase_nanoseconds[static_cast<int>(phase)] += std::chrono::duration_cast<std::chrono::nanoseconds>(spent).count();
}

std::string phase_times() {
    static const char* const names[] = {"server start", "layout load", "keymon start", "typing", "confirmation waits",
                                        "keymon end"};
    std::string text;
    for (int p = 0; p < static_cast<int>(Phase::count); ++p) {
        char part[64];
        std::snprintf(part, sizeof part, "%s%s %.2f s", p ? ", " : "", names[p], double(phase_nanoseconds[p].load()) / 1e9);
        text += part;
    }
    return text;
}

bool KeyResult::differs() const {
    for (const KeyReport& report : reports) {
        if (report.lines != reports.front().lines) return true;
    }
    return false;
}

const char* session_name(Session session) { return session == Session::wayland ? "wayland" : "x11"; }

std::vector<Target> session_targets(Session session) {
    if (session == Session::x11) {
        return {{"classic", "classic SDL 1.2", "classic", Runtime::classic, session, "Xorg", "", ""},
                {"compat", "SDL2-based SDL 1.2", "SDL2-based", Runtime::compat, session, "Xorg", "", ""}};
    }
    return {{"classic_xwayland", "classic, Xwayland", "classic (Xwayland)", Runtime::classic, session, "Xwayland", "", ""},
            {"compat_xwayland", "SDL2-based, Xwayland", "SDL2-based (Xwayland)", Runtime::compat, session, "Xwayland", "", ""},
            {"compat_wayland", "SDL2-based, Wayland", "SDL2-based (Wayland)", Runtime::compat, session, "sway", "wayland", ""}};
}

std::vector<std::string> builtin_keys(const std::vector<std::array<KeySym, 2>>& symbols) {
    std::vector<std::string> keys = base_keys;
    std::set<std::string> seen(keys.begin(), keys.end());
    for (const std::array<KeySym, 2>& levels : symbols) {
        for (KeySym sym : levels) {
            const char* name = sym == NoSymbol ? nullptr : XKeysymToString(sym);
            if (name && non_ascii_character(sym) && seen.insert(name).second) keys.push_back(name);
        }
    }
    return keys;
}

std::vector<std::array<KeySym, 2>> x_layout_symbols(Display* conn) {
    std::vector<std::array<KeySym, 2>> symbols;
    XkbDescPtr xkb = XkbGetMap(conn, XkbAllClientInfoMask, XkbUseCoreKbd);
    if (!xkb) return symbols;
    for (int code = xkb->min_key_code; code <= xkb->max_key_code; ++code) {
        symbols.push_back({XkbKeycodeToKeysym(conn, static_cast<KeyCode>(code), 0, 0),
                           XkbKeycodeToKeysym(conn, static_cast<KeyCode>(code), 0, 1)});
    }
    XkbFreeKeyboard(xkb, 0, True);
    return symbols;
}

Typist x_typist(XServer& server) {
    Typist typist;
    typist.launch.display = server.display;
    auto pacing = std::make_shared<KeyPacing>();
    Display* conn = server.conn;
    typist.find_window = [conn](const Target& target, pid_t group, const std::function<bool()>& gone, pid_t& pid) {
        const Window window = find_and_focus_window(conn, group, milliseconds(15000), gone);
        if (window == None) return std::string("keymon did not open its window on the ") + runtime_name(target.runtime) + " runtime";
        pid = window_pid(conn, window);
        return std::string();
    };
    typist.keycode = [conn](KeySym sym) { return XKeysymToKeycode(conn, sym); };
    typist.stroke = [conn, pacing](KeyCode code, bool press) { paced_stroke(conn, *pacing, code, press); };
    typist.type_key = [conn, pacing](const KeySpec& spec, TypedKey& typed, const std::function<void()>& after,
                                     const std::function<void()>& held) {
        return type_key(conn, *pacing, spec, typed, after, held);
    };
    typist.reset = [conn] {
        XkbLockModifiers(conn, XkbUseCoreKbd, 0xff, 0);
        XSync(conn, False);
    };
    typist.locked = [conn](const char* lock) {
        XkbStateRec state{};
        XkbGetState(conn, XkbUseCoreKbd, &state);
        const unsigned mask = std::string(lock) == "Caps" ? LockMask : XkbKeysymToModifiers(conn, XK_Num_Lock);
        return mask != 0 && (state.locked_mods & mask) != 0;
    };
    return typist;
}

std::string type_into_keymon(Typist& typist, const std::string& keymon, std::vector<Target>& targets,
                             std::size_t index, std::vector<KeyResult>& results) {
    const Target& target = targets[index];
    const Runtime runtime = target.runtime;
    std::string& library = targets[index].library;
    for (KeyResult& result : results) result.reports.resize(targets.size());
    // Every target starts from the same keyboard: no lock left on.
    typist.reset();

    const auto started = Clock::now();
    Monitor monitor;
    LaunchOptions options = typist.launch;
    options.runtime = runtime;
    if (!target.video_driver.empty()) options.extra_env.push_back("SDL_VIDEODRIVER=" + target.video_driver);
    if (const std::string error = launch_monitor(monitor, keymon, options); !error.empty()) {
        return "keymon did not start: " + error;
    }
    const auto errors = [&] {
        std::string err = monitor_errors(monitor);
        while (!err.empty() && err.back() == '\n') err.pop_back();
        return err.empty() ? "" : " (keymon: " + err + ")";
    };
    const auto fail = [&](const std::string& why) {
        kill(-monitor.pid, SIGKILL);
        wait_monitor(monitor);
        return why + errors();
    };
    const auto ended = [&] { return monitor_exited(monitor, milliseconds(0)); };
    pid_t window_owner = -1;
    const std::string not_found = typist.find_window(target, monitor.pid, ended, window_owner);
    if (!not_found.empty()) {
        if (ended()) {
            const int status = wait_monitor(monitor);
            return "keymon ended " + (status < 0 ? std::string("on a signal") : "with status " + std::to_string(status)) +
                   " before it opened its window on the " + runtime_name(runtime) + " runtime" +
                   (target.session == Session::x11 ? "" : " (" + target.name + ")") + errors();
        }
        return fail(not_found);
    }
    library = mapped_sdl_library(window_owner);
    if ((library.find("sdl12-compat") != std::string::npos) != (runtime == Runtime::compat)) {
        return fail(std::string("keymon did not load the ") + runtime_name(runtime) + " runtime (it mapped '" +
                    library + "')");
    }
    // The first key that comes back shows the monitor is taking keys.
    if (!confirm(typist, monitor, markers[0], 0, milliseconds(10000))) {
        return fail("keymon did not report a key");
    }
    add_time(Phase::keymon_start, Clock::now() - started);
    const auto typing_start = Clock::now();
    const KeyResult* previous = nullptr;
    const Marker* marker = &markers[0];
    for (KeyResult& result : results) {
        if (index == 0) result.context = typing_context(typist, previous);
        previous = &result;
        const std::size_t from = monitor_output(monitor).size();
        KeyReport& report = result.reports[index];
        TypedKey typed;
        const Marker* last = marker;
        // The key goes down once keymon has reported its modifiers: the
        // SDL2-based runtime otherwise gives a key it cannot name (on a spare
        // keycode) to a modifier press still pending, or not, by chance.
        const auto held = [&] {
            const std::size_t modifiers = typed.pressed.size();
            wait_output(monitor, [&](const std::string& out) {
                return out.size() >= from && read_records(out, from).size() >= modifiers;
            }, milliseconds(300));
        };
        const std::string typing = typist.type_key(result.spec, typed, [&] {
            marker = &marker_for(typist, typed.pressed, last);
            report.answered = confirm(typist, monitor, *marker, from, milliseconds(3000));
        }, held);
        if (!typing.empty()) return fail(result.spec.text + ": " + typing);
        if (index == 0) result.spare = typed.spare, result.code = typed.code;
        report.lines = key_records(monitor_output(monitor), from, *marker);
        if (ended()) return fail("keymon ended early, after " + result.spec.text);
    }
    add_time(Phase::typing, Clock::now() - typing_start);
    const auto ending = Clock::now();
    const KeyCode escape = typist.keycode(XK_Escape);
    typist.stroke(escape, true);
    const int status = wait_monitor(monitor);
    typist.stroke(escape, false);
    add_time(Phase::keymon_end, Clock::now() - ending);
    if (status != 0) return "keymon ended with status " + std::to_string(status) + errors();
    return "";
}

std::string shown(const std::string& line) {
    std::size_t field = 0, at = 0;
    for (int i = 0; i < 3 && at != std::string::npos; ++i) {
        at = line.find(' ', at);
        if (at != std::string::npos) field = ++at;
    }
    if (at == std::string::npos) return line;
    const std::string text = line.substr(field);
    if (text.empty()) return line.substr(0, field - 1);
    bool plain = true;
    for (unsigned char c : text) plain = plain && c > 0x20 && c != 0x7f;
    if (plain) return line;
    std::string quoted = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '\r': quoted += "\\r"; break;
        case '\n': quoted += "\\n"; break;
        case '\t': quoted += "\\t"; break;
        case '\b': quoted += "\\b"; break;
        case 0x1b: quoted += "\\e"; break;
        case '"': quoted += "\\\""; break;
        case '\\': quoted += "\\\\"; break;
        default:
            if (c < 0x20 || c == 0x7f) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02x", c);
                quoted += hex;
            } else {
                quoted += static_cast<char>(c);
            }
        }
    }
    return line.substr(0, field) + quoted + "\"";
}

std::string key_notes(const KeyResult& result) {
    std::string notes = result.spare ? "spare keycode" : "";
    if (!result.context.empty()) notes += (notes.empty() ? "" : ", ") + result.context;
    return notes.empty() ? "" : " (" + notes + ")";
}

namespace {

std::string key_label(const KeyResult& result) { return result.spec.text + key_notes(result); }

std::size_t width(const std::string& text) {
    std::size_t columns = 0;
    for (unsigned char c : text) columns += (c & 0xc0) != 0x80;
    return columns;
}

std::string pad(const std::string& text, std::size_t columns) {
    return text + std::string(columns > width(text) ? columns - width(text) : 0, ' ');
}

std::string cell(const KeyReport& report, std::size_t row) {
    if (row < report.lines.size()) return shown(report.lines[row]);
    return row == 0 ? (report.answered ? "-" : "- (no answer)") : "";
}

// Whether every target has a line in `row` and all are the same.
bool row_agrees(const KeyResult& result, std::size_t row) {
    for (const KeyReport& report : result.reports) {
        if (row >= report.lines.size() || report.lines[row] != result.reports.front().lines[row]) return false;
    }
    return true;
}

}  // namespace

std::string format_text(const std::vector<Target>& targets, const std::vector<KeyResult>& results, bool all) {
    std::size_t key_width = 3;
    std::vector<std::size_t> widths;
    for (const Target& target : targets) widths.push_back(width(target.name));
    for (const KeyResult& result : results) {
        key_width = std::max(key_width, width(key_label(result)));
        for (std::size_t t = 0; t < result.reports.size() && t < widths.size(); ++t) {
            for (const std::string& line : result.reports[t].lines) widths[t] = std::max(widths[t], width(shown(line)));
            widths[t] = std::max(widths[t], width(cell(result.reports[t], 0)));
        }
    }
    const auto row_text = [&](const char* mark, const std::string& key, const std::vector<std::string>& cells) {
        std::string line = mark + pad(key, key_width);
        for (std::size_t t = 0; t < cells.size(); ++t) line += "  " + (t + 1 < cells.size() ? pad(cells[t], widths[t]) : cells[t]);
        while (!line.empty() && line.back() == ' ') line.pop_back();
        return line + "\n";
    };
    std::vector<std::string> headings;
    for (const Target& target : targets) headings.push_back(target.name);
    std::string out = row_text("  ", "key", headings);
    for (const KeyResult& result : results) {
        if (!all && !result.differs()) continue;
        std::size_t rows = 1;
        for (const KeyReport& report : result.reports) rows = std::max(rows, report.lines.size());
        for (std::size_t row = 0; row < rows; ++row) {
            std::vector<std::string> cells;
            for (const KeyReport& report : result.reports) cells.push_back(cell(report, row));
            const bool same = row_agrees(result, row) || (rows == 1 && !result.differs());
            out += row_text(same ? "  " : "! ", row == 0 ? key_label(result) : "", cells);
        }
        if (result.differs()) out += row_text("  ", "(" + std::string(class_description(classify(result, targets))) + ")", {});
    }
    return out;
}

std::vector<CellLine> table_cell(const KeyResult& key, std::size_t target) {
    const KeyReport& report = key.reports[target];
    if (report.lines.empty()) return {{report.answered ? "nothing" : "no answer", false, false}};
    std::vector<CellLine> cell;
    for (std::size_t row = 0; row < report.lines.size(); ++row) {
        bool same = true;
        for (const KeyReport& other : key.reports) same = same && row < other.lines.size() && other.lines[row] == report.lines[row];
        cell.push_back({report.lines[row], true, !same});
    }
    return cell;
}

namespace {

// One report line as Markdown code, escaped for a table cell.
std::string code_span(const std::string& line) {
    std::string text;
    for (char c : shown(line)) text += c == '|' ? std::string("\\|") : std::string(1, c);
    if (text.find('`') != std::string::npos) return "`` " + text + " ``";
    return "`" + text + "`";
}

std::string markdown_cell(const KeyResult& key, std::size_t target) {
    std::string out;
    for (const CellLine& line : table_cell(key, target)) {
        if (!out.empty()) out += "<br>";
        const std::string text = line.code ? code_span(line.text) : line.text;
        out += line.differs ? "**" + text + "**" : text;
    }
    return out;
}

}  // namespace

std::string format_markdown(const std::vector<Target>& targets, const std::vector<KeyResult>& results, bool all) {
    std::string out = "| key typed |", rule = "|---|";
    for (const Target& target : targets) out += " " + target.name + " |", rule += "---|";
    out += " class |\n" + rule + "---|\n";
    for (const KeyResult& result : results) {
        if (!all && !result.differs()) continue;
        out += "| `" + result.spec.text + "`" + key_notes(result) + " |";
        for (std::size_t t = 0; t < result.reports.size(); ++t) out += " " + markdown_cell(result, t) + " |";
        out += std::string(" ") + (result.differs() ? class_description(classify(result, targets)) : "") + " |\n";
    }
    return out;
}

std::size_t keys_differing(const std::vector<KeyResult>& keys) {
    return static_cast<std::size_t>(std::count_if(keys.begin(), keys.end(), [](const KeyResult& key) { return key.differs(); }));
}

std::string layout_summary(const LayoutReport& report) {
    const std::size_t spare = static_cast<std::size_t>(
        std::count_if(report.keys.begin(), report.keys.end(), [](const KeyResult& key) { return key.spare; }));
    return "layout " + report.layout + " (" + report.source + "): " + std::to_string(report.keys.size()) +
           " keys typed, " + std::to_string(keys_differing(report.keys)) + " differ (" + std::to_string(spare) +
           " on a spare keycode)\n";
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

KeyState physical_key_state(const std::vector<KeyResult>& keys, KeyCode code) {
    KeyState state = KeyState::untyped;
    for (const KeyResult& key : keys) {
        if (key.spare || key.code != code || code == 0) continue;
        const auto silent = [](const KeyReport& report) { return report.lines.empty(); };
        const bool some_silent = std::any_of(key.reports.begin(), key.reports.end(), silent);
        if (some_silent && !std::all_of(key.reports.begin(), key.reports.end(), silent)) return KeyState::missing;
        if (key.differs()) state = KeyState::differ;
        else if (state == KeyState::untyped) state = KeyState::agree;
    }
    return state;
}
