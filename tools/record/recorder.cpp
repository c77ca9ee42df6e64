#include "recorder.hpp"

#include <chrono>
#include <cstring>
#include <vector>
#include <random>

#if defined(_WIN32)
#include <process.h>
#define varnel_getpid _getpid
#else
#include <unistd.h>
#define varnel_getpid getpid
#endif

namespace varnel::record {
namespace {

namespace kg = knowledge_graph::graph;

template <class T> std::atomic_ref<T> word(T& shared) { return std::atomic_ref<T>(shared); }
template <class T> std::atomic_ref<T> word(const T& shared) {
  return std::atomic_ref<T>(const_cast<T&>(shared));
}

bool same_tails(const kg::GraphIndices& a, const kg::GraphIndices& b) {
  return a.node_index_tail == b.node_index_tail && a.relation_index_tail == b.relation_index_tail;
}

// A still heartbeat for this long means the registered recorder is gone.
constexpr auto kTakeOverAfter = std::chrono::milliseconds(300);
// Entries handed on per poll, so that the caller can look at its stop flag.
constexpr std::size_t kPollBudget = 4096;
constexpr std::size_t kGapCheck = 256;  // publications copied between two reads of the gap count
// A published state that changed this long ago without a log entry: the writer
// does not log.
constexpr auto kUnloggedAfter = std::chrono::milliseconds(250);

}  // namespace

LiveRecorder::LiveRecorder(const kg::KnowledgeGraph& graph, kg::RecorderLink& link)
    : graph_(graph), link_(link) {}

LiveRecorder::~LiveRecorder() { detach(); }

bool LiveRecorder::attach(std::uint64_t wait_micros, std::string& error) {
  std::random_device entropy;
  token_ = (static_cast<std::uint64_t>(varnel_getpid()) << 20) | (entropy() & 0xFFFFFu) | 1u;
  wait_micros_ = wait_micros;
  std::uint64_t expected = 0;
  if (!word(link_.recorder).compare_exchange_strong(expected, token_)) {
    const std::uint64_t beat = word(link_.heartbeat).load();
    std::this_thread::sleep_for(kTakeOverAfter);
    if (word(link_.heartbeat).load() != beat ||
        !word(link_.recorder).compare_exchange_strong(expected, token_)) {
      error = "another recorder (process " + std::to_string(expected >> 20) +
              ") is recording this region; stop it first";
      token_ = 0;
      return false;
    }
  }
  word(link_.acknowledged).store(0);
  word(link_.wait_micros).store(wait_micros);
  word(link_.magic).store(kg::kRecorderLinkMagic);
  seen_gaps_ = word(link_.gaps).load();
  beating_ = true;
  heart_ = std::thread([this] {
    while (beating_.load(std::memory_order_relaxed)) {
      word(link_.heartbeat).fetch_add(1, std::memory_order_relaxed);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  return true;
}

void LiveRecorder::detach() {
  if (heart_.joinable()) {
    beating_ = false;
    heart_.join();
  }
  if (token_ != 0) {
    std::uint64_t expected = token_;
    word(link_.recorder).compare_exchange_strong(expected, 0);
    token_ = 0;
  }
}

bool LiveRecorder::copy_versions(const kg::GraphIndices& from, const kg::GraphIndices& to,
                                 Publication& out) const {
  for (std::uint64_t k = 0; k < kg::kNodeKinds; ++k) {
    const std::uint64_t hi = std::min(to.node_index_tail[k], kg::kNodeVersionsPerKind);
    for (std::uint64_t slot = std::min(from.node_index_tail[k], hi); slot < hi; ++slot) {
      NodeItem item{};
      std::memcpy(static_cast<void*>(&item.record), &graph_.node_records[k][slot], sizeof item.record);
      if (item.record.value_index < kg::kNodeValues)
        std::memcpy(static_cast<void*>(&item.value), &graph_.node_values[item.record.value_index],
                    sizeof item.value);
      item.value.tag = k;  // the channel is the version's kind
      out.nodes.push_back(item);
    }
  }
  for (std::uint64_t k = 0; k < kg::kRelationKinds; ++k) {
    const std::uint64_t hi = std::min(to.relation_index_tail[k], kg::kRelationVersionsPerKind);
    for (std::uint64_t slot = std::min(from.relation_index_tail[k], hi); slot < hi; ++slot) {
      RelationItem item{};
      std::memcpy(static_cast<void*>(&item.record), &graph_.relation_records[k][slot], sizeof item.record);
      if (item.record.value_index < kg::kRelationValues)
        std::memcpy(static_cast<void*>(&item.value), &graph_.relation_values[item.record.value_index],
                    sizeof item.value);
      item.value.tag = k;
      out.relations.push_back(item);
    }
  }
  return true;
}

// Whether log entry `number` is a compaction the writer marked; if so, `p` says so.
bool LiveRecorder::compaction_of(std::uint64_t number, const kg::PublicationEntry& entry,
                                 Publication& p) const {
  const std::uint64_t mark = kg::compaction_mark(number, entry.clear_epoch);
  if (word(link_.compaction_entry).load(std::memory_order_acquire) != mark) return false;
  const std::uint64_t keep_since = word(link_.compaction_keep_since).load(std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_acquire);
  if (word(link_.compaction_entry).load(std::memory_order_relaxed) != mark) return false;
  p.compacted = true;
  p.keep_since = keep_since;
  for (auto tail : entry.indices.node_index_tail) p.kept_versions += tail;
  for (auto tail : entry.indices.relation_index_tail) p.kept_versions += tail;
  p.kept_node_payloads = entry.indices.nodes_tail;
  p.kept_relation_payloads = entry.indices.relations_tail;
  return true;
}

void LiveRecorder::restart(const std::function<void(const Publication&)>& sink, bool gap) {
  word(link_.acknowledged).store(0, std::memory_order_release);  // a clear now waits for us
  Publication p;
  kg::Snapshot s{};
  std::uint64_t head = 0;
  for (;;) {
    seen_gaps_ = word(link_.gaps).load(std::memory_order_acquire);
    head = word(link_.published).load(std::memory_order_acquire);
    s = graph_.snapshot();
    p = Publication{};
    p.start = !gap;
    p.gap = gap;
    p.timestamp = s.indices.update_timestamp;
    copy_versions(kg::GraphIndices{}, s.indices, p);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (!graph_.cleared_since(s) && word(link_.gaps).load(std::memory_order_acquire) == seen_gaps_) break;
  }
  tails_ = s.indices;
  epoch_ = s.clear_epoch;
  sequence_ = s.publication_sequence;
  next_ = head;
  word(link_.acknowledged).store(next_ + 1, std::memory_order_release);
  sink(p);
}

void LiveRecorder::start(const std::function<void(const Publication&)>& sink) {
  restart(sink, false);
  quiet_since_ = std::chrono::steady_clock::now();
}

// Takes the active state as one publication standing for all since the last one
// handed on. False when a clear came between: then the recording restarts with a gap.
bool LiveRecorder::catch_up(const std::function<void(const Publication&)>& sink, Publication& p) {
  const std::uint64_t now_head = word(link_.published).load(std::memory_order_acquire);
  const kg::Snapshot s = graph_.snapshot();
  if (s.clear_epoch != epoch_) {
    ++gaps_;
    restart(sink, true);
    return false;
  }
  p.timestamp = s.indices.update_timestamp;
  p.merged = now_head > next_ ? now_head - next_ : 1;
  copy_versions(tails_, s.indices, p);
  std::atomic_thread_fence(std::memory_order_acquire);
  if (graph_.cleared_since(s) || word(link_.gaps).load(std::memory_order_acquire) != seen_gaps_) {
    ++gaps_;
    restart(sink, true);
    return false;
  }
  tails_ = s.indices;
  sequence_ = s.publication_sequence;
  next_ = std::max(next_, now_head);
  return true;
}

std::size_t LiveRecorder::poll(const std::function<void(const Publication&)>& sink, std::uint64_t trail) {
  if (word(link_.recorder).load() != token_) {
    // The writer found us silent and went on: register again and mark the gap.
    std::uint64_t expected = 0;
    if (!word(link_.recorder).compare_exchange_strong(expected, token_)) return 0;
    ++gaps_;
    restart(sink, true);
    return 1;
  }
  std::size_t handed = 0;
  const std::uint64_t head = word(link_.published).load(std::memory_order_acquire);
  if (next_ == head) {
    // Nothing logged. A writer that does not log (a host built without the link)
    // still changes the published state: after a while, take it as it is.
    const auto now = std::chrono::steady_clock::now();
    const kg::Snapshot s = graph_.snapshot();
    if (same_tails(s.indices, tails_) && s.clear_epoch == epoch_) {
      quiet_since_ = now;
    } else if (now - quiet_since_ > kUnloggedAfter) {
      ++unlogged_;
      Publication p;
      if (!catch_up(sink, p)) return 1;
      p.merged = 0;  // how many is unknown
      word(link_.acknowledged).store(next_ + 1, std::memory_order_release);
      sink(p);
      quiet_since_ = now;
      return 1;
    }
    return 0;
  }
  quiet_since_ = std::chrono::steady_clock::now();
  std::uint64_t until = head;
  if (trail != 0) {
    // A writer waiting for us (before it reuses slots) publishes nothing, so the
    // log stands still and the next call takes everything.
    const bool moving = head != seen_head_;
    seen_head_ = head;
    if (moving) {
      if (head - next_ <= trail + kFollowBatch) return 0;
      until = head - trail;
    }
  }
  // Publications copied but not yet handed on. The writer's gap count sits on the
  // line it stores to at every publication, so it is read once per kGapCheck of
  // them (and before anything else is handed on, and before the acknowledgement),
  // not once per publication. A gap found may have reused slots under any of the
  // copies since the last read: they go with it, and the recording restarts.
  std::vector<Publication> copied;
  const auto hand_copied = [&] {
    if (copied.empty()) return true;
    std::atomic_thread_fence(std::memory_order_acquire);
    if (word(link_.gaps).load(std::memory_order_acquire) != seen_gaps_) {
      ++gaps_;
      restart(sink, true);
      return false;
    }
    for (const Publication& p : copied) sink(p);
    handed += copied.size();
    copied.clear();
    return true;
  };
  while (next_ < until && handed + copied.size() < kPollBudget) {
    kg::PublicationEntry entry{};
    bool whole = head - next_ <= kg::kPublicationLogEntries;
    if (whole) {
      const kg::PublicationEntry& shared = link_.log[next_ % kg::kPublicationLogEntries];
      const std::uint64_t stamp = word(shared.stamp).load(std::memory_order_acquire);
      std::memcpy(static_cast<void*>(&entry), &shared, sizeof entry);
      std::atomic_thread_fence(std::memory_order_acquire);
      whole = stamp == next_ + 1 && word(shared.stamp).load(std::memory_order_relaxed) == stamp;
    }
    Publication p;
    if (!whole) {
      if (!hand_copied() || !catch_up(sink, p)) return handed + 1;
      sink(p);
      ++handed;
      continue;
    }
    const auto ahead = static_cast<std::int32_t>(entry.publication_sequence - sequence_);
    if (ahead < 0 || (ahead == 0 && same_tails(entry.indices, tails_) && entry.clear_epoch == epoch_)) {
      ++next_;  // already in what was recorded
      continue;
    }
    p.timestamp = entry.indices.update_timestamp;
    kg::GraphIndices base = tails_;
    if (entry.clear_epoch != epoch_ && compaction_of(next_, entry, p)) {
      base = entry.indices;  // the kept versions were recorded before
    } else if (entry.clear_epoch != epoch_) {
      base = kg::GraphIndices{};
      p.cleared = true;
    }
    copy_versions(base, entry.indices, p);
    tails_ = entry.indices;
    epoch_ = entry.clear_epoch;
    sequence_ = entry.publication_sequence;
    ++next_;
    copied.push_back(std::move(p));
    if (copied.size() >= kGapCheck && !hand_copied()) return handed + 1;
  }
  if (!hand_copied()) return handed + 1;
  word(link_.acknowledged).store(next_ + 1, std::memory_order_release);
  return handed;
}

}  // namespace varnel::record
