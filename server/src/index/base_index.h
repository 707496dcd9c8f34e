// The base of the live index: the search index of the catalogue's shares and the position of
// the change log it holds them at.
#pragma once

#include "catalogue/catalogue.h"
#include "index/live_index.h"
#include "index/share_index.h"

#include <cstdint>
#include <memory>
#include <string>

namespace cumulo::server {

struct BaseIndex {
    std::shared_ptr<const ShareIndex> index;
    std::uint64_t position = 0;
};

// Reads the shares and the position as of one moment, over a connection of its own (read_only
// or read_only_unchanging) to the catalogue at `catalogue_path` (a file or a PostgreSQL
// location, open_catalogue.h), so that writers may go on meanwhile.
BaseIndex build_base_index(const std::string& catalogue_path,
                           Catalogue::Access access = Catalogue::Access::read_only);

// Publishes the index of a catalogue served with no writer: its base, followed by nothing.
void publish_as_it_is(PublishedIndex& index, const std::string& catalogue_path,
                      Catalogue::Access access = Catalogue::Access::read_only);

}  // namespace cumulo::server
