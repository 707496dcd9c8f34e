// Thin owners of an SQLite connection and a prepared statement. Every failure throws
// SqliteError carrying SQLite's extended result code and message.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace cumulo::server {

class SqliteError : public std::runtime_error {
public:
    SqliteError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

class Database {
public:
    Database(const std::string& path, int open_flags);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    void exec(const char* sql);
    sqlite3* handle() const { return db_; }
    [[noreturn]] void fail(const std::string& what) const;

private:
    sqlite3* db_ = nullptr;
};

class Statement {
public:
    Statement(Database& db, std::string_view sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Clears the previous run's bindings and state; call before binding a new run.
    void reset();
    void bind(int index, std::int64_t value);
    void bind(int index, std::string_view text);
    void bind_null(int index);
    // True while a row is ready; false once the statement is done.
    bool step();

    std::int64_t column_int(int column) const;
    std::string column_text(int column) const;
    bool column_is_null(int column) const;

private:
    Database& db_;
    sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace cumulo::server
