// Stateless UTF-8 and UTF-16 routines over caller-owned buffers.
//
// Result convention of every single-character reader and writer: the number
// of units consumed or produced (bytes for UTF-8, 16-bit units for UTF-16),
// at least 1, on success; 0 when there is nothing to read; -1 when the input
// is malformed, the code point is not allowed or the destination is too
// small. On -1 neither the destination nor the output code point is touched.
//
// Writers take (destination, capacity, code point); readers take (output,
// source, length). The single-character routines are defined here so that
// callers' loops inline them; nothing allocates and nothing keeps state.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

using CodePoint = std::int32_t;

// 1 if `value` is at most 0x10FFFF and outside 0xD800..0xDFFF, else 0.
constexpr int is_unicode_scalar(std::uint32_t value) {
    return value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF) ? 1 : 0;
}

// ---- UTF-8 ------------------------------------------------------------------

namespace utf_detail {

// Stores the first `n` bytes of `bytes` (the first byte lowest) with one
// store where the machine allows, as two or four bytes written at once cost
// less than one at a time.
template <std::uint32_t n>
constexpr void store_utf8(std::uint8_t* dst, std::uint32_t bytes) {
    if (!std::is_constant_evaluated() && std::endian::native == std::endian::little && n != 3) {
        if constexpr (n == 2) {
            const auto two = static_cast<std::uint16_t>(bytes);
            std::memcpy(dst, &two, 2);
        } else {
            std::memcpy(dst, &bytes, n);
        }
        return;
    }
    for (std::uint32_t i = 0; i < n; ++i) dst[i] = static_cast<std::uint8_t>(bytes >> (8 * i));
}

}  // namespace utf_detail

// Writes `value` as 1 to 4 bytes of shortest-form UTF-8 into `dst`; no
// terminating zero. Returns the byte count, or -1 when `value` is not a
// scalar value or `capacity` is too small (nothing is written then).
constexpr std::int32_t utf8_put_char(std::uint8_t* dst, std::uint32_t capacity, std::uint32_t value) {
    if (value < 0x80) [[likely]] {
        if (capacity < 1) return -1;
        dst[0] = static_cast<std::uint8_t>(value);
        return 1;
    }
    if (value < 0x800) {
        if (capacity < 2) return -1;
        utf_detail::store_utf8<2>(dst, (0xC0 | (value >> 6)) | (0x80 | (value & 0x3F)) << 8);
        return 2;
    }
    if (value < 0x10000) {
        if (capacity < 3 || (value >= 0xD800 && value <= 0xDFFF)) return -1;
        utf_detail::store_utf8<2>(dst, (0xE0 | (value >> 12)) | (0x80 | ((value >> 6) & 0x3F)) << 8);
        dst[2] = static_cast<std::uint8_t>(0x80 | (value & 0x3F));
        return 3;
    }
    if (capacity < 4 || value > 0x10FFFF) return -1;
    utf_detail::store_utf8<4>(dst, (0xF0 | (value >> 18)) | (0x80 | ((value >> 12) & 0x3F)) << 8 |
                                       (0x80 | ((value >> 6) & 0x3F)) << 16 | (0x80 | (value & 0x3F)) << 24);
    return 4;
}

namespace utf_detail {

// The five- and six-byte forms (first byte 0xF8..0xFD), rare in any text.
constexpr std::int32_t utf8_get_long(CodePoint* out, const std::uint8_t* src, std::uint32_t length,
                                     std::uint32_t first) {
    if (first > 0xFD) return -1;
    const std::uint32_t tail = first < 0xFC ? 4 : 5;
    if (length - 1 < tail) return -1;
    std::uint32_t value = first & (0x3Fu >> tail);
    for (std::uint32_t i = 1; i <= tail; ++i) {
        const std::uint32_t bits = src[i] ^ 0x80u;
        if (bits > 0x3F) return -1;
        value = (value << 6) | bits;
    }
    // The smallest value each form may carry: 0x200000, 0x4000000.
    if (value < (1u << (5 * tail + 1))) return -1;
    *out = static_cast<CodePoint>(value);
    return static_cast<std::int32_t>(tail + 1);
}

}  // namespace utf_detail

// Reads one character of 1 to 6 bytes from `src` (`length` bytes available)
// into `*out`. Overlong forms are refused; the value is not tested against
// the scalar rules, so surrogates, values up to 0x1FFFFF in four bytes and
// the old five- and six-byte forms (up to 31 bits) are read as they are.
// Returns the bytes consumed, 0 for an absent source or a zero length, -1
// for a malformed or cut-off sequence.
constexpr std::int32_t utf8_get_char(CodePoint* out, const std::uint8_t* src, std::uint32_t length) {
    if (src == nullptr || length == 0) return 0;
    const std::uint32_t first = src[0];
    if (first < 0x80) [[likely]] {
        *out = static_cast<CodePoint>(first);
        return 1;
    }
    // The continuation bytes of a form are tested together, each 10xxxxxx.
    // C2..DF in one test: below them are continuation bytes and C0/C1,
    // which can only start overlong forms.
    if (first - 0xC2 < 0x1E) {
        if (length < 2) return -1;
        const std::uint32_t b1 = src[1] ^ 0x80u;
        if (b1 > 0x3F) return -1;
        *out = static_cast<CodePoint>(((first & 0x1F) << 6) | b1);
        return 2;
    }
    if (first < 0xE0) return -1;
    if (first < 0xF0) {
        if (length < 3) return -1;
        const std::uint32_t tail = src[1] | static_cast<std::uint32_t>(src[2]) << 8;
        if ((tail & 0xC0C0) != 0x8080) return -1;
        const std::uint32_t value = ((first & 0x0F) << 12) | ((tail & 0x3F) << 6) | ((tail >> 8) & 0x3F);
        if (value < 0x800) return -1;
        *out = static_cast<CodePoint>(value);
        return 3;
    }
    if (first < 0xF8) {
        if (length < 4) return -1;
        const std::uint32_t all = first | static_cast<std::uint32_t>(src[1]) << 8 |
                                  static_cast<std::uint32_t>(src[2]) << 16 | static_cast<std::uint32_t>(src[3]) << 24;
        if ((all & 0xC0C0C000) != 0x80808000) return -1;
        const std::uint32_t value =
            ((first & 0x07) << 18) | ((all & 0x3F00) << 4) | ((all >> 10) & 0xFC0) | ((all >> 24) & 0x3F);
        if (value < 0x10000) return -1;
        *out = static_cast<CodePoint>(value);
        return 4;
    }
    return utf_detail::utf8_get_long(out, src, length, first);
}

// The first byte of the character that ends just before `pos`: moves back
// one byte, then over any continuation bytes (0x80..0xBF). It has no lower
// bound: there must be a non-continuation byte before `pos` in the same
// buffer. Use utf8_back_char_bounded where the text may be malformed.
constexpr const std::uint8_t* utf8_back_char(const std::uint8_t* pos) {
    do --pos;
    while ((*pos & 0xC0) == 0x80);
    return pos;
}

// As utf8_back_char, but never moves before `start`, the first byte of the
// text: from `start` itself it returns `start`, and a run of continuation
// bytes reaching back to `start` stops there.
constexpr const std::uint8_t* utf8_back_char_bounded(const std::uint8_t* start, const std::uint8_t* pos) {
    if (pos <= start) return start;
    do --pos;
    while (pos > start && (*pos & 0xC0) == 0x80);
    return pos;
}

// 1 if the zero-terminated `text` is a sequence of shortest-form UTF-8
// encodings of scalar values (the empty text is), 0 if not or if `text` is
// absent.
int utf8_is_valid(const char* text);

// ---- UTF-16 -----------------------------------------------------------------
// Native order is the machine's (UTF-16LE on the targets); the swapped
// routines store and fetch every unit with its two bytes exchanged.

namespace utf_detail {

constexpr std::uint32_t unit(std::uint16_t u, bool swapped) { return swapped ? __builtin_bswap16(u) : u; }

constexpr std::uint16_t store(std::uint32_t u, bool swapped) {
    return swapped ? __builtin_bswap16(static_cast<std::uint16_t>(u)) : static_cast<std::uint16_t>(u);
}

// A surrogate pair: byte-swapped, with one 32-bit write where that is
// possible (one exchange of four bytes for both units); in native order as
// two unit stores, which take fewer instructions than building the word.
template <bool swapped>
constexpr void store_pair(std::uint16_t* dst, std::uint32_t high, std::uint32_t low) {
    if (swapped && !std::is_constant_evaluated() && std::endian::native == std::endian::little) {
        const std::uint32_t both = swapped ? __builtin_bswap32(high << 16 | low) : low << 16 | high;
        std::memcpy(dst, &both, sizeof both);
        return;
    }
    dst[0] = store(high, swapped);
    dst[1] = store(low, swapped);
}

template <bool swapped>
constexpr std::int32_t utf16_get(CodePoint* out, const std::uint16_t* src, std::uint32_t count) {
    if (src == nullptr || count == 0) return 0;
    const std::uint32_t first = unit(src[0], swapped);
    if (first - 0xD800 < 0x800) {  // a surrogate, in one subtraction and one test
        if (count < 2) return -1;
        // Both units as stored, tested at once: a high surrogate, then a low one.
        const std::uint32_t stored = src[0] | static_cast<std::uint32_t>(src[1]) << 16;
        if ((stored & (swapped ? 0x00FC00FCu : 0xFC00FC00u)) != (swapped ? 0x00DC00D8u : 0xDC00D800u)) return -1;
        const std::uint32_t second = unit(static_cast<std::uint16_t>(stored >> 16), swapped);
        // ((high - 0xD800) << 10) + (low - 0xDC00) + 0x10000, folded.
        *out = static_cast<CodePoint>((first << 10) + second - ((0xD800u << 10) + 0xDC00 - 0x10000));
        return 2;
    }
    *out = static_cast<CodePoint>(first);
    return 1;
}

template <bool swapped>
constexpr std::int32_t utf16_put(std::uint16_t* dst, std::uint32_t capacity, std::uint32_t value) {
    // Below the surrogates is where nearly all text lives: one test. No
    // [[likely]] on it: with one the compiler lays a caller's loop out with
    // pairs behind a taken branch and a second one back (they ran at 0.76 of
    // ICU's loop); without, the loop is turned as ICU's is, one taken branch
    // for either form.
    if (value < 0xD800) {
        if (capacity < 1) return -1;
        dst[0] = store(value, swapped);
        return 1;
    }
    if (value < 0x10000) {
        if (value < 0xE000 || capacity < 1) return -1;
        dst[0] = store(value, swapped);
        return 1;
    }
    if (capacity < 2 || value > 0x10FFFF) return -1;
    // 0xD800 | ((value - 0x10000) >> 10) and 0xDC00 | (value - 0x10000) & 0x3FF,
    // without the subtraction: 0x10000 has no bits below bit 16.
    store_pair<swapped>(dst, (value >> 10) + (0xD800 - (0x10000 >> 10)), (value & 0x3FF) + 0xDC00);
    return 2;
}

}  // namespace utf_detail

// Reads one character from `count` native-order units at `src`: a unit that
// is not a surrogate, or a high surrogate followed by a low one. Returns the
// units consumed (1 or 2), 0 for an absent source or a count of 0, -1 for a
// lone or cut-off surrogate.
constexpr std::int32_t utf16_get_char(CodePoint* out, const std::uint16_t* src, std::uint32_t count) {
    return utf_detail::utf16_get<false>(out, src, count);
}

// Writes `value` as one native-order unit, or a surrogate pair above 0xFFFF.
// Returns the units written (1 or 2), or -1 when `value` is not a scalar
// value or `capacity` is too small (nothing is written then).
constexpr std::int32_t utf16_put_char(std::uint16_t* dst, std::uint32_t capacity, std::uint32_t value) {
    return utf_detail::utf16_put<false>(dst, capacity, value);
}

// utf16_get_char over byte-swapped units (UTF-16BE on the targets).
constexpr std::int32_t utf16_swapped_get_char(CodePoint* out, const std::uint16_t* src, std::uint32_t count) {
    return utf_detail::utf16_get<true>(out, src, count);
}

// utf16_put_char storing byte-swapped units (UTF-16BE on the targets).
constexpr std::int32_t utf16_swapped_put_char(std::uint16_t* dst, std::uint32_t capacity, std::uint32_t value) {
    return utf_detail::utf16_put<true>(dst, capacity, value);
}
