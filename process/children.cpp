#include "children.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sched.h>
#include <sys/mman.h>
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

namespace {

// A new child's own settings, before it runs anything of its caller's: the
// leader of a new group, no blocked signals, SIGPIPE at its default, and
// killed if `parent` dies. False when `parent` is gone already.
bool settle_child(pid_t parent) {
    setpgid(0, 0);
    struct sigaction by_default {};
    by_default.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &by_default, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // A driver killed outright takes its servers and monitors with it
    // rather than leaving them running (a never-sleeping loop takes a
    // core). Had it died before this line, the parent is already gone.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    return getppid() == parent;
}

}  // namespace

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
        if (!settle_child(parent)) _exit(127);
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

#if defined(__SANITIZE_ADDRESS__)
#define KEYMON_SHADOWED_MEMORY 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KEYMON_SHADOWED_MEMORY 1
#endif
#endif

#ifndef KEYMON_SHADOWED_MEMORY
namespace {

struct Spawn {
    pid_t parent;
    ChildStart start;
    void* context;
};

// The spawned child, in its parent's memory: it lists itself there (the
// parent's thread waits until it has exec'd or ended), and any handler of
// its parent's goes before a signal could run it here.
int run_spawned(void* argument) {
    const Spawn& spawn = *static_cast<const Spawn*>(argument);
    for (int signal = 1; signal < NSIG; ++signal) {
        struct sigaction action {};
        if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN) {
            action.sa_handler = SIG_DFL;
            action.sa_flags = 0;
            sigaction(signal, &action, nullptr);
        }
    }
    if (!settle_child(spawn.parent)) _exit(127);
    list_child(static_cast<pid_t>(syscall(SYS_getpid)));
    if (ending) _exit(127);  // the sweep may have passed this slot already
    spawn.start(spawn.context);
    _exit(127);
}

}  // namespace
#endif

pid_t spawn_child(ChildStart start, void* context) {
#ifdef KEYMON_SHADOWED_MEMORY
    // The address sanitizer's shadow of the borrowed memory would outlive
    // the child: a plain fork there.
    const pid_t pid = fork_child();
    if (pid == 0) {
        start(context);
        _exit(127);
    }
    return pid;
#else
    // fork() would copy this process's page tables, and every page the
    // parent's threads then write would fault once: for a driver that
    // starts hundreds of children, the larger part of its own time. The
    // child borrows the memory instead, on a stack of its own, while the
    // thread that made it waits for its exec.
    constexpr std::size_t stack_size = 256 * 1024;
    void* stack = mmap(nullptr, stack_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stack == MAP_FAILED) return -1;
    Spawn spawn{getpid(), start, context};
    // No handler of this process may run on the child's side before it has
    // set them back to their defaults.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    const pid_t pid = clone(run_spawned, static_cast<char*>(stack) + stack_size, CLONE_VM | CLONE_VFORK | SIGCHLD, &spawn);
    const int clone_error = errno;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    munmap(stack, stack_size);
    if (pid < 0) {
        errno = clone_error;
        return -1;
    }
    // The child has made its group and listed itself by now: this thread
    // went on only once it had exec'd or ended.
    if (ending) {
        kill(-pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        wait_for_the_end();
    }
    return pid;
#endif
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
