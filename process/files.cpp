#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>


void Fd::reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
}

std::string make_pipe(Fd& read_end, Fd& write_end) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return errno_text("pipe2");
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
    return "";
}

Fd open_blocked_call(pid_t pid) {
    return Fd(open(("/proc/" + std::to_string(pid) + "/syscall").c_str(), O_RDONLY | O_CLOEXEC));
}

bool blocked_call(const Fd& syscall_file, BlockedCall& call) {
    if (!syscall_file) return false;
    // Read from the start each time: the text is made afresh for each read.
    char text[256];
    ssize_t got;
    while ((got = pread(syscall_file.get(), text, sizeof text - 1, 0)) < 0 && errno == EINTR) {
    }
    if (got <= 0) return false;  // ESRCH: the process has ended
    text[got] = '\0';
    // "running", "-1 SP PC" (blocked, not in a call), or the number and
    // six arguments in hexadecimal, then the stack and instruction pointers.
    BlockedCall read;
    unsigned long* a = read.args;
    if (std::sscanf(text, "%ld %lx %lx %lx %lx %lx %lx", &read.number, &a[0], &a[1], &a[2], &a[3], &a[4], &a[5]) != 7 ||
        read.number < 0) {
        return false;
    }
    call = read;
    return true;
}

bool blocked_call(pid_t pid, BlockedCall& call) { return blocked_call(open_blocked_call(pid), call); }

bool read_file(const std::string& path, std::string& text) {
    text.clear();
    const Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;  // ESRCH: the process has just ended
        if (got == 0) return true;
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

std::string write_file(const std::string& path, const std::string& text, unsigned mode) {
    const Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (!fd) return errno_text(path.c_str());
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t put = write(fd.get(), text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return errno_text(path.c_str());
        done += static_cast<std::size_t>(put);
    }
    // The mode asked for, whatever the umask took away.
    if (fchmod(fd.get(), mode) != 0) return errno_text(path.c_str());
    return "";
}

std::string errno_text(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

std::string find_program(const std::string& name) {
    const char* path = std::getenv("PATH");
    const std::string dirs = path ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= dirs.size();) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string candidate = (end > start ? dirs.substr(start, end - start) : ".") + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}
