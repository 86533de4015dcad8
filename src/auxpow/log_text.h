// Texts that come from daemons or the pool go into log lines; a line feed or other control
// byte inside one would forge or garble log lines, so such texts are shown with those bytes
// written as \xNN. Texts without control bytes are shown unchanged (and not copied).
#pragma once

#include <string>
#include <string_view>

namespace skerrow {

class LogSafeText {
 public:
  explicit LogSafeText(std::string_view text);
  std::string_view view() const { return escaped_.empty() ? text_ : std::string_view(escaped_); }

 private:
  std::string_view text_;
  std::string escaped_;
};

}  // namespace skerrow
