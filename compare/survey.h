// Every keymap XKB lists, compared in one run: the keymaps from the XKB
// registry, and what the reports say of them together.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "classify.h"
#include "results.h"

struct Keymap {
    std::string layout, variant;  // variant "" for the layout itself
    std::string description;      // XKB's, as the registry has it
};
// "de", or "de(nodeadkeys)": as setxkbmap's -layout takes it.
std::string keymap_spec(const Keymap& keymap);
// Every layout and variant the evdev rules list (libxkbregistry), in the
// registry's order; only those of `layouts` when it names any. "" or what
// went wrong.
[[nodiscard]] std::string registry_keymaps(const std::vector<std::string>& layouts, std::vector<Keymap>& keymaps);

// Every XKB option the evdev rules list, in the registry's order, as
// Keymap entries (the option in `variant`, its group in `layout`); only
// those of `groups` ("caps", "compose") when it names any. "" or what went
// wrong.
[[nodiscard]] std::string registry_options(const std::vector<std::string>& groups, std::vector<Keymap>& options);

struct SurveyEntry {
    Keymap keymap;
    LayoutReport report;  // report.failure: why the keymap could not be compared
};

// An entry's name in the survey's report: its keymap ("de(nodeadkeys)"),
// with the option it was typed with ("us +caps:swapescape").
std::string entry_label(const SurveyEntry& entry);

// How many keys of a report fall in each class.
std::array<std::size_t, difference_class_count> class_counts(const std::vector<Target>& targets, const LayoutReport& report);
// The keys of one class in a report, for listing them in full.
std::vector<KeyComparison> keys_of_class(const std::vector<Target>& targets, const LayoutReport& report, DifferenceClass which);

// For each target, how many keys of the reports fall in each class against
// the reference (the reference's own row all none).
using ClassCounts = std::array<std::size_t, difference_class_count>;
std::vector<ClassCounts> counts_by_target(const std::vector<Target>& targets, const ReportList& reports);
// "changed between runtimes": for each class any target has, which targets
// have it and which have it not, one line each ("  - " before each in
// Markdown).
std::string changed_between_runtimes(const std::vector<Target>& targets, const std::vector<ClassCounts>& counts,
                                     const char* bullet = "");

// For each class: the keymaps it touches, its keys, and its first key.
struct ClassSummary {
    std::size_t keymaps = 0, keys = 0;
    std::string example;  // "`de` `KP_Enter`"
};
std::vector<ClassSummary> class_summaries(const std::vector<Target>& targets, const std::vector<SurveyEntry>& entries);
// Every keymap's report.
ReportList report_list(const std::vector<SurveyEntry>& entries);
