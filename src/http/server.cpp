#include "http/server.h"

namespace skerrow {

ErrorCode run_server(const Config&) { return ErrorCode::Unimplemented; }

}  // namespace skerrow
