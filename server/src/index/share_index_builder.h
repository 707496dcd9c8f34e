// Builds a search index's arrays (index_parts.h) from shares given one at a time, in any order,
// with little more memory than the finished index: a share is kept only as its numbers and texts,
// and the rank lists are coded as they grow.
#pragma once

#include "catalogue/share.h"
#include "index/index_parts.h"

#include <string>
#include <vector>

namespace cumulo::server {

class ShareIndexBuilder {
public:
    // Room for this many shares, when the count is known beforehand.
    void reserve(std::size_t share_count);
    // A valid share (share_problem() empty); shares of equal size keep the order they were added
    // in. Throws std::length_error past 2^32 - 1 shares or for a name or code past the limits.
    void add(const Share& share);
    // The arrays in size order (the builder is spent afterwards).
    IndexParts finish();

private:
    std::vector<ShareNumbers> numbers_;  // in the order added
    std::vector<ShareLengths> lengths_;
    std::string texts_;
    std::string folded_;                     // scratch
    std::vector<std::uint32_t> characters_;  // scratch
};

IndexParts build_index_parts(std::vector<Share> shares);

}  // namespace cumulo::server
