// The sample catalogue: a deterministic set of made-up shares with realistic Chinese and
// English names, so that the tool works offline on a fresh machine. The same count always
// gives the same shares, on every machine.
#pragma once

#include "catalogue/catalogue_of_record.h"

#include <cstdint>
#include <functional>

namespace cumulo::server {

inline constexpr std::uint64_t default_sample_size = 10'000;

// Calls `sink` with shares 1..count in order.
void generate_sample_shares(std::uint64_t count, const std::function<void(const Share&)>& sink);

// Replaces the catalogue's contents with the sample of `count` shares, unless it already
// holds exactly that sample.
void build_sample_catalogue(CatalogueOfRecord& catalogue, std::uint64_t count);

}  // namespace cumulo::server
