// Start-up of the proxy: what the server is given, and what runs beside it.
#include "proxy/run_server.h"

#include <new>
#include <string>
#include <vector>

#include "auxpow/schedule.h"
#include "log/log.h"
#include "platform/futex.h"
#include "platform/io.h"
#include "platform/service_manager.h"
#include "proxy/aux_refresher.h"
#include "proxy/dispatch.h"
#include "proxy/reload.h"
#include "proxy/server_context.h"
#include "server/listener.h"
#include "server/server.h"
#include "zmq_relay/relay.h"

namespace skerrow {
namespace {

// Warns about a configuration that leaves the parent's RPC open to more clients than the
// operator probably meant.
void warn_about_exposure(const Config& config, const Listener& listener) {
  if (!listener.loopback && !config.listen_user) {
    log_line(LogLevel::warning, LogScope::http,
             {"listening on ", listener.address.host, ":", listener.address.port,
              " without listen_user: any client that reaches it uses the parent daemon's RPC "
              "with its credentials"});
  }
  // Credentials are asked for only when a user is named, so a lone password protects nothing;
  // the operator most likely meant to close the proxy and would not notice otherwise.
  if (config.listen_pass && !config.listen_user) {
    log_line(LogLevel::warning, LogScope::http,
             {"listen_pass is set without listen_user: clients are not asked for credentials"});
  }
}

// The record every thread shares, never freed; nullptr when there is no memory for it.
ServerContext* make_context(const Config& config, std::string_view config_path,
                            std::shared_ptr<SnapshotStore> store) {
  ServerContext* ctx = new (std::nothrow) ServerContext;
  if (ctx == nullptr) return nullptr;
  ClientAccess* access = new (std::nothrow) ClientAccess;
  if (access == nullptr) {
    delete ctx;
    return nullptr;
  }
  ctx->config = &config;
  ctx->config_path = config_path;
  ctx->parent = config.parent;
  auto pools = make_daemon_pools(config);
  if (!pools) return nullptr;
  ctx->pools = *pools;
  for (std::size_t i = 0; i < kMaxAuxChains; ++i) ctx->aux_pools[i].store(pools->aux[i], std::memory_order_relaxed);
  ctx->daemon_timeout_ms = config.daemon_timeout_ms;
  access->user = config.listen_user;
  access->pass = config.listen_pass.value_or(std::string_view());
  if (config.allowed_methods) access->allowed_methods = std::span(*config.allowed_methods);
  ctx->access = access;
  init_aux_engine(ctx->aux, config);
  if (store) ctx->aux.store = std::move(store);
  ctx->aux.daemon_timeout_ms = config.daemon_timeout_ms;
  return ctx;
}

// The status line a service manager shows: what a glance at `systemctl status` should tell.
std::string describe(ServerContext& ctx, std::size_t open) {
  std::size_t up = 0;
  {
    FutexLock guard(ctx.aux.lock);
    for (const AuxChainState& state : ctx.aux.states) up += state.listed && state.templ.valid ? 1 : 0;
  }
  try {
    return std::to_string(open) + " connections, " +
           std::to_string(ctx.templates_served.load(std::memory_order_relaxed)) + " templates served, " +
           std::to_string(up) + " of " + std::to_string(ctx.aux.listed.load()) + " aux chains up";
  } catch (const std::bad_alloc&) {
    return {};
  }
}

// What the server needs to know: the client limits, and the aux refresh as its tick (only
// asks: each chain's refresher fetches on its own thread; a chain whose last fetch failed is
// asked again too). Without aux chains there is nothing to refresh, until a reload adds some.
ServerSettings server_settings(const Config& config, ServerContext& ctx) {
  const ServerLimits limits = server_limits(config, ctx);
  ServerSettings settings;
  settings.client_timeout_ms = limits.client_timeout_ms;
  settings.access = limits.access;
  settings.max_connections = limits.max_connections;
  settings.request_memory = limits.request_memory;
  settings.workers = config.workers;
  settings.stop_timeout_ms = limits.stop_timeout_ms;
  settings.describe = [&ctx](std::size_t open) { return describe(ctx, open); };
  settings.tick_ms = limits.tick_ms;
  settings.tick = [aux = &ctx.aux] { want_all_aux_fetches(*aux, FetchReason::routine); };
  settings.reload = [&ctx] { return reload_configuration(ctx); };
  return settings;
}

}  // namespace

ErrorCode run_server(const Config& config, std::string_view config_path, std::shared_ptr<SnapshotStore> store) {
  auto listener = open_listener(config.listen);
  if (!listener) return listener.error();
  const int listen_fd = listener->fd;
  warn_about_exposure(config, *listener);

  ServerContext* ctx = make_context(config, config_path, std::move(store));
  if (ctx == nullptr) {
    close_fd(listen_fd);
    return ErrorCode::OutOfMemory;
  }

  // Workers already running keep their pointers into `ctx` and the server, so neither is
  // freed on a failure below; only what no worker can reach is released.
  auto release_on_failure = [&](ErrorCode code) {
    std::vector<AuxChainState>().swap(ctx->aux.states);  // workers idle in pop never read it
    close_fd(listen_fd);
    return code;
  };

  auto server = catch_oom([&]() -> Result<Server*> {
    return start_server(listen_fd, server_settings(config, *ctx),
                        [ctx](Reply& out, std::string_view body, PageArena& arena, RequestTally& tally) {
                          return dispatch_request(out, body, arena, *ctx, tally);
                        });
  });
  if (!server) return release_on_failure(server.error());

  // A new block on an aux chain makes that chain's work stale.
  static const AuxBlockListener aux_blocks{[](void* engine, std::string_view chain) {
                                             want_named_aux_fetch(*static_cast<AuxEngine*>(engine), chain,
                                                                  FetchReason::stale);
                                           },
                                           &ctx->aux};
  // Never freed: the relay's thread reads it for the rest of the process.
  static RelayState relay;
  if (config.zmq_pub) start_relay(relay, config, &aux_blocks);

  if (auto started = start_aux_refreshers(ctx->aux, ctx->aux_pools, ctx->refreshers); !started) {
    return release_on_failure(started.error());
  }
  // The first templates: until they arrive, a getblocktemplate waits for them briefly.
  want_all_aux_fetches(ctx->aux, FetchReason::stale);
  log_line(LogLevel::info, LogScope::http,
           {"kqueue event loop started (workers=", config.workers,
            ", aux_chains=", ctx->aux.listed.load(), ")"});
  service::ready(describe(*ctx, 0));
  run_server_loop(**server);
}

}  // namespace skerrow
