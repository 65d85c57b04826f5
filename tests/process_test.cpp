// The process layer and the servers on it: reads of /proc that race a
// process's end, the state a child starts in, and starts that fail leaving
// nothing behind.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "child.h"
#include "children.h"
#include "command.h"
#include "compositor.h"
#include "files.h"
#include "runtime.h"
#include "xserver.h"

namespace {

std::set<std::string> entries_of(const char* dir, const std::string& prefix = "") {
    std::set<std::string> names;
    if (DIR* d = opendir(dir)) {
        while (const dirent* entry = readdir(d)) {
            const std::string name = entry->d_name;
            if (name.rfind(prefix, 0) == 0 && name != "." && name != "..") names.insert(name);
        }
        closedir(d);
    }
    return names;
}

// A read that fails after its open succeeded, as a read of /proc/PID/stat
// does once PID has ended (ESRCH), is a failed read, not an exception: a
// folder fails the same way (EISDIR), every time.
TEST(ProcReads, AReadThatFailsAfterTheOpenIsNoException) {
    std::string text = "left over";
    EXPECT_FALSE(read_file("/tmp", text));
    EXPECT_EQ(text, "");
    EXPECT_FALSE(read_file("/proc/0/stat", text));
    EXPECT_TRUE(read_file("/proc/self/stat", text));
    EXPECT_NE(text.find(") "), std::string::npos);
}

// Processes that end while their group and their mapped library are looked
// up: each answer is the truth of one moment, and nothing throws.
TEST(ProcReads, LookUpsRacingTheEndOfTheProcess) {
    for (int round = 0; round < 300; ++round) {
        const pid_t pid = fork_child();
        ASSERT_GE(pid, 0);
        if (pid == 0) _exit(0);
        for (int look = 0; look < 20; ++look) {
            const pid_t group = process_group_of(pid);
            ASSERT_TRUE(group == pid || group == -1) << group;
            EXPECT_EQ(mapped_sdl_library(pid), "");
        }
        ASSERT_GE(reap_child(pid), 0);
        EXPECT_EQ(process_group_of(pid), -1) << "a reaped process has no group";
    }
}

// A child starts in its own group, with no signal blocked, SIGPIPE not
// ignored though this process ignores it, and no handler of this process's,
// whether this thread blocks signals or not; and it ends with 127 when its
// program cannot run. Seen by a program it runs, from /proc.
TEST(ChildStart, AChildRunsInItsOwnGroupWithSignalsAsANewProgramHasThem) {
    struct sigaction caught {}, ignored {}, kept_usr1 {}, kept_pipe {};
    caught.sa_handler = [](int) {};
    ignored.sa_handler = SIG_IGN;
    sigaction(SIGUSR1, &caught, &kept_usr1);
    sigaction(SIGPIPE, &ignored, &kept_pipe);
    sigset_t blocked, before;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR2);
    // The program's group (the fifth field of its stat) and the masks it
    // inherited, by a program that changes neither.
    const std::vector<std::string> shown = {"/bin/cat", "/proc/self/stat", "/proc/self/status"};
    const auto group_and_masks = [](const std::string& out) {
        std::string seen;
        std::size_t at = out.find(") ");
        for (int field = 0; field < 3 && at != std::string::npos; ++field) at = out.find(' ', at + 1);
        if (at != std::string::npos) seen = out.substr(at + 1, out.find(' ', at + 1) - at - 1);
        for (const char* mask : {"SigBlk:", "SigIgn:"}) {
            const std::size_t line = out.find(mask);
            if (line != std::string::npos) seen += " " + out.substr(line, out.find('\n', line) - line);
        }
        return seen;
    };
    for (const bool block : {false, true}) {
        pthread_sigmask(block ? SIG_BLOCK : SIG_UNBLOCK, &blocked, &before);
        // What this process ignores is inherited (a shell leaves SIGINT
        // ignored for a background job), but for SIGPIPE.
        unsigned long long ignore = 0;
        for (int signal = 1; signal <= 64; ++signal) {
            struct sigaction now {};
            if (signal != SIGPIPE && sigaction(signal, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) ignore |= 1ULL << (signal - 1);
        }
        char masks[64];
        std::snprintf(masks, sizeof masks, " SigBlk:\t0000000000000000 SigIgn:\t%016llx", ignore);
        Child child;
        LaunchOptions options;
        options.output = Output::pipe;
        options.args = {shown.begin() + 1, shown.end()};
        ASSERT_EQ(launch_child(child, shown[0], options), "");
        const pid_t pid = child.pid;
        ASSERT_EQ(wait_child(child), 0);
        EXPECT_EQ(group_and_masks(child.out), std::to_string(pid) + masks) << "blocked in the parent: " << block;
        std::string printed;
        EXPECT_EQ(run_command(shown, printed, milliseconds(10000)), 0);
        const std::string seen = group_and_masks(printed);
        EXPECT_EQ(seen.substr(seen.find(' ')), masks) << "blocked in the parent: " << block;
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
    }
    sigaction(SIGUSR1, &kept_usr1, nullptr);
    sigaction(SIGPIPE, &kept_pipe, nullptr);

    Child missing;
    ASSERT_EQ(launch_child(missing, "/nonexistent/program", LaunchOptions{}), "");
    EXPECT_EQ(wait_child(missing), 127);
    std::string printed;
    EXPECT_EQ(run_command({"/nonexistent/program"}, printed, milliseconds(10000)), 127);
}

// Leaves this process exactly `free` descriptors to open until it goes:
// every free number below the highest in use is filled first.
class DescriptorLimit {
public:
    explicit DescriptorLimit(int free) {
        int highest = 2;
        for (const std::string& name : entries_of("/proc/self/fd")) highest = std::max(highest, std::stoi(name));
        for (;;) {
            Fd fd(dup(0));
            if (fd.get() > highest || !fd) break;
            fillers_.push_back(std::move(fd));
        }
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit tight = saved_;
        tight.rlim_cur = static_cast<rlim_t>(highest + 1 + free);
        setrlimit(RLIMIT_NOFILE, &tight);
    }
    DescriptorLimit(const DescriptorLimit&) = delete;
    DescriptorLimit& operator=(const DescriptorLimit&) = delete;
    ~DescriptorLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }

private:
    std::vector<Fd> fillers_;
    rlimit saved_{};
};

// A server that does not come up (in time, or for want of descriptors once
// its folder is made) is stopped, its private folder removed: Xorg, and
// sway with its Xwayland.
TEST(FailedStarts, AServerThatDoesNotStartLeavesNothing) {
    const std::set<std::string> before = entries_of("/tmp", "keymon-");
    {
        XServer server;
        EXPECT_NE(start_xserver(server, ServerKind::xorg, milliseconds(0)), "");
        EXPECT_EQ(server.pid, -1);
        EXPECT_TRUE(server.dir.empty());
    }
    {  // the configuration is written; no pipe is left for the display number
        const int free = 1;
        XServer server;
        std::string error;
        {
            const DescriptorLimit limit(free);
            error = start_xserver(server, ServerKind::xorg);
        }
        EXPECT_NE(error, "");
        EXPECT_EQ(server.pid, -1);
        EXPECT_TRUE(server.dir.empty());
    }
    {
        Compositor compositor;
        EXPECT_NE(start_compositor(compositor, "", milliseconds(0)), "");
        EXPECT_EQ(compositor.pid, -1);
        EXPECT_TRUE(compositor.dir.empty());
    }
    EXPECT_EQ(entries_of("/tmp", "keymon-"), before) << "a private folder was left behind";
}

// A child that cannot be started for want of descriptors leaves none of
// the ones it had opened.
TEST(FailedStarts, ALaunchThatFailsHalfWayClosesWhatItOpened) {
    for (const Output output : {Output::pipe, Output::pty}) {
        const std::size_t open_before = entries_of("/proc/self/fd").size();
        Child child;
        std::string error;
        {
            // Room for the output's two descriptors and one more: the error pipe fails.
            const DescriptorLimit limit(3);
            LaunchOptions options;
            options.output = output;
            error = launch_child(child, "/bin/true", options);
        }
        EXPECT_NE(error, "");
        EXPECT_EQ(child.pid, -1);
        EXPECT_EQ(entries_of("/proc/self/fd").size(), open_before) << error;
    }
}

}  // namespace
