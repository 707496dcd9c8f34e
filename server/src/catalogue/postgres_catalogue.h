// The catalogue of record in a PostgreSQL database (catalogue_of_record.h says what it holds).
// Every writing transaction first takes the change log's table lock (SHARE ROW EXCLUSIVE, which
// conflicts with itself and with every other writer of the log), so writers number their
// changes and commit one at a time: a change never commits after a higher-numbered one, and a
// follower reading "after position P" can never skip a late commit. Each commit that changed
// something sends NOTIFY cumulo_changes with its last number, inside the transaction, so it goes
// out at commit.
//
// A lost connection is taken up again by the next call outside a transaction; until the server
// answers, calls throw CatalogueUnreachable. Writes are bounded by statement and lock timeouts.
#pragma once

#include "catalogue/catalogue_of_record.h"
#include "catalogue/pq_connection.h"

#include <optional>
#include <string>

namespace cumulo::server {

inline constexpr const char* change_channel = "cumulo_changes";

class PostgresCatalogue : public CatalogueOfRecord {
public:
    // `writable`: the tables and the identity are made when missing (the primary); otherwise
    // nothing is written (a hot standby is read this way). Throws CatalogueUnreachable.
    PostgresCatalogue(const std::string& location, bool writable);

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

    // Listens for the positions writers announce (on this connection, and again after a
    // reconnection).
    void listen_for_changes();
    // The highest position announced since the last call, if any. Throws CatalogueUnreachable.
    std::optional<std::uint64_t> take_announced_position();
    // The connection's socket, readable when a notification may have come; -1 when down.
    int socket() const { return connection_.alive() ? connection_.socket() : -1; }

protected:
    void begin_write() override;
    void commit() override;
    void roll_back() noexcept override;
    void begin_read() override;
    void end_read() noexcept override;

private:
    // The connection, taken up again first when it was lost outside a transaction.
    PqConnection& connection();
    PqResult run(std::string_view sql, const std::vector<PqParam>& params = {});
    // The new shares row, or 0 when the share's id or code is already present.
    std::int64_t insert(const Share& share);

    PqConnection connection_;
    bool listening_ = false;
    bool in_transaction_ = false;
    bool wrote_ = false;  // the open write transaction recorded a change
};

}  // namespace cumulo::server
