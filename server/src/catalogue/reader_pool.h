// Read-only catalogue connections shared by the request threads: a thread borrows one for a
// request and gives it back, so connections (and their prepared statements) are reused. Each
// read sees what was committed when it began; searches go through the live index instead
// (index/live_index.h).
#pragma once

#include "catalogue/catalogue.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace cumulo::server {

class ReaderPool {
public:
    // `access` is read_only or read_only_unchanging (catalogue.h).
    explicit ReaderPool(std::string path, Catalogue::Access access = Catalogue::Access::read_only);

    class Lease {
    public:
        Lease(ReaderPool& pool, std::unique_ptr<Catalogue> catalogue)
            : pool_(pool), catalogue_(std::move(catalogue)) {}
        ~Lease() { pool_.give_back(std::move(catalogue_)); }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        Catalogue& operator*() { return *catalogue_; }
        Catalogue* operator->() { return catalogue_.get(); }

    private:
        ReaderPool& pool_;
        std::unique_ptr<Catalogue> catalogue_;
    };

    Lease borrow();

private:
    void give_back(std::unique_ptr<Catalogue> catalogue);

    std::string path_;
    Catalogue::Access access_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Catalogue>> idle_;
};

}  // namespace cumulo::server
