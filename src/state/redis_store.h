// The shared store: the snapshots of every answered template written to a Redis server as
// well as to this proxy's own store, so that a second proxy sharing the server (same server,
// db and prefix) proves a share on work the first one handed out, for "redis".
//
// Keys, each with a time to live of the retention, so that Redis forgets expired work by
// itself and nothing is ever swept or scanned:
//   <prefix>:tree:<tree key, 16 hex>  string: the tree part (encode_tree_part), written once per
//                                     connection and content, its time to live renewed by each put
//   <prefix>:root:<root, 64 hex>      sorted set: one member per snapshot with that aux root
//                                     (encode_snapshot_member), scored by its put time in Unix
//                                     seconds; a put drops the members past the retention
// The root is in display order, as the pool sees it.
//
// A put goes to the local store first, then to Redis in one pipelined round trip, waiting for
// the reply at most "redis_wait_ms". A find asks the local store first and Redis only when the
// local store has no snapshot whose branch leads to the header (with the same bound). Redis's trouble never reaches
// the caller: a write that fails or times out leaves the snapshot in the local store, is
// counted (skerrow_redis_writes_total{outcome="failed"}) and logged at most once a minute; a
// lost connection is made again by a thread of the store's own, at once and then once a second.
// A server that refuses the password or the db is reported once and never asked again: the
// proxy runs on its local store.
//
// Puts share one connection, used under the store's lock: puts from several workers take
// turns. A find that reaches Redis makes a connection of its own for the time of the lookup.
#pragma once

#include <condition_variable>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <pthread.h>

#include "auxpow/snapshot_store.h"
#include "error/error.h"
#include "platform/futex.h"
#include "platform/thread_annotations.h"

struct redisContext;

namespace skerrow {

struct RedisSettings {
  std::string host;
  std::uint16_t port = 6379;
  std::optional<std::string> pass;
  std::uint32_t db = 0;
  std::string prefix;
  std::uint64_t retention_s = 600;
  std::uint64_t wait_ms = 50;  // bound on each wait for a reply; 0: no bound
};

// The tree part as stored: root (32 bytes), tree size (u32 LE), chain count (u32 LE), then
// per chain slot (u32 LE), in tree (one byte, 0 or 1), hash (32 bytes). Hashes in the byte
// order of AuxTreePart. At most kMaxAuxChains chains are written.
std::string encode_tree_part(const AuxTreePart& tree);
// Errors: CorruptedData (a length that does not fit the count, a count past kMaxAuxChains, an
// in-tree byte other than 0 and 1), OutOfMemory.
Result<AuxTreePart> decode_tree_part(std::string_view bytes);

// A snapshot as a member of its root's set: the tree key (u64 LE), then the coinbase branch
// (32 bytes per hash, at most kMaxCoinbaseBranch).
struct SnapshotMember {
  std::uint64_t tree_key = 0;
  std::vector<Hash32> cb_branch;
};
std::string encode_snapshot_member(std::uint64_t tree_key, std::span<const Hash32> cb_branch);
// Errors: CorruptedData (shorter than the key, a branch not a whole number of hashes, or
// longer than kMaxCoinbaseBranch), OutOfMemory.
Result<SnapshotMember> decode_snapshot_member(std::string_view bytes);

class RedisSnapshotStore final : public SnapshotStore {
 public:
  // Wraps `local` (the memory store or the state file) and connects, waiting at most a second.
  // A server that cannot be reached yet is warned about and tried again every second; one that
  // refuses the password or db is logged as an error and left alone. Either way the store
  // works, on `local` alone until Redis answers. Errors: OutOfMemory, and those of starting the
  // reconnecting thread (SystemResources, Unexpected).
  static Result<std::unique_ptr<RedisSnapshotStore>> open(RedisSettings settings,
                                                          std::shared_ptr<SnapshotStore> local);
  ~RedisSnapshotStore() override;
  RedisSnapshotStore(const RedisSnapshotStore&) = delete;
  RedisSnapshotStore& operator=(const RedisSnapshotStore&) = delete;

  // The local store's put, then the write to Redis. Errors: those of the local store's put only.
  Status put(const AuxTreePart& tree, std::span<const Hash32> cb_branch, StoreTime now) override;
  // The local store's answer when its branch leads to the header, else Redis's when it has one
  // that does, else whichever of the two found the root (local first). Errors: those of the
  // local store's find.
  Result<std::optional<FoundSnapshot>> find(const Hash32& root, const std::optional<Hash32>& coinbase_txid,
                                            const Hash32& header_merkle_root, StoreTime now) const override;
  Status prune(StoreTime now) override { return local_->prune(now); }
  std::size_t count() const override { return local_->count(); }
  Status record_submission(const SubmissionRecord& record) override { return local_->record_submission(record); }
  void set_retention(std::uint64_t retention_s) override;

  // True while a connection is up (for tests and the metrics).
  bool connected() const;

 private:
  RedisSnapshotStore(RedisSettings settings, std::shared_ptr<SnapshotStore> local);

  enum class Connect { up, unreachable, refused };
  // A new connection, logged in and on the db, each step bounded by `timeout_ms`; `why` says
  // what failed.
  Connect connect_once(redisContext*& out, std::string& why, std::uint64_t timeout_ms) const;
  void reconnect_loop();
  void say_unreachable(std::string_view why) const;
  void say_refused(std::string_view why) const;
  // Makes `context` the connection and says so.
  void install(redisContext* context) const REQUIRES(lock_);
  // Drops the connection after a failed call, and has the reconnecting thread try at once.
  void drop_connection() const REQUIRES(lock_);
  // A reply that did not come (time limit, closed connection): says why, drops the connection.
  std::unexpected<ErrorCode> lost_reply(std::string& why) const REQUIRES(lock_);
  // Whether there is a connection to call on. One the server has closed since the last call
  // (a restart) is made again at once, within redis_wait_ms, so no template is lost to it.
  bool usable() const REQUIRES(lock_);
  Status write(const AuxTreePart& tree, std::span<const Hash32> cb_branch, StoreTime now, std::string& why)
      REQUIRES(lock_);
  // The find of the Redis side, on `context`.
  Result<std::optional<FoundSnapshot>> lookup(redisContext* context, const Hash32& root,
                                              const std::optional<Hash32>& coinbase_txid,
                                              const Hash32& header_merkle_root, StoreTime now,
                                              std::string& why) const;

  const RedisSettings settings_;
  std::atomic<std::uint64_t> retention_s_;  // settings_.retention_s until a reload changes it
  const std::string address_;  // host:port, for the log
  const std::shared_ptr<SnapshotStore> local_;
  pthread_t reconnecter_{};
  bool reconnecter_started_ = false;  // set by open, before anyone else has the store

  mutable FutexMutex lock_;  // guards the connection and every field below
  mutable redisContext* context_ GUARDED_BY(lock_) = nullptr;
  mutable std::condition_variable_any wake_;  // the reconnecting thread's sleep
  bool stopping_ GUARDED_BY(lock_) = false;
  bool refused_ GUARDED_BY(lock_) = false;   // wrong password or db: never tried again
  mutable bool lost_ GUARDED_BY(lock_) = false;  // no connection since it was lost or first tried
  // The last tree part written on this connection, and its key.
  mutable std::uint64_t tree_key_ GUARDED_BY(lock_) = 0;
  mutable std::optional<AuxTreePart> tree_ GUARDED_BY(lock_);
  mutable std::optional<StoreTime> last_write_warning_ GUARDED_BY(lock_);
  mutable std::optional<StoreTime> last_lookup_warning_ GUARDED_BY(lock_);
};

}  // namespace skerrow
