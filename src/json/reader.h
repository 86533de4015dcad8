// The JSON reader: strict RFC 8259, duplicate keys rejected, numbers classified as integer,
// float or kept text. A JsonDocument owns every node, key and text of its tree in one
// storage region; nothing refers back to the input, which may be released after parsing.
// Parsing does not recurse per nesting level: depth is limited only by memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <span>
#include <string_view>

#include "error/error.h"

namespace skerrow {

enum class JsonKind : std::uint8_t { null, boolean, integer, floating, number_text, string, array, object };

struct JsonMember;

// Where string texts live. copy: in the document, which then refers to nothing of the input.
// borrow: a string without escapes is a view into the input, so the input must outlive
// the document; only escaped strings and numbers kept as text are copied. For reading a
// large reply that stays in memory anyway, without writing its texts a second time.
enum class JsonTexts : std::uint8_t { copy, borrow };

// One node. Read a value only as the kind that kind() shows.
class JsonValue {
 public:
  JsonKind kind() const { return kind_; }
  bool is_null() const { return kind_ == JsonKind::null; }
  bool is_bool() const { return kind_ == JsonKind::boolean; }
  bool is_integer() const { return kind_ == JsonKind::integer; }
  bool is_float() const { return kind_ == JsonKind::floating; }
  bool is_number_text() const { return kind_ == JsonKind::number_text; }
  bool is_string() const { return kind_ == JsonKind::string; }
  bool is_array() const { return kind_ == JsonKind::array; }
  bool is_object() const { return kind_ == JsonKind::object; }

  bool as_bool() const { return boolean_; }             // REQUIRES: is_bool()
  std::int64_t as_integer() const { return integer_; }  // REQUIRES: is_integer()
  double as_float() const { return floating_; }         // REQUIRES: is_float(); always finite
  // REQUIRES: is_string() (decoded UTF-8, may hold zero bytes) or is_number_text() (as written).
  std::string_view as_text() const { return {text_, count_}; }
  std::span<const JsonValue> items() const { return {items_, count_}; }      // REQUIRES: is_array()
  std::span<const JsonMember> members() const;                               // REQUIRES: is_object()

  // Construction is the reader's business; these are public so it can build trees in place.
  static JsonValue make_null();
  static JsonValue make_bool(bool b);
  static JsonValue make_integer(std::int64_t n);
  static JsonValue make_float(double d);
  static JsonValue make_text(JsonKind kind, const char* text, std::size_t length);
  static JsonValue make_array(const JsonValue* items, std::size_t count);
  static JsonValue make_object(const JsonMember* members, std::size_t count);

 private:
  JsonKind kind_ = JsonKind::null;
  std::size_t count_ = 0;
  union {
    bool boolean_;
    std::int64_t integer_;
    double floating_;
    const char* text_;
    const JsonValue* items_;
    const JsonMember* members_;
  };
};

struct JsonMember {
  std::string_view key;
  JsonValue value;
};

inline std::span<const JsonMember> JsonValue::members() const { return {members_, count_}; }

// The member of `object` named `key` (exact byte comparison), or nullptr when absent or when
// `object` is not an object.
const JsonValue* get_member(const JsonValue& object, std::string_view key);

// A parsed document. Move-only; releasing it frees the whole tree at once. Every view taken
// from it (values, keys, texts) is valid exactly as long as the document lives. root() must
// not be called on a moved-from document.
class JsonDocument {
 public:
  JsonDocument(JsonDocument&&) noexcept = default;
  JsonDocument& operator=(JsonDocument&&) noexcept = default;
  ~JsonDocument() = default;

  const JsonValue& root() const { return *root_; }

 private:
  // The storage region itself lives in memory taken from the upstream resource, so that a
  // document uses no allocator other than the one it was parsed with.
  struct StorageDeleter {
    std::pmr::memory_resource* upstream;
    void operator()(std::pmr::monotonic_buffer_resource* storage) const noexcept;
  };
  using Storage = std::unique_ptr<std::pmr::monotonic_buffer_resource, StorageDeleter>;

  friend Result<JsonDocument> parse_json(std::string_view, std::pmr::memory_resource*, JsonTexts);
  JsonDocument(Storage storage, const JsonValue* root) : storage_(std::move(storage)), root_(root) {}
  Storage storage_;
  const JsonValue* root_;
};

// Parses exactly one JSON text (surrounding whitespace allowed). Storage comes from
// `upstream`, which must outlive the document. Errors:
//   UnexpectedEndOfInput  empty input, only whitespace, or input cut off inside a value
//                         (string, literal, array, object); a number is complete where its
//                         digits stop, so "-", "1." and "1e" are SyntaxError even at the end
//   SyntaxError           any other violation of RFC 8259, including invalid UTF-8
//   DuplicateField        a key repeated within one object, found when the second member's
//                         value is complete (so an earlier grammar error wins)
//   OutOfMemory           the upstream resource refused
// On failure nothing stays allocated. Nesting depth is bounded by memory only; no recursion.
Result<JsonDocument> parse_json(std::string_view input,
                                std::pmr::memory_resource* upstream = std::pmr::get_default_resource(),
                                JsonTexts texts = JsonTexts::copy);

}  // namespace skerrow
