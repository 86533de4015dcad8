#include "platform/process_stats.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <string_view>

#include "platform/io.h"

namespace skerrow {
namespace {

double timeval_seconds(const timeval& tv) {
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

void read_rusage(ProcessStats& stats) {
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) == 0) {
    stats.cpu_seconds = timeval_seconds(usage.ru_utime) + timeval_seconds(usage.ru_stime);
  }
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    stats.max_fds = static_cast<double>(limit.rlim_cur);
  }
}

#if defined(__linux__)

// A whole small /proc file in a stack buffer; nullopt when it cannot be read or does not fit.
template <std::size_t N>
std::optional<std::string_view> read_small_file(const char* path, std::array<char, N>& buffer) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::size_t used = 0;
  for (;;) {
    auto got = read_once(fd, std::span<char>(buffer.data() + used, buffer.size() - used));
    if (!got) {
      close_fd(fd);
      return std::nullopt;
    }
    if (*got == 0) break;
    used += *got;
    if (used == buffer.size()) {
      close_fd(fd);
      return std::nullopt;
    }
  }
  close_fd(fd);
  return std::string_view(buffer.data(), used);
}

std::optional<std::uint64_t> to_number(std::string_view text) {
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Field `n` (1-based, as proc(5) counts) of /proc/self/stat. The command name (field 2) may
// hold spaces and parentheses, so counting starts after its last ')'.
std::optional<std::uint64_t> stat_field(std::string_view stat, int n) {
  auto close = stat.rfind(')');
  if (close == std::string_view::npos || n < 3) return std::nullopt;
  std::string_view rest = stat.substr(close + 1);
  int field = 2;
  std::size_t pos = 0;
  while (pos < rest.size()) {
    while (pos < rest.size() && rest[pos] == ' ') ++pos;
    std::size_t end = rest.find_first_of(" \n", pos);
    if (end == std::string_view::npos) end = rest.size();
    if (++field == n) return to_number(rest.substr(pos, end - pos));
    pos = end;
  }
  return std::nullopt;
}

std::optional<std::uint64_t> boot_time_seconds() {
  std::array<char, 16384> buffer;
  auto text = read_small_file("/proc/stat", buffer);
  if (!text) return std::nullopt;
  constexpr std::string_view kKey = "\nbtime ";
  auto at = text->find(kKey);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = text->substr(at + kKey.size());
  return to_number(rest.substr(0, rest.find('\n')));
}

std::optional<double> count_open_fds() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return std::nullopt;
  double count = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;  // the directory stream's own descriptor
}

void read_proc(ProcessStats& stats) {
  const long ticks = sysconf(_SC_CLK_TCK);
  const long page = sysconf(_SC_PAGESIZE);
  std::array<char, 4096> buffer;
  if (auto stat = read_small_file("/proc/self/stat", buffer)) {
    auto utime = stat_field(*stat, 14);
    auto stime = stat_field(*stat, 15);
    if (utime && stime && ticks > 0) {
      stats.cpu_seconds = static_cast<double>(*utime + *stime) / static_cast<double>(ticks);
    }
    if (auto vsize = stat_field(*stat, 23)) stats.virtual_bytes = static_cast<double>(*vsize);
    if (auto rss = stat_field(*stat, 24); rss && page > 0) {
      stats.resident_bytes = static_cast<double>(*rss) * static_cast<double>(page);
    }
    auto started = stat_field(*stat, 22);
    auto boot = boot_time_seconds();
    if (started && boot && ticks > 0) {
      stats.start_time_seconds =
          static_cast<double>(*boot) + static_cast<double>(*started) / static_cast<double>(ticks);
    }
  }
  stats.open_fds = count_open_fds();
}

#endif

}  // namespace

ProcessStats read_process_stats() {
  ProcessStats stats;
  read_rusage(stats);
#if defined(__linux__)
  read_proc(stats);  // finer than getrusage where both report a figure
#endif
  return stats;
}

}  // namespace skerrow
