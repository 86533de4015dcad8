// The byte searches that read a pool request without parsing it: the method name, the
// submitauxblock parameter string and its four fields. Each answer is checked against what
// the search promises, so a result outside the body or a skipped-over byte is caught.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "auxpow/submit.h"
#include "fuzz_check.h"
#include "http/access.h"

namespace {

using skerrow::fuzz::lies_within;

// Checks a "key, skipped bytes, quoted text" search: `found` must be the text between the
// quote after the first `key` (only `skippable` bytes before that quote) and the next quote.
template <typename Skippable>
void check_quoted_after_key(std::string_view body, std::string_view key, Skippable skippable,
                            const std::optional<std::string_view>& found) {
  const std::size_t k = body.find(key);
  std::optional<std::string_view> expected;
  if (k != std::string_view::npos) {
    std::size_t i = k + key.size();
    while (i < body.size() && skippable(body[i])) ++i;
    if (i < body.size() && body[i] == '"') {
      const std::size_t close = body.find('"', i + 1);
      if (close != std::string_view::npos) expected = body.substr(i + 1, close - i - 1);
    }
  }
  FUZZ_CHECK(found.has_value() == expected.has_value());
  if (!found) return;
  FUZZ_CHECK(lies_within(*found, body));
  FUZZ_CHECK(found->data() == expected->data() && found->size() == expected->size());
  // The text is enclosed by quotes of the body and holds none itself.
  const std::size_t at = static_cast<std::size_t>(found->data() - body.data());
  FUZZ_CHECK(at >= 1 && body[at - 1] == '"');
  FUZZ_CHECK(at + found->size() < body.size() && body[at + found->size()] == '"');
  FUZZ_CHECK(found->find('"') == std::string_view::npos);
}

void check_fields(std::string_view param) {
  const auto fields = skerrow::split_submit_fields(param);
  std::size_t colons = 0;
  for (char c : param) colons += c == ':' ? 1 : 0;
  FUZZ_CHECK(fields.has_value() == (colons >= 3));
  if (!fields) return;
  for (std::string_view f : {fields->chain, fields->aux_hash, fields->coinbase_hex, fields->header_hex}) {
    FUZZ_CHECK(lies_within(f, param));
    FUZZ_CHECK(f.find(':') == std::string_view::npos);
  }
  // The fields are consecutive pieces of the parameter, one ':' apart, starting at its start.
  std::string joined;
  joined.append(fields->chain).append(":").append(fields->aux_hash).append(":");
  joined.append(fields->coinbase_hex).append(":").append(fields->header_hex);
  FUZZ_CHECK(param.substr(0, joined.size()) == joined);
  FUZZ_CHECK(fields->chain.data() == param.data());
  // Everything from a fourth ':' on is dropped, nothing before it.
  FUZZ_CHECK(joined.size() == param.size() || param[joined.size()] == ':');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A private heap copy, so that a read past the body is seen by the address sanitizer.
  const std::vector<char> copy(data, data + size);
  const std::string_view body(copy.data(), copy.size());

  check_quoted_after_key(body, "\"method\"", [](char c) { return c == ' ' || c == '\t' || c == ':'; },
                         skerrow::find_method(body));

  const auto param = skerrow::extract_param_string(body);
  check_quoted_after_key(
      body, "\"params\"", [](char c) { return c == ' ' || c == '\t' || c == ':' || c == '['; }, param);
  if (param) check_fields(*param);
  // The field split also sees parameters that no body search would hand it.
  check_fields(body);
  return 0;
}
