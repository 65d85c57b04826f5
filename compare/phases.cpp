#include "phases.h"

#include <sys/resource.h>

#include <atomic>
#include <cstdio>

namespace {

std::atomic<long long> phase_nanoseconds[static_cast<int>(Phase::count)];
std::atomic<long long> keymon_microseconds{0};

}  // namespace

void add_time(Phase phase, Clock::duration spent) {
    phase_nanoseconds[static_cast<int>(phase)] += std::chrono::duration_cast<std::chrono::nanoseconds>(spent).count();
}

void add_keymon_processor(double seconds) { keymon_microseconds += static_cast<long long>(seconds * 1e6); }

std::string phase_times() {
    static const char* const names[] = {"server start", "layout load", "keymon start", "typing", "confirmation waits",
                                        "keymon end"};
    static_assert(std::size(names) == static_cast<std::size_t>(Phase::count), "a name for each phase");
    std::string text;
    for (int p = 0; p < static_cast<int>(Phase::count); ++p) {
        char part[64];
        std::snprintf(part, sizeof part, "%s%s %.2f s", p ? ", " : "", names[p], double(phase_nanoseconds[p].load()) / 1e9);
        text += part;
    }
    // keymon-compare's own share of the processor, apart from its children's.
    rusage own{};
    getrusage(RUSAGE_SELF, &own);
    char part[96];
    std::snprintf(part, sizeof part, "; keymon processor time %.2f s", double(keymon_microseconds.load()) / 1e6);
    text += part;
    std::snprintf(part, sizeof part, "; own processor time %.2f s user, %.2f s system",
                  double(own.ru_utime.tv_sec) + double(own.ru_utime.tv_usec) / 1e6,
                  double(own.ru_stime.tv_sec) + double(own.ru_stime.tv_usec) / 1e6);
    return text + part;
}
