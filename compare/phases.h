// Where a run's time goes, summed over every job: for the survey's
// benchmark (KEYMON_COMPARE_TIMES=1 prints it on standard error).
#pragma once

#include <string>

#include "clock.h"

enum class Phase { server_start, layout_load, keymon_start, typing, confirmation, keymon_end, count };
void add_time(Phase phase, Clock::duration spent);
// Adds the processor time of a keymon that has been reaped.
void add_keymon_processor(double seconds);
// Each phase's time, then keymon's processor time and keymon-compare's own.
std::string phase_times();
// Adds the time from its making to its end to `phase`.
struct PhaseTimer {
    Phase phase;
    Clock::time_point start = Clock::now();
    ~PhaseTimer() { add_time(phase, Clock::now() - start); }
};
