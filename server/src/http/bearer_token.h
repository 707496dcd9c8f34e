// The token that lets a client write to the catalogue: 256 random bits in hex, made at the
// first start into a file that only the service's user may read, and presented by writers as
// "Authorization: Bearer <token>".
#pragma once

#include <string>
#include <string_view>

namespace cumulo::server {

// The token kept in the file at `path`, or a new one written into a new file of mode 0600.
// Throws with a message for the operator when the file cannot be read or made, holds no token,
// or may be read by other users.
std::string load_or_make_token(const std::string& path);

// Whether `authorization` (an Authorization header's value) is "Bearer <token>". The token is
// compared in time that does not depend on where the given one differs.
bool bearer_matches(std::string_view authorization, std::string_view token);

}  // namespace cumulo::server
