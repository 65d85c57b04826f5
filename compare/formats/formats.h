// keymon-compare's reports: text, Markdown, JSON and one page, each for a
// single comparison and for the survey of every keymap.
#pragma once

#include <string>
#include <vector>

#include "results.h"
#include "survey.h"
#include "targets.h"

// ---- Pieces the formats share ----------------------------------------------

// A report line as keymon-compare shows it: a text field that holds
// control characters (Return gives a carriage return) or blanks is quoted,
// with C escapes.
std::string quoted_line(const std::string& line);
// What is noted after a key's name: "(spare keycode, after dead_circumflex)".
std::string key_notes(const KeyComparison& key);
// The layout's summary line, naming where the layout came from.
std::string layout_summary(const LayoutReport& report);
// The line naming each target's library: "classic: /usr/lib/...".
std::string library_lines(const std::vector<Target>& targets, const std::vector<std::string>& libraries,
                          const char* line_end = "\n");

// What a differing key's class says: the one class, or with more than two
// targets, each target's against the reference ("SDL2-based SDL 1.2: scan
// code 0; unstable: as classic SDL 1.2"), joined by `separator`.
std::string key_verdict(const KeyComparison& key, const std::vector<Target>& targets, const std::string& separator = "; ");

// The lines of one target's cell in the table: each report line (`code`),
// bold where another target's line in that row differs; a target with no
// lines has the one plain line "nothing", or "no answer" when the monitor
// did not confirm the key.
struct CellLine {
    std::string text;
    bool code = true;
    bool differs = false;
};
std::vector<CellLine> table_cell(const KeyComparison& key, std::size_t target);

// ---- Text ---------------------------------------------------------------------

// A column for each target, "!" on the rows where any two differ; `all`
// shows the keys that agree too.
std::string format_text(const std::vector<Target>& targets, const std::vector<KeyComparison>& keys, bool all);
// Every layout's table and summary, then each target's library.
std::string format_run_text(const std::vector<Target>& targets, const std::vector<LayoutReport>& reports, bool all);
std::string format_survey_text(const std::vector<Target>& targets, const std::vector<SurveyEntry>& entries);

// ---- Markdown -----------------------------------------------------------------

std::string format_markdown(const std::vector<Target>& targets, const std::vector<KeyComparison>& keys, bool all);
std::string format_run_markdown(const std::vector<Target>& targets, const std::vector<LayoutReport>& reports, bool all);
std::string format_survey_markdown(const std::vector<Target>& targets, const std::vector<SurveyEntry>& entries);

// ---- JSON ---------------------------------------------------------------------

std::string format_json(const std::vector<Target>& targets, const std::vector<LayoutReport>& reports);
std::string format_survey_json(const std::vector<Target>& targets, const std::vector<SurveyEntry>& entries);

// ---- The page -------------------------------------------------------------------

// One page that needs nothing from elsewhere: for each layout the keyboard
// drawn as SVG, coloured by state, and the table's rows (`all`: of every
// key, else of those that differ).
std::string format_html(const std::vector<Target>& targets, const std::vector<LayoutReport>& reports, bool all);
std::string format_survey_html(const std::vector<Target>& targets, const std::vector<SurveyEntry>& entries);
