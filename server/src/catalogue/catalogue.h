// The catalogue of record in an SQLite file (catalogue_of_record.h says what it holds), searched
// through the in-memory index of share_index.h. One Catalogue is one connection and must be
// used by one thread at a time.
//
// Change numbers are handed out inside the writing transaction, and SQLite lets one writer at a
// time, so a change never commits after a higher-numbered one.
#pragma once

#include "catalogue/catalogue_of_record.h"
#include "index/search_query.h"
#include "catalogue/share.h"
#include "index/share_index.h"
#include "catalogue/sqlite_db.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cumulo::server {

class Catalogue : public CatalogueOfRecord {
public:
    // read_only_unchanging is for a catalogue the service cannot write (catalogue_files.h) and
    // whose log holds nothing: it is read as an unchanging file, so SQLite makes no files
    // beside it (it could not in a read-only directory).
    enum class Access { read_write, read_only, read_only_unchanging };

    // read_write creates the file and the schema when missing.
    explicit Catalogue(const std::string& path, Access access = Access::read_write);

    // The page of shares the query asks for. Throws SearchDeadlineExceeded (search_deadline.h)
    // when the deadline passes first.
    std::vector<Share> search(const SearchQuery& query,
                              std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());
    std::shared_ptr<const ShareIndex> index() override;
    std::optional<Share> find_by_id(std::uint64_t shareid, std::uint64_t uk) override;
    std::optional<Share> find_by_code(std::string_view code) override;
    std::uint64_t share_count() override;
    bool empty() override;
    std::uint64_t position() override;
    AddResult add(const Share& share) override;
    PutResult put(const Share& share) override;
    bool remove(const Share& identity) override;
    void clear() override;
    ChangesAfter changes_after(std::uint64_t position, std::size_t limit) override;
    std::optional<std::string> fact(std::string_view key) override;
    void set_fact(std::string_view key, std::string_view value) override;
    void forget_fact(std::string_view key) override;

protected:
    void begin_write() override;
    void commit() override;
    void roll_back() noexcept override;
    void begin_read() override;
    void end_read() noexcept override;

private:
    Statement& prepared(std::unique_ptr<Statement>& slot, std::string_view sql);
    static Share read_share(const Statement& row, int first_column = 0);
    // The new shares row, or 0 when the share's id or code is already present.
    std::int64_t insert(const Share& share);
    void record_change(std::string_view kind, std::int64_t row, const Share& identity);

    Database db_;
    std::shared_ptr<const ShareIndex> index_;
    std::unique_ptr<Statement> by_id_, by_code_, count_, empty_, all_for_index_;
    std::unique_ptr<Statement> insert_share_, replace_by_id_, replace_by_code_, remove_by_id_, remove_by_code_;
    std::unique_ptr<Statement> record_change_, position_, changes_after_;
    std::unique_ptr<Statement> get_fact_, set_fact_, forget_fact_;
};

}  // namespace cumulo::server
