#include "targets.h"

const char* session_name(SessionKind session) { return session == SessionKind::wayland ? "wayland" : "x11"; }

std::vector<Target> session_targets(SessionKind session) {
    using enum Runtime;
    using enum WindowKind;
    if (session == SessionKind::x11) {
        return {{"classic", "classic SDL 1.2", "classic", classic, session, "Xorg", "", x11, ""},
                {"compat", "SDL2-based SDL 1.2", "SDL2-based", compat, session, "Xorg", "", x11, ""}};
    }
    return {{"classic_xwayland", "classic, Xwayland", "classic (Xwayland)", classic, session, "Xwayland", "", xwayland,
             " (classic, Xwayland)"},
            {"compat_xwayland", "SDL2-based, Xwayland", "SDL2-based (Xwayland)", compat, session, "Xwayland", "", xwayland,
             " (SDL2-based, Xwayland)"},
            {"compat_wayland", "SDL2-based, Wayland", "SDL2-based (Wayland)", compat, session, "sway", "wayland", wayland,
             " (SDL2-based, Wayland)"}};
}

std::vector<Target> targets_of(const std::vector<SessionKind>& sessions) {
    std::vector<Target> targets;
    for (SessionKind session : sessions) {
        for (Target& target : session_targets(session)) targets.push_back(std::move(target));
    }
    return targets;
}
