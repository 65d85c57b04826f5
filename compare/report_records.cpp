// keymon's report lines read back by their structure.
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include <keymon/unicode/utf.h>

#include "report_records.h"
#include "interface.h"

namespace {

constexpr std::size_t tag_size = sizeof keymon_report_tag - 1;

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

enum class Read { record, not_a_record, unfinished };

// Reads "0x", up to eight lower-case hexadecimal digits and a blank, as
// keymon's "0x%x " writes them; advances `at` past the blank.
Read read_hex(const std::string& text, std::size_t& at, unsigned& value) {
    std::size_t pos = at;
    for (const char c : {'0', 'x'}) {
        if (pos == text.size()) return Read::unfinished;
        if (text[pos++] != c) return Read::not_a_record;
    }
    value = 0;
    for (std::size_t digits = 0;; ++digits, ++pos) {
        if (pos == text.size()) return Read::unfinished;
        if (text[pos] == ' ' && digits > 0) break;
        const int digit = hex_digit(text[pos]);
        if (digit < 0 || digits == 8) return Read::not_a_record;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    at = pos + 1;
    return Read::record;
}

// The bytes keymon writes for `unicode`: its UTF-8 form, none for 0 and
// for a value the writer refuses.
std::size_t text_length(unsigned unicode) {
    std::uint8_t bytes[4];
    const std::int32_t written = unicode == 0 ? 0 : utf8_put_char(bytes, sizeof bytes, unicode);
    return written > 0 ? static_cast<std::size_t>(written) : 0;
}

// Reads one record at `at`: its bare text (without tag, trailing blank and
// newline) and its fields.
Read read_record(const std::string& text, std::size_t& at, std::string& bare, ReportLine& fields) {
    const std::size_t left = text.size() - at;
    if (text.compare(at, std::min(left, tag_size), keymon_report_tag, std::min(left, tag_size)) != 0) {
        return Read::not_a_record;
    }
    if (left < tag_size) return Read::unfinished;
    std::size_t pos = at + tag_size;
    const std::size_t blank = text.find_first_of(" \n", pos);
    if (blank == std::string::npos) return Read::unfinished;
    if (blank == pos || text[blank] != ' ') return Read::not_a_record;
    const std::size_t name_at = pos;
    pos = blank + 1;
    unsigned scancode = 0, unicode = 0;
    for (unsigned* value : {&scancode, &unicode}) {
        if (const Read read = read_hex(text, pos, *value); read != Read::record) return read;
    }
    const std::size_t end = pos + text_length(unicode);
    if (end + 2 > text.size()) return Read::unfinished;
    if (text.compare(end, 2, " \n") != 0) return Read::not_a_record;
    bare = text.substr(at + tag_size, end - at - tag_size);
    fields = {text.substr(name_at, blank - name_at), scancode, unicode, text.substr(pos, end - pos)};
    at = end + 2;
    return Read::record;
}

}  // namespace

std::vector<std::string> read_records(const std::string& text, std::size_t at) {
    std::vector<std::string> records;
    while (at < text.size()) {
        std::string bare;
        ReportLine fields;
        const Read read = read_record(text, at, bare, fields);
        if (read == Read::unfinished) break;
        if (read == Read::not_a_record) {
            const std::size_t newline = text.find('\n', at);
            if (newline == std::string::npos) break;
            bare = text.substr(at, newline - at);
            at = newline + 1;
        }
        records.push_back(std::move(bare));
    }
    return records;
}

ReportLine parse_report_line(const std::string& line) {
    // A record as read_records gave it reads back the same way.
    const std::string record = keymon_report_tag + line + " \n";
    std::size_t at = 0;
    std::string bare;
    ReportLine parsed;
    if (read_record(record, at, bare, parsed) == Read::record && at == record.size()) return parsed;
    // Any other line: its words, as far as they go.
    parsed = ReportLine{};
    const std::size_t a = line.find(' ');
    const std::size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
    const std::size_t c = b == std::string::npos ? b : line.find(' ', b + 1);
    parsed.name = line.substr(0, a);
    // A line with an empty text may have lost its last blank on the way.
    if (a != std::string::npos) parsed.scancode = static_cast<unsigned>(std::strtoul(line.c_str() + a + 1, nullptr, 16));
    if (b != std::string::npos) parsed.unicode = static_cast<unsigned>(std::strtoul(line.c_str() + b + 1, nullptr, 16));
    if (c != std::string::npos) parsed.text = line.substr(c + 1);
    return parsed;
}
