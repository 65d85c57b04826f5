// keymon-compare's result as one self-contained page: each layout's
// keyboard drawn as inline SVG, each key coloured by the most telling class
// of its differences, and the table below it. A script in the page switches
// the views; nothing comes from elsewhere (no script, style sheet, font or
// image), and without the script the page shows every difference.
#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <string_view>

#include <xkbcommon/xkbcommon-keysyms.h>

#include "changes.h"
#include "classify.h"
#include "formats.h"

namespace {

std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

// How a class looks: a colour, and a letter on the key for readers who do
// not tell the colours apart. Indexed by DifferenceClass.
struct ClassLook {
    const char* colour;
    const char* letter;
};
constexpr std::array<ClassLook, difference_class_count> class_looks = [] {
    std::array<ClassLook, difference_class_count> looks{};
    looks[int(DifferenceClass::none)] = {"#c8e6c9", ""};
    looks[int(DifferenceClass::ends_keymon)] = {"#000000", "E"};
    looks[int(DifferenceClass::utf8_decoding)] = {"#d55e00", "U"};
    looks[int(DifferenceClass::lock_lines)] = {"#cc79a7", "L"};
    looks[int(DifferenceClass::dead_key)] = {"#0072b2", "D"};
    looks[int(DifferenceClass::character)] = {"#e69f00", "C"};
    looks[int(DifferenceClass::altgr_character)] = {"#f0e442", "A"};
    looks[int(DifferenceClass::ctrl_character)] = {"#ef9a9a", "^"};
    looks[int(DifferenceClass::character_on_modifier)] = {"#8d6e63", "M"};
    looks[int(DifferenceClass::delete_character)] = {"#b39ddb", "X"};
    looks[int(DifferenceClass::spare_keycode)] = {"#009e73", "S"};
    looks[int(DifferenceClass::other)] = {"#ff1744", "?"};
    looks[int(DifferenceClass::other_scan_code)] = {"#56b4e9", "#"};
    looks[int(DifferenceClass::scan_code_0)] = {"#90a4ae", "0"};
    looks[int(DifferenceClass::position_names)] = {"#80cbc4", "P"};
    looks[int(DifferenceClass::key_names)] = {"#bdbdbd", "N"};
    return looks;
}();
static_assert([] {
    for (int a = int(first_class); a < difference_class_count; ++a) {
        for (int b = a + 1; b < difference_class_count; ++b) {
            if (std::string_view(class_looks[a].letter) == class_looks[b].letter ||
                std::string_view(class_looks[a].colour) == class_looks[b].colour) {
                return false;
            }
        }
        if (std::string_view(class_looks[a].letter).empty()) return false;
    }
    return true;
}(), "each class its own colour and letter");

// The level a key was typed on: its modifiers, and those its symbol needed.
enum class Level { base, shift, altgr, altgr_shift, ctrl };
struct LevelName {
    const char* id;
    const char* name;
};
constexpr LevelName level_names[] = {{"base", "base"}, {"shift", "Shift"}, {"altgr", "AltGr"}, {"altgr_shift", "AltGr+Shift"}, {"ctrl", "Ctrl"}};

Level key_level(const KeyComparison& key) {
    const auto holds = [&](std::initializer_list<xkb_keysym_t> syms) {
        for (xkb_keysym_t sym : syms) {
            if (std::count(key.spec.modifiers.begin(), key.spec.modifiers.end(), sym) ||
                std::count(key.added.begin(), key.added.end(), sym)) {
                return true;
            }
        }
        return false;
    };
    if (holds({XKB_KEY_Control_L, XKB_KEY_Control_R})) return Level::ctrl;
    const bool shift = holds({XKB_KEY_Shift_L, XKB_KEY_Shift_R});
    if (holds({XKB_KEY_ISO_Level3_Shift})) return shift ? Level::altgr_shift : Level::altgr;
    return shift ? Level::shift : Level::base;
}

// Each difference of a key typed on a physical key, as the page's script
// reads it: "COMBINATION/LEVEL/TARGET/CLASS" for every target whose lines
// differ from the reference's, COMBINATION counting the keys typed on it.
struct KeyDifference {
    std::size_t combination;
    Level level;
    std::size_t target;
    DifferenceClass which;
};

std::vector<KeyDifference> differences_on(const std::vector<Target>& targets, const std::vector<const KeyComparison*>& typed) {
    const std::size_t reference = reference_target(targets);
    std::vector<KeyDifference> found;
    for (std::size_t k = 0; k < typed.size(); ++k) {
        const KeyComparison* key = typed[k];
        for (std::size_t t = 0; t < key->by_target.size(); ++t) {
            if (t == reference || reference >= key->by_target.size()) continue;
            const DifferenceClass which = classify_pair(*key, reference, t);
            if (which != DifferenceClass::none) found.push_back({k, key_level(*key), t, which});
        }
    }
    return found;
}

// "0/base/1/ctrl_character 1/altgr/1/utf8_decoding", as the script reads it.
std::string diffs_attribute(const std::vector<KeyDifference>& found) {
    std::string diffs;
    for (const KeyDifference& d : found) {
        diffs += (diffs.empty() ? "" : " ") + std::to_string(d.combination) + "/" + level_names[int(d.level)].id + "/" +
                 std::to_string(d.target) + "/" + class_id(d.which);
    }
    return diffs;
}

// The most telling class among `found`; none when it is empty.
DifferenceClass top_cause(const std::vector<KeyDifference>& found) {
    DifferenceClass top = DifferenceClass::none;
    for (const KeyDifference& d : found) {
        if (cause_rank(d.which) < cause_rank(top)) top = d.which;
    }
    return top;
}

// The keys typed on each keycode of a report, spare keycodes left out.
using TypedOn = std::map<xkb_keycode_t, std::vector<const KeyComparison*>>;
TypedOn keys_by_keycode(const LayoutReport& report) {
    TypedOn typed_on;
    for (const KeyComparison& key : report.keys) {
        if (!key.spare) typed_on[key.code].push_back(&key);
    }
    return typed_on;
}

// A drawn key's colour: its most telling class, and the attributes the
// page's script recolours it from ("" for a key nothing was typed on).
struct KeyCause {
    DifferenceClass cause = DifferenceClass::none;
    std::string attributes;
};
KeyCause key_cause(const std::vector<Target>& targets, const TypedOn& typed_on, xkb_keycode_t code) {
    const auto typed = typed_on.find(code);
    if (typed == typed_on.end()) return {};
    const std::vector<KeyDifference> found = differences_on(targets, typed->second);
    const DifferenceClass cause = top_cause(found);
    return {cause, " data-cause=\"" + std::string(class_id(cause)) + "\" data-diffs=\"" + diffs_attribute(found) + "\""};
}

std::string class_styles() {
    std::string css;
    for (int c = 0; c < difference_class_count; ++c) {
        const std::string id = class_id(DifferenceClass(c));
        css += ".key[data-cause=\"" + id + "\"] polygon, polygon[data-cause=\"" + id + "\"], .legend .c-" + id +
               " { fill: " + class_looks[c].colour + "; background: " + class_looks[c].colour + "; }\n";
    }
    // Dark fills take light letters.
    css += ".key[data-cause=\"ends_keymon\"] text, .key[data-cause=\"dead_key\"] text { fill: #fff; }\n";
    // The change view's two states.
    css += ".key[data-cause=\"fixed\"] polygon, polygon[data-cause=\"fixed\"], .legend .c-fixed { fill: #2e7d32; "
           "background: #2e7d32; color: #fff; }\n"
           ".key[data-cause=\"broke\"] polygon, polygon[data-cause=\"broke\"], .legend .c-broke { fill: #6a1b9a; "
           "background: #6a1b9a; color: #fff; }\n"
           ".key[data-cause=\"fixed\"] text, .key[data-cause=\"broke\"] text { fill: #fff; }\n"
           ".legend .change { display: none; } .changing .legend .change { display: list-item; }\n"
           ".changing .legend li[data-class] { display: none; }\n";
    return css;
}

const char* const style = R"(:root { --agree: #c8e6c9; --differ: #ef9a9a; --missing: #ffd54f; --untyped: #eeeeee; }
body { font-family: sans-serif; margin: 1.5em; color: #222; background: #fff; }
svg.keyboard { width: 100%; max-width: 1200px; height: auto; display: block; }
.key polygon { stroke: #555; stroke-width: 4; }
.key text { font-size: 48px; text-anchor: middle; dominant-baseline: central; pointer-events: none; }
.key:focus { outline: none; }
.key:focus polygon, .key:hover polygon { stroke: #000; stroke-width: 12; }
.agree polygon { fill: var(--agree); }
.differ polygon { fill: var(--differ); }
.missing polygon { fill: var(--missing); }
.untyped polygon { fill: var(--untyped); }
.legend .agree { background: var(--agree); }
.legend .differ { background: var(--differ); }
.legend .missing { background: var(--missing); }
.legend .untyped { background: var(--untyped); }
.key.missing polygon { stroke-dasharray: 16 8; }
.key .letter { font-size: 34px; font-weight: bold; text-anchor: start; dominant-baseline: hanging; }
.legend .swatch { display: inline-block; min-width: 1.4em; text-align: center; font-weight: bold; border: 1px solid #555; }
.legend .c-ends_keymon, .legend .c-dead_key { color: #fff; }
ul.legend { columns: 2 30em; padding-left: 0; }
.legend li { list-style: none; margin: 0.1em 0; break-inside: avoid; }
.legend li.hidden { opacity: 0.35; }
.views label { margin-right: 1em; }
.info { display: none; }
.info text { font-size: 44px; font-family: monospace; }
.info .heading { font-family: sans-serif; font-weight: bold; }
.key:hover + .info, .key:focus + .info { display: inline; }
svg:has(.key:hover) .hint, svg:has(.key:focus) .hint { display: none; }
table { border-collapse: collapse; margin-top: 1em; }
td, th { border: 1px solid #bbb; padding: 0.2em 0.5em; vertical-align: top; text-align: left; }
code { white-space: pre; }
)";

// A line of the panel below the keyboard: a heading (the key typed), or
// one of its report lines.
struct PanelLine {
    std::string text;
    bool heading = false;
};

// The panel of one physical key: each key typed on it, with every target's lines.
std::vector<PanelLine> panel_lines(const std::vector<Target>& targets, const std::vector<const KeyComparison*>& typed) {
    std::size_t label_width = 0;
    for (const Target& target : targets) label_width = std::max(label_width, target.short_name.size() + 2);
    const std::size_t reference = reference_target(targets);
    std::vector<PanelLine> lines;
    for (const KeyComparison* key : typed) {
        lines.push_back({key->spec.text + " (" + level_names[int(key_level(*key))].name + ")" + key_notes(*key), true});
        for (std::size_t t = 0; t < key->by_target.size() && t < targets.size(); ++t) {
            const TargetLines& report = key->by_target[t];
            std::string label = targets[t].short_name + ":";
            label.resize(label_width, ' ');
            if (report.lines.empty()) lines.push_back({label + (report.answered ? "nothing" : "no answer")});
            for (const std::string& line : report.lines) {
                lines.push_back({label + quoted_line(line)});
                label = std::string(label_width, ' ');
            }
            const DifferenceClass which = t == reference ? DifferenceClass::none : classify_pair(*key, reference, t);
            if (which != DifferenceClass::none) {
                lines.push_back({std::string(label_width, ' ') + "[" + class_looks[int(which)].letter + "] against " +
                                 targets[reference].short_name + ": " + class_description(which)});
            }
        }
    }
    return lines;
}

std::string draw_keyboard(const std::vector<Target>& targets, const LayoutReport& report) {
    const KeyboardDrawing& keyboard = report.keyboard;
    const TypedOn typed_on = keys_by_keycode(report);
    constexpr double line_height = 56, margin = 40;
    std::size_t panel_size = 2;  // the key's own heading, and "not typed"
    for (const auto& [code, keys] : typed_on) panel_size = std::max(panel_size, panel_lines(targets, keys).size() + 1);
    const double panel_top = keyboard.height + margin;
    const double height = panel_top + margin + line_height * double(panel_size);
    std::string svg = "<svg class=\"keyboard\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " +
                      number(keyboard.width) + " " + number(height) + "\" role=\"img\" aria-label=\"keyboard, layout " +
                      escaped(report.layout) + "\">\n";
    svg += "<text x=\"" + number(margin) + "\" y=\"" + number(panel_top + line_height) +
           "\" class=\"hint\" font-size=\"44\" fill=\"#666\">Point at a key, or focus it with Tab, to see its lines.</text>\n";
    for (const DrawnKey& key : keyboard.keys) {
        const auto typed = typed_on.find(key.code);
        const KeyState state = physical_key_state(report.keys, key.code);
        const auto [cause, cause_attributes] = key_cause(targets, typed_on, key.code);
        double left = key.outline.empty() ? 0 : key.outline[0].x, right = left;
        double top = key.outline.empty() ? 0 : key.outline[0].y, bottom = top;
        std::string points;
        for (const Point& p : key.outline) {
            points += (points.empty() ? "" : " ") + number(p.x) + "," + number(p.y);
            left = std::min(left, p.x), right = std::max(right, p.x), top = std::min(top, p.y), bottom = std::max(bottom, p.y);
        }
        svg += "<g class=\"key " + std::string(key_state_name(state)) + "\" tabindex=\"0\" data-keysym=\"" +
               escaped(key.keysym) + "\" data-state=\"" + key_state_name(state) + "\" data-keycode=\"" +
               std::to_string(key.code) + "\"" + cause_attributes + "><title>" +
               escaped(key.keysym.empty() ? "(no symbol)" : key.keysym) + ": " + key_state_name(state) +
               (cause == DifferenceClass::none ? "" : std::string(", ") + class_description(cause)) +
               "</title><polygon points=\"" + points + "\"/>";
        if (typed != typed_on.end()) {
            svg += "<text class=\"letter\" x=\"" + number(left + 12) + "\" y=\"" + number(top + 10) + "\">" +
                   escaped(class_looks[int(cause)].letter) + "</text>";
        }
        if (!key.label.empty()) {
            svg += "<text x=\"" + number((left + right) / 2) + "\" y=\"" + number((top + bottom) / 2) + "\">" +
                   escaped(key.label) + "</text>";
        }
        svg += "</g>";
        // The panel sits right after its key, so that CSS alone shows it
        // while the key is pointed at or focused.
        svg += "<g class=\"info\">";
        std::vector<PanelLine> lines = {{"key " + (key.keysym.empty() ? std::string("(no symbol)") : key.keysym) +
                                             ", keycode " + std::to_string(key.code) + ": " + key_state_name(state) +
                                             (cause == DifferenceClass::none ? "" : std::string(", ") + class_description(cause)),
                                         true}};
        if (typed == typed_on.end()) {
            lines.push_back({"not typed", true});
        } else {
            for (PanelLine& line : panel_lines(targets, typed->second)) lines.push_back(std::move(line));
        }
        double y = panel_top + line_height;
        for (const PanelLine& line : lines) {
            svg += "<text x=\"" + number(margin) + "\" y=\"" + number(y) + "\"" + (line.heading ? " class=\"heading\"" : "") +
                   " xml:space=\"preserve\">" + escaped(line.text) + "</text>";
            y += line_height;
        }
        svg += "</g>\n";
    }
    return svg + "</svg>\n";
}

// How many drawn keys each class colours, over the given reports.
std::array<std::size_t, difference_class_count> cause_counts(const std::vector<Target>& targets, const ReportList& reports) {
    std::array<std::size_t, difference_class_count> counts{};
    for (const LayoutReport* each : reports) {
        const TypedOn typed_on = keys_by_keycode(*each);
        for (const DrawnKey& key : each->keyboard.keys) {
            if (typed_on.count(key.code)) ++counts[int(key_cause(targets, typed_on, key.code).cause)];
        }
    }
    return counts;
}

// The legend: every class in the order of causes, with its colour, letter
// and the keys it colours (the script keeps the counts to the view).
std::string legend(const std::vector<Target>& targets, const ReportList& reports) {
    const auto counts = cause_counts(targets, reports);
    std::string out = "<ul class=\"legend\" aria-label=\"classes, most telling first\">\n";
    for (DifferenceClass which : cause_order) {
        const std::string id = class_id(which);
        out += "<li data-class=\"" + id + "\"><span class=\"swatch c-" + id + "\">" + escaped(class_looks[int(which)].letter) +
               "</span> " + escaped(class_description(which)) + ": <span class=\"count\">" + std::to_string(counts[int(which)]) +
               "</span> keys</li>\n";
    }
    out += "<li class=\"change\" data-change=\"fixed\"><span class=\"swatch c-fixed\">+</span> the later runtime fixed a "
           "difference on the key, and broke none: <span class=\"count\">0</span> keys</li>\n"
           "<li class=\"change\" data-change=\"broke\"><span class=\"swatch c-broke\">!</span> the later runtime broke "
           "something on the key: <span class=\"count\">0</span> keys</li>\n";
    return out + "<li><span class=\"swatch c-none\">&#160;</span> all agree; <span class=\"swatch\" style=\"background: "
                 "var(--untyped)\">&#160;</span> not typed; a dashed outline: one reported nothing for a key on it</li>\n</ul>\n";
}

// The views: one class alone or every class but one, one runtime against
// the reference, one level. The URL's fragment holds the view, so that a
// view can be linked to ("#class=but:ctrl_character&runtime=2&level=altgr").
std::string view_controls(const std::vector<Target>& targets, const ReportList& reports) {
    const std::size_t reference = reference_target(targets);
    std::string out = "<form id=\"views\" class=\"views\">\n<label>Classes <select name=\"class\">"
                      "<option value=\"all\">every class</option>";
    for (DifferenceClass which : cause_order) {
        out += "<option value=\"only:" + std::string(class_id(which)) + "\">only " + escaped(class_description(which)) + "</option>";
    }
    for (DifferenceClass which : cause_order) {
        out += "<option value=\"but:" + std::string(class_id(which)) + "\">all but " + escaped(class_description(which)) +
               "</option>";
    }
    out += "</select></label>\n<label>Runtime <select name=\"runtime\"><option value=\"all\">every runtime against " +
           escaped(targets[reference].name) + "</option>";
    for (std::size_t t = 0; t < targets.size(); ++t) {
        if (t == reference) continue;
        out += "<option value=\"" + std::to_string(t) + "\">" + escaped(targets[t].name) + " against " +
               escaped(targets[reference].name) + "</option>";
    }
    out += "</select></label>\n<label>Level <select name=\"level\"><option value=\"all\">every level</option>";
    for (const LevelName& level : level_names) {
        out += "<option value=\"" + std::string(level.id) + "\">" + level.name + "</option>";
    }
    out += "</select></label>\n";
    // With several runtimes: what each one changed from the one before it,
    // against the reference, and in which layers the two differ.
    if (targets.size() >= 3) {
        out += "<label>Change <select name=\"change\"><option value=\"none\">none: the classes</option>";
        for (const RuntimeChange& change : runtime_changes(targets, reports)) {
            out += "<option value=\"" + std::to_string(change.from) + "-" + std::to_string(change.to) + "\">" +
                   escaped(change_heading(targets, change)) + "</option>";
        }
        out += "</select></label>\n";
    }
    return out + "</form>\n";
}

// Recolours each key for the view: the most telling class among its
// differences that the view keeps. The class order comes from the legend.
const char* const view_script = R"(<script>
(() => {
  const form = document.getElementById('views');
  if (!form) return;
  const order = [...document.querySelectorAll('.legend li[data-class]')].map(li => li.dataset.class);
  const rank = Object.fromEntries(order.map((id, i) => [id, i]));
  const letters = Object.fromEntries([...document.querySelectorAll('.legend li[data-class]')]
    .map(li => [li.dataset.class, li.querySelector('.swatch').textContent]));
  const names = ['class', 'runtime', 'level', 'change'].filter(name => form.elements[name]);
  const fromHash = () => {
    const wanted = new URLSearchParams(location.hash.slice(1));
    for (const name of names) {
      const select = form.elements[name];
      if (wanted.has(name) && [...select.options].some(o => o.value === wanted.get(name))) select.value = wanted.get(name);
    }
  };
  const apply = () => {
    const view = Object.fromEntries(names.map(name => [name, form.elements[name].value]));
    const [mode, chosen] = view.class === 'all' ? ['all', ''] : view.class.split(':');
    const [from, to] = view.change && view.change !== 'none' ? view.change.split('-') : [];
    document.body.classList.toggle('changing', to !== undefined);
    const counts = {};
    for (const key of document.querySelectorAll('[data-diffs]')) {
      let best = 'none';
      const on = {};  // the change view: each combination's class on `from` and on `to`
      for (const entry of key.dataset.diffs.split(' ').filter(Boolean)) {
        const [k, l, t, c] = entry.split('/');
        if (view.level !== 'all' && l !== view.level) continue;
        if ((mode === 'only' && c !== chosen) || (mode === 'but' && c === chosen)) continue;
        if (to !== undefined) {
          if (t === from || t === to) (on[k] = on[k] || {})[t] = c;
          continue;
        }
        if (view.runtime !== 'all' && t !== view.runtime) continue;
        if (best === 'none' || rank[c] < rank[best]) best = c;
      }
      if (to !== undefined) {
        let fixed = false, broke = false;
        for (const classes of Object.values(on)) {
          if (classes[from] === classes[to]) continue;
          if (classes[from]) fixed = true;
          if (classes[to]) broke = true;
        }
        best = broke ? 'broke' : fixed ? 'fixed' : 'none';
      }
      key.dataset.cause = best;
      const letter = key.querySelector && key.querySelector('.letter');
      if (letter) letter.textContent = best === 'fixed' ? '+' : best === 'broke' ? '!' : letters[best] || '';
      counts[best] = (counts[best] || 0) + 1;
    }
    for (const li of document.querySelectorAll('.legend li[data-class]')) {
      li.querySelector('.count').textContent = counts[li.dataset.class] || 0;
      li.classList.toggle('hidden', (mode === 'only' && li.dataset.class !== chosen) || (mode === 'but' && li.dataset.class === chosen));
    }
    for (const li of document.querySelectorAll('.legend li[data-change]')) {
      li.querySelector('.count').textContent = counts[li.dataset.change] || 0;
    }
    const hash = new URLSearchParams(view).toString();
    if (location.hash.slice(1) !== hash) history.replaceState(null, '', '#' + hash);
  };
  fromHash();
  form.addEventListener('change', apply);
  window.addEventListener('hashchange', () => { fromHash(); apply(); });
  apply();
})();
</script>
)";

// "classic SDL 1.2 (<code>LIBRARY</code>) and SDL2-based SDL 1.2 (...)".
std::string targets_and_libraries(const std::vector<Target>& targets, const std::vector<std::string>& libraries) {
    std::string ran;
    for (std::size_t t = 0; t < targets.size(); ++t) {
        ran += std::string(t == 0 ? "" : t + 1 == targets.size() ? " and " : ", ") + escaped(targets[t].name) + " (<code>" +
               escaped(libraries[t]) + "</code>, " + escaped(describe_whole(targets[t].runtime.identity)) +
               (targets[t].runtime.note.empty() ? "" : "; " + escaped(targets[t].runtime.note)) + ")";
    }
    return ran;
}

// What changed from each runtime to the next, in words, when there are several.
std::string changes_section(const std::vector<Target>& targets, const ReportList& reports, bool list_keys) {
    if (targets.size() < 3) return "";
    std::string out = "<section>\n<h2>From each runtime to the next</h2>\n";
    for (const RuntimeChange& change : runtime_changes(targets, reports)) {
        out += "<p>" + escaped(change_heading(targets, change)) + "</p>\n<ul>\n";
        for (const std::string& line : change_lines(change, list_keys)) out += "<li>" + escaped(line) + "</li>\n";
        out += "</ul>\n";
    }
    return out + "</section>\n";
}

std::string html_cell(const KeyComparison& key, std::size_t target) {
    std::string out;
    for (const CellLine& line : table_cell(key, target)) {
        if (!out.empty()) out += "<br>";
        const std::string text = line.code ? "<code>" + escaped(quoted_line(line.text)) + "</code>" : escaped(line.text);
        out += line.differs ? "<strong>" + text + "</strong>" : text;
    }
    return out;
}

std::string table(const std::vector<Target>& targets, const LayoutReport& report, bool all) {
    std::string out = "<table>\n<tr><th>key typed</th>";
    for (const Target& target : targets) out += "<th>" + escaped(target.name) + "</th>";
    out += "<th>class</th></tr>\n";
    for (const KeyComparison& key : report.keys) {
        if (!all && !key.differs()) continue;
        out += "<tr><td><code>" + escaped(key.spec.text) + "</code>" + escaped(key_notes(key)) + "</td>";
        for (std::size_t t = 0; t < key.by_target.size(); ++t) out += "<td>" + html_cell(key, t) + "</td>";
        out += std::string("<td>") + (key.differs() ? class_description(classify(key, targets)) : "") + "</td></tr>\n";
    }
    return out + "</table>\n";
}

}  // namespace

std::string format_html(const std::vector<Target>& targets, const std::vector<LayoutReport>& reports, bool all) {
    std::string title = "keymon-compare:";
    for (const LayoutReport& report : reports) title += " " + report.layout;
    const std::string ran = targets_and_libraries(targets, target_libraries(targets.size(), report_list(reports)));
    std::string page = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" + escaped(title) +
                       "</title>\n<style>\n" + style + class_styles() + "</style>\n</head>\n<body>\n<h1>" + escaped(title) +
                       "</h1>\n" + "<p>Each key typed into keymon on " + ran + ", keymon-compare " + KEYMON_VERSION +
                       ". Each key is coloured by the most telling class of its differences from " +
                       escaped(targets[reference_target(targets)].name) + ", and marked with its letter.</p>\n" +
                       view_controls(targets, report_list(reports)) + legend(targets, report_list(reports));
    for (const LayoutReport& report : reports) {
        page += "<section>\n<h2>Layout " + escaped(report.layout) + "</h2>\n<p>" + escaped(layout_summary(report)) +
                (report.keyboard.geometry.empty() ? " The X server described no keyboard: the typed keys are drawn as a grid."
                                                  : " Keyboard: " + escaped(report.keyboard.geometry) + ".") +
                "</p>\n" + draw_keyboard(targets, report) +
                (all ? "<p>Every key typed:</p>\n" : "<p>The keys on which they differ:</p>\n") + table(targets, report, all) +
                "</section>\n";
    }
    return page + changes_section(targets, report_list(reports), true) + view_script + "</body>\n</html>\n";
}

namespace {

// A keymap's keyboard drawn small: each key's outline coloured by state, its
// keysym and state as its title; no labels or panels.
std::string small_keyboard(const std::vector<Target>& targets, const LayoutReport& report) {
    const KeyboardDrawing& keyboard = report.keyboard;
    const TypedOn typed_on = keys_by_keycode(report);
    std::string svg = "<svg class=\"small\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " + number(keyboard.width) + " " +
                      number(keyboard.height) + "\" role=\"img\" aria-label=\"keyboard, " + escaped(report.layout) + "\">";
    for (const DrawnKey& key : keyboard.keys) {
        const char* state = key_state_name(physical_key_state(report.keys, key.code));
        std::string points;
        for (const Point& p : key.outline) points += (points.empty() ? "" : " ") + number(p.x) + "," + number(p.y);
        const auto [cause, cause_attributes] = key_cause(targets, typed_on, key.code);
        svg += "<polygon class=\"" + std::string(state) + "\"" + cause_attributes + " points=\"" + points + "\"><title>" +
               escaped(key.keysym) + ": " + (cause == DifferenceClass::none ? state : class_description(cause)) + "</title></polygon>";
    }
    return svg + "</svg>";
}

}  // namespace

std::string format_survey_html(const std::vector<Target>& targets, const std::vector<SurveyEntry>& entries) {
    std::string page = std::string("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                                   "<title>keymon-compare: every keymap</title>\n<style>\n") + style +
                       "svg.small { width: 360px; height: auto; display: block; }\n"
                       ".small polygon { stroke: #555; stroke-width: 6; }\n"
                       "polygon.agree { fill: var(--agree); } polygon.differ { fill: var(--differ); }\n"
                       "polygon.missing { fill: var(--missing); } polygon.untyped { fill: var(--untyped); }\n" +
                       class_styles() + "</style>\n</head>\n<body>\n<h1>keymon-compare: every keymap</h1>\n";
    const std::string ran = targets_and_libraries(targets, target_libraries(targets.size(), report_list(entries)));
    const ReportList compared = report_list(entries);
    page += "<p>" + std::to_string(entries.size()) + " keymaps typed into keymon on " + ran + ", keymon-compare " +
            KEYMON_VERSION + ". Each key is coloured by the most telling class of its differences from " +
            escaped(targets[reference_target(targets)].name) + ".</p>\n" + view_controls(targets, compared) +
            legend(targets, compared);
    // The classes over every keymap, then each keymap's row and keyboard.
    const std::vector<ClassSummary> summary = class_summaries(targets, entries);
    page += "<table>\n<tr><th>class</th><th>keymaps</th></tr>\n";
    for (int c = static_cast<int>(first_class); c < difference_class_count; ++c) {
        page += std::string("<tr><td>") + class_description(DifferenceClass(c)) + "</td><td>" + std::to_string(summary[c].keymaps) + "</td></tr>\n";
    }
    page += "</table>\n<table>\n<tr><th>keymap</th><th>description</th><th>keys typed</th><th>differ</th><th>classes</th><th>keyboard</th></tr>\n";
    for (const SurveyEntry& entry : entries) {
        page += "<tr><td><code>" + escaped(entry_label(entry)) + "</code></td><td>" + escaped(entry.keymap.description) + "</td>";
        if (!entry.report.failure.empty()) {
            page += "<td colspan=\"4\">failed: " + escaped(entry.report.failure) + "</td></tr>\n";
            continue;
        }
        const auto counts = class_counts(targets, entry.report);
        std::string classes;
        for (int c = static_cast<int>(first_class); c < difference_class_count; ++c) {
            if (counts[c]) classes += (classes.empty() ? "" : "<br>") + std::string(class_description(DifferenceClass(c))) + ": " + std::to_string(counts[c]);
        }
        page += "<td>" + std::to_string(entry.report.keys.size()) + "</td><td>" + std::to_string(keys_differing(entry.report.keys)) +
                "</td><td>" + classes + "</td><td>" + small_keyboard(targets, entry.report) + "</td></tr>\n";
    }
    return page + "</table>\n" + changes_section(targets, report_list(entries), false) + view_script + "</body>\n</html>\n";
}
