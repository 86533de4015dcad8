#include "state/redis_store.h"

#include <hiredis/hiredis.h>
#include <poll.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>

#include "auxpow/coinbase.h"
#include "auxpow/hex.h"
#include "log/log.h"
#include "metrics/metrics.h"
#include "platform/thread.h"

namespace skerrow {
namespace {

// A warning per minute says that Redis is failing without repeating it for every template.
constexpr StoreTime kWarningInterval = 60;
constexpr std::uint64_t kConnectTimeoutMs = 1000;
constexpr auto kReconnectInterval = std::chrono::seconds(1);
constexpr std::size_t kTreeHeaderBytes = 32 + 4 + 4;
constexpr std::size_t kChainBytes = 4 + 1 + 32;

struct ReplyDeleter {
  void operator()(redisReply* reply) const { freeReplyObject(reply); }
};
using Reply = std::unique_ptr<redisReply, ReplyDeleter>;

void put_le32(std::uint32_t v, std::string& out) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

std::uint32_t get_le32(const unsigned char* p) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

void put_hash(const Hash32& h, std::string& out) { out.append(reinterpret_cast<const char*>(h.data()), h.size()); }

Hash32 get_hash(const unsigned char* p) {
  Hash32 h;
  std::memcpy(h.data(), p, h.size());
  return h;
}

const unsigned char* bytes_of(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

timeval to_timeval(std::uint64_t ms) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  return tv;
}

std::string root_key(std::string_view prefix, const Hash32& root) {
  std::string key(prefix);
  key += ":root:";
  const std::size_t at = key.size();
  key.resize(at + 64);
  hex_encode(root, std::span(key).subspan(at));
  return key;
}

std::string tree_key_name(std::string_view prefix, std::uint64_t tree_key) {
  std::uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(tree_key >> (8 * (7 - i)));
  std::string key(prefix);
  key += ":tree:";
  const std::size_t at = key.size();
  key.resize(at + 16);
  hex_encode(bytes, std::span(key).subspan(at));
  return key;
}

// Queues one command; its arguments are copied into the connection's output buffer. False: no
// memory for them, and nothing queued.
bool append(redisContext* context, std::initializer_list<std::string_view> args) {
  const char* argv[8];
  std::size_t lengths[8];
  int argc = 0;
  for (std::string_view arg : args) {
    argv[argc] = arg.data();
    lengths[argc] = arg.size();
    ++argc;
  }
  return redisAppendCommandArgv(context, argc, argv, lengths) == REDIS_OK;
}

// The next reply, or null once the connection has failed (context->err says why).
Reply next_reply(redisContext* context) {
  void* reply = nullptr;
  if (redisGetReply(context, &reply) != REDIS_OK) return nullptr;
  return Reply(static_cast<redisReply*>(reply));
}

// Why a call on `context` failed, for the log.
std::string failure_of(const redisContext* context, std::uint64_t wait_ms) {
  if (context->err == REDIS_ERR_IO && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    return "no reply within " + std::to_string(wait_ms) + " ms";
  }
  return context->errstr;
}

// Between calls nothing is owed to us: a readable socket is one the server has closed.
bool closed_by_server(const redisContext* context) {
  pollfd p{context->fd, POLLIN, 0};
  return poll(&p, 1, 0) != 0;
}

// A refusal to be told once, not tried again: the password or the db. Anything else
// (LOADING after a restart, for one) passes.
bool is_refusal(const redisReply& reply) {
  const std::string_view text(reply.str, reply.len);
  return text.starts_with("WRONGPASS") || text.starts_with("NOAUTH") || text.starts_with("ERR");
}

}  // namespace

std::string encode_tree_part(const AuxTreePart& tree) {
  const std::size_t count = std::min(tree.chains.size(), kMaxAuxChains);
  std::string out;
  out.reserve(kTreeHeaderBytes + count * kChainBytes);
  put_hash(tree.root, out);
  put_le32(tree.tree_size, out);
  put_le32(static_cast<std::uint32_t>(count), out);
  for (std::size_t i = 0; i < count; ++i) {
    put_le32(tree.chains[i].slot, out);
    out.push_back(tree.chains[i].in_tree ? 1 : 0);
    put_hash(tree.chains[i].hash, out);
  }
  return out;
}

Result<AuxTreePart> decode_tree_part(std::string_view bytes) {
  if (bytes.size() < kTreeHeaderBytes) return fail(ErrorCode::CorruptedData);
  const unsigned char* p = bytes_of(bytes);
  const std::uint32_t count = get_le32(p + 36);
  if (count > kMaxAuxChains || bytes.size() != kTreeHeaderBytes + count * kChainBytes) {
    return fail(ErrorCode::CorruptedData);
  }
  return catch_oom([&]() -> Result<AuxTreePart> {
    AuxTreePart tree;
    tree.root = get_hash(p);
    tree.tree_size = get_le32(p + 32);
    tree.chains.resize(count);
    const unsigned char* chain = p + kTreeHeaderBytes;
    for (AuxTreeChain& c : tree.chains) {
      if (chain[4] > 1) return fail(ErrorCode::CorruptedData);
      c.slot = get_le32(chain);
      c.in_tree = chain[4] == 1;
      c.hash = get_hash(chain + 5);
      chain += kChainBytes;
    }
    return tree;
  });
}

std::string encode_snapshot_member(std::uint64_t tree_key, std::span<const Hash32> cb_branch) {
  const std::size_t count = std::min(cb_branch.size(), kMaxCoinbaseBranch);
  std::string out;
  out.reserve(8 + count * 32);
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(tree_key >> (8 * i)));
  for (std::size_t i = 0; i < count; ++i) put_hash(cb_branch[i], out);
  return out;
}

Result<SnapshotMember> decode_snapshot_member(std::string_view bytes) {
  if (bytes.size() < 8 || (bytes.size() - 8) % 32 != 0 || (bytes.size() - 8) / 32 > kMaxCoinbaseBranch) {
    return fail(ErrorCode::CorruptedData);
  }
  return catch_oom([&]() -> Result<SnapshotMember> {
    const unsigned char* p = bytes_of(bytes);
    SnapshotMember member;
    for (int i = 7; i >= 0; --i) member.tree_key = (member.tree_key << 8) | p[i];
    for (std::size_t at = 8; at < bytes.size(); at += 32) member.cb_branch.push_back(get_hash(p + at));
    return member;
  });
}

RedisSnapshotStore::RedisSnapshotStore(RedisSettings settings, std::shared_ptr<SnapshotStore> local)
    : settings_(std::move(settings)),
      retention_s_(settings_.retention_s),
      address_((settings_.host.find(':') != std::string::npos ? "[" + settings_.host + "]" : settings_.host) + ":" +
               std::to_string(settings_.port)),
      local_(std::move(local)) {}

void RedisSnapshotStore::set_retention(std::uint64_t retention_s) {
  retention_s_.store(retention_s, std::memory_order_relaxed);
  local_->set_retention(retention_s);
}

Result<std::unique_ptr<RedisSnapshotStore>> RedisSnapshotStore::open(RedisSettings settings,
                                                                     std::shared_ptr<SnapshotStore> local) {
  std::unique_ptr<RedisSnapshotStore> store;
  try {
    store.reset(new RedisSnapshotStore(std::move(settings), std::move(local)));
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
  RedisSnapshotStore* raw = store.get();
  redisContext* context = nullptr;
  std::string why;
  const Connect first = raw->connect_once(context, why, kConnectTimeoutMs);
  {
    FutexLock guard(raw->lock_);
    switch (first) {
      case Connect::up: raw->install(context); break;
      case Connect::unreachable:
        raw->lost_ = true;
        raw->say_unreachable(why);
        break;
      case Connect::refused:
        raw->refused_ = true;
        raw->say_refused(why);
        break;
    }
  }
  auto thread = start_thread([raw] { raw->reconnect_loop(); }, ThreadOptions{.stack_size = 256 * 1024});
  if (!thread) return fail(thread.error());
  raw->reconnecter_ = *thread;
  raw->reconnecter_started_ = true;
  return store;
}

RedisSnapshotStore::~RedisSnapshotStore() {
  {
    FutexLock guard(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (reconnecter_started_) pthread_join(reconnecter_, nullptr);
  FutexLock guard(lock_);
  if (context_ != nullptr) redisFree(context_);
  context_ = nullptr;
}

bool RedisSnapshotStore::connected() const {
  FutexLock guard(lock_);
  return context_ != nullptr;
}

RedisSnapshotStore::Connect RedisSnapshotStore::connect_once(redisContext*& out, std::string& why,
                                                             std::uint64_t timeout_ms) const {
  out = nullptr;
  redisContext* context = redisConnectWithTimeout(settings_.host.c_str(), settings_.port, to_timeval(timeout_ms));
  if (context == nullptr) {
    why = "no memory for a connection";
    return Connect::unreachable;
  }
  if (context->err != 0) {
    why = context->errstr;
    redisFree(context);
    return Connect::unreachable;
  }
  redisSetTimeout(context, to_timeval(timeout_ms));
  auto call = [&](std::initializer_list<std::string_view> args) -> Connect {
    Reply reply = append(context, args) ? next_reply(context) : nullptr;
    if (!reply) {
      why = failure_of(context, timeout_ms);
      return Connect::unreachable;
    }
    if (reply->type != REDIS_REPLY_ERROR) return Connect::up;
    why.assign(reply->str, reply->len);
    return is_refusal(*reply) ? Connect::refused : Connect::unreachable;
  };
  Connect result = Connect::up;
  if (settings_.pass) result = call({"AUTH", *settings_.pass});
  const std::string db = std::to_string(settings_.db);
  // SELECT also tells a server that wants a password when none is configured (NOAUTH).
  if (result == Connect::up) result = call({"SELECT", db});
  if (result != Connect::up) {
    redisFree(context);
    return result;
  }
  if (settings_.wait_ms > 0) redisSetTimeout(context, to_timeval(settings_.wait_ms));
  out = context;
  return Connect::up;
}

void RedisSnapshotStore::reconnect_loop() {
  FutexLock guard(lock_);
  bool told = lost_;  // "unreachable" already said for this outage
  while (!stopping_) {
    if (context_ != nullptr || refused_) {
      wake_.wait(guard);
      continue;
    }
    guard.unlock();
    redisContext* context = nullptr;
    std::string why;
    const Connect result = connect_once(context, why, kConnectTimeoutMs);
    guard.lock();
    if (stopping_) {
      if (context != nullptr) redisFree(context);
      break;
    }
    switch (result) {
      case Connect::up:
        // Made meanwhile by a call that found the old one closed: this one is not needed.
        if (context_ != nullptr) {
          redisFree(context);
        } else {
          install(context);
        }
        told = false;
        break;
      case Connect::refused:
        refused_ = true;
        say_refused(why);
        break;
      case Connect::unreachable:
        if (!told) {
          say_unreachable(why);
          told = true;
        }
        wake_.wait_for(guard, kReconnectInterval);
        break;
    }
  }
}

void RedisSnapshotStore::say_unreachable(std::string_view why) const {
  log_line(LogLevel::warning, LogScope::auxpow,
           {"redis ", address_, " unreachable (", why, "): work is kept locally until it answers, trying every second"});
}

void RedisSnapshotStore::say_refused(std::string_view why) const {
  log_line(LogLevel::error, LogScope::auxpow,
           {"redis ", address_, " refused the password or db (", why, "): running on the local store alone"});
}

void RedisSnapshotStore::install(redisContext* context) const {
  context_ = context;
  lost_ = false;
  log_line(LogLevel::info, LogScope::auxpow,
           {"redis ", address_, " connected: sharing handed-out work under \"", settings_.prefix, ":\" in db ",
            settings_.db});
  metrics::redis_connected(true);
}

bool RedisSnapshotStore::usable() const {
  if (context_ == nullptr) return false;
  if (!closed_by_server(context_)) return true;
  drop_connection();
  redisContext* context = nullptr;
  std::string why;
  const std::uint64_t timeout_ms = settings_.wait_ms > 0 ? settings_.wait_ms : kConnectTimeoutMs;
  if (connect_once(context, why, timeout_ms) != Connect::up) return false;
  install(context);
  return true;
}

void RedisSnapshotStore::drop_connection() const {
  redisFree(context_);
  context_ = nullptr;
  tree_.reset();
  lost_ = true;
  metrics::redis_connected(false);
  wake_.notify_all();
}

Status RedisSnapshotStore::put(const AuxTreePart& tree, std::span<const Hash32> cb_branch, StoreTime now) {
  if (auto kept = local_->put(tree, cb_branch, now); !kept) return kept;
  return catch_oom([&]() -> Status {
    FutexLock guard(lock_);
    std::string why;
    if (auto written = write(tree, cb_branch, now, why); written) {
      metrics::redis_write(true);
      return {};
    }
    metrics::redis_write(false);
    // A refused login was said once at start; the metric keeps counting what is not shared.
    if (!refused_ && (!last_write_warning_ || std::abs(now - *last_write_warning_) >= kWarningInterval)) {
      log_line(LogLevel::warning, LogScope::auxpow,
               {"redis write failed (", why, "): the template was answered, its work kept locally"});
      last_write_warning_ = now;
    }
    return {};
  });
}

std::unexpected<ErrorCode> RedisSnapshotStore::lost_reply(std::string& why) const {
  why = failure_of(context_, settings_.wait_ms);
  drop_connection();
  return fail(ErrorCode::Timeout);
}

Status RedisSnapshotStore::write(const AuxTreePart& tree, std::span<const Hash32> cb_branch, StoreTime now,
                                 std::string& why) {
  if (!usable()) {
    why = refused_ ? "refused at login" : "not connected";
    return fail(ErrorCode::SocketNotConnected);
  }
  const bool known_tree = tree_ && *tree_ == tree;
  const std::uint64_t tree_key = known_tree ? tree_key_ : tree_part_key(tree);
  const std::string tree_name = tree_key_name(settings_.prefix, tree_key);
  const std::string root_name = root_key(settings_.prefix, tree.root);
  const std::string member = encode_snapshot_member(tree_key, cb_branch);
  const std::uint64_t retention_s = retention_s_.load(std::memory_order_relaxed);
  const std::string ttl = std::to_string(retention_s);
  const std::string score = std::to_string(now);
  const std::string expired = "(" + std::to_string(now - static_cast<StoreTime>(retention_s));
  std::string tree_bytes;
  // The tree part is shared by every snapshot of its root: written once, then only kept alive.
  bool queued = true;
  if (known_tree) {
    queued = append(context_, {"EXPIRE", tree_name, ttl});
  } else {
    tree_bytes = encode_tree_part(tree);
    queued = append(context_, {"SET", tree_name, tree_bytes, "EX", ttl});
  }
  queued = queued && append(context_, {"ZADD", root_name, score, member}) &&
           append(context_, {"ZREMRANGEBYSCORE", root_name, "-inf", expired}) &&
           append(context_, {"EXPIRE", root_name, ttl});
  if (!queued) {
    // Whatever was queued would be sent with the next commands: the connection goes.
    why = "no memory for the commands";
    drop_connection();
    return fail(ErrorCode::OutOfMemory);
  }
  bool tree_gone = false;
  Status outcome;
  for (int i = 0; i < 4; ++i) {
    Reply reply = next_reply(context_);
    if (!reply) {
      return lost_reply(why);
    }
    if (reply->type == REDIS_REPLY_ERROR) {
      why.assign(reply->str, reply->len);
      outcome = fail(ErrorCode::ProtocolFailure);
    } else if (i == 0 && known_tree && reply->type == REDIS_REPLY_INTEGER && reply->integer == 0) {
      tree_gone = true;  // flushed or evicted since this connection wrote it
    }
  }
  if (!outcome) return outcome;
  if (tree_gone) {
    tree_bytes = encode_tree_part(tree);
    Reply reply = append(context_, {"SET", tree_name, tree_bytes, "EX", ttl}) ? next_reply(context_) : nullptr;
    if (!reply) {
      return lost_reply(why);
    }
    if (reply->type == REDIS_REPLY_ERROR) {
      why.assign(reply->str, reply->len);
      tree_.reset();
      return fail(ErrorCode::ProtocolFailure);
    }
  }
  if (!known_tree) {
    tree_ = tree;
    tree_key_ = tree_key;
  }
  return {};
}

Result<std::optional<FoundSnapshot>> RedisSnapshotStore::find(const Hash32& root,
                                                              const std::optional<Hash32>& coinbase_txid,
                                                              const Hash32& header_merkle_root, StoreTime now) const {
  auto local = local_->find(root, coinbase_txid, header_merkle_root, now);
  if (!local) return local;
  // Without a txid no branch is checked: any snapshot of the root is as good as another.
  if (*local && ((*local)->branch_matches || !coinbase_txid)) return local;
  {
    FutexLock guard(lock_);
    if (refused_) return local;
  }
  return catch_oom([&]() -> Result<std::optional<FoundSnapshot>> {
    // A connection of its own: a lookup may bring thousands of snapshots (a root unchanged for
    // minutes), and templates must not wait behind it on the writing connection. Lookups come
    // only for shares the local store cannot prove, so the connect costs little.
    redisContext* context = nullptr;
    std::string why;
    Result<std::optional<FoundSnapshot>> remote = fail(ErrorCode::ConnectionRefused);
    if (connect_once(context, why, settings_.wait_ms > 0 ? settings_.wait_ms : kConnectTimeoutMs) == Connect::up) {
      remote = lookup(context, root, coinbase_txid, header_merkle_root, now, why);
      redisFree(context);
    }
    if (!remote) {
      if (remote.error() == ErrorCode::OutOfMemory) return remote;
      metrics::redis_lookup(metrics::RedisLookup::failed);
      FutexLock guard(lock_);
      if (!last_lookup_warning_ || std::abs(now - *last_lookup_warning_) >= kWarningInterval) {
        log_line(LogLevel::warning, LogScope::auxpow,
                 {"redis lookup failed (", why, "): the submission is checked against local work alone"});
        last_lookup_warning_ = now;
      }
      return local;
    }
    const bool better = *remote && ((*remote)->branch_matches || !*local);
    metrics::redis_lookup(better ? metrics::RedisLookup::found : metrics::RedisLookup::not_found);
    return better ? remote : local;
  });
}

Result<std::optional<FoundSnapshot>> RedisSnapshotStore::lookup(redisContext* context, const Hash32& root,
                                                                const std::optional<Hash32>& coinbase_txid,
                                                                const Hash32& header_merkle_root, StoreTime now,
                                                                std::string& why) const {
  auto dropped = [&]() -> Result<std::optional<FoundSnapshot>> {
    why = failure_of(context, settings_.wait_ms);
    return fail(ErrorCode::Timeout);
  };
  const std::string root_name = root_key(settings_.prefix, root);
  const std::string oldest_live =
      std::to_string(now - static_cast<StoreTime>(retention_s_.load(std::memory_order_relaxed)));
  const std::string limit = std::to_string(kDefaultSnapshotCap);
  // Newest first, as the local stores try them.
  Reply members = append(context, {"ZREVRANGEBYSCORE", root_name, "+inf", oldest_live, "LIMIT", "0", limit})
                      ? next_reply(context)
                      : nullptr;
  if (!members) return dropped();
  if (members->type != REDIS_REPLY_ARRAY) {
    why = members->type == REDIS_REPLY_ERROR ? std::string(members->str, members->len) : "unexpected reply";
    return fail(ErrorCode::ProtocolFailure);
  }
  std::vector<SnapshotMember> snapshots;
  std::vector<std::uint64_t> tree_keys;
  for (std::size_t i = 0; i < members->elements; ++i) {
    const redisReply* element = members->element[i];
    if (element->type != REDIS_REPLY_STRING) continue;
    auto member = decode_snapshot_member({element->str, element->len});
    if (!member) {
      if (member.error() == ErrorCode::OutOfMemory) return fail(member.error());
      continue;  // not written by this program: of no use for a proof
    }
    if (std::find(tree_keys.begin(), tree_keys.end(), member->tree_key) == tree_keys.end()) {
      tree_keys.push_back(member->tree_key);
    }
    snapshots.push_back(std::move(*member));
  }
  if (snapshots.empty()) return std::nullopt;

  // Nearly always one tree part: the root changes when the tree does.
  std::vector<std::string> names;
  names.reserve(tree_keys.size());
  for (std::uint64_t key : tree_keys) names.push_back(tree_key_name(settings_.prefix, key));
  std::vector<const char*> argv{"MGET"};
  std::vector<std::size_t> lengths{4};
  for (const std::string& name : names) {
    argv.push_back(name.data());
    lengths.push_back(name.size());
  }
  Reply trees_reply =
      redisAppendCommandArgv(context, static_cast<int>(argv.size()), argv.data(), lengths.data()) == REDIS_OK
          ? next_reply(context)
          : nullptr;
  if (!trees_reply) return dropped();
  if (trees_reply->type != REDIS_REPLY_ARRAY || trees_reply->elements != names.size()) {
    why = trees_reply->type == REDIS_REPLY_ERROR ? std::string(trees_reply->str, trees_reply->len)
                                                 : "unexpected reply";
    return fail(ErrorCode::ProtocolFailure);
  }
  std::vector<std::optional<AuxTreePart>> trees(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    const redisReply* element = trees_reply->element[i];
    if (element->type != REDIS_REPLY_STRING) continue;  // expired meanwhile
    auto tree = decode_tree_part({element->str, element->len});
    if (!tree) {
      if (tree.error() == ErrorCode::OutOfMemory) return fail(tree.error());
      continue;
    }
    if (tree->root == root) trees[i] = std::move(*tree);  // a key of another content is no proof
  }

  std::optional<FoundSnapshot> newest;
  for (const SnapshotMember& member : snapshots) {
    const auto at = static_cast<std::size_t>(std::find(tree_keys.begin(), tree_keys.end(), member.tree_key) -
                                             tree_keys.begin());
    if (!trees[at]) continue;
    const bool matches =
        coinbase_txid && root_from_coinbase(*coinbase_txid, member.cb_branch) == header_merkle_root;
    if (matches) return FoundSnapshot{make_snapshot(*trees[at], member.cb_branch), true};
    if (!newest) newest = FoundSnapshot{make_snapshot(*trees[at], member.cb_branch), false};
  }
  return newest;
}

}  // namespace skerrow
