#include "index/base_index.h"

#include "catalogue/open_catalogue.h"

namespace cumulo::server {

BaseIndex build_base_index(const std::string& catalogue_path, Catalogue::Access access)
{
    std::unique_ptr<CatalogueOfRecord> reader = open_catalogue(catalogue_path, access);
    CatalogueOfRecord::ReadTransaction view(*reader);
    BaseIndex base;
    base.position = reader->position();
    base.index = reader->index();
    return base;
}

void publish_as_it_is(PublishedIndex& index, const std::string& catalogue_path, Catalogue::Access access)
{
    BaseIndex base = build_base_index(catalogue_path, access);
    index.publish(std::make_shared<const LiveIndex>(std::move(base.index), base.position));
}

}  // namespace cumulo::server
