#include "catalogue.h"

#include "search_deadline.h"
#include "utf8.h"

#include <algorithm>

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
CREATE INDEX IF NOT EXISTS shares_by_size ON shares (size);
CREATE INDEX IF NOT EXISTS shares_by_type_size ON shares (type, size);
CREATE VIRTUAL TABLE IF NOT EXISTS share_names
    USING fts5 (name, content = 'shares', content_rowid = 'id', tokenize = 'trigram');
CREATE TABLE IF NOT EXISTS facts (key TEXT PRIMARY KEY, value TEXT NOT NULL);
)sql";

constexpr std::string_view share_columns = "s.name, s.type, s.size, s.shareid, s.code, s.uk";

// Keys of three or more characters go through the trigram index; shorter ones cannot (the
// index holds only three-character pieces) and are matched by LIKE over the names.
constexpr std::size_t trigram_length = 3;

// Virtual-machine instructions between two looks at the clock while a plan runs.
constexpr int progress_interval = 200;

std::string search_sql(bool collect, bool short_key, bool descending, bool typed)
{
    std::string order = descending ? "DESC" : "ASC";
    std::string sql = "SELECT " + std::string(share_columns);
    std::string matches = short_key ? "s.name LIKE ?1 ESCAPE '\\'"
                                    : "+s.id IN (SELECT rowid FROM share_names WHERE share_names MATCH ?1)";
    if (collect) {
        // Every match, then sorted; the unary + keeps the sort off the size indexes.
        if (short_key)
            sql += " FROM shares s WHERE " + matches;
        else
            sql += " FROM share_names JOIN shares s ON s.id = share_names.rowid WHERE share_names MATCH ?1";
        if (typed)
            sql += " AND +s.type = ?2";
        sql += " ORDER BY +s.size " + order + ", s.id " + order;
    } else {
        // Shares in size order, each checked against the key, until the page is full. The check
        // against the index's match list needs no row of the table.
        sql += typed ? " FROM shares s INDEXED BY shares_by_type_size WHERE s.type = ?2 AND " + matches
                     : " FROM shares s INDEXED BY shares_by_size WHERE " + matches;
        sql += " ORDER BY s.size " + order + ", s.id " + order;
    }
    return sql + " LIMIT ?3 OFFSET ?4";
}

// The key as one FTS5 phrase: a substring match of the whole key.
std::string phrase_of(std::string_view key)
{
    std::string phrase = "\"";
    for (char c : key)
        phrase += c == '"' ? std::string("\"\"") : std::string(1, c);
    return phrase + '"';
}

// The key as a LIKE pattern matching it anywhere, its own wildcards taken literally.
std::string like_pattern_of(std::string_view key)
{
    std::string pattern = "%";
    for (char c : key) {
        if (c == '%' || c == '_' || c == '\\')
            pattern += '\\';
        pattern += c;
    }
    return pattern + '%';
}

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

int Catalogue::on_progress(void* catalogue)
{
    auto& self = *static_cast<Catalogue*>(catalogue);
    return std::chrono::steady_clock::now() > self.deadline_;
}

template <typename Step>
void Catalogue::run_until_deadline(Statement& statement, Step step)
{
    sqlite3_progress_handler(db_.handle(), progress_interval, &Catalogue::on_progress, this);
    try {
        while (statement.step())
            step();
    } catch (const SqliteError& error) {
        sqlite3_progress_handler(db_.handle(), 0, nullptr, nullptr);
        statement.reset();
        if (error.code() == SQLITE_INTERRUPT)
            throw SearchDeadlineExceeded("the search ran out of time");
        throw;
    }
    sqlite3_progress_handler(db_.handle(), 0, nullptr, nullptr);
    statement.reset();
}

std::optional<std::vector<Share>> Catalogue::run_plan(Plan plan, const SearchQuery& query,
                                                      std::chrono::steady_clock::time_point deadline)
{
    bool collect = plan == Plan::collect;
    bool short_key = count_characters(query.key) < trigram_length;
    bool typed = query.type.has_value();
    std::size_t slot = (collect ? 8 : 0) + (short_key ? 4 : 0) + (query.descending ? 2 : 0) + (typed ? 1 : 0);
    auto& statement_slot = search_statements_[slot];
    if (!statement_slot)
        statement_slot = std::make_unique<Statement>(db_, search_sql(collect, short_key, query.descending, typed));
    Statement& statement = *statement_slot;
    statement.reset();
    statement.bind(1, short_key ? like_pattern_of(query.key) : phrase_of(query.key));
    if (typed)
        statement.bind(2, type_word(*query.type));
    statement.bind(3, static_cast<std::int64_t>(query.limit));
    statement.bind(4, static_cast<std::int64_t>(query.start));

    std::vector<Share> shares;
    auto search_deadline = deadline_;
    deadline_ = deadline;
    try {
        run_until_deadline(statement, [&] { shares.push_back(read_share(statement)); });
    } catch (const SearchDeadlineExceeded&) {
        deadline_ = search_deadline;
        if (std::chrono::steady_clock::now() > search_deadline)
            throw;
        return std::nullopt;
    }
    deadline_ = search_deadline;
    return shares;
}

bool Catalogue::matches_at_least(std::string_view phrase, std::uint64_t count)
{
    Statement& statement = prepared(
        count_matches_, "SELECT count(*) FROM (SELECT 1 FROM share_names WHERE share_names MATCH ?1 LIMIT ?2)");
    statement.bind(1, phrase);
    statement.bind(2, static_cast<std::int64_t>(std::min<std::uint64_t>(count, max_stored_number)));
    std::uint64_t found = 0;
    run_until_deadline(statement, [&] { found = static_cast<std::uint64_t>(statement.column_int(0)); });
    return found >= count;
}

std::vector<Share> Catalogue::search(const SearchQuery& query, std::chrono::steady_clock::time_point deadline)
{
    // Short keys match through LIKE, which no index helps: walking in size order finds a page
    // of a common key at once, while a rare one needs the full scan of "collect". For longer
    // keys the index tells how common the key is: with many matches a walk fills the page
    // soon, with few collecting them is quicker.
    constexpr std::uint64_t walk_when_matches_per_row = 50;
    deadline_ = deadline;
    bool short_key = count_characters(query.key) < trigram_length;
    Plan first = short_key || matches_at_least(phrase_of(query.key),
                                               walk_when_matches_per_row * (query.start + query.limit + 1))
                     ? Plan::walk
                     : Plan::collect;
    Plan second = first == Plan::walk ? Plan::collect : Plan::walk;
    auto now = std::chrono::steady_clock::now();
    auto first_deadline = search_budget_.count() == 0 || deadline - now <= search_budget_ ? deadline
                                                                                          : now + search_budget_;
    if (auto shares = run_plan(first, query, first_deadline))
        return std::move(*shares);
    return std::move(*run_plan(second, query, deadline));
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

    Statement& index = prepared(insert_name_, "INSERT INTO share_names (rowid, name) VALUES (?1, ?2)");
    index.bind(1, sqlite3_last_insert_rowid(db_.handle()));
    index.bind(2, share.name);
    index.step();
    index.reset();
    return AddResult::added;
}

void Catalogue::clear()
{
    db_.exec("DELETE FROM shares; INSERT INTO share_names (share_names) VALUES ('delete-all');");
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
