// Counting a monitor's report lines against the lines expected of it, by
// content: a count of lines says nothing when some are lost and others
// doubled.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct LineMatch {
    std::size_t matched = 0;       // the longest run of got lines found in expected order
    std::size_t lost = 0;          // expected lines that never came
    std::size_t extra = 0;         // got lines beyond what was expected of their content
    std::size_t out_of_order = 0;  // expected lines that came, but not in their place
};

// Lines of text, each without its newline; a last line without one counts.
std::vector<std::string> split_lines(const std::string& text);

// lost and extra compare how often each distinct line was expected and came;
// matched is the longest common subsequence of the two lists, and the lines
// that came as expected but outside it are out of order. So
// expected.size() == matched + lost + out_of_order and
// got.size() == matched + extra + out_of_order.
LineMatch match_lines(const std::vector<std::string>& expected, const std::vector<std::string>& got);
