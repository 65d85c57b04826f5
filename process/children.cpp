#include "children.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>

#include "files.h"

namespace {

// A driver runs a handful of children at a time (a server, a monitor, a
// command); the lists are fixed arrays of atomics so a signal thread can
// walk them while the main thread changes them.
constexpr int child_slots = 32;
std::atomic<pid_t> child_groups[child_slots];

constexpr int path_slots = 8;
constexpr std::size_t path_size = 256;
enum PathSlot : int { free_slot, writing, listed };
std::atomic<int> path_states[path_slots];
char paths[path_slots][path_size];

// Set once end_all_children has begun: what is listed after that moment is
// ended by the one who lists it, since the sweep may have passed its slot.
std::atomic<bool> ending{false};

[[noreturn]] void wait_for_the_end() {
    for (;;) pause();
}

void list_child(pid_t pid) {
    for (std::atomic<pid_t>& slot : child_groups) {
        pid_t empty = 0;
        if (slot.compare_exchange_strong(empty, pid)) return;
    }
    // Every slot taken: the child still dies with this process (its death
    // signal), it only escapes end_all_children's SIGTERM.
}

void unlist_child(pid_t pid) {
    for (std::atomic<pid_t>& slot : child_groups) {
        pid_t listed_pid = pid;
        if (slot.compare_exchange_strong(listed_pid, 0)) return;
    }
}

int ms_left(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

int reap(pid_t pid, double* processor = nullptr) {
    unlist_child(pid);
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) return -1;
    }
    if (processor) {
        *processor = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    return status;
}

std::atomic<LeftoverSweep> leftover_sweep{nullptr};

void sweep_leftovers(pid_t pid) {
    if (const LeftoverSweep sweep = leftover_sweep.load()) sweep(pid);
}

// Reaps what is left of a killed group that is ours to reap (orphans this
// process adopted), until none is or the deadline passes.
void reap_group(pid_t group, Clock::time_point deadline) {
    for (;;) {
        const pid_t reaped = waitpid(-group, nullptr, WNOHANG);
        if (reaped > 0 || (reaped < 0 && errno == EINTR)) continue;
        if (reaped < 0 || Clock::now() >= deadline) return;
        poll(nullptr, 0, 2);
    }
}

}  // namespace

int pidfd_of(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

bool readable(int fd, Clock::time_point deadline) {
    for (;;) {
        pollfd pfd{fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, ms_left(deadline));
        if (ready > 0) return true;
        if (ready == 0 || errno != EINTR) return false;
    }
}

bool process_ended(pid_t pid, Clock::time_point deadline) {
    const int pidfd = pidfd_of(pid);
    const bool ended = pidfd >= 0 && readable(pidfd, deadline);
    if (pidfd >= 0) close(pidfd);
    return ended;
}

pid_t process_group_of(pid_t pid) {
    std::string text;
    if (!read_file("/proc/" + std::to_string(pid) + "/stat", text)) return -1;
    const std::size_t close = text.rfind(')');  // the command name may hold blanks
    char state = 0;
    long parent = 0, group = -1;
    if (close == std::string::npos || std::sscanf(text.c_str() + close + 1, " %c %ld %ld", &state, &parent, &group) != 3) {
        return -1;
    }
    return static_cast<pid_t>(group);
}

void set_leftover_sweep(LeftoverSweep sweep) { leftover_sweep.store(sweep); }

pid_t fork_child() {
    const pid_t parent = getpid();
    // The child goes on only once it is listed: a program it execs could
    // otherwise be running, and be seen, before an interrupt's sweep can
    // find it.
    int listed[2];
    if (pipe2(listed, O_CLOEXEC) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(listed[1]);
        setpgid(0, 0);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction pipe_default {};
        pipe_default.sa_handler = SIG_DFL;
        sigaction(SIGPIPE, &pipe_default, nullptr);
        // A driver killed outright takes its servers and monitors with it
        // rather than leaving them running (a never-sleeping loop takes a
        // core). Had it died before this line, the parent is already gone.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        char go = 0;
        ssize_t got;
        while ((got = read(listed[0], &go, 1)) < 0 && errno == EINTR) {
        }
        close(listed[0]);
        if (got != 1) _exit(127);  // the parent is gone before it listed this one
        return 0;
    }
    close(listed[0]);
    if (pid > 0) {
        setpgid(pid, pid);  // done on both sides, so neither waits on the other
        list_child(pid);
        if (ending) {
            kill(-pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            wait_for_the_end();
        }
        const char go = 1;
        if (write(listed[1], &go, 1) != 1) {
            // the child is gone already: its end is reaped as any other
        }
    }
    close(listed[1]);
    return pid;
}

int end_child(pid_t pid, int signal, milliseconds limit) {
    kill(-pid, signal);
    const bool ended = process_ended(pid, Clock::now() + limit);
    if (!ended) kill(pid, SIGKILL);
    const int status = reap_child(pid);
    if (!ended) sweep_leftovers(pid);
    return status;
}

int reap_child(pid_t pid, double* processor) {
    // The ended leader, not yet reaped, still holds the group's number, so
    // this reaches only what it left behind.
    kill(-pid, SIGKILL);
    const int status = reap(pid, processor);
    reap_group(pid, Clock::now() + milliseconds(1000));
    return status;
}

void adopt_orphans() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

void list_private_path(const char* path) {
    if (std::strlen(path) >= path_size) return;
    for (int i = 0; i < path_slots; ++i) {
        int expected = free_slot;
        if (!path_states[i].compare_exchange_strong(expected, writing)) continue;
        std::strcpy(paths[i], path);
        path_states[i].store(listed);
        if (ending) {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
            wait_for_the_end();
        }
        return;
    }
}

void unlist_private_path(const char* path) {
    for (int i = 0; i < path_slots; ++i) {
        if (path_states[i].load() == listed && std::strcmp(paths[i], path) == 0) {
            path_states[i].store(free_slot);
            return;
        }
    }
}

void end_all_children(milliseconds limit) {
    ending = true;
    pid_t groups[child_slots];
    for (int i = 0; i < child_slots; ++i) {
        groups[i] = child_groups[i].load();
        if (groups[i] > 0) kill(-groups[i], SIGTERM);
    }
    // SIGTERM first: an X server then removes its socket and lock file.
    const auto deadline = Clock::now() + limit;
    for (pid_t group : groups) {
        if (group > 0) process_ended(group, deadline);
    }
    for (pid_t group : groups) {
        if (group > 0) kill(-group, SIGKILL);
    }
    // Reaped here, so that none is left a zombie for an init that may be
    // slow to take it; the main thread's own wait for one then just fails.
    const auto killed = Clock::now() + milliseconds(300);
    for (pid_t group : groups) {
        if (group > 0) reap_group(group, killed);
    }
    for (pid_t group : groups) {
        if (group > 0) sweep_leftovers(group);
    }
    // Another thread may still be writing into a folder until it next starts
    // a child or lists a path (and stops there): remove until it is gone.
    const auto removed = Clock::now() + milliseconds(200);
    for (int i = 0; i < path_slots; ++i) {
        if (path_states[i].load() != listed) continue;
        for (;;) {
            std::error_code ignored;
            std::filesystem::remove_all(paths[i], ignored);
            if (!std::filesystem::exists(paths[i], ignored) || Clock::now() >= removed) break;
            poll(nullptr, 0, 5);
        }
    }
}

std::string PrivateDir::make(const char* prefix, const std::string& parent) {
    remove();
    std::string templ = parent + "/" + prefix + ".XXXXXX";
    if (!mkdtemp(templ.data())) return errno_text("mkdtemp");
    list_private_path(templ.c_str());
    path_ = templ;
    return "";
}

std::string PrivateDir::release() {
    unlist_private_path(path_.c_str());
    return std::exchange(path_, "");
}

void PrivateDir::remove() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    unlist_private_path(path_.c_str());
    path_.clear();
}
