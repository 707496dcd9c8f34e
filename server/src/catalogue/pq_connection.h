// Thin owners of a libpq connection and its results. A failure throws PqError with the
// server's SQLSTATE and message, or CatalogueUnreachable (catalogue_of_record.h) when the
// connection itself is gone; no call waits on the network without a bound.
#pragma once

#include "catalogue/catalogue_of_record.h"

#include <libpq-fe.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace cumulo::server {

class PqError : public std::runtime_error {
public:
    PqError(std::string sqlstate, const std::string& message)
        : std::runtime_error(message), sqlstate_(std::move(sqlstate)) {}
    // Five characters, e.g. "23505" for a unique violation; empty when the server sent none.
    const std::string& sqlstate() const { return sqlstate_; }

private:
    std::string sqlstate_;
};

class PqResult {
public:
    explicit PqResult(PGresult* result) : result_(result) {}
    ~PqResult() { PQclear(result_); }
    PqResult(PqResult&& other) noexcept : result_(other.result_) { other.result_ = nullptr; }
    PqResult(const PqResult&) = delete;
    PqResult& operator=(const PqResult&) = delete;
    PqResult& operator=(PqResult&&) = delete;

    ExecStatusType status() const { return PQresultStatus(result_); }
    // The SQLSTATE of a failed statement, or empty.
    std::string sqlstate() const;
    int rows() const { return PQntuples(result_); }
    bool is_null(int row, int column) const { return PQgetisnull(result_, row, column) != 0; }
    std::string text(int row, int column) const;
    // 0 for NULL.
    std::int64_t number(int row, int column) const;

private:
    PGresult* result_;
};

// A parameter of a statement: text, or NULL.
using PqParam = std::optional<std::string>;

class PqConnection {
public:
    // Connects to `location` (a libpq URI or key=value string). The connection waits at most
    // connect_timeout (5 s unless the location says otherwise) and notices a silent peer
    // through TCP keepalives and tcp_user_timeout. Throws CatalogueUnreachable.
    explicit PqConnection(const std::string& location);
    ~PqConnection();
    PqConnection(const PqConnection&) = delete;
    PqConnection& operator=(const PqConnection&) = delete;

    // Without parameters, `sql` may hold several statements; the last one's result comes back.
    PqResult exec(std::string_view sql, const std::vector<PqParam>& params = {});
    // Whether the connection is still up, as far as libpq knows.
    bool alive() const { return PQstatus(connection_) == CONNECTION_OK; }
    // Connects again; throws CatalogueUnreachable.
    void reconnect();
    // The payloads of the notifications received on channels this connection listens on,
    // reading whatever the server has sent. Throws CatalogueUnreachable.
    std::vector<std::string> take_notifications();
    int socket() const { return PQsocket(connection_); }

private:
    PGconn* connection_ = nullptr;
    std::string location_;
};

}  // namespace cumulo::server
