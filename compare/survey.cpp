#include "survey.h"

#include <unistd.h>
#include <xkbcommon/xkbregistry.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

std::string keymap_spec(const Keymap& keymap) {
    return keymap.variant.empty() ? keymap.layout : keymap.layout + "(" + keymap.variant + ")";
}

std::string registry_keymaps(const std::vector<std::string>& layouts, std::vector<Keymap>& keymaps) {
    rxkb_context* context = rxkb_context_new(RXKB_CONTEXT_NO_FLAGS);
    if (!context || !rxkb_context_parse_default_ruleset(context)) {
        if (context) rxkb_context_unref(context);
        return "the XKB registry cannot be read (Debian package xkb-data)";
    }
    for (rxkb_layout* layout = rxkb_layout_first(context); layout; layout = rxkb_layout_next(layout)) {
        const char* name = rxkb_layout_get_name(layout);
        const char* variant = rxkb_layout_get_variant(layout);
        const char* description = rxkb_layout_get_description(layout);
        if (!layouts.empty() && std::find(layouts.begin(), layouts.end(), name) == layouts.end()) continue;
        keymaps.push_back({name ? name : "", variant ? variant : "", description ? description : ""});
    }
    rxkb_context_unref(context);
    for (const std::string& wanted : layouts) {
        if (std::none_of(keymaps.begin(), keymaps.end(), [&](const Keymap& k) { return k.layout == wanted; })) {
            return "the XKB registry lists no layout '" + wanted + "'";
        }
    }
    return "";
}

namespace {

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

std::string run_survey(const std::vector<Session>& sessions, const LayoutTyping& base, const std::vector<Keymap>& keymaps,
                       int jobs, bool progress, std::vector<Target>& targets, std::vector<SurveyEntry>& entries) {
    std::vector<std::size_t> firsts;
    targets.clear();
    for (Session session : sessions) {
        firsts.push_back(targets.size());
        for (Target& target : session_targets(session)) targets.push_back(std::move(target));
    }
    entries.assign(keymaps.size(), SurveyEntry{});
    for (std::size_t i = 0; i < keymaps.size(); ++i) {
        entries[i].keymap = keymaps[i];
        entries[i].report.layout = keymap_spec(keymaps[i]);
        entries[i].report.source = keymaps[i].description;
    }
    Progress shown;
    shown.shown = progress;
    shown.total = keymaps.size();
    std::atomic<std::size_t> next{0};
    std::mutex failed_lock;
    std::string failed_to_start;
    std::atomic<int> started{0};
    std::vector<std::vector<Target>> job_targets(static_cast<std::size_t>(std::max(jobs, 1)), targets);

    const auto job = [&](std::vector<Target>& mine) {
        std::vector<SessionServer> servers(sessions.size());
        for (std::size_t s = 0; s < sessions.size(); ++s) {
            servers[s].session = sessions[s];
            if (const std::string error = open_session(servers[s]); !error.empty()) {
                for (std::size_t opened = 0; opened < s; ++opened) close_session(servers[opened]);
                std::lock_guard<std::mutex> hold(failed_lock);
                failed_to_start = error;
                return;
            }
        }
        ++started;
        for (std::size_t i; (i = next.fetch_add(1)) < entries.size();) {
            SurveyEntry& entry = entries[i];
            LayoutTyping typing = base;
            typing.layout = entry.report.layout;
            for (std::size_t s = 0; s < sessions.size() && entry.failure.empty(); ++s) {
                entry.failure = type_layout(servers[s], typing, mine, firsts[s], entry.report);
            }
            shown.one_more();
        }
        for (SessionServer& server : servers) close_session(server);
    };
    std::vector<std::thread> threads;
    for (std::vector<Target>& mine : job_targets) threads.emplace_back(job, std::ref(mine));
    for (std::thread& thread : threads) thread.join();
    // A job whose servers did not start leaves its keymaps to the others;
    // only when none started is there no survey at all.
    if (started == 0) return failed_to_start;
    if (!failed_to_start.empty()) std::fprintf(stderr, "keymon-compare: a job could not start (%s); the others went on\n", failed_to_start.c_str());
    // Every job ran the same libraries; any job's record of them will do.
    for (const std::vector<Target>& mine : job_targets) {
        for (std::size_t t = 0; t < targets.size(); ++t) {
            if (targets[t].library.empty()) targets[t].library = mine[t].library;
        }
    }
    return "";
}

std::array<std::size_t, difference_class_count> class_counts(const std::vector<Target>& targets, const LayoutReport& report) {
    std::array<std::size_t, difference_class_count> counts{};
    for (const KeyResult& key : report.keys) ++counts[static_cast<std::size_t>(classify(key, targets))];
    return counts;
}

std::vector<ClassSummary> class_summaries(const std::vector<Target>& targets, const std::vector<SurveyEntry>& entries) {
    std::vector<ClassSummary> summary(difference_class_count);
    for (const SurveyEntry& entry : entries) {
        if (!entry.failure.empty()) continue;
        const auto counts = class_counts(targets, entry.report);
        for (std::size_t c = 0; c < counts.size(); ++c) {
            if (counts[c] == 0) continue;
            ++summary[c].keymaps;
            summary[c].keys += counts[c];
            if (!summary[c].example.empty()) continue;
            for (const KeyResult& key : entry.report.keys) {
                if (static_cast<std::size_t>(classify(key, targets)) == c) {
                    summary[c].example = "`" + entry.report.layout + "` `" + key.spec.text + "`";
                    break;
                }
            }
        }
    }
    return summary;
}

namespace {

constexpr DifferenceClass first_class = DifferenceClass::spare_keycode;

// The keys of one class in a report, for listing them in full.
std::vector<KeyResult> keys_of(const std::vector<Target>& targets, const LayoutReport& report, DifferenceClass which) {
    std::vector<KeyResult> keys;
    for (const KeyResult& key : report.keys) {
        if (classify(key, targets) == which) keys.push_back(key);
    }
    return keys;
}

}  // namespace

std::string format_survey_text(const std::vector<Target>& targets, const std::vector<SurveyEntry>& entries) {
    std::string out;
    std::size_t width = 6;
    for (const SurveyEntry& entry : entries) width = std::max(width, entry.report.layout.size());
    for (const SurveyEntry& entry : entries) {
        std::string line = entry.report.layout + std::string(width - entry.report.layout.size() + 2, ' ');
        if (!entry.failure.empty()) {
            out += line + "failed: " + entry.failure + "\n";
            continue;
        }
        line += std::to_string(entry.report.keys.size()) + " keys typed, " + std::to_string(keys_differing(entry.report.keys)) +
                " differ";
        const auto counts = class_counts(targets, entry.report);
        std::string classes;
        for (int c = static_cast<int>(first_class); c < difference_class_count; ++c) {
            if (counts[c]) classes += (classes.empty() ? "" : ", ") + std::string(class_id(DifferenceClass(c))) + " " + std::to_string(counts[c]);
        }
        out += line + (classes.empty() ? "" : ": " + classes) + "\n";
    }
    out += "\nclass: keymaps it touches, keys, an example\n";
    const std::vector<ClassSummary> summary = class_summaries(targets, entries);
    for (int c = static_cast<int>(first_class); c < difference_class_count; ++c) {
        const ClassSummary& s = summary[c];
        out += std::string(class_id(DifferenceClass(c))) + ": " + std::to_string(s.keymaps) + " keymaps, " + std::to_string(s.keys) +
               " keys" + (s.example.empty() ? "" : ", " + s.example) + " (" + class_description(DifferenceClass(c)) + ")\n";
    }
    for (const SurveyEntry& entry : entries) {
        const std::vector<KeyResult> other = keys_of(targets, entry.report, DifferenceClass::other);
        if (other.empty()) continue;
        out += "\nother, " + entry.report.layout + ":\n" + format_text(targets, other, true);
    }
    for (const Target& target : targets) out += target.short_name + ": " + target.library + "\n";
    return out;
}

std::string format_survey_markdown(const std::vector<Target>& targets, const std::vector<SurveyEntry>& entries) {
    std::string out = "| keymap | description | keys typed | differ |", rule = "|---|---|---:|---:|";
    for (int c = static_cast<int>(first_class); c < difference_class_count; ++c) {
        out += std::string(" ") + class_id(DifferenceClass(c)) + " |";
        rule += "---:|";
    }
    out += "\n" + rule + "\n";
    for (const SurveyEntry& entry : entries) {
        out += "| `" + entry.report.layout + "` | " + entry.keymap.description + " |";
        if (!entry.failure.empty()) {
            out += " failed: " + entry.failure + " |";
            for (int c = static_cast<int>(first_class) - 1; c < difference_class_count; ++c) out += " |";
            out += "\n";
            continue;
        }
        out += " " + std::to_string(entry.report.keys.size()) + " | " + std::to_string(keys_differing(entry.report.keys)) + " |";
        const auto counts = class_counts(targets, entry.report);
        for (int c = static_cast<int>(first_class); c < difference_class_count; ++c) out += " " + std::to_string(counts[c]) + " |";
        out += "\n";
    }
    out += "\n| class | keymaps | keys | example |\n|---|---:|---:|---|\n";
    const std::vector<ClassSummary> summary = class_summaries(targets, entries);
    for (int c = static_cast<int>(first_class); c < difference_class_count; ++c) {
        const ClassSummary& s = summary[c];
        out += std::string("| ") + class_description(DifferenceClass(c)) + " (`" + class_id(DifferenceClass(c)) + "`) | " +
               std::to_string(s.keymaps) + " | " + std::to_string(s.keys) + " | " + s.example + " |\n";
    }
    for (const SurveyEntry& entry : entries) {
        const std::vector<KeyResult> other = keys_of(targets, entry.report, DifferenceClass::other);
        if (other.empty()) continue;
        out += "\n`other` in `" + entry.report.layout + "`:\n\n" + format_markdown(targets, other, true);
    }
    out += "\n";
    for (const Target& target : targets) out += target.short_name + ": " + target.library + "  \n";
    return out;
}
