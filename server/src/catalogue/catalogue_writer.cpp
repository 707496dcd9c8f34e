#include "catalogue/catalogue_writer.h"

#include "index/base_index.h"

#include <iostream>

namespace cumulo::server {

namespace {

// Changes read from the log at once; a batch of writes is far smaller.
constexpr std::size_t changes_per_read = 100'000;

// Every change committed after `position`, read a part at a time.
Catalogue::ChangesAfter all_changes_after(Catalogue& catalogue, std::uint64_t position)
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
    : CatalogueWriter(path, published, build_base_index(path), settings)
{
}

CatalogueWriter::CatalogueWriter(std::string path, PublishedIndex& published, BaseIndex start, WriterSettings settings)
    : path_(std::move(path)), published_(published), settings_(settings), catalogue_(path_)
{
    published_.publish(std::make_shared<const LiveIndex>(std::move(start.index), start.position));
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

ImportReport CatalogueWriter::put_shares(std::istream& lines)
{
    std::unique_lock lock(mutex_);
    ImportReport report = import_shares(catalogue_, lines);
    publish_through(lock, catalogue_.position());
    return report;
}

ImportReport CatalogueWriter::remove_shares(std::istream& lines)
{
    std::unique_lock lock(mutex_);
    ImportReport report = cumulo::server::remove_shares(catalogue_, lines);
    publish_through(lock, catalogue_.position());
    return report;
}

void CatalogueWriter::publish_through(std::unique_lock<std::mutex>& lock, std::uint64_t position)
{
    catch_up_locked();
    // Past a large change by another process the next base publishes the write.
    published_moved_.wait(lock, [&] { return published_.current()->position() >= position || !rebuilding_; });
    if (published_.current()->position() < position)
        catch_up_locked();
}

void CatalogueWriter::catch_up()
{
    std::lock_guard lock(mutex_);
    catch_up_locked();
}

void CatalogueWriter::catch_up_locked()
{
    std::shared_ptr<const LiveIndex> current = published_.current();
    std::uint64_t position = current->position();
    // Changes too many to lay over the base wait for the next base, which holds them.
    if (catalogue_.position() - position > std::max(settings_.rebuild_after, current->base_share_count() / 4)) {
        start_rebuild_if_due();
        return;
    }
    Catalogue::ChangesAfter after = all_changes_after(catalogue_, position);
    if (after.position == position)
        return;
    published_.publish(current->with(after.changes, after.position));
    start_rebuild_if_due();
}

void CatalogueWriter::start_rebuild_if_due()
{
    std::shared_ptr<const LiveIndex> current = published_.current();
    bool due = catalogue_.position() - current->base_position()
               > std::max(settings_.rebuild_after, current->base_share_count() / 4);
    if (rebuilding_ || stopping_ || !due)
        return;
    if (rebuilder_.joinable())
        rebuilder_.join();  // the last one has ended: it cleared rebuilding_
    rebuilding_ = true;
    rebuilder_ = std::thread([this] { rebuild(); });
}

void CatalogueWriter::rebuild()
{
    std::shared_ptr<const LiveIndex> version;
    try {
        BaseIndex base = build_base_index(path_);
        // The changes committed while the base was built are laid over it before the writer's
        // lock is taken, so that writes go on meanwhile: at a large catalogue they are many.
        Catalogue reader(path_, Catalogue::Access::read_only);
        Catalogue::ChangesAfter after = all_changes_after(reader, base.position);
        version = std::make_shared<const LiveIndex>(std::move(base.index), base.position)->with(after.changes, after.position);
    } catch (const std::exception& error) {
        std::cerr << "cumulo-server: the search index could not be rebuilt: " << error.what() << std::endl;
    }
    std::lock_guard lock(mutex_);
    rebuilding_ = false;
    if (version) {
        // Under the lock, only the few changes committed since.
        Catalogue::ChangesAfter after = all_changes_after(catalogue_, version->position());
        published_.publish(after.position == version->position() ? version : version->with(after.changes, after.position));
    }
    published_moved_.notify_all();
}

void CatalogueWriter::follow()
{
    std::unique_lock lock(mutex_);
    while (!stop_.wait_for(lock, settings_.follow_interval, [this] { return stopping_; })) {
        try {
            catch_up_locked();
        } catch (const std::exception& error) {
            std::cerr << "cumulo-server: cannot read the catalogue's changes: " << error.what() << std::endl;
        }
        // Replaced versions no search holds are freed here, outside the lock: neither a search
        // nor a write waits for it.
        std::vector<std::shared_ptr<const LiveIndex>> unused = published_.take_unused();
        lock.unlock();
        unused.clear();
        lock.lock();
    }
}

}  // namespace cumulo::server
