// The first half of serving a request: read it, then hand the body to dispatch.
#include <new>

#include "http/access.h"
#include "http/dispatch.h"
#include "http/handler.h"
#include "http/response.h"

namespace skerrow {
namespace {

constexpr std::string_view kEmptyBodyReply = "{\"error\":\"empty body\"}";

}  // namespace

Status handle_request(PageArena& arena, int fd, ServerContext& ctx, ClientDeadline deadline,
                      RequestTally& tally) {
  void* memory = arena.try_allocate(kRequestBufferBytes, 1);
  if (memory == nullptr) return fail(ErrorCode::OutOfMemory);
  // The buffer is a mapping of its own; hand it back as soon as the request is answered.
  struct Release {
    PageArena& arena;
    void* memory;
    ~Release() { arena.deallocate(memory, kRequestBufferBytes, 1); }
  } release{arena, memory};

  return catch_oom([&]() -> Status {
    RequestRead request = read_request(fd, {static_cast<char*>(memory), kRequestBufferBytes},
                                         deadline);
    if (request.filled == 0) return fail(ErrorCode::EndOfStream);
    if (!request.header_end) {  // nothing that can be answered
      tally.outcome = metrics::RequestOutcome::client_error;
      return {};
    }
    // Credentials come first: a stranger learns nothing from the proxy, not even whether
    // its body was empty.
    std::string_view header_block(static_cast<const char*>(memory), request.header_end->index);
    if (!client_authorized(header_block, ctx.access)) {
      tally.outcome = metrics::RequestOutcome::unauthorized;
      return refuse_unauthorized(fd);
    }
    if (request.body.empty()) {
      tally.outcome = metrics::RequestOutcome::bad_request;
      return send_response(fd, 400, kEmptyBodyReply);
    }
    return dispatch_request(fd, request.body, arena, ctx, tally);
  });
}

}  // namespace skerrow
