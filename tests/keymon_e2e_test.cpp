// The real keymon binary in a private Xvfb, driven by XTEST key events, on
// the SDL 1.2 runtime named by KEYMON_RUNTIME (classic or compat).
// GoogleTest first: X11 defines a macro None that its headers also use as a name.
#include <gtest/gtest.h>

#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

#include "xtest_keyboard.h"
#include "child.h"
#include "runtime.h"
#include "xserver.h"

namespace {

std::string hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

std::string line(const std::string& name, unsigned scancode, unsigned unicode, const std::string& text) {
    return "ITEM_ID_XY " + name + " " + hex(scancode) + " " + hex(unicode) + " " + text + " \n";
}

class Keymon : public ::testing::Test {
public:
    static inline XServer server;
    static inline std::string server_error;
    static inline const SystemRuntime runtime = runtime_from_env();

    static void SetUpTestSuite() { server_error = start_xserver(server); }
    static void TearDownTestSuite() { stop_xserver(server); }

    void SetUp() override { ASSERT_EQ(server_error, ""); }
    void TearDown() override {
        end_monitor();
        release_all();
        EXPECT_EQ(take_x_errors(), std::vector<std::string>{});
    }

    bool compat() const { return runtime == SystemRuntime::compat; }
    Display* x() const { return server.conn; }
    unsigned code(KeySym sym) const { return XKeysymToKeycode(x(), sym); }

    // Both lines of one key typed without modifiers.
    std::string tap_lines(const std::string& name, KeySym sym, unsigned unicode, const std::string& text,
                          unsigned scancode = ~0u) const {
        if (scancode == ~0u) scancode = code(sym);
        return line(name, scancode, unicode, text) + line(name, scancode, 0, "");
    }

    // Starts the monitor and waits until its window is ready for keys and
    // has the focus. Keys typed any earlier could be dropped while SDL sets
    // the window up, or read before Unicode translation is on.
    void start(Output output = Output::pty, const std::string& file = "") {
        end_monitor();
        owned = std::make_unique<Child>();
        LaunchOptions options;
        options.display = server.display;
        options.library_path = runtime_libdir(runtime);
        options.output = output;
        options.output_file = file;
        ASSERT_EQ(launch_child(monitor(), KEYMON_BINARY, options), "");
        window = find_and_focus_window(x(), monitor().pid);
        ASSERT_NE(window, None) << "no focused keymon window; stderr: " << child_errors(monitor());
        const std::string library = mapped_sdl_library(monitor().pid);
        ASSERT_EQ(library.find("sdl12-compat") != std::string::npos, compat()) << library;
    }

    Child& monitor() { return *owned; }
    std::string typed() { return child_output(monitor()); }

    void end_monitor() {
        if (!owned) return;
        if (monitor().pid > 0) kill(monitor().pid, SIGKILL);
        wait_child(monitor());
        owned.reset();
    }

    // Runs `send` while the monitor is stopped, so that everything it sends
    // is waiting on the monitor's connection when it goes on, and one pump
    // takes it all into SDL's queue at once.
    void while_stopped(const std::function<void()>& send) {
        kill(monitor().pid, SIGSTOP);
        int status = 0;
        ASSERT_EQ(waitpid(monitor().pid, &status, WUNTRACED), monitor().pid);
        ASSERT_TRUE(WIFSTOPPED(status));
        send();
        XSync(x(), False);
        kill(monitor().pid, SIGCONT);
    }

    // Leaves no key down in the server for the next test.
    void release_all() {
        for (KeySym sym : {XK_Escape, XK_Shift_L, XK_Control_L, XK_Alt_L}) {
            send_strokes(x(), {{sym, false}});
        }
    }

    // Both lines of each of these letters and digits, typed without Shift.
    std::string plain_lines(const std::vector<KeySym>& keys) const {
        std::string lines;
        for (KeySym sym : keys) {
            const char c = static_cast<char>(sym);
            lines += tap_lines(std::string("SDLK_") + c, sym, static_cast<unsigned>(sym), {c});
        }
        return lines;
    }

    std::unique_ptr<Child> owned;
    Window window = None;
};

TEST_F(Keymon, TypedKeysGiveExactReportLines) {
    ASSERT_NO_FATAL_FAILURE(start());
    // A letter typed again within the same millisecond is taken for an
    // auto-repeat by the SDL2-based runtime, so no letter comes twice here.
    send_strokes(x(), taps({XK_a, XK_B, XK_1, XK_Return, XK_KP_Enter, XK_F1, XK_space}));
    send_strokes(x(), {{XK_Escape, true}});
    EXPECT_EQ(wait_child(monitor()), 0);
    const unsigned shift = code(XK_Shift_L);
    const std::string expected =
        tap_lines("SDLK_a", XK_a, 0x61, "a") + line("SDLK_LSHIFT", shift, 0, "") +
        line("SDLK_b", code(XK_b), 0x42, "B") + line("SDLK_b", code(XK_b), 0, "") +
        line("SDLK_LSHIFT", shift, 0, "") + tap_lines("SDLK_1", XK_1, 0x31, "1") +
        tap_lines("SDLK_RETURN", XK_Return, 0xd, "\r") +
        // The SDL2-based runtime has no scan code for keypad Enter.
        tap_lines("SDLK_KP_ENTER", XK_KP_Enter, 0xd, "\r", compat() ? 0 : code(XK_KP_Enter)) +
        tap_lines("SDLK_F1", XK_F1, 0, "") + tap_lines("SDLK_SPACE", XK_space, 0x20, " ");
    EXPECT_EQ(typed(), expected);
}

TEST_F(Keymon, NonAsciiKeyOfAnAzertyLayoutIsWrittenAsUtf8) {
    // On a French keyboard the key of "2" gives e acute.
    const KeyCode two = static_cast<KeyCode>(code(XK_2));
    const KeymapRestore us(x(), two);
    bind_keycode(x(), two, {XK_eacute, XK_2, XK_asciitilde});
    ASSERT_NO_FATAL_FAILURE(start());
    send_strokes(x(), taps({XK_eacute}));
    send_strokes(x(), {{XK_Escape, true}});
    EXPECT_EQ(wait_child(monitor()), 0);
    // Classic SDL names Latin-1 symbols SDLK_WORLD_n; the SDL2-based runtime
    // names the key by its position on a US keyboard.
    const std::string name = compat() ? "SDLK_2" : "SDLK_WORLD_73";
    EXPECT_EQ(typed(), tap_lines(name, 0, 0xe9, "\xc3\xa9", two));
}

TEST_F(Keymon, KeysOutsideTheUsKeyPositionsReachOnlyClassicSdl) {
    struct Case {
        KeySym sym;
        bool bound_before_start;  // else bound while running, as typing tools do
        const char* classic_name;
        unsigned unicode;
        const char* text;
    };
    const Case cases[] = {
        {XK_eacute, true, "SDLK_WORLD_73", 0xe9, "\xc3\xa9"},
        {XK_EuroSign, false, "SDLK_UNKNOWN", 0x20ac, "\xe2\x82\xac"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(XKeysymToString(c.sym));
        KeyCode spare = c.bound_before_start ? bind_spare_keycode(x(), c.sym) : 0;
        KeymapRestore unbind(x(), spare, {});
        ASSERT_NO_FATAL_FAILURE(start());
        if (!c.bound_before_start) unbind.code = spare = bind_spare_keycode(x(), c.sym);
        ASSERT_NE(spare, 0);
        send_strokes(x(), taps({c.sym, XK_x}));
        send_strokes(x(), {{XK_Escape, true}});
        EXPECT_EQ(wait_child(monitor()), 0);
        if (compat()) {
            EXPECT_EQ(typed(), plain_lines({XK_x}));  // the key never arrives
        } else {
            EXPECT_EQ(typed(), tap_lines(c.classic_name, 0, c.unicode, c.text, spare) + plain_lines({XK_x}));
        }
        release_all();
    }
}

struct Modifier {
    KeySym sym;
    const char* name;
};

TEST_F(Keymon, EscapeEndsTheRunWithoutALineWhateverModifiersAreDown) {
    const std::vector<std::vector<Modifier>> cases = {
        {},
        {{XK_Shift_L, "SDLK_LSHIFT"}},
        {{XK_Control_L, "SDLK_LCTRL"}},
        {{XK_Shift_L, "SDLK_LSHIFT"}, {XK_Alt_L, "SDLK_LALT"}},
    };
    for (const auto& modifiers : cases) {
        SCOPED_TRACE(modifiers.size());
        ASSERT_NO_FATAL_FAILURE(start());
        std::vector<Stroke> strokes;
        std::string expected;
        for (const Modifier& m : modifiers) {
            strokes.push_back({m.sym, true});
            expected += line(m.name, code(m.sym), 0, "");
        }
        strokes.push_back({XK_Escape, true});  // and no release
        send_strokes(x(), strokes);
        EXPECT_EQ(wait_child(monitor()), 0);
        EXPECT_EQ(typed(), expected);
        release_all();
    }
}

TEST_F(Keymon, ReleaseOfEscapeQueuedBehindItsPressIsReported) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(while_stopped([&] { send_strokes(x(), taps({XK_Escape})); }));
    EXPECT_EQ(wait_child(monitor()), 0);
    EXPECT_EQ(typed(), line("SDLK_ESCAPE", code(XK_Escape), 0, ""));
}

TEST_F(Keymon, ReleaseOfAKeyPressedElsewhereReachesOnlyClassicSdl) {
    ASSERT_NO_FATAL_FAILURE(start());
    // Escape goes down while no window of the monitor has the focus; only
    // its release can reach the monitor, which therefore goes on running.
    XSetInputFocus(x(), PointerRoot, RevertToPointerRoot, CurrentTime);
    XWarpPointer(x(), None, DefaultRootWindow(x()), 0, 0, 0, 0, 600, 400);
    send_strokes(x(), {{XK_Escape, true}});
    ASSERT_EQ(find_and_focus_window(x(), monitor().pid), window);
    send_strokes(x(), {{XK_Escape, false}});
    send_strokes(x(), taps({XK_z}));
    ASSERT_TRUE(wait_lines(monitor(), compat() ? 2 : 3)) << typed();
    send_strokes(x(), {{XK_Escape, true}});
    EXPECT_EQ(wait_child(monitor()), 0);
    const std::string escape = compat() ? "" : line("SDLK_ESCAPE", code(XK_Escape), 0, "");
    EXPECT_EQ(typed(), escape + plain_lines({XK_z}));
}

TEST_F(Keymon, KeysQueuedAroundAQuitRequestAreAllReportedInOrder) {
    const std::vector<KeySym> before = {XK_q, XK_w, XK_e}, after = {XK_r, XK_t, XK_y};
    // The quit request is a real WM_DELETE_WINDOW, as a window manager sends
    // when the window is closed, or a press of Escape.
    for (bool close : {true, false}) {
        SCOPED_TRACE(close ? "window closed" : "Escape pressed");
        ASSERT_NO_FATAL_FAILURE(start());
        ASSERT_NO_FATAL_FAILURE(while_stopped([&] {
            send_strokes(x(), taps(before));
            if (close) {
                // The request goes to the one window the monitor has. The
                // SDL2-based runtime replaces its first window during start-up;
                // a request sent to that one is lost without a word unless
                // BadWindow is reported.
                ASSERT_EQ(windows_of(x(), monitor().pid), std::vector<Window>{window});
                ASSERT_TRUE(request_close(x(), window));
            } else {
                send_strokes(x(), {{XK_Escape, true}});
            }
            send_strokes(x(), taps(after));
        }));
        EXPECT_EQ(wait_child(monitor()), 0);
        EXPECT_EQ(typed(), plain_lines(before) + plain_lines(after));
        release_all();
    }
}

TEST_F(Keymon, TermAndIntSignalsEndTheRunWithoutLosingBufferedLines) {
    // A shell leaves SIGINT ignored for what it starts in the background,
    // and keymon would inherit that: it goes at its default here.
    struct sigaction by_default {}, kept {};
    by_default.sa_handler = SIG_DFL;
    sigaction(SIGINT, &by_default, &kept);
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(signal));
        // Into a pipe the lines stay in the stream's buffer until the end.
        ASSERT_NO_FATAL_FAILURE(start(Output::pipe));
        const std::vector<KeySym> keys = {XK_k, XK_e, XK_y, XK_m, XK_o, XK_n};
        send_strokes(x(), taps(keys));
        kill(monitor().pid, signal);
        EXPECT_EQ(wait_child(monitor()), 0);
        EXPECT_EQ(typed(), plain_lines(keys));
    }
    sigaction(SIGINT, &kept, nullptr);
}

// Lines that cannot be written end the run with status 1 and the reason:
// on a full disk, and with standard output closed (left closed, it would be
// the number one of SDL's X sockets takes, and the lines would go there).
// Either when the stream's buffer fills while keys still come, or at the
// final flush after one key and Escape.
TEST_F(Keymon, OutputThatCannotBeWrittenEndsTheRunWithStatusOne) {
    const struct {
        Output output;
        const char* file;
        const char* message;
    } cases[] = {{Output::file, "/dev/full", "keymon: write error: No space left on device\n"},
                 {Output::closed, "", "keymon: write error: Bad file descriptor\n"}};
    for (const auto& c : cases) {
        for (const bool many : {true, false}) {
            SCOPED_TRACE(std::string(c.message) + (many ? " with many lines" : " with one key"));
            ASSERT_NO_FATAL_FAILURE(start(c.output, c.file));
            if (many) {
                send_burst(x(), burst_keys(300));  // 600 lines, over 15 KB
            } else {
                send_strokes(x(), taps({XK_a}));
                send_strokes(x(), {{XK_Escape, true}});
            }
            EXPECT_EQ(wait_child(monitor()), 1);
            EXPECT_EQ(child_errors(monitor()), c.message);
            release_all();
        }
    }
}

TEST_F(Keymon, StartFailureIsReportedOnStandardErrorWithStatusOne) {
    LaunchOptions options;  // no DISPLAY
    options.library_path = runtime_libdir(runtime);
    options.output = Output::pipe;
    // Classic SDL would otherwise fall back to a text-mode video driver.
    options.extra_env = {"SDL_VIDEODRIVER=x11"};
    owned = std::make_unique<Child>();
    ASSERT_EQ(launch_child(monitor(), KEYMON_BINARY, options), "");
    EXPECT_EQ(wait_child(monitor()), 1);
    EXPECT_EQ(child_output(monitor()), "");
    const std::string err = child_errors(monitor());
    const std::string prefix = "Couldn't initialize SDL: ";
    EXPECT_EQ(err.substr(0, prefix.size()), prefix);
    EXPECT_EQ(count_lines(err), 1u);
    EXPECT_GT(err.size(), prefix.size() + 1) << "the library's reason is missing";
    EXPECT_EQ(err.back(), '\n');
}

TEST_F(Keymon, BurstOfTenThousandKeyEventsLosesNothing) {
    ASSERT_NO_FATAL_FAILURE(start());
    const std::vector<KeySym> keys = burst_keys(5000);
    // Typing never runs more than 96 events ahead of the lines read back, as
    // a person at a keyboard does; the test below types without waiting.
    const std::size_t before = child_lines(monitor());
    send_burst(x(), keys, [&](std::size_t sent) {
        if (sent > 96) wait_lines(monitor(), before + sent - 96, milliseconds(5000));
    });
    const std::string expected = plain_lines(keys);
    wait_lines(monitor(), count_lines(expected), milliseconds(60000));
    send_strokes(x(), {{XK_Escape, true}});
    EXPECT_EQ(wait_child(monitor()), 0);
    const std::string got = typed();
    EXPECT_EQ(count_lines(got), count_lines(expected));
    EXPECT_TRUE(got == expected) << "the lines differ from the typed keys";
}

TEST_F(Keymon, BurstReadInOnePollLosesNothingAndKeepsItsOrder) {
    ASSERT_NO_FATAL_FAILURE(start());
    // Typed while the monitor is stopped, 16 events a round trip: all 10,000
    // wait on its connection, and the first poll takes them in at once, far
    // more than the 128 SDL's queue holds. The SDL2-based runtime drops a
    // release and the next press of the same key when they come within 2 ms,
    // taking them for an auto-repeat, whatever keymon does; there each key
    // waits 3 ms for its next press.
    const std::vector<KeySym> keys = burst_keys(5000);
    ASSERT_NO_FATAL_FAILURE(while_stopped([&] {
        if (compat()) {
            send_spaced_burst(x(), keys, 16);
        } else {
            send_strokes(x(), taps(keys), 16);
        }
    }));
    const std::string expected = plain_lines(keys);
    // Lines still missing after a quiet second are lost.
    for (std::size_t seen = 0; seen < count_lines(expected) && wait_lines(monitor(), seen + 1, milliseconds(1000));) {
        seen = child_lines(monitor());
    }
    send_strokes(x(), {{XK_Escape, true}});
    EXPECT_EQ(wait_child(monitor()), 0);
    const std::string got = typed();
    EXPECT_EQ(count_lines(got), count_lines(expected));
    EXPECT_TRUE(got == expected) << "the lines differ from the typed keys";
}

}  // namespace
