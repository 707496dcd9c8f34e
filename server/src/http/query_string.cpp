#include "http/query_string.h"

namespace cumulo::server {

namespace {

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<std::string> percent_decode(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c != '%') {
            out += c;
        } else {
            if (text.size() - i < 3)
                return std::nullopt;
            int high = hex_value(text[i + 1]);
            int low = hex_value(text[i + 2]);
            if (high < 0 || low < 0)
                return std::nullopt;
            out += static_cast<char>(high * 16 + low);
            i += 2;
        }
    }
    return out;
}

QueryPairs split_query(std::string_view query)
{
    QueryPairs result;
    while (!query.empty()) {
        std::size_t amp = query.find('&');
        std::string_view piece = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
        if (piece.empty())
            continue;
        std::size_t eq = piece.find('=');
        auto name = percent_decode(piece.substr(0, eq));
        auto value = percent_decode(eq == std::string_view::npos ? std::string_view{} : piece.substr(eq + 1));
        if (!name || !value) {
            result.pairs.clear();
            result.error = "malformed percent escape in the query";
            return result;
        }
        result.pairs.emplace_back(std::move(*name), std::move(*value));
    }
    return result;
}

std::string_view query_of_target(std::string_view target)
{
    std::size_t mark = target.find('?');
    return mark == std::string_view::npos ? std::string_view{} : target.substr(mark + 1);
}

}  // namespace cumulo::server
