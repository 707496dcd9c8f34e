// The search index the service starts with: the snapshot kept beside the catalogue when it was
// made from this catalogue at its current position and passes every check, or else one built from
// the catalogue, which then replaces the snapshot for the next start.
#pragma once

#include "index/share_index.h"

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

namespace cumulo::server {

struct StartIndex {
    std::shared_ptr<const ShareIndex> index;
    std::uint64_t position = 0;  // the catalogue's change-log position the index holds
};

// Where the snapshot of a catalogue's index is kept: beside it.
std::string snapshot_path_for(const std::string& catalogue_path);

// Reports on `log`, one line each, why a snapshot was not used, and what was built or loaded.
StartIndex open_start_index(const std::string& catalogue_path, const std::string& snapshot_path, std::ostream& log);

}  // namespace cumulo::server
