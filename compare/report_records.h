// keymon's report lines read back by their structure.
#pragma once

#include <string>
#include <vector>

// keymon's report records in `text` from offset `at` on, each without its
// tag and its trailing blank and newline ("SDLK_a 0x26 0x61 a"). A record's
// text is as long as its Unicode value's UTF-8 form (none for 0 and for a
// surrogate), so a control character in it, a line feed too, stays in its
// record. Output that is no record is taken up to its newline; an
// unfinished record at the end is left for later.
std::vector<std::string> read_records(const std::string& text, std::size_t at = 0);

// A report line ("SDLK_a 0x26 0x61 a") in its parts, read as read_records
// reads a record; a line that is no record gives its first word as the
// name and what numbers follow it.
struct ReportLine {
    std::string name;
    unsigned scancode = 0, unicode = 0;
    std::string text;
};
ReportLine parse_report_line(const std::string& line);
