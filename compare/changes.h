// What changed from each runtime to the next, in the order they were
// given: the keys the later one fixed and broke against the reference, and
// the layers (SDL 1.2, SDL2, SDL3, the C library) in which the two differ.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "classify.h"
#include "survey.h"

struct LayerChange {
    std::string layer;        // "sdl12", "sdl2", "sdl3", "glibc"
    std::string from, to;     // the versions; "" where a runtime has no such layer
};

struct RuntimeChange {
    std::size_t from = 0, to = 0;  // targets of one session and window kind, `to` given after `from`
    std::vector<LayerChange> layers;  // only the layers that differ
    // For each class, the keys `to` fixed (they differed from the reference
    // on `from` by that class and agree on `to`) and broke (the reverse; a
    // key whose class changed is in both). "e", or "de e" when the reports
    // are of several keymaps.
    std::array<std::vector<std::string>, difference_class_count> fixed, broke;
};
// Each pair of neighbours: a target and the one before it in the same
// session, on the same kind of window.
std::vector<RuntimeChange> runtime_changes(const std::vector<Target>& targets, const ReportList& reports);

// "from debian13 to unstable (sdl12 1.2.68 → 1.2.78, glibc 2.41 → 2.43):"
std::string change_heading(const std::vector<Target>& targets, const RuntimeChange& change);
// One line for each class fixed or broken: "fixed lock_lines (2 keys): Caps_Lock, Num_Lock",
// the keys left out when `list_keys` is false; "nothing fixed or broken" if none.
std::vector<std::string> change_lines(const RuntimeChange& change, bool list_keys);
// All of them in words, each heading after `heading_prefix` and each of its
// lines after `line_prefix`.
std::string changes_text(const std::vector<Target>& targets, const std::vector<RuntimeChange>& changes, const char* heading_prefix,
                         const char* line_prefix, bool list_keys);
