// The share catalogue in SQLite: the shares table, a trigram full-text index over the names
// and a small key-value table of facts about the catalogue itself. One Catalogue is one
// connection and must be used by one thread at a time.
#pragma once

#include "search_query.h"
#include "share.h"
#include "sqlite_db.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cumulo::server {

class Catalogue {
public:
    enum class Access { read_write, read_only };

    // read_write creates the file and the schema when missing.
    explicit Catalogue(const std::string& path, Access access = Access::read_write);

    // Two plans give the same rows: "collect" gathers every match and sorts them (quick when
    // matches are few), "walk" goes through the shares in size order and stops at the page
    // (quick when matches are many). A key's likelier plan runs first with a work budget; if
    // it runs out, the other plan answers. Past `deadline` the search throws
    // SearchDeadlineExceeded (search_deadline.h).
    std::vector<Share> search(const SearchQuery& query,
                              std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());
    // How long the first plan may run (zero: as long as it takes). Tests shrink it to
    // exercise the second plan.
    void set_search_budget(std::chrono::microseconds budget) { search_budget_ = budget; }
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
    enum class Plan { collect, walk };
    // Rows of one plan, or nullopt when it ran out of time before `deadline`.
    std::optional<std::vector<Share>> run_plan(Plan plan, const SearchQuery& query,
                                               std::chrono::steady_clock::time_point deadline);
    static int on_progress(void* catalogue);
    // Whether the trigram index holds at least `count` names with the phrase (counts no further).
    bool matches_at_least(std::string_view phrase, std::uint64_t count);
    // Runs `step` on the statement until it ends, checking the clock against deadline_; throws
    // SearchDeadlineExceeded when it runs out.
    template <typename Step>
    void run_until_deadline(Statement& statement, Step step);

    // With a million shares a full scan takes about 200 ms here and a walk that soon fills its
    // page a few; a first plan that runs past this budget is likely the slow one.
    std::chrono::microseconds search_budget_{50'000};
    std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();
    // Search statements by plan, key length, order and type filter.
    std::unique_ptr<Statement> search_statements_[16];
    std::unique_ptr<Statement> count_matches_;
    std::unique_ptr<Statement> by_id_, by_code_, count_;
    std::unique_ptr<Statement> insert_share_, insert_name_;
    std::unique_ptr<Statement> get_fact_, set_fact_, forget_fact_;
};

}  // namespace cumulo::server
