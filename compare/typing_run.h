// One run of keymon on one target: keymon started in the session, every key
// typed and its report lines read back, keymon ended.
#pragma once

#include <string>
#include <vector>

#include "results.h"
#include "session.h"

// Runs keymon (`keymon`) as `target`, target `index` of the run, in the
// session; types every key; ends the run with Escape. Fills by_target[index]
// of each key (and, for a key no target has typed yet, the key's keycode,
// `spare` and context) and what the run learned. Returns "" or what went wrong.
[[nodiscard]] std::string type_into_keymon(Session& session, const Target& target, std::size_t index,
                                           const std::string& keymon, std::vector<KeyComparison>& keys, TargetRun& run);
