// The configuration: one JSON file read once at start-up, read-only afterwards and shared
// by every thread without a lock. Every text is a view into `document`.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "error/error.h"
#include "json/reader.h"
#include "rpc/address.h"

namespace skerrow {

inline constexpr std::string_view kDefaultConfigPath = "skerrow.conf";
inline constexpr std::string_view kDefaultListen = "127.0.0.1:8332";
inline constexpr std::size_t kMaxConfigPath = 1023;       // bytes, without the terminator
inline constexpr std::size_t kMaxConfigBytes = 1048576;   // 1 MiB
inline constexpr std::size_t kMaxAuxChains = 32;          // leaves of the aux merkle tree
inline constexpr std::size_t kMaxBackups = 8;             // backup daemons of one chain
inline constexpr std::uint64_t kDefaultClientTimeoutMs = 30000;
inline constexpr std::uint64_t kDefaultDaemonTimeoutMs = 60000;
inline constexpr std::uint64_t kDefaultAuxRefreshMs = 5000;
inline constexpr std::uint64_t kDefaultAuxWaitMs = 500;
inline constexpr std::size_t kDefaultWorkers = 4;
inline constexpr std::size_t kMaxWorkers = 256;
inline constexpr std::uint64_t kDefaultWorkRetentionS = 600;
inline constexpr std::uint64_t kMaxWorkRetentionS = 86400;
inline constexpr std::uint64_t kDefaultStopTimeoutMs = 10000;
inline constexpr std::size_t kDefaultMaxConnections = 1024;
inline constexpr std::size_t kMaxMaxConnections = 65536;
inline constexpr std::uint64_t kDefaultRequestMemoryMb = 512;
inline constexpr std::uint64_t kMaxRequestMemoryMb = 65536;
inline constexpr std::uint16_t kDefaultRedisPort = 6379;
inline constexpr std::uint64_t kDefaultRedisWaitMs = 50;
inline constexpr std::uint64_t kMaxRedisDb = 15;
inline constexpr std::string_view kDefaultRedisPrefix = "skerrow";

// A backup daemon of a chain: called when the daemons before it in the list are down.
struct BackupDaemon {
  ChainEndpoint daemon;
  std::optional<std::string_view> zmq_hashblock;
};

struct AuxChainConfig {
  std::string_view chain_id;
  ChainEndpoint daemon;
  std::vector<BackupDaemon> backups;  // in the order they are tried, at most kMaxBackups
  bool use_createauxblock = false;  // "rpc_method" is exactly "createauxblock"
  std::optional<std::string_view> zmq_hashblock;
  std::optional<std::string_view> payout_address;  // sole createauxblock parameter when set
};

// The Redis server through which proxies share the work they handed out: those with the
// same server, db and prefix find each other's snapshots.
struct RedisConfig {
  Endpoint address;  // "url": host[:port], kDefaultRedisPort when no port is given
  std::optional<std::string_view> pass;
  std::uint32_t db = 0;  // 0..kMaxRedisDb
  std::string_view prefix = kDefaultRedisPrefix;
};

struct Config {
  std::string_view listen = kDefaultListen;
  std::optional<std::string_view> zmq_pub;
  ChainEndpoint parent;
  std::optional<std::string_view> parent_zmq_hashblock;
  std::vector<BackupDaemon> parent_backups;  // in the order they are tried, at most kMaxBackups
  std::vector<AuxChainConfig> aux_chains;

  // Time limits in milliseconds; 0 means none.
  std::uint64_t client_timeout_ms = kDefaultClientTimeoutMs;
  std::uint64_t daemon_timeout_ms = kDefaultDaemonTimeoutMs;
  std::uint64_t aux_refresh_ms = kDefaultAuxRefreshMs;
  // How long a getblocktemplate waits for aux fetches known to bring fresher work.
  std::uint64_t aux_wait_ms = kDefaultAuxWaitMs;
  std::uint64_t stop_timeout_ms = kDefaultStopTimeoutMs;  // a clean stop's bound on requests in flight

  std::size_t workers = kDefaultWorkers;                 // 1..kMaxWorkers
  std::size_t max_connections = kDefaultMaxConnections;  // open client connections, 1..kMaxMaxConnections
  // MiB that requests still arriving may hold together, 1..kMaxRequestMemoryMb.
  std::uint64_t request_memory_mb = kDefaultRequestMemoryMb;
  std::uint64_t work_retention_s = kDefaultWorkRetentionS;  // how long handed-out work stays provable
  std::optional<std::string_view> state_file;      // SQLite database of snapshots and submissions
  std::optional<std::string_view> metrics_listen;  // "host:port" of the Prometheus endpoint
  std::optional<RedisConfig> redis;                // absent: this proxy's work is its own
  std::uint64_t redis_wait_ms = kDefaultRedisWaitMs;  // bound on a template's wait for Redis

  // Client access control; absent keys leave the proxy open as before.
  std::optional<std::string_view> listen_user;
  std::optional<std::string_view> listen_pass;
  std::optional<std::vector<std::string_view>> allowed_methods;

  std::optional<JsonDocument> document;  // owns every text above
};

// Loads the file at `path` (relative to the working directory). Logs nothing.
// Errors: NameTooLong (path of 1024 bytes or more), the open and read tables, FileTooBig,
// SyntaxError, UnexpectedEndOfInput, DuplicateField, OutOfMemory, MissingParentConfig,
// MissingParentUrl, InvalidPort, UnexpectedToken (a value of the wrong JSON kind),
// MissingField (an aux chain without "url" or "chain_id", a backup or a "redis" without "url"),
// Overflow (more than 32 aux chains, or more than 8 backups of one chain).
// A number out of its documented range ("workers", "max_connections", "request_memory_mb",
// "work_retention_s", the redis "db") is UnexpectedToken like a value of the wrong kind.
Result<Config> load_config(std::string_view path);

// What load_config does once the file's bytes are in memory: parse them and read the
// settings. Nothing of the result refers to `bytes`, which may be released at once.
// Errors: those of load_config from SyntaxError on.
Result<Config> load_config_from_bytes(std::string_view bytes);

}  // namespace skerrow
