// What the front end makes of a complete request before any worker sees it: requests that
// cannot be answered, refused credentials and empty bodies never take a worker.
#pragma once

#include "http/access.h"
#include "http/request.h"

namespace skerrow {

enum class Screening {
  drop,          // nothing to answer: not a byte arrived, or no complete header block
  unauthorized,  // credentials required and missing or wrong: 401 after kUnauthorizedPause
  empty_body,    // 400 with kEmptyBodyReply
  dispatch,      // a worker answers the body
};

inline constexpr std::string_view kEmptyBodyReply = "{\"error\":\"empty body\"}";
// The 413's body: a header block or an announced body past the request limits.
inline constexpr std::string_view kTooLargeReply =
    "{\"result\":null,\"error\":{\"code\":-32600,\"message\":\"request too large\"},\"id\":null}";

// Credentials come first: a stranger learns nothing from the proxy, not even whether its
// body was empty.
Screening screen_request(const RequestReader& request, const ClientAccess& access);

}  // namespace skerrow
