// The state file: snapshots across restarts, what is refused untouched, one process at a time,
// a file that cannot be written, the submission record.
#include "state/sqlite_store.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "auxpow/store_support.h"
#include "config/scratch.h"

namespace skerrow {
namespace {

using test::branch;
using test::tree_part;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A second connection, as an operator's sqlite3 would have.
std::vector<std::vector<std::string>> query(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  std::vector<std::vector<std::string>> rows;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << "open " << path;
    sqlite3_close(db);
    return rows;
  }
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db);
  } else {
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      auto& row = rows.emplace_back();
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
        row.emplace_back(text != nullptr ? text : "NULL");
      }
    }
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return rows;
}

std::string single(const std::string& path, const std::string& sql) {
  auto rows = query(path, sql);
  return rows.size() == 1 && rows[0].size() == 1 ? rows[0][0] : "?";
}

// Opens a file that must be usable; the open's one line must say how many were loaded.
std::unique_ptr<SqliteSnapshotStore> open_ok(const std::string& path, StoreTime now, std::uint64_t retention = 600,
                                             std::size_t cap = kDefaultSnapshotCap) {
  std::string why;
  test::CapturedStderr captured;
  auto store = SqliteSnapshotStore::open(path, retention, now, cap, &why);
  captured.restore();
  EXPECT_TRUE(store) << error_name(store.error()) << ": " << why;
  if (!store) return nullptr;
  EXPECT_EQ(captured.text(),
            "info(auxpow): loaded " + std::to_string((*store)->loaded()) + " snapshots from " + path + "\n");
  return std::move(*store);
}

class StateFile : public ::testing::Test {
 protected:
  testing::ScratchDir dir;
  std::string path = (dir.path() / "state.sqlite").string();
};

TEST_F(StateFile, ReopenedFileHoldsTheSnapshotsWithinRetention) {
  const AuxTreePart tree = tree_part(1);
  {
    auto store = open_ok(path, 1000);
    ASSERT_TRUE(store);
    EXPECT_EQ(store->loaded(), 0u);
    ASSERT_TRUE(store->put(tree_part(9), branch(9), 1000));  // expired at the reopen
    for (std::uint32_t b = 1; b <= 3; ++b) ASSERT_TRUE(store->put(tree, branch(b), 1500 + b));
    ASSERT_TRUE(store->put(tree_part(2), branch(4, 0), 1504));
    ASSERT_TRUE(store->put(tree, branch(1), 1505));  // identical to the first: newest now
    EXPECT_EQ(single(path, "PRAGMA journal_mode"), "wal");
  }
  auto store = open_ok(path, 1700);
  ASSERT_TRUE(store);
  EXPECT_EQ(store->loaded(), 4u);
  EXPECT_EQ(store->count(), 4u);
  EXPECT_EQ(single(path, "SELECT count(*) FROM snapshots"), "4");
  EXPECT_EQ(single(path, "SELECT count(*) FROM tree_parts"), "2");

  const Hash32 txid = test::filler(5);
  auto newest = store->find(tree.root, txid, Hash32{}, 0);
  ASSERT_TRUE(newest && *newest);
  EXPECT_FALSE((*newest)->branch_matches);
  test::expect_snapshot((*newest)->snapshot, tree, branch(1));
  auto matched = store->find(tree.root, txid, test::header_root(txid, branch(2)), 0);
  ASSERT_TRUE(matched && *matched);
  EXPECT_TRUE((*matched)->branch_matches);
  test::expect_snapshot((*matched)->snapshot, tree, branch(2));
  auto empty_branch = store->find(tree_part(2).root, std::nullopt, Hash32{}, 0);
  ASSERT_TRUE(empty_branch && *empty_branch);
  test::expect_snapshot((*empty_branch)->snapshot, tree_part(2), {});

  // Puts after the restart go on in order.
  ASSERT_TRUE(store->put(tree, branch(3), 1701));
  auto after = store->find(tree.root, std::nullopt, Hash32{}, 0);
  ASSERT_TRUE(after && *after);
  test::expect_snapshot((*after)->snapshot, tree, branch(3));
}

TEST_F(StateFile, AKilledProcessLosesNoSnapshotItPut) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    dup2(null, STDERR_FILENO);
    std::string why;
    auto store = SqliteSnapshotStore::open(path, 600, 1000, kDefaultSnapshotCap, &why);
    if (!store) _exit(2);
    for (std::uint32_t i = 0; i < 20; ++i) {
      if (!(*store)->put(tree_part(i), branch(i), 1000)) _exit(3);
    }
    raise(SIGKILL);
    _exit(4);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;

  auto store = open_ok(path, 1010);
  ASSERT_TRUE(store);
  EXPECT_EQ(store->count(), 20u);
  for (std::uint32_t i = 0; i < 20; ++i) {
    auto found = store->find(test::filler(i), std::nullopt, Hash32{}, 0);
    ASSERT_TRUE(found && *found) << i;
    test::expect_snapshot((*found)->snapshot, tree_part(i), branch(i));
  }
}

TEST_F(StateFile, ExpiredAndOverCapRowsLeaveTheFile) {
  auto store = open_ok(path, 1000, 60, 3);
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->put(tree_part(1), branch(1), 1000));
  ASSERT_TRUE(store->put(tree_part(1), branch(2), 1000));
  ASSERT_TRUE(store->put(tree_part(2), branch(3), 1030));
  ASSERT_TRUE(store->put(tree_part(3), branch(4), 1061));  // tree part 1 has expired
  EXPECT_EQ(store->count(), 2u);
  EXPECT_EQ(single(path, "SELECT count(*) FROM snapshots"), "2");
  EXPECT_EQ(single(path, "SELECT count(*) FROM tree_parts"), "2");

  test::CapturedStderr captured;
  for (std::uint32_t i = 4; i < 8; ++i) ASSERT_TRUE(store->put(tree_part(i), branch(i), 1062 + i));
  captured.restore();
  EXPECT_EQ(store->count(), 3u);
  EXPECT_EQ(single(path, "SELECT count(*) FROM snapshots"), "3");
  EXPECT_EQ(single(path, "SELECT count(*) FROM tree_parts"), "3");
  EXPECT_EQ(single(path, "SELECT count(*) FROM tree_parts WHERE key NOT IN (SELECT tree_part FROM snapshots)"), "0");
  ASSERT_TRUE(store->prune(2000));
  EXPECT_EQ(store->count(), 0u);
  EXPECT_EQ(single(path, "SELECT count(*) FROM snapshots"), "0");
  EXPECT_EQ(single(path, "SELECT count(*) FROM tree_parts"), "0");
}

TEST_F(StateFile, AnEmptyFileIsGivenTheSchema) {
  dir.write("state.sqlite", "");
  ASSERT_TRUE(open_ok(path, 1000));
  EXPECT_EQ(single(path, "PRAGMA user_version"), std::to_string(kStateSchemaVersion));
  EXPECT_EQ(single(path, "PRAGMA application_id"), std::to_string(kStateApplicationId));
  EXPECT_EQ(single(path, "PRAGMA journal_mode"), "wal");
}

// Runs the open in a child process without root's right to ignore file modes.
ErrorCode open_unprivileged(const std::string& path) {
  const pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(255);
    auto store = SqliteSnapshotStore::open(path, 600, 1000);
    _exit(store ? 0 : static_cast<int>(store.error()));
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return ErrorCode::Unexpected;
  return static_cast<ErrorCode>(WEXITSTATUS(status));
}

std::string sqlite_file(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  char* error = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) ADD_FAILURE() << error;
  sqlite3_free(error);
  sqlite3_close(db);
  return path;
}

TEST_F(StateFile, RefusesWhatIsNotItsDatabaseAndLeavesItAsItWas) {
  std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
  const std::string ours_v2 = sqlite_file(
      (dir.path() / "v2.sqlite").string(),
      "CREATE TABLE snapshots(x); PRAGMA application_id=" + std::to_string(kStateApplicationId) +
          "; PRAGMA user_version=2;");
  const std::string other = sqlite_file((dir.path() / "other.sqlite").string(),
                                        "CREATE TABLE accounts(name TEXT); INSERT INTO accounts VALUES('x');");
  const std::string stray = sqlite_file((dir.path() / "stray.sqlite").string(), "PRAGMA user_version=7;");
  const std::string text = dir.write("notes.txt", "{\"state\": \"not a database\"}\n" + std::string(5000, 'x'));
  const std::string damaged = sqlite_file((dir.path() / "damaged.sqlite").string(),
                                          "PRAGMA application_id=" + std::to_string(kStateApplicationId) +
                                              "; PRAGMA user_version=1; CREATE TABLE t(x);");
  std::filesystem::create_directory(dir.path() / "folder");
  const std::string readable_only = dir.write("readonly.sqlite", "");
  std::filesystem::permissions(readable_only, std::filesystem::perms(0444));
  std::filesystem::create_directory(dir.path() / "locked");
  std::filesystem::permissions(dir.path() / "locked", std::filesystem::perms(0555));

  struct Case {
    std::string path;
    ErrorCode expected;
    bool unprivileged;
  };
  const Case cases[] = {
      {ours_v2, ErrorCode::StateFileUnusable, false},
      {other, ErrorCode::StateFileUnusable, false},
      {stray, ErrorCode::StateFileUnusable, false},
      {text, ErrorCode::StateFileUnusable, false},
      {damaged, ErrorCode::StateFileUnusable, false},  // ours by its ids, without our tables
      {(dir.path() / "folder").string(), ErrorCode::IsDir, false},
      {(dir.path() / "missing" / "state.sqlite").string(), ErrorCode::FileNotFound, false},
      {(dir.path() / "notes.txt" / "state.sqlite").string(), ErrorCode::NotDir, false},
      {readable_only, ErrorCode::AccessDenied, true},
      {(dir.path() / "locked" / "new.sqlite").string(), ErrorCode::AccessDenied, true},
  };
  for (const Case& c : cases) {
    const bool existed = std::filesystem::exists(c.path);
    const std::string before = existed ? read_file(c.path) : "";
    if (c.unprivileged) {
      EXPECT_EQ(error_name(open_unprivileged(c.path)), error_name(c.expected)) << c.path;
    } else {
      std::string why;
      auto store = SqliteSnapshotStore::open(c.path, 600, 1000, kDefaultSnapshotCap, &why);
      ASSERT_FALSE(store) << c.path;
      EXPECT_EQ(error_name(store.error()), error_name(c.expected)) << c.path;
      EXPECT_FALSE(why.empty()) << c.path;
    }
    EXPECT_EQ(std::filesystem::exists(c.path), existed) << c.path;
    if (existed && !std::filesystem::is_directory(c.path)) {
      EXPECT_EQ(read_file(c.path), before) << c.path;
    }
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path() / "folder"));
}

TEST_F(StateFile, RecordsEverySubmissionForTheOperatorsQuery) {
  std::array<std::uint8_t, 80> genesis;
  ASSERT_TRUE(hex_decode("0100000000000000000000000000000000000000000000000000000000000000000000003ba3edfd7a7b12b2"
                         "7ac72c3e67768f617fc81bc3888a51323a9fb8aa4b1e5e4a29ab5f49ffff001d1dac2b7c",
                         genesis));
  EXPECT_EQ(parent_block_hash_hex(genesis), "000000000019d6689c085ae165831e934ff763ae46a2a6c172b3f1b60a8ce26f");
  auto store = open_ok(path, 1000);
  ASSERT_TRUE(store);
  const StoreTime now = std::time(nullptr);
  const StoreTime yesterday = (now / 86400 - 1) * 86400;
  const SubmissionRecord records[] = {
      {yesterday - 10, "dogecoin", "aa01", "00ff01", 600, "true"},
      {yesterday + 3600, "dogecoin", "aa02", "00ff02", 664, "true"},
      {yesterday + 7200, "namecoin", "bb03", "00ff03", 0, "aux daemon RPC failed"},
      {yesterday + 86399, "dogecoin", "aa04", "00ff04", 600, "\"duplicate\""},
      {yesterday + 86400, "dogecoin", "aa05", "00ff05", 600, "true"},
  };
  for (const SubmissionRecord& r : records) ASSERT_TRUE(store->record_submission(r));
  // The README's query, word for word.
  const auto rows = query(path,
                          "SELECT datetime(time, 'unixepoch') AS at, chain, aux_hash, parent_block_hash, result, "
                          "result = 'true' AS accepted FROM submissions "
                          "WHERE time >= unixepoch('now', 'start of day', '-1 day') "
                          "AND time < unixepoch('now', 'start of day') ORDER BY time");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0][1] + " " + rows[0][2] + " " + rows[0][3] + " " + rows[0][4] + " " + rows[0][5],
            "dogecoin aa02 00ff02 true 1");
  EXPECT_EQ(rows[1][1] + " " + rows[1][4] + " " + rows[1][5], "namecoin aux daemon RPC failed 0");
  EXPECT_EQ(rows[2][2] + " " + rows[2][4] + " " + rows[2][5], "aa04 \"duplicate\" 0");
  EXPECT_EQ(single(path, "SELECT proof_size FROM submissions WHERE aux_hash = 'aa02'"), "664");

  // Texts from the pool and the daemon are cut as in the log: 128 bytes, then "...".
  const std::string exact(128, 'e'), over(129, 'o'), cut = std::string(128, 'o') + "...";
  ASSERT_TRUE(store->record_submission({now, over, exact, over, 1, std::string(1000, 'o')}));
  EXPECT_EQ(query(path, "SELECT chain, aux_hash, parent_block_hash, result FROM submissions WHERE proof_size = 1"),
            (std::vector<std::vector<std::string>>{{cut, exact, cut, cut}}));
}

TEST_F(StateFile, OneStoreAtATimeHoldsTheFile) {
  auto first = open_ok(path, 1000);
  ASSERT_TRUE(first);
  ASSERT_TRUE(first->put(tree_part(1), branch(1), 1000));
  const std::string before = read_file(path);
  std::string why;
  auto second = SqliteSnapshotStore::open(path, 600, 1000, kDefaultSnapshotCap, &why);
  ASSERT_FALSE(second);
  EXPECT_EQ(error_name(second.error()), "Locked");
  EXPECT_EQ(why, "in use by another process");
  EXPECT_EQ(read_file(path), before);
  first->close();
  auto third = open_ok(path, 1001);
  ASSERT_TRUE(third);
  EXPECT_EQ(third->loaded(), 1u);
}

// Another connection holding the write lock makes every write fail, as a full disk would; it
// needs no privilege to set up and none to be ignored.
TEST_F(StateFile, AFileThatCannotBeWrittenIsServedFromMemoryUntilItCanBe) {
  {
    auto first = open_ok(path, 1000);
    ASSERT_TRUE(first);
    ASSERT_TRUE(first->put(tree_part(1), branch(1), 1000));
  }
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

  test::CapturedStderr captured;
  std::string why;
  auto store = SqliteSnapshotStore::open(path, 600, 1010, kDefaultSnapshotCap, &why);
  ASSERT_TRUE(store) << error_name(store.error()) << ": " << why;
  EXPECT_EQ((*store)->loaded(), 1u);
  // Failing puts keep the snapshot in memory; the warning comes at most once a minute.
  for (std::uint32_t t : {1011u, 1012u, 1069u, 1070u}) ASSERT_TRUE((*store)->put(tree_part(2), branch(t), t));
  ASSERT_TRUE((*store)->record_submission({1070, "c", "aa", "00", 1, "true"}));
  EXPECT_EQ((*store)->count(), 5u);
  ASSERT_EQ(sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(holder);
  ASSERT_TRUE((*store)->put(tree_part(3), branch(3), 1070));  // tried again a second later only
  ASSERT_TRUE((*store)->put(tree_part(3), branch(4), 1071));
  captured.restore();
  const std::string warning = "warning(auxpow): state file write failed: error.FileBusy\n";
  EXPECT_EQ(captured.text(), "info(auxpow): loaded 1 snapshots from " + path + "\n" + warning + warning +
                                 "info(auxpow): state file written again: " + path + "\n");
  EXPECT_EQ(single(path, "SELECT count(*) FROM snapshots"), "2");  // the first and the last
  EXPECT_EQ(single(path, "SELECT count(*) FROM submissions"), "0");
}

}  // namespace
}  // namespace skerrow
