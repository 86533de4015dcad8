#include "http/handler.h"

namespace skerrow {

Screening screen_request(const RequestReader& request, const ClientAccess& access) {
  if (!request.header_end()) return Screening::drop;
  if (!client_authorized(request.header_block(), access)) return Screening::unauthorized;
  if (request.body().empty()) return Screening::empty_body;
  return Screening::dispatch;
}

}  // namespace skerrow
