// The UTF-8 reader and validator over every sequence of one to three bytes,
// a large sample of longer ones and of mixed texts: the reader against a
// deliberately plain reading of the rules, the validator against glibc's
// iconv, and the reader against iconv wherever both accept.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "iconv_oracle.h"
#include <keymon/unicode/utf.h>

namespace {

struct Reading {
    std::int32_t result;
    std::uint32_t value;
};

// The reader's rules, written plainly: the first byte's leading ones give the
// length; every later byte must be 10xxxxxx; the value must need more bits
// than the next shorter form holds. No test against the scalar rules.
Reading reference_get(const std::uint8_t* s, std::uint32_t length) {
    if (length == 0) return {0, 0};
    int ones = 0;
    while (ones < 8 && (s[0] & (0x80 >> ones))) ++ones;
    if (ones == 0) return {1, s[0]};
    if (ones == 1 || ones > 6 || static_cast<std::uint32_t>(ones) > length) return {-1, 0};
    std::uint32_t value = s[0] & ((1u << (7 - ones)) - 1);
    for (int i = 1; i < ones; ++i) {
        if (s[i] >> 6 != 2) return {-1, 0};
        value = value << 6 | (s[i] & 0x3F);
    }
    const int bits_of_shorter_form[] = {0, 0, 7, 11, 16, 21, 26};
    if (value < (1u << bits_of_shorter_form[ones])) return {-1, 0};
    return {ones, value};
}

// Checks one sequence of bytes (the reader over all of it, the validator
// over it as a zero-terminated text) and returns iconv's verdict.
class SequenceCheck {
public:
    bool check(const std::uint8_t* bytes, std::uint32_t length) {
        CodePoint got = -7;
        const std::int32_t n = utf8_get_char(&got, bytes, length);
        const Reading want = reference_get(bytes, length);
        EXPECT_EQ(n, want.result) << dump(bytes, length);
        if (n > 0) {
            EXPECT_EQ(static_cast<std::uint32_t>(got), want.value) << dump(bytes, length);
        } else {
            EXPECT_EQ(got, -7) << "output touched on failure: " << dump(bytes, length);
        }

        // The validator sees the text up to its first zero byte.
        text_.assign(reinterpret_cast<const char*>(bytes), length);
        text_.resize(std::strlen(text_.c_str()));
        const bool accepted = iconv_.convert(text_.data(), text_.size(), converted_);
        EXPECT_EQ(utf8_is_valid(text_.c_str()), accepted ? 1 : 0) << dump(bytes, length);

        // One character filling the whole sequence: iconv agrees on every
        // scalar value. The reader is more lenient than iconv, by design,
        // for surrogates, values above 0x10FFFF and five- or six-byte forms.
        if (n == static_cast<std::int32_t>(length) && bytes[0] != 0) {
            if (is_unicode_scalar(static_cast<std::uint32_t>(got))) {
                EXPECT_TRUE(accepted) << dump(bytes, length);
                if (accepted) {
                    EXPECT_EQ(utf32le_values(converted_), std::vector<std::uint32_t>{std::uint32_t(got)});
                }
            } else {
                EXPECT_FALSE(accepted) << dump(bytes, length);
            }
        }
        return accepted;
    }

    bool failed() const { return ::testing::Test::HasFailure(); }

    static std::string dump(const std::uint8_t* bytes, std::uint32_t length) {
        std::string text;
        char hex[4];
        for (std::uint32_t i = 0; i < length; ++i) {
            std::snprintf(hex, sizeof hex, "%02X ", bytes[i]);
            text += hex;
        }
        return text;
    }

private:
    Iconv iconv_{"UTF-32LE", "UTF-8"};
    std::string text_;
    std::vector<std::uint8_t> converted_;
};

TEST(Utf8Readers, EveryOneTwoAndThreeByteSequenceFollowsTheRulesAndIconv) {
    SequenceCheck check;
    for (std::uint32_t length = 1; length <= 3; ++length) {
        for (std::uint32_t bits = 0; bits < (1u << (8 * length)); ++bits) {
            std::uint8_t bytes[3];
            for (std::uint32_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(bits >> (8 * (length - 1 - i)));
            check.check(bytes, length);
            if (check.failed()) return;  // one report, not millions
        }
    }
}

TEST(Utf8Readers, SampledFourToSixByteSequencesFollowTheRulesAndIconv) {
    SequenceCheck check;
    std::mt19937 random(12345);
    std::size_t accepted = 0;
    for (int i = 0; i < 3000000; ++i) {
        const std::uint32_t length = 4 + random() % 3;
        std::uint8_t bytes[6];
        // Mostly lead bytes of the long forms followed by continuation bytes,
        // so that most samples come near to being well-formed.
        bytes[0] = static_cast<std::uint8_t>(random() % 4 ? 0xF0 + random() % 16 : random() % 256);
        for (std::uint32_t k = 1; k < length; ++k) {
            bytes[k] = static_cast<std::uint8_t>(random() % 8 ? 0x80 + random() % 64 : random() % 256);
        }
        accepted += check.check(bytes, length);
        if (check.failed()) return;
    }
    EXPECT_GT(accepted, 100000u) << "the sample hardly reaches well-formed sequences";
}

// Random text from characters of every length, sometimes corrupted.
std::string random_text(std::mt19937& random, std::size_t chars) {
    static const std::uint32_t ranges[][2] = {
        {0x01, 0x7F}, {0x80, 0x7FF}, {0x800, 0xFFFF}, {0x10000, 0x10FFFF}, {0xD7F0, 0xE010}, {0x41, 0x5A}};
    std::string text;
    for (std::size_t i = 0; i < chars; ++i) {
        const auto& r = ranges[random() % 6];
        const std::uint32_t value = r[0] + random() % (r[1] - r[0] + 1);
        std::uint8_t bytes[4];
        const std::int32_t n = utf8_put_char(bytes, 4, value);
        if (n > 0) text.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(n));
    }
    if (!text.empty() && random() % 2) {
        const std::size_t at = random() % text.size();
        switch (random() % 3) {
        case 0: text[at] = static_cast<char>(random() % 256); break;
        case 1: text.erase(at, 1); break;
        default: text.insert(at, 1, static_cast<char>(0x80 + random() % 128)); break;
        }
    }
    return text;
}

TEST(Utf8Readers, MixedTextsOfEveryLengthAreJudgedAsIconvJudgesThem) {
    Iconv cd("UTF-32LE", "UTF-8");
    std::vector<std::uint8_t> out;
    std::mt19937 random(777);
    int valid = 0;
    for (int i = 0; i < 60000; ++i) {
        // Long texts cross the validator's blocks at every offset.
        std::string text = random_text(random, i % 10 == 0 ? random() % 2000 : random() % 80);
        text.resize(std::strlen(text.c_str()));
        const bool accepted = cd.convert(text.data(), text.size(), out);
        valid += accepted;
        ASSERT_EQ(utf8_is_valid(text.c_str()), accepted ? 1 : 0)
            << SequenceCheck::dump(reinterpret_cast<const std::uint8_t*>(text.data()),
                                   static_cast<std::uint32_t>(text.size()));
        if (!accepted) continue;
        // A valid text read character by character gives iconv's values, and
        // stepping back from each end finds each start again.
        const auto* begin = reinterpret_cast<const std::uint8_t*>(text.data());
        const auto* end = begin + text.size();
        std::vector<std::uint32_t> values;
        for (const std::uint8_t* p = begin; p < end;) {
            CodePoint value = 0;
            const std::int32_t n = utf8_get_char(&value, p, static_cast<std::uint32_t>(end - p));
            ASSERT_GT(n, 0);
            values.push_back(static_cast<std::uint32_t>(value));
            ASSERT_EQ(utf8_back_char(p + n), p);
            ASSERT_EQ(utf8_back_char_bounded(begin, p + n), p);
            p += n;
        }
        ASSERT_EQ(values, utf32le_values(out));
    }
    EXPECT_GT(valid, 20000);
    EXPECT_LT(valid, 50000);
}

TEST(Utf8Readers, SequencesAtEveryOffsetOfAnAsciiTextAreJudgedAsIconvJudgesThem) {
    const std::vector<std::string> pieces = {
        "\xC2\x80", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF",
        "\xC2", "\xE2\x82", "\xF0\x9F\x98", "\x80", "\xBF\xBF", "\xC1\xBF", "\xE0\x9F\xBF", "\xED\xA0\x80",
        "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xF8\x88\x80\x80\x80", "\xFE", "\xFF",
        "\xE2\x82\xAC\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"};
    Iconv cd("UTF-32LE", "UTF-8");
    std::vector<std::uint8_t> out;
    for (const std::string& piece : pieces) {
        for (std::size_t before = 0; before <= 100; ++before) {
            for (std::size_t after : {0, 1, 2, 3, 31, 32, 33, 63, 64, 65}) {
                const std::string text = std::string(before, 'a') + piece + std::string(after, 'b');
                const bool accepted = cd.convert(text.data(), text.size(), out);
                ASSERT_EQ(utf8_is_valid(text.c_str()), accepted ? 1 : 0)
                    << SequenceCheck::dump(reinterpret_cast<const std::uint8_t*>(piece.data()),
                                           static_cast<std::uint32_t>(piece.size()))
                    << "after " << before << " and before " << after << " ASCII bytes";
            }
        }
    }
}

}  // namespace
