// keymon-compare's result as JSON, for programs.
#include <nlohmann/json.hpp>

#include "changes.h"
#include "classify.h"
#include "formats.h"
#include "report_records.h"

namespace {

nlohmann::ordered_json report_lines(const TargetLines& target) {
    nlohmann::ordered_json lines = nlohmann::ordered_json::array();
    for (const std::string& line : target.lines) {
        const ReportLine parsed = parse_report_line(line);
        lines.push_back({{"name", parsed.name}, {"scancode", parsed.scancode}, {"unicode", parsed.unicode},
                         {"text", parsed.text}});
    }
    return lines;
}

// The version each SDL library of the runtime reports ("" for a layer it
// has not), the C library's, and the release its stack comes from.
nlohmann::ordered_json versions_json(const RuntimeIdentity& identity) {
    return {{"sdl12", identity.sdl12}, {"sdl2", identity.sdl2}, {"sdl2_compat", identity.sdl2_compat}, {"sdl3", identity.sdl3},
            {"glibc", identity.glibc}, {"release", identity.release}};
}

// Each neighbour pair's change, by the targets' ids; none with fewer than
// three targets.
nlohmann::ordered_json changes_json(const std::vector<Target>& targets, const ReportList& reports) {
    nlohmann::ordered_json listed = nlohmann::ordered_json::array();
    if (targets.size() < 3) return listed;
    for (const RuntimeChange& change : runtime_changes(targets, reports)) {
        nlohmann::ordered_json layers = nlohmann::ordered_json::object(), fixed = nlohmann::ordered_json::object(),
                               broke = nlohmann::ordered_json::object();
        for (const LayerChange& layer : change.layers) layers[layer.layer] = {layer.from, layer.to};
        for (int c = static_cast<int>(first_class); c < difference_class_count; ++c) {
            if (!change.fixed[c].empty()) fixed[class_id(DifferenceClass(c))] = change.fixed[c];
            if (!change.broke[c].empty()) broke[class_id(DifferenceClass(c))] = change.broke[c];
        }
        listed.push_back({{"from", targets[change.from].id}, {"to", targets[change.to].id}, {"layers", layers}, {"fixed", fixed}, {"broke", broke}});
    }
    return listed;
}

nlohmann::ordered_json targets_json(const std::vector<Target>& targets, const std::vector<std::string>& libraries) {
    nlohmann::ordered_json listed = nlohmann::ordered_json::array();
    for (const Target& target : targets) {
        listed.push_back({{"id", target.id},
                          {"name", target.name},
                          {"runtime", target.runtime.name},
                          {"kind", target.runtime.identity.kind == RuntimeKind::classic ? "classic" : "sdl2_based"},
                          {"versions", versions_json(target.runtime.identity)},
                          {"note", target.runtime.note},
                          {"session", session_name(target.session)},
                          {"server", target.server},
                          {"video_driver", target.video_driver.empty() ? "x11" : target.video_driver},
                          {"library", libraries[static_cast<std::size_t>(&target - targets.data())]}});
    }
    return listed;
}

// The library of each runtime's first target.
std::string runtime_library(const std::vector<Target>& targets, const std::vector<std::string>& libraries, RuntimeKind kind) {
    for (std::size_t t = 0; t < targets.size(); ++t) {
        if (targets[t].runtime.identity.kind == kind) return libraries[t];
    }
    return "";
}

nlohmann::ordered_json keys_json(const std::vector<Target>& targets, const std::vector<KeyComparison>& keys) {
    nlohmann::ordered_json listed = nlohmann::ordered_json::array();
    for (const KeyComparison& key : keys) {
        nlohmann::ordered_json entry = {{"key", key.spec.text},
                                        {"context", key.context},
                                        {"keycode", key.code},
                                        {"spare_keycode", key.spare},
                                        {"differs", key.differs()}};
        if (key.differs()) entry["class"] = class_id(classify(key, targets));
        // Every other target against the reference.
        nlohmann::ordered_json against = nlohmann::ordered_json::object();
        const std::size_t reference = reference_target(targets);
        for (std::size_t t = 0; t < targets.size() && t < key.by_target.size(); ++t) {
            if (t == reference) continue;
            const DifferenceClass which = classify_pair(key, reference, t);
            against[targets[t].id] = {{"differs", which != DifferenceClass::none}, {"class", class_id(which)}};
        }
        entry["against_reference"] = against;
        nlohmann::ordered_json ended = nlohmann::ordered_json::array();
        for (std::size_t t = 0; t < targets.size() && t < key.by_target.size(); ++t) {
            if (key.by_target[t].ended_keymon) ended.push_back(targets[t].id);
        }
        if (!ended.empty()) entry["ended_keymon"] = ended;
        for (std::size_t t = 0; t < targets.size() && t < key.by_target.size(); ++t) {
            entry[targets[t].id] = report_lines(key.by_target[t]);
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
                           {"options", report.options},
                           {"keys_typed", report.keys.size()},
                           {"keys_differ", keys_differing(report.keys)},
                           {"keys", keys_json(targets, report.keys)}});
    }
    const std::vector<std::string> libraries = target_libraries(targets.size(), report_list(reports));
    return dumped({{"version", KEYMON_VERSION},
                   {"targets", targets_json(targets, libraries)},
                   {"reference", targets.empty() ? "" : targets[reference_target(targets)].id},
                   {"classic_library", runtime_library(targets, libraries, RuntimeKind::classic)},
                   {"compat_library", runtime_library(targets, libraries, RuntimeKind::sdl2_based)},
                   {"runtime_changes", changes_json(targets, report_list(reports))},
                   {"layouts", layouts}});
}

std::string format_survey_json(const std::vector<Target>& targets, const std::vector<SurveyEntry>& entries) {
    nlohmann::ordered_json keymaps = nlohmann::ordered_json::array();
    for (const SurveyEntry& entry : entries) {
        nlohmann::ordered_json item = {{"keymap", entry_label(entry)},
                                       {"layout", entry.keymap.layout},
                                       {"variant", entry.keymap.variant},
                                       {"description", entry.keymap.description},
                                       {"options", entry.report.options}};
        if (!entry.report.failure.empty()) {
            item["failed"] = entry.report.failure;
            keymaps.push_back(item);
            continue;
        }
        item["keys_typed"] = entry.report.keys.size();
        item["keys_differ"] = keys_differing(entry.report.keys);
        const auto counts = class_counts(targets, entry.report);
        nlohmann::ordered_json classes = nlohmann::ordered_json::object();
        for (int c = static_cast<int>(first_class); c < difference_class_count; ++c) classes[class_id(DifferenceClass(c))] = counts[c];
        item["classes"] = classes;
        item["keys"] = keys_json(targets, entry.report.keys);
        keymaps.push_back(item);
    }
    nlohmann::ordered_json classes = nlohmann::ordered_json::array();
    const std::vector<ClassSummary> summary = class_summaries(targets, entries);
    for (int c = static_cast<int>(first_class); c < difference_class_count; ++c) {
        classes.push_back({{"class", class_id(DifferenceClass(c))},
                           {"description", class_description(DifferenceClass(c))},
                           {"keymaps", summary[c].keymaps},
                           {"keys", summary[c].keys}});
    }
    const std::vector<std::string> libraries = target_libraries(targets.size(), report_list(entries));
    const std::vector<ClassCounts> counts = counts_by_target(targets, report_list(entries));
    nlohmann::ordered_json by_target = nlohmann::ordered_json::object();
    for (std::size_t t = 0; t < targets.size(); ++t) {
        if (t == reference_target(targets)) continue;
        nlohmann::ordered_json per_class = nlohmann::ordered_json::object();
        for (int c = static_cast<int>(first_class); c < difference_class_count; ++c) per_class[class_id(DifferenceClass(c))] = counts[t][c];
        by_target[targets[t].id] = per_class;
    }
    return dumped({{"version", KEYMON_VERSION},
                   {"targets", targets_json(targets, libraries)},
                   {"reference", targets.empty() ? "" : targets[reference_target(targets)].id},
                   {"classic_library", runtime_library(targets, libraries, RuntimeKind::classic)},
                   {"compat_library", runtime_library(targets, libraries, RuntimeKind::sdl2_based)},
                   {"classes", classes},
                   {"classes_by_target", by_target},
                   {"runtime_changes", changes_json(targets, report_list(entries))},
                   {"keymaps", keymaps}});
}
