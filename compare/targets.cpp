#include "targets.h"

const char* session_name(SessionKind session) { return session == SessionKind::wayland ? "wayland" : "x11"; }

namespace {

// classic and compat keep the names they have always had; any other
// runtime is called by its own.
std::string heading(const Runtime& runtime) {
    if (runtime.name == "classic") return "classic SDL 1.2";
    if (runtime.name == "compat") return "SDL2-based SDL 1.2";
    return runtime.name;
}

std::string short_name(const Runtime& runtime) {
    if (runtime.name == "classic") return "classic";
    if (runtime.name == "compat") return "SDL2-based";
    return runtime.name;
}

}  // namespace

std::vector<Target> session_targets(SessionKind session, const std::vector<Runtime>& runtimes) {
    std::vector<Target> targets;
    if (session == SessionKind::x11) {
        for (const Runtime& runtime : runtimes) {
            targets.push_back({runtime.name, heading(runtime), short_name(runtime), runtime, session, "Xorg", "", WindowKind::x11, ""});
        }
        return targets;
    }
    for (const Runtime& runtime : runtimes) {
        const std::string name = short_name(runtime) + ", Xwayland";
        targets.push_back({runtime.name + "_xwayland", name, short_name(runtime) + " (Xwayland)", runtime, session, "Xwayland", "",
                           WindowKind::xwayland, " (" + name + ")"});
    }
    for (const Runtime& runtime : runtimes) {
        if (runtime.identity.kind != RuntimeKind::sdl2_based) continue;  // classic has no Wayland backend
        const std::string name = short_name(runtime) + ", Wayland";
        targets.push_back({runtime.name + "_wayland", name, short_name(runtime) + " (Wayland)", runtime, session, "sway", "wayland",
                           WindowKind::wayland, " (" + name + ")"});
    }
    return targets;
}

std::vector<Target> targets_of(const std::vector<SessionKind>& sessions, const std::vector<Runtime>& runtimes) {
    std::vector<Target> targets;
    for (SessionKind session : sessions) {
        for (Target& target : session_targets(session, runtimes)) targets.push_back(std::move(target));
    }
    return targets;
}

std::vector<Runtime> named_system_runtimes() {
    Runtime classic, compat;
    classic.name = "classic";
    compat.name = "compat";
    compat.identity.kind = RuntimeKind::sdl2_based;
    return {classic, compat};
}
