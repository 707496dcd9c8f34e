// The writer of the catalogue in a running service. It writes the batches of the write
// requests, one transaction each, takes in what other processes commit (an import beside the
// service), and after each publishes the next version of the live index (live_index.h): once a
// write has returned, every search that starts sees it.
//
// When the overlay of changes grows large, a new base index is built from the catalogue on a
// thread of its own while writes go on, and the changes committed meanwhile are laid over it.
#pragma once

#include "catalogue/catalogue.h"
#include "catalogue/catalogue_import.h"
#include "index/base_index.h"
#include "index/live_index.h"

#include <chrono>
#include <condition_variable>
#include <istream>
#include <mutex>
#include <string>
#include <thread>

namespace cumulo::server {

struct WriterSettings {
    // How often the catalogue is checked for changes other processes committed.
    std::chrono::milliseconds follow_interval{100};
    // A new base is built once the overlay touches more shares than this, or than a quarter
    // of the base, whichever is more.
    std::size_t rebuild_after = 50'000;
};

class CatalogueWriter {
public:
    // Builds the first version of the index from the catalogue at `path` and publishes it.
    CatalogueWriter(std::string path, PublishedIndex& published, WriterSettings settings = {});
    // Publishes `start` (the index the service starts with, start_index.h) as the first version.
    CatalogueWriter(std::string path, PublishedIndex& published, BaseIndex start, WriterSettings settings = {});
    // Waits for a base being built.
    ~CatalogueWriter();
    CatalogueWriter(const CatalogueWriter&) = delete;
    CatalogueWriter& operator=(const CatalogueWriter&) = delete;

    // import_shares and remove_shares (catalogue_import.h); the batch is committed, synced and
    // published when they return. Throws SqliteError when the catalogue cannot be written.
    ImportReport put_shares(std::istream& lines);
    ImportReport remove_shares(std::istream& lines);

    // Publishes whatever was committed since the published version, by anyone.
    void catch_up();

private:
    // Returns once a version at `position` or later is published.
    void publish_through(std::unique_lock<std::mutex>& lock, std::uint64_t position);
    void catch_up_locked();
    void start_rebuild_if_due();
    void rebuild();
    void follow();

    const std::string path_;
    PublishedIndex& published_;
    const WriterSettings settings_;
    std::mutex mutex_;  // held while the catalogue is written and a version published
    Catalogue catalogue_;
    bool rebuilding_ = false;  // under mutex_
    std::condition_variable published_moved_;  // a rebuild has ended
    std::thread rebuilder_;
    bool stopping_ = false;  // under mutex_
    std::condition_variable stop_;
    std::thread follower_;
};

}  // namespace cumulo::server
