// A program that uses the codec as another project does, through the
// header names it is installed under, with ICU's headers on the same path.
#include <keymon/unicode/locale_char.h>
#include <keymon/unicode/utf.h>

#if __has_include(<unicode/utf8.h>)
#include <unicode/utf8.h>
#define WITH_ICU 1
#endif

#include <clocale>
#include <cstdio>

int main() {
    int failures = 0;
    const auto check = [&](bool ok, const char* what) {
        if (!ok) std::fprintf(stderr, "consumer: %s gave a wrong result\n", what), ++failures;
    };
    std::uint8_t bytes[4] = {};
    check(utf8_put_char(bytes, 4, 0x20AC) == 3 && bytes[0] == 0xE2 && bytes[1] == 0x82 && bytes[2] == 0xAC,
          "utf8_put_char");
    CodePoint c = 0;
    check(utf8_get_char(&c, bytes, 3) == 3 && c == 0x20AC, "utf8_get_char");
    check(utf8_is_valid("a\xE2\x82\xAC") == 1 && utf8_is_valid("\xED\xA0\x80") == 0, "utf8_is_valid");
    std::uint16_t units[2] = {};
    check(utf16_put_char(units, 2, 0x1F600) == 2 && units[0] == 0xD83D && units[1] == 0xDE00, "utf16_put_char");
    check(std::setlocale(LC_CTYPE, "C.UTF-8") && locale_get_char(&c, "\xC3\xA9") == 1 && c == 0xE9,
          "locale_get_char");
#ifdef WITH_ICU
    check(U8_LENGTH(0x20AC) == 3, "ICU beside the codec");
#endif
    if (failures == 0) std::puts("consumer: ok");
    return failures == 0 ? 0 : 1;
}
