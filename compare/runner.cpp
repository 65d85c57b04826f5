#include "runner.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "phases.h"
#include "typing_run.h"

namespace {

// The report's keys, from the keys named or the built-in set of the layout
// the first session loaded.
[[nodiscard]] std::string make_keys(const LayoutTyping& typing, const LayoutSymbols& symbols, std::size_t targets,
                                    LayoutReport& report) {
    if (report.keys.empty()) {
        report.keys = typing.named;
        if (typing.builtin) {
            for (const std::string& name : builtin_keys(symbols)) {
                KeyComparison key;
                if (std::string error = parse_key_spec(name, key.spec); !error.empty()) return error;
                report.keys.push_back(std::move(key));
            }
        }
    }
    for (KeyComparison& key : report.keys) key.by_target.resize(targets);
    report.runs.resize(targets);
    return "";
}

// Loads the layout into the session, makes the report's keys when it has
// none yet, and types them into the session's targets (from `first` on in
// the run's list). "" or what went wrong.
std::string type_layout(Session& session, std::size_t first, std::size_t targets, const LayoutTyping& typing,
                        LayoutReport& report) {
    const auto loading = Clock::now();
    LayoutSymbols symbols;
    const std::string loaded = session.ops->load(session.servers, typing, symbols);
    keymap_changed(session.keyboard);
    if (!loaded.empty()) return loaded;
    if (std::string error = make_keys(typing, symbols, targets, report); !error.empty()) return error;
    add_time(Phase::layout_load, Clock::now() - loading);
    for (std::size_t t = 0; t < session.targets.size(); ++t) {
        const std::size_t index = first + t;
        if (std::string error = type_into_keymon(session, session.targets[t], index, typing.keymon, report.keys, report.runs[index]);
            !error.empty()) {
            return error;
        }
    }
    if (typing.drawing && report.keyboard.keys.empty()) session.ops->draw(session.servers, typing, report.keys, report.keyboard);
    return "";
}

std::string duration(double seconds) {
    char text[32];
    if (seconds >= 60) {
        std::snprintf(text, sizeof text, "%d min %02d s", int(seconds) / 60, int(seconds) % 60);
    } else {
        std::snprintf(text, sizeof text, "%d s", int(seconds));
    }
    return text;
}

// The progress line, written over itself on a terminal.
struct Progress {
    bool shown = false;
    std::size_t total = 0, done = 0;
    Clock::time_point start = Clock::now();
    std::mutex lock;

    void one_more() {
        std::lock_guard<std::mutex> hold(lock);
        ++done;
        if (!shown) return;
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const double rate = elapsed > 0 ? double(done) / elapsed : 0;
        std::fprintf(stderr, "\rkeymon-compare: %zu of %zu keymaps, %.1f a minute, %s left   ", done, total, rate * 60,
                     duration(rate > 0 ? double(total - done) / rate : 0).c_str());
        if (done == total) std::fputc('\n', stderr);
        std::fflush(stderr);
    }
};

}  // namespace

std::string run_comparison(const RunPlan& plan, std::vector<Target>& targets, std::vector<LayoutReport>& reports) {
    targets = targets_of(plan.sessions, plan.runtimes);
    std::vector<std::size_t> firsts;  // each session's first target in the list
    for (std::size_t s = 0, first = 0; s < plan.sessions.size(); ++s) {
        firsts.push_back(first);
        first += session_targets(plan.sessions[s], plan.runtimes).size();
    }
    Progress progress;
    progress.shown = plan.progress;
    progress.total = reports.size();
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::atomic<int> started{0};
    std::mutex failed_lock;
    std::string failed_to_start;

    const auto job = [&] {
        std::vector<std::unique_ptr<Session>> sessions;
        for (SessionKind kind : plan.sessions) {
            const PhaseTimer timed{Phase::server_start};
            sessions.push_back(std::make_unique<Session>());
            if (std::string error = open_session(kind, plan.base.keymap, plan.runtimes, *sessions.back()); !error.empty()) {
                std::lock_guard<std::mutex> hold(failed_lock);
                failed_to_start = error;
                return;  // the sessions opened so far close as they go
            }
        }
        ++started;
        for (std::size_t i; !stop && (i = next.fetch_add(1)) < reports.size();) {
            LayoutReport& report = reports[i];
            LayoutTyping typing = plan.base;
            typing.layout = report.layout;
            typing.options = report.options;
            for (std::size_t s = 0; s < sessions.size() && report.failure.empty(); ++s) {
                report.failure = type_layout(*sessions[s], firsts[s], targets.size(), typing, report);
            }
            if (!report.failure.empty() && plan.stop_at_failure) stop = true;
            progress.one_more();
        }
    };
    std::vector<std::thread> threads;
    for (int j = 1; j < plan.jobs; ++j) threads.emplace_back(job);
    job();
    for (std::thread& thread : threads) thread.join();
    // A job whose servers did not start leaves its layouts to the others;
    // only when none started is there no comparison at all.
    if (started == 0) return failed_to_start;
    if (!failed_to_start.empty()) {
        std::fprintf(stderr, "keymon-compare: a job could not start (%s); the others went on\n", failed_to_start.c_str());
    }
    return "";
}
