// The search index kept on disk beside the catalogue, so that a restart maps it instead of
// building it. A snapshot names the catalogue it was made from (its identity) and the position
// in the catalogue's change log it holds; it is used only when the identity matches, the position
// is not past the catalogue's, and every check passes (checksums, then every offset, length and
// list), and otherwise is reported and not trusted. An older snapshot is caught up from the log.
//
// File: a header (magic, format, counts, the key's position, a table of sections each with its
// offset, length and checksum, then the header's own checksum) and the sections, each at a
// multiple of 64 bytes: the identity, the records (index_parts.h, byte for byte), the texts, the
// grams, a reference per gram and type into the coded lists, and the coded lists.
#pragma once

#include "index/share_index.h"

#include <cstdint>
#include <memory>
#include <string>

namespace cumulo::server {

struct SnapshotKey {
    std::string catalogue_identity;
    std::uint64_t position = 0;  // the last change of the catalogue's log the index holds
};

// Writes the snapshot through a temporary file that replaces `path` once it is complete and
// synced, so a crash leaves the old snapshot or the new one, never a half. Throws
// std::runtime_error when the file cannot be written.
void write_snapshot(const ShareIndex& index, const SnapshotKey& key, const std::string& path);

struct LoadedSnapshot {
    std::shared_ptr<const ShareIndex> index;  // empty when the snapshot cannot be used
    std::string problem;                      // then why, in a few words on one line
    std::uint64_t position = 0;               // the change the index holds the catalogue at
    std::string identity{};                   // the catalogue it was made from
};

// Maps the snapshot and checks it against `expected` before anything in it is used: the same
// catalogue, at `expected.position` or before it.
LoadedSnapshot load_snapshot(const std::string& path, const SnapshotKey& expected);

// Maps the snapshot and runs every check that needs no catalogue (checksums, structure), for a
// node that cannot reach its catalogue: which catalogue it was made from, and at which change, is
// for the caller to confirm once it can.
LoadedSnapshot load_snapshot_unconfirmed(const std::string& path);

}  // namespace cumulo::server
