#include "proxy/reload.h"

#include <new>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "auxpow/snapshot_store.h"
#include "log/log.h"

namespace skerrow {
namespace {

bool same_endpoint(const ChainEndpoint& a, const ChainEndpoint& b) {
  return a.endpoint.host == b.endpoint.host && a.endpoint.port == b.endpoint.port && a.user == b.user &&
         a.pass == b.pass;
}

bool same_backups(const std::vector<BackupDaemon>& a, const std::vector<BackupDaemon>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!same_endpoint(a[i].daemon, b[i].daemon) || a[i].zmq_hashblock != b[i].zmq_hashblock) return false;
  }
  return true;
}

bool same_chains(const std::vector<AuxChainConfig>& a, const std::vector<AuxChainConfig>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].chain_id != b[i].chain_id || !same_endpoint(a[i].daemon, b[i].daemon) ||
        a[i].use_createauxblock != b[i].use_createauxblock || a[i].zmq_hashblock != b[i].zmq_hashblock ||
        a[i].payout_address != b[i].payout_address || !same_backups(a[i].backups, b[i].backups)) {
      return false;
    }
  }
  return true;
}

bool same_methods(const std::optional<std::vector<std::string_view>>& a,
                  const std::optional<std::vector<std::string_view>>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || *a == *b;
}

bool same_redis(const std::optional<RedisConfig>& a, const std::optional<RedisConfig>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || (a->address.host == b->address.host && a->address.port == b->address.port && a->pass == b->pass &&
                a->db == b->db && a->prefix == b->prefix);
}

// Keys bound at the start: sockets, threads and files made from them stay as they are.
std::size_t warn_kept(const Config& running, const Config& read) {
  const std::pair<std::string_view, bool> kept[] = {
      {"listen", running.listen != read.listen},
      {"workers", running.workers != read.workers},
      {"state_file", running.state_file != read.state_file},
      {"metrics_listen", running.metrics_listen != read.metrics_listen},
      {"zmq_pub", running.zmq_pub != read.zmq_pub},
      {"parent", !same_endpoint(running.parent, read.parent) ||
                     running.parent_zmq_hashblock != read.parent_zmq_hashblock ||
                     !same_backups(running.parent_backups, read.parent_backups)},
      {"aux_chains", !same_chains(running.aux_chains, read.aux_chains)},
      {"redis", !same_redis(running.redis, read.redis)},
      {"redis_wait_ms", running.redis_wait_ms != read.redis_wait_ms},
  };
  std::size_t count = 0;
  for (const auto& [key, changed] : kept) {
    if (!changed) continue;
    log_line(LogLevel::warning, LogScope::skerrow, {"reload: ", key, " changed, kept until a restart"});
    ++count;
  }
  return count;
}

// Keys that take effect for what comes next; logs each change and returns how many there were.
std::size_t log_applied(const Config& running, const Config& read) {
  const std::pair<std::string_view, bool> applied[] = {
      {"listen_user", running.listen_user != read.listen_user},
      {"listen_pass", running.listen_pass != read.listen_pass},
      {"allowed_methods", !same_methods(running.allowed_methods, read.allowed_methods)},
      {"client_timeout_ms", running.client_timeout_ms != read.client_timeout_ms},
      {"daemon_timeout_ms", running.daemon_timeout_ms != read.daemon_timeout_ms},
      {"aux_refresh_ms", running.aux_refresh_ms != read.aux_refresh_ms},
      {"aux_wait_ms", running.aux_wait_ms != read.aux_wait_ms},
      {"stop_timeout_ms", running.stop_timeout_ms != read.stop_timeout_ms},
      {"max_connections", running.max_connections != read.max_connections},
      {"request_memory_mb", running.request_memory_mb != read.request_memory_mb},
      {"work_retention_s", running.work_retention_s != read.work_retention_s},
  };
  std::size_t count = 0;
  for (const auto& [key, changed] : applied) {
    if (!changed) continue;
    log_line(LogLevel::info, LogScope::skerrow, {"reload: ", key, " changed"});
    ++count;
  }
  return count;
}

}  // namespace

ServerLimits server_limits(const Config& config, const ServerContext& ctx) {
  ServerLimits limits;
  limits.client_timeout_ms = config.client_timeout_ms;
  limits.access = ctx.access.load(std::memory_order_acquire);
  limits.max_connections = config.max_connections;
  limits.request_memory = static_cast<std::size_t>(config.request_memory_mb) << 20;
  limits.stop_timeout_ms = config.stop_timeout_ms;
  limits.tick_ms = ctx.aux.states.empty() ? 0 : config.aux_refresh_ms;
  return limits;
}

std::optional<ServerLimits> reload_configuration(ServerContext& ctx) {
  const std::string_view path = ctx.config_path;
  log_line(LogLevel::info, LogScope::skerrow, {"reloading configuration ", path});
  auto loaded = load_config(path);
  // Never freed: the views of the old configuration may still be in use by requests in flight,
  // and so may those of this one after the next reload.
  Config* read = loaded ? new (std::nothrow) Config(std::move(*loaded)) : nullptr;
  ClientAccess* access = read != nullptr ? new (std::nothrow) ClientAccess : nullptr;
  if (access != nullptr) {
    warn_kept(*ctx.config, *read);
    // The daemons kept until a restart keep their running values in the configuration in force.
    try {
      read->aux_chains = ctx.config->aux_chains;
      read->parent_backups = ctx.config->parent_backups;
    } catch (const std::bad_alloc&) {
      delete access;
      access = nullptr;
    }
  }
  if (access == nullptr) {
    log_line(LogLevel::error, LogScope::skerrow,
             {"failed to load config ", path, ": ", loaded ? ErrorCode::OutOfMemory : loaded.error()});
    log_line(LogLevel::warning, LogScope::skerrow, {"configuration not reloaded, running values kept"});
    delete read;
    return std::nullopt;
  }
  const Config& running = *ctx.config;
  const std::size_t applied = log_applied(running, *read);

  access->user = read->listen_user;
  access->pass = read->listen_pass.value_or(std::string_view());
  if (read->allowed_methods) access->allowed_methods = std::span(*read->allowed_methods);
  ctx.access.store(access, std::memory_order_release);
  ctx.daemon_timeout_ms.store(read->daemon_timeout_ms);
  ctx.aux.daemon_timeout_ms.store(read->daemon_timeout_ms);
  ctx.aux.aux_wait_ms.store(read->aux_wait_ms);
  if (ctx.aux.store && read->work_retention_s != running.work_retention_s) {
    ctx.aux.store->set_retention(read->work_retention_s);
  }
  // The keys kept until a restart keep their running values in the configuration in force.
  read->listen = running.listen;
  read->workers = running.workers;
  read->state_file = running.state_file;
  read->metrics_listen = running.metrics_listen;
  read->zmq_pub = running.zmq_pub;
  read->parent = running.parent;
  read->parent_zmq_hashblock = running.parent_zmq_hashblock;
  read->redis = running.redis;
  read->redis_wait_ms = running.redis_wait_ms;
  ctx.config = read;
  log_line(LogLevel::info, LogScope::skerrow, {"configuration reloaded, ", applied, " changes applied"});
  return server_limits(*read, ctx);
}

}  // namespace skerrow
