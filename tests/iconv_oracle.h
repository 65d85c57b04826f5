// glibc's iconv as an independent oracle for the codec tests.
#pragma once

#include <iconv.h>

#include <cstdint>
#include <cstring>
#include <vector>

// One conversion descriptor, e.g. Iconv("UTF-32LE", "UTF-8").
struct Iconv {
    iconv_t cd;
    Iconv(const char* to, const char* from) : cd(iconv_open(to, from)) {}
    ~Iconv() {
        if (ok()) iconv_close(cd);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool ok() const { return cd != reinterpret_cast<iconv_t>(-1); }

    // Converts all of `in`; false if iconv refuses any of it (an invalid or
    // incomplete sequence), else `out` holds the result.
    bool convert(const void* in, std::size_t in_len, std::vector<std::uint8_t>& out) {
        out.resize(in_len * 4 + 16);
        char* src = static_cast<char*>(const_cast<void*>(in));
        char* dst = reinterpret_cast<char*>(out.data());
        std::size_t src_left = in_len, dst_left = out.size();
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd, &src, &src_left, &dst, &dst_left) == static_cast<std::size_t>(-1) || src_left != 0) {
            return false;
        }
        out.resize(out.size() - dst_left);
        return true;
    }
};

// UTF-32LE bytes as code points.
inline std::vector<std::uint32_t> utf32le_values(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint32_t> values(bytes.size() / 4);
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = bytes[4 * i] | bytes[4 * i + 1] << 8 | bytes[4 * i + 2] << 16 |
                    static_cast<std::uint32_t>(bytes[4 * i + 3]) << 24;
    }
    return values;
}
