// Who may use the proxy and for what: client credentials checked against "listen_user" and
// "listen_pass", and the method allow-list of "allowed_methods". Without those keys every
// request passes, as it always did.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory_resource>
#include <optional>
#include <span>
#include <string_view>

#include "error/error.h"
#include "http/response.h"
#include "json/reader.h"

namespace skerrow {

inline constexpr std::string_view kUnauthorizedReply =
    "{\"result\":null,\"error\":{\"code\":-32001,\"message\":\"unauthorized\"},\"id\":null}";
inline constexpr std::string_view kMethodNotAllowedReply =
    "{\"result\":null,\"error\":{\"code\":-32601,\"message\":\"method not allowed\"},\"id\":null}";

// Every refused credential costs the client this long, so guessing is slow. The pause is the
// event loop's timer: it holds the connection and nothing else, never a worker.
inline constexpr std::chrono::milliseconds kUnauthorizedPause{250};

// The access rules of the pool-facing side, views into the configuration.
struct ClientAccess {
  std::optional<std::string_view> user;  // when present, every request must carry credentials
  std::string_view pass;                 // empty when "listen_pass" is absent
  std::optional<std::span<const std::string_view>> allowed_methods;
};

// The value (blanks trimmed) of the first header line whose name is "Authorization", letters
// compared without regard to case and blanks allowed before the colon; nullopt when there is
// none. Lines are split at "\n" with one trailing "\r" removed.
std::optional<std::string_view> find_authorization(std::string_view header_block);

// True when `value` is "Basic", one or more blanks and the padded standard Base64 of
// user ":" pass, nothing else. The scheme word is matched without regard to case. The
// decoded bytes are compared with every expected byte whatever the differences, so the time
// taken depends on the lengths only, never on where the first wrong byte stands.
bool basic_credentials_match(std::string_view value, std::string_view user, std::string_view pass);

// True when no credentials are required, or the header block carries the right ones.
bool client_authorized(std::string_view header_block, const ClientAccess& access);

struct MethodCheck {
  bool allowed = false;
  std::string_view refused;               // the method named in the refusal line ("" for none)
  std::optional<JsonDocument> document;   // keeps `refused` alive when it came from the parse
};

// The text between the quotes after the first "\"method\"" key (tabs, spaces and ':' skipped
// in between), or nullopt. No JSON parsing, no escape processing.
std::optional<std::string_view> find_method(std::string_view body);

// Decides whether a request body may go on towards a daemon under the allow-list. `found` is
// the method the dispatcher's byte search found; it must be in the list. Because that search
// can be steered (a "method" key nested in the params ahead of the real one, a batch, a key
// written with escapes), the body must also parse as JSON and every method a daemon would
// run — the "method" member of the top-level object, or of each object of a batch — must be
// a string in the list. Anything else is refused. Parsing memory comes from `memory`.
// Errors: OutOfMemory.
Result<MethodCheck> check_method(std::string_view body, std::optional<std::string_view> found,
                                 std::span<const std::string_view> allowed,
                                 std::pmr::memory_resource* memory);

// Answers a refused method: logs "warning(http): method not allowed: " + the name (made
// safe for the log by LogSafeText, cut to kMaxLoggedPoolText bytes) and answers status 200
// with kMethodNotAllowedReply.
Status refuse_method(Reply& out, std::string_view method);


}  // namespace skerrow
