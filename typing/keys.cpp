#include "keys.h"

#include <strings.h>

std::string keysym_name(xkb_keysym_t sym) {
    char name[64];
    return xkb_keysym_get_name(sym, name, sizeof name) > 0 ? name : "";
}

std::string parse_key_spec(const std::string& text, KeySpec& spec) {
    static const struct {
        const char* alias;
        xkb_keysym_t sym;
    } aliases[] = {{"shift", XKB_KEY_Shift_L}, {"ctrl", XKB_KEY_Control_L}, {"control", XKB_KEY_Control_L},
                   {"alt", XKB_KEY_Alt_L},     {"altgr", XKB_KEY_ISO_Level3_Shift}, {"super", XKB_KEY_Super_L},
                   {"meta", XKB_KEY_Meta_L}};
    spec = KeySpec{text, {}, XKB_KEY_NoSymbol};
    std::size_t start = 0;
    for (;;) {
        const std::size_t plus = text.find('+', start);
        const std::string part = text.substr(start, plus == std::string::npos ? std::string::npos : plus - start);
        const bool last = plus == std::string::npos;
        xkb_keysym_t sym = part.empty() ? XKB_KEY_NoSymbol : xkb_keysym_from_name(part.c_str(), XKB_KEYSYM_NO_FLAGS);
        if (!last && sym == XKB_KEY_NoSymbol) {
            for (const auto& a : aliases) {
                if (strcasecmp(part.c_str(), a.alias) == 0) sym = a.sym;
            }
        }
        if (sym == XKB_KEY_NoSymbol) return "unknown keysym '" + part + "' in '" + text + "'";
        if (last) {
            spec.sym = sym;
            return "";
        }
        spec.modifiers.push_back(sym);
        start = plus + 1;
    }
}
