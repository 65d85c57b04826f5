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
#include <fstream>
#include <sstream>

#include "children.h"
#include "monitor.h"

namespace {

// The user a root caller's compositor runs as.
void unprivileged_user(uid_t& uid, gid_t& gid) {
    const passwd* nobody = getpwnam("nobody");
    uid = nobody ? nobody->pw_uid : 65534;
    gid = nobody ? nobody->pw_gid : 65534;
}

std::string read_file(const std::string& path) {
    std::ifstream file(path);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// The last lines of sway's log that say why it stopped.
std::string sway_failure(const std::string& log) {
    std::string found, line;
    std::ifstream file(log);
    while (std::getline(file, line)) {
        if (line.find("[ERROR]") != std::string::npos && line.find("drm") == std::string::npos &&
            line.find("DRM") == std::string::npos) {
            found = line.substr(line.find("[ERROR]") + 8);
        }
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

    char dir[] = "/tmp/keymon-sway.XXXXXX";
    if (!mkdtemp(dir)) return std::string("mkdtemp: ") + std::strerror(errno);
    list_private_path(dir);
    compositor.dir = dir;
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
    const std::string env = compositor.dir + "/env", config = compositor.dir + "/config",
                      script = compositor.dir + "/started.sh";
    {
        std::ofstream out(script);
        if (root) out << "xhost +si:localuser:root >/dev/null || exit 1\n";
        out << "printf '%s\\n' \"$WAYLAND_DISPLAY\" \"$SWAYSOCK\" \"$DISPLAY\" > " << env << ".part && mv " << env
            << ".part " << env << "\n";
    }
    const std::string xkb_file = compositor.dir + "/keymap.xkb";
    if (!keymap.empty()) {
        std::ofstream(xkb_file) << keymap;
        chmod(xkb_file.c_str(), 0644);
    }
    {
        std::ofstream out(config);
        out << "xwayland enable\n";
        if (!keymap.empty()) out << "input * xkb_file " << xkb_file << "\n";
        out << "exec sh " << script << "\n";
    }
    chmod(script.c_str(), 0644);
    chmod(config.c_str(), 0644);

    const std::vector<std::string> env_entries = {"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=" + compositor.dir,
                                                  "XDG_RUNTIME_DIR=" + compositor.dir, "WLR_BACKENDS=headless",
                                                  "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman"};
    std::vector<char*> envp;
    for (const std::string& entry : env_entries) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    const std::string log = compositor.dir + "/sway.log";
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
    std::istringstream lines(read_file(env));
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
    if (!compositor.dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(compositor.dir, ignored);
        unlist_private_path(compositor.dir.c_str());
        compositor.dir.clear();
    }
}

std::vector<std::string> compositor_environment(const Compositor& compositor) {
    return {"XDG_RUNTIME_DIR=" + compositor.dir, "WAYLAND_DISPLAY=" + compositor.wayland_display};
}
