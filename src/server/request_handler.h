// What the server asks of the program it serves: an answer for one complete, authorised
// request. The server reads requests and writes replies; it knows nothing of what they mean.
#pragma once

#include <functional>
#include <string_view>

#include "error/error.h"
#include "http/response.h"
#include "platform/arena.h"
#include "server/request_tally.h"

namespace skerrow {

// Sets `out` to the answer to `body`, with memory from `arena` (released once the reply is
// written), and names the request's kind and outcome in `tally`. Runs on a worker thread, any
// number at once. An error is logged as "HTTP handler error: <error>" and answered with the 502
// failure reply instead.
using RequestHandler =
    std::function<Status(Reply& out, std::string_view body, PageArena& arena, RequestTally& tally)>;

}  // namespace skerrow
