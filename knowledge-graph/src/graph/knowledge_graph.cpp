// The record's bookkeeping: default state, the two buffers, publication,
// transactions and the reader guard.
#include "knowledge_graph/graph/knowledge_graph.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "knowledge_graph/graph/lookup_index.hpp"
#include "knowledge_graph/graph/recorder_link.hpp"
#include "lookup_index_writer.hpp"
#include "racy_copy.hpp"
#include "slot_reuse.hpp"

namespace knowledge_graph::graph {
namespace {

// Shared words are read through atomic_ref; a reader's mapping may be read-only,
// which an atomic load of a naturally aligned word never writes to.
template <class T> std::atomic_ref<T> shared_word(const T& word) {
  return std::atomic_ref<T>(const_cast<T&>(word));
}

void clamp_tails(GraphIndices& indices) {
  for (auto& tail : indices.node_index_tail) tail = std::min(tail, kNodeVersionsPerKind);
  for (auto& tail : indices.relation_index_tail) tail = std::min(tail, kRelationVersionsPerKind);
  indices.nodes_tail = std::min(indices.nodes_tail, kNodeValues);
  indices.relations_tail = std::min(indices.relations_tail, kRelationValues);
}

}  // namespace

void KnowledgeGraph::Deleter::operator()(KnowledgeGraph* graph) const {
  if (graph != nullptr) {
    detach_lookup_index(*graph);
    detach_recorder_link(*graph);
  }
  std::free(graph);
}

KnowledgeGraph::Boxed KnowledgeGraph::new_boxed() {
  // calloc hands out zeroed pages without touching them: no 500 MB temporary. The
  // lookup index rides behind the record in the same allocation.
  const std::size_t bytes = lookup_index_offset() + lookup_index_size();
  void* memory = std::calloc(1, bytes);
  if (memory == nullptr) std::abort();
  auto* graph = static_cast<KnowledgeGraph*>(memory);
  graph->initialize();
  attach_region_lookup_index(*graph, bytes);
  return Boxed(graph);
}

KnowledgeGraph* KnowledgeGraph::make_default_in(void* memory) {
  std::memset(memory, 0, sizeof(KnowledgeGraph));
  auto* graph = std::launder(static_cast<KnowledgeGraph*>(memory));
  graph->initialize();
  return graph;
}

void KnowledgeGraph::initialize() { set_autocommit(true); }

bool KnowledgeGraph::autocommit_enabled() const {
  return shared_word(autocommit).load(std::memory_order_acquire) != 0;
}

std::uint64_t KnowledgeGraph::active_buffer() const {
  return shared_word(active_indices).load(std::memory_order_acquire) & 1u;
}

void KnowledgeGraph::set_autocommit(bool value) {
  shared_word(autocommit).exchange(value ? 1 : 0, std::memory_order_seq_cst);
  // Returning to autocommit drops an uncommitted batch. If that batch cleared the
  // graph, its appends may already have reused slots below the published tails:
  // the clear takes effect, so readers never see an overwritten old graph.
  // A compaction left unfinished by a dead writer is cleared the same way.
  if (value && ((shared_word(clear_epoch).load(std::memory_order_relaxed) & 1u) ||
                detail::slot_reuse_in_progress(*this)))
    clear();
}

// The clear epoch: even while no clear waits for its commit, odd while a clear
// published into the inactive buffer (transaction mode) is not yet active. A
// reader that loads an even epoch e sees every flip made before e was stored;
// every slot write that reuses a slot comes after a store that moves the epoch.
static void store_clear_epoch(const KnowledgeGraph& graph, std::uint16_t value) {
  shared_word(graph.clear_epoch).store(value, std::memory_order_release);
  detail::guard_fence(std::memory_order_release);  // before the slot writes that follow
}

static std::uint16_t load_clear_epoch(const KnowledgeGraph& graph) {
  return shared_word(graph.clear_epoch).load(std::memory_order_relaxed);
}

// After a flip: a pending clear is now what readers see.
static void settle_clear_epoch(const KnowledgeGraph& graph) {
  const std::uint16_t epoch = load_clear_epoch(graph);
  if (epoch & 1u) store_clear_epoch(graph, static_cast<std::uint16_t>(epoch + 1));
}

GraphIndices KnowledgeGraph::working_buffer() const {
  // While a clear is pending, this write may reuse slots that readers still see
  // below the active tails: move the epoch first so that they notice.
  const std::uint16_t epoch = load_clear_epoch(*this);
  if (epoch & 1u) store_clear_epoch(*this, static_cast<std::uint16_t>(epoch + 2));
  const std::uint64_t a = active_buffer();
  return autocommit_enabled() ? indices[a] : indices[1 - a];
}

// Seqlock writer step: readers that copied a buffer while this counter moved retry.
// The release store makes a reader that sees the new count also see the flip
// that preceded it, so it never copies the buffer about to be written.
static void begin_buffer_write(KnowledgeGraph& graph) {
  // A compaction's mark stays until its end (or, when its writer died, a clear).
  if (!detail::slot_reuse_in_progress(graph))
    shared_word(graph.guard_mark).store(KnowledgeGraph::kGuardMark, std::memory_order_relaxed);
  auto sequence = shared_word(graph.publication_sequence);
  sequence.store(sequence.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  detail::guard_fence(std::memory_order_release);
}

void KnowledgeGraph::publish(const GraphIndices& working) {
  const std::uint64_t a = active_buffer();
  begin_buffer_write(*this);
  indices[1 - a] = working;
  if (autocommit_enabled()) {
    shared_word(active_indices).exchange(1 - a, std::memory_order_seq_cst);
    settle_clear_epoch(*this);
    detail::index_published(*this);
    detail::recorder_published(*this, working);
  }
}

void KnowledgeGraph::clear() {
  detail::recorder_before_reuse(*this);  // an attached recorder first takes what it still needs
  GraphIndices working = working_buffer();
  working.node_index_tail.fill(0);
  working.nodes_tail = 0;
  working.relation_index_tail.fill(0);
  working.relations_tail = 0;
  // Pending (odd) before the emptied buffer can become active, so a reader that
  // sees it also sees the epoch moved and knows a clear separates it from what it
  // read before. The flip settles the epoch (even: a reader that loads it copies
  // the empty buffer, never the old one) before any later write reuses a slot;
  // without a flip the clear stays pending until the commit.
  const std::uint16_t epoch = load_clear_epoch(*this);
  if (!(epoch & 1u)) store_clear_epoch(*this, static_cast<std::uint16_t>(epoch + 1));
  publish(working);
  detail::index_cleared(*this);
  // A compaction whose writer died left slots half moved: once this clear is
  // what readers see, they may read again.
  if (autocommit_enabled() && detail::slot_reuse_in_progress(*this)) detail::end_slot_reuse(*this);
}

void KnowledgeGraph::start_transaction() {
  const std::uint64_t a = active_buffer();
  detail::index_expect_buffer_write(*this);
  begin_buffer_write(*this);
  indices[1 - a] = indices[a];
}

// Whether publishing `candidate` would take back versions that `published` shows.
static bool falls_behind(const GraphIndices& candidate, const GraphIndices& published) {
  for (std::size_t k = 0; k < kNodeKinds; ++k)
    if (candidate.node_index_tail[k] < published.node_index_tail[k]) return true;
  for (std::size_t k = 0; k < kRelationKinds; ++k)
    if (candidate.relation_index_tail[k] < published.relation_index_tail[k]) return true;
  return candidate.nodes_tail < published.nodes_tail ||
         candidate.relations_tail < published.relations_tail;
}

void KnowledgeGraph::commit_transaction() {
  const std::uint64_t a = active_buffer();
  // A commit without a batch behind it (no start_transaction in autocommit mode,
  // where the inactive buffer lags one write behind, or a second commit of one
  // batch) would publish an older state and let the next write reuse published
  // slots. Tails only shrink through a clear, so such a commit is ignored.
  const bool clear_pending = load_clear_epoch(*this) & 1u;
  if (!clear_pending && falls_behind(indices[1 - a], indices[a])) return;
  shared_word(active_indices).exchange(1 - a, std::memory_order_seq_cst);
  settle_clear_epoch(*this);
  detail::index_published(*this);
  detail::recorder_published(*this, indices[1 - a]);
}

Snapshot KnowledgeGraph::snapshot() const {
  for (unsigned attempt = 0;; ++attempt) {
    Snapshot copy{};
    if (!detail::wait_out_slot_reuse(*this)) {
      // The compaction outlasted the wait: an empty graph rather than a torn one.
      copy.compaction_stalled = true;
      copy.clear_epoch = shared_word(clear_epoch).load(std::memory_order_acquire);
      copy.active = active_buffer();
      copy.indices.update_timestamp = detail::racy_copy(indices[copy.active]).update_timestamp;
      return copy;
    }
    copy.publication_sequence = shared_word(publication_sequence).load(std::memory_order_acquire);
    copy.clear_epoch = shared_word(clear_epoch).load(std::memory_order_acquire);
    copy.active = active_buffer();
    copy.indices = detail::racy_copy(indices[copy.active]);
    detail::guard_fence(std::memory_order_acquire);
    if (shared_word(publication_sequence).load(std::memory_order_relaxed) ==
        copy.publication_sequence) {
      clamp_tails(copy.indices);
      return copy;
    }
    if (attempt >= 64) std::this_thread::yield();
  }
}

bool KnowledgeGraph::cleared_since(const Snapshot& taken) const {
  if (taken.compaction_stalled) return false;  // its empty tails read no slot
  detail::guard_fence(std::memory_order_acquire);
  if (detail::slot_reuse_in_progress(*this)) return true;
  return shared_word(clear_epoch).load(std::memory_order_relaxed) != taken.clear_epoch;
}

bool KnowledgeGraph::is_empty() const {
  const GraphIndices now = snapshot().indices;
  return std::all_of(now.node_index_tail.begin(), now.node_index_tail.end(),
                     [](std::uint64_t t) { return t == 0; }) &&
         std::all_of(now.relation_index_tail.begin(), now.relation_index_tail.end(),
                     [](std::uint64_t t) { return t == 0; });
}

std::uint64_t KnowledgeGraph::node_count() const {
  std::uint64_t sum = 0;
  for (std::uint64_t tail : snapshot().indices.node_index_tail) sum += tail;
  return sum;
}

std::uint64_t KnowledgeGraph::relation_count() const {
  std::uint64_t sum = 0;
  for (std::uint64_t tail : snapshot().indices.relation_index_tail) sum += tail;
  return sum;
}

std::uint64_t KnowledgeGraph::last_update() const { return snapshot().indices.update_timestamp; }

}  // namespace knowledge_graph::graph
