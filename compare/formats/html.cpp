// keymon-compare's result as one self-contained page: each layout's
// keyboard drawn as inline SVG, coloured by what the comparison found, and
// the table below it. No script, style sheet, font or image from elsewhere.
#include <algorithm>
#include <cstdio>
#include <map>

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

const char* const style = R"(:root { --agree: #a5d6a7; --differ: #ef9a9a; --missing: #ffd54f; --untyped: #eeeeee; }
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
.info { display: none; }
.info text { font-size: 44px; font-family: monospace; }
.info .heading { font-family: sans-serif; font-weight: bold; }
.key:hover + .info, .key:focus + .info { display: inline; }
svg:has(.key:hover) .hint, svg:has(.key:focus) .hint { display: none; }
.legend span { display: inline-block; padding: 0.1em 0.6em; margin-right: 0.5em; border: 1px solid #555; }
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
    std::vector<PanelLine> lines;
    for (const KeyComparison* key : typed) {
        const std::string kind = key->differs() ? std::string(": ") + class_description(classify(*key, targets)) : "";
        lines.push_back({key->spec.text + key_notes(*key) + kind, true});
        for (std::size_t t = 0; t < key->by_target.size() && t < targets.size(); ++t) {
            const TargetLines& report = key->by_target[t];
            std::string label = targets[t].short_name + ":";
            label.resize(label_width, ' ');
            if (report.lines.empty()) lines.push_back({label + (report.answered ? "nothing" : "no answer")});
            for (const std::string& line : report.lines) {
                lines.push_back({label + quoted_line(line)});
                label = std::string(label_width, ' ');
            }
        }
    }
    return lines;
}

std::string draw_keyboard(const std::vector<Target>& targets, const LayoutReport& report) {
    const KeyboardDrawing& keyboard = report.keyboard;
    std::map<xkb_keycode_t, std::vector<const KeyComparison*>> typed_on;
    for (const KeyComparison& key : report.keys) {
        if (!key.spare) typed_on[key.code].push_back(&key);
    }
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
        double left = key.outline.empty() ? 0 : key.outline[0].x, right = left;
        double top = key.outline.empty() ? 0 : key.outline[0].y, bottom = top;
        std::string points;
        for (const Point& p : key.outline) {
            points += (points.empty() ? "" : " ") + number(p.x) + "," + number(p.y);
            left = std::min(left, p.x), right = std::max(right, p.x), top = std::min(top, p.y), bottom = std::max(bottom, p.y);
        }
        svg += "<g class=\"key " + std::string(key_state_name(state)) + "\" tabindex=\"0\" data-keysym=\"" +
               escaped(key.keysym) + "\" data-state=\"" + key_state_name(state) + "\" data-keycode=\"" +
               std::to_string(key.code) + "\"><title>" + escaped(key.keysym.empty() ? "(no symbol)" : key.keysym) +
               ": " + key_state_name(state) + "</title><polygon points=\"" + points + "\"/>";
        if (!key.label.empty()) {
            svg += "<text x=\"" + number((left + right) / 2) + "\" y=\"" + number((top + bottom) / 2) + "\">" +
                   escaped(key.label) + "</text>";
        }
        svg += "</g>";
        // The panel sits right after its key, so that CSS alone shows it
        // while the key is pointed at or focused.
        svg += "<g class=\"info\">";
        std::vector<PanelLine> lines = {{"key " + (key.keysym.empty() ? std::string("(no symbol)") : key.keysym) +
                                             ", keycode " + std::to_string(key.code) + ": " + key_state_name(state),
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
                       "</title>\n<style>\n" + style + "</style>\n</head>\n<body>\n<h1>" + escaped(title) + "</h1>\n" +
                       "<p>Each key typed into keymon on " + ran + ", keymon-compare " + KEYMON_VERSION +
                       ".</p>\n<p class=\"legend\"><span class=\"agree\">all agree</span><span class=\"differ\">they differ</span>"
                       "<span class=\"missing\">one reported nothing</span><span class=\"untyped\">not typed</span></p>\n";
    for (const LayoutReport& report : reports) {
        page += "<section>\n<h2>Layout " + escaped(report.layout) + "</h2>\n<p>" + escaped(layout_summary(report)) +
                (report.keyboard.geometry.empty() ? " The X server described no keyboard: the typed keys are drawn as a grid."
                                                  : " Keyboard: " + escaped(report.keyboard.geometry) + ".") +
                "</p>\n" + draw_keyboard(targets, report) +
                (all ? "<p>Every key typed:</p>\n" : "<p>The keys on which they differ:</p>\n") + table(targets, report, all) +
                "</section>\n";
    }
    return page + changes_section(targets, report_list(reports), true) + "</body>\n</html>\n";
}

namespace {

// A keymap's keyboard drawn small: each key's outline coloured by state, its
// keysym and state as its title; no labels or panels.
std::string small_keyboard(const LayoutReport& report) {
    const KeyboardDrawing& keyboard = report.keyboard;
    std::string svg = "<svg class=\"small\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " + number(keyboard.width) + " " +
                      number(keyboard.height) + "\" role=\"img\" aria-label=\"keyboard, " + escaped(report.layout) + "\">";
    for (const DrawnKey& key : keyboard.keys) {
        const char* state = key_state_name(physical_key_state(report.keys, key.code));
        std::string points;
        for (const Point& p : key.outline) points += (points.empty() ? "" : " ") + number(p.x) + "," + number(p.y);
        svg += "<polygon class=\"" + std::string(state) + "\" points=\"" + points + "\"><title>" + escaped(key.keysym) + ": " +
               state + "</title></polygon>";
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
                       "polygon.missing { fill: var(--missing); } polygon.untyped { fill: var(--untyped); }\n"
                       "</style>\n</head>\n<body>\n<h1>keymon-compare: every keymap</h1>\n";
    const std::string ran = targets_and_libraries(targets, target_libraries(targets.size(), report_list(entries)));
    page += "<p>" + std::to_string(entries.size()) + " keymaps typed into keymon on " + ran + ", keymon-compare " +
            KEYMON_VERSION + ".</p>\n<p class=\"legend\"><span class=\"agree\">all agree</span><span class=\"differ\">they "
            "differ</span><span class=\"missing\">one reported nothing</span><span class=\"untyped\">not typed</span></p>\n";
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
                "</td><td>" + classes + "</td><td>" + small_keyboard(entry.report) + "</td></tr>\n";
    }
    return page + "</table>\n" + changes_section(targets, report_list(entries), false) + "</body>\n</html>\n";
}
