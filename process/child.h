// A child process whose output is read here (keymon, or keymon-compare in
// its tests): its environment, its output, its end. Every wait here is
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

// Once the process has ended, its output ends as soon as whatever it left
// behind has gone; a descendant that left its process group and kept the
// stream open is not waited for longer than this.
inline constexpr milliseconds output_after_end{1000};

// Where the process's standard output goes: a pseudo-terminal or a pipe
// read here, a file (`output_file`), or nowhere: descriptor 1 closed.
enum class Output { pty, pipe, file, closed };

// The process leads a process group of its own (a wrapper script and the
// keymon it starts are one group), ended as a whole.
struct Child {
    pid_t pid = -1;
    int pidfd = -1;  // readable once the process has ended; one per child, as checks are frequent
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
    double processor = 0;  // seconds of processor time it used, once wait_child reaped it

    // A process still running here (its test stopped part-way) is asked to
    // end, then killed, and reaped; the reader is joined. One failing test
    // then neither aborts the whole run nor leaves a child behind.
    ~Child();
};

struct LaunchOptions {
    std::string display;  // "" leaves DISPLAY unset
    std::string library_path;  // LD_LIBRARY_PATH ("" leaves it unset): the SDL runtime's folder
    Output output = Output::pty;
    std::string output_file;  // for Output::file
    bool closed_stdin = false;  // else /dev/null
    bool errors_on_terminal = false;  // standard error on a pseudo-terminal of its own, else a pipe
    // "NAME=value", in place of any NAME inherited; DISPLAY, WAYLAND_DISPLAY
    // and SDL_VIDEODRIVER are never inherited.
    std::vector<std::string> extra_env;
    std::vector<std::string> args;  // after the program's name
    // The program that starts `binary` and the options it takes before it
    // (a dynamic loader: "ld.so --library-path DIR"); empty runs `binary` itself.
    std::vector<std::string> through;
};

// Starts `binary` with the given environment and arguments; a thread
// collects its output. "" or what went wrong (nothing is left open then).
[[nodiscard]] std::string launch_child(Child& child, const std::string& binary, const LaunchOptions& options);
// True once the process has ended (it is not reaped), false if it has not
// within `limit`.
bool child_exited(Child& child, milliseconds limit);
// Waits for the process to end; returns its exit status, or -1 on a signal
// or after `limit` (the process is then killed). What is left of its group
// is killed, and the output is complete once the streams close, or at most
// a second after the end.
int wait_child(Child& child, milliseconds limit = milliseconds(15000));
// True once `done(out)` holds, false if it did not within `limit`.
bool wait_output(Child& child, const std::function<bool(const std::string&)>& done,
                 milliseconds limit = milliseconds(15000));
// True once the output holds at least `lines` lines, false if it did not
// within `limit`. Cheap enough to wait on while thousands of lines arrive.
bool wait_lines(Child& child, std::size_t lines, milliseconds limit = milliseconds(15000));
std::size_t child_lines(Child& child);
// True once both of the child's streams have closed (it has ended, or is
// ending).
bool output_ended(Child& child);
// When each line so far was read from the child's output.
std::vector<Clock::time_point> child_line_times(Child& child);
std::string child_output(Child& child);
std::string child_errors(Child& child);
// Counts the lines of `text`.
std::size_t count_lines(const std::string& text);
