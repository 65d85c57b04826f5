#include <keymon/unicode/locale_char.h>

#include <cstdlib>

std::int32_t locale_get_char(CodePoint* out, const char* text) {
    wchar_t wide = 0;
    const std::size_t n = std::mbstowcs(&wide, text ? text : "", 1);
    if (n == static_cast<std::size_t>(-1)) {
        *out = 0;
        return -1;
    }
    *out = static_cast<CodePoint>(wide);
    return static_cast<std::int32_t>(n);
}
