// The snapshot store under the default retention at 10 templates a second: 6,000 distinct
// snapshots. Measures (a) the cost of a put per answer, (b) memory (the store's own share of
// the heap and the whole process's peak RSS), (c) the cost of a find with all of them stored.
//
//   bench_snapshot_store memory|sqlite [shape] [state file]
//   bench_snapshot_store redis [shape] [host:port]
//
// "redis" puts through the Redis store over one in memory (what a template waits for is the
// write's round trip), and adds the find of another proxy: a store with nothing in memory,
// which finds every snapshot in Redis. The Redis server must be running; keys go under a prefix
// of this process's own and expire after the retention.
// shape "typical": 2 aux chains, a 12-level coinbase branch (about 2,000 transactions), aux
// templates refreshed every 5 s, so 50 answers share each tree part.
// shape "worst": 32 aux chains, 20-level branches, every answer a tree part of its own.
// shape "one-root": as typical, but the aux templates never change (a slow aux chain), so all
// 6,000 share one root and a find may have to try every one of them.
// One store per process, so that the peak RSS is the store's alone.
#include <malloc.h>
#include <time.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "auxpow/coinbase.h"
#include "auxpow/hash.h"
#include "auxpow/snapshot_store.h"
#include "state/redis_store.h"
#include "state/sqlite_store.h"

using namespace skerrow;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kSnapshots = 6000;  // 10 a second for the default 600 s
constexpr StoreTime kStart = 1'700'000'000;

struct Shape {
  std::size_t chains;
  std::size_t branch;
  std::size_t answers_per_tree;
};

Hash32 seeded(std::uint64_t seed) {
  Hash32 in{};
  std::memcpy(in.data(), &seed, sizeof seed);
  return hash_pair(in, in);
}

AuxTreePart tree_for(std::size_t index, const Shape& shape) {
  AuxTreePart tree{.root = seeded(index * 7 + 1), .tree_size = 64, .chains = {}};
  for (std::size_t c = 0; c < shape.chains; ++c) {
    tree.chains.push_back({.slot = static_cast<std::uint32_t>(c), .in_tree = true, .hash = seeded(index * 1000 + c + 3)});
  }
  return tree;
}

std::vector<Hash32> branch_for(std::size_t index, const Shape& shape) {
  std::vector<Hash32> b;
  for (std::size_t l = 0; l < shape.branch; ++l) b.push_back(seeded(1'000'000 + index * 32 + l));
  return b;
}

long status_kb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  }
  return -1;
}

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// CPU time of the calling thread: what a put costs the template path when the machine is shared
// and the wall clock also counts the time other processes ran.
double thread_cpu_us() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

void report(const char* what, std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  double sum = 0;
  for (double s : samples) sum += s;
  auto at = [&](double q) { return samples[static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1))]; };
  std::printf("%-44s mean %8.1f us  p50 %8.1f  p99 %8.1f  max %8.1f  (n=%zu)\n", what, sum / static_cast<double>(samples.size()), at(0.5),
              at(0.99), samples.back(), samples.size());
}

RedisSettings redis_settings(std::string address) {
  RedisSettings settings;
  const auto colon = address.rfind(':');
  settings.host = address.substr(0, colon);
  settings.port = static_cast<std::uint16_t>(std::atoi(address.c_str() + colon + 1));
  settings.prefix = "skerrow-bench-" + std::to_string(getpid());
  settings.retention_s = kDefaultWorkRetentionS;
  settings.wait_ms = 1000;
  return settings;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "memory";
  const std::string shape_name = argc > 2 ? argv[2] : "typical";
  const Shape shape = shape_name == "worst"     ? Shape{32, 20, 1}
                      : shape_name == "one-root" ? Shape{2, 12, kSnapshots}
                                                 : Shape{2, 12, 50};

  // The snapshots are made as they are put (outside the timed calls), so that the process
  // holds little besides the store.
  const std::size_t tree_count = (kSnapshots + shape.answers_per_tree - 1) / shape.answers_per_tree;
  std::vector<double> put_us, put_cpu_us, find_us;
  put_us.reserve(kSnapshots);
  put_cpu_us.reserve(kSnapshots);
  find_us.reserve(kSnapshots);

  std::filesystem::path scratch;
  std::unique_ptr<SnapshotStore> store;
  RedisSettings redis;
  const long rss_before = status_kb("VmRSS:");
  const std::size_t heap_before = mallinfo2().uordblks;
  if (mode == "sqlite") {
    std::string file;
    if (argc > 3) {
      file = argv[3];
    } else {
      std::string pattern = (std::filesystem::temp_directory_path() / "skerrow-bench-XXXXXX").string();
      if (mkdtemp(pattern.data()) == nullptr) return 1;
      scratch = pattern;
      file = (scratch / "state.sqlite").string();
    }
    std::string why;
    auto opened = SqliteSnapshotStore::open(file, kDefaultWorkRetentionS, kStart, kDefaultSnapshotCap, &why);
    if (!opened) {
      std::fprintf(stderr, "open %s: %s (%s)\n", file.c_str(), std::string(error_name(opened.error())).c_str(),
                   why.c_str());
      return 1;
    }
    store = std::move(*opened);
  } else if (mode == "redis") {
    redis = redis_settings(argc > 3 ? argv[3] : "127.0.0.1:6379");
    auto opened = RedisSnapshotStore::open(redis, std::make_shared<MemorySnapshotStore>(kDefaultWorkRetentionS));
    if (!opened || !(*opened)->connected()) {
      std::fprintf(stderr, "no connection to redis at %s:%u\n", redis.host.c_str(), redis.port);
      return 1;
    }
    store = std::move(*opened);
  } else {
    store = std::make_unique<MemorySnapshotStore>(kDefaultWorkRetentionS);
  }

  for (std::size_t i = 0; i < kSnapshots; ++i) {
    const StoreTime now = kStart + static_cast<StoreTime>(i / 10);
    const AuxTreePart tree = tree_for(i / shape.answers_per_tree, shape);
    const std::vector<Hash32> branch = branch_for(i, shape);
    const auto start = Clock::now();
    const double cpu_start = thread_cpu_us();
    const Status put = store->put(tree, branch, now);
    put_cpu_us.push_back(thread_cpu_us() - cpu_start);
    put_us.push_back(micros(Clock::now() - start));
    if (!put) {
      std::fprintf(stderr, "put %zu: %s\n", i, std::string(error_name(put.error())).c_str());
      return 1;
    }
  }
  const std::size_t heap_after = mallinfo2().uordblks;
  const long rss_after = status_kb("VmRSS:");
  if (store->count() != kSnapshots) {
    std::fprintf(stderr, "stored %zu of %zu\n", store->count(), kSnapshots);
    return 1;
  }

  // Finds as a submission makes them: a coinbase txid and the header root its branch leads to.
  const Hash32 txid = seeded(42);
  std::size_t checks = 0;
  for (std::size_t i = 0; i < kSnapshots; i += 7) {
    const Hash32 header = root_from_coinbase(txid, branch_for(i, shape));
    const Hash32 root = tree_for(i / shape.answers_per_tree, shape).root;
    const auto start = Clock::now();
    auto found = store->find(root, txid, header, 0);
    find_us.push_back(micros(Clock::now() - start));
    if (!found || !*found || !(*found)->branch_matches) {
      std::fprintf(stderr, "find %zu failed\n", i);
      return 1;
    }
    ++checks;
  }
  // Another proxy's find: nothing in its own memory, every snapshot fetched from Redis.
  std::vector<double> remote_us;
  if (mode == "redis") {
    auto other = RedisSnapshotStore::open(redis, std::make_shared<MemorySnapshotStore>(kDefaultWorkRetentionS));
    if (!other) return 1;
    for (std::size_t i = 0; i < kSnapshots; i += 7) {
      const Hash32 header = root_from_coinbase(txid, branch_for(i, shape));
      const Hash32 root = tree_for(i / shape.answers_per_tree, shape).root;
      const auto start = Clock::now();
      auto found = (*other)->find(root, txid, header, 0);
      remote_us.push_back(micros(Clock::now() - start));
      if (!found || !*found || !(*found)->branch_matches) {
        std::fprintf(stderr, "find %zu in redis failed\n", i);
        return 1;
      }
    }
  }
  // The slowest find: a header no snapshot of the root leads to, so every one of them is tried.
  std::vector<double> miss_us;
  for (std::size_t i = 0; i < 50; ++i) {
    const Hash32 root = tree_for((i * 37) % tree_count, shape).root;
    const auto start = Clock::now();
    auto found = store->find(root, txid, seeded(7), 0);
    miss_us.push_back(micros(Clock::now() - start));
    if (!found || !*found || (*found)->branch_matches) return 1;
  }

  // Puts while another thread keeps making the slowest finds: what a template waits for when a
  // pool submits work the store cannot match.
  std::vector<double> contended_us;
  {
    std::atomic<bool> stop{false};
    std::thread finder([&] {
      const Hash32 root = tree_for(0, shape).root;
      while (!stop.load()) (void)store->find(root, txid, seeded(7), 0);
    });
    for (std::size_t i = 0; i < 1000; ++i) {
      const AuxTreePart tree = tree_for(tree_count + i, shape);
      const std::vector<Hash32> branch = branch_for(kSnapshots + i, shape);
      const auto start = Clock::now();
      (void)store->put(tree, branch, kStart + static_cast<StoreTime>(kSnapshots / 10 + i / 10));
      contended_us.push_back(micros(Clock::now() - start));
    }
    stop = true;
    finder.join();
  }

  std::printf("store %s, shape %s: %zu snapshots (%zu chains, %zu-level branches, %zu tree parts)\n", mode.c_str(),
              shape_name.c_str(), kSnapshots, shape.chains, shape.branch, tree_count);
  report("put", put_us);
  report("put, CPU time of the putting thread", put_cpu_us);
  report("find, branch matches", find_us);
  if (!remote_us.empty()) report("find by another proxy (from redis)", remote_us);
  report("find, no branch matches (every one tried)", miss_us);
  report("put while another thread finds (as above)", contended_us);
  std::printf("heap held by the store: %.2f MB (%.0f bytes a snapshot)\n",
              static_cast<double>(heap_after - heap_before) / 1e6,
              static_cast<double>(heap_after - heap_before) / kSnapshots);
  std::printf("RSS grown while filling: %.2f MB; process peak RSS (VmHWM): %.2f MB\n",
              static_cast<double>(rss_after - rss_before) / 1024, static_cast<double>(status_kb("VmHWM:")) / 1024);
  store.reset();
  if (!scratch.empty()) std::filesystem::remove_all(scratch);
  return checks > 0 ? 0 : 1;
}
