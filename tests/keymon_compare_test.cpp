// keymon-compare as a user runs it: its own Xorg, a real XKB layout, the
// real keymon on both SDL 1.2 runtimes.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>

#include "keyboard.h"
#include "monitor.h"
#include "xserver.h"

namespace {

struct CompareRun {
    int status = -1;
    std::string out, err;
};

CompareRun compare(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    Monitor process;
    LaunchOptions options;
    options.output = Output::pipe;
    options.args = args;
    options.extra_env = env;
    CompareRun run;
    const std::string error = launch_monitor(process, KEYMON_COMPARE_BINARY, options);
    if (!error.empty()) {
        run.err = error;
        return run;
    }
    run.status = wait_monitor(process, milliseconds(120000));
    run.out = monitor_output(process);
    run.err = monitor_errors(process);
    return run;
}

const std::vector<std::string> with_keymon = {"--keymon", KEYMON_BINARY};

std::vector<std::string> args(std::vector<std::string> rest) {
    rest.insert(rest.begin(), with_keymon.begin(), with_keymon.end());
    return rest;
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(KeymonCompare, KeypadEnterDiffersInScanCodeAndExitsOne) {
    const CompareRun run = compare(args({"KP_Enter"}));
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_TRUE(has(run.out, "! KP_Enter  SDLK_KP_ENTER 0x68 0xd \"\\r\"  SDLK_KP_ENTER 0x0 0xd \"\\r\"\n")) << run.out;
    EXPECT_TRUE(has(run.out, "layout us (the default: no X display): 1 keys typed, 1 differ")) << run.out;
    EXPECT_EQ(run.err, "");

    const CompareRun table = compare(args({"--markdown", "KP_Enter"}));
    EXPECT_EQ(table.status, 1) << table.err;
    EXPECT_TRUE(has(table.out, "| `KP_Enter` | **`SDLK_KP_ENTER 0x68 0xd \"\\r\"`**<br>**`SDLK_KP_ENTER 0x68 0x0`** | "
                               "**`SDLK_KP_ENTER 0x0 0xd \"\\r\"`**<br>**`SDLK_KP_ENTER 0x0 0x0`** |\n"))
        << table.out;
}

TEST(KeymonCompare, LettersAgreeAndExitZero) {
    const CompareRun run = compare(args({"a", "b", "c"}));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(has(run.out, "layout us (the default: no X display): 3 keys typed, 0 differ")) << run.out;
    EXPECT_FALSE(has(run.out, "SDLK_a")) << "agreeing keys are shown only with --all";

    const CompareRun all = compare(args({"--all", "a"}));
    EXPECT_EQ(all.status, 0) << all.err;
    EXPECT_TRUE(has(all.out, "  a    SDLK_a 0x26 0x61 a  SDLK_a 0x26 0x61 a\n")) << all.out;
}

TEST(KeymonCompare, KeyOnASpareKeycodeReachesOnlyClassicSdl) {
    const CompareRun run = compare(args({"EuroSign"}));
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_TRUE(has(run.out, "! EuroSign (spare keycode)  SDLK_UNKNOWN ")) << run.out;
    EXPECT_TRUE(has(run.out, " 0x20ac \xe2\x82\xac  -\n")) << "classic reports it, the SDL2-based runtime nothing:\n"
                                                           << run.out;
}

TEST(KeymonCompare, MarkdownSaysNothingWhereARuntimeAnsweredWithNothing) {
    const CompareRun run = compare(args({"--markdown", "EuroSign"}));
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_TRUE(has(run.out, "| `EuroSign` (spare keycode) | **`SDLK_UNKNOWN ")) << run.out;
    EXPECT_TRUE(has(run.out, " | nothing |\n")) << run.out;
}

TEST(KeymonCompare, GermanLayoutPutsZOnTheUsYKey) {
    // 0x1d is the keycode of the key a US keyboard labels y: only a real
    // layout, not one rebound key, moves z there.
    const CompareRun run = compare(args({"--layout", "de", "--all", "z", "y"}));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(has(run.out, "  z    SDLK_z 0x1d 0x7a z  SDLK_z 0x1d 0x7a z\n")) << run.out;
    EXPECT_TRUE(has(run.out, "  y    SDLK_y 0x34 0x79 y  SDLK_y 0x34 0x79 y\n")) << run.out;
}

TEST(KeymonCompare, GnuOptionFormsAreTakenAsTheirLongForms) {
    const std::vector<std::vector<std::string>> forms = {
        {"--layout", "de", "--all", "z"},
        {"--layout=de", "--all", "z"},
        {"-l", "de", "-a", "z"},
        {"-lde", "-a", "--", "z"},
        {"z", "--all", "--layout=de"},
    };
    for (const auto& form : forms) {
        SCOPED_TRACE(::testing::PrintToString(form));
        std::vector<std::string> with = form;
        with.insert(with.begin(), std::string("--keymon=") + KEYMON_BINARY);
        const CompareRun run = compare(with);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(has(run.out, "  z    SDLK_z 0x1d 0x7a z  SDLK_z 0x1d 0x7a z\n")) << run.out;
        EXPECT_TRUE(has(run.out, "layout de (from --layout): 1 keys typed, 0 differ")) << run.out;
    }
    // After "--" a key that looks like an option is a key.
    const CompareRun dash = compare(args({"--", "--all"}));
    EXPECT_EQ(dash.status, 2);
    EXPECT_TRUE(has(dash.err, "unknown keysym '--all'")) << dash.err;

    const CompareRun version = compare({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "keymon-compare " KEYMON_VERSION "\n");
    EXPECT_EQ(compare({"-V"}).out, version.out);
}

TEST(KeymonCompare, DefaultLayoutIsTheOneTheDisplayHasLoaded) {
    XServer desktop;
    ASSERT_EQ(start_xserver(desktop, ServerKind::xorg), "");
    ASSERT_EQ(set_layout(desktop, "de"), "");
    const CompareRun run = compare(args({"--all", "z"}), {"DISPLAY=" + desktop.display});
    stop_xserver(desktop);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(has(run.out, "  z    SDLK_z 0x1d 0x7a z  SDLK_z 0x1d 0x7a z\n")) << run.out;
    EXPECT_TRUE(has(run.out, "layout de (from X display " + desktop.display + "): 1 keys typed")) << run.out;

    // A display that cannot be reached leaves the default, and says so.
    const CompareRun gone = compare(args({"a"}), {"DISPLAY=:99"});
    EXPECT_EQ(gone.status, 0) << gone.err;
    EXPECT_TRUE(has(gone.out, "layout us (the default: X display :99 not reachable)")) << gone.out;
}

TEST(KeymonCompare, TroubleExitsTwoWithOneMessage) {
    struct Case {
        std::vector<std::string> args, env;
        std::string message;
    };
    const Case cases[] = {
        {args({"a", "no_such_key"}), {}, "keymon-compare: unknown keysym 'no_such_key' in 'no_such_key'\n"},
        {args({"shift+"}), {}, "keymon-compare: unknown keysym '' in 'shift+'\n"},
        {args({"--layout", "xx", "a"}), {}, "keymon-compare: unknown XKB layout 'xx'"},
        {{"--keymon", "/nonexistent/keymon", "a"}, {}, "keymon-compare: keymon '/nonexistent/keymon' is not an executable file\n"},
        {args({"a"}), {"KEYMON_COMPAT_LIBDIR=/nonexistent"}, "keymon-compare: the SDL2-based SDL 1.2 runtime is not installed"},
        {args({"--bogus"}), {}, "keymon-compare: unknown option '--bogus'\n"},
        {args({"-x"}), {}, "keymon-compare: unknown option '-x'\n"},
        {args({"--layout"}), {}, "keymon-compare: option '--layout' needs a value\n"},
        {args({"--layout=de fr", "a"}), {}, "keymon-compare: unknown XKB layout 'de fr'\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const CompareRun run = compare(c.args, c.env);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        const std::size_t at = run.err.find("keymon-compare: ");
        EXPECT_EQ(run.err.substr(at == std::string::npos ? 0 : at, c.message.size()), c.message) << run.err;
        EXPECT_EQ(count_lines(run.err.substr(at == std::string::npos ? 0 : at)), 1u) << run.err;
    }
}

// The children of `pid`, by their parent field in /proc.
std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> found;
    // Processes come and go while /proc is read: an error ends the scan,
    // it does not throw.
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc", error); !error && it != std::filesystem::directory_iterator();
         it.increment(error)) {
        const auto& entry = *it;
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const std::size_t close = text.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        long parent = 0;
        if (std::sscanf(text.c_str() + close + 1, " %c %ld", &state, &parent) == 2 && parent == pid) {
            found.push_back(static_cast<pid_t>(std::stol(name)));
        }
    }
    return found;
}

std::string command_of(pid_t pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

TEST(KeymonCompare, InterruptStopsTheServerAndKeymon) {
    Monitor process;
    LaunchOptions options;
    options.output = Output::pipe;
    options.args = with_keymon;  // the built-in set: long enough to interrupt
    ASSERT_EQ(launch_monitor(process, KEYMON_COMPARE_BINARY, options), "");
    // Interrupt once both the server and keymon run.
    pid_t server = -1, keymon = -1;
    const auto deadline = Clock::now() + milliseconds(30000);
    while ((server < 0 || keymon < 0) && Clock::now() < deadline) {
        for (pid_t child : children_of(process.pid)) {
            const std::string command = command_of(child);
            if (command == "Xorg") server = child;
            if (command == "keymon") keymon = child;
        }
        std::this_thread::sleep_for(milliseconds(1));
    }
    ASSERT_TRUE(server > 0 && keymon > 0) << "no Xorg and keymon to interrupt";
    kill(process.pid, SIGINT);
    EXPECT_EQ(wait_monitor(process), 128 + SIGINT);
    for (pid_t child : {server, keymon}) {
        EXPECT_NE(kill(child, 0), 0) << command_of(child) << " still runs";
    }
    EXPECT_TRUE(has(monitor_errors(process), "interrupted")) << monitor_errors(process);
}

// The counts of each summary line of a text run: layout -> {typed, differ}.
std::map<std::string, std::pair<int, int>> summary_counts(const std::string& out) {
    std::map<std::string, std::pair<int, int>> counts;
    const std::regex summary(R"(layout (\S+) \([^)]*\): (\d+) keys typed, (\d+) differ)");
    for (std::sregex_iterator it(out.begin(), out.end(), summary), end; it != end; ++it) {
        counts[(*it)[1]] = {std::stoi((*it)[2]), std::stoi((*it)[3])};
    }
    return counts;
}

const nlohmann::json* find_key(const nlohmann::json& layout, const std::string& name) {
    for (const nlohmann::json& key : layout["keys"]) {
        if (key["key"] == name) return &key;
    }
    return nullptr;
}

TEST(KeymonCompare, JsonHoldsEachKeysLinesAndTheSummarysCounts) {
    const std::vector<std::string> keys = {"--layout", "us", "--layout", "de", "KP_Enter", "ISO_Level3_Shift+e",
                                           "A", "exclam", "EuroSign", "sterling"};
    std::vector<std::string> json_args = keys;
    json_args.push_back("--json");
    const CompareRun run = compare(args(json_args));
    EXPECT_EQ(run.status, 1) << run.err;
    const nlohmann::json doc = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << run.out;
    EXPECT_EQ(doc["version"], KEYMON_VERSION);
    EXPECT_TRUE(has(doc["compat_library"].get<std::string>(), "sdl12-compat")) << doc["compat_library"];
    ASSERT_EQ(doc["layouts"].size(), 2u);
    const nlohmann::json& us = doc["layouts"][0];
    const nlohmann::json& de = doc["layouts"][1];
    ASSERT_EQ(us["layout"], "us");
    ASSERT_EQ(de["layout"], "de");

    const nlohmann::json* enter = find_key(us, "KP_Enter");
    ASSERT_TRUE(enter);
    EXPECT_EQ((*enter)["classic"][0]["scancode"], 104);
    EXPECT_EQ((*enter)["compat"][0]["scancode"], 0);
    EXPECT_EQ((*enter)["classic"][0]["text"], "\r");
    const nlohmann::json* euro = find_key(de, "ISO_Level3_Shift+e");
    ASSERT_TRUE(euro);
    EXPECT_EQ((*euro)["classic"][1]["unicode"], 0x20ac);
    EXPECT_EQ((*euro)["classic"][1]["text"], "\u20ac");
    EXPECT_EQ((*euro)["compat"][1]["unicode"], 0x2082);

    // A keysym on the shifted level is typed with Shift held around it.
    for (const auto& [key, name, unicode] : {std::tuple{"A", "SDLK_a", 'A'}, std::tuple{"exclam", "SDLK_1", '!'}}) {
        SCOPED_TRACE(key);
        const nlohmann::json* typed = find_key(us, key);
        ASSERT_TRUE(typed);
        const nlohmann::json& lines = (*typed)["classic"];
        ASSERT_EQ(lines.size(), 4u) << lines;
        EXPECT_EQ(lines[0]["name"], "SDLK_LSHIFT");
        EXPECT_EQ(lines[1]["name"], name);
        EXPECT_EQ(lines[1]["unicode"], static_cast<int>(unicode));
        EXPECT_EQ(lines[3]["name"], "SDLK_LSHIFT");
    }
    // A spare keycode is unbound once its key is typed, so the next key the
    // layout lacks is bound on the same one.
    const nlohmann::json* first = find_key(us, "EuroSign");
    const nlohmann::json* second = find_key(us, "sterling");
    ASSERT_TRUE(first && second);
    EXPECT_TRUE((*first)["spare_keycode"].get<bool>() && (*second)["spare_keycode"].get<bool>());
    EXPECT_EQ((*first)["keycode"], (*second)["keycode"]);

    const CompareRun text = compare(args(keys));
    const auto counts = summary_counts(text.out);
    for (const nlohmann::json& layout : doc["layouts"]) {
        SCOPED_TRACE(layout["layout"].get<std::string>());
        const auto at = counts.find(layout["layout"]);
        ASSERT_NE(at, counts.end()) << text.out;
        EXPECT_EQ(layout["keys_typed"], at->second.first);
        EXPECT_EQ(layout["keys_differ"], at->second.second);
        EXPECT_EQ(layout["keys"].size(), static_cast<std::size_t>(at->second.first));
    }
}

// The pixels of a PNG (8-bit RGB or RGBA, not interlaced) all the same?
// Returns "" and sets `uniform`, or says why the file could not be read.
std::string png_uniform(const std::string& path, bool& uniform) {
    std::ifstream file(path, std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (data.size() < 8 || data.compare(1, 3, "PNG") != 0) return "not a PNG";
    auto be32 = [&](std::size_t at) {
        return std::uint32_t(std::uint8_t(data[at])) << 24 | std::uint32_t(std::uint8_t(data[at + 1])) << 16 |
               std::uint32_t(std::uint8_t(data[at + 2])) << 8 | std::uint32_t(std::uint8_t(data[at + 3]));
    };
    std::uint32_t width = 0, height = 0, channels = 0;
    std::string compressed;
    for (std::size_t at = 8; at + 8 <= data.size();) {
        const std::uint32_t length = be32(at);
        const std::string type = data.substr(at + 4, 4);
        if (type == "IHDR") {
            width = be32(at + 8), height = be32(at + 12);
            const int depth = data[at + 16], colour = data[at + 17], interlace = data[at + 20];
            if (depth != 8 || (colour != 2 && colour != 6) || interlace != 0) return "an unexpected PNG format";
            channels = colour == 6 ? 4 : 3;
        }
        if (type == "IDAT") compressed += data.substr(at + 8, length);
        at += 12 + length;
    }
    const std::size_t stride = std::size_t(width) * channels;
    std::vector<unsigned char> raw((stride + 1) * height);
    uLongf size = raw.size();
    if (channels == 0 || uncompress(raw.data(), &size, reinterpret_cast<const Bytef*>(compressed.data()), compressed.size()) != Z_OK ||
        size != raw.size()) {
        return "the image data does not inflate";
    }
    std::vector<unsigned char> previous(stride, 0), row(stride);
    std::vector<unsigned char> first;
    uniform = true;
    for (std::uint32_t y = 0; y < height; ++y) {
        const unsigned char filter = raw[y * (stride + 1)];
        const unsigned char* in = &raw[y * (stride + 1) + 1];
        for (std::size_t x = 0; x < stride; ++x) {
            const int a = x >= channels ? row[x - channels] : 0, b = previous[x], c = x >= channels ? previous[x - channels] : 0;
            int predicted = 0;
            switch (filter) {
            case 1: predicted = a; break;
            case 2: predicted = b; break;
            case 3: predicted = (a + b) / 2; break;
            case 4: {
                const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
                predicted = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
                break;
            }
            default: break;
            }
            row[x] = static_cast<unsigned char>(in[x] + predicted);
        }
        if (first.empty()) first.assign(row.begin(), row.begin() + channels);
        for (std::size_t x = 0; x < stride && uniform; x += channels) uniform = std::equal(first.begin(), first.end(), &row[x]);
        previous = row;
    }
    return "";
}

TEST(KeymonCompare, HtmlPageRendersOneKeyboardPerLayoutColouredAsTheJsonSays) {
    const std::filesystem::path page = std::filesystem::path(KEYMON_TEST_OUTPUT_DIR) / "keymon-compare.html";
    const std::filesystem::path shot = std::filesystem::path(KEYMON_TEST_OUTPUT_DIR) / "keymon-compare.png";
    std::filesystem::remove(shot);
    const CompareRun run = compare(args({"--layout", "us", "--layout", "de", "--json", "--html", page.string(), "KP_Enter",
                                         "Up", "a", "z", "dead_circumflex", "e", "Caps_Lock", "a", "Caps_Lock", "EuroSign"}));
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.err, "");
    const nlohmann::json doc = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << run.out;
    // A physical key differs when a key typed on it differs and neither
    // runtime was silent for one of them (that key is "missing").
    std::size_t differing = 0, missing = 0;
    for (const nlohmann::json& layout : doc["layouts"]) {
        std::map<int, std::string> state;
        for (const nlohmann::json& key : layout["keys"]) {
            if (key["spare_keycode"].get<bool>()) continue;
            std::string& s = state[key["keycode"].get<int>()];
            if (key["classic"].empty() != key["compat"].empty()) s = "missing";
            else if (s != "missing" && key["differs"].get<bool>()) s = "differ";
        }
        for (const auto& [code, s] : state) differing += s == "differ", missing += s == "missing";
    }
    ASSERT_GT(differing, 0u);

    const std::string chromium = "/usr/bin/chromium";
    ASSERT_TRUE(std::filesystem::exists(chromium)) << "Debian's chromium is not installed";
    const std::filesystem::path profile = std::filesystem::path(KEYMON_TEST_OUTPUT_DIR) / "chromium-profile";
    std::filesystem::remove_all(profile);
    const std::vector<std::string> headless = {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                                               "--no-first-run", "--disable-background-networking",
                                               "--disable-component-update", "--disable-sync",
                                               "--user-data-dir=" + profile.string()};
    auto browse = [&](const std::string& what) {
        Monitor process;
        LaunchOptions options;
        options.output = Output::pipe;
        options.args = headless;
        options.args.push_back(what);
        options.args.push_back("file://" + page.string());
        CompareRun run;
        run.err = launch_monitor(process, chromium, options);
        if (!run.err.empty()) return run;
        run.status = wait_monitor(process, milliseconds(60000));
        run.out = monitor_output(process);
        return run;
    };
    const CompareRun dom = browse("--dump-dom");
    ASSERT_EQ(dom.status, 0) << dom.err;
    auto count = [&](const std::string& part) {
        std::size_t n = 0;
        for (std::size_t at = dom.out.find(part); at != std::string::npos; at = dom.out.find(part, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("<svg class=\"keyboard\""), 2u);
    EXPECT_EQ(count("data-state=\"differ\""), differing);
    EXPECT_EQ(count("data-state=\"missing\""), missing);
    EXPECT_GT(count("data-state=\"untyped\""), 150u) << "a pc105 keyboard per layout";
    EXPECT_EQ(count("data-keysym=\"KP_Enter\" data-state=\"differ\""), 2u);
    EXPECT_EQ(count("data-keysym=\"dead_circumflex\" data-state=\"missing\""), 1u) << "on de only";

    const CompareRun picture = browse("--screenshot=" + shot.string());
    ASSERT_EQ(picture.status, 0) << picture.err;
    bool uniform = true;
    ASSERT_EQ(png_uniform(shot.string(), uniform), "");
    EXPECT_FALSE(uniform) << shot << " is a single colour";
}

}  // namespace
