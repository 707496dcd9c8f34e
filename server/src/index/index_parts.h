// The arrays a search index is made of, by rank (a share's place in size order). They live either
// in memory the builder filled (share_index_builder.h) or in a snapshot file mapped read-only
// (index_snapshot.h); `storage` keeps whichever alive for as long as the index is used. The
// records are plain numbers so that a snapshot holds them byte for byte as memory does.
#pragma once

#include "index/compact_list.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace cumulo::server {

inline constexpr std::size_t share_type_count = 3;

// A share's numbers and where its texts start in IndexParts::texts: the name, the code, then the
// folded name when folding changes it.
struct ShareNumbers {
    std::uint64_t size = 0, shareid = 0, uk = 0;
    std::uint64_t texts_start = 0;
};
struct ShareLengths {
    std::uint16_t name_bytes = 0;
    std::uint16_t folded_bytes = 0;  // 0: the folded name is the name itself
    std::uint8_t code_bytes = 0;
    std::uint8_t type = 0;           // ShareType
};
static_assert(sizeof(ShareNumbers) == 32 && sizeof(ShareLengths) == 6);

// For each character or pair of adjacent characters (as gram_of numbers them), its rank list
// for each share type.
using ListsByType = std::array<CompactList, share_type_count>;

struct IndexParts {
    std::span<const ShareNumbers> numbers;
    std::span<const ShareLengths> lengths;
    std::string_view texts;
    std::span<const std::uint64_t> grams;  // strictly rising
    std::vector<ListsByType> lists;        // by place in grams
    std::shared_ptr<const void> storage;
};

}  // namespace cumulo::server
