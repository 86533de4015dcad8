// Log lines: "<level>(<scope>): <message>\n" on standard error, one whole line at a time.
// No timestamp, no filter, no log file. log_line never fails towards its caller and never
// allocates: the line passes through a 64-byte buffer on the caller's stack and leaves in
// gathering writes under the process-wide stderr lock.
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <type_traits>

#include "error/error.h"

namespace skerrow {

enum class LogLevel : std::uint8_t { info, warning, error };
enum class LogScope : std::uint8_t { skerrow, http, auxpow, zmq, rpc };

// A number written in fixed-point notation with `digits` fractional digits (see format.h).
struct FixedPoint {
  double value;
  int digits;
};

// One piece of a message. Texts are written verbatim; integers in decimal; an ErrorCode as
// "error." + its name; a FixedPoint as its fixed-point text.
class LogPiece {
 public:
  enum class Kind : std::uint8_t { text, unsigned_number, signed_number, error, fixed };

  LogPiece(std::string_view text) : kind_(Kind::text), text_(text) {}
  LogPiece(const char* text) : kind_(Kind::text), text_(text) {}
  // Any string type (std::string, std::pmr::string, ...) is a text piece.
  template <typename S>
    requires(std::convertible_to<const S&, std::string_view> && !std::same_as<S, std::string_view> &&
             !std::is_pointer_v<S> && !std::is_array_v<S>)
  LogPiece(const S& text) : kind_(Kind::text), text_(std::string_view(text)) {}
  template <std::unsigned_integral T>
    requires(!std::same_as<T, bool> && !std::same_as<T, char>)
  LogPiece(T n) : kind_(Kind::unsigned_number), unsigned_(n) {}
  template <std::signed_integral T>
    requires(!std::same_as<T, char>)
  LogPiece(T n) : kind_(Kind::signed_number), signed_(n) {}
  LogPiece(ErrorCode code) : kind_(Kind::error), error_(code) {}
  LogPiece(FixedPoint f) : kind_(Kind::fixed), fixed_(f) {}

  Kind kind() const { return kind_; }
  std::string_view text() const { return text_; }
  std::uint64_t unsigned_value() const { return unsigned_; }
  std::int64_t signed_value() const { return signed_; }
  ErrorCode error() const { return error_; }
  FixedPoint fixed() const { return fixed_; }

 private:
  Kind kind_;
  union {
    std::string_view text_;
    std::uint64_t unsigned_;
    std::int64_t signed_;
    ErrorCode error_;
    FixedPoint fixed_;
  };
};

std::string_view level_word(LogLevel level);
std::string_view scope_word(LogScope scope);

// Writes one log line. Example: log_line(LogLevel::info, LogScope::http,
// {"proxying ", body.size(), "-byte request to parent daemon"}).
void log_line(LogLevel level, LogScope scope, std::initializer_list<LogPiece> message);

// The start-up error line "error: <Name>\n": no level, no scope, bare name.
void write_startup_error(ErrorCode code);

// Fatal stop: "thread <id> panic: <message>" and the stack-trace note, then abort.
// A recursive stop writes "aborting due to recursive panic" without the lock and aborts.
[[noreturn]] void fatal_stop(std::string_view message);

}  // namespace skerrow
