// What the arrays of an index made in memory (by the builder or by a merge) live in; the
// index's spans point into these buffers, and IndexParts::storage keeps them alive.
#pragma once

#include "index/index_parts.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace cumulo::server {

struct BuiltStorage {
    std::vector<ShareNumbers> numbers;
    std::vector<ShareLengths> lengths;
    std::string texts;
    std::vector<std::uint64_t> grams;
    std::vector<std::vector<std::uint8_t>> list_bytes;
};

// The parts over `storage`, with `lists` (by place in storage->grams) pointing into its list bytes.
inline IndexParts parts_over(std::shared_ptr<BuiltStorage> storage, std::vector<ListsByType> lists)
{
    IndexParts parts;
    parts.numbers = storage->numbers;
    parts.lengths = storage->lengths;
    parts.texts = storage->texts;
    parts.grams = storage->grams;
    parts.lists = std::move(lists);
    parts.storage = std::move(storage);
    return parts;
}

}  // namespace cumulo::server
