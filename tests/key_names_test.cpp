// The key name table against the enumeration's published shape.
#include <gtest/gtest.h>

#include <string>

#include "keymon.h"

namespace {

// The enumeration's gaps, where no row may exist.
bool in_gap(int key) {
    const int gaps[][2] = {{1, 7},    {10, 11},   {14, 18},   {20, 26},  {28, 31},
                           {37, 37},  {65, 90},   {123, 126}, {128, 159}, {297, 299}};
    for (const auto& gap : gaps) {
        if (key >= gap[0] && key <= gap[1]) return true;
    }
    return false;
}

TEST(KeyNameTable, HasOneRowPerEnumeratorThenTheTerminator) {
    int rows = 0;
    while (key_name_table[rows].key >= 0) ++rows;
    EXPECT_EQ(rows, 234);
    EXPECT_EQ(key_name_table[rows].key, -1);
    EXPECT_STREQ(key_name_table[rows].name, "");
}

TEST(KeyNameTable, RowsFollowHeaderOrderWithUnknownBeforeFirst) {
    EXPECT_STREQ(key_name_table[0].name, "SDLK_UNKNOWN");
    EXPECT_STREQ(key_name_table[1].name, "SDLK_FIRST");
    EXPECT_EQ(key_name_table[1].key, 0);
    for (int i = 2; i < key_name_count; ++i) {
        EXPECT_LT(key_name_table[i - 1].key, key_name_table[i].key) << key_name_table[i].name;
    }
    EXPECT_STREQ(key_name_table[key_name_count - 1].name, "SDLK_LAST");
    EXPECT_EQ(key_name_table[key_name_count - 1].key, 323);
}

// The pattern rows are checked against names built here from their values.
TEST(KeyNameLookup, NamesEveryValueOutsideTheGapsAndNothingElse) {
    for (int key = -1000; key <= 1000; ++key) {
        const char* name = lookup_key_name(key);
        const bool named = key >= 0 && key <= 323 && !in_gap(key);
        ASSERT_EQ(name != nullptr, named) << key;
        if (!named) continue;
        std::string expected;
        if (key >= 'a' && key <= 'z') expected = std::string("SDLK_") + char(key);
        if (key >= '0' && key <= '9') expected = std::string("SDLK_") + char(key);
        if (key >= 160 && key <= 255) expected = "SDLK_WORLD_" + std::to_string(key - 160);
        if (key >= 256 && key <= 265) expected = "SDLK_KP" + std::to_string(key - 256);
        if (key >= 282 && key <= 296) expected = "SDLK_F" + std::to_string(key - 281);
        if (!expected.empty()) {
            EXPECT_EQ(name, expected);
        }
    }
    for (std::int32_t key : {INT32_MIN, INT32_MAX, 324, 65536}) {
        EXPECT_EQ(lookup_key_name(key), nullptr) << key;
    }
}

TEST(KeyNameLookup, TellingRows) {
    const struct {
        std::int32_t key;
        const char* name;
    } rows[] = {{0, "SDLK_UNKNOWN"},   {8, "SDLK_BACKSPACE"}, {27, "SDLK_ESCAPE"}, {127, "SDLK_DELETE"},
                {271, "SDLK_KP_ENTER"}, {302, "SDLK_SCROLLOCK"}, {321, "SDLK_EURO"},  {322, "SDLK_UNDO"},
                {323, "SDLK_LAST"}};
    for (const auto& row : rows) {
        EXPECT_STREQ(lookup_key_name(row.key), row.name);
    }
}

}  // namespace
