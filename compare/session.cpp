#include "session.h"

#include <algorithm>
#include <cstdio>

std::string open_session(SessionServer& server) {
    const PhaseTimer timed{Phase::server_start};
    if (server.session == Session::x11) {
        if (const std::string error = start_xserver(server.x, ServerKind::xorg); !error.empty()) {
            return "no X server could start: " + error;
        }
        return "";
    }
    if (const std::string error = start_compositor(server.compositor, server.keymap); !error.empty()) {
        return "no Wayland compositor could start: " + error;
    }
    const std::string error =
        connect_virtual_keyboard(server.keyboard, server.compositor.dir, server.compositor.wayland_display);
    if (!error.empty()) close_session(server);
    return error;
}

void close_session(SessionServer& server) {
    if (server.session == Session::x11) {
        stop_xserver(server.x);
        return;
    }
    disconnect_virtual_keyboard(server.keyboard);
    stop_compositor(server.compositor);
}

namespace {

void make_keys(const LayoutTyping& typing, LayoutReport& report, const std::vector<std::array<KeySym, 2>>& symbols) {
    if (!report.keys.empty()) return;
    report.keys = typing.named;
    if (!typing.builtin) return;
    for (const std::string& key : builtin_keys(symbols)) {
        KeyResult result;
        parse_key_spec(key, result.spec);
        report.keys.push_back(result);
    }
}

}  // namespace

std::string type_layout(SessionServer& server, const LayoutTyping& typing, std::vector<Target>& targets,
                        std::size_t first, LayoutReport& report) {
    Typist typist;
    const auto loading = Clock::now();
    if (server.session == Session::x11) {
        const std::string error = typing.keymap.empty() ? set_layout(server.x, typing.layout) : load_keymap(server.x, typing.keymap);
        if (!error.empty()) return error;
        make_keys(typing, report, x_layout_symbols(server.x.conn));
        typist = x_typist(server.x);
    } else {
        std::string keymap = typing.keymap;
        std::string error = keymap.empty() ? layout_keymap(typing.layout, keymap) : "";
        if (error.empty()) error = use_keymap(server.keyboard, keymap);
        if (!error.empty()) return error;
        std::vector<std::array<KeySym, 2>> symbols;
        for (const auto& [first_level, second] : layout_symbols(server.keyboard)) symbols.push_back({first_level, second});
        make_keys(typing, report, symbols);
        typist = wayland_typist(server.compositor, server.keyboard);
    }
    add_time(Phase::layout_load, Clock::now() - loading);
    for (std::size_t t = first; t < targets.size(); ++t) {
        if (const std::string error = type_into_keymon(typist, typing.keymon, targets, t, report.keys); !error.empty()) {
            return error;
        }
    }
    if (!typing.drawing || !report.keyboard.keys.empty()) return "";
    if (server.session == Session::wayland) {
        draw_from_xorg(typing.layout, typing.keymap, report);
    } else if (!read_keyboard_geometry(server.x.conn, report.keyboard)) {
        std::fprintf(stderr, "keymon-compare: the X server has no keyboard geometry for layout %s; "
                             "the page draws the typed keys as a grid\n", typing.layout.c_str());
        std::vector<KeyCode> codes;
        for (const KeyResult& key : report.keys) {
            if (!key.spare && std::find(codes.begin(), codes.end(), key.code) == codes.end()) codes.push_back(key.code);
        }
        report.keyboard = keyboard_grid(server.x.conn, codes);
    }
    return "";
}

void draw_from_xorg(const std::string& layout, const std::string& keymap, LayoutReport& report) {
    XServer server;
    if (start_xserver(server, ServerKind::xorg).empty() &&
        (keymap.empty() ? set_layout(server, layout) : load_keymap(server, keymap)).empty()) {
        read_keyboard_geometry(server.conn, report.keyboard);
    }
    stop_xserver(server);
}
