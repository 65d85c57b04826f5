// libFuzzer target over the codec's readers, the validator and both forms
// of the step back. Every buffer is exactly as long as the input, so
// AddressSanitizer sees any read past it; the invariants below are checked
// with __builtin_trap, which the fuzzer reports as a crash.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <keymon/unicode/utf.h>

namespace {

void require(bool fact) {
    if (!fact) __builtin_trap();
}

// A value read in its shortest form writes back to the same bytes.
void check_utf8_reading(const std::uint8_t* data, std::size_t size) {
    for (std::size_t at = 0; at < size;) {
        CodePoint value = -7;
        const auto left = static_cast<std::uint32_t>(size - at);
        const std::int32_t n = utf8_get_char(&value, data + at, left);
        require(n == -1 || (n >= 1 && n <= 6 && static_cast<std::uint32_t>(n) <= left));
        if (n < 0) {
            require(value == -7);
            ++at;
            continue;
        }
        if (is_unicode_scalar(static_cast<std::uint32_t>(value))) {
            std::uint8_t again[4];
            require(utf8_put_char(again, 4, static_cast<std::uint32_t>(value)) == n);
            require(std::memcmp(again, data + at, static_cast<std::size_t>(n)) == 0);
        } else {
            // Surrogates, values above 0x10FFFF, five- and six-byte forms.
            std::uint8_t refused[8];
            require(utf8_put_char(refused, sizeof refused, static_cast<std::uint32_t>(value)) == -1);
        }
        at += static_cast<std::size_t>(n);
    }
}

// The validator against a walk with the reader and the scalar test.
void check_validator(const std::uint8_t* data, std::size_t size) {
    char* text = static_cast<char*>(std::malloc(size + 1));
    std::memcpy(text, data, size);
    text[size] = 0;
    const std::size_t length = std::strlen(text);
    int walk = 1;
    for (std::size_t at = 0; at < length;) {
        CodePoint value = 0;
        const std::int32_t n =
            utf8_get_char(&value, reinterpret_cast<const std::uint8_t*>(text) + at, static_cast<std::uint32_t>(length - at));
        if (n < 0 || !is_unicode_scalar(static_cast<std::uint32_t>(value))) {
            walk = 0;
            break;
        }
        at += static_cast<std::size_t>(n);
    }
    require(utf8_is_valid(text) == walk);
    std::free(text);
}

void check_step_back(const std::uint8_t* data, std::size_t size) {
    const std::uint8_t* start = data;
    const std::uint8_t* lead = nullptr;  // last non-continuation byte before pos
    for (const std::uint8_t* pos = start; pos <= start + size; ++pos) {
        const std::uint8_t* back = utf8_back_char_bounded(start, pos);
        require(pos == start ? back == start : back >= start && back < pos);
        if (lead) {
            require(utf8_back_char(pos) == back);
            require(back == lead);
        } else {
            require(back == start);
        }
        if (pos < start + size && (*pos & 0xC0) != 0x80) lead = pos;
    }
}

// Each unit pair read writes back to the same units, in either order.
template <auto Get, auto Put>
void check_utf16(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint16_t> units(size / 2);
    if (!units.empty()) std::memcpy(units.data(), data, units.size() * 2);
    for (std::size_t at = 0; at < units.size();) {
        CodePoint value = -7;
        const auto left = static_cast<std::uint32_t>(units.size() - at);
        const std::int32_t n = Get(&value, units.data() + at, left);
        require(n == -1 || n == 1 || (n == 2 && left >= 2));
        if (n < 0) {
            require(value == -7);
            ++at;
            continue;
        }
        std::uint16_t again[2];
        require(is_unicode_scalar(static_cast<std::uint32_t>(value)));
        require(Put(again, 2, static_cast<std::uint32_t>(value)) == n);
        require(std::memcmp(again, units.data() + at, static_cast<std::size_t>(n) * 2) == 0);
        at += static_cast<std::size_t>(n);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A private copy of exactly `size` bytes: the fuzzer's own buffer may be
    // followed by readable memory.
    std::uint8_t* copy = static_cast<std::uint8_t*>(std::malloc(size ? size : 1));
    if (size) std::memcpy(copy, data, size);
    check_utf8_reading(copy, size);
    check_validator(copy, size);
    check_step_back(copy, size);
    check_utf16<utf16_get_char, utf16_put_char>(copy, size);
    check_utf16<utf16_swapped_get_char, utf16_swapped_put_char>(copy, size);
    std::free(copy);
    return 0;
}
