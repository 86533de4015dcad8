#include "json/reader.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHighs = 0x8080808080808080ull;

// True when one of the eight bytes in `w` needs a closer look inside a string: a quote, a
// backslash, a control byte or the start of a multi-byte sequence.
inline bool has_special_byte(std::uint64_t w) {
  auto zero_byte = [](std::uint64_t x) { return (x - kOnes) & ~x & kHighs; };
  std::uint64_t control = (w - kOnes * 0x20) & ~w & kHighs;
  return ((zero_byte(w ^ (kOnes * '"')) | zero_byte(w ^ (kOnes * '\\')) | control | w) & kHighs) != 0;
}

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

inline int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

inline char* put_utf8(char* out, std::uint32_t cp) {
  if (cp < 0x80) {
    *out++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out++ = static_cast<char>(0xC0 | (cp >> 6));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (cp >> 12));
    *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (cp >> 18));
    *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

// Reads four hex digits of an already validated \u escape.
inline std::uint32_t hex4(const char* p) {
  return static_cast<std::uint32_t>(hex_value(p[0]) << 12 | hex_value(p[1]) << 8 | hex_value(p[2]) << 4 |
                                    hex_value(p[3]));
}

// Decodes the body of a string already known to be valid into `out` (which has room for the
// raw length); returns the decoded length.
std::size_t decode_escaped(const char* p, const char* end, char* out) {
  char* start = out;
  while (p < end) {
    const void* bs = std::memchr(p, '\\', static_cast<std::size_t>(end - p));
    const char* run_end = bs ? static_cast<const char*>(bs) : end;
    std::memcpy(out, p, static_cast<std::size_t>(run_end - p));
    out += run_end - p;
    p = run_end;
    if (p == end) break;
    char e = p[1];
    p += 2;
    switch (e) {
      case 'b': *out++ = '\b'; break;
      case 'f': *out++ = '\f'; break;
      case 'n': *out++ = '\n'; break;
      case 'r': *out++ = '\r'; break;
      case 't': *out++ = '\t'; break;
      case 'u': {
        std::uint32_t cp = hex4(p);
        p += 4;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          std::uint32_t low = hex4(p + 2);
          p += 6;
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        out = put_utf8(out, cp);
        break;
      }
      default: *out++ = e; break;  // \" \\ \/
    }
  }
  return static_cast<std::size_t>(out - start);
}

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
  void skip_whitespace() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }
  ErrorCode read_literal(std::string_view word, JsonValue v, JsonValue& out);
  ErrorCode read_string(std::string_view& out);
  ErrorCode skip_escape();
  ErrorCode skip_utf8();
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
  std::size_t avail = static_cast<std::size_t>(end_ - p_);
  if (avail < word.size()) {
    return std::memcmp(p_, word.data(), avail) == 0 ? UnexpectedEndOfInput : SyntaxError;
  }
  if (std::memcmp(p_, word.data(), word.size()) != 0) return SyntaxError;
  p_ += word.size();
  out = v;
  return None;
}

// At a backslash inside a string: checks one escape (a surrogate pair counts as one).
ErrorCode Parser::skip_escape() {
  if (end_ - p_ < 2) return UnexpectedEndOfInput;
  switch (p_[1]) {
    case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
      p_ += 2;
      return None;
    case 'u': break;
    default: return SyntaxError;
  }
  auto read_u = [this](std::uint32_t& cp) -> ErrorCode {  // p_ at the backslash of \uXXXX
    cp = 0;
    for (int i = 2; i < 6; ++i) {
      if (p_ + i >= end_) return UnexpectedEndOfInput;
      int h = hex_value(p_[i]);
      if (h < 0) return SyntaxError;
      cp = cp << 4 | static_cast<std::uint32_t>(h);
    }
    p_ += 6;
    return None;
  };
  std::uint32_t cp;
  if (ErrorCode e = read_u(cp); e != None) return e;
  if (cp >= 0xDC00 && cp <= 0xDFFF) return SyntaxError;
  if (cp < 0xD800 || cp > 0xDBFF) return None;
  if (p_ == end_) return UnexpectedEndOfInput;
  if (*p_ != '\\') return SyntaxError;
  if (p_ + 1 == end_) return UnexpectedEndOfInput;
  if (p_[1] != 'u') return SyntaxError;
  if (ErrorCode e = read_u(cp); e != None) return e;
  return cp >= 0xDC00 && cp <= 0xDFFF ? None : SyntaxError;
}

// At a byte of 0x80 or above inside a string: checks one UTF-8 sequence (RFC 3629 table,
// which excludes overlong forms, surrogates and code points beyond U+10FFFF).
ErrorCode Parser::skip_utf8() {
  auto c = static_cast<unsigned char>(*p_);
  int length;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c < 0xC2) return SyntaxError;
  if (c < 0xE0) {
    length = 2;
  } else if (c < 0xF0) {
    length = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c < 0xF5) {
    length = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return SyntaxError;
  }
  for (int i = 1; i < length; ++i) {
    if (p_ + i >= end_) return UnexpectedEndOfInput;
    auto b = static_cast<unsigned char>(p_[i]);
    if (b < lo || b > hi) return SyntaxError;
    lo = 0x80;
    hi = 0xBF;
  }
  p_ += length;
  return None;
}

ErrorCode Parser::read_string(std::string_view& out) {
  const char* start = ++p_;
  bool escaped = false;
  for (;;) {
#if defined(__SSE2__)
    // Sixteen bytes a step: long strings (transaction data in block templates) dominate
    // the time spent reading a daemon reply. A signed compare below 0x20 also catches every
    // byte of 0x80 and above.
    while (end_ - p_ >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_));
      const __m128i special = _mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))),
          _mm_cmplt_epi8(v, _mm_set1_epi8(0x20)));
      if (const int mask = _mm_movemask_epi8(special); mask != 0) {
        p_ += __builtin_ctz(static_cast<unsigned>(mask));
        break;
      }
      p_ += 16;
    }
#endif
    while (end_ - p_ >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p_, 8);
      if (has_special_byte(w)) break;
      p_ += 8;
    }
    if (p_ == end_) return UnexpectedEndOfInput;
    auto c = static_cast<unsigned char>(*p_);
    if (c == '"') break;
    if (c >= 0x20 && c < 0x80 && c != '\\') {
      ++p_;
    } else if (c == '\\') {
      escaped = true;
      if (ErrorCode e = skip_escape(); e != None) return e;
    } else if (c < 0x20) {
      return SyntaxError;
    } else if (ErrorCode e = skip_utf8(); e != None) {
      return e;
    }
  }
  const char* stop = p_++;
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
    out = std::string_view(dst, decode_escaped(start, stop, dst));
  }
  return None;
}

ErrorCode Parser::read_number(JsonValue& out) {
  const char* start = p_;
  bool negative = *p_ == '-';
  if (negative) ++p_;
  if (p_ == end_) return SyntaxError;
  if (*p_ == '0') {
    ++p_;
    if (p_ < end_ && is_digit(*p_)) return SyntaxError;
  } else if (is_digit(*p_)) {
    while (p_ < end_ && is_digit(*p_)) ++p_;
  } else {
    return SyntaxError;
  }
  const char* digits_end = p_;
  bool integral = true;
  if (p_ < end_ && *p_ == '.') {
    ++p_;
    if (p_ == end_ || !is_digit(*p_)) return SyntaxError;
    while (p_ < end_ && is_digit(*p_)) ++p_;
    integral = false;
  }
  if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
    ++p_;
    if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
    if (p_ == end_ || !is_digit(*p_)) return SyntaxError;
    while (p_ < end_ && is_digit(*p_)) ++p_;
    integral = false;
  }
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
