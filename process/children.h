// The processes a driver starts, and the private folders it makes, kept
// where any thread can end and remove them without a lock.
//
// Every child leads a process group of its own: a terminal's Ctrl-C then
// reaches the driving program alone, and whatever a child starts in turn
// (keymon under a wrapper script) ends with it. A child is listed from
// before it runs until it is reaped, a folder from its making until its
// removal, so a signal thread can clean up whatever the main thread holds.
#pragma once

#include <sys/types.h>

#include <string>

#include "clock.h"

// fork(), with the child made the leader of a new process group and listed
// before it goes on (so an interrupt's sweep finds whatever it runs). In the
// child: no blocked signals, SIGPIPE back to its default, and killed if this
// process dies. Returns fork's result.
pid_t fork_child();
// What a child started by spawn_child runs: in the new process, on a stack
// of its own but in this process's memory until it execs, so it may make
// system calls and nothing else (no allocation, no lock). It returns only
// if it could not exec (the child then ends with status 127).
using ChildStart = void (*)(void* context);
// As fork_child, then `start(context)` in the child; nothing of this
// process is copied for it. Returns the child's pid, or -1 (errno set).
pid_t spawn_child(ChildStart start, void* context);
// Sends `signal` to the child's group, waits at most `limit` for the child
// to end, kills what is left of its group, and reaps it. Returns its wait
// status, or -1 if it could not be reaped.
int end_child(pid_t pid, int signal, milliseconds limit);
// Once the child has ended by itself: kills what is left of its group,
// takes it off the list and reaps it, and what is left of the group where
// that is ours to reap (adopt_orphans), at most a second. Returns its wait
// status, or -1. `processor`, if given, gets the processor time the child
// used (user and system), in seconds.
int reap_child(pid_t pid, double* processor = nullptr);

// Makes this process the reaper of what its children leave behind (the
// keymon a wrapper script started), so that ending a child's group also
// waits for that, and nothing is left for init to take.
void adopt_orphans();

// Waits until `fd` is readable or the deadline passes.
bool readable(int fd, Clock::time_point deadline);
// True once process `pid` (a child, not yet reaped) has ended, false if it
// has not by the deadline.
bool process_ended(pid_t pid, Clock::time_point deadline);
// A descriptor readable once `pid` has ended (close-on-exec), or -1.
int pidfd_of(pid_t pid);
// The process group of `pid`, or -1 when there is no such process (it may
// end while it is looked up: that is no error).
pid_t process_group_of(pid_t pid);

// Called with the pid of each child that had to be killed, once it is
// reaped, to remove what it could not (an X server's lock file and
// socket). One function for the whole process; a driver that starts such
// servers sets it.
using LeftoverSweep = void (*)(pid_t killed);
void set_leftover_sweep(LeftoverSweep sweep);

// A folder (or file) to remove should the run be cut short.
void list_private_path(const char* path);
void unlist_private_path(const char* path);

// For a run cut short, from any thread: SIGTERM to every listed group, at
// most `limit` for them to end, SIGKILL to what is left, each child reaped;
// then every listed path removed. Takes no lock. From then on the process is
// ending: a thread that starts a child or lists a path afterwards ends that
// itself and waits for the process to end.
void end_all_children(milliseconds limit);

// A folder of its own under /tmp, removed with all it holds when its owner
// ends, and listed meanwhile so that a run cut short removes it too.
class PrivateDir {
public:
    PrivateDir() = default;
    PrivateDir(const PrivateDir&) = delete;
    PrivateDir& operator=(const PrivateDir&) = delete;
    ~PrivateDir() { remove(); }

    // Makes PARENT/PREFIX.XXXXXX. "" or what went wrong.
    [[nodiscard]] std::string make(const char* prefix, const std::string& parent = "/tmp");
    // Gives the folder up: it stays, and is no longer removed.
    std::string release();
    void remove();
    const std::string& path() const { return path_; }
    bool empty() const { return path_.empty(); }

private:
    std::string path_;
};
