// Answers of the share-search service for end-to-end runs, with the rows the
// window must show for them.
#pragma once
#include <string>
#include <vector>

namespace e2e {

struct ExpectedRow {
    std::string number, name, type, size, address;  // UTF-8, as the list shows them
};

struct Answer {
    std::string body;                // the JSON text the service sends
    std::vector<ExpectedRow> rows;  // what the result list must hold afterwards
};

// `count` elements in the service's form: Chinese names as \u escapes, type
// words album/file/folder and one the program does not know, names that
// contain type words, sizes around the 32-bit limit, "id|owner" addresses.
Answer make_answer(int count);

}  // namespace e2e
