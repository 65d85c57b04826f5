// Descriptors, files and private folders, each with one owner that releases
// it on every path; reads that never throw.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>

// A file descriptor closed by its owner.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int* out() {  // for a call that fills in a descriptor
        reset();
        return &fd_;
    }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// A pipe's two ends, each closed on exec. "" or what went wrong.
[[nodiscard]] std::string make_pipe(Fd& read_end, Fd& write_end);

// The whole of a small file (such as one in /proc), read with plain
// read(2): false when it cannot be opened or read, as when the process it
// describes has just ended. Never throws.
[[nodiscard]] bool read_file(const std::string& path, std::string& text);
// The system call a process's main thread is blocked in, as
// /proc/PID/syscall gives it: its number and its six arguments.
struct BlockedCall {
    long number = -1;
    unsigned long args[6] = {};
};
// False when the thread is running, has ended, or cannot be read (another
// user's process). Never throws.
[[nodiscard]] bool blocked_call(pid_t pid, BlockedCall& call);
// The same, from /proc/PID/syscall held open (`open_blocked_call`): each look
// is one read, and the descriptor stays with that process, never with
// another that takes its number later.
[[nodiscard]] Fd open_blocked_call(pid_t pid);
[[nodiscard]] bool blocked_call(const Fd& syscall_file, BlockedCall& call);
// Writes `text` to `path` (created or truncated, with `mode`). "" or why not.
[[nodiscard]] std::string write_file(const std::string& path, const std::string& text, unsigned mode = 0644);

// "what: strerror(errno)".
std::string errno_text(const char* what);

// The program file `name` runs as from PATH, or "" when there is none.
std::string find_program(const std::string& name);
