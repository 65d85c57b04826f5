// keymon-compare's result as JSON, for programs.
#include <nlohmann/json.hpp>

#include "compare.h"
#include "survey.h"

namespace {

nlohmann::ordered_json report_lines(const KeyReport& report) {
    nlohmann::ordered_json lines = nlohmann::ordered_json::array();
    for (const std::string& line : report.lines) {
        const ReportLine parsed = parse_report_line(line);
        lines.push_back({{"name", parsed.name}, {"scancode", parsed.scancode}, {"unicode", parsed.unicode},
                         {"text", parsed.text}});
    }
    return lines;
}

nlohmann::ordered_json targets_json(const std::vector<Target>& targets) {
    nlohmann::ordered_json listed = nlohmann::ordered_json::array();
    for (const Target& target : targets) {
        listed.push_back({{"id", target.id},
                          {"name", target.name},
                          {"runtime", runtime_name(target.runtime)},
                          {"session", session_name(target.session)},
                          {"server", target.server},
                          {"video_driver", target.video_driver.empty() ? "x11" : target.video_driver},
                          {"library", target.library}});
    }
    return listed;
}

// The library of each runtime's first target.
std::string runtime_library(const std::vector<Target>& targets, Runtime runtime) {
    for (const Target& target : targets) {
        if (target.runtime == runtime) return target.library;
    }
    return "";
}

nlohmann::ordered_json keys_json(const std::vector<Target>& targets, const std::vector<KeyResult>& keys) {
    nlohmann::ordered_json listed = nlohmann::ordered_json::array();
    for (const KeyResult& key : keys) {
        nlohmann::ordered_json entry = {{"key", key.spec.text},
                                        {"context", key.context},
                                        {"keycode", key.code},
                                        {"spare_keycode", key.spare},
                                        {"differs", key.differs()}};
        if (key.differs()) entry["class"] = class_id(classify(key, targets));
        for (std::size_t t = 0; t < targets.size() && t < key.reports.size(); ++t) {
            entry[targets[t].id] = report_lines(key.reports[t]);
        }
        listed.push_back(entry);
    }
    return listed;
}

std::string dumped(const nlohmann::ordered_json& document) {
    // A text that is not UTF-8 is shown with U+FFFD rather than thrown over.
    return document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace

std::string format_json(const std::vector<Target>& targets, const std::vector<LayoutReport>& reports) {
    nlohmann::ordered_json layouts = nlohmann::ordered_json::array();
    for (const LayoutReport& report : reports) {
        layouts.push_back({{"layout", report.layout},
                           {"source", report.source},
                           {"keys_typed", report.keys.size()},
                           {"keys_differ", keys_differing(report.keys)},
                           {"keys", keys_json(targets, report.keys)}});
    }
    return dumped({{"version", KEYMON_VERSION},
                   {"targets", targets_json(targets)},
                   {"classic_library", runtime_library(targets, Runtime::classic)},
                   {"compat_library", runtime_library(targets, Runtime::compat)},
                   {"layouts", layouts}});
}

std::string format_survey_json(const std::vector<Target>& targets, const std::vector<SurveyEntry>& entries) {
    nlohmann::ordered_json keymaps = nlohmann::ordered_json::array();
    for (const SurveyEntry& entry : entries) {
        nlohmann::ordered_json item = {{"keymap", entry.report.layout},
                                       {"layout", entry.keymap.layout},
                                       {"variant", entry.keymap.variant},
                                       {"description", entry.keymap.description}};
        if (!entry.failure.empty()) {
            item["failed"] = entry.failure;
            keymaps.push_back(item);
            continue;
        }
        item["keys_typed"] = entry.report.keys.size();
        item["keys_differ"] = keys_differing(entry.report.keys);
        const auto counts = class_counts(targets, entry.report);
        nlohmann::ordered_json classes = nlohmann::ordered_json::object();
        for (int c = 1; c < difference_class_count; ++c) classes[class_id(DifferenceClass(c))] = counts[c];
        item["classes"] = classes;
        item["keys"] = keys_json(targets, entry.report.keys);
        keymaps.push_back(item);
    }
    nlohmann::ordered_json classes = nlohmann::ordered_json::array();
    const std::vector<ClassSummary> summary = class_summaries(targets, entries);
    for (int c = 1; c < difference_class_count; ++c) {
        classes.push_back({{"class", class_id(DifferenceClass(c))},
                           {"description", class_description(DifferenceClass(c))},
                           {"keymaps", summary[c].keymaps},
                           {"keys", summary[c].keys}});
    }
    return dumped({{"version", KEYMON_VERSION},
                   {"targets", targets_json(targets)},
                   {"classic_library", runtime_library(targets, Runtime::classic)},
                   {"compat_library", runtime_library(targets, Runtime::compat)},
                   {"classes", classes},
                   {"keymaps", keymaps}});
}
