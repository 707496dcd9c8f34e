#include "catalogue/catalogue.h"

#include "index/share_index_builder.h"
#include "text/random_hex.h"

namespace cumulo::server {

namespace {

// The CHECKs on words are comparisons joined by OR, not IN lists: SQLite makes a table in
// memory for an IN list each time a row is written, a tenth of a write's time. (Catalogues made
// before keep their IN lists; they mean the same.)
constexpr const char* schema = R"sql(
CREATE TABLE IF NOT EXISTS shares (
    id      INTEGER PRIMARY KEY,
    name    TEXT NOT NULL,
    type    TEXT NOT NULL CHECK (type = 'album' OR type = 'file' OR type = 'folder'),
    size    INTEGER NOT NULL CHECK (size >= 0),
    shareid INTEGER CHECK (shareid > 0),
    code    TEXT,
    uk      INTEGER NOT NULL CHECK (uk > 0),
    CHECK ((shareid IS NULL) <> (code IS NULL))
);
CREATE UNIQUE INDEX IF NOT EXISTS shares_by_id ON shares (shareid, uk) WHERE shareid IS NOT NULL;
CREATE UNIQUE INDEX IF NOT EXISTS shares_by_code ON shares (code) WHERE code IS NOT NULL;
CREATE TABLE IF NOT EXISTS facts (key TEXT PRIMARY KEY, value TEXT NOT NULL);
-- The change log: one row for each share put or removed, and one for each clearing of the
-- whole table, numbered in commit order. `share` is the shares row a put wrote (read it for
-- the share's contents); shareid or code, and uk, name the share the change is about.
-- AUTOINCREMENT: a number is never handed out twice, even once old changes are dropped.
CREATE TABLE IF NOT EXISTS changes (
    number  INTEGER PRIMARY KEY AUTOINCREMENT,
    kind    TEXT NOT NULL CHECK (kind = 'put' OR kind = 'remove' OR kind = 'clear'),
    share   INTEGER,
    shareid INTEGER,
    code    TEXT,
    uk      INTEGER
);
-- Catalogues made before the search index moved into memory carry its predecessors.
DROP TABLE IF EXISTS share_names;
DROP INDEX IF EXISTS shares_by_size;
DROP INDEX IF EXISTS shares_by_type_size;
)sql";

// Readers map the file: the request threads then share the system's page cache.
constexpr const char* map_for_readers = "PRAGMA mmap_size = 1073741824";

// The path as an SQLite URI that opens it as an unchanging file.
std::string unchanging_file_uri(const std::string& path)
{
    std::string uri = "file:";
    for (char c : path) {
        if (c == '%' || c == '?' || c == '#') {
            static constexpr char hex[] = "0123456789ABCDEF";
            uri += '%';
            uri += hex[static_cast<unsigned char>(c) >> 4];
            uri += hex[static_cast<unsigned char>(c) & 0xF];
        } else {
            uri += c;
        }
    }
    return uri + "?immutable=1";
}

int open_flags(Catalogue::Access access)
{
    switch (access) {
    case Catalogue::Access::read_write: return SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    case Catalogue::Access::read_only: return SQLITE_OPEN_READONLY;
    case Catalogue::Access::read_only_unchanging: return SQLITE_OPEN_READONLY | SQLITE_OPEN_URI;
    }
    return SQLITE_OPEN_READONLY;
}

constexpr std::string_view share_columns = "s.name, s.type, s.size, s.shareid, s.code, s.uk";

}  // namespace

Catalogue::Catalogue(const std::string& path, Access access)
    : db_(access == Access::read_only_unchanging ? unchanging_file_uri(path) : path, open_flags(access))
{
    db_.exec(map_for_readers);
    if (access == Access::read_write) {
        // A large page cache keeps the indexes' pages in memory through a big import.
        // synchronous = FULL: a commit is on the disk before it returns, so a write that was
        // answered survives a power cut.
        db_.exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL; PRAGMA cache_size = -131072;");
        db_.exec(schema);
        // The first writer to get here names the catalogue; any other keeps that name.
        Statement name(db_, "INSERT OR IGNORE INTO facts (key, value) VALUES ('identity', ?1)");
        name.bind(1, random_hex(16));
        name.step();
    }
}

Statement& Catalogue::prepared(std::unique_ptr<Statement>& slot, std::string_view sql)
{
    if (!slot)
        slot = std::make_unique<Statement>(db_, sql);
    slot->reset();
    return *slot;
}

Share Catalogue::read_share(const Statement& row, int first_column)
{
    Share share;
    share.name = row.column_text(first_column);
    share.type = type_from_word(row.column_text(first_column + 1)).value_or(ShareType::file);
    share.size = static_cast<std::uint64_t>(row.column_int(first_column + 2));
    if (row.column_is_null(first_column + 3))
        share.code = row.column_text(first_column + 4);
    else
        share.shareid = static_cast<std::uint64_t>(row.column_int(first_column + 3));
    share.uk = static_cast<std::uint64_t>(row.column_int(first_column + 5));
    return share;
}

std::shared_ptr<const ShareIndex> Catalogue::index()
{
    if (index_)
        return index_;
    // Shares go into the builder one by one: the catalogue is never held twice in memory. The
    // scan reads every page of the file once; read through the map, they would all stay
    // resident with the process while the index is built.
    ShareIndexBuilder builder;
    builder.reserve(share_count());
    db_.exec("PRAGMA mmap_size = 0");
    Statement& statement = prepared(all_for_index_, "SELECT " + std::string(share_columns) + " FROM shares s ORDER BY s.id");
    while (statement.step())
        builder.add(read_share(statement));
    statement.reset();
    db_.exec(map_for_readers);
    index_ = std::make_shared<const ShareIndex>(builder.finish());
    return index_;
}

std::vector<Share> Catalogue::search(const SearchQuery& query, std::chrono::steady_clock::time_point deadline)
{
    return index()->search(query, deadline);
}

std::optional<Share> Catalogue::find_by_id(std::uint64_t shareid, std::uint64_t uk)
{
    if (shareid == 0 || shareid > max_stored_number || uk > max_stored_number)
        return std::nullopt;
    Statement& statement = prepared(by_id_, "SELECT " + std::string(share_columns)
                                                + " FROM shares s WHERE s.shareid = ?1 AND s.uk = ?2");
    statement.bind(1, static_cast<std::int64_t>(shareid));
    statement.bind(2, static_cast<std::int64_t>(uk));
    std::optional<Share> found;
    if (statement.step())
        found = read_share(statement);
    statement.reset();
    return found;
}

std::optional<Share> Catalogue::find_by_code(std::string_view code)
{
    Statement& statement = prepared(by_code_, "SELECT " + std::string(share_columns)
                                                  + " FROM shares s WHERE s.code = ?1");
    statement.bind(1, code);
    std::optional<Share> found;
    if (statement.step())
        found = read_share(statement);
    statement.reset();
    return found;
}

std::uint64_t Catalogue::share_count()
{
    Statement& statement = prepared(count_, "SELECT count(*) FROM shares");
    statement.step();
    auto count = static_cast<std::uint64_t>(statement.column_int(0));
    statement.reset();
    return count;
}

bool Catalogue::empty()
{
    Statement& statement = prepared(empty_, "SELECT NOT EXISTS (SELECT 1 FROM shares)");
    statement.step();
    bool empty = statement.column_int(0) != 0;
    statement.reset();
    return empty;
}

std::uint64_t Catalogue::position()
{
    Statement& statement = prepared(position_, "SELECT coalesce(max(number), 0) FROM changes");
    statement.step();
    auto position = static_cast<std::uint64_t>(statement.column_int(0));
    statement.reset();
    return position;
}

void Catalogue::record_change(std::string_view kind, std::int64_t row, const Share& identity)
{
    Statement& insert = prepared(record_change_,
                                 "INSERT INTO changes (kind, share, shareid, code, uk) VALUES (?1, ?2, ?3, ?4, ?5)");
    insert.bind(1, kind);
    if (row != 0)
        insert.bind(2, row);
    if (identity.shareid != 0)
        insert.bind(3, static_cast<std::int64_t>(identity.shareid));
    else if (!identity.code.empty())
        insert.bind(4, identity.code);
    if (identity.uk != 0)
        insert.bind(5, static_cast<std::int64_t>(identity.uk));
    insert.step();
    insert.reset();
}

std::int64_t Catalogue::insert(const Share& share)
{
    Statement& insert = prepared(insert_share_,
                                 "INSERT INTO shares (name, type, size, shareid, code, uk) VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    insert.bind(1, share.name);
    insert.bind(2, type_word(share.type));
    insert.bind(3, static_cast<std::int64_t>(share.size));
    if (share.shareid != 0)
        insert.bind(4, static_cast<std::int64_t>(share.shareid));
    else
        insert.bind(5, share.code);
    insert.bind(6, static_cast<std::int64_t>(share.uk));
    try {
        insert.step();
    } catch (const SqliteError& error) {
        if (error.code() == SQLITE_CONSTRAINT_UNIQUE)
            return 0;
        throw;
    }
    insert.reset();
    std::int64_t row = sqlite3_last_insert_rowid(db_.handle());
    record_change("put", row, share);
    index_.reset();
    return row;
}

Catalogue::AddResult Catalogue::add(const Share& share)
{
    return insert(share) != 0 ? AddResult::added : AddResult::duplicate;
}

Catalogue::PutResult Catalogue::put(const Share& share)
{
    if (std::int64_t row = insert(share))
        return {false, row};
    Statement& replace = share.shareid != 0
                             ? prepared(replace_by_id_, "UPDATE shares SET name = ?1, type = ?2, size = ?3"
                                                        " WHERE shareid = ?4 AND uk = ?5 RETURNING id")
                             : prepared(replace_by_code_, "UPDATE shares SET name = ?1, type = ?2, size = ?3, uk = ?5"
                                                          " WHERE code = ?4 RETURNING id");
    replace.bind(1, share.name);
    replace.bind(2, type_word(share.type));
    replace.bind(3, static_cast<std::int64_t>(share.size));
    if (share.shareid != 0)
        replace.bind(4, static_cast<std::int64_t>(share.shareid));
    else
        replace.bind(4, share.code);
    replace.bind(5, static_cast<std::int64_t>(share.uk));
    if (!replace.step())
        throw SqliteError(SQLITE_CONSTRAINT, "share " + id_and_owner(share) + " is neither new nor present");
    std::int64_t row = replace.column_int(0);
    while (replace.step()) {
    }
    replace.reset();
    record_change("put", row, share);
    index_.reset();
    return {true, row};
}

bool Catalogue::remove(const Share& identity)
{
    if (identity.shareid > max_stored_number || identity.uk > max_stored_number)
        return false;
    Statement& remove = identity.shareid != 0
                            ? prepared(remove_by_id_, "DELETE FROM shares WHERE shareid = ?1 AND uk = ?2 RETURNING uk")
                            : prepared(remove_by_code_, "DELETE FROM shares WHERE code = ?1 AND ?2 IN (0, uk) RETURNING uk");
    if (identity.shareid != 0)
        remove.bind(1, static_cast<std::int64_t>(identity.shareid));
    else
        remove.bind(1, identity.code);
    remove.bind(2, static_cast<std::int64_t>(identity.uk));
    if (!remove.step()) {
        remove.reset();
        return false;
    }
    Share removed;
    removed.shareid = identity.shareid;
    removed.code = identity.code;
    removed.uk = static_cast<std::uint64_t>(remove.column_int(0));
    while (remove.step()) {
    }
    remove.reset();
    record_change("remove", 0, removed);
    index_.reset();
    return true;
}

void Catalogue::clear()
{
    db_.exec("DELETE FROM shares");
    record_change("clear", 0, Share{});
    index_.reset();
}

Catalogue::ChangesAfter Catalogue::changes_after(std::uint64_t position, std::size_t limit)
{
    // One statement reads the log and the shares it names as of one moment.
    Statement& statement = prepared(
        changes_after_, "SELECT c.number, c.kind, c.shareid, c.code, c.uk, " + std::string(share_columns)
                            + " FROM changes c LEFT JOIN shares s ON s.id = c.share"
                              " WHERE c.number > ?1 ORDER BY c.number LIMIT ?2");
    statement.bind(1, static_cast<std::int64_t>(std::min<std::uint64_t>(position, max_stored_number)));
    statement.bind(2, static_cast<std::int64_t>(std::min<std::size_t>(limit, max_stored_number)));
    ChangesAfter after;
    after.position = position;
    while (statement.step()) {
        Change change;
        change.number = static_cast<std::uint64_t>(statement.column_int(0));
        after.position = change.number;
        std::string kind = statement.column_text(1);
        change.share.shareid = static_cast<std::uint64_t>(statement.column_int(2));
        change.share.code = statement.column_text(3);
        change.share.uk = static_cast<std::uint64_t>(statement.column_int(4));
        if (kind == "clear") {
            change.kind = Change::Kind::clear;
        } else if (kind == "remove") {
            change.kind = Change::Kind::remove;
        } else {
            if (statement.column_is_null(5))
                continue;  // the share was removed since
            Share stored = read_share(statement, 5);
            bool same = change.share.shareid != 0
                            ? stored.shareid == change.share.shareid && stored.uk == change.share.uk
                            : stored.code == change.share.code;
            if (!same)
                continue;  // the row went to another share after this one was removed
            change.share = std::move(stored);
        }
        after.changes.push_back(std::move(change));
    }
    statement.reset();
    return after;
}

std::optional<std::string> Catalogue::fact(std::string_view key)
{
    Statement& statement = prepared(get_fact_, "SELECT value FROM facts WHERE key = ?1");
    statement.bind(1, key);
    std::optional<std::string> value;
    if (statement.step())
        value = statement.column_text(0);
    statement.reset();
    return value;
}

void Catalogue::set_fact(std::string_view key, std::string_view value)
{
    Statement& statement = prepared(set_fact_, "INSERT OR REPLACE INTO facts (key, value) VALUES (?1, ?2)");
    statement.bind(1, key);
    statement.bind(2, value);
    statement.step();
    statement.reset();
}

void Catalogue::forget_fact(std::string_view key)
{
    Statement& statement = prepared(forget_fact_, "DELETE FROM facts WHERE key = ?1");
    statement.bind(1, key);
    statement.step();
    statement.reset();
}

void Catalogue::begin_write()
{
    db_.exec("BEGIN IMMEDIATE");
}

void Catalogue::commit()
{
    db_.exec("COMMIT");
}

void Catalogue::roll_back() noexcept
{
    sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Catalogue::begin_read()
{
    db_.exec("BEGIN");
}

void Catalogue::end_read() noexcept
{
    sqlite3_exec(db_.handle(), "COMMIT", nullptr, nullptr, nullptr);
}

}  // namespace cumulo::server
