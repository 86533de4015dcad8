#include "json/skim.h"

#include <cstdint>
#include <cstring>
#include <unordered_set>

#include "json/grammar.h"

namespace skerrow {
namespace {

using enum ErrorCode;
namespace grammar = json_grammar;

// Objects up to this many members are checked for a repeated key by a plain scan; larger
// ones get a hash set so that a reply with a huge object stays linear.
constexpr std::size_t kLinearKeyScan = 16;

// Where a container sits, as far as the outline cares.
enum class Place : std::uint8_t { other, top, result, transactions, transaction, coinbaseaux };

// What the member whose value is being read means to the outline.
enum class Member : std::uint8_t { other, result, transactions, txid, flags, coinbaseaux };

struct Frame {
  std::size_t keys;        // the object's first key on the key stack
  std::size_t set;         // 1 + index of the object's key set in sets_, 0 while keys are scanned
  std::uint64_t seen = 0;  // key_bit of every key so far
  bool object;
  Place place;
  bool may_repeat = false;  // the newest key's bit was seen before: compare it once its value is read
};

// One of 64 bits by a key's length and first and last bytes. The keys of a transaction differ
// in those, so a key whose bit is new needs no comparison with the others.
std::uint64_t key_bit(std::string_view key) {
  if (key.empty()) return 1;
  const auto mix = static_cast<unsigned>(key.size() * 7 + static_cast<unsigned char>(key.front()) * 3 +
                                         static_cast<unsigned char>(key.back()));
  return std::uint64_t{1} << (mix & 63);
}

// The same walk as the reader's (one value at a time, containers on an explicit stack, a
// repeated key found when the second member's value is complete), so that the first fault
// of a text, and with it the error, is the same.
class Skimmer {
 public:
  Skimmer(std::string_view input, std::pmr::memory_resource* memory, TemplateOutline& out)
      : begin_(input.data()),
        p_(input.data()),
        end_(input.data() + input.size()),
        out_(out),
        frames_(memory),
        keys_(memory),
        sets_(memory),
        scratch_(memory) {}

  ErrorCode run();

 private:
  using KeySet = std::pmr::unordered_set<std::string_view>;

  std::size_t offset(const char* at) const { return static_cast<std::size_t>(at - begin_); }
  void skip_blanks() { p_ = grammar::skip_blanks(p_, end_); }
  ErrorCode read_string(bool keep, std::string_view& text, bool& escaped);
  ErrorCode read_key();
  void push_key(std::string_view key) {
    if (key_count_ == keys_.size()) keys_.resize(keys_.size() * 2 + 64);
    keys_[key_count_++] = key;
  }
  ErrorCode check_new_key(Frame& frame);
  Place place_of(bool object) const;

  // The steps of run, each taken once per value or more: inlined into its loop, since a call
  // per value would cost on the megabytes of a template's transactions.
  [[gnu::always_inline]] inline ErrorCode read_value(bool& opened);
  [[gnu::always_inline]] inline ErrorCode open_array(bool& opened);
  [[gnu::always_inline]] inline ErrorCode open_object(Member member, bool& opened);
  [[gnu::always_inline]] inline ErrorCode read_string_value(Member member);
  [[gnu::always_inline]] inline ErrorCode read_whole_number();
  [[gnu::always_inline]] inline ErrorCode read_number();
  [[gnu::always_inline]] inline ErrorCode close_completed(bool& finished);

  const char* begin_;
  const char* p_;
  const char* end_;
  TemplateOutline& out_;
  std::pmr::vector<Frame> frames_;
  // Decoded keys of every open object: the first key_count_ entries. Kept by hand rather
  // than by push_back, which the compiler leaves out of line on the path taken per key.
  std::pmr::vector<std::string_view> keys_;
  std::size_t key_count_ = 0;
  std::pmr::vector<KeySet> sets_;
  std::pmr::monotonic_buffer_resource scratch_;  // texts written with escapes, decoded
  Member member_ = Member::other;     // of the newest key of the innermost object
};

// At the opening quote. With `keep`, `text` is the decoded string (in scratch_ when it was
// written with escapes).
inline ErrorCode Skimmer::read_string(bool keep, std::string_view& text, bool& escaped) {
  const char* start = p_ + 1;
  if (ErrorCode e = grammar::check_string(p_, end_, escaped); e != None) return e;
  if (!keep) return None;
  const char* stop = p_ - 1;
  const auto raw = static_cast<std::size_t>(stop - start);
  if (!escaped) {
    text = std::string_view(start, raw);
    return None;
  }
  auto* decoded = static_cast<char*>(scratch_.allocate(raw, 1));
  text = std::string_view(decoded, grammar::decode_escaped(start, stop, decoded));
  return None;
}

// Reads `"key" :` of the innermost object and says what its value means to the outline.
ErrorCode Skimmer::read_key() {
  skip_blanks();
  if (p_ == end_) return UnexpectedEndOfInput;
  if (*p_ != '"') return SyntaxError;
  std::string_view key;
  bool escaped;
  if (ErrorCode e = read_string(true, key, escaped); e != None) return e;
  skip_blanks();
  if (p_ == end_) return UnexpectedEndOfInput;
  if (*p_++ != ':') return SyntaxError;
  Frame& frame = frames_.back();
  // The key's bit is taken while its bytes are at hand; whether it repeats is told when its
  // value is complete, as the reader tells it.
  if (frame.set == 0 && key_count_ - frame.keys < kLinearKeyScan) {
    const std::uint64_t bit = key_bit(key);
    frame.may_repeat = (frame.seen & bit) != 0;
    frame.seen |= bit;
  }
  push_key(key);
  member_ = Member::other;
  switch (frame.place) {
    case Place::top:
      if (key == "result") member_ = Member::result;
      break;
    case Place::result:
      if (key == "transactions") {
        member_ = Member::transactions;
      } else if (key == "coinbaseaux") {
        member_ = Member::coinbaseaux;
      }
      break;
    case Place::coinbaseaux:
      if (key == "flags") member_ = Member::flags;
      break;
    case Place::transaction:
      if (key == "txid") member_ = Member::txid;
      break;
    default:
      break;
  }
  return None;
}

// The newest key of `frame` has just got its value: refuse it if the object has it already.
ErrorCode Skimmer::check_new_key(Frame& frame) {
  const std::size_t position = key_count_ - 1 - frame.keys;
  if (frame.set == 0 && position < kLinearKeyScan && !frame.may_repeat) return None;
  const std::string_view key = keys_[key_count_ - 1];
  if (frame.set == 0 && position < kLinearKeyScan) {
    for (std::size_t i = frame.keys; i + 1 < key_count_; ++i) {
      if (keys_[i] == key) return DuplicateField;
    }
    return None;
  }
  if (frame.set == 0) {
    KeySet& set = sets_.emplace_back();  // given the vector's memory resource
    frame.set = sets_.size();
    set.insert(keys_.begin() + static_cast<std::ptrdiff_t>(frame.keys),
               keys_.begin() + static_cast<std::ptrdiff_t>(key_count_ - 1));
  }
  return sets_[frame.set - 1].insert(key).second ? None : DuplicateField;
}

// Where a container that starts now sits.
Place Skimmer::place_of(bool object) const {
  if (frames_.empty()) return object ? Place::top : Place::other;
  const Frame& parent = frames_.back();
  if (!parent.object) return parent.place == Place::transactions && object ? Place::transaction : Place::other;
  if (parent.place == Place::top && member_ == Member::result && object) return Place::result;
  if (parent.place == Place::result && member_ == Member::transactions && !object) return Place::transactions;
  if (parent.place == Place::result && member_ == Member::coinbaseaux && object) return Place::coinbaseaux;
  return Place::other;
}

// Reads the value that starts at p_ (after blanks). A container with entries opens a frame
// and sets `opened`: its first entry comes next (an object's first key is read already).
ErrorCode Skimmer::read_value(bool& opened) {
  skip_blanks();
  if (p_ == end_) return UnexpectedEndOfInput;
  const Member member = !frames_.empty() && frames_.back().object ? member_ : Member::other;
  if (member == Member::flags && *p_ != '"') out_.flags_other = true;
  switch (*p_) {
    case '[': return open_array(opened);
    case '{': return open_object(member, opened);
    case '"': return read_string_value(member);
    case 't': return grammar::check_literal(p_, end_, "true");
    case 'f': return grammar::check_literal(p_, end_, "false");
    case 'n': return grammar::check_literal(p_, end_, "null");
    case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9':
      return read_whole_number();
    case '-': case '0': return read_number();
    default: return SyntaxError;
  }
}

ErrorCode Skimmer::open_array(bool& opened) {
  const Place place = place_of(false);
  ++p_;
  skip_blanks();
  if (p_ < end_ && *p_ == ']') {
    ++p_;
    return None;
  }
  if (place == Place::transactions) out_.has_transactions = true;
  frames_.push_back(Frame{0, 0, 0, false, place});
  opened = true;
  return None;
}

ErrorCode Skimmer::open_object(Member member, bool& opened) {
  const Place place = place_of(true);
  const char* open = p_;
  ++p_;
  skip_blanks();
  const bool empty = p_ < end_ && *p_ == '}';
  if (member == Member::coinbaseaux) {
    out_.aux_open = offset(open);
    out_.aux_empty = empty;
  }
  if (empty) {
    if (place == Place::result) out_.result_close = offset(p_);
    ++p_;
    return None;
  }
  frames_.push_back(Frame{key_count_, 0, 0, true, place});
  opened = true;
  return read_key();
}

ErrorCode Skimmer::read_string_value(Member member) {
  std::string_view text;
  bool escaped;
  const bool keep = member == Member::txid;
  if (ErrorCode e = read_string(keep, text, escaped); e != None) return e;
  if (keep) {
    if (escaped) text = out_.decoded.emplace_front(text);  // outlives the scratch
    out_.txids.push_back(text);
  } else if (member == Member::flags) {
    out_.flags_close = offset(p_ - 1);
  }
  return None;
}

// Whole numbers (fees, sizes, times) end at their last digit; the rest is checked fully.
ErrorCode Skimmer::read_whole_number() {
  const char* digit = p_ + 1;
  while (digit < end_ && *digit >= '0' && *digit <= '9') ++digit;
  if (digit == end_ || (*digit != '.' && *digit != 'e' && *digit != 'E')) {
    p_ = digit;
    return None;
  }
  return read_number();
}

ErrorCode Skimmer::read_number() {
  grammar::NumberShape shape;
  return grammar::check_number(p_, end_, shape);
}

// A value is complete: closes every container it completes, up to the ',' that leads to the
// next value (and the next key, in an object). `finished` when the top-level value was.
ErrorCode Skimmer::close_completed(bool& finished) {
  for (;;) {
    if (frames_.empty()) {
      finished = true;
      skip_blanks();
      return p_ == end_ ? None : SyntaxError;
    }
    Frame& frame = frames_.back();
    if (frame.object) {
      if (ErrorCode e = check_new_key(frame); e != None) return e;
    }
    skip_blanks();
    if (p_ == end_) return UnexpectedEndOfInput;
    const char c = *p_++;
    if (c == ',') return frame.object ? read_key() : None;
    if (c != (frame.object ? '}' : ']')) return SyntaxError;
    if (frame.object) {
      key_count_ = frame.keys;
      if (frame.set != 0) sets_.pop_back();
      if (frame.place == Place::result) out_.result_close = offset(p_ - 1);
    }
    frames_.pop_back();
  }
}

ErrorCode Skimmer::run() {
  for (;;) {
    bool opened = false;
    if (ErrorCode e = read_value(opened); e != None) return e;
    if (opened) continue;
    bool finished = false;
    if (ErrorCode e = close_completed(finished); e != None || finished) return e;
  }
}

}  // namespace

Result<TemplateOutline> skim_template(std::string_view input, std::pmr::memory_resource* memory) {
  return catch_oom([&]() -> Result<TemplateOutline> {
    TemplateOutline out(memory);
    if (ErrorCode e = Skimmer(input, memory, out).run(); e != None) return fail(e);
    return out;
  });
}

}  // namespace skerrow
