// The UTF-16 readers over every unit alone and every pair of units that
// starts with a surrogate, in both byte orders, against glibc's iconv.
#include <gtest/gtest.h>

#include <vector>

#include "iconv_oracle.h"
#include <keymon/unicode/utf.h>

namespace {

struct Order {
    const char* iconv_name;
    std::int32_t (*get)(CodePoint* out, const std::uint16_t* src, std::uint32_t count);
    bool swapped;
};

void check_order(const Order& order) {
    Iconv cd("UTF-32LE", order.iconv_name);
    ASSERT_TRUE(cd.ok());
    std::vector<std::uint8_t> out;
    auto as_stored = [&](std::uint32_t unit) {
        return static_cast<std::uint16_t>(order.swapped ? (unit >> 8 | unit << 8) : unit);
    };
    // iconv's verdict on these units, in the order's byte layout; the test
    // runs on little-endian machines, where native order is UTF-16LE.
    auto oracle = [&](const std::uint16_t* units, std::size_t count, std::uint32_t& value) {
        if (!cd.convert(units, count * 2, out)) return false;
        const std::vector<std::uint32_t> values = utf32le_values(out);
        if (values.size() != 1) return false;
        value = values[0];
        return true;
    };
    for (std::uint32_t first = 0; first <= 0xFFFF; ++first) {
        std::uint16_t units[2] = {as_stored(first), 0};
        std::uint32_t want = 0;
        CodePoint got = -7;
        std::int32_t n = order.get(&got, units, 1);
        if (oracle(units, 1, want)) {
            ASSERT_EQ(n, 1) << std::hex << first;
            ASSERT_EQ(static_cast<std::uint32_t>(got), want) << std::hex << first;
        } else {
            ASSERT_EQ(n, -1) << std::hex << first;
            ASSERT_EQ(got, -7) << std::hex << first;
        }
        if (first < 0xD800 || first > 0xDFFF) continue;
        for (std::uint32_t second = 0; second <= 0xFFFF; ++second) {
            units[1] = as_stored(second);
            got = -7;
            n = order.get(&got, units, 2);
            if (oracle(units, 2, want)) {
                ASSERT_EQ(n, 2) << std::hex << first << ' ' << second;
                ASSERT_EQ(static_cast<std::uint32_t>(got), want) << std::hex << first << ' ' << second;
            } else {
                // A pair iconv refuses is refused whole; a first unit that
                // stands alone would have been read as one unit above.
                ASSERT_EQ(n, -1) << std::hex << first << ' ' << second;
                ASSERT_EQ(got, -7) << std::hex << first << ' ' << second;
            }
        }
    }
}

TEST(Utf16Readers, NativeOrderAgreesWithIconvOnEveryUnitAndSurrogatePair) {
    check_order({"UTF-16LE", utf16_get_char, false});
}

TEST(Utf16Readers, SwappedOrderAgreesWithIconvOnEveryUnitAndSurrogatePair) {
    check_order({"UTF-16BE", utf16_swapped_get_char, true});
}

}  // namespace
