#include "catalogue/sqlite_db.h"

#include "http/descriptors.h"

#include <cerrno>

namespace cumulo::server {

namespace {

// Out of descriptors is the service's own doing, not the catalogue's fault: it is thrown as such.
bool out_of_descriptors(sqlite3* db)
{
    int error = db ? sqlite3_system_errno(db) : 0;
    return error == EMFILE || error == ENFILE;
}

}  // namespace

Database::Database(const std::string& path, int open_flags)
{
    int rc = sqlite3_open_v2(path.c_str(), &db_, open_flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        bool no_descriptors = out_of_descriptors(db_);
        sqlite3_close(db_);
        if (no_descriptors)
            throw OutOfDescriptors("cannot open " + path + ": out of file descriptors");
        throw SqliteError(rc, "cannot open " + path + ": " + message);
    }
    sqlite3_extended_result_codes(db_, 1);
    // Readers may meet the writer's commit at start-up; wait briefly instead of failing.
    sqlite3_busy_timeout(db_, 5000);
}

Database::~Database()
{
    sqlite3_close(db_);
}

void Database::fail(const std::string& what) const
{
    if (out_of_descriptors(db_))
        throw OutOfDescriptors(what + ": out of file descriptors");
    throw SqliteError(sqlite3_extended_errcode(db_), what + ": " + sqlite3_errmsg(db_));
}

void Database::exec(const char* sql)
{
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        fail("SQL failed");
}

Statement::Statement(Database& db, std::string_view sql) : db_(db)
{
    if (sqlite3_prepare_v3(db.handle(), sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                           &stmt_, nullptr) != SQLITE_OK)
        db.fail("cannot prepare statement");
}

Statement::~Statement()
{
    sqlite3_finalize(stmt_);
}

void Statement::reset()
{
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

void Statement::bind(int index, std::int64_t value)
{
    if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK)
        db_.fail("cannot bind parameter");
}

void Statement::bind(int index, std::string_view text)
{
    if (sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT) != SQLITE_OK)
        db_.fail("cannot bind parameter");
}

void Statement::bind_null(int index)
{
    if (sqlite3_bind_null(stmt_, index) != SQLITE_OK)
        db_.fail("cannot bind parameter");
}

bool Statement::step()
{
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    sqlite3_reset(stmt_);
    db_.fail("statement failed");
}

std::int64_t Statement::column_int(int column) const
{
    return sqlite3_column_int64(stmt_, column);
}

std::string Statement::column_text(int column) const
{
    auto text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column))) : std::string();
}

bool Statement::column_is_null(int column) const
{
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

}  // namespace cumulo::server
