#include "index/base_index.h"

#include "catalogue/catalogue.h"

namespace cumulo::server {

BaseIndex build_base_index(const std::string& catalogue_path, Catalogue::Access access)
{
    Catalogue reader(catalogue_path, access);
    Catalogue::ReadTransaction view(reader);
    BaseIndex base;
    base.position = reader.position();
    base.index = reader.index();
    return base;
}

}  // namespace cumulo::server
