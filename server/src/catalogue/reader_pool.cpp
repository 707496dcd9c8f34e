#include "catalogue/reader_pool.h"

namespace cumulo::server {

ReaderPool::ReaderPool(std::string path, Catalogue::Access access, bool open_now)
    : path_(std::move(path)), access_(access)
{
    if (open_now)
        idle_.push_back(open_catalogue(path_, access_));
}

ReaderPool::Lease ReaderPool::borrow()
{
    {
        std::lock_guard lock(mutex_);
        if (!idle_.empty()) {
            std::unique_ptr<CatalogueOfRecord> catalogue = std::move(idle_.back());
            idle_.pop_back();
            return Lease(*this, std::move(catalogue));
        }
    }
    return Lease(*this, open_catalogue(path_, access_));
}

void ReaderPool::give_back(std::unique_ptr<CatalogueOfRecord> catalogue)
{
    if (!catalogue)
        return;
    std::lock_guard lock(mutex_);
    idle_.push_back(std::move(catalogue));
}

}  // namespace cumulo::server
