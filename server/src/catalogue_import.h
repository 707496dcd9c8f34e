// Import of a catalogue in JSON Lines: one share per line, an object with "name", "type",
// "size", "uk" and either "shareid" or "code". Numbers may be JSON numbers or digit strings.
// The import is one transaction: when any line is bad, every bad line is reported by number
// and nothing is added.
#pragma once

#include "catalogue.h"

#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

namespace cumulo::server {

inline constexpr std::size_t max_line_bytes = 64 * 1024;

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
    std::vector<BadLine> bad_lines;
};

// Blank lines are skipped. A share already in the catalogue, or earlier in the input, is a bad line.
ImportReport import_shares(Catalogue& catalogue, std::istream& input);

}  // namespace cumulo::server
