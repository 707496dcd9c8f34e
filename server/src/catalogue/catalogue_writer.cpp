#include "catalogue/catalogue_writer.h"

#include "index/base_index.h"
#include "index/index_snapshot.h"

#include <poll.h>

#include <iostream>
#include <optional>

namespace cumulo::server {

namespace {

// Changes read from the log at once; a batch of writes is far smaller.
constexpr std::size_t changes_per_read = 100'000;

// Every change committed after `position`, read a part at a time.
CatalogueOfRecord::ChangesAfter all_changes_after(CatalogueOfRecord& catalogue, std::uint64_t position)
{
    Catalogue::ChangesAfter all;
    all.position = position;
    for (;;) {
        Catalogue::ChangesAfter part = catalogue.changes_after(all.position, changes_per_read);
        all.changes.insert(all.changes.end(), std::make_move_iterator(part.changes.begin()),
                           std::make_move_iterator(part.changes.end()));
        bool read_all = part.position - all.position < changes_per_read;
        all.position = part.position;
        if (read_all)
            return all;
    }
}

}  // namespace

CatalogueWriter::CatalogueWriter(std::string path, PublishedIndex& published, WriterSettings settings)
    : CatalogueWriter(path, published,
                      build_base_index(settings.read_source.empty() ? path : settings.read_source), settings)
{
}

CatalogueWriter::CatalogueWriter(std::string path, PublishedIndex& published, BaseIndex start, WriterSettings settings)
    : path_(std::move(path)), published_(published), settings_(std::move(settings)), catalogue_(open_catalogue(path_))
{
    if (!settings_.read_source.empty())
        source_ = open_catalogue(settings_.read_source, Catalogue::Access::read_only);
    if (is_postgres_location(path_)) {
        listener_ = std::make_unique<PostgresCatalogue>(path_, false);
        listener_->listen_for_changes();
    }
    identity_ = catalogue_->identity();
    published_.publish(std::make_shared<const LiveIndex>(std::move(start.index), start.position));
    {
        // A start from an older snapshot answers its first search with what the log holds since.
        std::lock_guard lock(mutex_);
        catch_up_locked(source());
    }
    check_catalogue_of_record();
    follower_ = std::thread([this] { follow(); });
}

CatalogueWriter::~CatalogueWriter()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stop_.notify_all();
    follower_.join();
    if (rebuilder_.joinable())
        rebuilder_.join();
}

template <typename Write>
ImportReport CatalogueWriter::write(Write write)
{
    std::unique_lock lock(mutex_);
    try {
        ImportReport report = write(*catalogue_);
        health_.set_writes_ok(true);
        // Read from the catalogue of record itself: a standby may not hold the batch yet.
        publish_through(lock, catalogue_->position());
        return report;
    } catch (const CatalogueUnreachable&) {
        health_.set_writes_ok(false);
        throw;
    }
}

ImportReport CatalogueWriter::put_shares(std::istream& lines)
{
    return write([&](CatalogueOfRecord& catalogue) { return import_shares(catalogue, lines); });
}

ImportReport CatalogueWriter::remove_shares(std::istream& lines)
{
    return write([&](CatalogueOfRecord& catalogue) { return cumulo::server::remove_shares(catalogue, lines); });
}

void CatalogueWriter::publish_through(std::unique_lock<std::mutex>& lock, std::uint64_t position)
{
    catch_up_locked(*catalogue_);
    // Past a large change by another process the next base publishes the write.
    published_moved_.wait(lock, [&] { return published_.current()->position() >= position || !rebuilding_; });
    if (published_.current()->position() < position)
        catch_up_locked(*catalogue_);
}

void CatalogueWriter::catch_up()
{
    std::lock_guard lock(mutex_);
    catch_up_locked(source());
}

void CatalogueWriter::catch_up_locked(CatalogueOfRecord& from)
{
    std::shared_ptr<const LiveIndex> current = published_.current();
    std::uint64_t position = current->position();
    std::uint64_t committed = from.position();
    // Changes too many to lay over the base wait for the next base, which holds them.
    if (committed > position && committed - position > std::max(settings_.rebuild_after, current->base_share_count() / 4)) {
        start_rebuild_if_due(committed);
        return;
    }
    Catalogue::ChangesAfter after = all_changes_after(from, position);
    if (after.position == position)
        return;
    published_.publish(current->with(after.changes, after.position));
    start_rebuild_if_due(after.position);
}

void CatalogueWriter::start_rebuild_if_due(std::uint64_t committed)
{
    std::shared_ptr<const LiveIndex> current = published_.current();
    bool due = committed > current->base_position()
               && committed - current->base_position() > std::max(settings_.rebuild_after, current->base_share_count() / 4);
    if (rebuilding_ || stopping_ || !due)
        return;
    if (rebuilder_.joinable())
        rebuilder_.join();  // the last one has ended: it cleared rebuilding_
    rebuilding_ = true;
    rebuilder_ = std::thread([this] { rebuild(); });
}

void CatalogueWriter::rebuild()
{
    std::optional<BaseIndex> base;
    try {
        base = build_base_index(settings_.read_source.empty() ? path_ : settings_.read_source);
    } catch (const std::exception& error) {
        std::cerr << "cumulo-server: the search index could not be rebuilt: " << error.what() << std::endl;
    }
    // The next start maps the new base instead of building it (and applies fewer changes).
    if (base && !settings_.snapshot_path.empty() && !identity_.empty()) {
        try {
            write_snapshot(*base->index, {identity_, base->position}, settings_.snapshot_path);
        } catch (const std::exception& error) {
            std::cerr << "cumulo-server: index not kept on disk: " << error.what() << std::endl;
        }
    }
    std::lock_guard lock(mutex_);
    rebuilding_ = false;
    if (base) {
        // The changes committed while the base was built, laid over it.
        auto version = std::make_shared<const LiveIndex>(std::move(base->index), base->position);
        try {
            Catalogue::ChangesAfter after = all_changes_after(source(), base->position);
            published_.publish(version->with(after.changes, after.position));
        } catch (const std::exception& error) {
            // The new base goes out alone; the follower lays the changes over it.
            published_.publish(version);
            std::cerr << "cumulo-server: cannot read the catalogue's changes: " << error.what() << std::endl;
        }
    }
    published_moved_.notify_all();
}

void CatalogueWriter::check_catalogue_of_record()
{
    std::uint64_t applied = published_.current()->position();
    try {
        std::uint64_t committed = 0;
        if (listener_) {
            committed = listener_->take_announced_position().value_or(0);
            committed = std::max(committed, listener_->position());
        } else {
            std::lock_guard lock(mutex_);
            committed = catalogue_->position();
        }
        health_.learn(committed, applied);
        health_.set_writes_ok(true);
    } catch (const std::exception& error) {
        if (health_.writes_ok())
            std::cerr << "cumulo-server: the catalogue of record cannot be reached: " << error.what() << std::endl;
        health_.set_writes_ok(false);
    }
}

bool CatalogueWriter::wait_for_news()
{
    int socket = listener_ ? listener_->socket() : -1;
    if (socket >= 0) {
        // A notification (or the connection's end) makes the socket readable.
        pollfd wanted{socket, POLLIN, 0};
        ::poll(&wanted, 1, static_cast<int>(settings_.follow_interval.count()));
        std::lock_guard lock(mutex_);
        return !stopping_;
    }
    std::unique_lock lock(mutex_);
    return !stop_.wait_for(lock, settings_.follow_interval, [this] { return stopping_; });
}

void CatalogueWriter::follow()
{
    bool reading = true;  // the last read of the changes worked
    while (wait_for_news()) {
        check_catalogue_of_record();
        std::lock_guard lock(mutex_);
        try {
            catch_up_locked(source());
            reading = true;
        } catch (const std::exception& error) {
            if (reading)
                std::cerr << "cumulo-server: cannot read the catalogue's changes: " << error.what() << std::endl;
            reading = false;
        }
    }
}

}  // namespace cumulo::server
