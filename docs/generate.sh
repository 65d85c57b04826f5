#!/usr/bin/env bash
# Regenerates docs/runtime-differences.md (keymon-compare --markdown over
# the us, de, fr and ru layouts, in the Xorg and the Wayland session) and
# docs/keyboard-de.png (the de keyboard from keymon-compare's --html page,
# as headless Chromium draws it), and docs/every-layout.md (every keymap of
# the XKB registry, on each session: minutes).
# Usage: bash docs/generate.sh
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/setup.sh"
need_packages "${monitor_packages[@]}" chromium
configure_and_build "$build" -DBUILD_TESTING=OFF >/dev/null
compare="$build/compare/keymon-compare"
docs="$root/docs"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

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

"$compare" --html "$work/de.html" --layout de >/dev/null || [ $? -eq 1 ]
chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
    --disable-component-update --disable-sync --user-data-dir="$work/profile" --hide-scrollbars \
    --window-size=1240,760 --screenshot="$docs/keyboard-de.png" "file://$work/de.html" 2>/dev/null
echo "wrote $docs/runtime-differences.md, $docs/every-layout.md and $docs/keyboard-de.png"
