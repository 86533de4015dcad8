// The JSON reader on arbitrary bytes. Besides surviving the input, every accepted document
// must keep the reader's promises (strings are valid UTF-8, keys are unique, numbers are
// classified as documented) and must come back unchanged from its compact text.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory_resource>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "fuzz_check.h"
#include "json/reader.h"
#include "json/writer.h"

namespace {

using skerrow::ErrorCode;
using skerrow::JsonKind;
using skerrow::JsonValue;

bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t extra;
    std::uint32_t cp;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b & 0xe0) == 0xc0) {
      extra = 1;
      cp = b & 0x1f;
    } else if ((b & 0xf0) == 0xe0) {
      extra = 2;
      cp = b & 0x0f;
    } else if ((b & 0xf8) == 0xf0) {
      extra = 3;
      cp = b & 0x07;
    } else {
      return false;
    }
    if (i + extra >= s.size()) return false;  // cut off
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3f);
    }
    static constexpr std::uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kSmallest[extra] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    i += extra + 1;
  }
  return true;
}

bool integer_formed(std::string_view text) {
  return text.find_first_of(".eE") == std::string_view::npos && text != "-0";
}

// The promises a document makes about each of its nodes.
void check_node(const JsonValue& v) {
  switch (v.kind()) {
    case JsonKind::floating:
      FUZZ_CHECK(std::isfinite(v.as_float()));
      break;
    case JsonKind::number_text: {
      const std::string_view text = v.as_text();
      FUZZ_CHECK(!text.empty());
      if (integer_formed(text)) {
        // Kept as text only when it does not fit a signed 64-bit integer.
        std::int64_t n;
        const auto r = std::from_chars(text.data(), text.data() + text.size(), n);
        FUZZ_CHECK(r.ec == std::errc::result_out_of_range);
      } else {
        // Kept as text only when the nearest double is infinite.
        const std::string copy(text);
        FUZZ_CHECK(std::isinf(std::strtod(copy.c_str(), nullptr)));
      }
      break;
    }
    case JsonKind::string:
      FUZZ_CHECK(valid_utf8(v.as_text()));
      break;
    case JsonKind::object: {
      std::unordered_set<std::string_view> keys;
      for (const auto& m : v.members()) {
        FUZZ_CHECK(valid_utf8(m.key));
        FUZZ_CHECK(keys.insert(m.key).second);
        FUZZ_CHECK(skerrow::get_member(v, m.key) == &m.value);
      }
      break;
    }
    default:
      break;
  }
}

// Both trees hold the same values in the same order. Iterative: documents may nest deeply.
bool same_tree(const JsonValue& a, const JsonValue& b) {
  std::vector<std::pair<const JsonValue*, const JsonValue*>> todo{{&a, &b}};
  while (!todo.empty()) {
    auto [x, y] = todo.back();
    todo.pop_back();
    if (x->kind() != y->kind()) return false;
    switch (x->kind()) {
      case JsonKind::null:
        break;
      case JsonKind::boolean:
        if (x->as_bool() != y->as_bool()) return false;
        break;
      case JsonKind::integer:
        if (x->as_integer() != y->as_integer()) return false;
        break;
      case JsonKind::floating: {
        const double fx = x->as_float();
        const double fy = y->as_float();
        if (std::memcmp(&fx, &fy, sizeof fx) != 0) return false;  // keeps the sign of zero
        break;
      }
      case JsonKind::number_text:
      case JsonKind::string:
        if (x->as_text() != y->as_text()) return false;
        break;
      case JsonKind::array:
        if (x->items().size() != y->items().size()) return false;
        for (std::size_t i = 0; i < x->items().size(); ++i) todo.emplace_back(&x->items()[i], &y->items()[i]);
        break;
      case JsonKind::object:
        if (x->members().size() != y->members().size()) return false;
        for (std::size_t i = 0; i < x->members().size(); ++i) {
          if (x->members()[i].key != y->members()[i].key) return false;
          todo.emplace_back(&x->members()[i].value, &y->members()[i].value);
        }
        break;
    }
  }
  return true;
}

void check_all_nodes(const JsonValue& root) {
  std::vector<const JsonValue*> todo{&root};
  while (!todo.empty()) {
    const JsonValue* v = todo.back();
    todo.pop_back();
    check_node(*v);
    if (v->is_array()) {
      for (const auto& item : v->items()) todo.push_back(&item);
    } else if (v->is_object()) {
      for (const auto& m : v->members()) todo.push_back(&m.value);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::pmr::memory_resource* memory = std::pmr::new_delete_resource();
  // A private copy, overwritten after parsing: the document must not refer back to it.
  std::vector<char> input(data, data + size);
  auto doc = skerrow::parse_json({input.data(), input.size()}, memory);
  if (!doc) {
    const ErrorCode e = doc.error();
    FUZZ_CHECK(e == ErrorCode::SyntaxError || e == ErrorCode::UnexpectedEndOfInput ||
               e == ErrorCode::DuplicateField);
    return 0;
  }
  if (!input.empty()) std::memset(input.data(), 0xa5, input.size());
  check_all_nodes(doc->root());

  std::pmr::string text(memory);
  FUZZ_CHECK(skerrow::write_compact_json(doc->root(), text).has_value());
  auto again = skerrow::parse_json(text, memory);
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(same_tree(doc->root(), again->root()));
  std::pmr::string text2(memory);
  FUZZ_CHECK(skerrow::write_compact_json(again->root(), text2).has_value());
  FUZZ_CHECK(text == text2);
  return 0;
}
