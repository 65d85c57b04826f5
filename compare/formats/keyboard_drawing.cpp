#include "keyboard_drawing.h"

#include <X11/XKBlib.h>
#include <X11/extensions/XKBgeom.h>
#include <X11/extensions/XKBstr.h>
#include <X11/keysym.h>

#include <xkbcommon/xkbcommon.h>

#include <cmath>
#include <cstring>
#include <map>

namespace {

std::string key_name(const char* name) { return std::string(name, strnlen(name, XkbKeyNameLength)); }

void name_key(Display* conn, DrawnKey& key) {
    const KeySym sym = key.code ? XkbKeycodeToKeysym(conn, key.code, 0, 0) : NoSymbol;
    const char* name = sym == NoSymbol ? nullptr : XKeysymToString(sym);
    key.keysym = name ? name : "";
    key.label = keycap_label(sym);
}

// The outline of a shape, relative to the key's corner: one point is the
// far corner of a rectangle from (0,0), two points the corners of one,
// more the points of a polygon.
std::vector<Point> shape_outline(const XkbShapeRec& shape) {
    if (shape.num_outlines == 0) return {};
    const XkbOutlineRec& outline = shape.outlines[0];
    std::vector<Point> points;
    for (int i = 0; i < outline.num_points; ++i) points.push_back({double(outline.points[i].x), double(outline.points[i].y)});
    if (points.size() == 1) points.insert(points.begin(), Point{0, 0});
    if (points.size() == 2) {
        const Point a = points[0], b = points[1];
        points = {a, {b.x, a.y}, b, {a.x, b.y}};
    }
    return points;
}

}  // namespace

std::string keycap_label(KeySym sym) {
    if (sym == NoSymbol || sym == XK_space) return "";
    // libxkbcommon knows every keysym's character, the legacy Cyrillic,
    // Greek and currency ones too.
    // It answers the Unicode keysyms of Latin-1 only by their legacy
    // keysyms, which have the same numbers.
    if ((sym & 0xffffff00) == 0x01000000) sym &= 0xff;
    char text[8];
    const int size = xkb_keysym_to_utf8(static_cast<xkb_keysym_t>(sym), text, sizeof text);
    const unsigned char first = static_cast<unsigned char>(text[0]);
    if (size > 1 && first >= 0x20 && first != 0x7f) return text;
    // A key that types no visible character shows a short name: "Shift_L"
    // shows "Shift", "KP_Enter" "Enter", BackSpace its control character
    // no more than Return does.
    const char* name = XKeysymToString(sym);
    std::string short_name = name ? name : "";
    if (short_name.rfind("KP_", 0) == 0) short_name.erase(0, 3);
    if (short_name.size() > 2 && (short_name.ends_with("_L") || short_name.ends_with("_R"))) short_name.resize(short_name.size() - 2);
    if (short_name == "Control") short_name = "Ctrl";
    return short_name.substr(0, 6);
}

bool read_keyboard_geometry(Display* conn, KeyboardDrawing& drawing) {
    drawing = KeyboardDrawing{};
    XkbDescPtr xkb = XkbGetMap(conn, XkbAllClientInfoMask, XkbUseCoreKbd);
    if (!xkb) return false;
    XkbGetNames(conn, XkbKeyNamesMask | XkbKeyAliasesMask, xkb);
    if (XkbGetGeometry(conn, xkb) != Success || !xkb->geom) {
        XkbFreeKeyboard(xkb, 0, True);
        return false;
    }
    std::map<std::string, KeyCode> codes;
    if (xkb->names && xkb->names->keys) {
        for (int code = xkb->min_key_code; code <= xkb->max_key_code; ++code) {
            const std::string name = key_name(xkb->names->keys[code].name);
            if (!name.empty()) codes.emplace(name, static_cast<KeyCode>(code));
        }
        for (int i = 0; i < xkb->names->num_key_aliases; ++i) {
            const auto real = codes.find(key_name(xkb->names->key_aliases[i].real));
            if (real != codes.end()) codes.emplace(key_name(xkb->names->key_aliases[i].alias), real->second);
        }
    }
    const XkbGeometryRec& geom = *xkb->geom;
    if (char* name = geom.name ? XGetAtomName(conn, geom.name) : nullptr) {
        drawing.geometry = name;
        XFree(name);
    }
    drawing.width = geom.width_mm;
    drawing.height = geom.height_mm;
    for (int s = 0; s < geom.num_sections; ++s) {
        const XkbSectionRec& section = geom.sections[s];
        // Angles are in tenths of a degree, about the section's corner.
        const double angle = section.angle * M_PI / 1800.0, cos_a = std::cos(angle), sin_a = std::sin(angle);
        for (int r = 0; r < section.num_rows; ++r) {
            const XkbRowRec& row = section.rows[r];
            double along = 0;  // from the row's start to the end of the last key
            for (int k = 0; k < row.num_keys; ++k) {
                const XkbKeyRec& key = row.keys[k];
                if (key.shape_ndx >= geom.num_shapes) continue;
                const XkbShapeRec& shape = geom.shapes[key.shape_ndx];
                along += key.gap;
                const double x = row.left + (row.vertical ? 0 : along), y = row.top + (row.vertical ? along : 0);
                along += row.vertical ? shape.bounds.y2 : shape.bounds.x2;
                DrawnKey drawn;
                const auto code = codes.find(key_name(key.name.name));
                drawn.code = code == codes.end() ? 0 : code->second;
                for (const Point& p : shape_outline(shape)) {
                    const double px = x + p.x, py = y + p.y;
                    drawn.outline.push_back({section.left + px * cos_a - py * sin_a, section.top + px * sin_a + py * cos_a});
                }
                name_key(conn, drawn);
                drawing.keys.push_back(drawn);
            }
        }
    }
    XkbFreeKeyboard(xkb, 0, True);
    return !drawing.keys.empty();
}

KeyboardDrawing keyboard_grid(Display* conn, const std::vector<KeyCode>& codes) {
    constexpr double size = 180, gap = 10;  // a key of 18 mm in tenths of a millimetre
    constexpr std::size_t per_row = 15;
    KeyboardDrawing drawing;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        const double x = gap + double(i % per_row) * (size + gap), y = gap + double(i / per_row) * (size + gap);
        DrawnKey key;
        key.code = codes[i];
        key.outline = {{x, y}, {x + size, y}, {x + size, y + size}, {x, y + size}};
        name_key(conn, key);
        drawing.keys.push_back(key);
    }
    drawing.width = gap + double(std::min(codes.size(), per_row)) * (size + gap);
    drawing.height = gap + double((codes.size() + per_row - 1) / per_row) * (size + gap);
    return drawing;
}
