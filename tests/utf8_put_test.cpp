// The UTF-8 writer over every code point, against glibc's iconv.
#include <gtest/gtest.h>
#include <iconv.h>

#include <cstring>
#include <vector>

#include "utf.h"

namespace {

static_assert(is_unicode_scalar(0) && is_unicode_scalar(0xD7FF) && is_unicode_scalar(0xE000) &&
              is_unicode_scalar(0x10FFFF));
static_assert(!is_unicode_scalar(0xD800) && !is_unicode_scalar(0xDFFF) && !is_unicode_scalar(0x110000) &&
              !is_unicode_scalar(0xFFFFFFFF));

// iconv's UTF-8 for one code point given as UTF-32LE; empty if it refuses.
std::vector<std::uint8_t> iconv_utf8(iconv_t cd, std::uint32_t value) {
    unsigned char in[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                           static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    unsigned char out[16];
    char* src = reinterpret_cast<char*>(in);
    char* dst = reinterpret_cast<char*>(out);
    std::size_t src_left = sizeof in, dst_left = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &src, &src_left, &dst, &dst_left) == static_cast<std::size_t>(-1)) return {};
    return {out, out + (sizeof out - dst_left)};
}

TEST(Utf8Put, EveryCodePointMatchesIconvOrIsRefusedUntouched) {
    iconv_t cd = iconv_open("UTF-8", "UTF-32LE");
    ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
    for (std::uint32_t value = 0; value <= 0x10FFFF; ++value) {
        const std::vector<std::uint8_t> oracle = iconv_utf8(cd, value);
        std::uint8_t out[8];
        std::memset(out, 0xAA, sizeof out);
        const std::int32_t n = utf8_put_char(out, sizeof out, value);
        if (oracle.empty()) {  // iconv refuses exactly the surrogates
            ASSERT_EQ(n, -1) << std::hex << value;
            ASSERT_EQ(is_unicode_scalar(value), 0);
            for (std::uint8_t byte : out) ASSERT_EQ(byte, 0xAA);
            continue;
        }
        ASSERT_EQ(is_unicode_scalar(value), 1) << std::hex << value;
        ASSERT_EQ(n, static_cast<std::int32_t>(oracle.size())) << std::hex << value;
        ASSERT_EQ(std::memcmp(out, oracle.data(), oracle.size()), 0) << std::hex << value;
        ASSERT_EQ(out[n], 0xAA) << "wrote past its length";
        // Every capacity below the length is refused before any byte is stored.
        for (std::uint32_t capacity = 0; capacity < oracle.size(); ++capacity) {
            std::uint8_t small[8];
            std::memset(small, 0xAA, sizeof small);
            ASSERT_EQ(utf8_put_char(small, capacity, value), -1);
            for (std::uint8_t byte : small) ASSERT_EQ(byte, 0xAA);
        }
    }
    iconv_close(cd);
}

TEST(Utf8Put, ValuesAboveTheRangeAreRefusedUntouched) {
    for (std::uint64_t value = 0x110000; value <= 0xFFFFFFFF; value = value * 3 + 1) {
        std::uint8_t out[8];
        std::memset(out, 0xAA, sizeof out);
        ASSERT_EQ(utf8_put_char(out, sizeof out, static_cast<std::uint32_t>(value)), -1);
        ASSERT_EQ(is_unicode_scalar(static_cast<std::uint32_t>(value)), 0);
        for (std::uint8_t byte : out) ASSERT_EQ(byte, 0xAA);
    }
    std::uint8_t out[4] = {1, 2, 3, 4};
    EXPECT_EQ(utf8_put_char(out, 4, 0xFFFFFFFF), -1);
    EXPECT_EQ(utf8_put_char(out, 4, 0x110000), -1);
    EXPECT_EQ(out[0], 1);
}

}  // namespace
