// The key report line and the table of SDL 1.2 key symbol names.
#pragma once

#include <SDL.h>

#include <cstdint>

struct KeyNameEntry {
    std::int32_t key;  // an SDLKey value; a negative key ends the table
    const char* name;  // the enumerator's identifier as SDL_keysym.h spells it
};

// One row for each enumerator of SDLKey, in header order.
inline constexpr int key_name_count = 234;

// key_name_count named rows, then the terminating row {-1, ""}.
extern const KeyNameEntry key_name_table[];

// The name of the first row that carries `sym`, or nullptr when no row does.
const char* lookup_key_name(std::int32_t sym);

// Prints one line on standard output:
// "ITEM_ID_XY <name> 0x<scancode> 0x<unicode> <UTF-8 text> \n".
void report_key_event(const SDL_keysym& keysym);
