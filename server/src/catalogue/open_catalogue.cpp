#include "catalogue/open_catalogue.h"

#include "catalogue/postgres_catalogue.h"

namespace cumulo::server {

bool is_postgres_location(std::string_view location)
{
    return location.starts_with("postgresql://") || location.starts_with("postgres://")
           || location.find('=') != std::string_view::npos;
}

std::unique_ptr<CatalogueOfRecord> open_catalogue(const std::string& location, Catalogue::Access access)
{
    if (is_postgres_location(location))
        return std::make_unique<PostgresCatalogue>(location, access == Catalogue::Access::read_write);
    return std::make_unique<Catalogue>(location, access);
}

}  // namespace cumulo::server
