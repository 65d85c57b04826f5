// Stateless UTF-8 and UTF-16 routines over caller-owned buffers.
//
// Result convention of every single-character reader and writer: the number
// of units consumed or produced (bytes for UTF-8, 16-bit units for UTF-16),
// at least 1, on success; 0 when there is nothing to read; -1 when the input
// is malformed, the code point is not allowed or the destination is too
// small. On -1 neither the destination nor the output code point is touched.
#pragma once

#include <cstdint>

using CodePoint = std::int32_t;

// 1 if `value` is at most 0x10FFFF and outside 0xD800..0xDFFF, else 0.
constexpr int is_unicode_scalar(std::uint32_t value) {
    return value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF) ? 1 : 0;
}

// Writes `value` as 1 to 4 bytes of shortest-form UTF-8 into `dst`; no
// terminating zero. Returns the byte count, or -1 when `value` is not a
// scalar value or `capacity` is too small (nothing is written then).
std::int32_t utf8_put_char(std::uint8_t* dst, std::uint32_t capacity, std::uint32_t value);
