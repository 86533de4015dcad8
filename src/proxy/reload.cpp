#include "proxy/reload.h"

#include <new>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "auxpow/snapshot_store.h"
#include "log/log.h"
#include "metrics/metrics.h"
#include "proxy/aux_refresher.h"
#include "proxy/daemon_pool.h"

namespace skerrow {
namespace {

bool same_backups(const std::vector<BackupDaemon>& a, const std::vector<BackupDaemon>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!same_daemon(a[i].daemon, b[i].daemon) || a[i].zmq_hashblock != b[i].zmq_hashblock) return false;
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
      {"parent", !same_daemon(running.parent, read.parent) ||
                     running.parent_zmq_hashblock != read.parent_zmq_hashblock ||
                     !same_backups(running.parent_backups, read.parent_backups)},
      {"redis", !same_redis(running.redis, read.redis)},
      {"redis_wait_ms", running.redis_wait_ms != read.redis_wait_ms},
  };
  std::size_t count = 0;
  for (const auto& [key, changed] : kept) {
    if (!changed) continue;
    log_line(LogLevel::warning, LogScope::skerrow, {"reload: ", key, " changed, kept until a restart"});
    ++count;
  }
  // The relay's subscriptions are made at the start, with its socket.
  if (running.zmq_pub) {
    auto endpoints_of = [](const AuxChainConfig* chain) {
      std::vector<std::optional<std::string_view>> out;
      if (chain == nullptr) return out;
      out.push_back(chain->zmq_hashblock);
      for (const BackupDaemon& backup : chain->backups) out.push_back(backup.zmq_hashblock);
      std::erase(out, std::nullopt);
      return out;
    };
    auto find = [](const std::vector<AuxChainConfig>& chains, std::string_view name) -> const AuxChainConfig* {
      for (const AuxChainConfig& chain : chains) {
        if (chain.chain_id == name) return &chain;
      }
      return nullptr;
    };
    auto warn = [&](std::string_view name) {
      if (endpoints_of(find(running.aux_chains, name)) == endpoints_of(find(read.aux_chains, name))) return;
      log_line(LogLevel::warning, LogScope::skerrow,
               {"reload: zmq_hashblock of aux chain ", name, " changed, kept until a restart"});
      ++count;
    };
    for (const AuxChainConfig& chain : running.aux_chains) warn(chain.chain_id);
    for (const AuxChainConfig& chain : read.aux_chains) {
      if (find(running.aux_chains, chain.chain_id) == nullptr) warn(chain.chain_id);
    }
  }
  return count;
}

// Makes the aux chains those of `read`: entries, pools, metric series and refreshers, one line
// per chain added, removed or changed. Returns how many there were.
std::size_t apply_aux_chains(ServerContext& ctx, const Config& read) {
  AuxEngine& engine = ctx.aux;
  AuxChainEdits edits;
  {
    FutexLock guard(engine.lock);
    edits = reconcile_aux_chains(engine, read.aux_chains);
    // Before the refreshers can take the lock again: a fetch for the new settings goes
    // through the new pool.
    for (std::size_t i = 0; i < edits.count; ++i) {
      const AuxChainEdit& edit = edits.edits[i];
      if (edit.change == AuxChainChange::removed) continue;
      auto pool = make_aux_pool(edit.entry, *edit.config);
      ctx.aux_pools[edit.entry].store(pool ? *pool : nullptr, std::memory_order_release);
    }
  }
  engine.fetch_wanted.notify_all();
  engine.fetch_done.notify_all();
  for (std::size_t i = 0; i < edits.count; ++i) {
    const AuxChainEdit& edit = edits.edits[i];
    switch (edit.change) {
      case AuxChainChange::removed:
        metrics::unlist_aux_chain(edit.entry);
        log_line(LogLevel::info, LogScope::skerrow, {"reload: aux chain ", edit.chain_id, " removed"});
        break;
      case AuxChainChange::added:
        metrics::list_aux_chain(edit.entry, edit.chain_id, edit.config->backups.size());
        log_line(LogLevel::info, LogScope::skerrow, {"reload: aux chain ", edit.chain_id, " added"});
        break;
      case AuxChainChange::changed:
        metrics::list_aux_chain(edit.entry, edit.chain_id, edit.config->backups.size());
        log_line(LogLevel::info, LogScope::skerrow, {"reload: aux chain ", edit.chain_id, " changed"});
        break;
    }
  }
  if (auto started = start_aux_refreshers(engine, ctx.aux_pools, ctx.refreshers); !started) {
    log_line(LogLevel::error, LogScope::skerrow,
             {"reload: aux refresher failed to start: ", started.error(), ", chains added wait for a restart"});
  }
  return edits.count;
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
  limits.tick_ms = ctx.aux.listed.load() == 0 ? 0 : config.aux_refresh_ms;
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
    // The parent's nodes are kept until a restart: their running values stay in force.
    try {
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
  std::size_t applied = log_applied(running, *read);
  applied += apply_aux_chains(ctx, *read);

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
