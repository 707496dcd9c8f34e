#include "catalogue/catalogue_writer.h"

#include "index/base_index.h"
#include "index/index_snapshot.h"

#include "thread_priority.h"

#include <malloc.h>
#include <poll.h>

#include <cstdlib>
#include <future>
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
    : path_(std::move(path)), published_(published), settings_(std::move(settings))
{
    Connections connections;
    if (unconfirmed_identity_.empty())
        connections = open_connections();
    published_.publish(std::make_shared<const LiveIndex>(std::move(start.index), start.position));
    // An unconfirmed start has just found the catalogue out of reach: the follower tries again.
    if (connections.catalogue) {
        std::lock_guard lock(mutex_);
        install_locked(std::move(connections));
    }
    if (catalogue_)
        check_catalogue_of_record();
    else
        health_.set_writes_ok(false);
    follower_ = std::thread([this] { follow(); });
}

CatalogueWriter::Connections CatalogueWriter::open_connections() const
{
    Connections connections;
    connections.catalogue = open_catalogue(path_);
    if (!settings_.read_source.empty())
        connections.source = open_catalogue(settings_.read_source, Catalogue::Access::read_only);
    if (is_postgres_location(path_)) {
        connections.listener = std::make_unique<PostgresCatalogue>(path_, false);
        connections.listener->listen_for_changes();
    }
    return connections;
}

void CatalogueWriter::install_locked(Connections connections)
{
    identity_ = connections.catalogue->identity();
    catalogue_ = std::move(connections.catalogue);
    source_ = std::move(connections.source);
    listener_ = std::move(connections.listener);
    // A start from an older snapshot answers its first search with what the log holds since.
    catch_up_locked(source());
}

std::string CatalogueWriter::unconfirmed_start_problem(CatalogueOfRecord& catalogue) const
{
    std::uint64_t held = published_.current()->position();
    std::uint64_t committed = catalogue.position();
    std::uint64_t log_start = 0;
    if (std::optional<std::string> kept_from = catalogue.fact("log_start"))
        log_start = std::strtoull(kept_from->c_str(), nullptr, 10);
    if (catalogue.identity() != unconfirmed_identity_)
        return "was made from another catalogue";
    if (held > committed)
        return "holds change " + std::to_string(held) + ", past the catalogue's last change "
               + std::to_string(committed);
    if (held < committed && held + 1 < log_start)
        return "is older than the changes the log still holds";
    return "";
}

bool CatalogueWriter::reach_catalogue()
{
    Connections connections;
    try {
        connections = open_connections();
        if (std::string problem = unconfirmed_start_problem(*connections.catalogue); !problem.empty()) {
            BaseIndex base = build_base_index(settings_.read_source.empty() ? path_ : settings_.read_source);
            std::cerr << "cumulo-server: the catalogue of record is reached; the index served meanwhile " << problem
                      << ", so it is replaced by the index of " << base.index->share_count()
                      << " shares built from the catalogue" << std::endl;
            std::string identity = connections.catalogue->identity();
            if (!settings_.snapshot_path.empty() && !identity.empty()) {
                try {
                    write_snapshot(*base.index, {identity, base.position}, settings_.snapshot_path);
                } catch (const std::exception& error) {
                    std::cerr << "cumulo-server: index not kept on disk: " << error.what() << std::endl;
                }
            }
            // Nothing else publishes while the catalogue is out of reach.
            published_.publish(std::make_shared<const LiveIndex>(std::move(base.index), base.position));
        } else {
            std::cerr << "cumulo-server: the catalogue of record is reached; catching up from change "
                      << published_.current()->position() << std::endl;
        }
    } catch (const CatalogueUnreachable&) {
        return false;
    } catch (const std::exception& error) {
        // Reached, yet the start index could not be confirmed or replaced: said once, tried again.
        if (!reach_problem_told_)
            std::cerr << "cumulo-server: the catalogue of record is reached, but " << error.what()
                      << "; trying again" << std::endl;
        reach_problem_told_ = true;
        return false;
    }
    std::lock_guard lock(mutex_);
    unconfirmed_identity_.clear();
    install_locked(std::move(connections));
    return true;
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
ImportReport CatalogueWriter::write(Write write, const ShareLines* puts)
{
    std::unique_lock lock(mutex_);
    try {
        if (!catalogue_)
            throw CatalogueUnreachable("the catalogue of record has not been reached since the start");
        std::shared_ptr<const LiveIndex> current = published_.current();
        std::future<std::shared_ptr<const LiveIndex>> ahead;
        if (puts)
            ahead = lay_over_ahead(current, *puts);
        ImportReport report = write(*catalogue_);
        health_.set_writes_ok(true);
        // Read from the catalogue of record itself: a standby may not hold the batch yet.
        std::uint64_t position = catalogue_->position();
        if (!ahead.valid() || !publish_laid_over(ahead, report.added + report.replaced, position))
            publish_through(lock, position);
        return report;
    } catch (const CatalogueUnreachable&) {
        health_.set_writes_ok(false);
        throw;
    }
}

std::future<std::shared_ptr<const LiveIndex>> CatalogueWriter::lay_over_ahead(
    const std::shared_ptr<const LiveIndex>& current, const ShareLines& puts) const
{
    if (puts.shares.empty() || puts.unreadable.bad_line_count != 0
        || puts.shares.size() > most_laid_over(current->base_share_count(), settings_.rebuild_after))
        return {};
    return std::async(std::launch::async, [current, &puts] {
        lower_this_threads_priority();
        std::vector<Catalogue::Change> changes;
        changes.reserve(puts.shares.size());
        std::uint64_t number = current->position();
        for (const ShareLines::Numbered& put : puts.shares)
            changes.push_back({++number, Catalogue::Change::Kind::put, put.share});
        return current->with(changes, number);
    });
}

bool CatalogueWriter::publish_laid_over(std::future<std::shared_ptr<const LiveIndex>>& ahead, std::uint64_t written,
                                        std::uint64_t position)
{
    std::shared_ptr<const LiveIndex> laid;
    try {
        laid = ahead.get();
    } catch (const std::exception&) {
        return false;  // the batch is committed all the same: it is read back instead
    }
    // The shares took the numbers after the published version's, and nothing else committed
    // since: the version laid ahead is the one reading them back would give.
    std::uint64_t laid_over = laid->position() - published_.current()->position();
    if (written != laid_over || position != laid->position())
        return false;
    published_.publish(std::move(laid));
    start_rebuild_if_due(position);
    return true;
}

ImportReport CatalogueWriter::put_shares(std::istream& lines)
{
    ShareLines read = read_share_lines(lines);
    return write([&](CatalogueOfRecord& catalogue) { return import_shares(catalogue, read); }, &read);
}

ImportReport CatalogueWriter::remove_shares(std::istream& lines)
{
    return write([&](CatalogueOfRecord& catalogue) { return cumulo::server::remove_shares(catalogue, lines); },
                 nullptr);
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
    if (catalogue_)
        catch_up_locked(source());
}

void CatalogueWriter::catch_up_locked(CatalogueOfRecord& from)
{
    std::shared_ptr<const LiveIndex> current = published_.current();
    std::uint64_t position = current->position();
    std::uint64_t committed = from.position();
    // Changes too many to lay over the base wait for the next base, which holds them.
    if (committed > position && committed - position > most_laid_over(current->base_share_count(), settings_.rebuild_after)) {
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
    std::uint64_t most = most_laid_over(current->base_share_count(), settings_.rebuild_after);
    bool due = committed > current->base_position() && committed - current->base_position() > most;
    if (rebuilding_ || stopping_ || !due)
        return;
    if (rebuilder_.joinable())
        rebuilder_.join();  // the last one has ended: it cleared rebuilding_
    rebuilding_ = true;
    // The published version merged is the new base, unless the catalogue has gone too far past
    // it to lay the rest over: then the base is read from the catalogue.
    if (committed - current->position() > most)
        current = nullptr;
    rebuilder_ = std::thread([this, current] { rebuild(current); });
}

void CatalogueWriter::rebuild(std::shared_ptr<const LiveIndex> merged_from)
{
    // Searches come first: a new base can wait, a search's answer should not.
    lower_this_threads_priority();
    const std::string& from = settings_.read_source.empty() ? path_ : settings_.read_source;
    std::optional<BaseIndex> base = make_base(merged_from, from);
    // The next start maps the new base instead of building it (and applies fewer changes).
    if (base && !settings_.snapshot_path.empty() && !identity_.empty()) {
        bool kept = false;
        try {
            write_snapshot(*base->index, {identity_, base->position}, settings_.snapshot_path);
            kept = true;
        } catch (const std::exception& error) {
            std::cerr << "cumulo-server: index not kept on disk: " << error.what() << std::endl;
        }
        if (kept) {
            // The copy in memory goes first, so that the two are never held at once.
            std::uint64_t position = base->position;
            base.reset();
            base = map_kept_base(position);
            if (!base)
                base = make_base(merged_from, from);
        }
    }
    std::shared_ptr<const LiveIndex> version;
    if (base) {
        version = std::make_shared<const LiveIndex>(std::move(base->index), base->position);
        // The changes committed while the base was built are laid over it before the writer's
        // lock is taken, read on a connection of its own, so that writes go on meanwhile: at a
        // large catalogue they are many. Should that read fail, they are read under the lock.
        try {
            std::unique_ptr<CatalogueOfRecord> reader = open_catalogue(from, Catalogue::Access::read_only);
            Catalogue::ChangesAfter after = all_changes_after(*reader, version->position());
            version = version->with(after.changes, after.position);
        } catch (const std::exception&) {
        }
    }
    std::lock_guard lock(mutex_);
    rebuilding_ = false;
    if (version) {
        // Under the lock, only the few changes committed since.
        try {
            Catalogue::ChangesAfter after = all_changes_after(source(), version->position());
            published_.publish(after.position == version->position() ? version
                                                                     : version->with(after.changes, after.position));
        } catch (const std::exception& error) {
            // The new base goes out alone; the follower lays the changes over it.
            published_.publish(version);
            std::cerr << "cumulo-server: cannot read the catalogue's changes: " << error.what() << std::endl;
        }
    }
    published_moved_.notify_all();
}

std::optional<BaseIndex> CatalogueWriter::make_base(const std::shared_ptr<const LiveIndex>& merged_from,
                                                    const std::string& from) const
{
    try {
        if (merged_from)
            return BaseIndex{merged_from->merged(), merged_from->position()};
        return build_base_index(from);
    } catch (const std::exception& error) {
        std::cerr << "cumulo-server: the search index could not be rebuilt: " << error.what() << std::endl;
        return std::nullopt;
    }
}

std::optional<BaseIndex> CatalogueWriter::map_kept_base(std::uint64_t position) const
{
    std::string problem;
    try {
        LoadedSnapshot mapped = load_snapshot(settings_.snapshot_path, {identity_, position});
        if (mapped.index)
            return BaseIndex{std::move(mapped.index), position};
        problem = mapped.problem;
    } catch (const std::exception& error) {
        problem = error.what();
    }
    std::cerr << "cumulo-server: the index just kept cannot be mapped (" << problem << "); it is made again in memory"
              << std::endl;
    return std::nullopt;
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
        // Only this thread installs the connections once the writer runs.
        if (!catalogue_ && !reach_catalogue())
            continue;
        check_catalogue_of_record();
        // Replaced versions no search holds are freed outside the lock: neither a search nor a
        // write waits for it.
        std::vector<std::shared_ptr<const LiveIndex>> unused;
        bool base_replaced = false;
        {
            std::lock_guard lock(mutex_);
            try {
                catch_up_locked(source());
                reading = true;
            } catch (const std::exception& error) {
                if (reading)
                    std::cerr << "cumulo-server: cannot read the catalogue's changes: " << error.what() << std::endl;
                reading = false;
            }
            unused = published_.take_unused();
            std::uint64_t base_position = published_.current()->base_position();
            for (const std::shared_ptr<const LiveIndex>& version : unused)
                base_replaced = base_replaced || version->base_position() != base_position;
        }
        unused.clear();
        // The overlay a new base took in was freed in pieces across the allocator's arenas, which
        // keep the pages; they go back to the system.
        if (base_replaced)
            ::malloc_trim(0);
    }
}

}  // namespace cumulo::server
