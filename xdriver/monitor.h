// The monitor process (keymon, or keymon-compare in its tests): its
// environment and SDL 1.2 runtime, its output, its end. Every wait here is
// bounded; none is a fixed sleep.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "clock.h"

// The program file `name` runs as from PATH, or "" when there is none.
std::string find_program(const std::string& name);

// Which SDL 1.2 library the monitor runs on: the classic one it was built
// against, or the SDL2-based one picked by LD_LIBRARY_PATH.
enum class Runtime { classic, compat };
Runtime runtime_from_env();  // KEYMON_RUNTIME=classic|compat (default classic)
const char* runtime_name(Runtime runtime);
// Where the SDL2-based runtime's libSDL-1.2 lives ("" for classic):
// Debian's directory, or KEYMON_COMPAT_LIBDIR.
std::string runtime_libdir(Runtime runtime);
// "" when the runtime's library is there, else what is missing.
std::string runtime_missing(Runtime runtime);

// Where the process's standard output goes: a pseudo-terminal or a pipe
// read here, a file (`output_file`), or nowhere: descriptor 1 closed.
enum class Output { pty, pipe, file, closed };

// The process leads a process group of its own (a wrapper script and the
// keymon it starts are one group), ended as a whole.
struct Monitor {
    pid_t pid = -1;
    int out_fd = -1;
    int err_fd = -1;
    int stop_fds[2] = {-1, -1};  // a byte here stops the reader
    std::thread reader;
    std::mutex lock;
    std::condition_variable changed;
    std::string out;  // guarded by lock
    std::string err;  // guarded by lock
    std::size_t out_lines = 0;  // newlines in out; guarded by lock
    // When each line of out was read, in order; guarded by lock.
    std::vector<Clock::time_point> line_times;
    bool ended = false;  // both streams closed; guarded by lock

    // A process still running here (its test stopped part-way) is asked to
    // end, then killed, and reaped; the reader is joined. One failing test
    // then neither aborts the whole run nor leaves a child behind.
    ~Monitor();
};

struct LaunchOptions {
    std::string display;  // "" leaves DISPLAY unset
    Runtime runtime = Runtime::classic;
    Output output = Output::pty;
    std::string output_file;  // for Output::file
    bool closed_stdin = false;  // else /dev/null
    bool errors_on_terminal = false;  // standard error on a pseudo-terminal of its own, else a pipe
    // "NAME=value", in place of any NAME inherited; DISPLAY, WAYLAND_DISPLAY
    // and SDL_VIDEODRIVER are never inherited.
    std::vector<std::string> extra_env;
    std::vector<std::string> args;  // after the program's name
};

// Starts `binary` with the given environment and arguments; a thread
// collects its output. Also runs keymon-compare for its tests.
std::string launch_monitor(Monitor& monitor, const std::string& binary, const LaunchOptions& options);
// True once the process has ended (it is not reaped), false if it has not
// within `limit`.
bool monitor_exited(Monitor& monitor, milliseconds limit);
// Waits for the process to end; returns its exit status, or -1 on a signal
// or after `limit` (the process is then killed). What is left of its group
// is killed, and the output is complete once the streams close, or at most
// a second after the end.
int wait_monitor(Monitor& monitor, milliseconds limit = milliseconds(15000));
// True once `done(out)` holds, false if it did not within `limit`.
bool wait_output(Monitor& monitor, const std::function<bool(const std::string&)>& done,
                 milliseconds limit = milliseconds(15000));
// True once the output holds at least `lines` lines, false if it did not
// within `limit`. Cheap enough to wait on while thousands of lines arrive.
bool wait_lines(Monitor& monitor, std::size_t lines, milliseconds limit = milliseconds(15000));
std::size_t monitor_lines(Monitor& monitor);
// When each line so far was read from the monitor's output.
std::vector<Clock::time_point> monitor_line_times(Monitor& monitor);
std::string monitor_output(Monitor& monitor);
std::string monitor_errors(Monitor& monitor);
// The shared library file the process has mapped for SDL 1.2, "" if none.
std::string mapped_sdl_library(pid_t pid);

// Counts the lines of `text`.
std::size_t count_lines(const std::string& text);
