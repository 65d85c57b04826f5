// The report as text, for a terminal.
#include <algorithm>

#include "classify.h"
#include "changes.h"
#include "formats.h"
#include "survey.h"

namespace {

std::string key_heading(const KeyComparison& key) { return key.spec.text + key_notes(key); }

std::size_t width(const std::string& text) {
    std::size_t columns = 0;
    for (unsigned char c : text) columns += (c & 0xc0) != 0x80;
    return columns;
}

std::string pad(const std::string& text, std::size_t columns) {
    return text + std::string(columns > width(text) ? columns - width(text) : 0, ' ');
}

// The lines a target's cell has: its report lines, and one that says
// keymon ended on the key.
std::size_t rows_of(const TargetLines& target) { return target.lines.size() + (target.ended_keymon ? 1 : 0); }

std::string cell(const TargetLines& target, std::size_t row) {
    if (row < target.lines.size()) return quoted_line(target.lines[row]);
    if (target.ended_keymon && row == target.lines.size()) return "(keymon ended)";
    return row == 0 ? (target.answered ? "-" : "- (no answer)") : "";
}

// Whether every target has the same in `row`.
bool row_agrees(const KeyComparison& key, std::size_t row) {
    const std::string first = cell(key.by_target.front(), row);
    for (const TargetLines& target : key.by_target) {
        if (row >= rows_of(target) || cell(target, row) != first) return false;
    }
    return true;
}

// Each target's class counts against the reference over every entry, and
// what changed between the runtimes.
std::string versions_text(const std::vector<Target>& targets, const std::vector<SurveyEntry>& entries) {
    const std::vector<ClassCounts> counts = counts_by_target(targets, report_list(entries));
    const std::size_t reference = reference_target(targets);
    std::string out = "\nkeys in each class against " + targets[reference].name + ", by target:\n";
    for (int c = static_cast<int>(first_class); c < difference_class_count; ++c) {
        std::string line = std::string(class_id(DifferenceClass(c))) + ":";
        for (std::size_t t = 0; t < targets.size(); ++t) {
            if (t != reference) line += " " + targets[t].short_name + " " + std::to_string(counts[t][static_cast<std::size_t>(c)]) + ",";
        }
        line.pop_back();
        out += line + "\n";
    }
    return out + "\nchanged between runtimes:\n" + changed_between_runtimes(targets, counts, "  ") + "\n" +
           changes_text(targets, runtime_changes(targets, report_list(entries)), "", "  ", false);
}

}  // namespace

std::string format_text(const std::vector<Target>& targets, const std::vector<KeyComparison>& keys, bool all) {
    std::size_t key_width = 3;
    std::vector<std::size_t> widths;
    for (const Target& target : targets) widths.push_back(width(target.name));
    for (const KeyComparison& key : keys) {
        key_width = std::max(key_width, width(key_heading(key)));
        for (std::size_t t = 0; t < key.by_target.size() && t < widths.size(); ++t) {
            for (const std::string& line : key.by_target[t].lines) widths[t] = std::max(widths[t], width(quoted_line(line)));
            widths[t] = std::max(widths[t], width(cell(key.by_target[t], 0)));
            widths[t] = std::max(widths[t], width(cell(key.by_target[t], key.by_target[t].lines.size())));
        }
    }
    const auto row_text = [&](const char* mark, const std::string& heading, const std::vector<std::string>& cells) {
        std::string line = mark + pad(heading, key_width);
        for (std::size_t t = 0; t < cells.size(); ++t) line += "  " + (t + 1 < cells.size() ? pad(cells[t], widths[t]) : cells[t]);
        while (!line.empty() && line.back() == ' ') line.pop_back();
        return line + "\n";
    };
    std::vector<std::string> headings;
    for (const Target& target : targets) headings.push_back(target.name);
    std::string out = row_text("  ", "key", headings);
    for (const KeyComparison& key : keys) {
        if (!all && !key.differs()) continue;
        std::size_t rows = 1;
        for (const TargetLines& target : key.by_target) rows = std::max(rows, rows_of(target));
        for (std::size_t row = 0; row < rows; ++row) {
            std::vector<std::string> cells;
            for (const TargetLines& target : key.by_target) cells.push_back(cell(target, row));
            const bool same = row_agrees(key, row) || (rows == 1 && !key.differs());
            out += row_text(same ? "  " : "! ", row == 0 ? key_heading(key) : "", cells);
        }
        if (key.differs()) out += row_text("  ", "(" + key_verdict(key, targets) + ")", {});
    }
    return out;
}

std::string format_run_text(const std::vector<Target>& targets, const std::vector<LayoutReport>& reports, bool all) {
    std::string out;
    for (std::size_t i = 0; i < reports.size(); ++i) {
        if (i) out += "\n";
        out += format_text(targets, reports[i].keys, all) + layout_summary(reports[i]);
    }
    if (targets.size() > 2) {
        out += "changed between runtimes, against " + targets[reference_target(targets)].name + ":\n" +
               changed_between_runtimes(targets, counts_by_target(targets, report_list(reports)), "  ") +
               changes_text(targets, runtime_changes(targets, report_list(reports)), "", "  ", true);
    }
    return out + library_lines(targets, target_libraries(targets.size(), report_list(reports)));
}

std::string format_survey_text(const std::vector<Target>& targets, const std::vector<SurveyEntry>& entries) {
    std::string out;
    std::size_t width = 6;
    for (const SurveyEntry& entry : entries) width = std::max(width, entry_label(entry).size());
    for (const SurveyEntry& entry : entries) {
        const std::string label = entry_label(entry);
        std::string line = label + std::string(width - label.size() + 2, ' ');
        if (!entry.report.failure.empty()) {
            out += line + "failed: " + entry.report.failure + "\n";
            continue;
        }
        line += std::to_string(entry.report.keys.size()) + " keys typed, " + std::to_string(keys_differing(entry.report.keys)) +
                " differ";
        const auto counts = class_counts(targets, entry.report);
        std::string classes;
        for (int c = static_cast<int>(first_class); c < difference_class_count; ++c) {
            if (counts[c]) classes += (classes.empty() ? "" : ", ") + std::string(class_id(DifferenceClass(c))) + " " + std::to_string(counts[c]);
        }
        out += line + (classes.empty() ? "" : ": " + classes) + "\n";
    }
    out += "\nclass: keymaps it touches, keys, an example\n";
    const std::vector<ClassSummary> summary = class_summaries(targets, entries);
    for (int c = static_cast<int>(first_class); c < difference_class_count; ++c) {
        const ClassSummary& s = summary[c];
        out += std::string(class_id(DifferenceClass(c))) + ": " + std::to_string(s.keymaps) + " keymaps, " + std::to_string(s.keys) +
               " keys" + (s.example.empty() ? "" : ", " + s.example) + " (" + class_description(DifferenceClass(c)) + ")\n";
    }
    out += versions_text(targets, entries);
    for (const SurveyEntry& entry : entries) {
        const std::vector<KeyComparison> other = keys_of_class(targets, entry.report, DifferenceClass::other);
        if (other.empty()) continue;
        out += "\nother, " + entry_label(entry) + ":\n" + format_text(targets, other, true);
    }
    return out + library_lines(targets, target_libraries(targets.size(), report_list(entries)));
}
