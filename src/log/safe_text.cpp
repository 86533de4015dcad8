#include "log/safe_text.h"

#include <algorithm>
#include <new>

#include "log/format.h"

namespace skerrow {
namespace {

bool is_control(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7f;
}

}  // namespace

LogSafeText::LogSafeText(std::string_view text, std::size_t max_bytes) : text_(text) {
  if (text.size() > max_bytes) {
    try {
      const LogSafeText head(text.substr(0, max_bytes));
      escaped_.assign(head.view());
      escaped_ += "...";
      return;
    } catch (const std::bad_alloc&) {
      text = text_ = text.substr(0, max_bytes);
    }
  }
  const auto first = std::find_if(text.begin(), text.end(), is_control);
  if (first == text.end()) return;
  try {
    escaped_.reserve(text.size() + 16);
    for (char c : text) {
      if (!is_control(c)) {
        escaped_ += c;
        continue;
      }
      const auto u = static_cast<unsigned char>(c);
      escaped_ += "\\x";
      escaped_ += kHexDigits[u >> 4];
      escaped_ += kHexDigits[u & 0x0f];
    }
  } catch (const std::bad_alloc&) {
    // Without room for the escaped form, show only what precedes the first control byte.
    escaped_.clear();
    text_ = text.substr(0, static_cast<std::size_t>(first - text.begin()));
  }
}

}  // namespace skerrow
