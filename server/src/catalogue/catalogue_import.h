// Writes of shares in JSON Lines, from a file or a request body: one share per line, an object
// with "name", "type", "size", "uk" and either "shareid" or "code" (numbers may be JSON numbers
// or digit strings), or for a removal just the identity ("shareid" and "uk", or "code").
// One input is one transaction: when any line is bad, nothing is written, and the bad lines are
// counted and the first max_reported_bad_lines of them reported by number.
#pragma once

#include "catalogue/catalogue_of_record.h"

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
// One line naming a share to remove: "shareid" and "uk", or "code" (with "uk", the owner must
// match too). Other members, such as those of a whole share, are ignored.
ParsedShareLine parse_identity_line(std::string_view line);

struct BadLine {
    std::uint64_t number;  // 1-based
    std::string reason;

    bool operator==(const BadLine&) const = default;
};

struct ImportReport {
    // What was written; all 0 when any line is bad.
    std::uint64_t added = 0;
    std::uint64_t replaced = 0;
    std::uint64_t removed = 0;
    std::uint64_t not_found = 0;  // removals of shares the catalogue does not hold
    std::vector<BadLine> bad_lines;  // the first max_reported_bad_lines
    std::uint64_t bad_line_count = 0;
};

// Adds each share, or replaces the one with its identity (Catalogue::put). Blank lines are
// skipped. A share whose identity came earlier in the input is a bad line.
ImportReport import_shares(CatalogueOfRecord& catalogue, std::istream& input);

// The shares of an input, read before anything is written: a writer can then lay them over the
// index while the catalogue takes them (catalogue_writer.h).
struct ShareLines {
    struct Numbered {
        std::uint64_t number;  // the line's, from 1
        Share share;
    };
    std::vector<Numbered> shares;  // the lines read, in order
    ImportReport unreadable;       // the lines that could not be read: its bad lines only
};
ShareLines read_share_lines(std::istream& input);
// import_shares of what read_share_lines read: the same writes and the same report.
ImportReport import_shares(CatalogueOfRecord& catalogue, const ShareLines& lines);
// Removes the shares the lines name. Blank lines are skipped.
ImportReport remove_shares(CatalogueOfRecord& catalogue, std::istream& input);

}  // namespace cumulo::server
