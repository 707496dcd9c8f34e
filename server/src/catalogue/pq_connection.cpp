#include "catalogue/pq_connection.h"

#include "text/decimal.h"

#include <array>

namespace cumulo::server {

namespace {

// libpq's message, on one line.
std::string message_of(const char* text)
{
    std::string message = text ? text : "";
    while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
        message.pop_back();
    for (char& c : message)
        if (c == '\n')
            c = ' ';
    return message;
}

PGconn* connect_to(const std::string& location)
{
    // Later entries override earlier ones, so what the location says wins over these bounds.
    const std::array<const char*, 8> keywords{"connect_timeout", "keepalives_idle", "keepalives_interval",
                                              "keepalives_count", "tcp_user_timeout", "application_name",
                                              "dbname", nullptr};
    const std::array<const char*, 8> values{"5", "5", "2", "3", "10000", "cumulo-server", location.c_str(), nullptr};
    PGconn* connection = PQconnectdbParams(keywords.data(), values.data(), 1);
    if (!connection)
        throw CatalogueUnreachable("cannot reach the catalogue of record: out of memory");
    if (PQstatus(connection) != CONNECTION_OK) {
        std::string message = message_of(PQerrorMessage(connection));
        PQfinish(connection);
        throw CatalogueUnreachable("cannot reach the catalogue of record: " + message);
    }
    // The server's notices ("relation already exists, skipping", or why it is closing the
    // connection) are not for the service's log: a failure reaches it as an error.
    PQsetNoticeProcessor(connection, [](void*, const char*) {}, nullptr);
    return connection;
}

}  // namespace

std::string PqResult::text(int row, int column) const
{
    return std::string(PQgetvalue(result_, row, column), static_cast<std::size_t>(PQgetlength(result_, row, column)));
}

std::string PqResult::sqlstate() const
{
    const char* state = PQresultErrorField(result_, PG_DIAG_SQLSTATE);
    return state ? state : "";
}

std::int64_t PqResult::number(int row, int column) const
{
    if (is_null(row, column))
        return 0;
    std::string_view digits(PQgetvalue(result_, row, column));
    bool negative = digits.starts_with('-');
    auto value = parse_decimal_up_to(negative ? digits.substr(1) : digits, max_stored_number);
    if (!value)
        throw PqError("", "the catalogue of record answered '" + std::string(digits) + "' for a number");
    return negative ? -static_cast<std::int64_t>(*value) : static_cast<std::int64_t>(*value);
}

PqConnection::PqConnection(const std::string& location) : connection_(connect_to(location)), location_(location)
{
}

PqConnection::~PqConnection()
{
    PQfinish(connection_);
}

void PqConnection::reconnect()
{
    PGconn* fresh = connect_to(location_);
    PQfinish(connection_);
    connection_ = fresh;
}

PqResult PqConnection::exec(std::string_view sql, const std::vector<PqParam>& params)
{
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const PqParam& param : params)
        values.push_back(param ? param->c_str() : nullptr);
    std::string text(sql);
    // Without parameters the text may hold several statements (the schema).
    PqResult result(params.empty() ? PQexec(connection_, text.c_str())
                                   : PQexecParams(connection_, text.c_str(), static_cast<int>(values.size()), nullptr,
                                                  values.data(), nullptr, nullptr, 0));
    if (result.status() == PGRES_COMMAND_OK || result.status() == PGRES_TUPLES_OK)
        return result;
    std::string message = message_of(PQerrorMessage(connection_));
    if (!alive())
        throw CatalogueUnreachable("the connection to the catalogue of record was lost: " + message);
    throw PqError(result.sqlstate(), message);
}

std::vector<std::string> PqConnection::take_notifications()
{
    if (!PQconsumeInput(connection_) || !alive())
        throw CatalogueUnreachable("the connection to the catalogue of record was lost: "
                                   + message_of(PQerrorMessage(connection_)));
    std::vector<std::string> payloads;
    while (PGnotify* notification = PQnotifies(connection_)) {
        payloads.emplace_back(notification->extra);
        PQfreemem(notification);
    }
    return payloads;
}

}  // namespace cumulo::server
