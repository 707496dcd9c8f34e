#include "reader_pool.h"

namespace cumulo::server {

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
    return Lease(*this, std::make_unique<Catalogue>(path_, Catalogue::Access::read_only));
}

void ReaderPool::give_back(std::unique_ptr<Catalogue> catalogue)
{
    if (!catalogue)
        return;
    std::lock_guard lock(mutex_);
    idle_.push_back(std::move(catalogue));
}

}  // namespace cumulo::server
