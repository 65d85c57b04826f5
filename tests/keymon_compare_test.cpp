// keymon-compare as a user runs it: its own Xorg, a real XKB layout, the
// real keymon on both SDL 1.2 runtimes.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <fstream>

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

}  // namespace
