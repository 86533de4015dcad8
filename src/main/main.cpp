// Process entry: command line, start line, configuration, summary, then the front end.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "auxpow/snapshot.h"
#include "server/clean_stop.h"
#include "proxy/run_server.h"
#include "server/listener.h"
#include "server/server.h"
#include "log/log.h"
#include "metrics/metrics.h"
#include "platform/allocator.h"
#include "platform/io.h"
#include "state/redis_store.h"
#include "state/sqlite_store.h"

namespace {

// The version comes from the project() line of CMakeLists.txt, like the package's.
constexpr std::string_view kVersion = SKERROW_VERSION;
constexpr std::string_view kUsage =
    "Usage: skerrow [options]\n\nOptions:\n"
    "  -c <path>    Configuration file (default: skerrow.conf)\n"
    "  -t           Check the configuration and exit\n"
    "  -h, --help   Show this help\n"
    "  -v, --version  Show version\n";
constexpr std::string_view kVersionLine = "skerrow " SKERROW_VERSION "\n";

void ignore_signal(int) {}

}  // namespace

namespace skerrow {
namespace {

// Caught rather than ignored or left at default: a write to a closed peer then fails with
// BrokenPipe instead of ending the process.
void catch_sigpipe() {
  struct sigaction action {};
  action.sa_handler = ignore_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(SIGPIPE, &action, nullptr);
}

// The command line as strings of its own. An argument too long for a string is an Overflow,
// not a lack of memory.
Result<std::vector<std::string>> copy_arguments(int argc, char** argv) {
  std::vector<std::string> args;
  try {
    args.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) args.emplace_back(argv[i]);
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  } catch (const std::length_error&) {
    return fail(ErrorCode::Overflow);
  }
  return args;
}

struct Options {
  std::string_view config_path = kDefaultConfigPath;  // a view into the arguments
  std::optional<int> exit_status;  // set once -h or -v has been answered: nothing else runs
  bool check_only = false;         // -t: check the configuration, start nothing
};

// Reads the options; -h and -v are answered here, the first of them to come wins.
Options read_options(const std::vector<std::string>& args) {
  Options options;
  for (std::size_t i = 1; i < args.size();) {
    std::string_view arg = args[i];
    if (arg == "-c" && i + 1 < args.size()) {
      options.config_path = args[i + 1];
      i += 2;
      continue;
    }
    if (arg == "-t") {
      options.check_only = true;
      ++i;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      (void)write_once(STDOUT_FILENO, kUsage);
      options.exit_status = 0;
      return options;
    }
    if (arg == "-v" || arg == "--version") {
      auto written = write_once(STDOUT_FILENO, kVersionLine);
      if (!written) write_startup_error(written.error());
      options.exit_status = written ? 0 : 1;
      return options;
    }
    ++i;
  }
  return options;
}

// The configuration at `path`; it lives until the process ends and every thread reads it
// without a lock. A file that cannot be used ends the process with status 1.
const Config& load_config_or_exit(std::string_view path) {
  auto loaded = load_config(path);
  if (!loaded) {
    log_line(LogLevel::error, LogScope::skerrow, {"failed to load config ", path, ": ", loaded.error()});
    std::exit(1);
  }
  const Config* config = new (std::nothrow) Config(std::move(*loaded));
  if (config == nullptr) {
    log_line(LogLevel::error, LogScope::skerrow,
             {"failed to load config ", path, ": ", ErrorCode::OutOfMemory});
    std::exit(1);
  }
  return *config;
}

void log_summary(const Config& config) {
  log_line(LogLevel::info, LogScope::skerrow,
           {"parent chain: ", config.parent.endpoint.host, ":", config.parent.endpoint.port});
  log_line(LogLevel::info, LogScope::skerrow,
           {"aux chains: ", config.aux_chains.size(), " configured"});
  log_line(LogLevel::info, LogScope::skerrow, {"listen: ", config.listen});
}

// The state file's store, or none without "state_file". It is opened before anything listens:
// a file that cannot be used ends the process with status 1, and the work it holds is provable
// from the first request on.
std::shared_ptr<SnapshotStore> open_state_file_or_exit(const Config& config) {
  if (!config.state_file) return nullptr;
  std::string why;
  auto opened = SqliteSnapshotStore::open(*config.state_file, config.work_retention_s, store_now(),
                                          kDefaultSnapshotCap, &why);
  if (!opened) {
    if (why.empty()) why = "cannot be opened";
    log_line(LogLevel::error, LogScope::skerrow,
             {"state file ", *config.state_file, ": ", opened.error(), " (", why, ")"});
    std::exit(1);
  }
  SqliteSnapshotStore* file = opened->get();
  // Closed after the requests in flight at a clean stop were answered; the store takes its
  // own lock, so a request still running then finds memory alone.
  // Without room for the hook the file is left to the exit, which a WAL database survives.
  (void)on_clean_stop([file] { file->close(); });
  return std::move(*opened);
}

// -t: everything a start reads before it binds or calls anything, with the line a start
// would log on the first failure. Exit status 0 when the proxy would start with this file.
int check_configuration(std::string_view path) {
  auto loaded = load_config(path);
  if (!loaded) {
    log_line(LogLevel::error, LogScope::skerrow, {"failed to load config ", path, ": ", loaded.error()});
    return 1;
  }
  // Freed on return, unlike a running proxy's, which lives until the process ends.
  const Config& config = *loaded;
  if (auto metrics = metrics::check_metrics_listen(config); !metrics) {
    log_line(LogLevel::error, LogScope::skerrow,
             {"metrics listener on ", *config.metrics_listen, " failed: ", metrics.error()});
    return 1;
  }
  if (config.state_file) {
    std::string why;
    if (auto usable = SqliteSnapshotStore::check(*config.state_file, config.work_retention_s, store_now(), &why);
        !usable) {
      if (why.empty()) why = "cannot be opened";
      log_line(LogLevel::error, LogScope::skerrow,
               {"state file ", *config.state_file, ": ", usable.error(), " (", why, ")"});
      return 1;
    }
  }
  if (auto listen = check_listen(config.listen); !listen) {
    log_line(LogLevel::error, LogScope::skerrow, {"HTTP proxy server failed: ", listen.error()});
    return 1;
  }
  std::string line = "configuration ";
  line.append(path);
  line.append(" is valid\n");
  auto written = write_once(STDOUT_FILENO, line);
  if (!written) write_startup_error(written.error());
  return written ? 0 : 1;
}

// With "redis", the local store (the state file's, or one in memory) behind the shared one.
// Redis itself never stops the start: the store connects whenever it can.
std::shared_ptr<SnapshotStore> share_through_redis_or_exit(const Config& config, std::shared_ptr<SnapshotStore> local) {
  if (!config.redis) return local;
  auto opened = catch_oom([&]() -> Result<std::unique_ptr<RedisSnapshotStore>> {
    if (!local) local = std::make_shared<MemorySnapshotStore>(config.work_retention_s);
    RedisSettings settings;
    // The client takes an IPv6 address without the brackets of the address text.
    std::string_view host = config.redis->address.host;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    settings.host = std::string(host);
    settings.port = config.redis->address.port;
    if (config.redis->pass) settings.pass = std::string(*config.redis->pass);
    settings.db = config.redis->db;
    settings.prefix = std::string(config.redis->prefix);
    settings.retention_s = config.work_retention_s;
    settings.wait_ms = config.redis_wait_ms;
    return RedisSnapshotStore::open(std::move(settings), std::move(local));
  });
  if (!opened) {
    log_line(LogLevel::error, LogScope::skerrow, {"redis store failed to start: ", opened.error()});
    std::exit(1);
  }
  return std::move(*opened);
}

}  // namespace
}  // namespace skerrow

int main(int argc, char** argv) {
  using namespace skerrow;

  catch_sigpipe();
  return_large_blocks_at_once();
  const auto args = copy_arguments(argc, argv);
  if (!args) {
    write_startup_error(args.error());
    return 1;
  }
  const Options options = read_options(*args);
  if (options.exit_status) return *options.exit_status;
  if (options.check_only) return check_configuration(options.config_path);

  log_line(LogLevel::info, LogScope::skerrow, {"skerrow ", kVersion, " starting"});
  const Config& config = load_config_or_exit(options.config_path);
  log_summary(config);

  // Before the first thread starts, so that every thread inherits the mask and the signals reach
  // the event loop alone; one that comes earlier ends the process, which has nothing to finish.
  block_control_signals();

  // Before the front end, so the hooks are live before any thread that calls them exists.
  if (auto metrics = metrics::start_metrics(config, kVersion); !metrics) {
    log_line(LogLevel::error, LogScope::skerrow,
             {"metrics listener on ", *config.metrics_listen, " failed: ", metrics.error()});
    std::exit(1);
  }

  ErrorCode failure =
      run_server(config, options.config_path, share_through_redis_or_exit(config, open_state_file_or_exit(config)));
  log_line(LogLevel::error, LogScope::skerrow, {"HTTP proxy server failed: ", failure});
  std::exit(1);
}
