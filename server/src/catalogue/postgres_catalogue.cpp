#include "catalogue/postgres_catalogue.h"

#include "index/share_index_builder.h"
#include "text/decimal.h"
#include "text/random_hex.h"

namespace cumulo::server {

namespace {

// The same tables as the SQLite catalogue's. The change log's numbers come from its sequence,
// taken under the table lock every writer holds (see the header), so they rise in commit order.
constexpr const char* schema = R"sql(
CREATE TABLE IF NOT EXISTS shares (
    id      bigserial PRIMARY KEY,
    name    text NOT NULL,
    type    text NOT NULL CHECK (type IN ('album', 'file', 'folder')),
    size    bigint NOT NULL CHECK (size >= 0),
    shareid bigint CHECK (shareid > 0),
    code    text,
    uk      bigint NOT NULL CHECK (uk > 0),
    CHECK ((shareid IS NULL) <> (code IS NULL))
);
CREATE UNIQUE INDEX IF NOT EXISTS shares_by_id ON shares (shareid, uk) WHERE shareid IS NOT NULL;
CREATE UNIQUE INDEX IF NOT EXISTS shares_by_code ON shares (code) WHERE code IS NOT NULL;
CREATE TABLE IF NOT EXISTS facts (key text PRIMARY KEY, value text NOT NULL);
CREATE TABLE IF NOT EXISTS changes (
    number  bigserial PRIMARY KEY,
    kind    text NOT NULL CHECK (kind IN ('put', 'remove', 'clear')),
    share   bigint,
    shareid bigint,
    code    text,
    uk      bigint
);
)sql";

// Nodes starting together make the tables one at a time (CREATE ... IF NOT EXISTS alone races).
constexpr const char* schema_lock = "SELECT pg_advisory_xact_lock(hashtext('cumulo-search schema'))";

// A write waits at most this long for the log's lock, and a statement of it runs at most this
// long: a request thread is never held by the catalogue of record for longer.
constexpr const char* write_bounds = "SET LOCAL lock_timeout = '5s'; SET LOCAL statement_timeout = '10s'";

constexpr const char* share_columns = "s.name, s.type, s.size, s.shareid, s.code, s.uk";

// Shares fetched at once while the index is built: the catalogue is never held whole in memory.
constexpr int shares_per_fetch = 10'000;

std::string decimal(std::uint64_t number)
{
    return std::to_string(number);
}

PqParam optional_decimal(std::uint64_t number)
{
    return number != 0 ? PqParam(decimal(number)) : std::nullopt;
}

Share read_share(const PqResult& result, int row, int first_column = 0)
{
    Share share;
    share.name = result.text(row, first_column);
    share.type = type_from_word(result.text(row, first_column + 1)).value_or(ShareType::file);
    share.size = static_cast<std::uint64_t>(result.number(row, first_column + 2));
    if (result.is_null(row, first_column + 3))
        share.code = result.text(row, first_column + 4);
    else
        share.shareid = static_cast<std::uint64_t>(result.number(row, first_column + 3));
    share.uk = static_cast<std::uint64_t>(result.number(row, first_column + 5));
    return share;
}

}  // namespace

PostgresCatalogue::PostgresCatalogue(const std::string& location, bool writable) : connection_(location)
{
    if (!writable)
        return;
    // The tables, and the name the first writer to get here gives the catalogue (any other keeps
    // it), in one transaction: a connection lost halfway rolls it all back.
    run("BEGIN");
    run(schema_lock);
    run(schema);
    run("INSERT INTO facts (key, value) VALUES ('identity', $1) ON CONFLICT DO NOTHING", {random_hex(16)});
    run("COMMIT");
}

PqConnection& PostgresCatalogue::connection()
{
    if (!connection_.alive() && !in_transaction_) {
        connection_.reconnect();
        if (listening_)
            connection_.exec(std::string("LISTEN ") + change_channel);
    }
    return connection_;
}

PqResult PostgresCatalogue::run(std::string_view sql, const std::vector<PqParam>& params)
{
    return connection().exec(sql, params);
}

void PostgresCatalogue::begin_write()
{
    run("BEGIN");
    in_transaction_ = true;
    wrote_ = false;
    try {
        run(write_bounds);
        run("LOCK TABLE changes IN SHARE ROW EXCLUSIVE MODE");
    } catch (...) {
        // No Transaction owns it yet: it would stay open on the connection.
        roll_back();
        throw;
    }
}

void PostgresCatalogue::commit()
{
    if (wrote_)
        run("SELECT pg_notify($1, (SELECT max(number) FROM changes)::text)", {change_channel});
    try {
        run("COMMIT");
    } catch (const CatalogueUnreachable& lost) {
        in_transaction_ = false;
        throw CommitOutcomeUnknown(lost.what());
    } catch (...) {
        in_transaction_ = false;
        throw;
    }
    in_transaction_ = false;
}

void PostgresCatalogue::roll_back() noexcept
{
    if (!in_transaction_)
        return;
    in_transaction_ = false;
    if (!connection_.alive())
        return;  // the server rolled it back when the connection went
    try {
        connection_.exec("ROLLBACK");
    } catch (...) {
        // A connection that fails here is taken up again by the next call.
    }
}

void PostgresCatalogue::begin_read()
{
    // Repeatable read: every statement sees the snapshot of the first (a hot standby allows it).
    run("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
    in_transaction_ = true;
}

void PostgresCatalogue::end_read() noexcept
{
    roll_back();
}

std::shared_ptr<const ShareIndex> PostgresCatalogue::index()
{
    bool own_view = !in_transaction_;
    std::optional<ReadTransaction> view;
    if (own_view)
        view.emplace(*this);
    ShareIndexBuilder builder;
    builder.reserve(share_count());
    run(std::string("DECLARE all_shares NO SCROLL CURSOR FOR SELECT ") + share_columns + " FROM shares s ORDER BY s.id");
    for (;;) {
        PqResult part = run("FETCH " + std::to_string(shares_per_fetch) + " FROM all_shares");
        for (int row = 0; row < part.rows(); ++row)
            builder.add(read_share(part, row));
        if (part.rows() < shares_per_fetch)
            break;
    }
    run("CLOSE all_shares");
    return std::make_shared<const ShareIndex>(builder.finish());
}

std::optional<Share> PostgresCatalogue::find_by_id(std::uint64_t shareid, std::uint64_t uk)
{
    if (shareid == 0 || shareid > max_stored_number || uk > max_stored_number)
        return std::nullopt;
    PqResult result = run(std::string("SELECT ") + share_columns + " FROM shares s WHERE s.shareid = $1 AND s.uk = $2",
                          {decimal(shareid), decimal(uk)});
    if (result.rows() == 0)
        return std::nullopt;
    return read_share(result, 0);
}

std::optional<Share> PostgresCatalogue::find_by_code(std::string_view code)
{
    PqResult result = run(std::string("SELECT ") + share_columns + " FROM shares s WHERE s.code = $1",
                          {std::string(code)});
    if (result.rows() == 0)
        return std::nullopt;
    return read_share(result, 0);
}

std::uint64_t PostgresCatalogue::share_count()
{
    return static_cast<std::uint64_t>(run("SELECT count(*) FROM shares").number(0, 0));
}

bool PostgresCatalogue::empty()
{
    return run("SELECT NOT EXISTS (SELECT 1 FROM shares)").text(0, 0) == "t";
}

std::uint64_t PostgresCatalogue::position()
{
    return static_cast<std::uint64_t>(run("SELECT coalesce(max(number), 0) FROM changes").number(0, 0));
}


// Each write below writes the share and its change in one statement: one round trip a share.
std::int64_t PostgresCatalogue::insert(const Share& share)
{
    PqResult inserted = run("WITH added AS (INSERT INTO shares (name, type, size, shareid, code, uk)"
                            "               VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT DO NOTHING RETURNING id)"
                            " INSERT INTO changes (kind, share, shareid, code, uk)"
                            " SELECT 'put', id, $4::bigint, $5::text, $6::bigint FROM added RETURNING share",
                            {share.name, std::string(type_word(share.type)), decimal(share.size),
                             optional_decimal(share.shareid),
                             share.shareid == 0 ? PqParam(share.code) : std::nullopt, decimal(share.uk)});
    if (inserted.rows() == 0)
        return 0;
    wrote_ = true;
    return inserted.number(0, 0);
}

CatalogueOfRecord::AddResult PostgresCatalogue::add(const Share& share)
{
    return insert(share) != 0 ? AddResult::added : AddResult::duplicate;
}

CatalogueOfRecord::PutResult PostgresCatalogue::put(const Share& share)
{
    if (std::int64_t row = insert(share))
        return {false, row};
    PqResult replaced =
        share.shareid != 0
            ? run("WITH replaced AS (UPDATE shares SET name = $1, type = $2, size = $3"
                  "                  WHERE shareid = $4 AND uk = $5 RETURNING id)"
                  " INSERT INTO changes (kind, share, shareid, uk)"
                  " SELECT 'put', id, $4::bigint, $5::bigint FROM replaced RETURNING share",
                  {share.name, std::string(type_word(share.type)), decimal(share.size), decimal(share.shareid),
                   decimal(share.uk)})
            : run("WITH replaced AS (UPDATE shares SET name = $1, type = $2, size = $3, uk = $5"
                  "                  WHERE code = $4 RETURNING id)"
                  " INSERT INTO changes (kind, share, code, uk)"
                  " SELECT 'put', id, $4::text, $5::bigint FROM replaced RETURNING share",
                  {share.name, std::string(type_word(share.type)), decimal(share.size), share.code, decimal(share.uk)});
    if (replaced.rows() == 0)
        throw PqError("", "share " + id_and_owner(share) + " is neither new nor present");
    wrote_ = true;
    return {true, replaced.number(0, 0)};
}

bool PostgresCatalogue::remove(const Share& identity)
{
    if (identity.shareid > max_stored_number || identity.uk > max_stored_number)
        return false;
    PqResult removed = identity.shareid != 0
                           ? run("WITH removed AS (DELETE FROM shares WHERE shareid = $1 AND uk = $2 RETURNING uk)"
                                 " INSERT INTO changes (kind, shareid, uk)"
                                 " SELECT 'remove', $1::bigint, uk FROM removed RETURNING uk",
                                 {decimal(identity.shareid), decimal(identity.uk)})
                           : run("WITH removed AS (DELETE FROM shares WHERE code = $1 AND $2::bigint IN (0, uk)"
                                 "                 RETURNING uk)"
                                 " INSERT INTO changes (kind, code, uk)"
                                 " SELECT 'remove', $1::text, uk FROM removed RETURNING uk",
                                 {identity.code, decimal(identity.uk)});
    if (removed.rows() == 0)
        return false;
    wrote_ = true;
    return true;
}

void PostgresCatalogue::clear()
{
    run("DELETE FROM shares; INSERT INTO changes (kind) VALUES ('clear')");
    wrote_ = true;
}

CatalogueOfRecord::ChangesAfter PostgresCatalogue::changes_after(std::uint64_t position, std::size_t limit)
{
    // One statement reads the log and the shares it names as of one moment.
    PqResult result = run(std::string("SELECT c.number, c.kind, c.shareid, c.code, c.uk, ") + share_columns
                              + " FROM changes c LEFT JOIN shares s ON s.id = c.share"
                                " WHERE c.number > $1 ORDER BY c.number LIMIT $2",
                          {decimal(std::min<std::uint64_t>(position, max_stored_number)),
                           decimal(std::min<std::size_t>(limit, max_stored_number))});
    ChangesAfter after;
    after.position = position;
    for (int row = 0; row < result.rows(); ++row) {
        Change change;
        change.number = static_cast<std::uint64_t>(result.number(row, 0));
        after.position = change.number;
        std::string kind = result.text(row, 1);
        change.share.shareid = static_cast<std::uint64_t>(result.number(row, 2));
        change.share.code = result.is_null(row, 3) ? "" : result.text(row, 3);
        change.share.uk = static_cast<std::uint64_t>(result.number(row, 4));
        if (kind == "clear") {
            change.kind = Change::Kind::clear;
        } else if (kind == "remove") {
            change.kind = Change::Kind::remove;
        } else {
            if (result.is_null(row, 5))
                continue;  // the share was removed since
            Share stored = read_share(result, row, 5);
            bool same = change.share.shareid != 0
                            ? stored.shareid == change.share.shareid && stored.uk == change.share.uk
                            : stored.code == change.share.code;
            if (!same)
                continue;  // the row went to another share after this one was removed
            change.share = std::move(stored);
        }
        after.changes.push_back(std::move(change));
    }
    return after;
}

std::optional<std::string> PostgresCatalogue::fact(std::string_view key)
{
    PqResult result = run("SELECT value FROM facts WHERE key = $1", {std::string(key)});
    if (result.rows() == 0)
        return std::nullopt;
    return result.text(0, 0);
}

void PostgresCatalogue::set_fact(std::string_view key, std::string_view value)
{
    run("INSERT INTO facts (key, value) VALUES ($1, $2) ON CONFLICT (key) DO UPDATE SET value = excluded.value",
        {std::string(key), std::string(value)});
}

void PostgresCatalogue::forget_fact(std::string_view key)
{
    run("DELETE FROM facts WHERE key = $1", {std::string(key)});
}

void PostgresCatalogue::listen_for_changes()
{
    run(std::string("LISTEN ") + change_channel);
    listening_ = true;
}

std::optional<std::uint64_t> PostgresCatalogue::take_announced_position()
{
    std::optional<std::uint64_t> highest;
    for (const std::string& payload : connection().take_notifications())
        if (auto position = parse_decimal_up_to(payload, max_stored_number))
            highest = std::max(highest.value_or(0), *position);
    return highest;
}

}  // namespace cumulo::server
