// Process entry: command line, start line, configuration, summary, then the front end.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "auxpow/snapshot.h"
#include "http/clean_stop.h"
#include "http/server.h"
#include "log/log.h"
#include "metrics/metrics.h"
#include "platform/io.h"
#include "state/sqlite_store.h"

namespace {

// The version comes from the project() line of CMakeLists.txt, like the package's.
constexpr std::string_view kVersion = SKERROW_VERSION;
constexpr std::string_view kUsage =
    "Usage: skerrow [options]\n\nOptions:\n"
    "  -c <path>    Configuration file (default: skerrow.conf)\n"
    "  -h, --help   Show this help\n"
    "  -v, --version  Show version\n";
constexpr std::string_view kVersionLine = "skerrow " SKERROW_VERSION "\n";

void ignore_signal(int) {}

}  // namespace

int main(int argc, char** argv) {
  using namespace skerrow;

  // Caught rather than ignored or left at default: a write to a closed peer then fails with
  // BrokenPipe instead of ending the process.
  struct sigaction action {};
  action.sa_handler = ignore_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(SIGPIPE, &action, nullptr);

  std::vector<std::string> args;
  try {
    args.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) args.emplace_back(argv[i]);
  } catch (const std::bad_alloc&) {
    write_startup_error(ErrorCode::OutOfMemory);
    return 1;
  } catch (const std::length_error&) {
    write_startup_error(ErrorCode::Overflow);
    return 1;
  }

  std::string_view config_path = kDefaultConfigPath;
  for (std::size_t i = 1; i < args.size();) {
    std::string_view arg = args[i];
    if (arg == "-c" && i + 1 < args.size()) {
      config_path = args[i + 1];
      i += 2;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      (void)write_once(STDOUT_FILENO, kUsage);
      return 0;
    }
    if (arg == "-v" || arg == "--version") {
      auto written = write_once(STDOUT_FILENO, kVersionLine);
      if (!written) {
        write_startup_error(written.error());
        return 1;
      }
      return 0;
    }
    ++i;
  }

  log_line(LogLevel::info, LogScope::skerrow, {"skerrow ", kVersion, " starting"});

  auto loaded = load_config(config_path);
  if (!loaded) {
    log_line(LogLevel::error, LogScope::skerrow,
             {"failed to load config ", config_path, ": ", loaded.error()});
    std::exit(1);
  }
  // Lives until the process ends; shared read-only by every thread.
  const Config* config = new (std::nothrow) Config(std::move(*loaded));
  if (config == nullptr) {
    log_line(LogLevel::error, LogScope::skerrow,
             {"failed to load config ", config_path, ": ", ErrorCode::OutOfMemory});
    std::exit(1);
  }

  log_line(LogLevel::info, LogScope::skerrow,
           {"parent chain: ", config->parent.endpoint.host, ":", config->parent.endpoint.port});
  log_line(LogLevel::info, LogScope::skerrow,
           {"aux chains: ", config->aux_chains.size(), " configured"});
  log_line(LogLevel::info, LogScope::skerrow, {"listen: ", config->listen});

  // Before the first thread starts, so that every thread inherits the mask and the signals reach
  // the event loop alone; one that comes earlier ends the process, which has nothing to finish.
  block_control_signals();

  // Before the front end, so the hooks are live before any thread that calls them exists.
  if (auto metrics = metrics::start_metrics(*config, kVersion); !metrics) {
    log_line(LogLevel::error, LogScope::skerrow,
             {"metrics listener on ", *config->metrics_listen, " failed: ", metrics.error()});
    std::exit(1);
  }

  // The state file is opened before anything listens: a file that cannot be used stops the
  // start, and the work it holds is provable from the first request on.
  std::shared_ptr<SnapshotStore> store;
  if (config->state_file) {
    std::string why;
    auto opened = SqliteSnapshotStore::open(*config->state_file, config->work_retention_s, store_now(),
                                            kDefaultSnapshotCap, &why);
    if (!opened) {
      if (why.empty()) why = "cannot be opened";
      log_line(LogLevel::error, LogScope::skerrow,
               {"state file ", *config->state_file, ": ", opened.error(), " (", why, ")"});
      std::exit(1);
    }
    SqliteSnapshotStore* file = opened->get();
    store = std::move(*opened);
    // Closed after the requests in flight at a clean stop were answered; the store takes its
    // own lock, so a request still running then finds memory alone.
    // Without room for the hook the file is left to the exit, which a WAL database survives.
    (void)on_clean_stop([file] { file->close(); });
  }

  ErrorCode failure = run_server(*config, std::move(store));
  log_line(LogLevel::error, LogScope::skerrow, {"HTTP proxy server failed: ", failure});
  std::exit(1);
}
