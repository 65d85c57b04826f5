// The report as Markdown tables, for an issue or a page of documentation.
#include "classify.h"
#include "changes.h"
#include "formats.h"

namespace {

// One report line as Markdown code, escaped for a table cell.
std::string code_span(const std::string& line) {
    std::string text;
    for (char c : quoted_line(line)) text += c == '|' ? std::string("\\|") : std::string(1, c);
    if (text.find('`') != std::string::npos) return "`` " + text + " ``";
    return "`" + text + "`";
}

std::string markdown_cell(const KeyComparison& key, std::size_t target) {
    std::string out;
    for (const CellLine& line : table_cell(key, target)) {
        if (!out.empty()) out += "<br>";
        const std::string text = line.code ? code_span(line.text) : line.text;
        out += line.differs ? "**" + text + "**" : text;
    }
    return out;
}

}  // namespace

std::string format_markdown(const std::vector<Target>& targets, const std::vector<KeyComparison>& keys, bool all) {
    std::string out = "| key typed |", rule = "|---|";
    for (const Target& target : targets) out += " " + target.name + " |", rule += "---|";
    out += " class |\n" + rule + "---|\n";
    for (const KeyComparison& key : keys) {
        if (!all && !key.differs()) continue;
        out += "| `" + key.spec.text + "`" + key_notes(key) + " |";
        for (std::size_t t = 0; t < key.by_target.size(); ++t) out += " " + markdown_cell(key, t) + " |";
        out += " " + (key.differs() ? key_verdict(key, targets, "<br>") : std::string()) + " |\n";
    }
    return out;
}

std::string format_run_markdown(const std::vector<Target>& targets, const std::vector<LayoutReport>& reports, bool all) {
    std::string out;
    for (std::size_t i = 0; i < reports.size(); ++i) {
        if (i) out += "\n";
        out += format_markdown(targets, reports[i].keys, all) + "\n" + layout_summary(reports[i]);
    }
    if (targets.size() > 2) {
        out += "\nChanged between runtimes, against " + targets[reference_target(targets)].name + ":\n\n" +
               changed_between_runtimes(targets, counts_by_target(targets, report_list(reports)), "- ") + "\n" +
               changes_text(targets, runtime_changes(targets, report_list(reports)), "\n", "- ", true) + "\n";
    }
    return out + library_lines(targets, target_libraries(targets.size(), report_list(reports)));
}

std::string format_survey_markdown(const std::vector<Target>& targets, const std::vector<SurveyEntry>& entries) {
    std::string out = "| keymap | description | keys typed | differ |", rule = "|---|---|---:|---:|";
    for (int c = static_cast<int>(first_class); c < difference_class_count; ++c) {
        out += std::string(" ") + class_id(DifferenceClass(c)) + " |";
        rule += "---:|";
    }
    out += "\n" + rule + "\n";
    for (const SurveyEntry& entry : entries) {
        out += "| `" + entry_label(entry) + "` | " + entry.keymap.description + " |";
        if (!entry.report.failure.empty()) {
            out += " failed: " + entry.report.failure + " |";
            for (int c = static_cast<int>(first_class) - 1; c < difference_class_count; ++c) out += " |";
            out += "\n";
            continue;
        }
        out += " " + std::to_string(entry.report.keys.size()) + " | " + std::to_string(keys_differing(entry.report.keys)) + " |";
        const auto counts = class_counts(targets, entry.report);
        for (int c = static_cast<int>(first_class); c < difference_class_count; ++c) out += " " + std::to_string(counts[c]) + " |";
        out += "\n";
    }
    out += "\n| class | keymaps | keys | example |\n|---|---:|---:|---|\n";
    const std::vector<ClassSummary> summary = class_summaries(targets, entries);
    for (int c = static_cast<int>(first_class); c < difference_class_count; ++c) {
        const ClassSummary& s = summary[c];
        out += std::string("| ") + class_description(DifferenceClass(c)) + " (`" + class_id(DifferenceClass(c)) + "`) | " +
               std::to_string(s.keymaps) + " | " + std::to_string(s.keys) + " | " + s.example + " |\n";
    }
    const std::vector<ClassCounts> counts = counts_by_target(targets, report_list(entries));
    const std::size_t reference = reference_target(targets);
    out += "\nKeys in each class against " + targets[reference].name + ", by target:\n\n| class |";
    std::string by_target_rule = "|---|";
    for (std::size_t t = 0; t < targets.size(); ++t) {
        if (t != reference) out += " " + targets[t].name + " |", by_target_rule += "---:|";
    }
    out += "\n" + by_target_rule + "\n";
    for (int c = static_cast<int>(first_class); c < difference_class_count; ++c) {
        out += std::string("| `") + class_id(DifferenceClass(c)) + "` |";
        for (std::size_t t = 0; t < targets.size(); ++t) {
            if (t != reference) out += " " + std::to_string(counts[t][static_cast<std::size_t>(c)]) + " |";
        }
        out += "\n";
    }
    out += "\nChanged between runtimes:\n\n" + changed_between_runtimes(targets, counts, "- ") + "\n" +
           changes_text(targets, runtime_changes(targets, report_list(entries)), "\n", "- ", false);
    for (const SurveyEntry& entry : entries) {
        const std::vector<KeyComparison> other = keys_of_class(targets, entry.report, DifferenceClass::other);
        if (other.empty()) continue;
        out += "\n`other` in `" + entry_label(entry) + "`:\n\n" + format_markdown(targets, other, true);
    }
    return out + "\n" + library_lines(targets, target_libraries(targets.size(), report_list(entries)), "  \n");
}
