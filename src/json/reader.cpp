#include "json/reader.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

#include "json/grammar.h"

namespace skerrow {

JsonValue JsonValue::make_null() { return JsonValue{}; }

JsonValue JsonValue::make_bool(bool b) {
  JsonValue v;
  v.kind_ = JsonKind::boolean;
  v.boolean_ = b;
  return v;
}

JsonValue JsonValue::make_integer(std::int64_t n) {
  JsonValue v;
  v.kind_ = JsonKind::integer;
  v.integer_ = n;
  return v;
}

JsonValue JsonValue::make_float(double d) {
  JsonValue v;
  v.kind_ = JsonKind::floating;
  v.floating_ = d;
  return v;
}

JsonValue JsonValue::make_text(JsonKind kind, const char* text, std::size_t length) {
  JsonValue v;
  v.kind_ = kind;
  v.text_ = text;
  v.count_ = length;
  return v;
}

JsonValue JsonValue::make_array(const JsonValue* items, std::size_t count) {
  JsonValue v;
  v.kind_ = JsonKind::array;
  v.items_ = items;
  v.count_ = count;
  return v;
}

JsonValue JsonValue::make_object(const JsonMember* members, std::size_t count) {
  JsonValue v;
  v.kind_ = JsonKind::object;
  v.members_ = members;
  v.count_ = count;
  return v;
}

const JsonValue* get_member(const JsonValue& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  for (const JsonMember& m : object.members()) {
    if (m.key == key) return &m.value;
  }
  return nullptr;
}

void JsonDocument::StorageDeleter::operator()(std::pmr::monotonic_buffer_resource* storage) const noexcept {
  storage->~monotonic_buffer_resource();
  upstream->deallocate(storage, sizeof(std::pmr::monotonic_buffer_resource),
                       alignof(std::pmr::monotonic_buffer_resource));
}

namespace {

using enum ErrorCode;

// Objects up to this many members are checked for a repeated key by a plain scan; larger
// ones get a hash index so that a reply with a huge object stays linear.
constexpr std::size_t kLinearKeyScan = 16;

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Decimal exponent of the leading significant digit plus one (1e5 -> 6, 0.01 -> -1), for
// telling an overflowing number from one that underflows to zero. Saturates on absurd
// exponents. The text is a valid JSON number that is not all zeros.
long long decimal_magnitude(std::string_view text) {
  std::size_t i = 0;
  if (text[i] == '-') ++i;
  long long lead = 0;
  if (text[i] != '0') {
    while (i < text.size() && is_digit(text[i])) ++lead, ++i;
  } else {
    ++i;
    if (i < text.size() && text[i] == '.') {
      ++i;
      while (i < text.size() && text[i] == '0') --lead, ++i;
    }
  }
  while (i < text.size() && text[i] != 'e' && text[i] != 'E') ++i;
  long long exp = 0;
  bool negative_exp = false;
  if (i < text.size()) {
    ++i;
    if (text[i] == '+' || text[i] == '-') negative_exp = text[i++] == '-';
    for (; i < text.size(); ++i) {
      if (exp < 1'000'000'000) exp = exp * 10 + (text[i] - '0');
    }
  }
  return lead + (negative_exp ? -exp : exp);
}

struct Frame {
  std::size_t start;   // first entry of this container on its scratch stack
  std::uint32_t keys;  // 1 + index of the object's key index in `tables_`, 0 while scanning
  bool object;
};

// Open-addressing index over the keys of one large object: each slot holds the key's hash
// (upper half) and 1 + the member's position within the object (lower half), 0 when empty.
struct KeyIndex {
  explicit KeyIndex(std::pmr::memory_resource* r) : slots(r) {}
  std::pmr::vector<std::uint64_t> slots;
  std::size_t used = 0;
};

class Parser {
 public:
  Parser(std::string_view input, std::pmr::monotonic_buffer_resource* doc, std::pmr::memory_resource* scratch,
         bool borrow)
      : borrow_(borrow),
        p_(input.data()),
        end_(input.data() + input.size()),
        doc_(doc),
        frames_(scratch),
        items_(scratch),
        members_(scratch),
        tables_(scratch) {}

  ErrorCode run(JsonValue& root);

 private:
  void skip_whitespace() { p_ = json_grammar::skip_blanks(p_, end_); }
  ErrorCode read_literal(std::string_view word, JsonValue v, JsonValue& out);
  ErrorCode read_string(std::string_view& out);
  ErrorCode read_number(JsonValue& out);
  ErrorCode read_key();
  ErrorCode check_new_key(Frame& frame);
  ErrorCode index_key(KeyIndex& index, std::size_t start, std::size_t position);
  JsonValue close(const Frame& frame);

  bool borrow_;
  const char* p_;
  const char* end_;
  std::pmr::monotonic_buffer_resource* doc_;
  std::pmr::vector<Frame> frames_;
  std::pmr::vector<JsonValue> items_;
  std::pmr::vector<JsonMember> members_;
  std::pmr::vector<KeyIndex> tables_;
};

ErrorCode Parser::read_literal(std::string_view word, JsonValue v, JsonValue& out) {
  if (ErrorCode e = json_grammar::check_literal(p_, end_, word); e != None) return e;
  out = v;
  return None;
}

ErrorCode Parser::read_string(std::string_view& out) {
  const char* start = p_ + 1;
  bool escaped;
  if (ErrorCode e = json_grammar::check_string(p_, end_, escaped); e != None) return e;
  const char* stop = p_ - 1;
  auto raw = static_cast<std::size_t>(stop - start);
  if (raw == 0) {
    out = std::string_view("", 0);
    return None;
  }
  if (!escaped && borrow_) {
    out = std::string_view(start, raw);
    return None;
  }
  auto* dst = static_cast<char*>(doc_->allocate(raw, 1));
  if (!escaped) {
    std::memcpy(dst, start, raw);
    out = std::string_view(dst, raw);
  } else {
    out = std::string_view(dst, json_grammar::decode_escaped(start, stop, dst));
  }
  return None;
}

ErrorCode Parser::read_number(JsonValue& out) {
  const char* start = p_;
  const bool negative = *p_ == '-';
  json_grammar::NumberShape shape;
  if (ErrorCode e = json_grammar::check_number(p_, end_, shape); e != None) return e;
  const char* digits_end = shape.digits_end;
  const bool integral = shape.integral;
  std::string_view text(start, static_cast<std::size_t>(p_ - start));

  if (integral && text != "-0") {
    const char* d = start + (negative ? 1 : 0);
    if (digits_end - d <= 19) {  // 19 digits always fit in 64 unsigned bits
      std::uint64_t v = 0;
      for (; d < digits_end; ++d) v = v * 10 + static_cast<std::uint64_t>(*d - '0');
      constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
      if (!negative && v <= kMax) {
        out = JsonValue::make_integer(static_cast<std::int64_t>(v));
        return None;
      }
      if (negative && v <= kMax + 1) {
        out = JsonValue::make_integer(static_cast<std::int64_t>(0 - v));
        return None;
      }
    }
  } else {
    double d = 0;
    auto [ptr, ec] = std::from_chars(start, p_, d);
    if (ec == std::errc{} && ptr == p_) {
      out = JsonValue::make_float(d);
      return None;
    }
    // from_chars reports underflow and overflow alike; only overflow keeps the text.
    if (ec == std::errc::result_out_of_range && decimal_magnitude(text) <= 0) {
      out = JsonValue::make_float(negative ? -0.0 : 0.0);
      return None;
    }
  }
  auto* dst = static_cast<char*>(doc_->allocate(text.size(), 1));
  std::memcpy(dst, text.data(), text.size());
  out = JsonValue::make_text(JsonKind::number_text, dst, text.size());
  return None;
}

// Reads `"key" :` and opens the member; its value follows.
ErrorCode Parser::read_key() {
  skip_whitespace();
  if (p_ == end_) return UnexpectedEndOfInput;
  if (*p_ != '"') return SyntaxError;
  std::string_view key;
  if (ErrorCode e = read_string(key); e != None) return e;
  skip_whitespace();
  if (p_ == end_) return UnexpectedEndOfInput;
  if (*p_++ != ':') return SyntaxError;
  members_.push_back(JsonMember{key, JsonValue{}});
  return None;
}

ErrorCode Parser::index_key(KeyIndex& index, std::size_t start, std::size_t position) {
  if ((index.used + 1) * 2 > index.slots.size()) {
    std::pmr::vector<std::uint64_t> old(index.slots.size() ? index.slots.size() * 2 : 64, 0,
                                        index.slots.get_allocator());
    old.swap(index.slots);
    std::size_t mask = index.slots.size() - 1;
    for (std::uint64_t s : old) {
      if (s == 0) continue;
      std::size_t pos = static_cast<std::size_t>(s >> 32) & mask;
      while (index.slots[pos] != 0) pos = (pos + 1) & mask;
      index.slots[pos] = s;
    }
  }
  std::string_view key = members_[start + position].key;
  auto hash = static_cast<std::uint32_t>(std::hash<std::string_view>{}(key));
  std::size_t mask = index.slots.size() - 1;
  std::size_t pos = hash & mask;
  for (std::uint64_t s; (s = index.slots[pos]) != 0; pos = (pos + 1) & mask) {
    if (static_cast<std::uint32_t>(s >> 32) == hash &&
        members_[start + static_cast<std::uint32_t>(s) - 1].key == key) {
      return DuplicateField;
    }
  }
  index.slots[pos] = static_cast<std::uint64_t>(hash) << 32 | (position + 1);
  ++index.used;
  return None;
}

// The newest member of `frame` has just got its value: reject it if its key is taken.
ErrorCode Parser::check_new_key(Frame& frame) {
  std::size_t position = members_.size() - 1 - frame.start;
  if (frame.keys == 0 && position < kLinearKeyScan) {
    std::string_view key = members_.back().key;
    for (std::size_t i = frame.start; i + 1 < members_.size(); ++i) {
      if (members_[i].key == key) return DuplicateField;
    }
    return None;
  }
  if (position >= std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
  if (frame.keys == 0) {
    tables_.emplace_back(tables_.get_allocator().resource());
    frame.keys = static_cast<std::uint32_t>(tables_.size());
    for (std::size_t i = 0; i < position; ++i) index_key(tables_.back(), frame.start, i);
  }
  return index_key(tables_[frame.keys - 1], frame.start, position);
}

// Moves the finished container's entries from the scratch stack into the document.
JsonValue Parser::close(const Frame& frame) {
  if (frame.object) {
    std::size_t n = members_.size() - frame.start;
    auto* dst = static_cast<JsonMember*>(doc_->allocate(n * sizeof(JsonMember), alignof(JsonMember)));
    std::memcpy(static_cast<void*>(dst), members_.data() + frame.start, n * sizeof(JsonMember));
    members_.erase(members_.begin() + static_cast<std::ptrdiff_t>(frame.start), members_.end());
    if (frame.keys != 0) tables_.pop_back();
    return JsonValue::make_object(dst, n);
  }
  std::size_t n = items_.size() - frame.start;
  auto* dst = static_cast<JsonValue*>(doc_->allocate(n * sizeof(JsonValue), alignof(JsonValue)));
  std::memcpy(static_cast<void*>(dst), items_.data() + frame.start, n * sizeof(JsonValue));
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(frame.start), items_.end());
  return JsonValue::make_array(dst, n);
}

ErrorCode Parser::run(JsonValue& root) {
  JsonValue value;
  for (;;) {
    // Read the start of one value; containers open a frame and loop for their first entry.
    skip_whitespace();
    if (p_ == end_) return UnexpectedEndOfInput;
    ErrorCode e = None;
    switch (*p_) {
      case '[':
        ++p_;
        skip_whitespace();
        if (p_ < end_ && *p_ == ']') {
          ++p_;
          value = JsonValue::make_array(nullptr, 0);
          break;
        }
        frames_.push_back(Frame{items_.size(), 0, false});
        continue;
      case '{':
        ++p_;
        skip_whitespace();
        if (p_ < end_ && *p_ == '}') {
          ++p_;
          value = JsonValue::make_object(nullptr, 0);
          break;
        }
        frames_.push_back(Frame{members_.size(), 0, true});
        if (e = read_key(); e != None) return e;
        continue;
      case '"': {
        std::string_view text;
        e = read_string(text);
        value = JsonValue::make_text(JsonKind::string, text.data(), text.size());
        break;
      }
      case 't': e = read_literal("true", JsonValue::make_bool(true), value); break;
      case 'f': e = read_literal("false", JsonValue::make_bool(false), value); break;
      case 'n': e = read_literal("null", JsonValue::make_null(), value); break;
      case '-': case '0': case '1': case '2': case '3': case '4':
      case '5': case '6': case '7': case '8': case '9':
        e = read_number(value);
        break;
      default: return SyntaxError;
    }
    if (e != None) return e;

    // A value is complete: hand it to its container, closing every container it completes.
    for (;;) {
      if (frames_.empty()) {
        root = value;
        skip_whitespace();
        return p_ == end_ ? None : SyntaxError;
      }
      Frame& frame = frames_.back();
      if (frame.object) {
        members_.back().value = value;
        if (e = check_new_key(frame); e != None) return e;
      } else {
        items_.push_back(value);
      }
      skip_whitespace();
      if (p_ == end_) return UnexpectedEndOfInput;
      char c = *p_++;
      if (c == ',') {
        if (frame.object && (e = read_key()) != None) return e;
        break;
      }
      if (c != (frame.object ? '}' : ']')) return SyntaxError;
      value = close(frame);
      frames_.pop_back();
    }
  }
}

}  // namespace

Result<JsonDocument> parse_json(std::string_view input, std::pmr::memory_resource* upstream,
                                JsonTexts texts) {
  const bool borrow = texts == JsonTexts::borrow;
  return catch_oom([&]() -> Result<JsonDocument> {
    void* cell = upstream->allocate(sizeof(std::pmr::monotonic_buffer_resource),
                                    alignof(std::pmr::monotonic_buffer_resource));
    // The first region is sized for the copied texts of a typical reply so that big
    // templates need few refills; untouched pages of an arena cost nothing.
    // Borrowed texts leave only the nodes, about a third of the input for a block template.
    std::size_t first = std::max<std::size_t>(1024, borrow ? input.size() / 2 : input.size() + input.size() / 2);
    JsonDocument::Storage storage(new (cell) std::pmr::monotonic_buffer_resource(first, upstream),
                                  JsonDocument::StorageDeleter{upstream});
    JsonValue root;
    {
      Parser parser(input, storage.get(), upstream, borrow);
      if (ErrorCode e = parser.run(root); e != None) return fail(e);
    }
    auto* node = static_cast<JsonValue*>(storage->allocate(sizeof(JsonValue), alignof(JsonValue)));
    *node = root;
    return JsonDocument(std::move(storage), node);
  });
}

}  // namespace skerrow
