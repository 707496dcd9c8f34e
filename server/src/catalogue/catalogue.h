// The share catalogue in SQLite: the shares table, the change log that numbers every write to
// it, and a small key-value table of facts about the catalogue itself, searched through the
// in-memory index of share_index.h. One Catalogue is one connection and must be used by one
// thread at a time.
//
// The change log lets an index built from the shares as they were at position P (the highest
// change number then committed) follow the catalogue: it applies the changes numbered after P,
// in order. Numbers are handed out inside the writing transaction, and SQLite lets one writer
// at a time, so a change never commits after a higher-numbered one: a follower that has applied
// every change up to its position can never miss one committed later.
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
    // The search index of the shares as they are now, built from the table on first use (and
    // again after any change).
    std::shared_ptr<const ShareIndex> index();
    std::optional<Share> find_by_id(std::uint64_t shareid, std::uint64_t uk);
    std::optional<Share> find_by_code(std::string_view code);
    std::uint64_t share_count();
    // Whether the catalogue holds no share (without counting them all, as share_count does).
    bool empty();

    // A random 128-bit id in hex, made when the catalogue is first opened for writing, that
    // tells this catalogue from every other; empty for a catalogue never opened for writing.
    std::string identity();
    // The highest change number committed; 0 before the first change.
    std::uint64_t position();

    // Each write below records its change in the log; group them in a Transaction to commit
    // them together.
    enum class AddResult { added, duplicate };
    // The share must be valid (share_problem() empty). A share whose id or code is already
    // present is not added.
    AddResult add(const Share& share);
    struct PutResult {
        bool replaced = false;
        std::int64_t row = 0;  // the shares row written
    };
    // Adds the share, or replaces the one with the same identity: the same shareid and uk, or
    // the same code. The share must be valid.
    PutResult put(const Share& share);
    // Removes the share with the identity of `identity` (its shareid and uk, or its code; with
    // a code, a non-zero uk must match too). False when there is none.
    bool remove(const Share& identity);
    // Removes every share.
    void clear();

    struct Change {
        enum class Kind { put, remove, clear };
        std::uint64_t number = 0;
        Kind kind = Kind::put;
        // put: the share as the catalogue holds it; remove: the removed share's shareid or code,
        // and uk; clear: nothing.
        Share share;
    };
    struct ChangesAfter {
        std::vector<Change> changes;
        // The position these changes bring a follower to: the last number read. A put whose
        // share was removed or replaced after it is left out of `changes` (the later change is
        // there to apply), but counts here.
        std::uint64_t position = 0;
    };
    // The changes numbered after `position`, oldest first, reading at most `limit` of them, all
    // as of one moment (so never part of a transaction's changes when fewer than `limit` come
    // back). A put carries the share as it is when read, which may be newer than the change (a
    // later change then repeats it); once it has applied every change, a follower holds the
    // catalogue as it is at its position.
    ChangesAfter changes_after(std::uint64_t position, std::size_t limit);

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

    // Reads in one view of the catalogue: what other connections commit meanwhile is not seen.
    class ReadTransaction {
    public:
        explicit ReadTransaction(Catalogue& catalogue);
        ~ReadTransaction();
        ReadTransaction(const ReadTransaction&) = delete;
        ReadTransaction& operator=(const ReadTransaction&) = delete;

    private:
        Catalogue& catalogue_;
    };

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
