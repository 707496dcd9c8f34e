#include "catalogue/catalogue.h"

#include "index/share_index_builder.h"

namespace cumulo::server {

namespace {

constexpr const char* schema = R"sql(
CREATE TABLE IF NOT EXISTS shares (
    id      INTEGER PRIMARY KEY,
    name    TEXT NOT NULL,
    type    TEXT NOT NULL CHECK (type IN ('album', 'file', 'folder')),
    size    INTEGER NOT NULL CHECK (size >= 0),
    shareid INTEGER CHECK (shareid > 0),
    code    TEXT,
    uk      INTEGER NOT NULL CHECK (uk > 0),
    CHECK ((shareid IS NULL) <> (code IS NULL))
);
CREATE UNIQUE INDEX IF NOT EXISTS shares_by_id ON shares (shareid, uk) WHERE shareid IS NOT NULL;
CREATE UNIQUE INDEX IF NOT EXISTS shares_by_code ON shares (code) WHERE code IS NOT NULL;
CREATE TABLE IF NOT EXISTS facts (key TEXT PRIMARY KEY, value TEXT NOT NULL);
-- Catalogues made before the search index moved into memory carry its predecessors.
DROP TABLE IF EXISTS share_names;
DROP INDEX IF EXISTS shares_by_size;
DROP INDEX IF EXISTS shares_by_type_size;
)sql";

constexpr std::string_view share_columns = "s.name, s.type, s.size, s.shareid, s.code, s.uk";

}  // namespace

Catalogue::Catalogue(const std::string& path, Access access)
    : db_(path, access == Access::read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)
{
    // Readers map the file: the request threads then share the system's page cache.
    db_.exec("PRAGMA mmap_size = 1073741824");
    if (access == Access::read_write) {
        // A large page cache keeps the indexes' pages in memory through a big import.
        db_.exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; PRAGMA cache_size = -131072;");
        db_.exec(schema);
    }
}

Statement& Catalogue::prepared(std::unique_ptr<Statement>& slot, std::string_view sql)
{
    if (!slot)
        slot = std::make_unique<Statement>(db_, sql);
    slot->reset();
    return *slot;
}

Share Catalogue::read_share(const Statement& row)
{
    Share share;
    share.name = row.column_text(0);
    share.type = type_from_word(row.column_text(1)).value_or(ShareType::file);
    share.size = static_cast<std::uint64_t>(row.column_int(2));
    if (row.column_is_null(3))
        share.code = row.column_text(4);
    else
        share.shareid = static_cast<std::uint64_t>(row.column_int(3));
    share.uk = static_cast<std::uint64_t>(row.column_int(5));
    return share;
}

std::shared_ptr<const ShareIndex> Catalogue::index()
{
    if (index_)
        return index_;
    // Shares go into the builder one by one: the catalogue is never held twice in memory.
    ShareIndexBuilder builder;
    builder.reserve(share_count());
    Statement& statement = prepared(all_for_index_, "SELECT " + std::string(share_columns) + " FROM shares s ORDER BY s.id");
    while (statement.step())
        builder.add(read_share(statement));
    statement.reset();
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

Catalogue::AddResult Catalogue::add(const Share& share)
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
            return AddResult::duplicate;
        throw;
    }
    insert.reset();
    index_.reset();
    return AddResult::added;
}

void Catalogue::clear()
{
    db_.exec("DELETE FROM shares");
    index_.reset();
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

Catalogue::Transaction::Transaction(Catalogue& catalogue) : catalogue_(catalogue)
{
    catalogue_.db_.exec("BEGIN IMMEDIATE");
}

Catalogue::Transaction::~Transaction()
{
    if (open_)
        sqlite3_exec(catalogue_.db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Catalogue::Transaction::commit()
{
    catalogue_.db_.exec("COMMIT");
    open_ = false;
}

}  // namespace cumulo::server
