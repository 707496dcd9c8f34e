// The catalogue of record a location names: a libpq connection URI (postgresql://, postgres://)
// or key=value string (it holds '=') names a PostgreSQL database, anything else an SQLite file.
#pragma once

#include "catalogue/catalogue.h"
#include "catalogue/catalogue_of_record.h"

#include <memory>
#include <string>
#include <string_view>

namespace cumulo::server {

bool is_postgres_location(std::string_view location);

// `access` as for the SQLite file (catalogue.h); a PostgreSQL catalogue opened read_write makes
// its tables when missing, opened otherwise it writes nothing. Throws CatalogueUnreachable when
// the PostgreSQL server cannot be reached.
std::unique_ptr<CatalogueOfRecord> open_catalogue(const std::string& location,
                                                  Catalogue::Access access = Catalogue::Access::read_write);

}  // namespace cumulo::server
