// What kind of difference a key shows, named by rules over its report lines.
#include <algorithm>
#include <array>

#include "classify.h"
#include "report_records.h"

namespace {

struct ClassName {
    DifferenceClass which;
    const char* id;
    const char* description;
};

constexpr ClassName class_names[] = {
    {DifferenceClass::none, "none", "no difference"},
    {DifferenceClass::ends_keymon, "ends_keymon", "the key ends keymon: a runtime reports it as Escape"},
    {DifferenceClass::utf8_decoding, "utf8_decoding",
     "the SDL2-based runtime's text decoder: a three-byte character's low six bits replaced by its middle byte's"},
    {DifferenceClass::ctrl_character, "ctrl_character", "a control character under Ctrl: the code on one, the letter or 0 on the other"},
    {DifferenceClass::spare_keycode, "spare_keycode", "a keysym on a spare keycode reported by one runtime only"},
    {DifferenceClass::dead_key, "dead_key", "a dead key or a compose sequence, and what it composes"},
    {DifferenceClass::lock_lines, "lock_lines", "a lock key gives one line, or two"},
    {DifferenceClass::delete_character, "delete_character", "Delete carries no character"},
    {DifferenceClass::altgr_character, "altgr_character", "an AltGr character differs"},
    {DifferenceClass::key_names, "key_names", "other names for the Windows keys and AltGr"},
    {DifferenceClass::scan_code_0, "scan_code_0", "scan code 0"},
    {DifferenceClass::character_on_modifier, "character_on_modifier",
     "a spare key's character reported on the modifier pressed before it"},
    {DifferenceClass::position_names, "position_names", "a key named after the US key in its place"},
    {DifferenceClass::character, "character", "a character differs, without AltGr"},
    {DifferenceClass::other_scan_code, "other_scan_code", "another key's scan code, not 0"},
    {DifferenceClass::other, "other", "other"},
};
static_assert(std::size(class_names) == difference_class_count, "one name for each class");
static_assert([] {
    for (int c = 0; c < difference_class_count; ++c) {
        if (class_names[c].which != DifferenceClass(c)) return false;
    }
    return true;
}(), "the names in the enumeration's order");

const ClassName& name_of(DifferenceClass which) { return class_names[static_cast<int>(which)]; }

bool dead_keysym(xkb_keysym_t sym) { return sym >= XKB_KEY_dead_grave && sym <= 0xfe8f; }

// Modifier keys the runtimes name differently: the Windows keys, AltGr,
// Compose and Menu.
bool renamed_modifier(const std::string& name) {
    static const std::array<const char*, 9> names = {"SDLK_LSUPER", "SDLK_RSUPER", "SDLK_LMETA", "SDLK_RMETA", "SDLK_MODE",
                                                     "SDLK_RALT",   "SDLK_COMPOSE", "SDLK_MENU", "SDLK_UNKNOWN"};
    return std::find(names.begin(), names.end(), name) != names.end();
}

enum RowKind : unsigned {
    same = 0, scan_code = 1, character = 2, modifier_name = 4, position_name = 8, other_scan = 16, unexplained = 32
};

bool modifier(const std::string& name) {
    static const std::array<const char*, 12> names = {"SDLK_LSHIFT", "SDLK_RSHIFT", "SDLK_LCTRL", "SDLK_RCTRL",
                                                      "SDLK_LALT",   "SDLK_RALT",   "SDLK_MODE",  "SDLK_LMETA",
                                                      "SDLK_RMETA",  "SDLK_LSUPER", "SDLK_RSUPER", "SDLK_COMPOSE"};
    return std::find(names.begin(), names.end(), name) != names.end();
}

unsigned row_kind(const std::string& a, const std::string& b) {
    if (a == b) return same;
    const ReportLine x = parse_report_line(a), y = parse_report_line(b);
    if (x.name != y.name) {
        if (renamed_modifier(x.name) && renamed_modifier(y.name) && x.unicode == y.unicode) return modifier_name;
        // The same key named by another symbol, and perhaps with another character.
        if (x.scancode != y.scancode) return unexplained;
        return position_name | (x.unicode != y.unicode ? character : same);
    }
    unsigned kind = same;
    if (x.scancode != y.scancode) kind |= (x.scancode == 0 || y.scancode == 0) ? scan_code : other_scan;
    if (x.unicode != y.unicode) kind |= character;
    return kind;
}

bool involves_altgr(const KeyComparison& key, const std::vector<std::string>& lines) {
    for (xkb_keysym_t modifier : key.spec.modifiers) {
        if (modifier == XKB_KEY_ISO_Level3_Shift || modifier == XKB_KEY_Mode_switch) return true;
    }
    return std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        const std::string name = parse_report_line(line).name;
        return name == "SDLK_MODE" || name == "SDLK_RALT";
    });
}

// What the SDL2-based runtime's text decoder makes of a three-byte UTF-8
// character: the low six bits replaced by those of its middle byte. The
// character itself where that changes nothing, and for every other length.
constexpr unsigned misdecoded(unsigned cp) {
    if (cp < 0x800 || cp > 0xffff) return cp;
    return (cp & ~0x3fu) | ((cp >> 6) & 0x3f);
}
static_assert(misdecoded(0x20ac) == 0x2082, "the euro sign comes out as a subscript two");
static_assert(misdecoded(0x2116) == 0x2104, "the numero sign comes out as the centre line symbol");
static_assert(misdecoded(0xe9) == 0xe9 && misdecoded(0x1f600) == 0x1f600, "one-, two- and four-byte characters are right");

bool control(unsigned cp) { return cp != 0 && (cp < 0x20 || cp == 0x7f); }

bool held_control(const KeyComparison& key) {
    return std::any_of(key.spec.modifiers.begin(), key.spec.modifiers.end(),
                       [](xkb_keysym_t m) { return m == XKB_KEY_Control_L || m == XKB_KEY_Control_R; });
}

}  // namespace

const char* class_id(DifferenceClass which) { return name_of(which).id; }
const char* class_description(DifferenceClass which) { return name_of(which).description; }

std::size_t reference_target(const std::vector<Target>&) { return 0; }

DifferenceClass classify(const KeyComparison& key, const std::vector<Target>& targets) {
    if (!key.differs()) return DifferenceClass::none;
    // Classic's lines against the first target's that differ from them; when
    // all agree with classic's, the first two targets that differ.
    std::size_t first = reference_target(targets);
    std::size_t second = first;
    for (std::size_t t = 0; t < key.by_target.size(); ++t) {
        if (!same_lines(key.by_target[t], key.by_target[first])) {
            second = t;
            break;
        }
    }
    if (second == first) {
        for (std::size_t t = 0; t < key.by_target.size() && second == first; ++t) {
            for (std::size_t u = t + 1; u < key.by_target.size(); ++u) {
                if (!same_lines(key.by_target[t], key.by_target[u])) {
                    first = t, second = u;
                    break;
                }
            }
        }
    }
    return classify_pair(key, first, second);
}

DifferenceClass classify_pair(const KeyComparison& key, std::size_t first, std::size_t second) {
    if (same_lines(key.by_target[first], key.by_target[second])) return DifferenceClass::none;
    if (key.by_target[first].ended_keymon != key.by_target[second].ended_keymon) return DifferenceClass::ends_keymon;
    const std::vector<std::string>& a = key.by_target[first].lines;
    const std::vector<std::string>& b = key.by_target[second].lines;

    if (key.spare && a.empty() != b.empty()) return DifferenceClass::spare_keycode;
    if (key.spare) {
        bool key_lines[2] = {false, false};
        for (int side = 0; side < 2; ++side) {
            for (const std::string& line : side == 0 ? a : b) {
                const ReportLine parsed = parse_report_line(line);
                if (modifier(parsed.name) && parsed.unicode != 0) return DifferenceClass::character_on_modifier;
                key_lines[side] = key_lines[side] || !modifier(parsed.name);
            }
        }
        // The modifiers held around it may show on both: the key is what counts.
        if (key_lines[0] != key_lines[1]) return DifferenceClass::spare_keycode;
    }
    if (dead_keysym(key.spec.sym) || key.spec.sym == XKB_KEY_Multi_key || key.context.find("after dead_") != std::string::npos ||
        key.context.find("after Multi_key") != std::string::npos) {
        return DifferenceClass::dead_key;
    }
    const xkb_keysym_t sym = key.spec.sym;
    const bool lock = sym == XKB_KEY_Num_Lock || sym == XKB_KEY_Caps_Lock || sym == XKB_KEY_Scroll_Lock || sym == XKB_KEY_Shift_Lock;
    if (lock && a.size() != b.size()) return DifferenceClass::lock_lines;
    if (a.size() != b.size()) return DifferenceClass::other;
    unsigned kinds = same;
    bool delete_character = false, every_character_decoded = true, every_character_control = true;
    for (std::size_t row = 0; row < a.size(); ++row) {
        const unsigned kind = row_kind(a[row], b[row]);
        kinds |= kind;
        if (kind & character) {
            const unsigned x = parse_report_line(a[row]).unicode, y = parse_report_line(b[row]).unicode;
            delete_character = delete_character || (x == 0x7f && y == 0) || (x == 0 && y == 0x7f);
            every_character_decoded = every_character_decoded && (misdecoded(x) == y || misdecoded(y) == x);
            every_character_control = every_character_control && (control(x) != control(y));
        }
    }
    if (kinds & unexplained) return DifferenceClass::other;
    // The causes a rule can establish, before the symptoms.
    if ((kinds & character) && every_character_decoded && !(kinds & other_scan)) return DifferenceClass::utf8_decoding;
    if ((kinds & character) && every_character_control && held_control(key) && !(kinds & other_scan)) {
        return DifferenceClass::ctrl_character;
    }
    if (kinds & character) {
        if ((sym == XKB_KEY_Delete || sym == XKB_KEY_KP_Delete) && delete_character) return DifferenceClass::delete_character;
        if (kinds & other_scan) return DifferenceClass::other;
        return involves_altgr(key, a) ? DifferenceClass::altgr_character : DifferenceClass::character;
    }
    if (kinds & other_scan) return kinds == other_scan ? DifferenceClass::other_scan_code : DifferenceClass::other;
    if (kinds & position_name) return DifferenceClass::position_names;
    if (kinds & modifier_name) return DifferenceClass::key_names;
    if (kinds & scan_code) return DifferenceClass::scan_code_0;
    return DifferenceClass::other;
}
