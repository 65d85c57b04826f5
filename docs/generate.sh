#!/usr/bin/env bash
# Regenerates docs/runtime-differences.md (keymon-compare --markdown over
# the us, de, fr and ru layouts, in the Xorg and the Wayland session) and
# docs/keyboard-de.png (the de keyboard from keymon-compare's --html page,
# as headless Chromium draws it), docs/every-layout.md (every keymap of
# the XKB registry, on each session: minutes), and docs/runtime-versions.md
# (classic against the whole stacks of Debian 12, Debian 13, unstable and
# experimental, fetched from Debian's archive).
# Usage: bash docs/generate.sh [runtime-versions]   (that document alone)
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/setup.sh"
need_packages "${monitor_packages[@]}" chromium
configure_and_build "$build" -DBUILD_TESTING=OFF >/dev/null
compare="$build/compare/keymon-compare"
docs="$root/docs"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# classic against each release's whole stack: the versions, the classes over
# every keymap, what each stack fixed or broke against the one before it and
# in which layer, and every option on us.
runtime_versions() {
    # A chain that changes one layer at a time: each change below names the
    # layer that made it.
    local cache="$work/cache" runtimes=(--runtime classic) chain=(
        debian12
        debian12-sdl12-debian13=debian12,sdl12=debian13
        debian13
        debian13-sdl12-unstable=debian13,sdl12=unstable
        unstable
        experimental)
    for stack in "${chain[@]}"; do
        XDG_CACHE_HOME="$cache" "$compare" --fetch-runtime "$stack" >/dev/null
        runtimes+=(--runtime "${stack%%=*}")
    done
    export XDG_CACHE_HOME="$cache"
    for layout in us de fr ru; do
        "$compare" "${runtimes[@]}" --json --layout "$layout" >"$work/versions-$layout.json" || [ $? -eq 1 ]
    done
    local start took
    start=$(date +%s)
    "$compare" "${runtimes[@]}" --every-layout --markdown >"$work/versions-every.md" || [ $? -le 2 ]
    took=$(( $(date +%s) - start ))
    "$compare" --every-option --layout us --markdown >"$work/options.md" || [ $? -le 2 ]
    {
        echo "# What each SDL 1.2 stack changed, and in which layer"
        echo
        echo "Made by \`bash docs/generate.sh runtime-versions\` with keymon-compare $("$compare" --version | cut -d' ' -f2), in the Xorg session:"
        echo "classic SDL 1.2 (the reference), then a chain of whole stacks (each its SDL 1.2, SDL2, SDL3 and C library, fetched"
        echo "with \`keymon-compare --fetch-runtime\` and run through its own loader) that changes one layer at a time: Debian 12;"
        echo "Debian 13's SDL 1.2 over Debian 12's SDL2; Debian 13; unstable's SDL 1.2 over Debian 13's SDL2; unstable; experimental."
        echo "Run on $(. /etc/os-release; echo "$PRETTY_NAME"); the built-in key set."
        echo
        echo "## The runtimes"
        echo
        # The cache this script fetched into is a folder of its own: named as a user's would be.
        sed -n '/^classic: /,$p' "$work/versions-every.md" | sed "s/  \$//; s/^/- /; s|$cache/keymon/runtimes|~/.cache/keymon/runtimes|"
        echo
        echo "## Classes over every keymap"
        echo
        echo "Every layout and variant of the XKB registry ($(sed -n '3,/^$/p' "$work/versions-every.md" | grep -c '^| `') keymaps, ${took} s on $(nproc) processors);"
        echo "for each runtime, the keys of each class against classic, summed over the keymaps:"
        echo
        sed -n '/^Keys in each class against/,/^Changed between/p' "$work/versions-every.md" | sed '1d;$d'
        awk '/^Changed between runtimes:/ { on = 1; print; next } on && /^- / { print; listed = 1; next } on && listed { exit }' "$work/versions-every.md"
        echo
        echo "Over every keymap, from each stack to the next (keys fixed and broken against classic, by class):"
        awk '/^from .* to .*\):$/ { on = 1 } on { if ($0 ~ /^(from |- |$)/) print; else exit }' "$work/versions-every.md"
        echo
        echo "## What each stack fixed or broke, against the one before it"
        echo
        echo "Keys of \`us\`, \`de\`, \`fr\` and \`ru\` that agree with classic on one runtime and not on the one before it (fixed), or"
        echo "the other way round (broke), as JSON \`runtime_changes\` gives them, with the layers in which the two stacks differ:"
        echo
        python3 - "$work"/versions-{us,de,fr,ru}.json <<'PYTHON'
import json, sys
rows = []
for path in sys.argv[1:]:
    doc = json.load(open(path))
    layout = doc["layouts"][0]["layout"]
    for change in doc.get("runtime_changes", []):
        layers = ", ".join("%s %s → %s" % (name, pair[0] or "none", pair[1] or "none") for name, pair in change["layers"].items())
        for verb in ("fixed", "broke"):
            for cls, keys in change[verb].items():
                rows.append((change["to"], change["from"], layers, verb, layout, cls, len(keys), ", ".join("`%s`" % k for k in keys[:8]) + (", …" if len(keys) > 8 else "")))
print("| runtime | against | layers that differ | | layout | class | keys | which |")
print("|---|---|---|---|---|---|---:|---|")
for row in rows:
    print("| %s | %s | %s | %s | `%s` | `%s` | %d | %s |" % row)
if not rows:
    print("| | | | nothing | | | | |")
PYTHON
        echo
        echo "## Every XKB option on \`us\`"
        echo
        echo "\`keymon-compare --every-option --layout us\`: each option the registry lists, alone, classic against the system's SDL2-based"
        echo "runtime; the 20 options with the most differing keys:"
        echo
        sed -n '1,2p' "$work/options.md"
        grep -E '^\| `[^`]+` \| .* \| [0-9]+ \| [0-9]+ \|' "$work/options.md" |
            awk -F' [|] ' '{ print $4 "\t" $0 }' | sort -t$'\t' -k1,1nr -s | awk 'NR <= 20' | cut -f2-
    } >"$docs/runtime-versions.md"
    echo "wrote $docs/runtime-versions.md"
}
if [ "${1:-}" = runtime-versions ]; then
    runtime_versions
    exit 0
fi

{
    echo "# Where the two SDL 1.2 runtimes differ"
    echo
    echo "Made by \`bash docs/generate.sh\` with keymon-compare $("$compare" --version | cut -d' ' -f2):"
    echo "\`keymon-compare --markdown --session x11,wayland --layout L\` for each layout below, the built-in key set."
    echo "Five targets: classic SDL 1.2 and the SDL2-based runtime in a private Xorg; both through the"
    echo "Xwayland of a private sway; the SDL2-based runtime on SDL2's own Wayland backend in that sway."
    echo "Keys on which all five agree are left out; the lines that differ from another target's are in bold."
    for layout in us de fr ru; do
        echo
        echo "## Layout $layout"
        echo
        # Status 1 only says that some key differs.
        "$compare" --markdown --session x11,wayland --layout "$layout" >"$work/$layout.md" || [ $? -eq 1 ]
        grep -v '^[^|]*: /' "$work/$layout.md"
    done
    echo
    grep '^[^|]*: /' "$work/us.md" | sed 's/$/  /'
} >"$docs/runtime-differences.md"

# Every keymap of the XKB registry, on each session. Status 2 only says that
# some keymap failed to load (the registry's "custom" placeholder does).
{
    echo "# Every keymap XKB ships"
    echo
    echo "Made by \`bash docs/generate.sh\` with keymon-compare $("$compare" --version | cut -d' ' -f2):"
    echo "\`keymon-compare --every-layout --markdown --session S\`, the built-in key set typed under every layout"
    echo "and variant the XKB registry lists, on both SDL 1.2 runtimes. Classes are named by rules over the report"
    echo "lines (\`keymon-compare(1)\`); \`other\` is what no rule names."
    for session in x11 wayland; do
        start=$(date +%s)
        "$compare" --every-layout --markdown --session "$session" >"$work/every-$session.md" || [ $? -le 2 ]
        took=$(( $(date +%s) - start ))
        keymaps=$(grep -cE '^\| `[^`]+` \|' "$work/every-$session.md" | head -1)
        echo
        echo "## The $session session"
        echo
        echo "$(grep -cE '^\| `[^`]+` \| .* \| ([0-9]+|failed: .*) \|' "$work/every-$session.md") keymaps in ${took} s on $(nproc) processors."
        echo
        echo "### Classes: the keymaps each touches"
        echo
        sed -n '/^| class | keymaps |/,/^$/p' "$work/every-$session.md"
        echo "### The 20 keymaps with the most differing keys"
        echo
        sed -n '1,2p' "$work/every-$session.md"
        grep -E '^\| `[^`]+` \| .* \| [0-9]+ \| [0-9]+ \|' "$work/every-$session.md" |
            awk -F' [|] ' '{ print $4 "\t" $0 }' | sort -t$'\t' -k1,1nr -s | awk 'NR <= 20' | cut -f2-
        echo
        echo "Keymaps that failed:"
        echo
        grep -E '\| failed: ' "$work/every-$session.md" | cut -d'|' -f2-4 | sed 's/^/- /; s/ *$//' || echo "- none"
        echo
        echo "### The \`other\` rows"
        sed -n '/^`other` in /,$p' "$work/every-$session.md" | sed 's/^`other` in `\([^`]*\)`:$/\n#### `\1`/'
    done
} >"$docs/every-layout.md"

# The de keyboard on three runtimes, the Ctrl row's class hidden so that
# the other causes show.
"$compare" --fetch-runtime unstable >/dev/null
"$compare" --runtime classic --runtime compat --runtime unstable --html "$work/de.html" --layout de >/dev/null || [ $? -eq 1 ]
chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
    --disable-component-update --disable-sync --user-data-dir="$work/profile" --hide-scrollbars \
    --window-size=1240,1180 --screenshot="$docs/keyboard-de.png" "file://$work/de.html#class=but:ctrl_character" 2>/dev/null
runtime_versions
echo "wrote $docs/runtime-differences.md, $docs/every-layout.md and $docs/keyboard-de.png"
