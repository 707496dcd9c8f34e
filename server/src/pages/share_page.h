// A share's page (name, type, size, sharer, its address with a copy button, a search for
// similar names) and the pages for a missing share, an unknown address or a refused request.
#pragma once

#include "pages/answer.h"

#include <string>
#include <string_view>

namespace cumulo::server {

HttpAnswer share_page(const Share& share);

// A page in the same look for a 4xx or 5xx answer; `detail` says what went wrong.
HttpAnswer error_page(int status, std::string_view detail);

// What to search for to find shares named like `name`: the name without its extension, a
// leading year or 【tag】, and what follows the first number, bracket or underscore
// ("三体第12集 高清.mp4" -> "三体"); the name itself when too little is left.
std::string similar_key(std::string_view name);

// 1234567 -> "1,234,567".
std::string grouped_digits(std::uint64_t number);

}  // namespace cumulo::server
