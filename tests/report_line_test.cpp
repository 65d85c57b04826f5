// The exact bytes of the report line.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "keymon.h"

namespace {

// Everything report_key_event writes to standard output for `keysym`.
std::string report(SDLKey sym, Uint8 scancode, Uint16 unicode) {
    SDL_keysym keysym{};
    keysym.sym = sym;
    keysym.scancode = scancode;
    keysym.unicode = unicode;
    std::fflush(stdout);
    const int saved = dup(1);
    const int capture = memfd_create("report", 0);
    dup2(capture, 1);
    report_key_event(keysym);
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string out(256, '\0');
    out.resize(static_cast<std::size_t>(pread(capture, out.data(), out.size(), 0)));
    close(capture);
    return out;
}

TEST(ReportLine, ExactBytes) {
    const struct {
        int sym;
        Uint8 scancode;
        Uint16 unicode;
        const char* line;
    } cases[] = {
        {SDLK_a, 0x26, 0x61, "ITEM_ID_XY SDLK_a 0x26 0x61 a \n"},
        {SDLK_a, 0x26, 0, "ITEM_ID_XY SDLK_a 0x26 0x0  \n"},  // two blanks: empty text
        {SDLK_UNKNOWN, 0, 0, "ITEM_ID_XY SDLK_UNKNOWN 0x0 0x0  \n"},  // never SDLK_FIRST
        {1, 0xff, 0x41, "ITEM_ID_XY (null) 0xff 0x41 A \n"},  // no row for 1
        {400, 9, 0, "ITEM_ID_XY (null) 0x9 0x0  \n"},  // above SDLK_LAST
        {SDLK_EURO, 8, 0x20ac, "ITEM_ID_XY SDLK_EURO 0x8 0x20ac \xe2\x82\xac \n"},
        {SDLK_WORLD_73, 0xb, 0xe9, "ITEM_ID_XY SDLK_WORLD_73 0xb 0xe9 \xc3\xa9 \n"},
        {SDLK_ESCAPE, 9, 0x1b, "ITEM_ID_XY SDLK_ESCAPE 0x9 0x1b \x1b \n"},
        {SDLK_LAST, 0, 0xffff, "ITEM_ID_XY SDLK_LAST 0x0 0xffff \xef\xbf\xbf \n"},
        {SDLK_KP_ENTER, 0x68, 0x7ff, "ITEM_ID_XY SDLK_KP_ENTER 0x68 0x7ff \xdf\xbf \n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(report(static_cast<SDLKey>(c.sym), c.scancode, c.unicode), c.line);
    }
}

TEST(ReportLine, SurrogateValuesGiveAnEmptyText) {
    for (unsigned unicode : {0xd800u, 0xdbffu, 0xdc00u, 0xdfffu}) {
        char line[64];
        std::snprintf(line, sizeof line, "ITEM_ID_XY SDLK_z 0x34 0x%x  \n", unicode);
        EXPECT_EQ(report(SDLK_z, 0x34, static_cast<Uint16>(unicode)), line);
    }
}

TEST(ReportLine, AsciiValuesPrintAsTheirOwnByte) {
    for (unsigned unicode = 1; unicode <= 0x7f; ++unicode) {
        const std::string line = report(SDLK_SPACE, 0x41, static_cast<Uint16>(unicode));
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%x", unicode);
        ASSERT_EQ(line, std::string("ITEM_ID_XY SDLK_SPACE 0x41 ") + hex + " " + char(unicode) + " \n");
    }
}

}  // namespace
