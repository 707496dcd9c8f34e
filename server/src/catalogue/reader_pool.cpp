#include "catalogue/reader_pool.h"

namespace cumulo::server {

ReaderPool::ReaderPool(std::string path, Catalogue::Access access) : path_(std::move(path)), access_(access)
{
    auto first = std::make_unique<Catalogue>(path_, access_);
    index_ = first->index();
    idle_.push_back(std::move(first));
}

ReaderPool::ReaderPool(std::string path, Catalogue::Access access, std::shared_ptr<const ShareIndex> index)
    : path_(std::move(path)), access_(access), index_(std::move(index))
{
}

ReaderPool::Lease ReaderPool::borrow()
{
    {
        std::lock_guard lock(mutex_);
        if (!idle_.empty()) {
            std::unique_ptr<Catalogue> catalogue = std::move(idle_.back());
            idle_.pop_back();
            return Lease(*this, std::move(catalogue));
        }
    }
    auto catalogue = std::make_unique<Catalogue>(path_, access_);
    catalogue->use_index(index_);
    return Lease(*this, std::move(catalogue));
}

void ReaderPool::give_back(std::unique_ptr<Catalogue> catalogue)
{
    if (!catalogue)
        return;
    std::lock_guard lock(mutex_);
    idle_.push_back(std::move(catalogue));
}

}  // namespace cumulo::server
