// A child process: its environment, its output, its end.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "child.h"
#include "children.h"
#include "files.h"

extern char** environ;

namespace {

void read_streams(Child* child) {
    int fds[2] = {child->out_fd, child->err_fd};
    std::string* sinks[2] = {&child->out, &child->err};
    char buffer[65536];
    while (fds[0] >= 0 || fds[1] >= 0) {
        pollfd pfds[3] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}, {child->stop_fds[0], POLLIN, 0}};
        if (poll(pfds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (pfds[2].revents) break;  // told to stop: what is read is all there is
        for (int i = 0; i < 2; ++i) {
            if (fds[i] < 0 || pfds[i].revents == 0) continue;
            const ssize_t got = read(fds[i], buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {  // end of stream; a pty master reports EIO instead
                close(fds[i]);
                fds[i] = -1;
                continue;
            }
            const auto now = Clock::now();
            const auto lines = static_cast<std::size_t>(i == 0 ? std::count(buffer, buffer + got, '\n') : 0);
            {
                std::lock_guard<std::mutex> hold(child->lock);
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
                child->out_lines += lines;
                child->line_times.insert(child->line_times.end(), lines, now);
            }
            // Told once the lock is free: a waiter woken while it is held
            // would only sleep again on the lock.
            child->changed.notify_all();
        }
    }
    for (int fd : fds) {
        if (fd >= 0) close(fd);
    }
    std::lock_guard<std::mutex> hold(child->lock);
    child->ended = true;
    child->changed.notify_all();
}

void stop_reader(Child& child) {
    if (!child.reader.joinable()) return;
    {
        std::unique_lock<std::mutex> hold(child.lock);
        child.changed.wait_for(hold, output_after_end, [&] { return child.ended; });
    }
    const char stop = 1;
    if (write(child.stop_fds[1], &stop, 1) < 0) {
        // a full pipe has a byte in it already
    }
    child.reader.join();
    close(child.stop_fds[0]);
    close(child.stop_fds[1]);
    child.stop_fds[0] = child.stop_fds[1] = -1;
}

std::vector<std::string> child_environment(const LaunchOptions& options) {
    std::vector<std::string> env;
    // The display, the runtime and SDL's video driver are the driver's to
    // give, not the desktop's it runs on; so is whatever `extra_env` sets.
    std::vector<std::string> owned = {"DISPLAY=", "LD_LIBRARY_PATH=", "WAYLAND_DISPLAY=", "SDL_VIDEODRIVER="};
    for (const std::string& extra : options.extra_env) owned.push_back(extra.substr(0, extra.find('=') + 1));
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        if (std::any_of(owned.begin(), owned.end(), [&](const std::string& name) { return text.rfind(name, 0) == 0; })) continue;
        env.push_back(text);
    }
    if (!options.display.empty()) env.push_back("DISPLAY=" + options.display);
    if (!options.library_path.empty()) env.push_back("LD_LIBRARY_PATH=" + options.library_path);
    for (const std::string& extra : options.extra_env) env.push_back(extra);
    return env;
}

}  // namespace

namespace {

// A pseudo-terminal that passes bytes as written (no newline translation).
std::string open_raw_pty(Fd& master, Fd& slave) {
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(master.out(), slave.out(), nullptr, &raw, nullptr) != 0) return errno_text("openpty");
    fcntl(master.get(), F_SETFD, FD_CLOEXEC);
    fcntl(slave.get(), F_SETFD, FD_CLOEXEC);
    return "";
}

}  // namespace

std::string launch_child(Child& child, const std::string& binary, const LaunchOptions& options) {
    // Every descriptor has its owner until the reader thread takes the read
    // ends: a failure on the way closes what was opened.
    Fd out_read, out_write, err_read, err_write, stop_read, stop_write;
    std::string error;
    if (options.output == Output::pty) {
        error = open_raw_pty(out_read, out_write);
    } else if (options.output == Output::file) {
        out_write.reset(open(options.output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!out_write) error = errno_text(options.output_file.c_str());
    } else if (options.output == Output::pipe) {
        error = make_pipe(out_read, out_write);
    }
    if (error.empty()) error = options.errors_on_terminal ? open_raw_pty(err_read, err_write) : make_pipe(err_read, err_write);
    if (error.empty()) error = make_pipe(stop_read, stop_write);
    if (!error.empty()) return error;

    std::vector<std::string> env = child_environment(options);
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    // Built first: the child may not allocate.
    std::vector<char*> argv;
    for (const std::string& arg : options.through) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(const_cast<char*>(binary.c_str()));
    for (const std::string& arg : options.args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    // What the child does before it runs the program: system calls alone.
    struct Start {
        char* const* argv;
        char* const* envp;
        int out, err;
        bool close_out, close_in;
        static void run(void* context) {
            const Start& start = *static_cast<const Start*>(context);
            const int null = open("/dev/null", O_RDONLY);
            dup2(null, 0);
            if (start.out >= 0) dup2(start.out, 1);
            dup2(start.err, 2);
            if (start.close_out) close(1);
            if (start.close_in) close(0);
            execve(start.argv[0], start.argv, start.envp);
        }
    } start{argv.data(), envp.data(), out_write ? out_write.get() : -1, err_write.get(), options.output == Output::closed,
            options.closed_stdin};
    const pid_t pid = spawn_child(Start::run, &start);
    if (pid < 0) return errno_text("fork");
    child.pid = pid;
    child.pidfd = pidfd_of(pid);
    child.out_fd = out_read.release();
    child.err_fd = err_read.release();
    child.stop_fds[0] = stop_read.release();
    child.stop_fds[1] = stop_write.release();
    child.reader = std::thread(read_streams, &child);
    return "";
}

namespace {

void forget_process(Child& child) {
    child.pid = -1;
    if (child.pidfd >= 0) close(child.pidfd);
    child.pidfd = -1;
}

}  // namespace

Child::~Child() {
    if (pid > 0) end_child(pid, SIGTERM, milliseconds(5000));  // keymon-compare stops its server and keymon on it
    forget_process(*this);
    stop_reader(*this);
}

bool child_exited(Child& child, milliseconds limit) {
    if (child.pid <= 0) return false;
    if (child.pidfd < 0) return process_ended(child.pid, Clock::now() + limit);
    return readable(child.pidfd, Clock::now() + limit);
}

int wait_child(Child& child, milliseconds limit) {
    if (child.pid <= 0) return -1;
    const bool in_time = child_exited(child, limit);
    if (!in_time) kill(child.pid, SIGKILL);
    const int status = reap_child(child.pid, &child.processor);
    forget_process(child);
    stop_reader(child);
    if (!in_time || status < 0 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

bool wait_output(Child& child, const std::function<bool(const std::string&)>& done,
                 milliseconds limit) {
    std::unique_lock<std::mutex> hold(child.lock);
    return child.changed.wait_for(hold, limit, [&] { return done(child.out) || child.ended; }) &&
           done(child.out);
}

bool wait_lines(Child& child, std::size_t lines, milliseconds limit) {
    std::unique_lock<std::mutex> hold(child.lock);
    return child.changed.wait_for(hold, limit, [&] { return child.out_lines >= lines || child.ended; }) &&
           child.out_lines >= lines;
}

bool output_ended(Child& child) {
    std::lock_guard<std::mutex> hold(child.lock);
    return child.ended;
}

std::size_t child_lines(Child& child) {
    std::lock_guard<std::mutex> hold(child.lock);
    return child.out_lines;
}

std::vector<Clock::time_point> child_line_times(Child& child) {
    std::lock_guard<std::mutex> hold(child.lock);
    return child.line_times;
}

std::string child_output(Child& child) {
    std::lock_guard<std::mutex> hold(child.lock);
    return child.out;
}

std::string child_errors(Child& child) {
    std::lock_guard<std::mutex> hold(child.lock);
    return child.err;
}

std::size_t count_lines(const std::string& text) {
    std::size_t lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
}
