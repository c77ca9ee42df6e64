// Compaction: drops the history before a point in time and moves the versions
// that stay down to the bottom of their arrays, in place.
//
// The plan is made first, from reads only: which slots each kind keeps and where
// every kept payload goes. Kept versions and payloads only ever move down (to a
// position at or below their own), and they are moved in ascending order, so a
// move never overwrites a version or payload that is still to be moved. Readers
// are kept out by the slot-reuse guard from the first move until the compacted
// buffer is published.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/raw_span.hpp"
#include "knowledge_graph/graph/recorder_link.hpp"
#include "knowledge_graph/graph/write_gate.hpp"
#include "lookup_index_writer.hpp"
#include "racy_copy.hpp"
#include "slot_reuse.hpp"
#include "writer_steps.hpp"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#endif

namespace knowledge_graph::graph {
namespace {

template <class T> std::atomic_ref<T> shared_word(const T& word) {
  return std::atomic_ref<T>(const_cast<T&>(word));
}

// ---- The plan ----

// What a top-down scan of one kind has seen of each instance so far: whether it
// met the instance's latest version stamped before the window (its "older"
// version, the state at the window's start) and a kept version below that one.
// Open addressing over a power-of-two table sized for the kind's tail.
class LatestTable {
 public:
  struct Entry {
    std::uint64_t id;
    bool used;
    std::uint32_t older_plus_one;  // the older version's slot + 1; 0: not met yet
    bool recent_below;             // a version stamped in the window lies below it
  };

  void reset(std::uint64_t versions) {
    std::size_t size = 16;
    while (size < 2 * versions) size *= 2;
    entries_.assign(size, Entry{});
    pending_.clear();
  }

  Entry& find(std::uint64_t id) {
    const std::size_t mask = entries_.size() - 1;
    std::size_t at = static_cast<std::size_t>((id * 0x9E3779B97F4A7C15ull) >> 20) & mask;
    while (entries_[at].used && entries_[at].id != id) at = (at + 1) & mask;
    if (!entries_[at].used) {
      entries_[at].used = true;
      entries_[at].id = id;
    }
    return entries_[at];
  }

  // An older version that is not Valid: kept only beside a kept version below it.
  void mark_pending(Entry& entry) {
    pending_.push_back(static_cast<std::size_t>(&entry - entries_.data()));
  }
  const std::vector<std::size_t>& pending() const { return pending_; }
  const Entry& at(std::size_t position) const { return entries_[position]; }

 private:
  std::vector<Entry> entries_;
  std::vector<std::size_t> pending_;
};

// The slots one kind keeps, ascending: every version stamped in the window and,
// per instance, the last one written before it (the state at `keep_since`), when
// Valid. A Removed one stays only when a version below it is kept (timestamps
// that go back): dropping it would bring that version back to life as of times
// in the window.
template <class Record>
void plan_kind(const Record* slots, std::uint64_t tail, std::uint64_t keep_since,
               LatestTable& latest, std::vector<std::uint8_t>& keep,
               std::vector<std::uint32_t>& kept) {
  kept.clear();
  if (tail == 0) return;
  latest.reset(tail);
  keep.assign(tail, 0);
  for (std::uint64_t slot = tail; slot-- > 0;) {
    const Record& record = slots[slot];
    LatestTable::Entry& entry = latest.find(record.instance_id);
    if (record.timestamp >= keep_since) {
      keep[slot] = 1;
      if (entry.older_plus_one != 0) entry.recent_below = true;
    } else if (entry.older_plus_one == 0) {
      entry.older_plus_one = static_cast<std::uint32_t>(slot + 1);
      if (record.marker == Marker::Valid) {
        keep[slot] = 1;
      } else {
        latest.mark_pending(entry);
      }
    }
  }
  for (std::size_t position : latest.pending()) {
    const LatestTable::Entry& entry = latest.at(position);
    if (entry.recent_below) keep[entry.older_plus_one - 1] = 1;
  }
  for (std::uint64_t slot = 0; slot < tail; ++slot)
    if (keep[slot]) kept.push_back(static_cast<std::uint32_t>(slot));
}

constexpr std::uint32_t kDropped = ~std::uint32_t{0};

struct Plan {
  std::vector<std::uint32_t> node_slots[kNodeKinds];
  std::vector<std::uint32_t> relation_slots[kRelationKinds];
  std::vector<std::uint32_t> node_value_to;      // old payload position -> new, or kDropped
  std::vector<std::uint32_t> relation_value_to;
  std::uint64_t node_values = 0;
  std::uint64_t relation_values = 0;
};

// New positions for the payloads that kept versions name, in their old order.
template <class Record>
std::uint64_t plan_values(const Record* const* kinds, const std::vector<std::uint32_t>* kept,
                          std::size_t kind_count, std::uint64_t values_tail,
                          std::vector<std::uint32_t>& value_to) {
  value_to.assign(values_tail, kDropped);
  for (std::size_t k = 0; k < kind_count; ++k) {
    for (std::uint32_t slot : kept[k]) {
      const std::uint64_t position = kinds[k][slot].value_index;
      if (position < values_tail) value_to[position] = 0;
    }
  }
  std::uint32_t next = 0;
  for (std::uint32_t& to : value_to) {
    if (to != kDropped) to = next++;
  }
  return next;
}

// ---- The moves ----

template <class Value>
void move_values(Value* values, const std::vector<std::uint32_t>& value_to) {
  for (std::size_t from = 0; from < value_to.size(); ++from) {
    const std::uint32_t to = value_to[from];
    if (to != kDropped && to != from) std::memcpy(&values[to], &values[from], sizeof(Value));
  }
}

template <class Record>
void move_versions(Record* slots, const std::vector<std::uint32_t>& kept,
                   const std::vector<std::uint32_t>& value_to) {
  for (std::size_t to = 0; to < kept.size(); ++to) {
    const std::uint32_t from = kept[to];
    if (from != to) std::memcpy(&slots[to], &slots[from], sizeof(Record));
    const std::uint64_t position = slots[to].value_index;
    if (position < value_to.size()) slots[to].value_index = value_to[position];
  }
}


}  // namespace

// ---- The guard ----

namespace detail {

namespace {

// The graph and epoch of a compaction this process has given up waiting for.
std::atomic<std::uint64_t> stalled_key{0};

std::uint64_t stall_key(const KnowledgeGraph& graph, std::uint16_t epoch) {
  return (reinterpret_cast<std::uintptr_t>(&graph) << 17) ^ (std::uint64_t{epoch} << 1) ^ 1u;
}

std::uint16_t load_epoch(const KnowledgeGraph& graph) {
  return shared_word(graph.clear_epoch).load(std::memory_order_acquire);
}

void pause() {
#if defined(__x86_64__) || defined(_M_X64)
  _mm_pause();
#endif
}

}  // namespace

void begin_slot_reuse(KnowledgeGraph& graph) {
  shared_word(graph.guard_mark).store(KnowledgeGraph::kCompactingMark, std::memory_order_relaxed);
  // Odd: what readers copy from now on may be rewritten until the flip settles it.
  const std::uint16_t epoch = shared_word(graph.clear_epoch).load(std::memory_order_relaxed);
  const auto odd = static_cast<std::uint16_t>((epoch & 1u) ? epoch + 2 : epoch + 1);
  shared_word(graph.clear_epoch).store(odd, std::memory_order_release);
  guard_fence(std::memory_order_release);  // before the first slot moves
}

void end_slot_reuse(KnowledgeGraph& graph) {
  shared_word(graph.guard_mark).store(KnowledgeGraph::kGuardMark, std::memory_order_release);
}

bool slot_reuse_in_progress(const KnowledgeGraph& graph) {
  return shared_word(graph.guard_mark).load(std::memory_order_acquire) ==
         KnowledgeGraph::kCompactingMark;
}

bool wait_out_slot_reuse(const KnowledgeGraph& graph) {
  if (!slot_reuse_in_progress(graph)) return true;
  std::uint16_t epoch = load_epoch(graph);
  if (stalled_key.load(std::memory_order_relaxed) == stall_key(graph, epoch)) return false;
  using Clock = std::chrono::steady_clock;
  const auto bound = std::chrono::milliseconds(KnowledgeGraph::kCompactionWaitMilliseconds);
  auto deadline = Clock::now() + bound;
  for (unsigned spin = 0; slot_reuse_in_progress(graph); ++spin) {
    if (spin < 256) {
      pause();
      continue;
    }
    std::this_thread::yield();
    if (spin % 64 != 0) continue;
    const std::uint16_t now_epoch = load_epoch(graph);
    if (now_epoch != epoch) {  // another compaction: its writer is alive
      epoch = now_epoch;
      deadline = Clock::now() + bound;
    } else if (Clock::now() > deadline) {
      // A writer that is alive but stopped or slow is waited for: giving up
      // would show readers an empty graph its host never published.
      if (gated_writer_alive(graph) == 1) {
        deadline = Clock::now() + bound;
        continue;
      }
      stalled_key.store(stall_key(graph, epoch), std::memory_order_relaxed);
      return false;
    }
  }
  return true;
}

}  // namespace detail

bool KnowledgeGraph::compaction_in_progress() const { return detail::slot_reuse_in_progress(*this); }

bool KnowledgeGraph::compaction_stalled() const {
  return detail::slot_reuse_in_progress(*this) &&
         detail::stalled_key.load(std::memory_order_relaxed) ==
             detail::stall_key(*this, detail::load_epoch(*this));
}

// ---- compact ----

namespace {

// The working state a compaction starts from: tails past an array's end (a record
// some earlier build filled over) stand for a full array.
GraphIndices compaction_base(KnowledgeGraph& graph) {
  GraphIndices w = detail::WriterSteps::working_buffer(graph);
  for (auto& tail : w.node_index_tail) tail = std::min(tail, kNodeVersionsPerKind);
  for (auto& tail : w.relation_index_tail) tail = std::min(tail, kRelationVersionsPerKind);
  w.nodes_tail = std::min(w.nodes_tail, kNodeValues);
  w.relations_tail = std::min(w.relations_tail, kRelationValues);
  return w;
}

// What compact(keep_since) keeps of `w`, from reads only; whether it drops anything.
bool plan_compaction(const KnowledgeGraph& graph, const GraphIndices& w, std::uint64_t keep_since,
                     Plan& plan, std::uint64_t& kept_versions) {
  LatestTable latest;
  std::vector<std::uint8_t> keep;
  bool drops = false;
  kept_versions = 0;
  const NodeRecord* node_kinds[kNodeKinds];
  for (std::uint64_t k = 0; k < kNodeKinds; ++k) {
    node_kinds[k] = graph.node_records[k];
    plan_kind(graph.node_records[k], w.node_index_tail[k], keep_since, latest, keep, plan.node_slots[k]);
    drops |= plan.node_slots[k].size() != w.node_index_tail[k];
    kept_versions += plan.node_slots[k].size();
  }
  const RelationRecord* relation_kinds[kRelationKinds];
  for (std::uint64_t k = 0; k < kRelationKinds; ++k) {
    relation_kinds[k] = graph.relation_records[k];
    plan_kind(graph.relation_records[k], w.relation_index_tail[k], keep_since, latest, keep,
              plan.relation_slots[k]);
    drops |= plan.relation_slots[k].size() != w.relation_index_tail[k];
    kept_versions += plan.relation_slots[k].size();
  }
  plan.node_values =
      plan_values(node_kinds, plan.node_slots, kNodeKinds, w.nodes_tail, plan.node_value_to);
  plan.relation_values = plan_values(relation_kinds, plan.relation_slots, kRelationKinds,
                                     w.relations_tail, plan.relation_value_to);
  return drops || plan.node_values != w.nodes_tail || plan.relation_values != w.relations_tail;
}

// The state the plan leaves.
GraphIndices planned_state(const GraphIndices& w, const Plan& plan) {
  GraphIndices after = w;
  for (std::uint64_t k = 0; k < kNodeKinds; ++k) after.node_index_tail[k] = plan.node_slots[k].size();
  for (std::uint64_t k = 0; k < kRelationKinds; ++k)
    after.relation_index_tail[k] = plan.relation_slots[k].size();
  after.nodes_tail = plan.node_values;
  after.relations_tail = plan.relation_values;
  return after;
}

void apply_compaction(KnowledgeGraph& graph, GraphIndices& w, const Plan& plan, std::uint64_t keep_since) {
  const GraphIndices from = w;
  detail::recorder_before_reuse(graph);  // an attached recorder first takes what it still needs
  detail::begin_slot_reuse(graph);
  detail::index_cleared(graph);  // its slots are about to change
  move_values(graph.node_values, plan.node_value_to);
  move_values(graph.relation_values, plan.relation_value_to);
  for (std::uint64_t k = 0; k < kNodeKinds; ++k)
    move_versions(graph.node_records[k], plan.node_slots[k], plan.node_value_to);
  for (std::uint64_t k = 0; k < kRelationKinds; ++k)
    move_versions(graph.relation_records[k], plan.relation_slots[k], plan.relation_value_to);
  w = planned_state(w, plan);
  // The index links versions through their padding: relink the moved ones now,
  // while readers wait, rather than at the next write under their eyes.
  detail::index_begin_write(graph, w);
  detail::index_expect_buffer_write(graph);
  detail::recorder_compacting(graph, keep_since, from, w);  // a recorder keeps a mark, not copies
  detail::WriterSteps::publish(graph, w);  // the flip settles the clear epoch
  detail::overwrite_inactive(graph, w);
  detail::end_slot_reuse(graph);
}

}  // namespace

WriteResult<std::uint64_t> KnowledgeGraph::compact(std::uint64_t keep_since) {
  if (!writes_admitted(*this)) return {0, WriteStatus::NotWriter};
  if (!autocommit_enabled()) return {0, WriteStatus::InsideBatch};
  GraphIndices w = compaction_base(*this);
  Plan plan;
  std::uint64_t kept_versions = 0;
  if (plan_compaction(*this, w, keep_since, plan, kept_versions)) apply_compaction(*this, w, plan, keep_since);
  return {kept_versions, WriteStatus::Stored};
}

InstallResult install_compaction(KnowledgeGraph& graph, const GraphIndices& from, const GraphIndices& to,
                                 std::uint64_t keep_since, std::span<const std::byte> appended) {
  if (!writes_admitted(graph))
    return {InstallStatus::Refused, "this process is not the region's writer"};
  if (!graph.autocommit_enabled()) return {InstallStatus::BaseMismatch, "the graph is inside a batch"};
  GraphIndices w = compaction_base(graph);
  if (std::memcmp(&w, &from, sizeof w) != 0)
    return {InstallStatus::BaseMismatch, "the graph does not hold the state the compaction starts from"};
  Plan plan;
  std::uint64_t kept_versions = 0;
  if (!plan_compaction(graph, w, keep_since, plan, kept_versions))
    return {InstallStatus::Refused, "a compaction keeping what was written since " + std::to_string(keep_since) +
                                        " drops nothing here"};
  // The span must fit the compacted state exactly, checked before anything moves.
  const GraphIndices compacted = planned_state(w, plan);
  const bool appends = std::memcmp(&compacted, &to, sizeof to) != 0;
  if (appends || !appended.empty())
    if (auto error = raw_span_error(compacted, to, appended, false))
      return {InstallStatus::Refused, "after a compaction keeping what was written since " +
                                          std::to_string(keep_since) + ": " + *error};
  apply_compaction(graph, w, plan, keep_since);
  if (!appends) return {InstallStatus::Installed, {}};
  return install_raw_span(graph, compacted, to, appended, false);
}

}  // namespace knowledge_graph::graph
