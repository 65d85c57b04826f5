#include "compositor.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "children.h"
#include "display_files.h"
#include "files.h"

namespace {

// The user a root caller's compositor runs as.
void unprivileged_user(uid_t& uid, gid_t& gid) {
    const passwd* nobody = getpwnam("nobody");
    uid = nobody ? nobody->pw_uid : 65534;
    gid = nobody ? nobody->pw_gid : 65534;
}

// The last lines of sway's log that say why it stopped.
std::string sway_failure(const std::string& log) {
    std::string text, found;
    if (!read_file(log, text)) return found;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        if (line.find("[ERROR]") != std::string::npos && line.find("drm") == std::string::npos &&
            line.find("DRM") == std::string::npos) {
            found = line.substr(line.find("[ERROR]") + 8);
        }
        start = end + 1;
    }
    return found;
}

}  // namespace

std::string start_compositor(Compositor& compositor, const std::string& keymap, milliseconds limit) {
    const std::string sway = find_program("sway");
    if (sway.empty()) return "sway is not installed (Debian package sway)";
    if (find_program("Xwayland").empty()) return "Xwayland is not installed (Debian package xwayland)";
    const bool root = geteuid() == 0;
    if (root && find_program("xhost").empty()) return "xhost is not installed (Debian package x11-xserver-utils)";

    // Xwayland killed with it leaves its lock file and socket: they go too.
    set_leftover_sweep(remove_x_display_files);
    if (std::string error = compositor.dir.make("keymon-sway"); !error.empty()) return error;
    const char* dir = compositor.dir.path().c_str();
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (root) {
        unprivileged_user(uid, gid);
        if (chown(dir, uid, gid) != 0) {
            stop_compositor(compositor);
            return std::string("chown: ") + std::strerror(errno);
        }
    }
    compositor.uid = uid;
    // Xwayland's socket goes where every X server's does; a machine that has
    // run none has no such folder, and an unprivileged sway cannot make it.
    mkdir("/tmp/.X11-unix", 01777);

    // Once sway runs, its first command writes where it can be reached;
    // for a root caller it first lets root into Xwayland (which that starts).
    const std::string env = compositor.dir.path() + "/env", config = compositor.dir.path() + "/config",
                      script = compositor.dir.path() + "/started.sh";
    const std::string xkb_file = compositor.dir.path() + "/keymap.xkb";
    const std::string started = std::string(root ? "xhost +si:localuser:root >/dev/null || exit 1\n" : "") +
                                "printf '%s\\n' \"$WAYLAND_DISPLAY\" \"$SWAYSOCK\" \"$DISPLAY\" > " + env + ".part && mv " +
                                env + ".part " + env + "\n";
    const std::string configuration = "xwayland enable\n" + (keymap.empty() ? "" : "input * xkb_file " + xkb_file + "\n") +
                                      "exec sh " + script + "\n";
    // Readable by the user sway runs as.
    std::string error = write_file(script, started, 0644);
    if (error.empty() && !keymap.empty()) error = write_file(xkb_file, keymap, 0644);
    if (error.empty()) error = write_file(config, configuration, 0644);
    if (!error.empty()) {
        stop_compositor(compositor);
        return error;
    }

    const std::vector<std::string> env_entries = {"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=" + compositor.dir.path(),
                                                  "XDG_RUNTIME_DIR=" + compositor.dir.path(), "WLR_BACKENDS=headless",
                                                  "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman"};
    std::vector<char*> envp;
    for (const std::string& entry : env_entries) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    const std::string log = compositor.dir.path() + "/sway.log";
    const pid_t pid = fork_child();
    if (pid < 0) {
        stop_compositor(compositor);
        return std::string("fork: ") + std::strerror(errno);
    }
    if (pid == 0) {
        const int null = open("/dev/null", O_RDONLY);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(null, 0);
        dup2(out, 1);
        dup2(out, 2);
        if (root) {
            if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0) _exit(126);
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // a change of user cleared it
        }
        execle(sway.c_str(), "sway", "-c", config.c_str(), static_cast<char*>(nullptr), envp.data());
        _exit(127);
    }
    compositor.pid = pid;

    // sway announces nothing to a process it did not start: look for the
    // file its first command writes every few milliseconds.
    const auto deadline = Clock::now() + limit;
    while (!std::filesystem::exists(env)) {
        if (process_ended(pid, Clock::now() + milliseconds(5))) {
            const std::string why = sway_failure(log);
            stop_compositor(compositor);
            return "sway did not start" + (why.empty() ? "" : " (" + why + ")");
        }
        if (Clock::now() >= deadline) {
            stop_compositor(compositor);
            return "sway did not answer in time";
        }
    }
    std::string written;
    if (!read_file(env, written)) {
        stop_compositor(compositor);
        return "sway's start-up file cannot be read";
    }
    std::istringstream lines(written);
    std::getline(lines, compositor.wayland_display);
    std::getline(lines, compositor.ipc_socket);
    std::getline(lines, compositor.x_display);
    if (compositor.wayland_display.empty() || compositor.ipc_socket.empty() || compositor.x_display.empty()) {
        stop_compositor(compositor);
        return "sway started without a Wayland display, its IPC socket or Xwayland";
    }
    return "";
}

void stop_compositor(Compositor& compositor) {
    // SIGTERM first: sway stops Xwayland, which removes its socket and lock file.
    if (compositor.pid > 0) end_child(compositor.pid, SIGTERM, milliseconds(10000));
    compositor.pid = -1;
    compositor.dir.remove();
}

Compositor::~Compositor() { stop_compositor(*this); }

std::vector<std::string> compositor_environment(const Compositor& compositor) {
    return {"XDG_RUNTIME_DIR=" + compositor.dir.path(), "WAYLAND_DISPLAY=" + compositor.wayland_display};
}
