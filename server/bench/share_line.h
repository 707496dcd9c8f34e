// A share as one line of the import format (JSON Lines), for benchmarks that feed the catalogue.
#pragma once

#include "catalogue/share.h"
#include "text/json_text.h"

#include <string>

namespace cumulo::server {

inline std::string share_line(const Share& share)
{
    std::string line = "{\"name\":";
    append_json_string(line, share.name);
    line += ",\"type\":\"" + std::string(type_word(share.type)) + "\",\"size\":" + std::to_string(share.size);
    if (share.shareid != 0) {
        line += ",\"shareid\":" + std::to_string(share.shareid);
    } else {
        line += ",\"code\":";
        append_json_string(line, share.code);
    }
    return line + ",\"uk\":" + std::to_string(share.uk) + "}\n";
}

}  // namespace cumulo::server
