// The search index the service starts with: the snapshot kept beside the catalogue when it was
// made from this catalogue at its current position and passes every check, or else one built from
// the catalogue, which then replaces the snapshot for the next start.
#pragma once

#include "catalogue/catalogue.h"
#include "index/base_index.h"

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

namespace cumulo::server {

// Where the snapshot of a catalogue's index is kept: beside it.
std::string snapshot_path_for(const std::string& catalogue_path);

// Reports on `log`, one line each, why a snapshot was not used, and what was built or loaded.
// `access` is how the catalogue is read (catalogue.h); a built index is written to
// `snapshot_path` only when `may_write` (a catalogue served as it is gets no new files beside it).
BaseIndex open_start_index(const std::string& catalogue_path, Catalogue::Access access, const std::string& snapshot_path,
                            bool may_write, std::ostream& log);

}  // namespace cumulo::server
