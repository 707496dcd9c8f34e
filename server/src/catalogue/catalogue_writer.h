// The writer of the catalogue in a running service. It writes the batches of the write
// requests, one transaction each, takes in what other processes commit (an import beside the
// service), and after each publishes the next version of the live index (live_index.h): once a
// write has returned, every search that starts sees it. A put's shares are laid over the index on
// a second thread while the catalogue writes and syncs them.
//
// When the overlay of changes grows large, a new base index is made on a thread of its own while
// writes go on: the published version merged into one index, or, past a large change by another
// process, the catalogue's shares read again. The changes committed meanwhile are laid over it
// (and it is kept as the snapshot, when the settings name one, and served mapped from it).
//
// The catalogue of record may be an SQLite file or a PostgreSQL database (open_catalogue.h).
// With PostgreSQL, the follower also listens for the positions writers announce and asks the
// primary for its position, which tells the node's health (node_health.h); it may read the
// changes from a hot standby instead of the primary (`read_source`).
#pragma once

#include "catalogue/catalogue_import.h"
#include "catalogue/node_health.h"
#include "catalogue/open_catalogue.h"
#include "catalogue/postgres_catalogue.h"
#include "index/base_index.h"
#include "index/live_index.h"

#include <chrono>
#include <condition_variable>
#include <future>
#include <istream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace cumulo::server {

struct WriterSettings {
    // How often the catalogue is checked for changes other processes committed.
    std::chrono::milliseconds follow_interval{100};
    // A new base is made once the overlay holds more changes than this, or than
    // most_laid_over (live_index.h) allows for the base.
    std::size_t rebuild_after = 50'000;
    // Where the changes and a new base are read: empty for the catalogue of record itself, or a
    // hot standby of a PostgreSQL one.
    std::string read_source;
    // Where a new base is kept for the next start (index_snapshot.h); empty: nowhere.
    std::string snapshot_path;
    // The catalogue the start index was made from, when that could not be checked because the
    // catalogue of record was out of reach (start_index.h, open_unconfirmed_snapshot): the
    // writer then serves the start index, refuses writes and keeps trying to reach the
    // catalogue; once it does, an index of another catalogue is replaced by one built from it.
    // Empty: the start index was checked, and a catalogue out of reach fails the start.
    std::string unconfirmed_identity;
};

class CatalogueWriter {
public:
    // Builds the first version of the index from the catalogue at `path` (a file or a PostgreSQL
    // location) and publishes it.
    CatalogueWriter(std::string path, PublishedIndex& published, WriterSettings settings = {});
    // Publishes `start` (the index the service starts with, start_index.h) as the first version.
    CatalogueWriter(std::string path, PublishedIndex& published, BaseIndex start, WriterSettings settings = {});
    // Waits for a base being built.
    ~CatalogueWriter();
    CatalogueWriter(const CatalogueWriter&) = delete;
    CatalogueWriter& operator=(const CatalogueWriter&) = delete;

    // import_shares and remove_shares (catalogue_import.h); the batch is committed, synced and
    // published when they return. Throws SqliteError or PqError when the catalogue cannot be
    // written, CatalogueUnreachable when it cannot be reached.
    ImportReport put_shares(std::istream& lines);
    ImportReport remove_shares(std::istream& lines);

    // Publishes whatever was committed since the published version, by anyone.
    void catch_up();

    const NodeHealth& health() const { return health_; }

private:
    // The writer's connections to the catalogue (and the read source), opened together.
    struct Connections {
        std::unique_ptr<CatalogueOfRecord> catalogue;
        std::unique_ptr<CatalogueOfRecord> source;
        std::unique_ptr<PostgresCatalogue> listener;
    };
    Connections open_connections() const;
    // Takes `connections` in; then the writer can write, and it catches up.
    void install_locked(Connections connections);
    // For a start from an unconfirmed snapshot: whether the catalogue could be reached and taken
    // in; a start index of another catalogue, or one the log cannot catch up, is replaced by one
    // built from the catalogue before the connections are taken in.
    bool reach_catalogue();
    // Why the start index cannot stand for the catalogue `catalogue`, or an empty text.
    std::string unconfirmed_start_problem(CatalogueOfRecord& catalogue) const;
    // Returns once a version at `position` or later is published.
    void publish_through(std::unique_lock<std::mutex>& lock, std::uint64_t position);
    // Lays what `source` holds past the published version over it.
    void catch_up_locked(CatalogueOfRecord& source);
    // The catalogue the changes and a new base are read from.
    CatalogueOfRecord& source() { return source_ ? *source_ : *catalogue_; }
    // What the node knows the catalogue of record has committed, and whether it can reach it.
    void check_catalogue_of_record();
    // Waits up to the follow interval, or until a writer announces a change; false once stopping.
    bool wait_for_news();
    // Writes with `write` and publishes what it committed; `puts`, when given, are the shares
    // it puts, which another thread lays over the published version meanwhile.
    template <typename Write> ImportReport write(Write write, const ShareLines* puts);
    // The version with `puts` laid over `current` as the changes numbered next, made on a thread
    // of its own while the catalogue writes and syncs them; none when they are too many to lay
    // over, or some line is bad.
    std::future<std::shared_ptr<const LiveIndex>> lay_over_ahead(const std::shared_ptr<const LiveIndex>& current,
                                                                const ShareLines& puts) const;
    // Publishes the version laid ahead when the `written` changes took the numbers it gave them
    // and `position` (the catalogue's, after the write) is its own; false when it is not publishable.
    bool publish_laid_over(std::future<std::shared_ptr<const LiveIndex>>& ahead, std::uint64_t written,
                           std::uint64_t position);
    // `committed`: the catalogue's position as last read.
    void start_rebuild_if_due(std::uint64_t committed);
    // Makes a new base: `merged_from` merged, or, when null, the catalogue's shares read again.
    void rebuild(std::shared_ptr<const LiveIndex> merged_from);
    // A new base: `merged_from` merged, or, when null, the shares of the catalogue at `from` read
    // again; empty (and said) when it cannot be made.
    std::optional<BaseIndex> make_base(const std::shared_ptr<const LiveIndex>& merged_from, const std::string& from) const;
    // The base just kept as the snapshot at `position`, mapped from it: its pages are then the
    // file's, which the system can take back. Empty (and said) when it cannot be mapped.
    std::optional<BaseIndex> map_kept_base(std::uint64_t position) const;
    void follow();

    const std::string path_;
    PublishedIndex& published_;
    const WriterSettings settings_;
    std::mutex mutex_;  // held while the catalogue is written and a version published
    std::unique_ptr<CatalogueOfRecord> catalogue_;
    std::unique_ptr<CatalogueOfRecord> source_;  // the hot standby, when one is read
    // The follower's own connection to a PostgreSQL catalogue of record: it listens for the
    // positions writers announce.
    std::unique_ptr<PostgresCatalogue> listener_;
    std::string identity_;
    // The start index's catalogue until the catalogue of record is reached (WriterSettings).
    std::string unconfirmed_identity_ = settings_.unconfirmed_identity;
    bool reach_problem_told_ = false;  // the follower's own
    NodeHealth health_;
    bool rebuilding_ = false;  // under mutex_
    std::condition_variable published_moved_;  // a rebuild has ended
    std::thread rebuilder_;
    bool stopping_ = false;  // under mutex_
    std::condition_variable stop_;
    std::thread follower_;
};

}  // namespace cumulo::server
