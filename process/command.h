// A command run to its end, its output captured.
#pragma once

#include <string>
#include <vector>

#include "clock.h"

// Runs `argv` (found on PATH) to its end, at most `limit`; returns its exit
// status (127 when it could not be run, -1 on a signal, a failed start or
// the limit) and what it printed on standard output and error together.
int run_command(const std::vector<std::string>& argv, std::string& printed, milliseconds limit);
