// The state file: an SQLite database that keeps the answered templates' snapshots across
// restarts and records every aux block submission, for "state_file".
//
// Snapshots are found in memory (a MemorySnapshotStore filled from the file at open), so a
// submission never waits for the disk; every put is written through before it returns, so the
// pool is never given work a restart would forget. The file runs in WAL mode with
// synchronous=NORMAL: a killed process loses no committed write (a power cut may lose the last
// ones), and a commit is an append to the log without a flush to the disk. Copying the log back
// into the database does flush, so a thread of the store's own does it once a second on a
// second connection, away from the puts (and so from the template path). The writing
// connection is owned by this object and used under its lock.
//
// One process at a time: the store holds an exclusive flock on "<path>.lock" from the open to
// close (the kernel drops it when the process dies, so a kill -9 leaves nothing locked). A file it can
// read but not write (a full disk, a read-only file system, an I/O error, another program
// holding the write lock) is served from memory: the open succeeds with what the file holds,
// writes are tried again at most once a second of store time, and a failure is logged at most
// once a minute, never returned to the caller, whose work is kept in memory either way.
//
// Schema (PRAGMA application_id kStateApplicationId, PRAGMA user_version kStateSchemaVersion):
//   tree_parts(key INTEGER PRIMARY KEY, root BLOB, tree_size INTEGER,
//              chains BLOB)           -- per chain: slot (u32 LE), in tree (u8), hash (32 bytes)
//   snapshots(seq INTEGER PRIMARY KEY, key INTEGER UNIQUE, time INTEGER, tree_part INTEGER,
//             cb_branch BLOB)        -- seq: put order; time: Unix seconds of the latest put
//   submissions(id INTEGER PRIMARY KEY, time INTEGER, chain TEXT, aux_hash TEXT,
//               parent_block_hash TEXT, proof_size INTEGER, result TEXT)
// Hashes in BLOBs are in the byte order of AuxTreePart and AuxSnapshot; texts are hex.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "auxpow/snapshot_store.h"
#include "error/error.h"
#include "platform/futex.h"
#include "platform/thread_annotations.h"

struct sqlite3;
struct sqlite3_stmt;

namespace skerrow {

inline constexpr std::int32_t kStateApplicationId = 0x736b7277;  // "skrw"
inline constexpr std::int32_t kStateSchemaVersion = 1;



class SqliteSnapshotStore final : public SnapshotStore {
 public:
  // Opens the database at `path`, creating it (with its schema) when the file does not exist or
  // is empty, and loads the snapshots put within `retention_s` before `now`, oldest first, into
  // memory (at most `cap`; the oldest are dropped as in MemorySnapshotStore). Logs
  // "info(auxpow): loaded <n> snapshots from <path>".
  // A file that is refused is not changed: it is read-only until it is known to be this
  // program's database. On failure `why`, when given, gets a short description for the
  // caller's line. Errors: FileNotFound (its folder does not exist), AccessDenied (the file or
  // folder is not readable and writable), IsDir, NotDir, NameTooLong, Locked (another process,
  // or another store of this one, has it open), StateFileUnusable (not an SQLite database,
  // another program's database, another schema version, damaged), OutOfMemory, Unexpected;
  // and, for a file without this program's schema yet (nothing to serve from),
  // ReadOnlyFileSystem, InputOutput, NoSpaceLeft, FileBusy. A database of this program that
  // can be read but not written opens all the same (see above).
  static Result<std::unique_ptr<SqliteSnapshotStore>> open(std::string_view path, std::uint64_t retention_s,
                                                           StoreTime now, std::size_t cap = kDefaultSnapshotCap,
                                                           std::string* why = nullptr);
  // Checks, as open does, that `path` can serve as the state file (its folder and the file can
  // be used, and a file present is this program's database, read whole), without changing it,
  // taking its lock or logging: a configuration check while a running proxy holds the file.
  // Errors: as open's, but Locked and those of writing.
  static Status check(std::string_view path, std::uint64_t retention_s, StoreTime now, std::string* why = nullptr);
  ~SqliteSnapshotStore() override;
  SqliteSnapshotStore(const SqliteSnapshotStore&) = delete;
  SqliteSnapshotStore& operator=(const SqliteSnapshotStore&) = delete;

  // Stores in memory, then writes to the file in one transaction; expired and over-cap rows are
  // deleted at most once a second of store time. A failed write leaves the snapshot findable
  // (in memory) and is logged as above. Errors: OutOfMemory (nothing stored).
  Status put(const AuxTreePart& tree, std::span<const Hash32> cb_branch, StoreTime now) override;
  Result<std::optional<FoundSnapshot>> find(const Hash32& root, const std::optional<Hash32>& coinbase_txid,
                                            const Hash32& header_merkle_root, StoreTime now) const override;
  // Drops expired snapshots from memory and from the file, and the rows past the cap.
  Status prune(StoreTime now) override;
  std::size_t count() const override;
  void set_retention(std::uint64_t retention_s) override;

  // Finishes the file's writes and closes it (the clean stop). Later puts are kept in memory
  // only and records are dropped: the process is about to end.
  void close();

  // Number of snapshots loaded at open.
  std::size_t loaded() const { return loaded_; }

  // Appends one row to `submissions`, each text cut to kMaxLoggedPoolText bytes and "..." as
  // in the log. A failed write is logged as above; the record is lost.
  Status record_submission(const SubmissionRecord& record) override;

 private:
  SqliteSnapshotStore(std::uint64_t retention_s, std::size_t cap);
  // Checks an existing file through a read-only connection and loads its snapshots; false
  // when it is an SQLite database without any schema yet (to be given ours).
  Result<bool> load(const std::string& file, StoreTime now, std::string& why);
  Status open_for_writing(const std::string& file, bool create, bool add_schema, std::string& why) REQUIRES(lock_);
  void start_checkpointer(const std::string& file) REQUIRES(lock_);
  Status prune_file(StoreTime now) REQUIRES(lock_);
  void close_file() REQUIRES(lock_);  // or with no other user left (the destructor)
  // Takes the exclusive flock on "<file>.lock", creating it. Errors: Locked, AccessDenied,
  // and the other errno names of the open.
  Status lock_file(const std::string& file, std::string& why) REQUIRES(lock_);
  // The steps around every write. ready_to_write is false when the store is closed, or
  // failing and the last try was less than a second of store time ago; it reopens the
  // writing connection when there is none. wrote notes the outcome of a write.
  bool ready_to_write(StoreTime now) REQUIRES(lock_);
  void wrote(const Status& outcome, StoreTime now) REQUIRES(lock_);
  Status write_snapshot(const AuxTreePart& tree, std::span<const Hash32> cb_branch, const PutEffect& effect,
                        StoreTime now) REQUIRES(lock_);

  struct Statements;
  struct Checkpointer;

  std::atomic<std::uint64_t> retention_s_;
  const std::size_t cap_;
  MemorySnapshotStore memory_;  // has its own lock: finds never wait for the file
  std::size_t loaded_ = 0;      // set by open, before anyone else has the store
  mutable FutexMutex lock_;     // guards the connection, the statements and the fields below
  sqlite3* db_ GUARDED_BY(lock_) = nullptr;
  std::unique_ptr<Statements> statements_ GUARDED_BY(lock_);
  std::unique_ptr<Checkpointer> checkpointer_ GUARDED_BY(lock_);  // stopped before the connection closes
  std::optional<StoreTime> last_prune_ GUARDED_BY(lock_);
  std::string file_;  // set by open, before anyone else has the store
  int lock_fd_ GUARDED_BY(lock_) = -1;  // holds the flock; closed after the connections
  bool closed_ GUARDED_BY(lock_) = false;
  bool failing_ GUARDED_BY(lock_) = false;  // the last write to the file failed
  std::optional<StoreTime> last_try_ GUARDED_BY(lock_);      // of a write while failing_
  std::optional<StoreTime> last_warning_ GUARDED_BY(lock_);  // "state file write failed", at most once a minute
};

}  // namespace skerrow
