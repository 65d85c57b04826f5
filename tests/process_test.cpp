// The process layer and the servers on it: reads of /proc that race a
// process's end, and starts that fail leaving nothing behind.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>

#include "child.h"
#include "children.h"
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
