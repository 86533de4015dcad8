// Small text rules shared by every reader of an HTTP header block: the proxy's request reader
// (Content-Length, Authorization) and the daemon client's reply reader (Content-Length).
#pragma once

#include <cstddef>
#include <string_view>

namespace skerrow {

inline bool is_blank(char c) { return c == ' ' || c == '\t'; }

// `s` without spaces and tabs at either end.
inline std::string_view trim_blanks(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

// Whether `text` begins with `lower` (given in lower case), folding only the ASCII letters
// A to Z of `text`: header names are compared as bytes otherwise.
inline bool starts_with_folded(std::string_view text, std::string_view lower) {
  if (text.size() < lower.size()) return false;
  for (std::size_t i = 0; i < lower.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// The lines of a header block: split at each "\n", one trailing '\r' removed from each; the
// last line runs to the end of the block (so an empty block is one empty line).
class HeaderLines {
 public:
  explicit HeaderLines(std::string_view block) : rest_(block) {}

  // Sets `line` to the next line; false when none is left.
  bool next(std::string_view& line) {
    if (done_) return false;
    const std::size_t newline = rest_.find('\n');
    line = rest_.substr(0, newline);
    if (newline == std::string_view::npos) {
      done_ = true;
    } else {
      rest_.remove_prefix(newline + 1);
    }
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return true;
  }

 private:
  std::string_view rest_;
  bool done_ = false;
};

}  // namespace skerrow
