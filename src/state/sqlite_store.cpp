#include "state/sqlite_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include "auxpow/hash.h"
#include "auxpow/hex.h"
#include "log/log.h"
#include "log/safe_text.h"
#include "platform/thread.h"

namespace skerrow {
namespace {

constexpr std::size_t kChainBytes = 4 + 1 + 32;  // slot, in-tree flag, hash
// An operator's query holding the write lock makes a put wait this long before it gives up
// (the snapshot stays in memory); the template path must not hang on it.
constexpr int kBusyTimeoutMs = 250;
// While the file cannot be written: how often a write is tried again, and how often it is said.
constexpr StoreTime kRetryWriteS = 1;
constexpr StoreTime kWarnEveryS = 60;

constexpr const char* kSchema[] = {
    "CREATE TABLE tree_parts(key INTEGER PRIMARY KEY, root BLOB NOT NULL, tree_size INTEGER NOT NULL, "
    "chains BLOB NOT NULL)",
    "CREATE TABLE snapshots(seq INTEGER PRIMARY KEY, key INTEGER NOT NULL UNIQUE, time INTEGER NOT NULL, "
    "tree_part INTEGER NOT NULL, cb_branch BLOB NOT NULL)",
    "CREATE INDEX snapshots_time ON snapshots(time)",
    "CREATE INDEX snapshots_tree_part ON snapshots(tree_part)",
    // A tree part lives as long as one snapshot refers to it.
    "CREATE TRIGGER snapshots_release_tree_part AFTER DELETE ON snapshots "
    "WHEN NOT EXISTS (SELECT 1 FROM snapshots WHERE tree_part = OLD.tree_part) "
    "BEGIN DELETE FROM tree_parts WHERE key = OLD.tree_part; END",
    "CREATE TABLE submissions(id INTEGER PRIMARY KEY, time INTEGER NOT NULL, chain TEXT NOT NULL, "
    "aux_hash TEXT NOT NULL, parent_block_hash TEXT NOT NULL, proof_size INTEGER NOT NULL, result TEXT NOT NULL)",
    "CREATE INDEX submissions_time ON submissions(time)",
};

ErrorCode error_of(int rc) {
  switch (rc & 0xff) {
    case SQLITE_NOMEM: return ErrorCode::OutOfMemory;
    case SQLITE_FULL: return ErrorCode::NoSpaceLeft;
    case SQLITE_IOERR: return ErrorCode::InputOutput;
    case SQLITE_READONLY: return ErrorCode::ReadOnlyFileSystem;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return ErrorCode::FileBusy;
    case SQLITE_PERM:
    case SQLITE_AUTH: return ErrorCode::AccessDenied;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: return ErrorCode::CorruptedData;
    default: return ErrorCode::Unexpected;
  }
}

ErrorCode errno_error(int err) {
  switch (err) {
    case ENOENT: return ErrorCode::FileNotFound;
    case EACCES:
    case EPERM: return ErrorCode::AccessDenied;
    case EROFS: return ErrorCode::ReadOnlyFileSystem;
    case EISDIR: return ErrorCode::IsDir;
    case ENOTDIR: return ErrorCode::NotDir;
    case ENAMETOOLONG: return ErrorCode::NameTooLong;
    case ELOOP: return ErrorCode::SymLinkLoop;
    case ENOMEM: return ErrorCode::OutOfMemory;
    case EIO: return ErrorCode::InputOutput;
    default: return ErrorCode::Unexpected;
  }
}

std::unexpected<ErrorCode> refuse(ErrorCode code, std::string& why, std::string_view text) {
  why.assign(text);
  return fail(code);
}

std::unexpected<ErrorCode> refuse_errno(int err, std::string& why) {
  why.assign(std::strerror(err));
  return fail(errno_error(err));
}

// A failed statement of an open that must not go on; the file is refused as unusable when
// SQLite could not read it as a database at all.
std::unexpected<ErrorCode> refuse_sqlite(sqlite3* db, int rc, std::string& why) {
  why.assign(db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
  const int primary = rc & 0xff;
  return fail(primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT || primary == SQLITE_ERROR
                  ? ErrorCode::StateFileUnusable
                  : error_of(rc));
}

class Connection {
 public:
  Connection() = default;
  ~Connection() {
    if (db_ != nullptr) sqlite3_close_v2(db_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  sqlite3** out() { return &db_; }
  sqlite3* get() const { return db_; }
  sqlite3* release() { return std::exchange(db_, nullptr); }

 private:
  sqlite3* db_ = nullptr;
};

class Statement {
 public:
  Statement() = default;
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  sqlite3_stmt** out() { return &stmt_; }
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// Runs a statement that yields at most one integer; leaves it reset for the next use.
int single_integer(sqlite3_stmt* stmt, std::int64_t& value) {
  int rc = sqlite3_step(stmt);
  if (rc == SQLITE_ROW) {
    value = sqlite3_column_int64(stmt, 0);
    rc = sqlite3_step(stmt);
  }
  sqlite3_reset(stmt);
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

int query_integer(sqlite3* db, const char* sql, std::int64_t& value) {
  Statement stmt;
  const int rc = sqlite3_prepare_v2(db, sql, -1, stmt.out(), nullptr);
  if (rc != SQLITE_OK) return rc;
  return single_integer(stmt.get(), value);
}

// Runs a statement that yields no rows; leaves it reset and its parameters unbound.
int run(sqlite3_stmt* stmt) {
  const int rc = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  return rc == SQLITE_DONE || rc == SQLITE_ROW ? SQLITE_OK : rc;
}

std::size_t encode_chains(const AuxTreePart& tree, std::span<std::uint8_t> out) {
  const std::size_t count = std::min(tree.chains.size(), kMaxAuxChains);
  for (std::size_t i = 0; i < count; ++i) {
    std::uint8_t* p = out.data() + i * kChainBytes;
    for (int b = 0; b < 4; ++b) p[b] = static_cast<std::uint8_t>(tree.chains[i].slot >> (8 * b));
    p[4] = tree.chains[i].in_tree ? 1 : 0;
    std::memcpy(p + 5, tree.chains[i].hash.data(), 32);
  }
  return count * kChainBytes;
}

bool decode_chains(const void* blob, std::size_t size, AuxTreePart& tree) {
  if (size % kChainBytes != 0 || size / kChainBytes > kMaxAuxChains) return false;
  const auto* bytes = static_cast<const std::uint8_t*>(blob);
  tree.chains.resize(size / kChainBytes);
  for (std::size_t i = 0; i < tree.chains.size(); ++i) {
    const std::uint8_t* p = bytes + i * kChainBytes;
    if (p[4] > 1) return false;
    tree.chains[i].slot = static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                          static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
    tree.chains[i].in_tree = p[4] == 1;
    std::memcpy(tree.chains[i].hash.data(), p + 5, 32);
  }
  return true;
}

enum class FileState { missing, zero_bytes, present };

// What the file system says before SQLite sees the path: SQLite's own open errors do not tell
// a directory from a missing folder or a permission problem. The folder must be writable too,
// for the WAL files beside the database.
Result<FileState> inspect_path(const std::string& file, std::string& why) {
  if (file.empty()) return refuse(ErrorCode::FileNotFound, why, "empty path");
  const std::size_t slash = file.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
  struct stat st;
  FileState state = FileState::present;
  if (stat(file.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return refuse(ErrorCode::IsDir, why, "is a directory");
    if (!S_ISREG(st.st_mode)) return refuse(ErrorCode::StateFileUnusable, why, "not a regular file");
    // A read-only file system still lets the file be served; the open finds out whether it
    // can be written.
    if (access(file.c_str(), R_OK | W_OK) != 0 && (errno != EROFS || access(file.c_str(), R_OK) != 0)) {
      return refuse_errno(errno, why);
    }
    if (st.st_size == 0) state = FileState::zero_bytes;
  } else if (errno == ENOENT) {
    state = FileState::missing;
  } else {
    return refuse_errno(errno, why);
  }
  if (stat(folder.c_str(), &st) != 0) return refuse_errno(errno, why);
  if (!S_ISDIR(st.st_mode)) return refuse(ErrorCode::NotDir, why, "its folder is not a directory");
  if (access(folder.c_str(), W_OK | X_OK) != 0 && (errno != EROFS || state == FileState::missing)) {
    const int err = errno;
    why.assign("folder: ");
    why.append(std::strerror(err));
    return fail(errno_error(err));
  }
  return state;
}

}  // namespace

struct SqliteSnapshotStore::Statements {
  Statement begin, commit, rollback, insert_part, upsert_snapshot, delete_expired, delete_over_cap,
      insert_submission;

  int prepare(sqlite3* db) {
    const std::pair<Statement*, const char*> all[] = {
        {&begin, "BEGIN"},
        {&commit, "COMMIT"},
        {&rollback, "ROLLBACK"},
        {&insert_part, "INSERT OR IGNORE INTO tree_parts(key, root, tree_size, chains) VALUES(?1, ?2, ?3, ?4)"},
        // A snapshot put again keeps its row and becomes the newest. The order comes from the
        // file, not from this process, so that puts of several processes interleave.
        {&upsert_snapshot,
         "INSERT INTO snapshots(key, time, tree_part, cb_branch) VALUES(?1, ?2, ?3, ?4) "
         "ON CONFLICT(key) DO UPDATE SET seq = (SELECT max(seq) + 1 FROM snapshots), time = excluded.time"},
        {&delete_expired, "DELETE FROM snapshots WHERE time < ?1"},
        {&delete_over_cap,
         "DELETE FROM snapshots WHERE seq <= (SELECT seq FROM snapshots ORDER BY seq DESC LIMIT 1 OFFSET ?1)"},
        {&insert_submission,
         "INSERT INTO submissions(time, chain, aux_hash, parent_block_hash, proof_size, result) "
         "VALUES(?1, ?2, ?3, ?4, ?5, ?6)"},
    };
    for (const auto& [stmt, sql] : all) {
      const int rc = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, stmt->out(), nullptr);
      if (rc != SQLITE_OK) return rc;
    }
    return SQLITE_OK;
  }
};

struct SqliteSnapshotStore::Checkpointer {
  Connection db;
  std::mutex lock;
  std::condition_variable wake;
  bool stop = false;
  pthread_t thread{};

  void run() {
    std::unique_lock guard(lock);
    while (!stop) {
      wake.wait_for(guard, std::chrono::seconds(1));
      if (stop) break;
      guard.unlock();
      // PASSIVE never waits for the writer nor for readers; what it cannot copy now it copies
      // next time.
      sqlite3_wal_checkpoint_v2(db.get(), nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
      guard.lock();
    }
  }
};


SqliteSnapshotStore::SqliteSnapshotStore(std::uint64_t retention_s, std::size_t cap)
    : retention_s_(retention_s), cap_(cap), memory_(retention_s, cap) {}

SqliteSnapshotStore::~SqliteSnapshotStore() { close_file(); }

void SqliteSnapshotStore::close() {
  FutexLock guard(lock_);
  close_file();
}

void SqliteSnapshotStore::close_file() {
  if (checkpointer_) {
    {
      std::lock_guard guard(checkpointer_->lock);
      checkpointer_->stop = true;
    }
    checkpointer_->wake.notify_one();
    pthread_join(checkpointer_->thread, nullptr);
    checkpointer_.reset();
  }
  statements_.reset();  // every statement must be finalized before the connection closes
  if (db_ != nullptr) sqlite3_close_v2(db_);
  db_ = nullptr;
  if (lock_fd_ >= 0) ::close(lock_fd_);
  lock_fd_ = -1;
  closed_ = true;
}

Status SqliteSnapshotStore::lock_file(const std::string& file, std::string& why) {
  // A companion file rather than the database: on the BSDs flock and the fcntl locks SQLite
  // takes on the database may conflict. It is never deleted (a deleted lock file lets two
  // processes lock two different files of one name).
  const std::string lock_path = file + ".lock";
  const int fd = ::open(lock_path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    // On a read-only file system no process can write the database: nothing to guard.
    if (errno == EROFS) return {};
    const int err = errno;
    why.assign("lock file: ");
    why.append(std::strerror(err));
    return fail(errno_error(err));
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK) return refuse(ErrorCode::Locked, why, "in use by another process");
    return refuse_errno(err, why);
  }
  lock_fd_ = fd;
  return {};
}

bool SqliteSnapshotStore::ready_to_write(StoreTime now) {
  if (closed_) return false;
  if (failing_) {
    if (last_try_ && std::abs(now - *last_try_) < kRetryWriteS) return false;
    last_try_ = now;
  }
  if (db_ != nullptr) return true;
  std::string why;
  if (auto opened = open_for_writing(file_, false, false, why); !opened) {
    wrote(opened, now);
    return false;
  }
  return true;
}

void SqliteSnapshotStore::wrote(const Status& outcome, StoreTime now) {
  if (outcome) {
    if (failing_) log_line(LogLevel::info, LogScope::auxpow, {"state file written again: ", file_});
    failing_ = false;
    return;
  }
  if (!failing_) last_try_ = now;
  failing_ = true;
  if (!last_warning_ || std::abs(now - *last_warning_) >= kWarnEveryS) {
    last_warning_ = now;
    log_line(LogLevel::warning, LogScope::auxpow, {"state file write failed: ", outcome.error()});
  }
}

Result<std::unique_ptr<SqliteSnapshotStore>> SqliteSnapshotStore::open(std::string_view path,
                                                                       std::uint64_t retention_s, StoreTime now,
                                                                       std::size_t cap, std::string* why) {
  std::string scratch;
  std::string& reason = why != nullptr ? *why : scratch;
  return catch_oom([&]() -> Result<std::unique_ptr<SqliteSnapshotStore>> {
    reason.clear();
    const std::string file(path);
    const auto state = inspect_path(file, reason);
    if (!state) return fail(state.error());
    std::unique_ptr<SqliteSnapshotStore> store(new SqliteSnapshotStore(retention_s, cap));
    store->file_ = file;
    bool has_schema = false;
    if (*state == FileState::present) {
      auto loaded = store->load(file, now, reason);
      if (!loaded) return fail(loaded.error());
      has_schema = *loaded;
    }
    // Nobody else has the store yet; its lock is taken all the same, as the connection is
    // used under it everywhere. After the checks, so that a refused file gains no companion;
    // before the first write.
    Status writable;
    {
      FutexLock guard(store->lock_);
      if (auto locked = store->lock_file(file, reason); !locked) return fail(locked.error());
      writable = store->open_for_writing(file, *state == FileState::missing, !has_schema, reason);
      if (writable) {
        if (auto pruned = store->memory_.prune(now); !pruned) return fail(pruned.error());
        store->last_prune_ = now;
        writable = store->prune_file(now);
        if (!writable) reason.assign(sqlite3_errmsg(store->db_));
      }
    }
    // Without this program's schema there is nothing to serve; a database of its own is
    // served from memory until it can be written.
    if (!writable && (!has_schema || writable.error() == ErrorCode::OutOfMemory)) return fail(writable.error());
    store->loaded_ = store->memory_.count();
    log_line(LogLevel::info, LogScope::auxpow, {"loaded ", store->loaded_, " snapshots from ", path});
    if (!writable) {
      FutexLock guard(store->lock_);
      store->wrote(writable, now);
    }
    reason.clear();
    return store;
  });
}

Status SqliteSnapshotStore::check(std::string_view path, std::uint64_t retention_s, StoreTime now,
                                  std::string* why) {
  std::string scratch;
  std::string& reason = why != nullptr ? *why : scratch;
  return catch_oom([&]() -> Status {
    reason.clear();
    const std::string file(path);
    const auto state = inspect_path(file, reason);
    if (!state) return fail(state.error());
    if (*state != FileState::present) return {};
    SqliteSnapshotStore store(retention_s, kDefaultSnapshotCap);
    if (auto loaded = store.load(file, now, reason); !loaded) return fail(loaded.error());
    return {};
  });
}

Result<bool> SqliteSnapshotStore::load(const std::string& file, StoreTime now, std::string& why) {
  // Read-only until the file is known to be ours: a refused file must keep every byte (a
  // read-write connection would, for one, roll back another program's hot journal).
  Connection ro;
  int rc = sqlite3_open_v2(file.c_str(), ro.out(), SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) return refuse_sqlite(ro.get(), rc, why);
  sqlite3_busy_timeout(ro.get(), kBusyTimeoutMs);

  std::int64_t application_id = 0, version = 0, objects = 0;
  if ((rc = query_integer(ro.get(), "PRAGMA application_id", application_id)) != SQLITE_OK ||
      (rc = query_integer(ro.get(), "PRAGMA user_version", version)) != SQLITE_OK ||
      (rc = query_integer(ro.get(), "SELECT count(*) FROM sqlite_schema", objects)) != SQLITE_OK) {
    return refuse_sqlite(ro.get(), rc, why);
  }
  if (application_id == 0 && version == 0 && objects == 0) return false;
  if (application_id != kStateApplicationId) {
    char text[64];
    std::snprintf(text, sizeof text, "another program's database, application_id %lld",
                  static_cast<long long>(application_id));
    return refuse(ErrorCode::StateFileUnusable, why, text);
  }
  if (version != kStateSchemaVersion) {
    char text[64];
    std::snprintf(text, sizeof text, "schema version %lld, this program reads %d", static_cast<long long>(version),
                  kStateSchemaVersion);
    return refuse(ErrorCode::StateFileUnusable, why, text);
  }

  Statement rows;
  rc = sqlite3_prepare_v2(ro.get(),
                          "SELECT s.seq, s.time, t.root, t.tree_size, t.chains, s.cb_branch FROM snapshots s "
                          "JOIN tree_parts t ON t.key = s.tree_part WHERE s.time >= ?1 ORDER BY s.seq",
                          -1, rows.out(), nullptr);
  if (rc != SQLITE_OK) return refuse_sqlite(ro.get(), rc, why);
  sqlite3_bind_int64(rows.get(), 1, now - static_cast<StoreTime>(retention_s_));
  AuxTreePart tree;
  std::array<Hash32, kMaxCoinbaseBranch> branch;
  while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
    const std::int64_t seq = sqlite3_column_int64(rows.get(), 0);
    const StoreTime time = sqlite3_column_int64(rows.get(), 1);
    const void* root = sqlite3_column_blob(rows.get(), 2);
    const int root_size = sqlite3_column_bytes(rows.get(), 2);
    const std::int64_t tree_size = sqlite3_column_int64(rows.get(), 3);
    const void* chains = sqlite3_column_blob(rows.get(), 4);
    const auto chains_size = static_cast<std::size_t>(sqlite3_column_bytes(rows.get(), 4));
    const void* cb = sqlite3_column_blob(rows.get(), 5);
    const auto cb_size = static_cast<std::size_t>(sqlite3_column_bytes(rows.get(), 5));
    if (root_size != 32 || tree_size < 0 || tree_size > static_cast<std::int64_t>(kMaxTreeLeaves) ||
        !decode_chains(chains, chains_size, tree) || cb_size % 32 != 0 || cb_size / 32 > kMaxCoinbaseBranch) {
      char text[64];
      std::snprintf(text, sizeof text, "damaged snapshot row (seq %lld)", static_cast<long long>(seq));
      return refuse(ErrorCode::StateFileUnusable, why, text);
    }
    std::memcpy(tree.root.data(), root, 32);
    tree.tree_size = static_cast<std::uint32_t>(tree_size);
    if (cb_size > 0) std::memcpy(branch.data(), cb, cb_size);
    auto put = memory_.insert(tree, {branch.data(), cb_size / 32}, time);
    if (!put) return refuse(put.error(), why, "loading snapshots");
  }
  if (rc != SQLITE_DONE) return refuse_sqlite(ro.get(), rc, why);
  return true;
}

Status SqliteSnapshotStore::open_for_writing(const std::string& file, bool create, bool add_schema, std::string& why) {
  Connection rw;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  int rc = sqlite3_open_v2(file.c_str(), rw.out(), flags, nullptr);
  if (rc != SQLITE_OK) return refuse_sqlite(rw.get(), rc, why);
  sqlite3_busy_timeout(rw.get(), kBusyTimeoutMs);
  sqlite3_extended_result_codes(rw.get(), 1);

  // WAL: a commit is one append to the log, and an operator's reading query never blocks it.
  // NORMAL: a commit reaches the operating system before it returns, so a killed process loses
  // nothing; only a power cut can take the last commits.
  {
    Statement journal;
    rc = sqlite3_prepare_v2(rw.get(), "PRAGMA journal_mode=WAL", -1, journal.out(), nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(journal.get());
    if (rc != SQLITE_ROW) return refuse_sqlite(rw.get(), rc, why);
    const auto* mode = reinterpret_cast<const char*>(sqlite3_column_text(journal.get(), 0));
    if (mode == nullptr || std::strcmp(mode, "wal") != 0) {
      return refuse(ErrorCode::StateFileUnusable, why, "cannot switch to WAL mode");
    }
  }
  if ((rc = sqlite3_exec(rw.get(), "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr)) != SQLITE_OK) {
    return refuse_sqlite(rw.get(), rc, why);
  }

  if (add_schema) {
    std::string sql = "BEGIN;";
    for (const char* statement : kSchema) {
      sql += statement;
      sql += ';';
    }
    sql += "PRAGMA application_id=" + std::to_string(kStateApplicationId) + ";";
    sql += "PRAGMA user_version=" + std::to_string(kStateSchemaVersion) + ";COMMIT;";
    if ((rc = sqlite3_exec(rw.get(), sql.c_str(), nullptr, nullptr, nullptr)) != SQLITE_OK) {
      sqlite3_exec(rw.get(), "ROLLBACK", nullptr, nullptr, nullptr);
      return refuse_sqlite(rw.get(), rc, why);
    }
  }

  auto statements = std::make_unique<Statements>();
  if ((rc = statements->prepare(rw.get())) != SQLITE_OK) return refuse_sqlite(rw.get(), rc, why);
  statements_ = std::move(statements);
  db_ = rw.release();
  start_checkpointer(file);
  return {};
}

void SqliteSnapshotStore::start_checkpointer(const std::string& file) {
  // Without the thread (no memory, no thread to be had) the writer checkpoints as SQLite does
  // by default: slower puts now and then, nothing lost.
  auto checkpointer = std::make_unique<Checkpointer>();
  if (sqlite3_open_v2(file.c_str(), checkpointer->db.out(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    return;
  }
  sqlite3_busy_timeout(checkpointer->db.get(), kBusyTimeoutMs);
  // A checkpoint copies frames from the log to the file without the page cache.
  sqlite3_exec(checkpointer->db.get(), "PRAGMA cache_size=-64", nullptr, nullptr, nullptr);
  Checkpointer* raw = checkpointer.get();
  auto thread = start_thread([raw] { raw->run(); }, ThreadOptions{.stack_size = 256 * 1024});
  if (!thread) return;
  checkpointer->thread = *thread;
  checkpointer_ = std::move(checkpointer);
  sqlite3_wal_autocheckpoint(db_, 0);
}

Status SqliteSnapshotStore::put(const AuxTreePart& tree, std::span<const Hash32> cb_branch, StoreTime now) {
  cb_branch = cb_branch.first(std::min(cb_branch.size(), kMaxCoinbaseBranch));
  FutexLock guard(lock_);
  auto effect = memory_.insert(tree, cb_branch, now);
  if (!effect) return fail(effect.error());
  // Closed at the stop, or not writable now: memory alone.
  if (!ready_to_write(now)) return {};
  Status written = write_snapshot(tree, cb_branch, *effect, now);
  // Pruning the file costs a few row deletions; once a second keeps it off most answers.
  if (written && (!last_prune_ || std::abs(now - *last_prune_) >= 1)) {
    written = prune_file(now);
    last_prune_ = now;
  }
  wrote(written, now);
  return {};
}

Status SqliteSnapshotStore::write_snapshot(const AuxTreePart& tree, std::span<const Hash32> cb_branch,
                                           const PutEffect& effect, StoreTime now) {
  Statements& s = *statements_;
  int rc = run(s.begin.get());
  if (rc != SQLITE_OK) return fail(error_of(rc));
  // The part is written with every put, not only when memory saw it first: the file may
  // still hold it from before, or have lost it to a failed write.
  std::array<std::uint8_t, kMaxAuxChains * kChainBytes> chains;
  const std::size_t chains_size = encode_chains(tree, chains);
  sqlite3_stmt* part = s.insert_part.get();
  sqlite3_bind_int64(part, 1, static_cast<std::int64_t>(effect.tree_key));
  sqlite3_bind_blob(part, 2, tree.root.data(), 32, SQLITE_STATIC);
  sqlite3_bind_int64(part, 3, tree.tree_size);
  sqlite3_bind_blob(part, 4, chains.data(), static_cast<int>(chains_size), SQLITE_STATIC);  // never null
  rc = run(part);
  if (rc == SQLITE_OK) {
    sqlite3_stmt* snap = s.upsert_snapshot.get();
    sqlite3_bind_int64(snap, 1, static_cast<std::int64_t>(effect.snapshot_key));
    sqlite3_bind_int64(snap, 2, now);
    sqlite3_bind_int64(snap, 3, static_cast<std::int64_t>(effect.tree_key));
    // A null pointer would bind NULL; a template without transactions has an empty branch.
    const void* cb = cb_branch.empty() ? static_cast<const void*>("") : cb_branch.data();
    sqlite3_bind_blob(snap, 4, cb, static_cast<int>(cb_branch.size() * 32), SQLITE_STATIC);
    rc = run(snap);
  }
  if (rc == SQLITE_OK) rc = run(s.commit.get());
  if (rc != SQLITE_OK) {
    run(s.rollback.get());
    return fail(error_of(rc));
  }
  return {};
}

Result<std::optional<FoundSnapshot>> SqliteSnapshotStore::find(const Hash32& root,
                                                               const std::optional<Hash32>& coinbase_txid,
                                                               const Hash32& header_merkle_root, StoreTime now) const {
  return memory_.find(root, coinbase_txid, header_merkle_root, now);
}

Status SqliteSnapshotStore::prune(StoreTime now) {
  FutexLock guard(lock_);
  if (auto pruned = memory_.prune(now); !pruned) return pruned;
  last_prune_ = now;
  if (ready_to_write(now)) wrote(prune_file(now), now);
  return {};
}

Status SqliteSnapshotStore::prune_file(StoreTime now) {
  Statements& s = *statements_;
  sqlite3_bind_int64(s.delete_expired.get(), 1, now - static_cast<StoreTime>(retention_s_));
  int rc = run(s.delete_expired.get());
  // The file holds more than the cap only when memory has been dropping the oldest; the
  // query walks `cap` rows, so it is left out otherwise.
  if (rc == SQLITE_OK && memory_.count() >= cap_) {
    sqlite3_bind_int64(s.delete_over_cap.get(), 1, static_cast<std::int64_t>(cap_));
    rc = run(s.delete_over_cap.get());
  }
  if (rc != SQLITE_OK) return fail(error_of(rc));
  return {};
}

std::size_t SqliteSnapshotStore::count() const { return memory_.count(); }

void SqliteSnapshotStore::set_retention(std::uint64_t retention_s) {
  retention_s_.store(retention_s, std::memory_order_relaxed);
  memory_.set_retention(retention_s);
}

Status SqliteSnapshotStore::record_submission(const SubmissionRecord& record) {
  FutexLock guard(lock_);
  if (!ready_to_write(record.time)) return {};
  sqlite3_stmt* stmt = statements_->insert_submission.get();
  // The texts come from the pool and the aux daemon: cut as in the log, so that no row can
  // be made large. Bound by copy, from buffers that do not outlive the statement's run.
  std::array<std::array<char, kMaxLoggedPoolText + 3>, 4> cut;
  auto bind_text = [stmt, &cut](int index, std::size_t slot, std::string_view text) {
    if (text.size() > kMaxLoggedPoolText) {
      char* buffer = cut[slot].data();
      std::memcpy(buffer, text.data(), kMaxLoggedPoolText);
      std::memcpy(buffer + kMaxLoggedPoolText, "...", 3);
      text = std::string_view(buffer, kMaxLoggedPoolText + 3);
    }
    // A null pointer would bind NULL; an empty text is still a text.
    sqlite3_bind_text(stmt, index, text.empty() ? "" : text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
  };
  sqlite3_bind_int64(stmt, 1, record.time);
  bind_text(2, 0, record.chain);
  bind_text(3, 1, record.aux_hash);
  bind_text(4, 2, record.parent_block_hash);
  sqlite3_bind_int64(stmt, 5, static_cast<std::int64_t>(record.proof_size));
  bind_text(6, 3, record.result);
  const int rc = run(stmt);
  wrote(rc == SQLITE_OK ? Status{} : Status{fail(error_of(rc))}, record.time);
  return {};
}

}  // namespace skerrow
