#include "config/config.h"

#include <new>
#include <utility>

#include "config/file.h"

namespace skerrow {
namespace {

// Every reader below returns UnexpectedToken for a value of the wrong JSON kind: a value is
// never read as a kind it is not, and a mistyped key is refused rather than silently dropped.

Result<std::optional<std::string_view>> optional_text(const JsonValue& object, std::string_view key) {
  const JsonValue* value = get_member(object, key);
  if (value == nullptr) return std::optional<std::string_view>{};
  if (!value->is_string()) return fail(ErrorCode::UnexpectedToken);
  return std::optional<std::string_view>{value->as_text()};
}

// "user" and "pass" are never absent: a missing key is the empty text.
Result<std::string_view> text_or_empty(const JsonValue& object, std::string_view key) {
  auto text = optional_text(object, key);
  if (!text) return fail(text.error());
  return text->value_or(std::string_view{});
}

Result<std::uint64_t> milliseconds(const JsonValue& object, std::string_view key, std::uint64_t fallback) {
  const JsonValue* value = get_member(object, key);
  if (value == nullptr) return fallback;
  if (!value->is_integer() || value->as_integer() < 0) return fail(ErrorCode::UnexpectedToken);
  return static_cast<std::uint64_t>(value->as_integer());
}

// An integer key within [low, high]; anything else is refused like a value of the wrong kind.
Result<std::uint64_t> bounded_integer(const JsonValue& object, std::string_view key, std::uint64_t fallback,
                                      std::uint64_t low, std::uint64_t high) {
  const JsonValue* value = get_member(object, key);
  if (value == nullptr) return fallback;
  if (!value->is_integer() || value->as_integer() < 0) return fail(ErrorCode::UnexpectedToken);
  const auto n = static_cast<std::uint64_t>(value->as_integer());
  if (n < low || n > high) return fail(ErrorCode::UnexpectedToken);
  return n;
}

// Splits a daemon "url"; any failure of the split is reported as InvalidPort.
Result<Endpoint> daemon_endpoint(const JsonValue& url) {
  if (!url.is_string()) return fail(ErrorCode::UnexpectedToken);
  auto endpoint = split_address(url.as_text());
  if (!endpoint) return fail(ErrorCode::InvalidPort);
  return *endpoint;
}

// "backups" of the parent or of an aux element: absent is none; each element is a daemon of
// the same shape (url, user, pass, zmq_hashblock).
Status read_backups(const JsonValue& owner, std::vector<BackupDaemon>& out) {
  const JsonValue* list = get_member(owner, "backups");
  if (list == nullptr) return {};
  if (!list->is_array()) return fail(ErrorCode::UnexpectedToken);
  auto elements = list->items();
  if (elements.size() > kMaxBackups) return fail(ErrorCode::Overflow);
  std::vector<BackupDaemon> backups(elements.size());
  for (std::size_t i = 0; i < elements.size(); ++i) {
    const JsonValue& element = elements[i];
    if (!element.is_object()) return fail(ErrorCode::UnexpectedToken);
    const JsonValue* url = get_member(element, "url");
    if (url == nullptr) return fail(ErrorCode::MissingField);
    auto endpoint = daemon_endpoint(*url);
    if (!endpoint) return fail(endpoint.error());
    auto user = text_or_empty(element, "user");
    if (!user) return fail(user.error());
    auto pass = text_or_empty(element, "pass");
    if (!pass) return fail(pass.error());
    auto zmq_hashblock = optional_text(element, "zmq_hashblock");
    if (!zmq_hashblock) return fail(zmq_hashblock.error());
    backups[i] = BackupDaemon{ChainEndpoint{*endpoint, *user, *pass}, *zmq_hashblock};
  }
  out = std::move(backups);
  return {};
}

Status read_aux_chain(const JsonValue& element, AuxChainConfig& chain) {
  if (!element.is_object()) return fail(ErrorCode::UnexpectedToken);

  const JsonValue* url = get_member(element, "url");
  if (url == nullptr) return fail(ErrorCode::MissingField);
  auto endpoint = daemon_endpoint(*url);
  if (!endpoint) return fail(endpoint.error());

  auto rpc_method = optional_text(element, "rpc_method");
  if (!rpc_method) return fail(rpc_method.error());

  const JsonValue* chain_id = get_member(element, "chain_id");
  if (chain_id == nullptr) return fail(ErrorCode::MissingField);
  if (!chain_id->is_string()) return fail(ErrorCode::UnexpectedToken);

  auto user = text_or_empty(element, "user");
  if (!user) return fail(user.error());
  auto pass = text_or_empty(element, "pass");
  if (!pass) return fail(pass.error());
  auto zmq_hashblock = optional_text(element, "zmq_hashblock");
  if (!zmq_hashblock) return fail(zmq_hashblock.error());
  auto payout_address = optional_text(element, "payout_address");
  if (!payout_address) return fail(payout_address.error());
  if (auto backups = read_backups(element, chain.backups); !backups) return backups;

  chain.chain_id = chain_id->as_text();
  chain.daemon = ChainEndpoint{*endpoint, *user, *pass};
  // Case matters: only the exact word switches to createauxblock.
  chain.use_createauxblock = *rpc_method == std::string_view("createauxblock");
  chain.zmq_hashblock = *zmq_hashblock;
  chain.payout_address = *payout_address;
  return {};
}

Status read_aux_chains(const JsonValue& root, Config& config) {
  const JsonValue* list = get_member(root, "aux_chains");
  if (list == nullptr) return {};
  if (!list->is_array()) return fail(ErrorCode::UnexpectedToken);
  auto elements = list->items();
  // Each chain owns one leaf of the aux merkle tree, which has no more than 32.
  if (elements.size() > kMaxAuxChains) return fail(ErrorCode::Overflow);

  // Filled into a local list so that a failure part-way leaves no half-read chain behind.
  std::vector<AuxChainConfig> chains(elements.size());
  for (std::size_t i = 0; i < elements.size(); ++i) {
    if (auto read = read_aux_chain(elements[i], chains[i]); !read) return read;
  }
  config.aux_chains = std::move(chains);
  return {};
}

Status read_access_control(const JsonValue& root, Config& config) {
  auto user = optional_text(root, "listen_user");
  if (!user) return fail(user.error());
  auto pass = optional_text(root, "listen_pass");
  if (!pass) return fail(pass.error());
  config.listen_user = *user;
  config.listen_pass = *pass;

  const JsonValue* methods = get_member(root, "allowed_methods");
  if (methods == nullptr) return {};
  if (!methods->is_array()) return fail(ErrorCode::UnexpectedToken);
  std::vector<std::string_view> names;
  names.reserve(methods->items().size());
  for (const JsonValue& method : methods->items()) {
    if (!method.is_string()) return fail(ErrorCode::UnexpectedToken);
    names.push_back(method.as_text());
  }
  config.allowed_methods = std::move(names);
  return {};
}

// The "redis" object, when present, and "redis_wait_ms".
Status read_redis(const JsonValue& root, Config& config) {
  auto wait = milliseconds(root, "redis_wait_ms", kDefaultRedisWaitMs);
  if (!wait) return fail(wait.error());
  config.redis_wait_ms = *wait;
  const JsonValue* object = get_member(root, "redis");
  if (object == nullptr) return {};
  if (!object->is_object()) return fail(ErrorCode::UnexpectedToken);
  const JsonValue* url = get_member(*object, "url");
  if (url == nullptr) return fail(ErrorCode::MissingField);
  auto endpoint = daemon_endpoint(*url);
  if (!endpoint) return fail(endpoint.error());
  // The daemons' default port means nothing to Redis.
  std::string_view text = url->as_text();
  if (auto scheme = text.find("://"); scheme != std::string_view::npos) text.remove_prefix(scheme + 3);
  if (text.find(':') == std::string_view::npos) endpoint->port = kDefaultRedisPort;
  auto pass = optional_text(*object, "pass");
  if (!pass) return fail(pass.error());
  auto db = bounded_integer(*object, "db", 0, 0, kMaxRedisDb);
  if (!db) return fail(db.error());
  auto prefix = optional_text(*object, "prefix");
  if (!prefix) return fail(prefix.error());
  config.redis = RedisConfig{*endpoint, *pass, static_cast<std::uint32_t>(*db), prefix->value_or(kDefaultRedisPrefix)};
  return {};
}

// Sizing, retention and the optional state file and metrics endpoint.
Status read_runtime_settings(const JsonValue& root, Config& config) {
  constexpr std::uint64_t kNoBound = ~std::uint64_t{0};
  auto aux_wait = bounded_integer(root, "aux_wait_ms", kDefaultAuxWaitMs, 0, kNoBound);
  if (!aux_wait) return fail(aux_wait.error());
  auto stop_timeout = bounded_integer(root, "stop_timeout_ms", kDefaultStopTimeoutMs, 0, kNoBound);
  if (!stop_timeout) return fail(stop_timeout.error());
  auto workers = bounded_integer(root, "workers", kDefaultWorkers, 1, kMaxWorkers);
  if (!workers) return fail(workers.error());
  auto connections = bounded_integer(root, "max_connections", kDefaultMaxConnections, 1, kMaxMaxConnections);
  if (!connections) return fail(connections.error());
  auto request_memory = bounded_integer(root, "request_memory_mb", kDefaultRequestMemoryMb, 1, kMaxRequestMemoryMb);
  if (!request_memory) return fail(request_memory.error());
  auto retention = bounded_integer(root, "work_retention_s", kDefaultWorkRetentionS, 1, kMaxWorkRetentionS);
  if (!retention) return fail(retention.error());
  auto state_file = optional_text(root, "state_file");
  if (!state_file) return fail(state_file.error());
  auto metrics_listen = optional_text(root, "metrics_listen");
  if (!metrics_listen) return fail(metrics_listen.error());
  config.aux_wait_ms = *aux_wait;
  config.stop_timeout_ms = *stop_timeout;
  config.workers = static_cast<std::size_t>(*workers);
  config.max_connections = static_cast<std::size_t>(*connections);
  config.request_memory_mb = *request_memory;
  config.work_retention_s = *retention;
  config.state_file = *state_file;
  config.metrics_listen = *metrics_listen;
  return {};
}

Status read_settings(const JsonValue& root, Config& config) {
  if (!root.is_object()) return fail(ErrorCode::UnexpectedToken);

  const JsonValue* parent = get_member(root, "parent");
  if (parent == nullptr) return fail(ErrorCode::MissingParentConfig);
  if (!parent->is_object()) return fail(ErrorCode::UnexpectedToken);

  const JsonValue* parent_url = get_member(*parent, "url");
  if (parent_url == nullptr) return fail(ErrorCode::MissingParentUrl);
  auto parent_endpoint = daemon_endpoint(*parent_url);
  if (!parent_endpoint) return fail(parent_endpoint.error());
  config.parent.endpoint = *parent_endpoint;

  if (auto chains = read_aux_chains(root, config); !chains) return chains;

  auto listen = optional_text(root, "listen");
  if (!listen) return fail(listen.error());
  config.listen = listen->value_or(kDefaultListen);
  auto zmq_pub = optional_text(root, "zmq_pub");
  if (!zmq_pub) return fail(zmq_pub.error());
  config.zmq_pub = *zmq_pub;

  auto user = text_or_empty(*parent, "user");
  if (!user) return fail(user.error());
  auto pass = text_or_empty(*parent, "pass");
  if (!pass) return fail(pass.error());
  auto parent_zmq = optional_text(*parent, "zmq_hashblock");
  if (!parent_zmq) return fail(parent_zmq.error());
  config.parent.user = *user;
  config.parent.pass = *pass;
  config.parent_zmq_hashblock = *parent_zmq;
  if (auto backups = read_backups(*parent, config.parent_backups); !backups) return backups;

  auto client_timeout = milliseconds(root, "client_timeout_ms", kDefaultClientTimeoutMs);
  if (!client_timeout) return fail(client_timeout.error());
  auto daemon_timeout = milliseconds(root, "daemon_timeout_ms", kDefaultDaemonTimeoutMs);
  if (!daemon_timeout) return fail(daemon_timeout.error());
  auto aux_refresh = milliseconds(root, "aux_refresh_ms", kDefaultAuxRefreshMs);
  if (!aux_refresh) return fail(aux_refresh.error());
  config.client_timeout_ms = *client_timeout;
  config.daemon_timeout_ms = *daemon_timeout;
  config.aux_refresh_ms = *aux_refresh;

  if (auto s = read_runtime_settings(root, config); !s) return s;
  if (auto s = read_redis(root, config); !s) return s;
  return read_access_control(root, config);
}

}  // namespace

Result<Config> load_config_from_bytes(std::string_view bytes) {
  return catch_oom([&]() -> Result<Config> {
    std::optional<JsonDocument> document;
    {
      auto parsed = parse_json(bytes);
      if (!parsed) return fail(parsed.error());
      document.emplace(std::move(*parsed));
    }

    Config config;
    if (auto read = read_settings(document->root(), config); !read) return fail(read.error());
    // Moving the document keeps its storage in place, so the views taken above stay valid.
    config.document = std::move(document);
    return config;
  });
}

Result<Config> load_config(std::string_view path) {
  auto bytes = read_config_file(path);
  if (!bytes) return fail(bytes.error());
  // The raw bytes go when this returns; every text of the result lives in its document.
  return load_config_from_bytes(*bytes);
}

}  // namespace skerrow
