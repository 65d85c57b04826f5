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

std::string format_json(const std::vector<LayoutReport>& reports, const std::string libraries[2]) {
    nlohmann::ordered_json layouts = nlohmann::ordered_json::array();
    for (const LayoutReport& report : reports) {
        nlohmann::ordered_json keys = nlohmann::ordered_json::array();
        for (const KeyResult& key : report.keys) {
            keys.push_back({{"key", key.spec.text},
                            {"context", key.context},
                            {"keycode", key.code},
                            {"spare_keycode", key.spare},
                            {"differs", key.differs()},
                            {"classic", report_lines(key.runtimes[0])},
                            {"compat", report_lines(key.runtimes[1])}});
        }
        layouts.push_back({{"layout", report.layout},
                           {"keys_typed", report.keys.size()},
                           {"keys_differ", keys_differing(report.keys)},
                           {"keys", keys}});
    }
    const nlohmann::ordered_json document = {{"version", KEYMON_VERSION},
                                             {"classic_library", libraries[0]},
                                             {"compat_library", libraries[1]},
                                             {"layouts", layouts}};
    // A text that is not UTF-8 is shown with U+FFFD rather than thrown over.
    return document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}
