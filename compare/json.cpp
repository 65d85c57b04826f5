// keymon-compare's result as JSON, for programs.
#include <nlohmann/json.hpp>

#include "compare.h"

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

}  // namespace

std::string format_json(const std::vector<Target>& targets, const std::vector<LayoutReport>& reports) {
    nlohmann::ordered_json listed = nlohmann::ordered_json::array();
    std::string libraries[2];
    for (const Target& target : targets) {
        listed.push_back({{"id", target.id},
                          {"name", target.name},
                          {"runtime", runtime_name(target.runtime)},
                          {"session", session_name(target.session)},
                          {"server", target.server},
                          {"video_driver", target.video_driver.empty() ? "x11" : target.video_driver},
                          {"library", target.library}});
        std::string& library = libraries[target.runtime == Runtime::classic ? 0 : 1];
        if (library.empty()) library = target.library;
    }
    nlohmann::ordered_json layouts = nlohmann::ordered_json::array();
    for (const LayoutReport& report : reports) {
        nlohmann::ordered_json keys = nlohmann::ordered_json::array();
        for (const KeyResult& key : report.keys) {
            nlohmann::ordered_json entry = {{"key", key.spec.text},
                                            {"context", key.context},
                                            {"keycode", key.code},
                                            {"spare_keycode", key.spare},
                                            {"differs", key.differs()}};
            if (key.differs()) entry["class"] = class_id(classify(key, targets));
            for (std::size_t t = 0; t < targets.size() && t < key.reports.size(); ++t) {
                entry[targets[t].id] = report_lines(key.reports[t]);
            }
            keys.push_back(entry);
        }
        layouts.push_back({{"layout", report.layout},
                           {"source", report.source},
                           {"keys_typed", report.keys.size()},
                           {"keys_differ", keys_differing(report.keys)},
                           {"keys", keys}});
    }
    const nlohmann::ordered_json document = {{"version", KEYMON_VERSION},
                                             {"targets", listed},
                                             {"classic_library", libraries[0]},
                                             {"compat_library", libraries[1]},
                                             {"layouts", layouts}};
    // A text that is not UTF-8 is shown with U+FFFD rather than thrown over.
    return document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}
