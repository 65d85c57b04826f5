// Every code point through the three writers and back through their readers,
// against glibc's iconv. UTF-16LE and UTF-16BE both matching iconv also
// shows the swapped routines store the native units with their bytes exchanged.
// The codec's header comes first: it must compile on its own.
#include <keymon/unicode/utf.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "iconv_oracle.h"

namespace {

constexpr bool scalar_test_holds() {
    for (std::uint32_t yes : {0u, 0xD7FFu, 0xE000u, 0x10FFFFu}) {
        if (is_unicode_scalar(yes) != 1) return false;
    }
    for (std::uint32_t no : {0xD800u, 0xDFFFu, 0x110000u, 0xFFFFFFFFu}) {
        if (is_unicode_scalar(no) != 0) return false;
    }
    return true;
}
static_assert(scalar_test_holds());

// One encoding's writer and reader over a byte buffer, and iconv's name for it.
struct Encoding {
    const char* iconv_name;
    std::uint32_t unit;  // bytes per unit
    std::int32_t (*put)(std::uint8_t* dst, std::uint32_t capacity, std::uint32_t value);
    std::int32_t (*get)(CodePoint* out, const std::uint8_t* src, std::uint32_t units);
};

// The UTF-16 routines take units; the test holds bytes, so it copies
// through an aligned buffer of units.
template <auto Put>
std::int32_t put16(std::uint8_t* dst, std::uint32_t capacity, std::uint32_t value) {
    std::uint16_t units[4];
    std::memcpy(units, dst, sizeof units);
    const std::int32_t n = Put(units, capacity, value);
    std::memcpy(dst, units, sizeof units);
    return n;
}

template <auto Get>
std::int32_t get16(CodePoint* out, const std::uint8_t* src, std::uint32_t units) {
    std::uint16_t copy[4];
    std::memcpy(copy, src, sizeof copy);
    return Get(out, copy, units);
}

const Encoding encodings[] = {
    {"UTF-8", 1, utf8_put_char, utf8_get_char},
    {"UTF-16LE", 2, put16<utf16_put_char>, get16<utf16_get_char>},
    {"UTF-16BE", 2, put16<utf16_swapped_put_char>, get16<utf16_swapped_get_char>},
};

TEST(CodecWriters, EveryCodePointMatchesIconvReadsBackAndIsRefusedUntouched) {
    for (const Encoding& e : encodings) {
        SCOPED_TRACE(e.iconv_name);
        Iconv cd(e.iconv_name, "UTF-32LE");
        ASSERT_TRUE(cd.ok());
        std::vector<std::uint8_t> oracle;
        for (std::uint32_t value = 0; value <= 0x10FFFF; ++value) {
            const std::uint8_t in[4] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                        static_cast<std::uint8_t>(value >> 16), 0};
            const bool accepted = cd.convert(in, 4, oracle);
            std::uint8_t out[8];
            std::memset(out, 0xAA, sizeof out);
            const std::int32_t n = e.put(out, sizeof out / e.unit, value);
            if (!accepted) {  // iconv refuses exactly the surrogates
                ASSERT_EQ(n, -1) << std::hex << value;
                ASSERT_EQ(is_unicode_scalar(value), 0);
                for (std::uint8_t byte : out) ASSERT_EQ(byte, 0xAA);
                continue;
            }
            ASSERT_EQ(is_unicode_scalar(value), 1) << std::hex << value;
            ASSERT_EQ(n * e.unit, oracle.size()) << std::hex << value;
            ASSERT_EQ(std::memcmp(out, oracle.data(), oracle.size()), 0) << std::hex << value;
            ASSERT_EQ(out[oracle.size()], 0xAA) << "wrote past its length";

            CodePoint back = -7;
            ASSERT_EQ(e.get(&back, out, static_cast<std::uint32_t>(n)), n) << std::hex << value;
            ASSERT_EQ(back, static_cast<CodePoint>(value));
            // One unit short is a cut-off sequence: refused, output untouched.
            back = -7;
            ASSERT_EQ(e.get(&back, out, static_cast<std::uint32_t>(n - 1)), n == 1 ? 0 : -1);
            ASSERT_EQ(back, -7);

            // Every capacity below the length is refused before any unit is stored.
            for (std::uint32_t capacity = 0; capacity < static_cast<std::uint32_t>(n); ++capacity) {
                std::uint8_t small[8];
                std::memset(small, 0xAA, sizeof small);
                ASSERT_EQ(e.put(small, capacity, value), -1);
                for (std::uint8_t byte : small) ASSERT_EQ(byte, 0xAA);
            }
        }
    }
}

TEST(CodecWriters, ValuesAboveTheRangeAreRefusedUntouched) {
    for (std::uint64_t value = 0x110000; value <= 0xFFFFFFFF; value = value * 3 + 1) {
        const auto v = static_cast<std::uint32_t>(value);
        std::uint8_t out[8];
        std::memset(out, 0xAA, sizeof out);
        for (const Encoding& e : encodings) ASSERT_EQ(e.put(out, sizeof out / e.unit, v), -1);
        ASSERT_EQ(is_unicode_scalar(v), 0);
        for (std::uint8_t byte : out) ASSERT_EQ(byte, 0xAA);
    }
    std::uint8_t out[4] = {1, 2, 3, 4};
    EXPECT_EQ(utf8_put_char(out, 4, 0xFFFFFFFF), -1);
    EXPECT_EQ(utf8_put_char(out, 4, 0x110000), -1);
    EXPECT_EQ(out[0], 1);
}

// The writers and readers are constexpr: a few facts checked by the compiler.
constexpr bool compile_time_round_trip() {
    std::uint8_t bytes[4] = {};
    std::uint16_t units[2] = {};
    CodePoint value = 0;
    return utf8_put_char(bytes, 4, 0x20AC) == 3 && bytes[0] == 0xE2 && bytes[1] == 0x82 && bytes[2] == 0xAC &&
           utf8_get_char(&value, bytes, 3) == 3 && value == 0x20AC &&
           utf16_put_char(units, 2, 0x1F600) == 2 && units[0] == 0xD83D && units[1] == 0xDE00 &&
           utf16_swapped_put_char(units, 2, 0x41) == 1 && units[0] == 0x4100 &&
           utf16_swapped_get_char(&value, units, 1) == 1 && value == 0x41;
}
static_assert(compile_time_round_trip());

}  // namespace
