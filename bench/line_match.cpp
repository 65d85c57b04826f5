#include "line_match.h"

#include <algorithm>
#include <unordered_map>

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

namespace {

// Length of the longest common subsequence by Myers' O((N+M)D) search: a
// monitor that keeps up differs from the expected lines in few places, and
// even one that loses nearly all of a burst takes well under a second.
std::size_t common_subsequence(const std::vector<int>& a, const std::vector<int>& b) {
    const long n = static_cast<long>(a.size()), m = static_cast<long>(b.size()), max = n + m;
    std::vector<long> furthest(static_cast<std::size_t>(2 * max + 3), 0);
    const long offset = max + 1;
    for (long d = 0; d <= max; ++d) {
        for (long k = -d; k <= d; k += 2) {
            long x = (k == -d || (k != d && furthest[k - 1 + offset] < furthest[k + 1 + offset]))
                         ? furthest[k + 1 + offset]
                         : furthest[k - 1 + offset] + 1;
            long y = x - k;
            while (x < n && y < m && a[x] == b[y]) ++x, ++y;
            furthest[k + offset] = x;
            if (x >= n && y >= m) return static_cast<std::size_t>((n + m - d) / 2);
        }
    }
    return 0;
}

}  // namespace

LineMatch match_lines(const std::vector<std::string>& expected, const std::vector<std::string>& got) {
    std::unordered_map<std::string, int> ids;
    std::vector<long> balance;  // per distinct line: expected minus got
    auto intern = [&](const std::string& line) {
        const auto [at, added] = ids.try_emplace(line, static_cast<int>(ids.size()));
        if (added) balance.push_back(0);
        return at->second;
    };
    std::vector<int> a, b;
    for (const std::string& line : expected) a.push_back(intern(line)), ++balance[a.back()];
    for (const std::string& line : got) b.push_back(intern(line)), --balance[b.back()];
    LineMatch match;
    match.matched = common_subsequence(a, b);
    for (long left : balance) {
        if (left > 0) match.lost += static_cast<std::size_t>(left);
        if (left < 0) match.extra += static_cast<std::size_t>(-left);
    }
    match.out_of_order = expected.size() - match.matched - match.lost;
    return match;
}
