#include "changes.h"

namespace {

std::vector<LayerChange> layer_changes(const RuntimeIdentity& a, const RuntimeIdentity& b) {
    const auto sdl2 = [](const RuntimeIdentity& identity) {
        return identity.sdl2.empty() || !identity.sdl2_compat ? identity.sdl2 : "sdl2-compat " + identity.sdl2;
    };
    std::vector<LayerChange> changes;
    for (LayerChange change : {LayerChange{"sdl12", a.sdl12, b.sdl12}, LayerChange{"sdl2", sdl2(a), sdl2(b)},
                               LayerChange{"sdl3", a.sdl3, b.sdl3}, LayerChange{"glibc", a.glibc, b.glibc}}) {
        if (change.from != change.to) changes.push_back(change);
    }
    return changes;
}

std::string keys_word(std::size_t n) { return std::to_string(n) + (n == 1 ? " key" : " keys"); }

}  // namespace

std::vector<RuntimeChange> runtime_changes(const std::vector<Target>& targets, const ReportList& reports) {
    std::vector<RuntimeChange> changes;
    const std::size_t reference = reference_target(targets);
    std::size_t compared = 0;
    for (const LayoutReport* report : reports) compared += report->failure.empty();
    for (std::size_t to = 1; to < targets.size(); ++to) {
        std::size_t from = to;
        while (from-- > 0) {
            if (targets[from].session == targets[to].session && targets[from].window == targets[to].window) break;
        }
        if (from >= to) continue;
        RuntimeChange change{from, to, layer_changes(targets[from].runtime.identity, targets[to].runtime.identity), {}, {}};
        for (const LayoutReport* report : reports) {
            if (!report->failure.empty()) continue;
            // With several keymaps, a key is named with its keymap ("de e", "us +caps:swapescape Caps_Lock").
            std::string keymap;
            if (compared > 1) {
                keymap = report->layout;
                for (const std::string& option : report->options) keymap += " +" + option;
                keymap += " ";
            }
            for (const KeyComparison& key : report->keys) {
                if (key.by_target.size() <= to) continue;
                const DifferenceClass before = classify_pair(key, reference, from), after = classify_pair(key, reference, to);
                if (before == after) continue;
                // A key typed twice (under locks, after a dead key) is told apart by what it was typed after.
                const std::string label = keymap + key.spec.text + (key.context.empty() ? "" : " (" + key.context + ")");
                if (before != DifferenceClass::none) change.fixed[static_cast<std::size_t>(before)].push_back(label);
                if (after != DifferenceClass::none) change.broke[static_cast<std::size_t>(after)].push_back(label);
            }
        }
        changes.push_back(std::move(change));
    }
    return changes;
}

std::string change_heading(const std::vector<Target>& targets, const RuntimeChange& change) {
    std::string layers;
    for (const LayerChange& layer : change.layers) {
        layers += (layers.empty() ? "" : ", ") + layer.layer + " " + (layer.from.empty() ? "none" : layer.from) + " → " +
                  (layer.to.empty() ? "none" : layer.to);
    }
    return "from " + targets[change.from].name + " to " + targets[change.to].name + " (" +
           (layers.empty() ? "the same layers" : layers) + "):";
}

std::vector<std::string> change_lines(const RuntimeChange& change, bool list_keys) {
    std::vector<std::string> lines;
    for (const auto& [verb, keys] : {std::pair{"fixed", &change.fixed}, std::pair{"broke", &change.broke}}) {
        for (int c = static_cast<int>(first_class); c < difference_class_count; ++c) {
            const std::vector<std::string>& of_class = (*keys)[static_cast<std::size_t>(c)];
            if (of_class.empty()) continue;
            std::string line = std::string(verb) + " " + class_id(DifferenceClass(c)) + " (" + keys_word(of_class.size()) + ")";
            if (list_keys) {
                line += ":";
                for (std::size_t i = 0; i < of_class.size(); ++i) line += (i ? ", " : " ") + of_class[i];
            }
            lines.push_back(line);
        }
    }
    if (lines.empty()) lines.push_back("nothing fixed or broken");
    return lines;
}

std::string changes_text(const std::vector<Target>& targets, const std::vector<RuntimeChange>& changes, const char* heading_prefix,
                         const char* line_prefix, bool list_keys) {
    std::string out;
    for (const RuntimeChange& change : changes) {
        out += heading_prefix + change_heading(targets, change) + "\n";
        for (const std::string& line : change_lines(change, list_keys)) out += line_prefix + line + "\n";
    }
    return out;
}
