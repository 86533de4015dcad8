// Texts that come from daemons or the pool go into log lines; a line feed or other control
// byte inside one would forge or garble log lines, so such texts are shown with those bytes
// written as \xNN. Texts without control bytes are shown unchanged (and not copied).
#pragma once

#include <string>
#include <string_view>

namespace skerrow {

// Texts the pool sends are shown cut to this many bytes, followed by "...".
inline constexpr std::size_t kMaxLoggedPoolText = 128;

class LogSafeText {
 public:
  // With `max_bytes`, a longer text is cut there and shown with "..." after it.
  explicit LogSafeText(std::string_view text, std::size_t max_bytes = std::string_view::npos);
  std::string_view view() const { return escaped_.empty() ? text_ : std::string_view(escaped_); }

 private:
  std::string_view text_;
  std::string escaped_;
};

}  // namespace skerrow
