// One public share of the catalogue and the few facts about it that every part of the
// service agrees on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace cumulo::server {

enum class ShareType { album, file, folder };

// The English type word as the API carries it ("album", "file", "folder").
std::string_view type_word(ShareType type);
std::optional<ShareType> type_from_word(std::string_view word);

// Largest share id, owner key and size we store: SQLite integers are signed 64-bit.
inline constexpr std::uint64_t max_stored_number = INT64_MAX;
inline constexpr std::size_t max_name_bytes = 1024;
inline constexpr std::size_t max_code_bytes = 64;

struct Share {
    std::string name;
    ShareType type = ShareType::file;
    std::uint64_t size = 0;
    // A share is addressed either by its numeric id (non-zero) or by a short code (non-empty),
    // never both; uk is the owner's key in either case.
    std::uint64_t shareid = 0;
    std::string code;
    std::uint64_t uk = 0;

    bool operator==(const Share&) const = default;
};

// "<shareid>|<uk>" or "<code>|<uk>": what the client keeps to build the share-page address.
std::string id_and_owner(const Share& share);

// A short code must not read as a positive number on the client, or the client would build
// the numeric share-page address for it: letters, digits, '-' and '_', not starting with a digit.
bool is_valid_code(std::string_view code);

// Why a share cannot be stored (names are non-empty UTF-8 without NUL, at most
// max_name_bytes long; numbers fit SQLite), or an empty text when it can.
std::string share_problem(const Share& share);

}  // namespace cumulo::server
