#include "http/access.h"

#include <algorithm>
#include <cstdint>
#include <thread>

#include "http/response.h"
#include "log/log.h"
#include "log/safe_text.h"
#include "http/header_text.h"

namespace skerrow {

namespace {

constexpr std::string_view kMethodKey = "\"method\"";

bool skipped_after_key(char c) { return c == ' ' || c == '\t' || c == ':'; }

}  // namespace

std::optional<std::string_view> find_method(std::string_view body) {
  std::size_t key = body.find(kMethodKey);
  if (key == std::string_view::npos) return std::nullopt;
  std::size_t i = key + kMethodKey.size();
  while (i < body.size() && skipped_after_key(body[i])) ++i;
  if (i >= body.size() || body[i] != '"') return std::nullopt;
  std::size_t close = body.find('"', i + 1);
  if (close == std::string_view::npos) return std::nullopt;
  return body.substr(i + 1, close - i - 1);
}

namespace {

constexpr std::string_view kAuthorization = "authorization";
constexpr std::string_view kBasic = "basic";

// The value of a Base64 digit, or -1.
int sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool in_list(std::string_view method, std::span<const std::string_view> allowed) {
  return std::find(allowed.begin(), allowed.end(), method) != allowed.end();
}

// Whether a daemon given this object would run only listed methods; if not, `refused` names
// the unlisted method, or is empty when there is no method name to show. An object without a
// "method" member runs nothing, but it is refused all the same: a request that names no
// method has no business under an allow-list. The reader rejects repeated keys, yet every
// member is looked at so that the outcome does not rest on that.
bool object_allowed(const JsonValue& object, std::span<const std::string_view> allowed,
                    std::string_view& refused) {
  refused = {};
  if (!object.is_object()) return false;
  bool seen = false;
  for (const JsonMember& member : object.members()) {
    if (member.key != "method") continue;
    seen = true;
    if (!member.value.is_string()) return false;
    if (!in_list(member.value.as_text(), allowed)) {
      refused = member.value.as_text();
      return false;
    }
  }
  return seen;
}

}  // namespace

std::optional<std::string_view> find_authorization(std::string_view header_block) {
  HeaderLines lines(header_block);
  for (std::string_view line; lines.next(line);) {
    if (starts_with_folded(line, kAuthorization)) {
      std::string_view rest = line.substr(kAuthorization.size());
      while (!rest.empty() && is_blank(rest.front())) rest.remove_prefix(1);
      if (!rest.empty() && rest.front() == ':') return trim_blanks(rest.substr(1));
    }
  }
  return std::nullopt;
}

bool basic_credentials_match(std::string_view value, std::string_view user, std::string_view pass) {
  if (value.size() <= kBasic.size() || !starts_with_folded(value, kBasic) ||
      !is_blank(value[kBasic.size()])) {
    return false;
  }
  const std::string_view token = trim_blanks(value.substr(kBasic.size()));
  if (token.empty() || token.size() % 4 != 0) return false;
  std::size_t padding = 0;
  if (token.back() == '=') padding = token[token.size() - 2] == '=' ? 2 : 1;

  const std::size_t decoded_size = token.size() / 4 * 3 - padding;
  const std::size_t expected_size = user.size() + 1 + pass.size();
  // The expected text is user ':' pass, read in place so that no copy of the secret is made.
  auto expected = [&](std::size_t i) -> unsigned char {
    if (i < user.size()) return static_cast<unsigned char>(user[i]);
    if (i == user.size()) return ':';
    i -= user.size() + 1;
    return i < pass.size() ? static_cast<unsigned char>(pass[i]) : 0;
  };

  // Malformed text ends the check early: that depends on the client's bytes only. The
  // comparison itself never does.
  unsigned difference = decoded_size != expected_size ? 1u : 0u;
  std::size_t out = 0;
  for (std::size_t q = 0; q < token.size(); q += 4) {
    std::uint32_t group = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const char c = token[q + k];
      int v = sextet(c);
      if (v < 0) {
        const bool padding_place = q + 4 == token.size() && k >= 4 - padding;
        if (c != '=' || !padding_place) return false;
        v = 0;
      }
      group = (group << 6) | static_cast<std::uint32_t>(v);
    }
    for (int shift = 16; shift >= 0 && out < decoded_size; shift -= 8, ++out) {
      const auto byte = static_cast<unsigned char>((group >> shift) & 0xffu);
      difference |= static_cast<unsigned>(byte ^ expected(out));
    }
  }
  return difference == 0;
}

bool client_authorized(std::string_view header_block, const ClientAccess& access) {
  if (!access.user) return true;
  std::optional<std::string_view> value = find_authorization(header_block);
  return value && basic_credentials_match(*value, *access.user, access.pass);
}


Result<MethodCheck> check_method(std::string_view body, std::optional<std::string_view> found,
                                 std::span<const std::string_view> allowed,
                                 std::pmr::memory_resource* memory) {
  MethodCheck check;
  if (!found) return check;  // no method: refused, named as ""
  if (!in_list(*found, allowed)) {
    check.refused = *found;
    return check;
  }

  auto parsed = parse_json(body, memory);
  if (!parsed) {
    if (parsed.error() == ErrorCode::OutOfMemory) return fail(ErrorCode::OutOfMemory);
    return check;  // what a daemon would run from text that is not JSON cannot be told
  }
  check.document.emplace(std::move(*parsed));
  const JsonValue& root = check.document->root();
  if (root.is_array()) {
    // A batch runs every element; an empty one runs nothing and is refused like no method.
    check.allowed = !root.items().empty();
    for (const JsonValue& element : root.items()) {
      if (!object_allowed(element, allowed, check.refused)) {
        check.allowed = false;
        break;
      }
    }
  } else {
    check.allowed = object_allowed(root, allowed, check.refused);
  }
  return check;
}

Status refuse_method(Reply& out, std::string_view method) {
  const LogSafeText shown(method, kMaxLoggedPoolText);
  log_line(LogLevel::warning, LogScope::http, {"method not allowed: ", shown.view()});
  return out.set(200, kMethodNotAllowedReply);
}

}  // namespace skerrow
