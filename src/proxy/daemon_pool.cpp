#include "proxy/daemon_pool.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <new>
#include <thread>
#include <vector>

#include "json/reader.h"
#include "log/log.h"
#include "log/safe_text.h"
#include "metrics/metrics.h"
#include "metrics/timing.h"
#include "platform/arena.h"

namespace skerrow {
namespace {

std::int64_t steady_now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void write_fault(NodeFault& fault, std::string_view a, std::string_view b = {}) {
  const std::size_t n = std::min(a.size(), fault.text.size());
  std::copy_n(a.data(), n, fault.text.data());
  const std::size_t m = std::min(b.size(), fault.text.size() - n);
  std::copy_n(b.data(), m, fault.text.data() + n);
  fault.size = n + m;
}

// The RPC error code of a short error reply, when it is one a node gives while it cannot serve
// work. A template is never this short, so a real one is never parsed here.
std::optional<std::int64_t> busy_code(std::string_view reply) {
  constexpr std::size_t kLongestErrorReply = 1024;
  if (reply.size() > kLongestErrorReply || reply.find("\"error\"") == std::string_view::npos) return std::nullopt;
  alignas(std::max_align_t) char room[16384];
  std::pmr::monotonic_buffer_resource memory(room, sizeof room, std::pmr::null_memory_resource());
  auto document = parse_json(reply, &memory);
  if (!document || !document->root().is_object()) return std::nullopt;
  const JsonValue* error = get_member(document->root(), "error");
  if (error == nullptr || !error->is_object()) return std::nullopt;
  const JsonValue* code = get_member(*error, "code");
  if (code == nullptr || !code->is_integer()) return std::nullopt;
  const std::int64_t value = code->as_integer();
  if (value == -28 || value == -10 || value == -9) return value;
  return std::nullopt;
}

// A node's answer to submitblock says it took the block: "result" is null and so is "error".
bool took_block(std::string_view reply) {
  alignas(std::max_align_t) char room[16384];
  std::pmr::monotonic_buffer_resource memory(room, sizeof room, std::pmr::get_default_resource());
  auto document = parse_json(reply, &memory);
  if (!document || !document->root().is_object()) return false;
  const JsonValue* result = get_member(document->root(), "result");
  const JsonValue* error = get_member(document->root(), "error");
  return result != nullptr && result->is_null() && (error == nullptr || error->is_null());
}

bool same_hash(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

Verdict judge_attempt(const Result<std::pmr::string>& reply, const CallTrace& trace, bool template_call) {
  Verdict verdict;
  if (!reply) {
    const ErrorCode e = reply.error();
    verdict.marks_down = e != ErrorCode::OutOfMemory && e != ErrorCode::NoSpaceLeft && e != ErrorCode::StreamTooLong;
    write_fault(verdict.why, "error.", error_name(e));
    return verdict;
  }
  if (trace.status == 503) {
    verdict.marks_down = true;
    write_fault(verdict.why, "HTTP 503");
    return verdict;
  }
  if (template_call) {
    if (auto code = busy_code(*reply)) {
      char digits[24];
      const auto end = std::to_chars(digits, digits + sizeof digits, *code).ptr;
      verdict.marks_down = true;
      write_fault(verdict.why, "RPC error ", std::string_view(digits, static_cast<std::size_t>(end - digits)));
      return verdict;
    }
  }
  verdict.served = true;
  return verdict;
}

DaemonPool::DaemonPool(std::size_t daemon, std::string_view chain, std::span<const ChainEndpoint> nodes)
    : daemon_(daemon), chain_(chain), clock_(steady_now), nodes_(new Node[nodes.size()]), count_(nodes.size()) {
  for (std::size_t i = 0; i < count_; ++i) {
    nodes_[i].endpoint = nodes[i];
    metrics::node_up(daemon_, i, true);
  }
  metrics::active_node(daemon_, 0);
}

bool DaemonPool::claim(std::size_t node, std::int64_t now) {
  Node& n = nodes_[node];
  if (!n.down.load(std::memory_order_relaxed)) return true;
  std::int64_t due = n.retry_at.load(std::memory_order_relaxed);
  if (now < due) return false;
  return n.retry_at.compare_exchange_strong(due, now + kNodeRetryNs, std::memory_order_relaxed);
}

std::size_t DaemonPool::order(const CallRules& rules, std::array<std::size_t, kMaxBackups + 1>& out,
                              std::size_t* ready) {
  const std::int64_t now = clock_();
  std::array<std::size_t, kMaxBackups + 1> resting{};
  std::size_t taken = 0, rested = 0;
  auto consider = [&](std::size_t node) {
    if (claim(node, now)) {
      out[taken++] = node;
    } else {
      resting[rested++] = node;
    }
  };
  if (rules.first && *rules.first < count_) consider(*rules.first);
  for (std::size_t i = 0; i < count_; ++i) {
    if (rules.first != i) consider(i);
  }
  if (ready != nullptr) *ready = taken;
  for (std::size_t i = 0; i < rested; ++i) out[taken++] = resting[i];
  return taken;
}

void DaemonPool::mark_down(std::size_t node, const NodeFault& why, std::size_t next) {
  Node& n = nodes_[node];
  n.retry_at.store(clock_() + kNodeRetryNs, std::memory_order_relaxed);
  if (n.down.exchange(true, std::memory_order_relaxed)) return;  // already down: said before
  metrics::node_up(daemon_, node, false);
  const Endpoint& at = n.endpoint.endpoint;
  const Endpoint& to = nodes_[next].endpoint.endpoint;
  if (chain_.empty()) {
    log_line(LogLevel::warning, LogScope::rpc,
             {"parent daemon ", at.host, ":", at.port, " down (", why.view(), "), using ", to.host, ":", to.port});
  } else {
    log_line(LogLevel::warning, LogScope::rpc,
             {chain_, " daemon ", at.host, ":", at.port, " down (", why.view(), "), using ", to.host, ":", to.port});
  }
}

void DaemonPool::mark_up(std::size_t node) {
  Node& n = nodes_[node];
  if (!n.down.load(std::memory_order_relaxed) || !n.down.exchange(false, std::memory_order_relaxed)) return;
  metrics::node_up(daemon_, node, true);
  const Endpoint& at = n.endpoint.endpoint;
  if (chain_.empty()) {
    log_line(LogLevel::info, LogScope::rpc, {"parent daemon ", at.host, ":", at.port, " is back"});
  } else {
    log_line(LogLevel::info, LogScope::rpc, {chain_, " daemon ", at.host, ":", at.port, " is back"});
  }
}

Result<std::pmr::string> DaemonPool::attempt(std::size_t node, std::pmr::memory_resource* memory,
                                             std::string_view body, std::uint64_t timeout_ms, bool template_call,
                                             CallTrace& trace, Verdict& verdict) {
  const DaemonCallTimer timer;
  auto reply = skerrow::call(nodes_[node].endpoint, memory, body, timeout_ms, &trace);
  metrics::daemon_call(daemon_, reply ? ErrorCode::None : reply.error(), timer.seconds());
  verdict = judge_attempt(reply, trace, template_call);
  metrics::node_call(daemon_, node, verdict.served);
  return reply;
}

void DaemonPool::settle(std::size_t node, const Verdict& verdict, std::size_t next) {
  if (verdict.served) {
    mark_up(node);
    metrics::active_node(daemon_, node);
  } else if (verdict.marks_down) {
    mark_down(node, verdict.why, next);
  }
}

Result<std::pmr::string> DaemonPool::call(std::pmr::memory_resource* memory, std::string_view body,
                                          std::uint64_t timeout_ms, const CallRules& rules, std::size_t* served_by) {
  std::array<std::size_t, kMaxBackups + 1> line{};
  const std::size_t tries = order(rules, line);
  Result<std::pmr::string> reply = fail(ErrorCode::Unexpected);
  for (std::size_t t = 0; t < tries; ++t) {
    const std::size_t node = line[t];
    CallTrace trace;
    Verdict verdict;
    reply = attempt(node, memory, body, timeout_ms, rules.template_call, trace, verdict);
    const std::size_t next = t + 1 < tries ? line[t + 1] : (node + 1) % count_;
    settle(node, verdict, next);
    if (verdict.served) {
      if (served_by != nullptr) *served_by = node;
      return reply;
    }
    if (!verdict.marks_down) return reply;  // nothing another node would do better
    if (trace.request_sent && !rules.repeatable) return reply;
    if (t + 1 < tries) metrics::node_failover(daemon_, node);
  }
  if (served_by != nullptr) *served_by = line[tries - 1];
  return reply;
}

void DaemonPool::log_submission(std::size_t node, const Result<std::pmr::string>& reply) const {
  const Endpoint& at = nodes_[node].endpoint.endpoint;
  if (!reply) {
    log_line(LogLevel::warning, LogScope::rpc,
             {"submitblock to parent daemon ", at.host, ":", at.port, " failed: ", reply.error()});
    return;
  }
  std::string_view text = *reply;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  const LogSafeText shown(text, kMaxLoggedPoolText);
  log_line(LogLevel::info, LogScope::rpc,
           {"submitblock to parent daemon ", at.host, ":", at.port, ": ", shown.view()});
}

Result<std::pmr::string> DaemonPool::fan_out(std::pmr::memory_resource* memory, std::string_view body,
                                             std::uint64_t timeout_ms) {
  return catch_oom([&]() -> Result<std::pmr::string> {
    std::array<std::size_t, kMaxBackups + 1> line{};
    std::size_t ready = 0;
    const std::size_t listed = order(CallRules{}, line, &ready);
    // Those up (or due for a retry), in node order; with every node resting, all of them.
    const std::size_t sends = ready > 0 ? ready : listed;

    struct Outcome {
      PageArena arena;  // each thread's own: the request's arena is not shared between threads
      std::optional<Result<std::pmr::string>> reply;
      CallTrace trace;
      Verdict verdict;
    };
    std::vector<Outcome> outcomes(sends);
    auto run = [&](std::size_t k) {
      Outcome& o = outcomes[k];
      o.reply.emplace(attempt(line[k], &o.arena, body, timeout_ms, false, o.trace, o.verdict));
    };
    std::vector<std::thread> threads;
    threads.reserve(sends);
    for (std::size_t k = 1; k < sends; ++k) {
      try {
        threads.emplace_back(run, k);
      } catch (const std::exception&) {
        run(k);  // no thread to be had: this node waits its turn
      }
    }
    run(0);
    for (std::thread& t : threads) t.join();

    std::optional<std::size_t> chosen;
    for (std::size_t k = 0; k < sends; ++k) {
      Outcome& o = outcomes[k];
      settle(line[k], o.verdict, line[(k + 1) % sends]);
      log_submission(line[k], *o.reply);
      if (!chosen && o.verdict.served && took_block(**o.reply)) chosen = k;
    }
    if (!chosen) {
      for (std::size_t k = 0; k < sends && !chosen; ++k) {
        if (*outcomes[k].reply) chosen = k;
      }
    }
    const Result<std::pmr::string>& answer = *outcomes[chosen.value_or(0)].reply;
    if (!answer) return fail(answer.error());
    return std::pmr::string(*answer, memory);
  });
}

void DaemonPool::remember_issuer(std::string_view hash, std::size_t node) {
  if (hash.size() != 64) return;
  FutexLock guard(issued_lock_);
  for (Issued& entry : issued_) {
    if (entry.used && same_hash({entry.hash.data(), 64}, hash)) {
      entry.node = node;
      return;
    }
  }
  Issued& entry = issued_[issued_next_];
  std::copy(hash.begin(), hash.end(), entry.hash.begin());
  entry.node = node;
  entry.used = true;
  issued_next_ = (issued_next_ + 1) % kIssuedKept;
}

std::optional<std::size_t> DaemonPool::issuer(std::string_view hash) const {
  if (hash.size() != 64) return std::nullopt;
  FutexLock guard(issued_lock_);
  for (const Issued& entry : issued_) {
    if (entry.used && same_hash({entry.hash.data(), 64}, hash)) return entry.node;
  }
  return std::nullopt;
}

namespace {

// The pool of a daemon and its backups, never freed (like the Config). REQUIRES: backups.
DaemonPool* make_pool(std::size_t daemon, std::string_view chain, const ChainEndpoint& main,
                      const std::vector<BackupDaemon>& backups) {
  std::vector<ChainEndpoint> nodes{main};
  for (const BackupDaemon& backup : backups) nodes.push_back(backup.daemon);
  return new DaemonPool(daemon, chain, nodes);
}

}  // namespace

Result<DaemonPools> make_daemon_pools(const Config& config) {
  return catch_oom([&]() -> Result<DaemonPools> {
    DaemonPools pools;
    if (!config.parent_backups.empty()) {
      pools.parent = make_pool(metrics::kParentDaemon, {}, config.parent, config.parent_backups);
    }
    for (std::size_t i = 0; i < config.aux_chains.size() && i < kMaxAuxChains; ++i) {
      auto pool = make_aux_pool(i, config.aux_chains[i]);
      if (!pool) return fail(pool.error());
      pools.aux[i] = *pool;
    }
    return pools;
  });
}

Result<DaemonPool*> make_aux_pool(std::size_t entry, const AuxChainConfig& chain) {
  if (chain.backups.empty()) return nullptr;
  return catch_oom([&]() -> Result<DaemonPool*> { return make_pool(entry, chain.chain_id, chain.daemon, chain.backups); });
}

bool repeatable_parent_call(std::string_view body, std::optional<std::string_view> method) {
  const std::size_t start = body.find_first_not_of(" \t\r\n");
  if (!method || (start != std::string_view::npos && body[start] == '[')) return false;
  static constexpr std::string_view kRepeatable[] = {
      "getblocktemplate", "submitblock",       "getbestblockhash", "getblockcount",  "getblock",
      "getblockhash",     "getblockheader",    "getblockchaininfo", "getmininginfo", "getnetworkinfo",
      "getdifficulty",    "getrawmempool",     "validateaddress"};
  return std::find(std::begin(kRepeatable), std::end(kRepeatable), *method) != std::end(kRepeatable);
}

}  // namespace skerrow
