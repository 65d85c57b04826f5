#include "utf.h"

std::int32_t utf8_put_char(std::uint8_t* dst, std::uint32_t capacity, std::uint32_t value) {
    if (!is_unicode_scalar(value)) return -1;
    const std::uint32_t length = value <= 0x7F ? 1 : value <= 0x7FF ? 2 : value <= 0xFFFF ? 3 : 4;
    if (capacity < length) return -1;
    switch (length) {
    case 1:
        dst[0] = static_cast<std::uint8_t>(value);
        break;
    case 2:
        dst[0] = static_cast<std::uint8_t>(0xC0 | (value >> 6));
        dst[1] = static_cast<std::uint8_t>(0x80 | (value & 0x3F));
        break;
    case 3:
        dst[0] = static_cast<std::uint8_t>(0xE0 | (value >> 12));
        dst[1] = static_cast<std::uint8_t>(0x80 | ((value >> 6) & 0x3F));
        dst[2] = static_cast<std::uint8_t>(0x80 | (value & 0x3F));
        break;
    default:
        dst[0] = static_cast<std::uint8_t>(0xF0 | (value >> 18));
        dst[1] = static_cast<std::uint8_t>(0x80 | ((value >> 12) & 0x3F));
        dst[2] = static_cast<std::uint8_t>(0x80 | ((value >> 6) & 0x3F));
        dst[3] = static_cast<std::uint8_t>(0x80 | (value & 0x3F));
        break;
    }
    return static_cast<std::int32_t>(length);
}
