// What the text, Markdown and the page have in common.
#include <algorithm>
#include <cstdio>

#include "classify.h"
#include "formats.h"

std::string quoted_line(const std::string& line) {
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

std::string key_notes(const KeyComparison& key) {
    std::string notes = key.spare ? "spare keycode" : "";
    if (!key.context.empty()) notes += (notes.empty() ? "" : ", ") + key.context;
    return notes.empty() ? "" : " (" + notes + ")";
}

std::string layout_summary(const LayoutReport& report) {
    const std::size_t spare = static_cast<std::size_t>(
        std::count_if(report.keys.begin(), report.keys.end(), [](const KeyComparison& key) { return key.spare; }));
    std::string options;
    for (const std::string& option : report.options) options += (options.empty() ? ", options " : ",") + option;
    return "layout " + report.layout + " (" + report.source + options + "): " + std::to_string(report.keys.size()) +
           " keys typed, " + std::to_string(keys_differing(report.keys)) + " differ (" + std::to_string(spare) +
           " on a spare keycode)\n";
}

std::string library_lines(const std::vector<Target>& targets, const std::vector<std::string>& libraries, const char* line_end) {
    std::string out;
    for (std::size_t t = 0; t < targets.size(); ++t) {
        const Runtime& runtime = targets[t].runtime;
        out += targets[t].short_name + ": " + (t < libraries.size() ? libraries[t] : "") + ", " + describe_whole(runtime.identity) +
               (runtime.note.empty() ? "" : " (" + runtime.note + ")") + line_end;
    }
    return out;
}

std::string key_verdict(const KeyComparison& key, const std::vector<Target>& targets, const std::string& separator) {
    if (targets.size() <= 2) return class_description(classify(key, targets));
    const std::size_t reference = reference_target(targets);
    std::string out;
    for (std::size_t t = 0; t < targets.size() && t < key.by_target.size(); ++t) {
        if (t == reference) continue;
        const DifferenceClass which = classify_pair(key, reference, t);
        out += (out.empty() ? "" : separator) + targets[t].name + ": " +
               (which == DifferenceClass::none ? "as " + targets[reference].name : std::string(class_description(which)));
    }
    return out;
}

std::vector<CellLine> table_cell(const KeyComparison& key, std::size_t target) {
    const TargetLines& lines = key.by_target[target];
    bool others_ended = false;
    for (const TargetLines& other : key.by_target) others_ended = others_ended || other.ended_keymon != lines.ended_keymon;
    if (lines.lines.empty()) {
        if (lines.ended_keymon) return {{"keymon ended", false, others_ended}};
        return {{lines.answered ? "nothing" : "no answer", false, false}};
    }
    std::vector<CellLine> cell;
    for (std::size_t row = 0; row < lines.lines.size(); ++row) {
        bool same = true;
        for (const TargetLines& other : key.by_target) same = same && row < other.lines.size() && other.lines[row] == lines.lines[row];
        cell.push_back({lines.lines[row], true, !same});
    }
    if (lines.ended_keymon) cell.push_back({"keymon ended", false, others_ended});
    return cell;
}
