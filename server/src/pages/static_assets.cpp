#include "pages/static_assets.h"

#include <array>

namespace cumulo::server {

std::optional<HttpAnswer> static_asset_answer(std::string_view path)
{
    for (const StaticAsset* asset : std::array{&stylesheet_asset, &script_asset, &icon_asset}) {
        if (asset->path != path)
            continue;
        return HttpAnswer{200, std::string(asset->content_type), std::string(asset->body),
                          {{"Cache-Control", "public, max-age=31536000, immutable"}, {"ETag", std::string(asset->etag)}}};
    }
    return std::nullopt;
}

}  // namespace cumulo::server
