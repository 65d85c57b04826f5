// keymon-compare's parts on their own: reading report records back, the
// state a drawn key shows, the page's escaping, key labels, the pc105
// drawing read from a real Xorg, and what a stack is gathered by.
#include <gtest/gtest.h>

#include <X11/keysym.h>
#include <sys/mman.h>
#include <unistd.h>

#include <xkbcommon/xkbcommon.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <utility>

#include "changes.h"
#include "command.h"
#include "elf_links.h"
#include "fetch.h"
#include "files.h"
#include "formats.h"
#include "key_sets.h"
#include "keymon.h"
#include "report_records.h"
#include "stack.h"
#include "survey.h"
#include "xserver.h"

namespace {

// What the real report_key_event writes for each of these events, in order.
std::string reported(const std::vector<SDL_keysym>& events) {
    std::fflush(stdout);
    const int saved = dup(1);
    const int capture = memfd_create("records", 0);
    dup2(capture, 1);
    for (const SDL_keysym& keysym : events) report_key_event(keysym);
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string out(static_cast<std::size_t>(lseek(capture, 0, SEEK_END)), '\0');
    out.resize(static_cast<std::size_t>(pread(capture, out.data(), out.size(), 0)));
    close(capture);
    return out;
}

SDL_keysym event(SDLKey sym, Uint8 scancode, Uint16 unicode) {
    SDL_keysym keysym{};
    keysym.sym = sym;
    keysym.scancode = scancode;
    keysym.unicode = unicode;
    return keysym;
}

// Every Unicode value keymon can report, control characters, blanks, line
// feeds and surrogates among them, comes back as one record with its fields.
TEST(ReportRecords, EveryUnicodeValueKeymonWritesReadsBackAsOneRecord) {
    std::vector<SDL_keysym> events;
    for (unsigned unicode = 0; unicode <= 0xffff; ++unicode) {
        events.push_back(event(unicode % 2 ? SDLK_j : static_cast<SDLKey>(1), static_cast<Uint8>(unicode), static_cast<Uint16>(unicode)));
    }
    const std::vector<std::string> records = read_records(reported(events));
    ASSERT_EQ(records.size(), events.size());
    for (unsigned unicode = 0; unicode <= 0xffff; ++unicode) {
        const ReportLine line = parse_report_line(records[unicode]);
        ASSERT_EQ(line.name, unicode % 2 ? "SDLK_j" : "(null)") << unicode;
        ASSERT_EQ(line.scancode, unicode & 0xff) << unicode;
        ASSERT_EQ(line.unicode, unicode);
        // The text's bytes, as the record holds them, once more through keymon.
        const std::string one = reported({events[unicode]});
        ASSERT_EQ(one.substr(one.size() - 2 - line.text.size()), line.text + " \n") << unicode;
    }
}

TEST(ReportRecords, OutputThatIsNoRecordIsKeptAndAnUnfinishedRecordWaits) {
    const std::string line_feed = reported({event(SDLK_j, 0x2c, 0xa)});
    ASSERT_EQ(line_feed, "ITEM_ID_XY SDLK_j 0x2c 0xa \n \n");
    const struct {
        std::string text;
        std::vector<std::string> records;
    } cases[] = {
        {line_feed + line_feed, {"SDLK_j 0x2c 0xa \n", "SDLK_j 0x2c 0xa \n"}},
        {"a wrapper's own line\n" + line_feed, {"a wrapper's own line", "SDLK_j 0x2c 0xa \n"}},
        {"ITEM_ID_XY SDLK_a 0x26 0x61 ab \n", {"ITEM_ID_XY SDLK_a 0x26 0x61 ab "}},  // text too long for its value
        {"ITEM_ID_XY SDLK_a 0x26 0x61\n", {"ITEM_ID_XY SDLK_a 0x26 0x61"}},
        {"ITEM_ID_XY SDLK_a 0X26 0x61 a \n", {"ITEM_ID_XY SDLK_a 0X26 0x61 a "}},
        {"no newline at the end", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(read_records(c.text), c.records) << c.text;
    // A record cut anywhere is not read until the rest comes.
    for (std::size_t cut = 0; cut < line_feed.size(); ++cut) {
        EXPECT_EQ(read_records(line_feed + line_feed.substr(0, cut)).size(), 1u) << cut;
    }
}

// What one target said for a key.
TargetLines said(std::vector<std::string> lines) {
    TargetLines target;
    target.lines = std::move(lines);
    return target;
}

KeyComparison typed_on(xkb_keycode_t code, std::vector<std::string> classic, std::vector<std::string> compat) {
    KeyComparison key;
    key.code = code;
    key.by_target = {said(std::move(classic)), said(std::move(compat))};
    return key;
}

// A key is missing when one runtime reported nothing for any key typed on
// it while the other did, whatever came before or after on the same key.
TEST(PhysicalKeyState, MissingOutranksDifferAndDifferOutranksAgree) {
    const KeyComparison agree = typed_on(10, {"x"}, {"x"}), differ = typed_on(10, {"x"}, {"y"}),
                    missing = typed_on(10, {"x"}, {}), both_silent = typed_on(10, {}, {});
    const struct {
        std::vector<KeyComparison> keys;
        KeyState state;
    } cases[] = {
        {{}, KeyState::untyped},
        {{agree}, KeyState::agree},
        {{both_silent}, KeyState::agree},
        {{differ}, KeyState::differ},
        {{agree, differ}, KeyState::differ},
        {{differ, agree}, KeyState::differ},
        {{missing}, KeyState::missing},
        {{missing, differ}, KeyState::missing},
        {{differ, missing}, KeyState::missing},
        {{agree, missing, agree}, KeyState::missing},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(physical_key_state(c.keys, 10), c.state) << c.keys.size() << " keys";
        EXPECT_EQ(physical_key_state(c.keys, 11), KeyState::untyped);
    }
    KeyComparison spare = missing;
    spare.spare = true;
    EXPECT_EQ(physical_key_state({spare}, 10), KeyState::untyped) << "a spare keycode is no key of the keyboard";
}

// Labels, keysyms, key names and report lines reach the page's bytes
// escaped (a browser's serialised DOM would escape them anyway).
TEST(HtmlPage, RawBytesEscapeMarkupInLabelsAndPanels) {
    LayoutReport report;
    report.layout = "us";
    report.source = "from --layout";
    KeyComparison key = typed_on(38, {"SDLK_LESS 0x5e 0x3c <", "SDLK_AMPERSAND 0x10 0x26 &"}, {"SDLK_QUOTEDBL 0x30 0x22 \""});
    key.spec.text = "less";
    report.keys = {key};
    report.keyboard.keys = {{38, "less<&\"", "<&\"", {{0, 0}, {10, 0}, {10, 10}, {0, 10}}}};
    report.keyboard.width = report.keyboard.height = 10;
    std::vector<Target> targets = session_targets(SessionKind::x11, named_system_runtimes());
    report.runs = {{"/lib/<classic>"}, {"/lib/&compat"}};
    const std::string page = format_html(targets, {report}, true);
    for (const char* raw : {"<&\"", "less<&", "0x3c <<", "0x26 &<", "0x22 \"<", "<classic>", "/&compat"}) {
        EXPECT_EQ(page.find(raw), std::string::npos) << raw << " unescaped";
    }
    for (const char* escaped : {"&lt;&amp;&quot;</text>", "data-keysym=\"less&lt;&amp;&quot;\"", "0x3c &lt;", "0x26 &amp;",
                                "0x22 &quot;", "&lt;classic&gt;"}) {
        EXPECT_NE(page.find(escaped), std::string::npos) << escaped << " missing";
    }
}

// With both sessions' five targets: a column and panel lines for each, and
// a key one target alone was silent on is missing.
TEST(HtmlPage, EveryTargetHasAColumnAndPanelLines) {
    std::vector<Target> targets = targets_of({SessionKind::x11, SessionKind::wayland}, named_system_runtimes());
    ASSERT_EQ(targets.size(), 5u);
    LayoutReport report;
    report.layout = "de";
    KeyComparison key;
    key.code = 51;
    key.spec.text = "dead_circumflex";
    key.by_target = {said({}), said({"SDLK_UNKNOWN 0x31 0x0"}), said({}), said({"SDLK_UNKNOWN 0x31 0x0"}), said({})};
    report.keys = {key};
    report.keyboard.keys = {{51, "dead_circumflex", "^", {{0, 0}, {10, 0}, {10, 10}, {0, 10}}}};
    EXPECT_EQ(physical_key_state(report.keys, 51), KeyState::missing);
    const std::string page = format_html(targets, {report}, false);
    for (const Target& target : targets) {
        EXPECT_NE(page.find("<th>" + target.name + "</th>"), std::string::npos) << target.name;
        EXPECT_NE(page.find(">" + target.short_name + ":"), std::string::npos) << target.short_name << " has no panel line";
    }
    EXPECT_NE(page.find("data-state=\"missing\""), std::string::npos);
}

// Recorded lines, as keymon-compare read them from both runtimes under
// us, de, fr and ru: each class's rule, and lines no rule names.
TEST(DifferenceClassRules, RecordedLinesGetTheirClass) {
    using Lines = std::vector<std::string>;
    const struct {
        const char* key;
        bool spare;
        const char* context;
        Lines classic, compat;
        DifferenceClass expected;
    } cases[] = {
        {"a", false, "", {"SDLK_a 0x26 0x61 a", "SDLK_a 0x26 0x0"}, {"SDLK_a 0x26 0x61 a", "SDLK_a 0x26 0x0"}, DifferenceClass::none},
        // scan code 0
        {"Up", false, "", {"SDLK_UP 0x6f 0x0", "SDLK_UP 0x6f 0x0"}, {"SDLK_UP 0x0 0x0", "SDLK_UP 0x0 0x0"}, DifferenceClass::scan_code_0},
        {"KP_Enter", false, "", {"SDLK_KP_ENTER 0x68 0xd \r", "SDLK_KP_ENTER 0x68 0x0"},
         {"SDLK_KP_ENTER 0x0 0xd \r", "SDLK_KP_ENTER 0x0 0x0"}, DifferenceClass::scan_code_0},
        // other names for the Windows keys and AltGr
        {"Super_L", false, "", {"SDLK_LSUPER 0x85 0x0", "SDLK_LSUPER 0x85 0x0"}, {"SDLK_LMETA 0x85 0x0", "SDLK_LMETA 0x85 0x0"},
         DifferenceClass::key_names},
        {"ISO_Level3_Shift", false, "", {"SDLK_MODE 0x6c 0x0", "SDLK_MODE 0x6c 0x0"}, {"SDLK_RALT 0x0 0x0", "SDLK_RALT 0x0 0x0"},
         DifferenceClass::key_names},
        // Delete without a character
        {"Delete", false, "", {"SDLK_DELETE 0x77 0x7f \x7f", "SDLK_DELETE 0x77 0x0"}, {"SDLK_DELETE 0x0 0x0", "SDLK_DELETE 0x0 0x0"},
         DifferenceClass::delete_character},
        // the SDL2-based runtime's three-byte decoding, whatever else differs
        {"ISO_Level3_Shift+e", false, "", {"SDLK_MODE 0x6c 0x0", "SDLK_e 0x1a 0x20ac €", "SDLK_e 0x1a 0x0", "SDLK_MODE 0x6c 0x0"},
         {"SDLK_RALT 0x0 0x0", "SDLK_e 0x1a 0x2082 ₂", "SDLK_e 0x1a 0x0", "SDLK_RALT 0x0 0x0"}, DifferenceClass::utf8_decoding},
        // an AltGr character the decoding does not explain
        {"ISO_Level3_Shift+e", false, "", {"SDLK_MODE 0x6c 0x0", "SDLK_e 0x1a 0xe9 é", "SDLK_e 0x1a 0x0", "SDLK_MODE 0x6c 0x0"},
         {"SDLK_RALT 0x0 0x0", "SDLK_e 0x1a 0xe8 è", "SDLK_e 0x1a 0x0", "SDLK_RALT 0x0 0x0"}, DifferenceClass::altgr_character},
        // control characters under Ctrl
        {"ctrl+d", false, "", {"SDLK_LCTRL 0x25 0x0", "SDLK_d 0x28 0x4 \x04", "SDLK_d 0x28 0x0", "SDLK_LCTRL 0x25 0x0"},
         {"SDLK_LCTRL 0x25 0x0", "SDLK_d 0x28 0x64 d", "SDLK_d 0x28 0x0", "SDLK_LCTRL 0x25 0x0"}, DifferenceClass::ctrl_character},
        {"ctrl+bracketleft", false, "", {"SDLK_LCTRL 0x25 0x0", "SDLK_LEFTBRACKET 0x22 0x1b \x1b"}, {"SDLK_LCTRL 0x25 0x0", "SDLK_LEFTBRACKET 0x22 0x0"},
         DifferenceClass::ctrl_character},
        // a control character without Ctrl is no Ctrl difference
        {"shift+Return", false, "", {"SDLK_RETURN 0x24 0xd \r"}, {"SDLK_RETURN 0x24 0xa \n"}, DifferenceClass::character},
        // a lock key's lines
        {"Num_Lock", false, "", {"SDLK_NUMLOCK 0x4d 0x0"}, {"SDLK_NUMLOCK 0x4d 0x0", "SDLK_NUMLOCK 0x4d 0x0"}, DifferenceClass::lock_lines},
        {"Caps_Lock", false, "", {"SDLK_CAPSLOCK 0x42 0x0"}, {"SDLK_CAPSLOCK 0x42 0x0", "SDLK_CAPSLOCK 0x42 0x0"},
         DifferenceClass::lock_lines},
        // a dead key and what it composes
        {"dead_circumflex", false, "", {}, {"SDLK_UNKNOWN 0x31 0x0", "SDLK_UNKNOWN 0x31 0x0"}, DifferenceClass::dead_key},
        {"e", false, "after dead_circumflex", {"SDLK_UNKNOWN 0x0 0xea ê"}, {"SDLK_e 0x1a 0xea ê", "SDLK_e 0x1a 0x0"},
         DifferenceClass::dead_key},
        // a spare keycode: one runtime silent, or only the modifiers around it
        {"EuroSign", true, "", {"SDLK_UNKNOWN 0xf8 0x20ac €", "SDLK_UNKNOWN 0xf8 0x0"}, {}, DifferenceClass::spare_keycode},
        {"ISO_Level3_Shift+q", true, "", {"SDLK_MODE 0x5c 0x0", "SDLK_q 0xf8 0x71 q", "SDLK_q 0xf8 0x0", "SDLK_MODE 0x5c 0x0"},
         {"SDLK_RALT 0x0 0x0", "SDLK_RALT 0x0 0x0"}, DifferenceClass::spare_keycode},
        // found by the survey
        {"shift+a", true, "", {"SDLK_LSHIFT 0x32 0x0", "SDLK_a 0xf8 0x61 a", "SDLK_a 0xf8 0x0", "SDLK_LSHIFT 0x32 0x0"},
         {"SDLK_LSHIFT 0x32 0x61 a", "SDLK_LSHIFT 0x32 0x0"}, DifferenceClass::character_on_modifier},
        {"1", false, "", {"SDLK_LSHIFT 0x32 0x0", "SDLK_AMPERSAND 0xa 0x31 1", "SDLK_AMPERSAND 0xa 0x0", "SDLK_LSHIFT 0x32 0x0"},
         {"SDLK_LSHIFT 0x32 0x0", "SDLK_1 0xa 0x31 1", "SDLK_1 0xa 0x0", "SDLK_LSHIFT 0x32 0x0"}, DifferenceClass::position_names},
        {"numerosign", false, "", {"SDLK_LSHIFT 0x32 0x0", "SDLK_3 0xc 0x2116 №", "SDLK_3 0xc 0x0", "SDLK_LSHIFT 0x32 0x0"},
         {"SDLK_LSHIFT 0x32 0x0", "SDLK_3 0xc 0x2104 ℄", "SDLK_3 0xc 0x0", "SDLK_LSHIFT 0x32 0x0"}, DifferenceClass::utf8_decoding},
        {"U13D9", false, "", {"SDLK_UNKNOWN 0xd 0x13d9 Ꮩ", "SDLK_UNKNOWN 0xd 0x0"}, {"SDLK_4 0xd 0x13cf Ꮟ", "SDLK_4 0xd 0x0"},
         DifferenceClass::utf8_decoding},
        {"KP_Decimal", false, "Num Lock on", {"SDLK_KP_PERIOD 0x81 0x2e .", "SDLK_KP_PERIOD 0x81 0x0"},
         {"SDLK_KP_PERIOD 0x5b 0x2e .", "SDLK_KP_PERIOD 0x5b 0x0"}, DifferenceClass::other_scan_code},
        {"Alt_R", true, "", {"SDLK_RALT 0xf8 0x0", "SDLK_RALT 0xf8 0x0"}, {}, DifferenceClass::spare_keycode},
        // no rule: a line the other runtime lacks, another key's scan code with a character
        {"ISO_Level3_Shift+q", false, "", {"SDLK_MODE 0x5c 0x0", "SDLK_MODE 0x5c 0x0"},
         {"SDLK_RALT 0x0 0x0", "SDLK_q 0x19 0x0", "SDLK_q 0x19 0x0", "SDLK_RALT 0x0 0x0"}, DifferenceClass::other},
        {"KP_Decimal", false, "", {"SDLK_KP_PERIOD 0x81 0x2e ."}, {"SDLK_KP_PERIOD 0x5b 0x2c ,"}, DifferenceClass::other},
        {"a", false, "", {"SDLK_a 0x26 0x61 a", "SDLK_a 0x26 0x0"}, {"SDLK_a 0x26 0x61 a"}, DifferenceClass::other},
    };
    const std::vector<Target> targets = session_targets(SessionKind::x11, named_system_runtimes());
    for (const auto& c : cases) {
        KeyComparison key = typed_on(10, c.classic, c.compat);
        ASSERT_EQ(parse_key_spec(c.key, key.spec), "");
        key.spare = c.spare;
        key.context = c.context;
        EXPECT_EQ(class_id(classify(key, targets)), std::string(class_id(c.expected))) << c.key << " " << c.context;
    }
    // On the Wayland session the two SDL2-based backends may differ where
    // classic agrees with one of them.
    std::vector<Target> wayland = session_targets(SessionKind::wayland, named_system_runtimes());
    KeyComparison dead;
    ASSERT_EQ(parse_key_spec("dead_circumflex", dead.spec), "");
    dead.by_target = {said({}), said({"SDLK_UNKNOWN 0x31 0x0", "SDLK_UNKNOWN 0x31 0x0"}), said({})};
    EXPECT_EQ(classify(dead, wayland), DifferenceClass::dead_key);
    // A key that ended keymon on one runtime, whatever its lines.
    KeyComparison escape = typed_on(9, {"SDLK_CAPSLOCK 0x9 0x0"}, {});
    ASSERT_EQ(parse_key_spec("Caps_Lock", escape.spec), "");
    escape.by_target[1].ended_keymon = true;
    EXPECT_EQ(classify(escape, targets), DifferenceClass::ends_keymon);
    EXPECT_EQ(classify_pair(escape, 0, 0), DifferenceClass::none);
}

// The decoding fault's rule against every three-byte character: it changes
// exactly those whose low six bits differ from their middle byte's, and a
// character it leaves alone is no decoding difference.
TEST(DifferenceClassRules, DecodingRuleCoversEveryThreeByteCharacter) {
    const std::vector<Target> targets = session_targets(SessionKind::x11, named_system_runtimes());
    std::size_t decoded = 0;
    for (unsigned cp = 0x800; cp <= 0xffff; ++cp) {
        if (cp >= 0xd800 && cp <= 0xdfff) continue;
        const unsigned wrong = (cp & ~0x3fu) | ((cp >> 6) & 0x3f);
        if (wrong == cp) continue;
        char a[64], b[64];
        std::snprintf(a, sizeof a, "SDLK_UNKNOWN 0x8 0x%x", cp);
        std::snprintf(b, sizeof b, "SDLK_UNKNOWN 0x8 0x%x", wrong);
        KeyComparison key = typed_on(8, {a}, {b});
        key.spec.text = "U";
        ASSERT_EQ(classify(key, targets), DifferenceClass::utf8_decoding) << std::hex << cp;
        ++decoded;
    }
    EXPECT_EQ(decoded, 61440u - 61440u / 64u) << "every three-byte scalar value but one in 64";
}

// The survey's keymaps are the registry's: as many as xkbcli, a tool of
// libxkbcommon's own, lists.
TEST(Registry, ListsAsManyKeymapsAsXkbcli) {
    std::vector<Keymap> keymaps;
    ASSERT_EQ(registry_keymaps({}, keymaps), "");
    std::FILE* listing = popen("xkbcli list 2>/dev/null || /usr/libexec/xkbcommon/xkbcli-list 2>/dev/null", "r");
    ASSERT_TRUE(listing);
    std::size_t listed = 0;
    char line[512];
    while (std::fgets(line, sizeof line, listing)) listed += std::strncmp(line, "- layout:", 9) == 0;
    pclose(listing);
    ASSERT_GT(listed, 500u) << "xkbcli (Debian package libxkbcommon-tools) listed too few";
    EXPECT_EQ(keymaps.size(), listed);

    std::vector<Keymap> german;
    ASSERT_EQ(registry_keymaps({"de"}, german), "");
    ASSERT_GT(german.size(), 10u);
    EXPECT_EQ(keymap_spec(german.front()), "de");
    for (const Keymap& keymap : german) EXPECT_EQ(keymap.layout, "de") << keymap_spec(keymap);
    std::vector<Keymap> none;
    EXPECT_NE(registry_keymaps({"no-such-layout"}, none), "");
}

TEST(KeycapLabel, CharactersFromLibxkbcommonNamesForTheRest) {
    const struct {
        KeySym sym;
        const char* label;
    } cases[] = {
        {XK_a, "a"}, {XK_A, "A"}, {XK_exclam, "!"}, {XK_adiaeresis, "ä"}, {XK_EuroSign, "€"},
        {XK_Cyrillic_ef, "ф"}, {XK_Cyrillic_IO, "Ё"}, {XK_Greek_alpha, "α"}, {XK_hebrew_aleph, "א"},
        {XK_kana_A, "ア"}, {XK_Arabic_alef, "ا"}, {XK_Thai_kokai, "ก"}, {0x10000e9, "é"}, {0x1000451, "ё"},
        {XK_KP_7, "7"}, {XK_KP_Add, "+"},
        {XK_space, ""}, {NoSymbol, ""},
        {XK_Return, "Return"}, {XK_BackSpace, "BackSp"}, {XK_Tab, "Tab"}, {XK_Escape, "Escape"},
        {XK_Delete, "Delete"}, {XK_KP_Enter, "Enter"}, {XK_Shift_L, "Shift"}, {XK_Control_R, "Ctrl"},
        {XK_ISO_Level3_Shift, "ISO_Le"}, {XK_F1, "F1"}, {XK_Prior, "Prior"},
    };
    for (const auto& c : cases) EXPECT_EQ(keycap_label(c.sym), c.label) << std::hex << c.sym;
}

// Even-odd rule: an outline may be concave (the ISO Return key).
bool inside(const std::vector<Point>& outline, double x, double y) {
    bool in = false;
    for (std::size_t i = 0, j = outline.size() - 1; i < outline.size(); j = i++) {
        const Point& a = outline[i];
        const Point& b = outline[j];
        if ((a.y > y) != (b.y > y) && x < (b.x - a.x) * (y - a.y) / (b.y - a.y) + a.x) in = !in;
    }
    return in;
}

// Every key's shape where the server's pc105 geometry puts it: sampled on a
// grid of 0.5 mm, no point lies in two keys.
TEST(Pc105Drawing, NoTwoKeyShapesOverlap) {
    XServer server;
    ASSERT_EQ(start_xserver(server, ServerKind::xorg), "");
    ASSERT_EQ(set_layout(server, "us"), "");
    KeyboardDrawing drawing;
    const bool read = read_keyboard_geometry(server.conn, drawing);
    stop_xserver(server);
    ASSERT_TRUE(read);
    EXPECT_EQ(drawing.geometry, "pc(pc105)");
    ASSERT_GE(drawing.keys.size(), 105u);
    std::size_t covered = 0;
    for (double y = 2.5; y < drawing.height; y += 5) {
        for (double x = 2.5; x < drawing.width; x += 5) {
            std::vector<std::string> at;
            for (const DrawnKey& key : drawing.keys) {
                if (inside(key.outline, x, y)) at.push_back(key.keysym);
            }
            covered += !at.empty();
            ASSERT_LE(at.size(), 1u) << "at " << x << "," << y << ": " << ::testing::PrintToString(at);
        }
    }
    EXPECT_GT(covered, 1000u) << "the keys take up some of the drawing";
}

}  // namespace

namespace {

// Levels 1 to 4 of group 1 of every key, as libxkbcommon compiles the layout.
LayoutSymbols compiled_symbols(const char* layout, const char* options) {
    LayoutSymbols symbols;
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    const xkb_rule_names names = {"evdev", "pc105", layout, "", options};
    xkb_keymap* keymap = xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap); keymap && code <= xkb_keymap_max_keycode(keymap); ++code) {
        std::array<xkb_keysym_t, 4> levels{};
        for (xkb_level_index_t level = 0; level < 4; ++level) {
            const xkb_keysym_t* syms = nullptr;
            if (xkb_keymap_key_get_syms_by_level(keymap, code, 0, level, &syms) == 1) levels[level] = syms[0];
        }
        symbols.push_back(levels);
    }
    if (keymap) xkb_keymap_unref(keymap);
    xkb_context_unref(context);
    return symbols;
}

}  // namespace

// The built-in set types every character of levels 1 to 4, Ctrl with every
// letter key, the keys no character reaches, and a compose sequence exactly
// where the keymap has Multi_key; the same set every time.
TEST(BuiltinKeys, EveryLevelCtrlAndComposeOfTheKeymapAsLibxkbcommonReadsIt) {
    for (const auto& [layout, options] : {std::pair{"de", ""}, std::pair{"fr", ""}, std::pair{"ru", ""}, std::pair{"us", "compose:ralt"}}) {
        SCOPED_TRACE(std::string(layout) + " " + options);
        const LayoutSymbols symbols = compiled_symbols(layout, options);
        ASSERT_FALSE(symbols.empty());
        const std::vector<std::string> keys = builtin_keys(symbols);
        EXPECT_EQ(builtin_keys(symbols), keys);
        const std::set<std::string> set(keys.begin(), keys.end());
        bool multi = false;
        std::size_t characters = 0;
        for (const auto& levels : symbols) {
            for (xkb_keysym_t sym : levels) {
                multi = multi || sym == XKB_KEY_Multi_key;
                const std::uint32_t c = xkb_keysym_to_utf32(sym);
                if (c < 0x20 || c == 0x7f) continue;
                ++characters;
                const char* name = XKeysymToString(sym);
                ASSERT_TRUE(name);
                EXPECT_TRUE(set.count(name)) << name << " is not typed";
            }
            if (xkb_keysym_to_lower(levels[0]) != xkb_keysym_to_upper(levels[0])) {
                EXPECT_TRUE(set.count(std::string("ctrl+") + XKeysymToString(levels[0]))) << XKeysymToString(levels[0]);
            }
        }
        EXPECT_GT(characters, 90u) << "the AltGr levels are read";
        for (const char* key : {"ctrl+1", "ctrl+0", "ctrl+bracketleft", "ctrl+backslash", "ctrl+space", "Menu", "Pause", "Print",
                                "Scroll_Lock", "shift+Return", "shift+Tab", "shift+KP_Enter"}) {
            EXPECT_TRUE(set.count(key)) << key;
        }
        const std::vector<std::string> last(keys.end() - 3, keys.end());
        EXPECT_EQ(last == std::vector<std::string>({"Multi_key", "apostrophe", "e"}), multi);
    }
}

// What the stack gatherer reads from a shared object, against binutils on
// every library this system holds: the same DT_NEEDED names in the same
// order, and the program interpreter of a program.
TEST(StackParts, ElfLinksAgreeWithReadelfOnEverySystemLibrary) {
    std::size_t checked = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/x86_64-linux-gnu")) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("lib", 0) != 0 || name.find(".so.") == std::string::npos || entry.is_symlink() || !entry.is_regular_file()) continue;
        std::string printed;
        ASSERT_EQ(run_command({"readelf", "-dW", entry.path().string()}, printed, milliseconds(30000)), 0) << name;
        std::vector<std::string> expected;
        for (std::size_t at = 0; (at = printed.find("(NEEDED)", at)) != std::string::npos; ++at) {
            const std::size_t open = printed.find('[', at), close = printed.find(']', open);
            expected.push_back(printed.substr(open + 1, close - open - 1));
        }
        ElfLinks links;
        ASSERT_EQ(read_elf_links(entry.path().string(), links), "") << name;
        EXPECT_EQ(links.needed, expected) << name;
        ++checked;
    }
    EXPECT_GT(checked, 100u);
    ElfLinks shell;
    ASSERT_EQ(read_elf_links("/bin/sh", shell), "");
    EXPECT_EQ(shell.interpreter, "/lib64/ld-linux-x86-64.so.2");
    ElfLinks text;
    EXPECT_EQ(read_elf_links("/etc/passwd", text), "/etc/passwd is not an ELF file");
}

// The names SDL loads with dlopen, against binutils' strings: every
// library name strings finds in SDL2, and no other.
TEST(StackParts, LibraryNamesInSdlAreThoseStringsFinds) {
    const std::string sdl2 = std::filesystem::canonical("/usr/lib/x86_64-linux-gnu/libSDL2-2.0.so.0");
    std::string printed, bytes;
    ASSERT_EQ(run_command({"strings", "-a", sdl2}, printed, milliseconds(30000)), 0);
    std::set<std::string> expected;
    const std::regex name("lib[A-Za-z0-9_+.-]*\\.so(\\.[0-9]+)*");
    for (std::size_t start = 0; start < printed.size();) {
        const std::size_t end = printed.find('\n', start);
        const std::string line = printed.substr(start, end - start);
        if (std::regex_match(line, name)) expected.insert(line);
        start = end + 1;
    }
    ASSERT_TRUE(read_file(sdl2, bytes));
    const std::vector<std::string> found = library_names_in(bytes);
    EXPECT_EQ(std::set<std::string>(found.begin(), found.end()), expected);
    EXPECT_TRUE(expected.count("libX11.so.6"));
    constexpr char strings[] = "\x01\x02libX11.so.6\0libfoo.so.\0libbar.so\0lib.so";
    EXPECT_EQ(library_names_in(std::string(strings, sizeof strings)), std::vector<std::string>({"libX11.so.6", "libbar.so"}));
}

// Which mixes of layers cannot work, by what their libraries report.
TEST(StackParts, MixesThatCannotWorkAreNamed) {
    RuntimeIdentity classic, sdl2, compat;
    classic.kind = RuntimeKind::classic;
    sdl2.kind = compat.kind = RuntimeKind::sdl2_based;
    sdl2.sdl2 = "2.32.4";
    compat.sdl2_compat = true;
    const struct {
        const RuntimeIdentity* identity;
        std::vector<std::string> layers;
        std::string problem;
    } cases[] = {
        {&classic, {"sdl12"}, ""},
        {&classic, {"sdl2"}, "classic SDL 1.2 loads no SDL2"},
        {&classic, {"sdl3"}, "classic SDL 1.2 loads no SDL3"},
        {&sdl2, {"sdl12", "sdl2"}, ""},
        {&sdl2, {"sdl3"}, "SDL3 is loaded by sdl2-compat alone, and its SDL2 is SDL2 2.32.4 itself"},
        {&compat, {"sdl12", "sdl3"}, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(mix_problem(*c.identity, c.layers), c.problem) << ::testing::PrintToString(c.layers);
}

// Each runtime is paired with the one given before it, on the same kind of
// window in the same session: never across Xorg, Xwayland and Wayland.
TEST(StackParts, RuntimeChangesPairNeighboursOfOneKind) {
    std::vector<Runtime> runtimes = named_system_runtimes();
    runtimes.push_back(runtimes[1]);
    runtimes[2].name = "unstable";
    runtimes[2].identity.sdl12 = "1.2.78";
    const std::vector<Target> targets = targets_of({SessionKind::x11, SessionKind::wayland}, runtimes);
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const RuntimeChange& change : runtime_changes(targets, {})) pairs.push_back({targets[change.from].id, targets[change.to].id});
    EXPECT_EQ(pairs, (std::vector<std::pair<std::string, std::string>>{{"classic", "compat"},
                                                                        {"compat", "unstable"},
                                                                        {"classic_xwayland", "compat_xwayland"},
                                                                        {"compat_xwayland", "unstable_xwayland"},
                                                                        {"compat_wayland", "unstable_wayland"}}));
}

// Which mapped objects break a stack's promise: on X11 anything from
// outside it; on Wayland, where this system's OpenGL drivers are let in,
// only a library of this system loaded in place of one the stack holds.
TEST(StackParts, ForeignObjectsAreThoseOutsideTheStackOrInItsPlace) {
    const std::string folder = std::string(::testing::TempDir()) + "stack-" + std::to_string(getpid());
    std::filesystem::create_directories(folder);
    for (const char* name : {"libc.so.6", "libwayland-client.so.0", "libSDL3.so.0"}) std::ofstream(folder + "/" + name) << "";
    const std::vector<std::string> mapped = {folder + "/libc.so.6",
                                             folder + "/libSDL3.so.0",
                                             "/usr/lib/x86_64-linux-gnu/libEGL_mesa.so.0.0.0",
                                             "/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so",
                                             "/usr/lib/x86_64-linux-gnu/libwayland-client.so.0.21.0",
                                             "/usr/lib/x86_64-linux-gnu/libc.so.6"};
    EXPECT_EQ(foreign_objects(folder, mapped, StackGraphics::software), std::vector<std::string>(mapped.begin() + 2, mapped.end()));
    EXPECT_EQ(foreign_objects(folder, mapped, StackGraphics::system_opengl), std::vector<std::string>(mapped.begin() + 4, mapped.end()));
    std::filesystem::remove_all(folder);
}
