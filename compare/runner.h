// Runs a comparison: every layout typed into every target of every session.
// One runner serves a single comparison and the survey of every keymap.
#pragma once

#include <string>
#include <vector>

#include "results.h"
#include "session.h"

struct RunPlan {
    std::vector<SessionKind> sessions;
    std::vector<Runtime> runtimes;  // each session runs keymon on each, in this order
    LayoutTyping base;      // what to type; its layout is each report's
    int jobs = 1;           // layouts at a time, each job with servers of its own
    bool progress = false;  // a line on standard error says how far it is
    // Stop at the first layout that fails (a single comparison), or list it
    // as failed and go on (the survey).
    bool stop_at_failure = true;
};

// Types each report's layout (report.layout; report.source is kept) into
// every target of every session, sessions opened once per job and layouts
// loaded in them one after another as a desktop's keyboard settings switch
// them. Fills `targets` and each report's keys, runs and failure; the
// reports come out in their order whatever `jobs` is. Returns "" or what
// stopped the whole run: no session could be opened.
[[nodiscard]] std::string run_comparison(const RunPlan& plan, std::vector<Target>& targets, std::vector<LayoutReport>& reports);
