// What the service does with its catalogue of record, whichever engine holds it: the SQLite
// file (catalogue.h) or a PostgreSQL database (postgres_catalogue.h). Both keep the same
// tables: the shares, the change log that numbers every write to them in commit order, and a
// few facts about the catalogue itself. One object is one connection, used by one thread at a
// time.
//
// The change log lets an index built from the shares as they were at position P (the highest
// change number then committed) follow the catalogue: it applies the changes numbered after P,
// in order. Each engine makes sure a change never commits after a higher-numbered one, so a
// follower that has applied every change up to its position can never miss one committed later.
#pragma once

#include "catalogue/share.h"
#include "index/share_index.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace cumulo::server {

// The catalogue of record cannot be reached (its server is down or the network is): nothing
// was written, and the next call tries to reach it again.
class CatalogueUnreachable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The connection was lost while the transaction committed: the server may have committed it or
// not, and nobody can tell this side which. Every other call that loses the connection throws
// CatalogueUnreachable with nothing written.
class CommitOutcomeUnknown : public CatalogueUnreachable {
public:
    using CatalogueUnreachable::CatalogueUnreachable;
};

class CatalogueOfRecord {
public:
    virtual ~CatalogueOfRecord() = default;

    // The search index of the shares as they are now (in a ReadTransaction: as of its moment).
    virtual std::shared_ptr<const ShareIndex> index() = 0;
    virtual std::optional<Share> find_by_id(std::uint64_t shareid, std::uint64_t uk) = 0;
    virtual std::optional<Share> find_by_code(std::string_view code) = 0;
    virtual std::uint64_t share_count() = 0;
    // Whether the catalogue holds no share (without counting them all, as share_count does).
    virtual bool empty() = 0;

    // A random 128-bit id in hex, made when the catalogue is first opened for writing, that
    // tells this catalogue from every other; empty for a catalogue never opened for writing.
    std::string identity() { return fact("identity").value_or(""); }
    // The highest change number committed; 0 before the first change.
    virtual std::uint64_t position() = 0;

    // Each write below records its change in the log; group them in a Transaction to commit
    // them together.
    enum class AddResult { added, duplicate };
    // The share must be valid (share_problem() empty). A share whose id or code is already
    // present is not added.
    virtual AddResult add(const Share& share) = 0;
    struct PutResult {
        bool replaced = false;
        std::int64_t row = 0;  // the shares row written
    };
    // Adds the share, or replaces the one with the same identity: the same shareid and uk, or
    // the same code. The share must be valid.
    virtual PutResult put(const Share& share) = 0;
    // Removes the share with the identity of `identity` (its shareid and uk, or its code; with
    // a code, a non-zero uk must match too). False when there is none.
    virtual bool remove(const Share& identity) = 0;
    // Removes every share.
    virtual void clear() = 0;

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
    virtual ChangesAfter changes_after(std::uint64_t position, std::size_t limit) = 0;

    virtual std::optional<std::string> fact(std::string_view key) = 0;
    virtual void set_fact(std::string_view key, std::string_view value) = 0;
    virtual void forget_fact(std::string_view key) = 0;

    // Groups writes; rolls back unless committed.
    class Transaction {
    public:
        explicit Transaction(CatalogueOfRecord& catalogue) : catalogue_(catalogue) { catalogue_.begin_write(); }
        ~Transaction()
        {
            if (open_)
                catalogue_.roll_back();
        }
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        void commit()
        {
            catalogue_.commit();
            open_ = false;
        }

    private:
        CatalogueOfRecord& catalogue_;
        bool open_ = true;
    };

    // Reads in one view of the catalogue: what other connections commit meanwhile is not seen.
    class ReadTransaction {
    public:
        explicit ReadTransaction(CatalogueOfRecord& catalogue) : catalogue_(catalogue) { catalogue_.begin_read(); }
        ~ReadTransaction() { catalogue_.end_read(); }
        ReadTransaction(const ReadTransaction&) = delete;
        ReadTransaction& operator=(const ReadTransaction&) = delete;

    private:
        CatalogueOfRecord& catalogue_;
    };

protected:
    virtual void begin_write() = 0;
    virtual void commit() = 0;
    // Never throws: a connection that is gone has rolled back by itself.
    virtual void roll_back() noexcept = 0;
    virtual void begin_read() = 0;
    virtual void end_read() noexcept = 0;
};

}  // namespace cumulo::server
