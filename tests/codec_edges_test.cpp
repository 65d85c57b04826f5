// What the exhaustive sweeps cannot reach: absent sources and texts, the
// step back at the edges of a buffer, and the locale reader.
// The codec's headers come first: each must compile on its own.
#include <keymon/unicode/locale_char.h>
#include <keymon/unicode/utf.h>

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>

namespace {

const std::uint8_t* bytes(const char* text) { return reinterpret_cast<const std::uint8_t*>(text); }

TEST(CodecEdges, AbsentSourcesReadNothingAndLeaveTheOutputAlone) {
    const std::uint16_t unit = 0x41;
    CodePoint out = -7;
    EXPECT_EQ(utf8_get_char(&out, nullptr, 5), 0);
    EXPECT_EQ(utf8_get_char(&out, bytes("A"), 0), 0);
    EXPECT_EQ(utf16_get_char(&out, nullptr, 5), 0);
    EXPECT_EQ(utf16_get_char(&out, &unit, 0), 0);
    // The swapped reader once dereferenced an absent source with a count.
    EXPECT_EQ(utf16_swapped_get_char(&out, nullptr, 5), 0);
    EXPECT_EQ(utf16_swapped_get_char(&out, &unit, 0), 0);
    EXPECT_EQ(out, -7);
}

TEST(CodecEdges, AbsentTextIsNotValidAndEmptyTextIs) {
    EXPECT_EQ(utf8_is_valid(nullptr), 0);
    EXPECT_EQ(utf8_is_valid(""), 1);
}

TEST(CodecEdges, BoundedStepBackNeverLeavesTheText) {
    // Nothing but continuation bytes: the one-argument form would walk out
    // of the buffer here.
    const std::uint8_t text[] = {0x80, 0xBF, 0x80, 0x80};
    for (std::size_t from = 0; from <= sizeof text; ++from) {
        EXPECT_EQ(utf8_back_char_bounded(text, text + from), text) << from;
    }
    const std::uint8_t after_lead[] = {0xE2, 0x82, 0x82, 0x82, 0x82};
    EXPECT_EQ(utf8_back_char_bounded(after_lead, after_lead + 5), after_lead);
    EXPECT_EQ(utf8_back_char_bounded(after_lead + 1, after_lead + 5), after_lead + 1);
}

// Runs with LC_CTYPE set to `name`, restoring "C" after.
struct LocaleScope {
    explicit LocaleScope(const char* name) : ok(std::setlocale(LC_CTYPE, name) != nullptr) {}
    ~LocaleScope() { std::setlocale(LC_CTYPE, "C"); }
    bool ok;
};

struct LocaleCase {
    const char* text;
    std::int32_t result;
    CodePoint value;
};

void check_locale_cases(const char* locale, std::initializer_list<LocaleCase> cases) {
    LocaleScope scope(locale);
    ASSERT_TRUE(scope.ok) << locale;
    for (const LocaleCase& c : cases) {
        CodePoint out = -7;
        EXPECT_EQ(locale_get_char(&out, c.text), c.result) << locale << ": " << c.text;
        EXPECT_EQ(out, c.value) << locale << ": " << c.text;
    }
}

TEST(LocaleGetChar, DefaultLocaleReadsOneAsciiCharacter) {
    check_locale_cases("C", {{"A", 1, 0x41}, {"Az", 1, 0x41}, {"", 0, 0}, {nullptr, 0, 0}});
}

TEST(LocaleGetChar, Utf8LocaleCountsCharactersNotBytes) {
    check_locale_cases("C.UTF-8", {
                                      {"\xC3\xA9", 1, 0xE9},
                                      {"\xE2\x82\xAC!", 1, 0x20AC},
                                      {"\xF0\x9F\x98\x80", 1, 0x1F600},
                                      {"\xC3", -1, 0},
                                      {"\x80", -1, 0},
                                      {"", 0, 0},
                                      // An absent text once reached the C library as a null pointer.
                                      {nullptr, 0, 0},
                                  });
}

}  // namespace
