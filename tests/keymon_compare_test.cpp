// keymon-compare as a user runs it: its own Xorg, a real XKB layout, the
// real keymon on both SDL 1.2 runtimes.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <X11/Xatom.h>
#include <signal.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>

#include "compositor.h"
#include "files.h"
#include "xtest_keyboard.h"
#include "child.h"
#include "runtime.h"
#include "runtimes.h"
#include "virtual_keyboard.h"
#include "xserver.h"

namespace {

struct CompareRun {
    int status = -1;
    std::string out, err;
};

LaunchOptions output_to(Output output, const std::string& file = "") {
    LaunchOptions options;
    options.output = output;
    options.output_file = file;
    return options;
}

CompareRun compare(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                   LaunchOptions options = output_to(Output::pipe)) {
    Child process;
    options.args = args;
    options.extra_env = env;
    CompareRun run;
    const std::string error = launch_child(process, KEYMON_COMPARE_BINARY, options);
    if (!error.empty()) {
        run.err = error;
        return run;
    }
    run.status = wait_child(process, milliseconds(120000));
    run.out = child_output(process);
    run.err = child_errors(process);
    return run;
}

const std::vector<std::string> with_keymon = {"--keymon", KEYMON_BINARY};

std::vector<std::string> args(std::vector<std::string> rest) {
    rest.insert(rest.begin(), with_keymon.begin(), with_keymon.end());
    return rest;
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> split_on(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + 1) parts.push_back(text.substr(start, at - start));
    parts.push_back(text.substr(start));
    return parts;
}

// Where two reports first differ, by line, or "" when they are the same.
// (gtest's own diff of two reports of a megabyte would need tens of
// gigabytes: its line table is the product of the two lengths.)
std::string first_difference(const std::string& a, const std::string& b) {
    if (a == b) return "";
    std::size_t at = 0, line = 1;
    while (at < a.size() && at < b.size() && a[at] == b[at]) line += a[at++] == '\n';
    const auto line_at = [&](const std::string& text) {
        const std::size_t start = text.rfind('\n', at == 0 ? 0 : at - 1);
        const std::size_t from = start == std::string::npos || at == 0 ? 0 : start + 1;
        return "'" + text.substr(from, std::min<std::size_t>(text.find('\n', from) - from, 300)) + "'";
    };
    return "line " + std::to_string(line) + ": " + line_at(a) + " against " + line_at(b);
}

// One run's report: JSON (with its page) or text.
struct Report {
    CompareRun run;
    std::string page;
};

// Runs keymon-compare once for each of `commands`, all at once: with --json
// and --html when `json`, else as plain text.
std::vector<Report> run_at_once(const std::vector<std::vector<std::string>>& commands, bool json) {
    const auto page_of = [](std::size_t i) {
        return std::string(KEYMON_TEST_OUTPUT_DIR) + "/same-" + std::to_string(getpid()) + "-" + std::to_string(i) + ".html";
    };
    std::vector<std::unique_ptr<Child>> runs;
    for (std::size_t i = 0; i < commands.size(); ++i) {
        LaunchOptions options = output_to(Output::pipe);
        options.args = args(commands[i]);
        if (json) options.args.insert(options.args.end(), {"--json", "--html", page_of(i)});
        runs.push_back(std::make_unique<Child>());
        EXPECT_EQ(launch_child(*runs.back(), KEYMON_COMPARE_BINARY, options), "");
    }
    std::vector<Report> reports(commands.size());
    for (std::size_t i = 0; i < commands.size(); ++i) {
        CompareRun& run = reports[i].run;
        run.status = wait_child(*runs[i], milliseconds(900000));
        run.out = child_output(*runs[i]);
        run.err = child_errors(*runs[i]);
        if (!json) continue;
        EXPECT_TRUE(read_file(page_of(i), reports[i].page)) << page_of(i);
        std::filesystem::remove(page_of(i));
    }
    return reports;
}

TEST(KeymonCompare, KeypadEnterDiffersInScanCodeAndExitsOne) {
    const CompareRun run = compare(args({"KP_Enter"}));
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_TRUE(has(run.out, "! KP_Enter  SDLK_KP_ENTER 0x68 0xd \"\\r\"  SDLK_KP_ENTER 0x0 0xd \"\\r\"\n")) << run.out;
    EXPECT_TRUE(has(run.out, "layout us (the default: no X display): 1 keys typed, 1 differ")) << run.out;
    EXPECT_TRUE(has(run.out, "!           SDLK_KP_ENTER 0x68 0x0       SDLK_KP_ENTER 0x0 0x0\n  (scan code 0)\n")) << run.out;
    EXPECT_EQ(run.err, "");

    const CompareRun table = compare(args({"--markdown", "KP_Enter"}));
    EXPECT_EQ(table.status, 1) << table.err;
    EXPECT_TRUE(has(table.out, "| `KP_Enter` | **`SDLK_KP_ENTER 0x68 0xd \"\\r\"`**<br>**`SDLK_KP_ENTER 0x68 0x0`** | "
                               "**`SDLK_KP_ENTER 0x0 0xd \"\\r\"`**<br>**`SDLK_KP_ENTER 0x0 0x0`** | scan code 0 |\n"))
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
    EXPECT_TRUE(has(run.out, " | nothing | a keysym on a spare keycode reported by one runtime only |\n")) << run.out;
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
    EXPECT_TRUE(has(run.out, "layout de (keymap of X display " + desktop.display + "): 1 keys typed")) << run.out;

    // A display that cannot be reached leaves the default, and says so.
    const CompareRun gone = compare(args({"a"}), {"DISPLAY=:99"});
    EXPECT_EQ(gone.status, 0) << gone.err;
    EXPECT_TRUE(has(gone.out, "layout us (the default: X display :99 not reachable)")) << gone.out;
}

TEST(KeymonCompare, TroubleExitsTwoWithOneMessage) {
    const std::string not_exec = "#!/bin/sh\n";
    struct Case {
        std::vector<std::string> args, env;
        std::string message;
        bool hint = false;  // a command-line mistake: a pointer to --help follows
    };
    const Case cases[] = {
        {args({"a", "no_such_key"}), {}, "keymon-compare: unknown keysym 'no_such_key' in 'no_such_key'\n"},
        {args({"shift+"}), {}, "keymon-compare: unknown keysym '' in 'shift+'\n"},
        {args({"--layout", "xx", "a"}), {}, "keymon-compare: unknown XKB layout 'xx'"},
        {{"--keymon", "/nonexistent/keymon", "a"}, {}, "keymon-compare: keymon '/nonexistent/keymon' is not an executable file\n"},
        {args({"a"}), {"KEYMON_COMPAT_LIBDIR=/nonexistent"}, "keymon-compare: the SDL2-based SDL 1.2 runtime is not installed"},
        {args({"--bogus"}), {}, "keymon-compare: unknown option '--bogus'\n", true},
        {args({"-x"}), {}, "keymon-compare: unknown option '-x'\n", true},
        {args({"--layout"}), {}, "keymon-compare: option '--layout' needs a value\n", true},
        {args({"--layout=de fr", "a"}), {}, "keymon-compare: unknown XKB layout 'de fr'\n"},
        {args({"--layout=,", "a"}), {}, "keymon-compare: unknown XKB layout ','\n"},
        {args({"--layout=us,,de", "a"}), {}, "keymon-compare: unknown XKB layout 'us,,de'\n"},
        {{"--keymon=", "a"}, {}, "keymon-compare: option '--keymon' needs a program\n", true},
        {{"--keymon", "/tmp", "a"}, {}, "keymon-compare: keymon '/tmp' is not an executable file\n"},
        {{"--keymon", "/bin/false", "a"}, {}, "keymon-compare: keymon ended with status 1 before it opened its window on the classic runtime\n"},
        {args({"--html", "/nonexistent/page.html", "a"}), {},
         "keymon-compare: cannot write '/nonexistent/page.html': No such file or directory\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const auto start = Clock::now();
        const CompareRun run = compare(c.args, c.env);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        const std::size_t at = run.err.find("keymon-compare: ");
        const std::string said = run.err.substr(at == std::string::npos ? 0 : at);
        EXPECT_EQ(said.substr(0, c.message.size()), c.message) << run.err;
        if (c.message.back() == '\n') {
            EXPECT_EQ(said.substr(c.message.size()), c.hint ? "Try 'keymon-compare --help' for more information.\n" : "");
        } else {
            EXPECT_EQ(count_lines(said), 1u) << said;
        }
        // Nothing here waits for a window that will never come.
        EXPECT_LT(Clock::now() - start, milliseconds(5000));
    }
}

TEST(KeymonCompare, HelpNamesEveryOption) {
    const CompareRun help = compare({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* option : {"--keymon", "--layout", "--markdown", "--all", "--json", "--html", "--version", "again"}) {
        EXPECT_TRUE(has(help.out, option)) << option << " missing from:\n" << help.out;
    }
}

// A keymon started by a script that does not exec it: its window belongs to
// the script's child; a child that leaves the group and keeps the output
// open does not hold the run up.
TEST(KeymonCompare, WrapperScriptWorksAsKeymonItselfDoes) {
    const std::filesystem::path dir = std::filesystem::path(KEYMON_TEST_OUTPUT_DIR);
    const std::string plain = (dir / "wrapper.sh").string(), lingering = (dir / "wrapper-lingering.sh").string();
    std::ofstream(plain) << "#!/bin/sh\n" KEYMON_BINARY " \"$@\"\n";
    std::ofstream(lingering) << "#!/bin/sh\nsetsid sleep 5 &\n" KEYMON_BINARY "\n";
    for (const std::string& wrapper : {plain, lingering}) {
        SCOPED_TRACE(wrapper);
        std::filesystem::permissions(wrapper, std::filesystem::perms::owner_all);
        const auto start = Clock::now();
        const CompareRun run = compare({"--keymon", wrapper, "--all", "a"});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(has(run.out, "  a    SDLK_a 0x26 0x61 a  SDLK_a 0x26 0x61 a\n")) << run.out;
        EXPECT_LT(Clock::now() - start, milliseconds(10000));
    }
}

// A compose sequence started and never finished takes the next key that
// does not continue it, Escape too: keymon still ends, and the run with it.
TEST(KeymonCompare, AnUnfinishedComposeSequenceNeitherEndsTheRunNorKeepsKeymonRunning) {
    for (const char* session : {"x11", "wayland"}) {
        for (const std::vector<std::string>& keys : {std::vector<std::string>{"Multi_key"}, {"Multi_key", "a"}}) {
            std::vector<std::string> arguments = args({"--session", session, "--layout", "us"});
            arguments.insert(arguments.end(), keys.begin(), keys.end());
            const CompareRun run = compare(arguments);
            SCOPED_TRACE(std::string(session) + ": " + ::testing::PrintToString(keys));
            EXPECT_TRUE(run.status == 0 || run.status == 1) << run.status << " " << run.err;
            EXPECT_EQ(run.err, "");
            EXPECT_TRUE(has(run.out, "layout us (from --layout): " + std::to_string(keys.size()) + " keys typed")) << run.out;
        }
    }
}

// The children of `pid`, by their parent field in /proc. Processes come
// and go while /proc is read: a file that cannot be read is a process gone.
std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> found;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc", error); !error && it != std::filesystem::directory_iterator();
         it.increment(error)) {
        const std::string name = it->path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string text;
        if (!read_file(it->path() / "stat", text)) continue;
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

std::string proc_file(pid_t pid, const char* name) {
    std::string text;
    return read_file("/proc/" + std::to_string(pid) + "/" + name, text) ? text : "";
}

std::string command_of(pid_t pid) {
    const std::string comm = proc_file(pid, "comm");
    return comm.substr(0, comm.find('\n'));
}

// Gone, or dead and waiting for an init to reap it.
bool ended(pid_t pid) {
    const std::string text = proc_file(pid, "stat");
    const std::size_t close = text.rfind(')');
    return close == std::string::npos || text.compare(close, 4, ") Z ") == 0;
}

std::string cmdline_of(pid_t pid) {
    std::string text = proc_file(pid, "cmdline");
    std::replace(text.begin(), text.end(), '\0', ' ');
    return text;
}

// A signal to keymon-compare's whole process group, as a terminal's Ctrl-C
// (or its hang-up) sends it, at two moments, with keymon itself and with a
// wrapper script that does not exec it: the run ends within a second with
// status 128 + signal, its children gone and its private folder removed.
TEST(KeymonCompare, SignalToTheProcessGroupEndsTheRunAndLeavesNothing) {
    const std::string wrapper = (std::filesystem::path(KEYMON_TEST_OUTPUT_DIR) / "wrapper-signal.sh").string();
    std::ofstream(wrapper) << "#!/bin/sh\n" KEYMON_BINARY "\n";
    std::filesystem::permissions(wrapper, std::filesystem::perms::owner_all);
    struct Case {
        int signal;
        bool keymon_running;  // else as soon as the server runs
        std::string keymon;
        std::string session = "x11";
    };
    const Case cases[] = {{SIGINT, true, KEYMON_BINARY},  {SIGTERM, true, KEYMON_BINARY},
                          {SIGHUP, true, KEYMON_BINARY},  {SIGINT, false, KEYMON_BINARY},
                          {SIGINT, true, wrapper},        {SIGTERM, true, wrapper},
                          {SIGINT, true, KEYMON_BINARY, "wayland"}, {SIGINT, false, KEYMON_BINARY, "wayland"},
                          {SIGTERM, true, wrapper, "wayland"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(strsignal(c.signal)) + (c.keymon_running ? " while typing, " : " at start, ") + c.keymon +
                     " in " + c.session);
        const bool wayland = c.session == "wayland";
        Child process;
        LaunchOptions options = output_to(Output::pipe);
        options.args = {"--keymon", c.keymon, "--session", c.session, "--layout", "us", "--layout", "de"};  // the built-in set: long enough
        ASSERT_EQ(launch_child(process, KEYMON_COMPARE_BINARY, options), "");
        pid_t server = -1, keymon = -1, xwayland = -1;
        const auto deadline = Clock::now() + milliseconds(30000);
        while ((server < 0 || (c.keymon_running && keymon < 0)) && Clock::now() < deadline) {
            std::vector<pid_t> family = children_of(process.pid);
            for (std::size_t i = 0; i < family.size(); ++i) {  // grows by each one's children
                const std::string command = command_of(family[i]);
                if (command == (wayland ? "sway" : "Xorg")) server = family[i];
                if (command == "keymon") keymon = family[i];
                if (command == "Xwayland") xwayland = family[i];
                for (pid_t grandchild : children_of(family[i])) family.push_back(grandchild);
            }
            std::this_thread::sleep_for(milliseconds(1));
        }
        ASSERT_GT(server, 0) << "no server to interrupt";
        ASSERT_TRUE(!c.keymon_running || keymon > 0) << "no keymon to interrupt";
        const std::string command = cmdline_of(server);
        std::smatch match;
        ASSERT_TRUE(std::regex_search(command, match, std::regex(wayland ? R"(-c (\S+)/config)" : R"(-config (\S+)/xorg\.conf)")))
            << command;
        const std::string private_dir = match[1];
        ASSERT_TRUE(std::filesystem::exists(private_dir));

        const auto sent = Clock::now();
        kill(-process.pid, c.signal);
        EXPECT_EQ(wait_child(process, milliseconds(5000)), 128 + c.signal) << child_errors(process);
        EXPECT_LT(Clock::now() - sent, milliseconds(1000));
        EXPECT_TRUE(ended(server)) << command_of(server) << " still runs";
        for (pid_t child : {keymon, xwayland}) {
            if (child > 0) {
                EXPECT_TRUE(ended(child)) << command_of(child) << " still runs";
            }
        }
        for (const auto& file : std::filesystem::directory_iterator("/tmp")) {
            if (file.path().filename().string().rfind(".X", 0) != 0 || !file.path().string().ends_with("-lock")) continue;
            std::ifstream lock(file.path());
            long owner = 0;
            EXPECT_FALSE(lock >> owner && (owner == server || owner == xwayland)) << file.path() << " left behind";
        }
        EXPECT_FALSE(std::filesystem::exists(private_dir)) << private_dir << " left behind";
        EXPECT_EQ(child_errors(process), "keymon-compare: interrupted; the X server and keymon are stopped\n");
    }
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

TEST(KeymonCompare, OutputThatCannotBeWrittenIsTroubleNotSuccess) {
    for (const std::vector<std::string>& form : {std::vector<std::string>{"--json", "a"}, {"a"}, {"--markdown", "a"}}) {
        SCOPED_TRACE(::testing::PrintToString(form));
        const CompareRun full = compare(args(form), {}, output_to(Output::file, "/dev/full"));
        EXPECT_EQ(full.status, 2);
        EXPECT_EQ(full.err, "keymon-compare: write error: No space left on device\n");
    }
    // Started without a standard output: Xorg starts all the same, and the
    // report that cannot be written is an error.
    const CompareRun closed = compare(args({"a"}), {}, output_to(Output::closed));
    EXPECT_EQ(closed.status, 2);
    EXPECT_EQ(closed.err, "keymon-compare: write error: Bad file descriptor\n");
    LaunchOptions no_input = output_to(Output::pipe);
    no_input.closed_stdin = true;
    const CompareRun without_stdin = compare(args({"a"}), {}, no_input);
    EXPECT_EQ(without_stdin.status, 0) << without_stdin.err;
    EXPECT_TRUE(has(without_stdin.out, "1 keys typed, 0 differ")) << without_stdin.out;
}

const nlohmann::json* find_key(const nlohmann::json& layout, const std::string& name) {
    for (const nlohmann::json& key : layout["keys"]) {
        if (key["key"] == name) return &key;
    }
    return nullptr;
}

using Lines = std::vector<std::string>;

// The names of one runtime's lines for the key typed as `key`.
std::vector<std::string> line_names(const nlohmann::json& layout, const std::string& key, const char* runtime) {
    const nlohmann::json* found = find_key(layout, key);
    if (!found) return {"(not typed)"};
    std::vector<std::string> names;
    for (const nlohmann::json& line : (*found)[runtime]) names.push_back(line["name"]);
    return names;
}

// The marker keys (right Shift, right Ctrl, left Shift, left Ctrl end each
// key's lines) typed as keys and held as modifiers, alone and together:
// every key keeps exactly its own lines.
TEST(KeymonCompare, MarkerKeysInEveryRoleKeepEachKeysOwnLines) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> expected = {
        {"Shift_R", {"SDLK_RSHIFT", "SDLK_RSHIFT"}},
        {"Control_R", {"SDLK_RCTRL", "SDLK_RCTRL"}},
        {"Shift_L", {"SDLK_LSHIFT", "SDLK_LSHIFT"}},
        {"Shift_R+a", {"SDLK_RSHIFT", "SDLK_a", "SDLK_a", "SDLK_RSHIFT"}},
        {"Control_R+a", {"SDLK_RCTRL", "SDLK_a", "SDLK_a", "SDLK_RCTRL"}},
        {"Shift_R+Control_R+a", {"SDLK_RSHIFT", "SDLK_RCTRL", "SDLK_a", "SDLK_a", "SDLK_RCTRL", "SDLK_RSHIFT"}},
        {"Control_R+Shift_R+b", {"SDLK_RCTRL", "SDLK_RSHIFT", "SDLK_b", "SDLK_b", "SDLK_RSHIFT", "SDLK_RCTRL"}},
        {"Shift_R+Control_R+Shift_L+c",
         {"SDLK_RSHIFT", "SDLK_RCTRL", "SDLK_LSHIFT", "SDLK_c", "SDLK_c", "SDLK_LSHIFT", "SDLK_RCTRL", "SDLK_RSHIFT"}},
        {"Shift_R+exclam", {"SDLK_RSHIFT", "SDLK_LSHIFT", "SDLK_1", "SDLK_1", "SDLK_LSHIFT", "SDLK_RSHIFT"}},
        {"b", {"SDLK_b", "SDLK_b"}},
    };
    std::vector<std::string> typed = {"--json", "--layout", "us"};
    for (const auto& [key, names] : expected) typed.push_back(key);
    const CompareRun run = compare(args(typed));
    const nlohmann::json doc = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << run.out << run.err;
    for (const auto& [key, names] : expected) {
        SCOPED_TRACE(key);
        for (const char* runtime : {"classic", "compat"}) {
            EXPECT_EQ(line_names(doc["layouts"][0], key, runtime), names) << runtime;
        }
    }
}

// A control character in the text field (Ctrl+J and Linefeed give a line
// feed on classic SDL) stays in its own record.
TEST(KeymonCompare, LineFeedInTheTextStaysInItsRecord) {
    const CompareRun run = compare(args({"--json", "ctrl+j", "Linefeed", "a"}));
    const nlohmann::json doc = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << run.out << run.err;
    const nlohmann::json& us = doc["layouts"][0];
    EXPECT_EQ(line_names(us, "ctrl+j", "classic"),
              (std::vector<std::string>{"SDLK_LCTRL", "SDLK_j", "SDLK_j", "SDLK_LCTRL"}));
    EXPECT_EQ(line_names(us, "a", "classic"), (std::vector<std::string>{"SDLK_a", "SDLK_a"}));
    const nlohmann::json* linefeed = find_key(us, "Linefeed");
    ASSERT_TRUE(linefeed);
    ASSERT_EQ((*linefeed)["classic"].size(), 2u) << *linefeed;
    EXPECT_EQ((*linefeed)["classic"][0]["unicode"], 0xa);
    EXPECT_EQ((*linefeed)["classic"][0]["text"], "\n");

    const CompareRun text = compare(args({"ctrl+j"}));
    EXPECT_TRUE(has(text.out, "SDLK_j 0x2c 0xa \"\\n\"")) << text.out;
}

// Meta is Shift+Alt on us: the key and level that give Meta_L are pressed.
TEST(KeymonCompare, MetaIsTypedOnTheLevelThatGivesIt) {
    const CompareRun run = compare(args({"--json", "meta+a"}));
    const nlohmann::json doc = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << run.out << run.err;
    for (const char* runtime : {"classic", "compat"}) {
        EXPECT_EQ(line_names(doc["layouts"][0], "meta+a", runtime),
                  (std::vector<std::string>{"SDLK_LSHIFT", "SDLK_LALT", "SDLK_a", "SDLK_a", "SDLK_LALT", "SDLK_LSHIFT"}))
            << runtime;
    }
}

// Classic leaves Caps Lock on after its run; the SDL2-based runtime starts
// from a keyboard with no lock on all the same.
TEST(KeymonCompare, LocksAreResetBeforeEachRuntimesRun) {
    const CompareRun run = compare(args({"--json", "Caps_Lock", "a"}));
    const nlohmann::json doc = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << run.out << run.err;
    const nlohmann::json* a = find_key(doc["layouts"][0], "a");
    ASSERT_TRUE(a);
    for (const char* runtime : {"classic", "compat"}) EXPECT_EQ((*a)[runtime][0]["unicode"], 'A') << runtime << *a;
    EXPECT_EQ((*a)["context"], "Caps Lock on");
}

// us lacks ä (a spare keycode: the runtimes differ), de has it (they agree).
TEST(KeymonCompare, ExitStatusCoversEveryLayout) {
    const CompareRun run = compare(args({"--layout", "us", "--layout", "de", "adiaeresis"}));
    EXPECT_EQ(run.status, 1) << run.err;
    const auto counts = summary_counts(run.out);
    ASSERT_TRUE(counts.count("us") && counts.count("de")) << run.out;
    EXPECT_EQ(counts.at("us").second, 1) << run.out;
    EXPECT_EQ(counts.at("de").second, 0) << run.out;
}

// The keymap read from an X11 desktop is its whole keymap: every group with
// its variant, its options, and what was changed by hand.
TEST(KeymonCompare, DesktopKeymapOfAnX11DesktopCarriesGroupsOptionsAndChanges) {
    XServer desktop;
    ASSERT_EQ(start_xserver(desktop, ServerKind::xorg), "");
    const auto setxkbmap = [&](const std::string& settings) {
        return std::system(("setxkbmap -display " + desktop.display + " -rules evdev -model pc105 " + settings).c_str());
    };
    ASSERT_EQ(setxkbmap("-layout de,us -variant nodeadkeys,dvorak"), 0);
    const CompareRun groups = compare(args({"a"}), {"DISPLAY=" + desktop.display});
    EXPECT_EQ(groups.status, 0) << groups.err;
    EXPECT_TRUE(has(groups.out, "layout de(nodeadkeys),us(dvorak) (keymap of X display " + desktop.display + "): 1 keys typed"))
        << groups.out;

    // The left Alt and Windows keys swapped: Alt_L is on the Windows key.
    ASSERT_EQ(setxkbmap("-layout us -option altwin:swap_alt_win"), 0);
    const CompareRun options = compare(args({"--json", "Alt_L"}), {"DISPLAY=" + desktop.display});
    const nlohmann::json doc = nlohmann::json::parse(options.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << options.out << options.err;
    EXPECT_EQ(doc["layouts"][0]["source"], "keymap of X display " + desktop.display + ", options altwin:swap_alt_win");
    EXPECT_EQ((*find_key(doc["layouts"][0], "Alt_L"))["keycode"], 133);

    // Names that say nothing of the keymap (a hand-made one) change nothing.
    ASSERT_EQ(setxkbmap("-layout de"), 0);
    const char names[] = "evdev\0pc105\0xx\0\0";  // rules, model, layout, variant, options
    XChangeProperty(desktop.conn, DefaultRootWindow(desktop.conn), XInternAtom(desktop.conn, "_XKB_RULES_NAMES", False),
                    XA_STRING, 8, PropModeReplace, reinterpret_cast<const unsigned char*>(names), sizeof names - 1);
    XSync(desktop.conn, False);
    const CompareRun changed = compare(args({"--all", "z"}), {"DISPLAY=" + desktop.display});
    stop_xserver(desktop);
    EXPECT_EQ(changed.status, 0) << changed.err;
    EXPECT_TRUE(has(changed.out, "  z    SDLK_z 0x1d 0x7a z  SDLK_z 0x1d 0x7a z\n")) << changed.out;
    EXPECT_TRUE(has(changed.out, "layout xx (keymap of X display ")) << changed.out;
}

// Each report line of one target for the key typed as `key`, as "NAME 0xS 0xU".
std::vector<std::string> lines_of(const nlohmann::json& layout, const std::string& key, const std::string& target) {
    const nlohmann::json* found = find_key(layout, key);
    if (!found || !found->contains(target)) return {"(not typed)"};
    std::vector<std::string> lines;
    for (const nlohmann::json& line : (*found)[target]) {
        char numbers[32];
        std::snprintf(numbers, sizeof numbers, " 0x%x 0x%x", line["scancode"].get<unsigned>(), line["unicode"].get<unsigned>());
        lines.push_back(line["name"].get<std::string>() + numbers);
    }
    return lines;
}

// The entries of a folder, for seeing that a refused value left nothing.
std::set<std::string> names_in(const std::string& dir, const std::string& prefix = "") {
    std::set<std::string> names;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator(dir, error); !error && it != std::filesystem::directory_iterator();
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(prefix, 0) == 0) names.insert(name);
    }
    return names;
}

// The cache as a user sees it: each runtime with its release, size and the
// versions its libraries report (one that no longer loads says why), and a
// removal that takes the whole runtime and nothing else.
TEST(KeymonCompare, ListedRuntimesShowTheirVersionsAndARemovedOneGoesWhole) {
    const std::string dir = std::string(KEYMON_TEST_OUTPUT_DIR) + "/listed-runtimes";
    std::filesystem::remove_all(dir);
    const std::string runtimes = dir + "/cache/keymon/runtimes";
    for (const char* name : {"mine", "broken"}) {
        std::filesystem::create_directories(runtimes + "/" + name);
        std::filesystem::copy_file("/usr/lib/x86_64-linux-gnu/sdl12-compat/libSDL-1.2.so.0", runtimes + "/" + name + "/libSDL-1.2.so.0");
        std::ofstream(runtimes + "/" + name + "/keymon-runtime.txt") << "release: my own build\npackages: none\n";
    }
    std::ofstream(runtimes + "/broken/libSDL2-2.0.so.0") << "not a library\n";
    const std::vector<std::string> cache = {"XDG_CACHE_HOME=" + dir + "/cache"};

    const CompareRun listed = compare({"--list-runtimes"}, cache);
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_TRUE(std::regex_search(listed.out, std::regex("\nbroken +my own build +[0-9.]+ MB  does not load: ")))
        << listed.out;
    EXPECT_TRUE(std::regex_search(listed.out, std::regex("\nmine +my own build +0\\.[0-9] MB  SDL2-based SDL 1\\.2\\.[0-9]+ over SDL2 ")))
        << listed.out;

    struct Case {
        std::string name;
        int status;
        std::set<std::string> left;
    };
    for (const Case& c : {Case{"mine", 0, {"broken"}}, Case{"mine", 2, {"broken"}}, Case{"..", 2, {"broken"}},
                          Case{"broken", 0, {}}}) {
        SCOPED_TRACE(c.name);
        const CompareRun removed = compare({"--remove-runtime", c.name}, cache);
        EXPECT_EQ(removed.status, c.status) << removed.err;
        EXPECT_EQ(removed.err.empty(), c.status == 0) << removed.err;
        EXPECT_EQ(names_in(runtimes), c.left) << "nothing half removed, nothing else touched";
    }
    EXPECT_TRUE(has(compare({"--list-runtimes"}, cache).out, "no runtime fetched yet"));
    std::filesystem::remove_all(dir);
}

// Every bad --runtime or --fetch-runtime value: status 2, one message, no
// server started, nothing left in /tmp or in the runtime cache.
TEST(KeymonCompare, BadRuntimeValuesAreRefusedWithOneMessageAndLeaveNothing) {
    const std::string dir = std::string(KEYMON_TEST_OUTPUT_DIR) + "/bad-runtimes";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir + "/cache");
    // A runtime whose SDL 1.2 layer loads and whose SDL2 does not.
    const std::string broken = dir + "/broken-sdl2";
    std::filesystem::create_directories(broken);
    std::filesystem::copy_file("/usr/lib/x86_64-linux-gnu/sdl12-compat/libSDL-1.2.so.0", broken + "/libSDL-1.2.so.0");
    std::ofstream(broken + "/libSDL2-2.0.so.0") << "not a library\n";
    // A stack whose loader is no program.
    const std::string no_loader = dir + "/no-loader";
    std::filesystem::create_directories(no_loader);
    std::filesystem::copy_file("/usr/lib/x86_64-linux-gnu/sdl12-compat/libSDL-1.2.so.0", no_loader + "/libSDL-1.2.so.0");
    std::ofstream(no_loader + "/ld-linux-x86-64.so.2") << "not a loader\n";
    std::filesystem::permissions(no_loader + "/ld-linux-x86-64.so.2", std::filesystem::perms::owner_all);
    const std::string cache = "XDG_CACHE_HOME=" + dir + "/cache";
    struct Case {
        std::vector<std::string> args;
        std::string message;
        bool hint = false;
    };
    const Case cases[] = {
        {{"--runtime", "x=/nonexistent"}, "keymon-compare: runtime x: no such file or folder '/nonexistent'\n"},
        {{"--runtime", "x=/usr/lib/x86_64-linux-gnu/libX11.so.6"}, "keymon-compare: runtime x: /usr/lib/x86_64-linux-gnu/libX11.so.6"},
        {{"--runtime", "x=/etc/passwd"}, "keymon-compare: runtime x: its libSDL-1.2.so.0 cannot be loaded (/etc/passwd: invalid ELF header)\n"},
        {{"--runtime", "x=" + dir}, "keymon-compare: runtime x: '" + dir + "' holds no libSDL-1.2.so.0\n"},
        {{"--runtime", "=/tmp"}, "keymon-compare: --runtime needs a name: NAME or NAME=PATH\n", true},
        {{"--runtime", ""}, "keymon-compare: --runtime needs a name: NAME or NAME=PATH\n", true},
        {{"--runtime", "a b=/tmp"}, "keymon-compare: runtime name 'a b' may hold only", true},
        {{"--runtime", "classic", "--runtime", "classic"}, "keymon-compare: runtime classic is given twice\n", true},
        {{"--runtime", "x=" + broken}, "keymon-compare: runtime x: its SDL2 (libSDL2-2.0.so.0, or the SDL3 under it) cannot be loaded (Failed loading SDL2 library.)\n"},
        {{"--runtime", "classic=/usr/lib/x86_64-linux-gnu/sdl12-compat"},
         "keymon-compare: runtime classic: '/usr/lib/x86_64-linux-gnu/sdl12-compat' is the SDL2-based SDL 1.2.60 over SDL2 2.26.5, not classic SDL 1.2\n"},
        {{"--runtime", "compat=/usr/lib/x86_64-linux-gnu/libSDL-1.2.so.0"}, "keymon-compare: runtime compat: '/usr/lib/x86_64-linux-gnu/libSDL-1.2.so.0' is the classic SDL 1.2.15, not an SDL2-based SDL 1.2\n"},
        {{"--runtime", "never-fetched"}, "keymon-compare: no runtime named 'never-fetched'"},
        {{"--runtime", "x=" + no_loader}, "keymon-compare: runtime x: its loader " + no_loader + "/ld-linux-x86-64.so.2 does not run (status 127)\n"},
        {{"--fetch-runtime", "debian11"}, "keymon-compare: no runtime to fetch called 'debian11': it knows classic, debian12, debian13, testing, unstable, experimental\n"},
        {{"--fetch-runtime="}, "keymon-compare: option '--fetch-runtime' needs a name: classic, debian12, debian13, testing, unstable, experimental\n", true},
        // Mixes refused before anything is fetched.
        {{"--fetch-runtime", "mix=debian13"}, "keymon-compare: mix mix: name a layer to take from another release (sdl12=RELEASE, sdl2=..., sdl3=...)\n"},
        {{"--fetch-runtime", "mix=debian11,sdl12=unstable"}, "keymon-compare: mix mix: no release called 'debian11' to build on: it knows classic, debian12, debian13, testing, unstable, experimental\n"},
        {{"--fetch-runtime", "mix=debian13,sdl4=unstable"}, "keymon-compare: mix mix: no layer called 'sdl4': sdl12, sdl2 or sdl3\n"},
        {{"--fetch-runtime", "mix=debian13,sdl12=sid"}, "keymon-compare: mix mix: no release called 'sid' for sdl12: it knows classic, debian12, debian13, testing, unstable, experimental\n"},
        {{"--fetch-runtime", "mix=debian13,sdl12=unstable,sdl12=testing"}, "keymon-compare: mix mix: layer sdl12 is given twice\n"},
        {{"--fetch-runtime", "a/b=debian13,sdl12=unstable"}, "keymon-compare: 'a/b' is not a runtime's name"},
    };
    // What a runtime named by its library file makes (other tests make
    // other folders in /tmp meanwhile).
    const std::set<std::string> tmp_before = names_in("/tmp", "keymon-runtime");
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        std::vector<std::string> arguments = args(c.args);
        arguments.push_back("a");
        const CompareRun run = compare(arguments, {cache});
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.substr(0, c.message.size()), c.message);
        EXPECT_EQ(count_lines(run.err), c.hint ? 2u : 1u) << run.err;
        EXPECT_EQ(names_in(dir + "/cache"), std::set<std::string>{});
    }
    EXPECT_EQ(names_in("/tmp", "keymon-runtime"), tmp_before) << "a refused runtime left something behind";
}

// The archive out of reach (apt's proxy a closed port): status 2, one
// message, and no half-made runtime in the cache.
TEST(KeymonCompare, AFetchThatCannotReachTheArchiveLeavesNothing) {
    const std::string dir = std::string(KEYMON_TEST_OUTPUT_DIR) + "/unreachable";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/apt.conf") << "Acquire::http::Proxy \"http://127.0.0.1:9\";\nAcquire::Retries \"0\";\n";
    const CompareRun run = compare({"--fetch-runtime", "classic"}, {"XDG_CACHE_HOME=" + dir + "/cache", "APT_CONFIG=" + dir + "/apt.conf"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(has(run.err, "keymon-compare: Debian's archive cannot be reached at ")) << run.err;
    EXPECT_EQ(names_in(dir + "/cache/keymon/runtimes"), std::set<std::string>{});
}

// Released stacks fetched from Debian's archive, one in a folder whose
// name says nothing of it: each target named by the versions its libraries
// and its C library report, 1.2.78 fixing what 1.2.60 got wrong (one line
// for each press of a lock key, Menu named), and the change between them
// named by the layers that differ.
TEST(KeymonCompare, FetchedStacksAreNamedByTheirLayersAndShowWhatEachChangeFixed) {
#ifdef KEYMON_SANITIZED
    GTEST_SKIP() << "keymon built with the sanitizers needs this system's C++ runtime, which no stack holds";
#endif
    const std::string dir = std::string(KEYMON_TEST_OUTPUT_DIR) + "/fetched";
    std::filesystem::remove_all(dir);
    const std::string cache = "XDG_CACHE_HOME=" + dir + "/cache";
    for (const char* name : {"classic", "debian12", "unstable"}) {
        const CompareRun fetched = compare({"--fetch-runtime", name}, {cache});
        ASSERT_EQ(fetched.status, 0) << fetched.err;
        EXPECT_TRUE(has(fetched.out, std::string("fetched ") + name + (name == std::string("classic") ? ": classic SDL 1.2.15 (Debian 12, glibc 2.36)" : ": SDL2-based SDL 1.2.")))
            << fetched.out;
    }
    const std::string anonymous = dir + "/x7";
    std::filesystem::rename(dir + "/cache/keymon/runtimes/debian12", anonymous);
    // Classic's stack by its folder (by name alone it is this system's): its
    // libX11 loads libXcursor, which classic's Depends lack.
    const std::string classic = "classic=" + dir + "/cache/keymon/runtimes/classic";
    const std::vector<std::string> three = {"--runtime", classic, "--runtime", "old=" + anonymous, "--runtime", "unstable", "--layout", "us"};
    std::vector<std::string> json_args = three;
    json_args.insert(json_args.end(), {"--json", "Caps_Lock", "Menu"});
    const CompareRun run = compare(args(json_args), {cache});
    ASSERT_EQ(run.status, 1) << run.err;
    const nlohmann::json doc = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << run.out;
    ASSERT_EQ(doc["targets"].size(), 3u);
    const struct {
        const char* id;
        const char* kind;
        const char* sdl12;
        const char* glibc;  // its start
        const char* release;
    } expected[] = {{"classic", "classic", "1.2.15", "2.36", "Debian 12"},
                    {"old", "sdl2_based", "1.2.60", "2.36", "Debian 12"},
                    {"unstable", "sdl2_based", "1.2.78", "2.4", "Debian unstable"}};
    for (std::size_t t = 0; t < 3; ++t) {
        const nlohmann::json& target = doc["targets"][t];
        EXPECT_EQ(target["id"], expected[t].id);
        EXPECT_EQ(target["kind"], expected[t].kind);
        EXPECT_EQ(target["versions"]["sdl12"], expected[t].sdl12);
        EXPECT_EQ(target["versions"]["sdl2"] != "", t > 0) << target;
        EXPECT_EQ(target["versions"]["glibc"].get<std::string>().rfind(expected[t].glibc, 0), 0u) << target;
        EXPECT_EQ(target["versions"]["release"], expected[t].release);
    }
    const nlohmann::json& layout = doc["layouts"][0];
    EXPECT_EQ(lines_of(layout, "Caps_Lock", "unstable"), lines_of(layout, "Caps_Lock", "classic"));
    EXPECT_NE(lines_of(layout, "Caps_Lock", "old"), lines_of(layout, "Caps_Lock", "classic"));
    const std::vector<std::string> menu_old = lines_of(layout, "Menu", "old"), menu_new = lines_of(layout, "Menu", "unstable");
    ASSERT_FALSE(menu_old.empty());
    ASSERT_FALSE(menu_new.empty());
    EXPECT_EQ(menu_old[0].substr(0, 13), "SDLK_UNKNOWN ");
    EXPECT_EQ(menu_new[0].substr(0, 10), "SDLK_MENU ");
    // The versions view: each against the reference, classic.
    EXPECT_EQ(doc["reference"], "classic");
    const nlohmann::json* caps = find_key(layout, "Caps_Lock");
    ASSERT_TRUE(caps);
    EXPECT_EQ((*caps)["against_reference"]["old"], (nlohmann::json{{"differs", true}, {"class", "lock_lines"}}));
    EXPECT_EQ((*caps)["against_reference"]["unstable"], (nlohmann::json{{"differs", false}, {"class", "none"}}));
    EXPECT_FALSE((*caps)["against_reference"].contains("classic"));
    // From each runtime to the next: the layers that differ, and the keys.
    const nlohmann::json& changes = doc["runtime_changes"];
    ASSERT_EQ(changes.size(), 2u) << changes;
    EXPECT_EQ(changes[0]["from"], "classic");
    EXPECT_EQ(changes[0]["broke"]["lock_lines"], nlohmann::json::array({"Caps_Lock"})) << changes[0];
    EXPECT_EQ(changes[1]["from"], "old");
    EXPECT_EQ(changes[1]["to"], "unstable");
    EXPECT_EQ(changes[1]["layers"]["sdl12"], nlohmann::json::array({"1.2.60", "1.2.78"}));
    EXPECT_EQ(changes[1]["layers"]["sdl3"][0], "");
    EXPECT_TRUE(changes[1]["layers"].contains("glibc")) << changes[1];
    EXPECT_EQ(changes[1]["fixed"]["lock_lines"], nlohmann::json::array({"Caps_Lock"})) << changes[1];
    EXPECT_FALSE(changes[1]["broke"].contains("lock_lines")) << changes[1];
    std::vector<std::string> text_args = three;
    text_args.insert(text_args.end(), {"Caps_Lock", "Menu"});
    const CompareRun text = compare(args(text_args), {cache});
    EXPECT_TRUE(has(text.out, "(old: a lock key gives one line, or two; unstable: as classic SDL 1.2)")) << text.out;
    EXPECT_TRUE(has(text.out, "changed between runtimes, against classic SDL 1.2:\n  lock_lines: old (1 key); not unstable\n")) << text.out;
    EXPECT_TRUE(has(text.out, "from old to unstable (sdl12 1.2.60 → 1.2.78, sdl2 2.26.5 → sdl2-compat 2.32.")) << text.out;
    EXPECT_TRUE(has(text.out, "\n  fixed lock_lines (1 key): Caps_Lock\n")) << text.out;
    EXPECT_TRUE(has(text.out, "unstable: " + dir + "/cache/keymon/runtimes/unstable/libSDL-1.2.so.0, SDL2-based SDL 1.2.78 over sdl2-compat "))
        << text.out;
    // A stack's loader runs programs: a wrapper script is refused.
    const std::string wrapper = dir + "/wrapper.sh";
    std::ofstream(wrapper) << "#!/bin/sh\nexec " KEYMON_BINARY " \"$@\"\n";
    std::filesystem::permissions(wrapper, std::filesystem::perms::owner_all);
    const CompareRun scripted = compare({"--keymon", wrapper, "--runtime", "unstable", "a"}, {cache});
    EXPECT_EQ(scripted.status, 2);
    EXPECT_EQ(scripted.err, "keymon-compare: keymon '" + wrapper +
                                "' is not a program, and runtime unstable runs it through its own loader; name keymon itself with --keymon\n");

    // keymon on the stack, read from outside: every shared object it maps
    // is one of the stack's, none this system's.
    XServer server;
    ASSERT_EQ(start_xserver(server), "");
    setenv("XDG_CACHE_HOME", (dir + "/cache").c_str(), 1);
    Runtime unstable;
    ASSERT_EQ(resolve_runtime({"unstable", ""}, unstable), "");
    LaunchOptions options = output_to(Output::pipe);
    options.display = server.display;
    launch_on(unstable, options);
    Child keymon;
    ASSERT_EQ(launch_child(keymon, KEYMON_BINARY, options), "");
    EXPECT_NE(find_and_focus_window(server.conn, keymon.pid), None) << child_errors(keymon);
    const std::vector<std::string> objects = mapped_objects(keymon.pid);
    const std::string folder = dir + "/cache/keymon/runtimes/unstable/";
    EXPECT_GT(objects.size(), 20u);
    for (const std::string& object : objects) EXPECT_EQ(object.rfind(folder, 0), 0u) << object;
    for (const char* layer : {"libc.so.6", "libSDL-1.2.so.0", "libSDL2-2.0.so.0", "libSDL3.so.0", "libX11.so.6"}) {
        EXPECT_NE(std::find(objects.begin(), objects.end(), folder + layer), objects.end()) << layer;
    }
    unsetenv("XDG_CACHE_HOME");
    stop_xserver(server);

    // Both sessions, the stack's Wayland target on SDL3's own backend, with
    // a key only SDL3 reports: EuroSign, on a keycode bound for it under us.
    // keymon-compare refuses a run in which keymon mapped anything of this
    // system's, so every target's lines are the stack's own proof.
    const CompareRun sessions = compare(
        args({"--session", "x11,wayland", "--runtime", "compat", "--runtime", "unstable", "--layout", "us", "--json", "EuroSign"}), {cache});
    ASSERT_EQ(sessions.status, 1) << sessions.err;
    const nlohmann::json both = nlohmann::json::parse(sessions.out, nullptr, false);
    ASSERT_FALSE(both.is_discarded()) << sessions.out;
    const nlohmann::json& us = both["layouts"][0];
    EXPECT_EQ(lines_of(us, "EuroSign", "compat"), std::vector<std::string>{});
    const std::vector<std::string> euro = lines_of(us, "EuroSign", "unstable");
    ASSERT_FALSE(euro.empty());
    EXPECT_EQ(euro[0], "SDLK_UNKNOWN 0x0 0x2082") << "SDL3 reports the key; 1.2.78's decoder mangles the euro sign";
    for (const char* target : {"unstable_xwayland", "unstable_wayland"}) {
        EXPECT_NE(lines_of(us, "EuroSign", target), std::vector<std::string>{"(not typed)"}) << target;
    }
}

// A key that ends keymon (caps:swapescape: the SDL2-based runtime reports
// the Caps Lock key as Escape) is a difference of its own, and the keys
// after it are typed into a fresh keymon; the option is loaded in both
// sessions and named in the summary and JSON.
TEST(KeymonCompare, AKeyThatEndsKeymonIsADifferenceAndTheRunGoesOn) {
    for (const char* session : {"x11", "wayland"}) {
        SCOPED_TRACE(session);
        const CompareRun run = compare(args({"--session", session, "--layout", "us", "--option", "caps:swapescape", "--json", "a",
                                             "Caps_Lock", "z"}));
        ASSERT_EQ(run.status, 1) << run.err;
        const nlohmann::json doc = nlohmann::json::parse(run.out, nullptr, false);
        ASSERT_FALSE(doc.is_discarded()) << run.out;
        const nlohmann::json& layout = doc["layouts"][0];
        EXPECT_EQ(layout["options"], nlohmann::json::array({"caps:swapescape"}));
        const nlohmann::json* caps = find_key(layout, "Caps_Lock");
        ASSERT_TRUE(caps);
        EXPECT_EQ((*caps)["keycode"], 9) << "swapped onto the Escape key";
        EXPECT_EQ((*caps)["class"], "ends_keymon");
        const std::string compat = std::string(session) == "x11" ? "compat" : "compat_xwayland";
        EXPECT_EQ((*caps)["ended_keymon"], nlohmann::json::array({compat}));
        // The key after it, on every target, in a fresh keymon.
        for (const nlohmann::json& target : doc["targets"]) {
            const std::vector<std::string> z = lines_of(layout, "z", target["id"].get<std::string>());
            ASSERT_EQ(z.size(), 2u) << target["id"];
            EXPECT_EQ(z[0], "SDLK_z 0x34 0x5a") << "Caps Lock is on";
        }
    }
    const CompareRun text = compare(args({"--layout", "us", "--option", "caps:swapescape", "Caps_Lock"}));
    EXPECT_TRUE(has(text.out, "(keymon ended)")) << text.out;
    EXPECT_TRUE(has(text.out, "layout us (from --layout, options caps:swapescape): 1 keys typed, 1 differ")) << text.out;
    const CompareRun unknown = compare(args({"--option", "caps:no_such_thing", "a"}));
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.err, "keymon-compare: unknown XKB option 'caps:no_such_thing'\n");
}

// Every option of a group, each alone on the layout, with the survey's report.
TEST(KeymonCompare, EveryOptionSurveysEachOptionOfAGroup) {
    const CompareRun run = compare(args({"--every-option=lv2", "--layout", "us", "--json", "a", "less"}));
    ASSERT_TRUE(run.status == 0 || run.status == 1) << run.err;
    const nlohmann::json doc = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << run.out;
    ASSERT_EQ(doc["keymaps"].size(), 1u);
    const nlohmann::json& entry = doc["keymaps"][0];
    EXPECT_EQ(entry["layout"], "lv2");
    EXPECT_EQ(entry["options"], nlohmann::json::array({entry["variant"]}));
    EXPECT_EQ(entry["keymap"], "us +" + entry["variant"].get<std::string>());
    EXPECT_EQ(entry["keys_typed"], 2);
    EXPECT_TRUE(doc.contains("classes_by_target"));
}

// A Wayland desktop: the test's own compositor, its keyboard (a virtual
// one: a headless compositor has none) set to de with Compose on AltGr.
TEST(KeymonCompare, DesktopKeymapOfAWaylandDesktopIsTheCompositors) {
    Compositor desktop;
    ASSERT_EQ(start_compositor(desktop), "");
    VirtualKeyboard keyboard;
    std::string keymap;
    {
        xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
        const xkb_rule_names names = {"evdev", "pc105", "de", "", "compose:ralt"};
        xkb_keymap* compiled = xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
        char* text = compiled ? xkb_keymap_get_as_string(compiled, XKB_KEYMAP_FORMAT_TEXT_V1) : nullptr;
        if (text) keymap = text;
        std::free(text);
        if (compiled) xkb_keymap_unref(compiled);
        xkb_context_unref(context);
    }
    EXPECT_EQ(connect_virtual_keyboard(keyboard, desktop.dir.path(), desktop.wayland_display), "");
    EXPECT_EQ(use_keymap(keyboard, keymap), "");
    const std::string display = desktop.dir.path() + "/" + desktop.wayland_display;
    const CompareRun run = compare(args({"--json", "z", "Multi_key"}), {"WAYLAND_DISPLAY=" + display});
    disconnect_virtual_keyboard(keyboard);
    stop_compositor(desktop);
    const nlohmann::json doc = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << run.out << run.err;
    ASSERT_EQ(doc["targets"].size(), 3u) << "a Wayland desktop: the Wayland session";
    const nlohmann::json& layout = doc["layouts"][0];
    // A compiled keymap keeps its layouts' own names, not the rules' ones.
    EXPECT_EQ(layout["layout"], "German");
    EXPECT_EQ(layout["source"], "keymap of Wayland display " + display + ", German");
    EXPECT_EQ(lines_of(layout, "z", "classic_xwayland"), (Lines{"SDLK_z 0x1d 0x7a", "SDLK_z 0x1d 0x0"}));
    const nlohmann::json* compose = find_key(layout, "Multi_key");
    ASSERT_TRUE(compose);
    EXPECT_EQ((*compose)["keycode"], 108) << "Compose on the right Alt key, as the desktop has it";
    EXPECT_FALSE((*compose)["spare_keycode"].get<bool>());
}

// The Wayland session under de: classic and SDL2-based keymon through
// Xwayland and the SDL2-based one on SDL2's Wayland backend, as measured by
// hand beforehand.
TEST(KeymonCompare, WaylandSessionTypesTheLayoutIntoThreeTargets) {
    const CompareRun run = compare(args({"--session", "wayland", "--layout", "de", "--json", "z", "ISO_Level3_Shift+e",
                                         "dead_circumflex", "e"}));
    EXPECT_EQ(run.status, 1) << run.err;
    const nlohmann::json doc = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << run.out << run.err;
    const char* const ids[] = {"classic_xwayland", "compat_xwayland", "compat_wayland"};
    ASSERT_EQ(doc["targets"].size(), 3u) << doc["targets"];
    for (std::size_t t = 0; t < 3; ++t) {
        const nlohmann::json& target = doc["targets"][t];
        EXPECT_EQ(target["id"], ids[t]);
        EXPECT_EQ(target["session"], "wayland");
        EXPECT_EQ(target["runtime"], t == 0 ? "classic" : "compat");
        EXPECT_EQ(target["server"], t == 2 ? "sway" : "Xwayland");
        EXPECT_EQ(target["video_driver"], t == 2 ? "wayland" : "x11");
        EXPECT_EQ(has(target["library"].get<std::string>(), "sdl12-compat"), t != 0) << target;
    }
    const nlohmann::json& de = doc["layouts"][0];
    for (const char* id : ids) {
        SCOPED_TRACE(id);
        EXPECT_EQ(lines_of(de, "z", id), (Lines{"SDLK_z 0x1d 0x7a", "SDLK_z 0x1d 0x0"}));
        const Lines euro = lines_of(de, "ISO_Level3_Shift+e", id);
        ASSERT_EQ(euro.size(), 4u) << ::testing::PrintToString(euro);
        EXPECT_EQ(euro[1], std::string(id) == "classic_xwayland" ? "SDLK_e 0x1a 0x20ac" : "SDLK_e 0x1a 0x2082");
    }
    // AltGr pressed on <RALT>, as on a pc105 keyboard, never on <LVL3>.
    EXPECT_EQ(lines_of(de, "ISO_Level3_Shift+e", "classic_xwayland")[0], "SDLK_MODE 0x6c 0x0");
    EXPECT_EQ(lines_of(de, "dead_circumflex", "classic_xwayland"), Lines{});
    EXPECT_EQ(lines_of(de, "dead_circumflex", "compat_xwayland"), (Lines{"SDLK_UNKNOWN 0x31 0x0", "SDLK_UNKNOWN 0x31 0x0"}));
    EXPECT_EQ(lines_of(de, "dead_circumflex", "compat_wayland"), Lines{});
    EXPECT_EQ(lines_of(de, "e", "classic_xwayland"), Lines{"SDLK_UNKNOWN 0x0 0xea"});
    for (const char* id : {"compat_xwayland", "compat_wayland"}) {
        EXPECT_EQ(lines_of(de, "e", id), (Lines{"SDLK_e 0x1a 0xea", "SDLK_e 0x1a 0x0"})) << id;
    }
}

// sway refuses root: as root keymon-compare runs it as "nobody" and lets
// root into its Xwayland; an ordinary user runs it as themselves. Both are
// tried here: the ordinary user is "nobody", with copies of the two
// programs where that user can run them.
TEST(KeymonCompare, WaylandSessionRunsForRootAndForAnOrdinaryUser) {
    const std::vector<std::string> keys = {"--session", "wayland", "--layout", "de", "--all", "z"};
    const std::string agree = "  z    SDLK_z 0x1d 0x7a z  SDLK_z 0x1d 0x7a z    SDLK_z 0x1d 0x7a z\n";
    const CompareRun as_caller = compare(args(keys));
    EXPECT_EQ(as_caller.status, 0) << as_caller.err;
    EXPECT_TRUE(has(as_caller.out, agree)) << as_caller.out;
    if (geteuid() != 0) return;  // the caller was the ordinary user

    char dir[] = "/tmp/keymon-user-test.XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                      std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                                      std::filesystem::perms::others_exec);
    for (const std::string& program : {std::string(KEYMON_BINARY), std::string(KEYMON_COMPARE_BINARY)}) {
        std::filesystem::copy_file(program, std::filesystem::path(dir) / std::filesystem::path(program).filename());
    }
    std::vector<std::string> as_nobody = {"--reuid=65534", "--regid=65534", "--clear-groups", "--",
                                          std::string(dir) + "/keymon-compare"};
    as_nobody.insert(as_nobody.end(), keys.begin(), keys.end());
    Child process;
    LaunchOptions options = output_to(Output::pipe);
    options.args = as_nobody;
    ASSERT_EQ(launch_child(process, "/usr/bin/setpriv", options), "");
    const int status = wait_child(process, milliseconds(60000));
    std::filesystem::remove_all(dir);
    EXPECT_EQ(status, 0) << child_errors(process);
    EXPECT_TRUE(has(child_output(process), agree)) << child_output(process);
}

TEST(KeymonCompare, BothSessionsInOneRunGiveFiveTargets) {
    const CompareRun run = compare(args({"--session", "x11,wayland", "--json", "a"}));
    EXPECT_EQ(run.status, 0) << run.err;
    const nlohmann::json doc = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << run.out << run.err;
    std::vector<std::string> ids;
    for (const nlohmann::json& target : doc["targets"]) ids.push_back(target["id"]);
    EXPECT_EQ(ids, (std::vector<std::string>{"classic", "compat", "classic_xwayland", "compat_xwayland", "compat_wayland"}));
    for (const std::string& id : ids) EXPECT_EQ(lines_of(doc["layouts"][0], "a", id), (Lines{"SDLK_a 0x26 0x61", "SDLK_a 0x26 0x0"})) << id;
    EXPECT_TRUE(has(doc["compat_library"].get<std::string>(), "sdl12-compat"));

    const CompareRun text = compare(args({"-s", "wayland", "-s", "x11", "--all", "a"}));
    EXPECT_TRUE(has(text.out, "  key  classic SDL 1.2     SDL2-based SDL 1.2  classic, Xwayland   SDL2-based, Xwayland  SDL2-based, Wayland\n"))
        << "x11's targets come first, whatever order the sessions are named in:\n" << text.out;
}

// The survey shares the keymaps out between its jobs: one job or three, the
// report is the same to the byte.
// A report is a function of its command: the same command, run three
// times at once (each run in servers of its own, competing for the
// processors), gives byte-identical JSON, page and text, whatever the
// order in which keymon read its events, the jobs finished or the servers
// started. The survey's, by any number of jobs.
TEST(KeymonCompare, TheSameCommandGivesTheSameReportOnEveryRun) {
    const std::vector<std::string> caps = {"--layout", "us", "--option", "caps:swapescape"};
    const std::vector<std::string> sessions = {"--session", "x11,wayland", "--layout", "de"};
    const std::vector<std::string> options = {"--every-option=caps", "--layout", "us"};
    const std::vector<std::string> one_job = {"--every-layout=de,fr", "-J1"};
    const std::vector<std::string> any_jobs = {"--every-layout=de,fr"};
    // Each group runs at once; every report of a group is the same.
    const std::vector<std::pair<std::vector<std::vector<std::string>>, bool>> groups = {
        {{caps, caps, caps, sessions, sessions, sessions}, true},
        {{caps, caps, caps, sessions, sessions, sessions}, false},
        {{options, options, options}, true},
        {{one_job, one_job, one_job, any_jobs, any_jobs, any_jobs}, true},
    };
    std::vector<Report> survey;
    for (const auto& [commands, json] : groups) {
        const std::vector<Report> reports = run_at_once(commands, json);
        for (std::size_t i = 0; i < reports.size(); ++i) {
            std::string shown;
            for (const std::string& arg : commands[i]) shown += arg + " ";
            SCOPED_TRACE(shown + (json ? "--json" : "(text)"));
            const CompareRun& run = reports[i].run;
            ASSERT_TRUE(run.status == 0 || run.status == 1) << run.err;
            EXPECT_EQ(run.err, "");
            // The first run of the same command, and with -J1 the first
            // with the default jobs.
            std::size_t first = i;
            while (first > 0 && (commands[first - 1] == commands[i] || (commands[i] == any_jobs && commands[first - 1] == one_job))) --first;
            EXPECT_EQ(first_difference(reports[first].run.out, run.out), "");
            EXPECT_EQ(first_difference(reports[first].page, reports[i].page), "") << "the page";
        }
        if (commands[0] == one_job) survey = reports;
    }
    ASSERT_EQ(survey.size(), 6u);
    const CompareRun& one = survey[0].run;
    EXPECT_EQ(one.status, 1) << one.err;
    const nlohmann::json doc = nlohmann::json::parse(one.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << one.out.substr(0, 2000);
    ASSERT_GT(doc["keymaps"].size(), 20u);
    EXPECT_EQ(doc["keymaps"][0]["keymap"], "fr") << "the registry's order";
    std::size_t classed = 0;
    for (const nlohmann::json& keymap : doc["keymaps"]) {
        EXPECT_FALSE(keymap.contains("failed")) << keymap["keymap"] << ": " << keymap["failed"];
        for (const nlohmann::json& key : keymap["keys"]) {
            EXPECT_EQ(key.contains("class"), key["differs"].get<bool>()) << keymap["keymap"] << " " << key["key"];
            classed += key.contains("class");
        }
    }
    EXPECT_GT(classed, 500u);
}

// A keymap keymon fails on (a wrapper that gives up under fi(nodeadkeys))
// is listed as failed with the reason, the others are compared, and the run
// ends with status 2.
TEST(KeymonCompare, EveryLayoutListsAFailingKeymapAndGoesOn) {
    const std::string wrapper = (std::filesystem::path(KEYMON_TEST_OUTPUT_DIR) / "wrapper-nodeadkeys.sh").string();
    // setxkbmap names the keymap "fi(nodeadkeys)" as its layout.
    std::ofstream(wrapper) << "#!/bin/sh\nsetxkbmap -query | grep -q 'fi(nodeadkeys)' && exit 3\nexec " KEYMON_BINARY "\n";
    std::filesystem::permissions(wrapper, std::filesystem::perms::owner_all);
    const CompareRun run = compare({"--keymon", wrapper, "--every-layout=fi", "-J2"});
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_TRUE(std::regex_search(run.out, std::regex("\nfi\\(nodeadkeys\\) +failed: keymon ended with status 3 before it opened its window")))
        << run.out;
    EXPECT_TRUE(std::regex_search(run.out, std::regex("(^|\n)fi +[0-9]+ keys typed, [0-9]+ differ"))) << run.out;
    EXPECT_TRUE(std::regex_search(run.out, std::regex("\nfi\\(classic\\) +[0-9]+ keys typed"))) << run.out;
}

// On a terminal, standard error shows how far the survey is; standard
// output carries the report alone.
TEST(KeymonCompare, EveryLayoutShowsProgressOnATerminal) {
    LaunchOptions options = output_to(Output::pipe);
    options.errors_on_terminal = true;
    const CompareRun run = compare(args({"--every-layout=fi", "--markdown"}), {}, options);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_TRUE(std::regex_search(run.err, std::regex("keymon-compare: 6 of 6 keymaps, [0-9.]+ a minute, 0 s left"))) << run.err;
    EXPECT_FALSE(has(run.out, "keymaps, ")) << run.out;
    EXPECT_EQ(run.out.rfind("| keymap | description |", 0), 0u) << run.out.substr(0, 200);
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
    // AltGr is the right Alt key (keycode 108), as on a pc105 keyboard, not
    // the <LVL3> key evdev keymaps also bind it to.
    EXPECT_EQ((*euro)["classic"][0]["name"], "SDLK_MODE");
    EXPECT_EQ((*euro)["classic"][0]["scancode"], 0x6c);
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

// Debian's chromium, headless, with a profile of its own: what it printed
// for `what` ("--dump-dom", "--screenshot=FILE") on the page at `url`.
CompareRun browse(const std::string& what, const std::string& url) {
    CompareRun run;
    const std::string chromium = "/usr/bin/chromium";
    if (!std::filesystem::exists(chromium)) {
        run.err = "Debian's chromium is not installed";
        return run;
    }
    const std::filesystem::path profile = std::filesystem::path(KEYMON_TEST_OUTPUT_DIR) / "chromium-profile";
    std::filesystem::remove_all(profile);
    Child process;
    LaunchOptions options;
    options.output = Output::pipe;
    options.args = {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                    "--disable-background-networking", "--disable-component-update", "--disable-sync",
                    "--user-data-dir=" + profile.string(), what, url};
    run.err = launch_child(process, chromium, options);
    if (!run.err.empty()) return run;
    run.status = wait_child(process, milliseconds(60000));
    run.out = child_output(process);
    return run;
}

TEST(KeymonCompare, HtmlPageRendersOneKeyboardPerLayoutColouredAsTheJsonSays) {
    const std::filesystem::path page = std::filesystem::path(KEYMON_TEST_OUTPUT_DIR) / "keymon-compare.html";
    const std::filesystem::path shot = std::filesystem::path(KEYMON_TEST_OUTPUT_DIR) / "keymon-compare.png";
    std::filesystem::remove(shot);
    const CompareRun run = compare(args({"--layout", "us", "--layout", "de", "--all", "--json", "--html", page.string(), "KP_Enter",
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
    for (const nlohmann::json& layout : doc["layouts"]) {
        EXPECT_EQ((*find_key(layout, "e"))["context"], "after dead_circumflex");
        EXPECT_EQ((*find_key(layout, "dead_circumflex"))["context"], "");
    }
    {
        std::ifstream file(page);
        const std::string html((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        EXPECT_TRUE(has(html, "<tr><td><code>a</code></td>")) << "with --all the table lists the keys that agree";
    }

    const CompareRun dom = browse("--dump-dom", "file://" + page.string());
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

    // Keys that agree, keys not typed and each class shown have fills of
    // their own, as the browser computes them: a copy of the page with a
    // script that writes the fills into it.
    {
        std::ifstream file(page);
        std::string html((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        html.insert(html.rfind("</body>"),
                    "<script>const fills = new Map(); for (const g of document.querySelectorAll('g.key')) {"
                    " const kind = g.dataset.state === 'untyped' ? 'untyped' : g.dataset.cause;"
                    " if (!fills.has(kind)) fills.set(kind, getComputedStyle(g.querySelector('polygon')).fill); }"
                    "document.body.insertAdjacentHTML('beforeend', '<pre id=\"fills\">' +"
                    " [...fills].map(([k, f]) => k + '=' + f).join(';') + '</pre>');</script>");
        std::ofstream(page.string() + ".fills.html") << html;
    }
    const CompareRun styled = browse("--dump-dom", "file://" + page.string() + ".fills.html");
    std::smatch fills;
    ASSERT_TRUE(std::regex_search(styled.out, fills, std::regex("<pre id=\"fills\">([a-z_0-9]+=[^<]+)</pre>"))) << styled.out.substr(0, 2000);
    std::set<std::string> kinds, distinct;
    for (const std::string& pair : split_on(fills[1], ';')) {
        kinds.insert(pair.substr(0, pair.find('=')));
        distinct.insert(pair.substr(pair.find('=') + 1));
    }
    EXPECT_EQ(distinct.size(), kinds.size()) << fills[0];
    EXPECT_TRUE(kinds.count("none") && kinds.count("untyped") && kinds.size() > 3) << fills[0];

    const CompareRun picture = browse("--screenshot=" + shot.string(), "file://" + page.string());
    ASSERT_EQ(picture.status, 0) << picture.err;
    bool uniform = true;
    ASSERT_EQ(png_uniform(shot.string(), uniform), "");
    EXPECT_FALSE(uniform) << shot << " is a single colour";
}

// The page as the browser shows it, against the JSON of the same run: each
// key the colour of the most telling class among its differences from the
// reference (in the order the legend lists), the legend's counts, and each
// view (the URL's fragment picks it) keeping only its own differences.
TEST(KeymonCompare, PageKeysTakeTheirMostTellingClassAndEachViewKeepsOnlyItsDifferences) {
    const std::filesystem::path page = std::filesystem::path(KEYMON_TEST_OUTPUT_DIR) / "views.html";
    const CompareRun run = compare(args({"--runtime", "classic", "--runtime", "compat", "--runtime",
                                         "compat_again=/usr/lib/x86_64-linux-gnu/sdl12-compat", "--layout", "de", "--json",
                                         "--html", page.string(), "e", "ctrl+e", "EuroSign", "a", "ctrl+a", "dead_circumflex", "o"}));
    EXPECT_EQ(run.status, 1) << run.err;
    const nlohmann::json doc = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << run.out;

    const CompareRun plain = browse("--dump-dom", "file://" + page.string());
    ASSERT_EQ(plain.status, 0) << plain.err;
    std::map<std::string, int> rank;
    const std::regex listed("<li data-class=\"([a-z_0-9]+)\">");
    for (auto it = std::sregex_iterator(plain.out.begin(), plain.out.end(), listed); it != std::sregex_iterator(); ++it) {
        rank.emplace((*it)[1], static_cast<int>(rank.size()));
    }
    ASSERT_EQ(rank.size(), 15u) << "every class in the legend";
    ASSERT_LT(rank["utf8_decoding"], rank["ctrl_character"]);
    ASSERT_LT(rank["ctrl_character"], rank["key_names"]);

    // What the JSON says each keycode's colour is: its keys' classes against
    // the reference, the most telling first.
    std::map<int, std::string> expected;
    for (const nlohmann::json& key : doc["layouts"][0]["keys"]) {
        if (key["spare_keycode"].get<bool>()) continue;
        std::string& cause = expected.emplace(key["keycode"].get<int>(), "none").first->second;
        for (const auto& [target, against] : key["against_reference"].items()) {
            const std::string which = against["class"];
            if (which != "none" && (cause == "none" || rank[which] < rank[cause])) cause = which;
        }
    }
    auto causes = [](const std::string& dom) {
        std::map<int, std::string> found;
        const std::regex coloured("data-keycode=\"([0-9]+)\" data-cause=\"([a-z_0-9]+)\"");
        for (auto it = std::sregex_iterator(dom.begin(), dom.end(), coloured); it != std::sregex_iterator(); ++it) {
            found[std::stoi((*it)[1])] = (*it)[2];
        }
        return found;
    };
    const int e = (*find_key(doc["layouts"][0], "e"))["keycode"];
    const std::map<int, std::string> shown = causes(plain.out);
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(shown.at(e), "utf8_decoding") << "AltGr+e is EuroSign on de";
    std::map<std::string, int> per_class;
    for (const auto& [code, cause] : expected) ++per_class[cause];
    for (const auto& [which, place] : rank) {
        EXPECT_TRUE(has(plain.out, "<li data-class=\"" + which + "\">") &&
                    std::regex_search(plain.out, std::regex("<li data-class=\"" + which + "\">.*?<span class=\"count\">" +
                                                            std::to_string(per_class[which]) + "</span>")))
            << which << " should count " << per_class[which];
    }

    const CompareRun without_ctrl = browse("--dump-dom", "file://" + page.string() + "#class=but:ctrl_character");
    const std::map<int, std::string> hidden = causes(without_ctrl.out);
    for (const auto& [code, cause] : hidden) EXPECT_NE(cause, "ctrl_character") << "keycode " << code;
    EXPECT_EQ(hidden.at(e), "utf8_decoding");
    EXPECT_EQ(hidden.size(), shown.size());

    std::map<int, std::string> ctrl_only;
    for (const nlohmann::json& key : doc["layouts"][0]["keys"]) {
        if (key["spare_keycode"].get<bool>()) continue;
        std::string& cause = ctrl_only.emplace(key["keycode"].get<int>(), "none").first->second;
        for (const auto& [target, against] : key["against_reference"].items()) {
            if (against["class"] == "ctrl_character") cause = "ctrl_character";
        }
    }
    const CompareRun only_ctrl = browse("--dump-dom", "file://" + page.string() + "#class=only:ctrl_character");
    EXPECT_EQ(causes(only_ctrl.out), ctrl_only);

    const CompareRun base = browse("--dump-dom", "file://" + page.string() + "#level=base");
    const CompareRun altgr = browse("--dump-dom", "file://" + page.string() + "#level=altgr&runtime=2");
    EXPECT_EQ(causes(altgr.out).at(e), "utf8_decoding") << "EuroSign, on compat_again against classic";
    EXPECT_NE(causes(base.out).at(e), "utf8_decoding") << "the base level of e holds no EuroSign";

    // From one runtime to the next: classic to compat breaks every key on
    // which they differ and fixes none; compat to the same library again
    // changes nothing.
    std::map<int, std::string> broken;
    for (const auto& [code, cause] : expected) broken[code] = cause == "none" ? "none" : "broke";
    EXPECT_EQ(causes(browse("--dump-dom", "file://" + page.string() + "#change=0-1").out), broken);
    for (const auto& [code, cause] : causes(browse("--dump-dom", "file://" + page.string() + "#change=1-2").out)) {
        EXPECT_EQ(cause, "none") << "keycode " << code;
    }
}


// The survey's page has the same views: each keymap's small keyboard takes
// its keys' most telling classes, and one class alone leaves only its keys.
TEST(KeymonCompare, SurveyPageKeysTakeTheirClassesAndAClassAloneLeavesOnlyItsKeys) {
    const std::filesystem::path page = std::filesystem::path(KEYMON_TEST_OUTPUT_DIR) / "survey-views.html";
    const CompareRun run = compare(args({"--every-option=caps", "--html", page.string(), "a", "Caps_Lock", "Escape", "EuroSign"}));
    ASSERT_LE(run.status, 1) << run.err;
    const CompareRun plain = browse("--dump-dom", "file://" + page.string());
    ASSERT_EQ(plain.status, 0) << plain.err;
    auto causes = [](const std::string& dom) {
        std::multiset<std::string> found;
        const std::regex coloured("<polygon class=\"[a-z]+\" data-cause=\"([a-z_0-9]+)\"");
        for (auto it = std::sregex_iterator(dom.begin(), dom.end(), coloured); it != std::sregex_iterator(); ++it) found.insert((*it)[1]);
        return found;
    };
    const std::multiset<std::string> all = causes(plain.out);
    ASSERT_FALSE(all.empty()) << "the small keyboards carry their keys' classes";
    ASSERT_GT(all.size(), all.count("none")) << "some key differs";
    const std::string shown = *std::find_if(all.begin(), all.end(), [](const std::string& c) { return c != "none"; });
    const std::multiset<std::string> alone = causes(browse("--dump-dom", "file://" + page.string() + "#class=only:" + shown).out);
    EXPECT_EQ(alone.size(), all.size());
    EXPECT_EQ(alone.count(shown), all.count(shown));
    EXPECT_EQ(alone.count(shown) + alone.count("none"), alone.size()) << "only " << shown << " is left";
    EXPECT_TRUE(std::regex_search(plain.out, std::regex("<li data-class=\"" + shown + "\">.*?<span class=\"count\">" +
                                                        std::to_string(all.count(shown)) + "</span>")))
        << "the legend counts " << shown << "'s keys over every keymap";
}


}  // namespace
