// Import of a catalogue in JSON Lines: one share per line, an object with "name", "type",
// "size", "uk" and either "shareid" or "code". Numbers may be JSON numbers or digit strings.
// The import is one transaction: when any line is bad, nothing is added, and the bad lines are
// counted and the first max_reported_bad_lines of them reported by number.
#pragma once

#include "catalogue/catalogue.h"

#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

namespace cumulo::server {

inline constexpr std::size_t max_line_bytes = 64 * 1024;
inline constexpr std::size_t max_reported_bad_lines = 200;

struct ParsedShareLine {
    Share share;
    std::string error;  // empty when share is valid
};

// One line, without its line break.
ParsedShareLine parse_share_line(std::string_view line);

struct BadLine {
    std::uint64_t number;  // 1-based
    std::string reason;

    bool operator==(const BadLine&) const = default;
};

struct ImportReport {
    std::uint64_t added = 0;
    std::vector<BadLine> bad_lines;  // the first max_reported_bad_lines
    std::uint64_t bad_line_count = 0;
};

// Blank lines are skipped. A share already in the catalogue, or earlier in the input, is a bad line.
ImportReport import_shares(Catalogue& catalogue, std::istream& input);

}  // namespace cumulo::server
