// The record's bookkeeping: default state, the two buffers, publication,
// transactions and the reader guard.
#include "knowledge_graph/graph/knowledge_graph.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <unordered_map>

#include "knowledge_graph/graph/lookup_index.hpp"
#include "knowledge_graph/graph/publication_signal.hpp"
#include "knowledge_graph/graph/recorder_link.hpp"
#include "knowledge_graph/graph/write_gate.hpp"
#include "lookup_index_writer.hpp"
#include "racy_copy.hpp"
#include "slot_reuse.hpp"
#include "writer_steps.hpp"

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

void forget_batch(const KnowledgeGraph& graph);

}  // namespace

void KnowledgeGraph::Deleter::operator()(KnowledgeGraph* graph) const {
  if (graph != nullptr) {
    detach_lookup_index(*graph);
    detach_recorder_link(*graph);
    forget_batch(*graph);
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

// ---- The writer's batch ----
//
// Which batch is open is the writer's own knowledge, kept in this process per
// mapping of the record, never in the record: a writer that dies mid-batch
// leaves nothing that a later writer could continue or commit, and readers need
// none of it. The batch is trusted only while the record still shows this
// writer's last buffer write (same publication sequence, same active buffer):
// an autocommit write, another writer or a record reused at the same address
// all close it.
namespace {

struct Batch {
  bool open = false;
  // The batch emptied the graph and readers still see the graph before it.
  bool cleared = false;
  std::uint32_t sequence = 0;           // publication_sequence after the last buffer write
  std::uint64_t active = 0;             // active buffer when the batch last wrote
};

std::mutex batches_mutex;
std::unordered_map<const KnowledgeGraph*, Batch> batches;
std::atomic<std::uint64_t> batches_forgotten{0};  // moves with every erase

// The entry of `graph`; references into the map stay valid while others come and
// go. Each thread remembers the last one it used, so that a batch's writes take
// no lock; an erase (a graph freed, perhaps another at its address) voids that.
Batch& batch_of(const KnowledgeGraph& graph) {
  thread_local const KnowledgeGraph* last_graph = nullptr;
  thread_local Batch* last = nullptr;
  thread_local std::uint64_t last_forgotten = 0;
  const std::uint64_t forgotten = batches_forgotten.load(std::memory_order_acquire);
  if (last_graph == &graph && last_forgotten == forgotten) return *last;
  const std::lock_guard<std::mutex> lock(batches_mutex);
  last = &batches[&graph];
  last_graph = &graph;
  last_forgotten = forgotten;
  return *last;
}

void forget_batch(const KnowledgeGraph& graph) {
  const std::lock_guard<std::mutex> lock(batches_mutex);
  batches.erase(&graph);
  batches_forgotten.fetch_add(1, std::memory_order_release);
}

std::uint32_t load_sequence(const KnowledgeGraph& graph) {
  return shared_word(graph.publication_sequence).load(std::memory_order_relaxed);
}

bool batch_is_open(const KnowledgeGraph& graph, const Batch& batch) {
  return batch.open && batch.sequence == load_sequence(graph) &&
         batch.active == graph.active_buffer();
}

// Whether `candidate` lies below `published` in any array: appending at its
// tails would rewrite slots that readers of `published` see.
bool falls_behind(const GraphIndices& candidate, const GraphIndices& published) {
  for (std::size_t k = 0; k < kNodeKinds; ++k)
    if (candidate.node_index_tail[k] < published.node_index_tail[k]) return true;
  for (std::size_t k = 0; k < kRelationKinds; ++k)
    if (candidate.relation_index_tail[k] < published.relation_index_tail[k]) return true;
  return candidate.nodes_tail < published.nodes_tail ||
         candidate.relations_tail < published.relations_tail;
}

}  // namespace

void KnowledgeGraph::set_autocommit(bool value) {
  if (!writes_admitted(*this)) return;
  shared_word(autocommit).exchange(value ? 1 : 0, std::memory_order_seq_cst);
  // Back to autocommit: an uncommitted batch is dropped. Readers still see what
  // was published before it, or the empty graph if the batch had to publish that
  // before rewriting a slot; either way nothing is taken back or added.
  if (value) batch_of(*this) = Batch{};
  // A compaction left unfinished by a dead writer: slots are half moved below the
  // published tails, so the graph is cleared (every host's set-up comes here).
  if (value && detail::slot_reuse_in_progress(*this)) clear();
}

// The clear epoch: odd only while a publication that empties the graph is under
// way (odd before the empty buffer can become active, even again right after the
// flip). A reader that loads an even epoch e sees every flip made before e was
// stored; every slot write that reuses a slot comes after the epoch moved.
static void store_clear_epoch(const KnowledgeGraph& graph, std::uint16_t value) {
  shared_word(graph.clear_epoch).store(value, std::memory_order_release);
  detail::guard_fence(std::memory_order_release);  // before the slot writes that follow
}

static std::uint16_t load_clear_epoch(const KnowledgeGraph& graph) {
  return shared_word(graph.clear_epoch).load(std::memory_order_relaxed);
}

// Before a flip that shrinks the published tails.
static void begin_clear_epoch(const KnowledgeGraph& graph) {
  const std::uint16_t epoch = load_clear_epoch(graph);
  if (!(epoch & 1u)) store_clear_epoch(graph, static_cast<std::uint16_t>(epoch + 1));
}

// After a flip. Also settles an epoch left odd by a writer that died mid-clear.
// Whether it settled one: only then does the epoch readers see change.
static bool settle_clear_epoch(const KnowledgeGraph& graph) {
  const std::uint16_t epoch = load_clear_epoch(graph);
  if (!(epoch & 1u)) return false;
  store_clear_epoch(graph, static_cast<std::uint16_t>(epoch + 1));
  return true;
}

GraphIndices KnowledgeGraph::working_buffer() {
  if (autocommit_enabled()) return indices[active_buffer()];
  // Transaction mode without an open batch: the inactive buffer is stale (it lags
  // behind the published one), so the write opens the batch itself.
  if (!batch_is_open(*this, batch_of(*this))) start_transaction();
  return indices[1 - active_buffer()];
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

// Flips `active_indices` to `buffer`; an emptying publication has moved the epoch
// to odd before, and this settles it before any slot is reused.
static void flip_to(KnowledgeGraph& graph, std::uint64_t buffer) {
  shared_word(graph.active_indices).exchange(buffer, std::memory_order_seq_cst);
  if (settle_clear_epoch(graph)) detail::index_published(graph);
  detail::recorder_published(graph, graph.indices[buffer]);
  detail::signal_published(graph);
}

void detail::overwrite_inactive(KnowledgeGraph& graph, const GraphIndices& buffer) {
  detail::index_expect_buffer_write(graph);
  begin_buffer_write(graph);
  graph.indices[1 - graph.active_buffer()] = buffer;
}

void KnowledgeGraph::publish(const GraphIndices& working) {
  const std::uint64_t a = active_buffer();
  begin_buffer_write(*this);
  indices[1 - a] = working;
  if (autocommit_enabled()) {
    flip_to(*this, 1 - a);
    return;
  }
  Batch& batch = batch_of(*this);
  batch.open = true;
  batch.sequence = load_sequence(*this);
  batch.active = a;
}

void KnowledgeGraph::protect_published_slots(const GraphIndices& working) {
  if (autocommit_enabled()) return;
  Batch& batch = batch_of(*this);
  if (!batch.cleared) return;
  const std::uint64_t a = active_buffer();
  if (!falls_behind(working, indices[a])) return;
  // The batch emptied the graph and is about to rewrite a slot that readers see:
  // it publishes the empty graph first, with the last update readers know (the
  // batch's own times are not committed). The batch goes on in the other buffer.
  GraphIndices empty{};
  empty.update_timestamp = indices[a].update_timestamp;
  begin_clear_epoch(*this);
  detail::index_expect_buffer_write(*this);
  begin_buffer_write(*this);
  indices[1 - a] = empty;
  flip_to(*this, 1 - a);
  batch.cleared = false;
  batch.sequence = load_sequence(*this);
  batch.active = 1 - a;
}

void KnowledgeGraph::clear() {
  if (!writes_admitted(*this)) return;
  detail::recorder_before_reuse(*this);  // an attached recorder first takes what it still needs
  GraphIndices working = working_buffer();
  working.node_index_tail.fill(0);
  working.nodes_tail = 0;
  working.relation_index_tail.fill(0);
  working.relations_tail = 0;
  if (autocommit_enabled()) {
    // Odd before the emptied buffer can become active, so a reader that sees it
    // also sees that a clear separates it from what it read before; the flip
    // settles the epoch before any later write reuses a slot.
    begin_clear_epoch(*this);
  } else {
    // Readers keep the published graph: the batch's appends go to slots above
    // its tails until one would rewrite a slot below them.
    batch_of(*this).cleared = true;
  }
  publish(working);
  detail::index_cleared(*this);
  // A compaction whose writer died left slots half moved: once this clear is
  // what readers see, they may read again.
  if (autocommit_enabled() && detail::slot_reuse_in_progress(*this)) detail::end_slot_reuse(*this);
}

void KnowledgeGraph::start_transaction() {
  if (!writes_admitted(*this)) return;
  const std::uint64_t a = active_buffer();
  detail::index_expect_buffer_write(*this);
  begin_buffer_write(*this);
  indices[1 - a] = indices[a];
  Batch& batch = batch_of(*this);
  batch = Batch{};
  batch.open = true;
  batch.sequence = load_sequence(*this);
  batch.active = a;
}

void KnowledgeGraph::commit_transaction() {
  if (!writes_admitted(*this)) return;
  Batch& batch = batch_of(*this);
  // No open batch (autocommit mode, a second commit, a batch closed by another
  // writer): the inactive buffer holds no batch, and publishing it would take
  // back published writes. Nothing changes.
  if (!batch_is_open(*this, batch)) {
    batch = Batch{};
    return;
  }
  // A batch that emptied the graph without publishing the empty graph shrinks
  // the tails now: later writes reuse slots that readers of the old graph see.
  if (batch.cleared) begin_clear_epoch(*this);
  flip_to(*this, 1 - active_buffer());
  batch = Batch{};
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
