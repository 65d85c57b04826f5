#include "survey.h"

#include <xkbcommon/xkbregistry.h>

#include <algorithm>
#include <memory>

std::string keymap_spec(const Keymap& keymap) {
    return keymap.variant.empty() ? keymap.layout : keymap.layout + "(" + keymap.variant + ")";
}

namespace {

// The evdev rules' registry, released by its owner.
using Registry = std::unique_ptr<rxkb_context, decltype(&rxkb_context_unref)>;

Registry read_registry() {
    Registry registry(rxkb_context_new(RXKB_CONTEXT_NO_FLAGS), &rxkb_context_unref);
    if (registry && !rxkb_context_parse_default_ruleset(registry.get())) registry.reset();
    return registry;
}

constexpr const char* unreadable_registry = "the XKB registry cannot be read (Debian package xkb-data)";

}  // namespace

std::string registry_keymaps(const std::vector<std::string>& layouts, std::vector<Keymap>& keymaps) {
    const Registry registry = read_registry();
    if (!registry) return unreadable_registry;
    for (rxkb_layout* layout = rxkb_layout_first(registry.get()); layout; layout = rxkb_layout_next(layout)) {
        const char* name = rxkb_layout_get_name(layout);
        const char* variant = rxkb_layout_get_variant(layout);
        const char* description = rxkb_layout_get_description(layout);
        if (!layouts.empty() && std::find(layouts.begin(), layouts.end(), name) == layouts.end()) continue;
        keymaps.push_back({name ? name : "", variant ? variant : "", description ? description : ""});
    }
    for (const std::string& wanted : layouts) {
        if (std::none_of(keymaps.begin(), keymaps.end(), [&](const Keymap& k) { return k.layout == wanted; })) {
            return "the XKB registry lists no layout '" + wanted + "'";
        }
    }
    return "";
}

std::string registry_options(const std::vector<std::string>& groups, std::vector<Keymap>& options) {
    const Registry registry = read_registry();
    if (!registry) return unreadable_registry;
    for (rxkb_option_group* group = rxkb_option_group_first(registry.get()); group; group = rxkb_option_group_next(group)) {
        const std::string group_name = rxkb_option_group_get_name(group);
        if (!groups.empty() && std::find(groups.begin(), groups.end(), group_name) == groups.end()) continue;
        for (rxkb_option* option = rxkb_option_first(group); option; option = rxkb_option_next(option)) {
            const char* description = rxkb_option_get_description(option);
            options.push_back({group_name, rxkb_option_get_name(option), description ? description : ""});
        }
    }
    for (const std::string& wanted : groups) {
        if (std::none_of(options.begin(), options.end(), [&](const Keymap& k) { return k.layout == wanted; })) {
            return "the XKB registry lists no option group '" + wanted + "'";
        }
    }
    return "";
}

std::vector<ClassCounts> counts_by_target(const std::vector<Target>& targets, const ReportList& reports) {
    std::vector<ClassCounts> counts(targets.size(), ClassCounts{});
    const std::size_t reference = reference_target(targets);
    for (const LayoutReport* report : reports) {
        if (!report->failure.empty()) continue;
        for (const KeyComparison& key : report->keys) {
            for (std::size_t t = 0; t < targets.size() && t < key.by_target.size(); ++t) {
                ++counts[t][static_cast<std::size_t>(classify_pair(key, reference, t))];
            }
        }
    }
    return counts;
}

std::string changed_between_runtimes(const std::vector<Target>& targets, const std::vector<ClassCounts>& counts, const char* bullet) {
    const std::size_t reference = reference_target(targets);
    std::string out;
    for (int c = static_cast<int>(first_class); c < difference_class_count; ++c) {
        std::string have, have_not;
        for (std::size_t t = 0; t < targets.size(); ++t) {
            if (t == reference) continue;
            const std::size_t n = counts[t][static_cast<std::size_t>(c)];
            if (n) have += (have.empty() ? "" : ", ") + targets[t].name + " (" + std::to_string(n) + (n == 1 ? " key)" : " keys)");
            else have_not += (have_not.empty() ? "" : ", ") + targets[t].name;
        }
        if (have.empty()) continue;
        out += std::string(bullet) + class_id(DifferenceClass(c)) + ": " + have + (have_not.empty() ? "" : "; not " + have_not) + "\n";
    }
    return out;
}

std::string entry_label(const SurveyEntry& entry) {
    std::string label = entry.report.layout;
    for (const std::string& option : entry.report.options) label += " +" + option;
    return label;
}

std::array<std::size_t, difference_class_count> class_counts(const std::vector<Target>& targets, const LayoutReport& report) {
    std::array<std::size_t, difference_class_count> counts{};
    for (const KeyComparison& key : report.keys) ++counts[static_cast<std::size_t>(classify(key, targets))];
    return counts;
}

std::vector<ClassSummary> class_summaries(const std::vector<Target>& targets, const std::vector<SurveyEntry>& entries) {
    std::vector<ClassSummary> summary(difference_class_count);
    for (const SurveyEntry& entry : entries) {
        if (!entry.report.failure.empty()) continue;
        const auto counts = class_counts(targets, entry.report);
        for (std::size_t c = 0; c < counts.size(); ++c) {
            if (counts[c] == 0) continue;
            ++summary[c].keymaps;
            summary[c].keys += counts[c];
            if (!summary[c].example.empty()) continue;
            for (const KeyComparison& key : entry.report.keys) {
                if (static_cast<std::size_t>(classify(key, targets)) == c) {
                    summary[c].example = "`" + entry_label(entry) + "` `" + key.spec.text + "`";
                    break;
                }
            }
        }
    }
    return summary;
}

std::vector<KeyComparison> keys_of_class(const std::vector<Target>& targets, const LayoutReport& report, DifferenceClass which) {
    std::vector<KeyComparison> keys;
    for (const KeyComparison& key : report.keys) {
        if (classify(key, targets) == which) keys.push_back(key);
    }
    return keys;
}

ReportList report_list(const std::vector<SurveyEntry>& entries) {
    ReportList list;
    for (const SurveyEntry& entry : entries) list.push_back(&entry.report);
    return list;
}
