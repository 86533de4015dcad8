#include "log/log.h"

#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "log/format.h"
#include "log/stderr_lock.h"
#include "platform/futex.h"
#include "platform/thread.h"

namespace skerrow {
namespace {

constexpr std::size_t kLineBuffer = 64;

// Collects one line in a 64-byte buffer; a piece that does not fit leaves together with
// the buffered bytes in one writev. After a failed write the rest of the line is dropped.
class LineWriter {
 public:
  void append(std::string_view piece) {
    if (failed_ || piece.empty()) return;
    if (piece.size() <= kLineBuffer - used_) {
      std::memcpy(buffer_ + used_, piece.data(), piece.size());
      used_ += piece.size();
      return;
    }
    write_out(piece);
  }

  void append_piece(const LogPiece& piece) {
    std::array<char, kNumberTextSize> room;
    switch (piece.kind()) {
      case LogPiece::Kind::text: append(piece.text()); break;
      case LogPiece::Kind::unsigned_number: append(format_decimal(piece.unsigned_value(), room)); break;
      case LogPiece::Kind::signed_number: append(format_signed(piece.signed_value(), room)); break;
      case LogPiece::Kind::error:
        append("error.");
        append(error_name(piece.error()));
        break;
      case LogPiece::Kind::fixed:
        append(format_fixed(piece.fixed().value, piece.fixed().digits, room));
        break;
    }
  }

  void finish() {
    if (!failed_ && used_ > 0) write_out({});
    used_ = 0;
  }

  bool failed() const { return failed_; }

 private:
  void write_out(std::string_view extra) {
    iovec iov[2] = {{buffer_, used_}, {const_cast<char*>(extra.data()), extra.size()}};
    int first = 0;
    while (first < 2) {
      ssize_t n = ::writev(STDERR_FILENO, iov + first, 2 - first);
      if (n < 0) {
        if (errno == EINTR) continue;
        failed_ = true;
        break;
      }
      // A short write: carry on from where it stopped, so the line still leaves whole.
      auto left = static_cast<std::size_t>(n);
      while (first < 2 && left >= iov[first].iov_len) left -= iov[first++].iov_len;
      if (first < 2) {
        iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + left;
        iov[first].iov_len -= left;
      }
      if (n == 0 && first < 2) {
        failed_ = true;
        break;
      }
    }
    used_ = 0;
  }

  char buffer_[kLineBuffer];
  std::size_t used_ = 0;
  bool failed_ = false;
};

thread_local int t_panic_stage = 0;
std::atomic<std::uint32_t> g_panicking{0};

}  // namespace

std::string_view level_word(LogLevel level) {
  switch (level) {
    case LogLevel::info: return "info";
    case LogLevel::warning: return "warning";
    case LogLevel::error: return "error";
  }
  return "error";
}

std::string_view scope_word(LogScope scope) {
  switch (scope) {
    case LogScope::skerrow: return "skerrow";
    case LogScope::http: return "http";
    case LogScope::auxpow: return "auxpow";
    case LogScope::zmq: return "zmq";
    case LogScope::rpc: return "rpc";
  }
  return "skerrow";
}

void log_line(LogLevel level, LogScope scope, std::initializer_list<LogPiece> message) {
  StderrGuard guard;
  LineWriter w;
  w.append(level_word(level));
  w.append("(");
  w.append(scope_word(scope));
  w.append("): ");
  for (const LogPiece& piece : message) w.append_piece(piece);
  w.append("\n");
  w.finish();
}

void write_startup_error(ErrorCode code) {
  StderrGuard guard;
  LineWriter w;
  w.append("error: ");
  w.append(error_name(code));
  w.append("\n");
  w.finish();
}

void fatal_stop(std::string_view message) {
  if (t_panic_stage == 0) {
    t_panic_stage = 1;
    g_panicking.fetch_add(1);
    {
      StderrGuard guard;
      LineWriter w;
      std::array<char, kNumberTextSize> room;
      w.append("thread ");
      w.append(format_decimal(current_thread_id(), room));
      w.append(" panic: ");
      w.append(message);
      w.append("\n");
      w.append("Unable to dump stack trace: debug info stripped\n");
      w.finish();
      if (w.failed()) std::abort();
    }
    if (g_panicking.fetch_sub(1) == 1) std::abort();
    // Another thread is still panicking and will end the process.
    std::atomic<std::uint32_t> never{0};
    for (;;) futex_wait(never, 0);
  }
  if (t_panic_stage == 1) {
    t_panic_stage = 2;
    static const char kRecursive[] = "aborting due to recursive panic\n";
    ssize_t ignored = ::write(STDERR_FILENO, kRecursive, sizeof kRecursive - 1);
    (void)ignored;
  }
  std::abort();
}

}  // namespace skerrow
