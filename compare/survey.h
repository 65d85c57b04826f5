// Every keymap XKB lists, compared in one run: the keymaps from the XKB
// registry, shared out between several private servers at once.
#pragma once

#include "session.h"

struct Keymap {
    std::string layout, variant;  // variant "" for the layout itself
    std::string description;      // XKB's, as the registry has it
};
// "de", or "de(nodeadkeys)": as setxkbmap's -layout takes it.
std::string keymap_spec(const Keymap& keymap);
// Every layout and variant the evdev rules list (libxkbregistry), in the
// registry's order; only those of `layouts` when it names any. "" or what
// went wrong.
std::string registry_keymaps(const std::vector<std::string>& layouts, std::vector<Keymap>& keymaps);

struct SurveyEntry {
    Keymap keymap;
    LayoutReport report;
    std::string failure;  // why the keymap could not be compared; "" when it was
};

// Types the keys into every target of every session under each keymap,
// `jobs` keymaps at a time, each job with servers of its own. The entries
// come out in the keymaps' order whatever `jobs` is. With `progress`, a line
// on standard error says how far it is. "" or what stopped the whole run.
std::string run_survey(const std::vector<Session>& sessions, const LayoutTyping& base, const std::vector<Keymap>& keymaps,
                       int jobs, bool progress, std::vector<Target>& targets, std::vector<SurveyEntry>& entries);

// How many keys of a report fall in each class.
std::array<std::size_t, difference_class_count> class_counts(const std::vector<Target>& targets, const LayoutReport& report);

// For each class: the keymaps it touches, its keys, and its first key.
struct ClassSummary {
    std::size_t keymaps = 0, keys = 0;
    std::string example;  // "`de` `KP_Enter`"
};
std::vector<ClassSummary> class_summaries(const std::vector<Target>& targets, const std::vector<SurveyEntry>& entries);

// The survey's report: text, Markdown, JSON and one page.
std::string format_survey_text(const std::vector<Target>& targets, const std::vector<SurveyEntry>& entries);
std::string format_survey_markdown(const std::vector<Target>& targets, const std::vector<SurveyEntry>& entries);
std::string format_survey_json(const std::vector<Target>& targets, const std::vector<SurveyEntry>& entries);
std::string format_survey_html(const std::vector<Target>& targets, const std::vector<SurveyEntry>& entries);
