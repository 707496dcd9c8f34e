// Read-only catalogue connections shared by the request threads: a thread borrows one for a
// request and gives it back, so connections (and their prepared statements) are reused. Each
// read sees what was committed when it began; searches go through the live index instead
// (index/live_index.h).
#pragma once

#include "catalogue/open_catalogue.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace cumulo::server {

class ReaderPool {
public:
    // `access` is read_only or read_only_unchanging (catalogue.h); `path` is a file or a
    // PostgreSQL location (open_catalogue.h). The first connection is opened at once, so that a
    // catalogue that cannot be read is found at start, unless `open_now` is false (a node that
    // serves its snapshot while the catalogue is out of reach).
    explicit ReaderPool(std::string path, Catalogue::Access access = Catalogue::Access::read_only,
                        bool open_now = true);

    class Lease {
    public:
        Lease(ReaderPool& pool, std::unique_ptr<CatalogueOfRecord> catalogue)
            : pool_(pool), catalogue_(std::move(catalogue)) {}
        ~Lease() { pool_.give_back(std::move(catalogue_)); }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        CatalogueOfRecord& operator*() { return *catalogue_; }
        CatalogueOfRecord* operator->() { return catalogue_.get(); }

    private:
        ReaderPool& pool_;
        std::unique_ptr<CatalogueOfRecord> catalogue_;
    };

    Lease borrow();

private:
    void give_back(std::unique_ptr<CatalogueOfRecord> catalogue);

    std::string path_;
    Catalogue::Access access_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<CatalogueOfRecord>> idle_;
};

}  // namespace cumulo::server
