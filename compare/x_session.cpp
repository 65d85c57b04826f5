// keymon-compare's Xorg session: a private Xorg with the dummy video
// driver, keys typed through XTEST.
#include <X11/XKBlib.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "session.h"
#include "xserver.h"
#include "xtest_keyboard.h"

namespace {

struct XSession {
    XServer server;
};

XSession& x_session(void* servers) { return *static_cast<XSession*>(servers); }

LayoutSymbols x_layout_symbols(Display* conn) {
    LayoutSymbols symbols;
    XkbDescPtr xkb = XkbGetMap(conn, XkbAllClientInfoMask, XkbUseCoreKbd);
    if (!xkb) return symbols;
    for (int code = xkb->min_key_code; code <= xkb->max_key_code; ++code) {
        std::array<xkb_keysym_t, 4> levels{};
        for (int level = 0; level < 4; ++level) {
            levels[static_cast<std::size_t>(level)] = static_cast<xkb_keysym_t>(XkbKeycodeToKeysym(conn, static_cast<KeyCode>(code), 0, level));
        }
        symbols.push_back(levels);
    }
    XkbFreeKeyboard(xkb, 0, True);
    return symbols;
}

std::string load(void* servers, const LayoutTyping& typing, LayoutSymbols& symbols) {
    XServer& server = x_session(servers).server;
    const std::string error =
        typing.keymap.empty() ? set_layout(server, typing.layout, typing.options) : load_keymap(server, typing.keymap);
    if (!error.empty()) return error;
    symbols = x_layout_symbols(server.conn);
    return "";
}

std::string find_window(void* servers, const Target& target, pid_t group, const std::function<bool()>& gone, pid_t& pid) {
    Display* conn = x_session(servers).server.conn;
    const Window window = find_and_focus_window(conn, group, milliseconds(15000), gone);
    if (window == None) return "keymon did not open its window on the " + target.runtime.name + " runtime";
    pid = window_pid(conn, window);
    return "";
}

void draw(void* servers, const LayoutTyping& typing, const std::vector<KeyComparison>& keys, KeyboardDrawing& drawing) {
    Display* conn = x_session(servers).server.conn;
    if (read_keyboard_geometry(conn, drawing)) return;
    std::fprintf(stderr, "keymon-compare: the X server has no keyboard geometry for layout %s; "
                         "the page draws the typed keys as a grid\n", typing.layout.c_str());
    std::vector<KeyCode> codes;
    for (const KeyComparison& key : keys) {
        if (!key.spare && std::find(codes.begin(), codes.end(), key.code) == codes.end()) codes.push_back(static_cast<KeyCode>(key.code));
    }
    drawing = keyboard_grid(conn, codes);
}

void close(void* servers) { delete static_cast<XSession*>(servers); }

constexpr SessionOps x_session_ops = {load, find_window, draw, close};

}  // namespace

std::string open_x_session(const std::vector<Runtime>& runtimes, Session& session) {
    auto servers = std::make_unique<XSession>();
    if (const std::string error = start_xserver(servers->server, ServerKind::xorg); !error.empty()) {
        return "no X server could start: " + error;
    }
    session.kind = SessionKind::x11;
    session.targets = session_targets(SessionKind::x11, runtimes);
    session.launch.display = servers->server.display;
    session.keyboard = x_keyboard(servers->server.conn);
    session.ops = &x_session_ops;
    session.servers = servers.release();
    return "";
}

void draw_from_xorg(const LayoutTyping& typing, KeyboardDrawing& drawing) {
    const std::string& layout = typing.layout;
    XServer server;
    std::string error = start_xserver(server, ServerKind::xorg);
    if (error.empty()) error = typing.keymap.empty() ? set_layout(server, layout, typing.options) : load_keymap(server, typing.keymap);
    if (error.empty() && read_keyboard_geometry(server.conn, drawing)) return;
    std::fprintf(stderr, "keymon-compare: the page cannot draw the keyboard of layout %s: %s\n", layout.c_str(),
                 error.empty() ? "the X server has no keyboard geometry" : error.c_str());
}
