// The first character of a text, read through the C library's multibyte
// conversion in the process's current locale (LC_CTYPE), not by fixed UTF-8
// rules. Select the locale before calling; nothing here selects one.
#pragma once

#include <cstdint>

#include "utf.h"

// Reads the first character of the zero-terminated `text` into `*out`.
// Unlike the other readers it returns a count of characters, not of bytes:
// 1 when the text begins with a character, 0 when it is empty (an absent
// text counts as empty), both with `*out` set to the character (0 for the
// empty text); -1 when the text begins with an invalid or incomplete
// sequence, and then `*out` is set to 0.
std::int32_t locale_get_char(CodePoint* out, const char* text);
