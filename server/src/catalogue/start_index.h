// The search index the service starts with: the snapshot kept beside the catalogue when it was
// made from this catalogue, not past its position, and passes every check (a follower then
// applies the changes after the snapshot's position), or else one built from the catalogue,
// which then replaces the snapshot for the next start.
#pragma once

#include "catalogue/open_catalogue.h"
#include "index/base_index.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

namespace cumulo::server {

// Where the snapshot of a catalogue's index is kept: beside it.
std::string snapshot_path_for(const std::string& catalogue_path);

// The snapshot's default place for a PostgreSQL catalogue: index.snapshot in systemd's state
// directory, else ${XDG_DATA_HOME:-~/.local/share}/cumulo-search/postgresql.index; empty when
// none of STATE_DIRECTORY, XDG_DATA_HOME and HOME is set.
std::string postgres_snapshot_path();

// Reports on `log`, one line each, why a snapshot was not used, and what was built or loaded.
// `read_source` is where the catalogue is read (a file or a PostgreSQL location,
// open_catalogue.h: the catalogue of record or a hot standby of it); `access` is how the
// catalogue is read (catalogue.h). A snapshot older than the catalogue is used only when
// `follows` (a writer then applies the changes after it), else rebuilt. A built index is written
// to `snapshot_path` only when `may_write` (a catalogue served as it is gets no new files).
struct StartIndexSource {
    std::string read_source;
    Catalogue::Access access = Catalogue::Access::read_only;
    bool follows = true;
};
BaseIndex open_start_index(const StartIndexSource& source, const std::string& snapshot_path, bool may_write,
                           std::ostream& log);
// The same for a catalogue that a writer follows when `may_write`.
BaseIndex open_start_index(const std::string& catalogue_path, Catalogue::Access access, const std::string& snapshot_path,
                            bool may_write, std::ostream& log);

// For a node that cannot reach its catalogue of record at start (`unreachable` says why): the
// snapshot at `snapshot_path` when it passes every check it can be given on its own (checksums,
// structure), with the catalogue it names, which the writer confirms once it reaches it
// (WriterSettings::unconfirmed_identity); nullopt, after saying why on `log`, when there is none.
struct UnconfirmedStart {
    BaseIndex base;
    std::string identity;
};
std::optional<UnconfirmedStart> open_unconfirmed_snapshot(const std::string& snapshot_path,
                                                          const std::string& unreachable, std::ostream& log);

}  // namespace cumulo::server
