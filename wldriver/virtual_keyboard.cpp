#include "virtual_keyboard.h"

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "virtual-keyboard-unstable-v1-client.h"

namespace {

void on_global(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t) {
    auto* keyboard = static_cast<VirtualKeyboard*>(data);
    if (std::strcmp(interface, wl_seat_interface.name) == 0 && !keyboard->seat) {
        keyboard->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    } else if (std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0) {
        keyboard->manager = static_cast<zwp_virtual_keyboard_manager_v1*>(
            wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
    }
}

void on_global_remove(void*, wl_registry*, std::uint32_t) {}

const wl_registry_listener registry_listener = {on_global, on_global_remove};

std::uint32_t now_ms() {
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<milliseconds>(Clock::now().time_since_epoch()).count());
}

void send_modifiers(VirtualKeyboard& keyboard) {
    zwp_virtual_keyboard_v1_modifiers(keyboard.keyboard,
                                      xkb_state_serialize_mods(keyboard.state, XKB_STATE_MODS_DEPRESSED),
                                      xkb_state_serialize_mods(keyboard.state, XKB_STATE_MODS_LATCHED),
                                      xkb_state_serialize_mods(keyboard.state, XKB_STATE_MODS_LOCKED),
                                      xkb_state_serialize_layout(keyboard.state, XKB_STATE_LAYOUT_EFFECTIVE));
}

// Keys evdev keymaps define for modifiers alone and no keyboard has.
bool virtual_key(xkb_keymap* keymap, xkb_keycode_t code) {
    const char* name = xkb_keymap_key_get_name(keymap, code);
    return name && (std::strcmp(name, "LVL3") == 0 || std::strcmp(name, "MDSW") == 0);
}

xkb_mod_mask_t mask_of(xkb_keymap* keymap, const char* modifier) {
    const xkb_mod_index_t index = xkb_keymap_mod_get_index(keymap, modifier);
    return index == XKB_MOD_INVALID ? 0 : xkb_mod_mask_t(1) << index;
}

// The key that gives `sym` on its first level, a real key before one no
// keyboard has (<LVL3>); 0 if none.
xkb_keycode_t plain_keycode(xkb_keymap* keymap, xkb_keysym_t sym) {
    xkb_keycode_t found = 0;
    for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap); code <= xkb_keymap_max_keycode(keymap) && code < 256; ++code) {
        const xkb_keysym_t* syms = nullptr;
        if (xkb_keymap_key_get_syms_by_level(keymap, code, 0, 0, &syms) != 1 || syms[0] != sym) continue;
        if (!found || virtual_key(keymap, found)) found = code;
    }
    return found;
}

// The modifiers the AltGr key sets, found by pressing it in a scratch state.
xkb_mod_mask_t level3_mask(const VirtualKeyboard& keyboard) {
    const xkb_keycode_t code = plain_keycode(keyboard.keymap, XKB_KEY_ISO_Level3_Shift);
    if (code == 0) return 0;
    xkb_state* scratch = xkb_state_new(keyboard.keymap);
    xkb_state_update_key(scratch, code, XKB_KEY_DOWN);
    const xkb_mod_mask_t mask = xkb_state_serialize_mods(scratch, XKB_STATE_MODS_DEPRESSED);
    xkb_state_unref(scratch);
    return mask;
}

std::string upload(VirtualKeyboard& keyboard, const std::string& text) {
    xkb_keymap* keymap = xkb_keymap_new_from_string(keyboard.context, text.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                                    XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (!keymap) return "libxkbcommon cannot compile the keymap";
    const int fd = memfd_create("keymap", MFD_CLOEXEC);
    const std::size_t size = text.size() + 1;  // with its terminating zero, as wl_keyboard sends it
    if (fd < 0 || write(fd, text.c_str(), size) != static_cast<ssize_t>(size)) {
        if (fd >= 0) close(fd);
        xkb_keymap_unref(keymap);
        return std::string("memfd: ") + std::strerror(errno);
    }
    zwp_virtual_keyboard_v1_keymap(keyboard.keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, static_cast<std::uint32_t>(size));
    wl_display_roundtrip(keyboard.display);
    close(fd);
    // The locks carry over: the same modifiers, the same indices.
    const xkb_mod_mask_t locks = keyboard.state ? xkb_state_serialize_mods(keyboard.state, XKB_STATE_MODS_LOCKED) : 0;
    if (keyboard.state) xkb_state_unref(keyboard.state);
    if (keyboard.keymap) xkb_keymap_unref(keyboard.keymap);
    keyboard.keymap = keymap;
    keyboard.state = xkb_state_new(keymap);
    xkb_state_update_mask(keyboard.state, 0, 0, locks, 0, 0, 0);
    send_modifiers(keyboard);
    wl_display_roundtrip(keyboard.display);
    return "";
}

// The keymap with `sym` bound on a key that has no symbols, and that key;
// 0 when none is left.
xkb_keycode_t bind_spare_key(const VirtualKeyboard& keyboard, xkb_keysym_t sym, std::string& text) {
    xkb_keymap* keymap = keyboard.keymap;
    char name[64];
    if (xkb_keysym_get_name(sym, name, sizeof name) <= 0) return 0;
    const std::size_t section = keyboard.keymap_text.find("xkb_symbols");
    const std::size_t end = section == std::string::npos ? section : keyboard.keymap_text.find("\n};", section);
    if (end == std::string::npos) return 0;
    for (xkb_keycode_t code = std::min<xkb_keycode_t>(xkb_keymap_max_keycode(keymap), 255); code >= xkb_keymap_min_keycode(keymap); --code) {
        const char* key = xkb_keymap_key_get_name(keymap, code);
        if (!key || xkb_keymap_num_layouts_for_key(keymap, code) != 0) continue;
        text = keyboard.keymap_text;
        text.insert(end, "\n\tkey <" + std::string(key) + "> { [ " + name + ", " + name + " ] };");
        return code;
    }
    return 0;
}

// What reading a compositor's keymap collects.
struct KeymapReading {
    wl_seat* seat = nullptr;
    wl_keyboard* keyboard = nullptr;
    std::string keymap;
};

void on_reading_global(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t) {
    auto* reading = static_cast<KeymapReading*>(data);
    if (std::strcmp(interface, wl_seat_interface.name) == 0 && !reading->seat) {
        reading->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    }
}
const wl_registry_listener reading_registry_listener = {on_reading_global, on_global_remove};

void on_keymap(void* data, wl_keyboard*, std::uint32_t format, int fd, std::uint32_t size) {
    auto* reading = static_cast<KeymapReading*>(data);
    if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 && size > 0) {
        void* mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (mapped != MAP_FAILED) {
            reading->keymap.assign(static_cast<const char*>(mapped), strnlen(static_cast<const char*>(mapped), size));
            munmap(mapped, size);
        }
    }
    close(fd);
}
void on_enter(void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {}
void on_leave(void*, wl_keyboard*, std::uint32_t, wl_surface*) {}
void on_key(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {}
void on_modifiers(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {}
const wl_keyboard_listener keyboard_listener = {on_keymap, on_enter, on_leave, on_key, on_modifiers, nullptr};

}  // namespace

std::string read_wayland_keymap(const std::string& display_name, std::string& keymap) {
    wl_display* display = wl_display_connect(display_name.c_str());
    if (!display) return "cannot connect to the Wayland display " + display_name;
    KeymapReading reading;
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &reading_registry_listener, &reading);
    wl_display_roundtrip(display);
    if (reading.seat) {
        // A seat without a keyboard has no keymap to give; version 1 of the
        // seat announces no capabilities before the keyboard is asked for.
        reading.keyboard = wl_seat_get_keyboard(reading.seat);
        wl_keyboard_add_listener(reading.keyboard, &keyboard_listener, &reading);
        wl_display_roundtrip(display);
        wl_display_roundtrip(display);
        wl_keyboard_destroy(reading.keyboard);
        wl_seat_destroy(reading.seat);
    }
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    keymap = reading.keymap;
    return keymap.empty() ? "the Wayland display " + display_name + " gives no keymap (its seat has no keyboard)" : "";
}

std::string keymap_layouts(const std::string& keymap, std::string& symbols) {
    symbols.clear();
    const std::size_t section = keymap.find("xkb_symbols");
    const std::size_t open = section == std::string::npos ? section : keymap.find('"', section);
    const std::size_t close = open == std::string::npos ? open : keymap.find('"', open + 1);
    if (close != std::string::npos) symbols = keymap.substr(open + 1, close - open - 1);
    if (symbols.empty() || symbols == "(unnamed)") {
        // libxkbcommon, which compiles a compositor's keymap, does not name
        // the parts: the layouts' own names ("German") are all there is.
        symbols.clear();
        std::string names;
        xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
        xkb_keymap* compiled = context ? xkb_keymap_new_from_string(context, keymap.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                                                    XKB_KEYMAP_COMPILE_NO_FLAGS) : nullptr;
        for (xkb_layout_index_t i = 0; compiled && i < xkb_keymap_num_layouts(compiled); ++i) {
            const char* name = xkb_keymap_layout_get_name(compiled, i);
            names += std::string(names.empty() ? "" : ", ") + (name ? name : "?");
        }
        if (compiled) xkb_keymap_unref(compiled);
        if (context) xkb_context_unref(context);
        return names;
    }
    // The first part after "pc" is group 1's layout; "name:N" parts the
    // other groups'. The rest are options and the keyboard's extra keys.
    std::vector<std::string> groups;
    std::size_t part_number = 0;
    for (std::size_t start = 0; start <= symbols.size(); ++part_number) {
        std::size_t plus = symbols.find('+', start);
        if (plus == std::string::npos) plus = symbols.size();
        const std::string part = symbols.substr(start, plus - start);
        start = plus + 1;
        const std::size_t colon = part.find(':');
        if (colon != std::string::npos) {
            const std::size_t group = std::strtoul(part.c_str() + colon + 1, nullptr, 10);
            if (group >= 1 && group <= 4) {
                if (groups.size() < group) groups.resize(group);
                groups[group - 1] = part.substr(0, colon);
            }
        } else if (part_number == 1 && part != "pc") {
            if (groups.empty()) groups.resize(1);
            if (groups[0].empty()) groups[0] = part;
        }
    }
    std::string layouts;
    for (const std::string& group : groups) layouts += (layouts.empty() ? "" : ",") + group;
    return layouts;
}

std::string connect_virtual_keyboard(VirtualKeyboard& keyboard, const std::string& runtime_dir, const std::string& display) {
    keyboard.context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    keyboard.display = wl_display_connect((runtime_dir + "/" + display).c_str());
    if (!keyboard.display) return "cannot connect to the Wayland display " + display;
    wl_registry* registry = wl_display_get_registry(keyboard.display);
    wl_registry_add_listener(registry, &registry_listener, &keyboard);
    wl_display_roundtrip(keyboard.display);
    wl_registry_destroy(registry);
    if (!keyboard.seat) return "the compositor has no seat";
    if (!keyboard.manager) return "the compositor has no virtual keyboard (zwp_virtual_keyboard_manager_v1)";
    keyboard.keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(keyboard.manager, keyboard.seat);
    wl_display_roundtrip(keyboard.display);
    return "";
}

void disconnect_virtual_keyboard(VirtualKeyboard& keyboard) {
    if (keyboard.keyboard) zwp_virtual_keyboard_v1_destroy(keyboard.keyboard);
    if (keyboard.manager) zwp_virtual_keyboard_manager_v1_destroy(keyboard.manager);
    if (keyboard.seat) wl_seat_destroy(keyboard.seat);
    if (keyboard.display) wl_display_disconnect(keyboard.display);
    if (keyboard.state) xkb_state_unref(keyboard.state);
    if (keyboard.keymap) xkb_keymap_unref(keyboard.keymap);
    if (keyboard.context) xkb_context_unref(keyboard.context);
    keyboard.keyboard = nullptr;
    keyboard.manager = nullptr;
    keyboard.seat = nullptr;
    keyboard.display = nullptr;
    keyboard.state = nullptr;
    keyboard.keymap = nullptr;
    keyboard.context = nullptr;
    keyboard.keymap_text.clear();
}

VirtualKeyboard::~VirtualKeyboard() { disconnect_virtual_keyboard(*this); }

std::string layout_keymap(const std::string& layout, std::string& text, const std::string& options) {
    // "de(nodeadkeys),us" is layouts "de,us" with variants "nodeadkeys,".
    std::string layouts, variants;
    for (std::size_t start = 0; start <= layout.size();) {
        std::size_t comma = layout.find(',', start);
        if (comma == std::string::npos) comma = layout.size();
        const std::string group = layout.substr(start, comma - start);
        const std::size_t open = group.find('(');
        if (start) layouts += ',', variants += ',';
        layouts += group.substr(0, open);
        if (open != std::string::npos && group.back() == ')') variants += group.substr(open + 1, group.size() - open - 2);
        start = comma + 1;
    }
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    const xkb_rule_names names = {"evdev", "pc105", layouts.c_str(), variants.c_str(), options.empty() ? nullptr : options.c_str()};
    xkb_keymap* keymap = context ? xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS) : nullptr;
    if (keymap) {
        char* string = xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
        text = string ? string : "";
        std::free(string);
        xkb_keymap_unref(keymap);
    }
    if (context) xkb_context_unref(context);
    return keymap && !text.empty() ? "" : "unknown XKB layout '" + layout + "' (libxkbcommon cannot compile it)";
}

std::string use_keymap(VirtualKeyboard& keyboard, const std::string& text) {
    keyboard.keymap_text = text;
    if (keyboard.state) xkb_state_unref(keyboard.state);
    keyboard.state = nullptr;
    return upload(keyboard, text);
}


std::vector<std::array<xkb_keysym_t, 4>> layout_symbols(const VirtualKeyboard& keyboard) {
    std::vector<std::array<xkb_keysym_t, 4>> symbols;
    for (xkb_keycode_t code = xkb_keymap_min_keycode(keyboard.keymap); code <= xkb_keymap_max_keycode(keyboard.keymap) && code < 256; ++code) {
        std::array<xkb_keysym_t, 4> levels{};
        for (xkb_level_index_t level = 0; level < 4; ++level) {
            const xkb_keysym_t* syms = nullptr;
            if (xkb_keymap_key_get_syms_by_level(keyboard.keymap, code, 0, level, &syms) == 1) levels[level] = syms[0];
        }
        symbols.push_back(levels);
    }
    return symbols;
}

namespace {

VirtualKeyboard& virtual_keyboard_of(void* self) { return *static_cast<VirtualKeyboard*>(self); }

bool read_levels(void* self, LevelTable& table) {
    VirtualKeyboard& keyboard = virtual_keyboard_of(self);
    xkb_keymap* keymap = keyboard.keymap;
    if (!keymap || !keyboard.state) return false;
    const xkb_mod_mask_t shift = mask_of(keymap, XKB_MOD_NAME_SHIFT), level3 = level3_mask(keyboard);
    const xkb_mod_mask_t locks = xkb_state_serialize_mods(keyboard.state, XKB_STATE_MODS_LOCKED) & ~mask_of(keymap, XKB_MOD_NAME_CAPS);
    const xkb_mod_mask_t masks[level_count] = {0, shift, level3, shift | level3};
    xkb_state* scratch = xkb_state_new(keymap);
    if (!scratch) return false;
    table = LevelTable{};
    for (int level = 0; level < level_count; ++level) {
        if (level3 == 0 && level >= altgr) break;
        xkb_state_update_mask(scratch, masks[level], 0, locks, 0, 0, 0);
        for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap); code <= xkb_keymap_max_keycode(keymap) && code < 256; ++code) {
            const xkb_keysym_t* syms = nullptr;
            if (xkb_state_key_get_syms(scratch, code, &syms) == 1) table[code].syms[static_cast<std::size_t>(level)] = syms[0];
            table[code].virtual_key = virtual_key(keymap, code);
        }
    }
    xkb_state_unref(scratch);
    return true;
}

void send_key(void* self, xkb_keycode_t code, bool press, bool more) {
    VirtualKeyboard& keyboard = virtual_keyboard_of(self);
    if (code < 8 || code > 255) return;
    zwp_virtual_keyboard_v1_key(keyboard.keyboard, now_ms(), code - 8,
                                press ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
    xkb_state_update_key(keyboard.state, code, press ? XKB_KEY_DOWN : XKB_KEY_UP);
    send_modifiers(keyboard);
    if (!more) wl_display_roundtrip(keyboard.display);
}

xkb_keycode_t bind_spare(void* self, xkb_keysym_t sym, std::string& error) {
    VirtualKeyboard& keyboard = virtual_keyboard_of(self);
    std::string bound;
    const xkb_keycode_t code = bind_spare_key(keyboard, sym, bound);
    if (code == 0) return 0;
    error = upload(keyboard, bound);
    return error.empty() ? code : 0;
}

std::string unbind(void* self, xkb_keycode_t) {
    VirtualKeyboard& keyboard = virtual_keyboard_of(self);
    return upload(keyboard, keyboard.keymap_text);
}

unsigned lock_mask(void* self, Lock lock) {
    const VirtualKeyboard& keyboard = virtual_keyboard_of(self);
    return keyboard.keymap ? mask_of(keyboard.keymap, lock == Lock::caps ? XKB_MOD_NAME_CAPS : XKB_MOD_NAME_NUM) : 0;
}

unsigned locks(void* self) {
    const VirtualKeyboard& keyboard = virtual_keyboard_of(self);
    return keyboard.state ? xkb_state_serialize_mods(keyboard.state, XKB_STATE_MODS_LOCKED) : 0;
}

void set_locks(void* self, unsigned mask) {
    VirtualKeyboard& keyboard = virtual_keyboard_of(self);
    xkb_state_unref(keyboard.state);
    keyboard.state = xkb_state_new(keyboard.keymap);
    if (keyboard.state) xkb_state_update_mask(keyboard.state, 0, 0, mask, 0, 0, 0);
    send_modifiers(keyboard);
    wl_display_roundtrip(keyboard.display);
}

// Every key is a round trip already (send_key).
void sync(void* self) { wl_display_roundtrip(virtual_keyboard_of(self).display); }

constexpr KeyboardOps virtual_keyboard_ops = {read_levels, send_key, bind_spare, unbind, lock_mask, locks, set_locks, sync};

}  // namespace

Keyboard virtual_keyboard_typing(VirtualKeyboard& keyboard) { return Keyboard{&virtual_keyboard_ops, &keyboard, {}}; }
