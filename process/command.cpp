#include "command.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "children.h"
#include "files.h"

int run_command(const std::vector<std::string>& argv, std::string& printed, milliseconds limit) {
    std::vector<char*> args;  // built first: the child may not allocate
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    Fd read_end, write_end;
    if (!make_pipe(read_end, write_end).empty()) return -1;
    struct Start {
        char* const* args;
        int out;
        static void run(void* context) {
            const Start& start = *static_cast<const Start*>(context);
            dup2(start.out, 1);
            dup2(start.out, 2);
            execvp(start.args[0], start.args);
        }
    } start{args.data(), write_end.get()};
    const pid_t pid = spawn_child(Start::run, &start);
    if (pid < 0) return -1;
    write_end.reset();
    const auto deadline = Clock::now() + limit;
    char buffer[4096];
    for (;;) {
        if (!readable(read_end.get(), deadline)) break;
        const ssize_t got = read(read_end.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        printed.append(buffer, static_cast<std::size_t>(got));
    }
    if (!process_ended(pid, deadline)) kill(pid, SIGKILL);
    const int status = reap_child(pid);
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
