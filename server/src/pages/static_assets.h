// The pages' stylesheet, script and icon, built into the binary (server/src/pages/assets,
// embedded by server/cmake/embed_assets.cmake) and served under names made from their
// content's hash, with a year's cache lifetime and an ETag.
#pragma once

#include "pages/answer.h"

#include <optional>
#include <string_view>

namespace cumulo::server {

struct StaticAsset {
    std::string_view path;  // "/static/site.<hash>.css"
    std::string_view content_type;
    std::string_view body;
    std::string_view etag;  // the hash, quoted
};

extern const StaticAsset stylesheet_asset;
extern const StaticAsset script_asset;
extern const StaticAsset icon_asset;

// The asset at `path` with its caching headers, or nothing when no asset has that path.
std::optional<HttpAnswer> static_asset_answer(std::string_view path);

}  // namespace cumulo::server
