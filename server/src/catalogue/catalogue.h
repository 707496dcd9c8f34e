// The share catalogue in SQLite: the shares table and a small key-value table of facts about
// the catalogue itself, searched through the in-memory index of share_index.h. One Catalogue is
// one connection and must be used by one thread at a time.
#pragma once

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

class Catalogue {
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
    // The search index of the shares as they are now: the one given to use_index, or one built
    // from the table on first use (and again after any change).
    std::shared_ptr<const ShareIndex> index();
    // Lets connections to the same unchanging catalogue share one index.
    void use_index(std::shared_ptr<const ShareIndex> index) { index_ = std::move(index); }
    std::optional<Share> find_by_id(std::uint64_t shareid, std::uint64_t uk);
    std::optional<Share> find_by_code(std::string_view code);
    std::uint64_t share_count();

    enum class AddResult { added, duplicate };
    // The share must be valid (share_problem() empty). A share whose id or code is already
    // present is not added.
    AddResult add(const Share& share);
    // Removes every share.
    void clear();

    std::optional<std::string> fact(std::string_view key);
    void set_fact(std::string_view key, std::string_view value);
    void forget_fact(std::string_view key);

    // Groups writes; rolls back unless committed.
    class Transaction {
    public:
        explicit Transaction(Catalogue& catalogue);
        ~Transaction();
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        void commit();

    private:
        Catalogue& catalogue_;
        bool open_ = true;
    };

private:
    Statement& prepared(std::unique_ptr<Statement>& slot, std::string_view sql);
    static Share read_share(const Statement& row);

    Database db_;
    std::shared_ptr<const ShareIndex> index_;
    std::unique_ptr<Statement> by_id_, by_code_, count_, all_for_index_;
    std::unique_ptr<Statement> insert_share_;
    std::unique_ptr<Statement> get_fact_, set_fact_, forget_fact_;
};

}  // namespace cumulo::server
