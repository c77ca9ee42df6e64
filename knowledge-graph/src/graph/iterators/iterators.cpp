// NodeIterator and RelationIterator: the time-filtered walk over one kind.
#include "knowledge_graph/graph/iterators.hpp"

#include <algorithm>
#include <atomic>

#include "../kind_reads.hpp"
#include "../racy_copy.hpp"

namespace knowledge_graph::graph::iterators {
namespace {

// A caller's buffer copy with the guard read now; tails clamped to the capacities.
Snapshot adopt_indices(const KnowledgeGraph& graph, const GraphIndices& indices) {
  Snapshot taken{};
  taken.indices = indices;
  for (auto& tail : taken.indices.node_index_tail) tail = std::min(tail, kNodeVersionsPerKind);
  for (auto& tail : taken.indices.relation_index_tail)
    tail = std::min(tail, kRelationVersionsPerKind);
  taken.active = graph.active_buffer();
  auto& mutable_graph = const_cast<KnowledgeGraph&>(graph);  // atomic loads only
  taken.publication_sequence =
      std::atomic_ref(mutable_graph.publication_sequence).load(std::memory_order_acquire);
  taken.clear_epoch = std::atomic_ref(mutable_graph.clear_epoch).load(std::memory_order_acquire);
  return taken;
}

// The step shared by both walks. `tail` is the snapshot's tail for the kind,
// `slots` the kind's array. Every decision taken on a slot (yield or skip) is
// confirmed by a guard check before it reaches the caller: after each item and
// at the end of the walk.
template <class Walk, class Record, class Seek, class MakeItem>
auto step(Walk& walk, std::uint64_t capacity, std::uint64_t tail, const Record* slots, Seek seek,
          MakeItem make_item) -> std::optional<decltype(make_item(slots[0]))> {
  tail = std::min(tail, capacity);
  if (walk.position >= tail) return std::nullopt;  // ended before: stays ended, unchanged
  if (!walk.sought) {
    walk.sought = true;
    const detail::SlotWindow window = seek();
    walk.position = std::max(walk.position, window.begin);
    walk.skip_from = window.end;
    walk.skip_to = window.rest;
  }
  while (walk.position < tail) {
    if (walk.position == walk.skip_from) walk.position = std::max(walk.position, walk.skip_to);
    if (walk.position >= tail) break;
    const Record& slot = slots[walk.position++];
    if (!walk.interval.includes(detail::racy_word(slot.timestamp))) continue;
    auto item = make_item(slot);
    if (walk.graph->cleared_since(walk.snapshot)) break;
    return item;
  }
  if (walk.position < tail || walk.graph->cleared_since(walk.snapshot))
    walk.position = Walk::kOvertaken;
  return std::nullopt;
}

}  // namespace

NodeIterator::NodeIterator(const KnowledgeGraph& graph, const GraphIndices& indices,
                           const interval_algebra::Interval& interval, std::uint64_t type_index)
    : NodeIterator(graph, adopt_indices(graph, indices), interval, type_index) {}

NodeIterator::NodeIterator(const KnowledgeGraph& graph, const Snapshot& snapshot,
                           const interval_algebra::Interval& interval, std::uint64_t type_index)
    : graph(&graph),
      snapshot(snapshot),
      interval(interval),
      type_index(type_index),
      type_count(kNodeKinds),
      position(0) {}

std::optional<NodeItem> NodeIterator::next() {
  if (type_index >= type_count || type_index >= kNodeKinds || overtaken()) return std::nullopt;
  return step(*this, kNodeVersionsPerKind, snapshot.indices.node_index_tail[type_index],
              graph->node_records[type_index],
              [this] { return detail::node_slot_window(*graph, snapshot, interval, type_index); },
              [this](const NodeRecord& slot) { return detail::make_node_item(*graph, slot); });
}

RelationIterator::RelationIterator(const KnowledgeGraph& graph, const GraphIndices& indices,
                                   const interval_algebra::Interval& interval,
                                   std::uint64_t type_index)
    : RelationIterator(graph, adopt_indices(graph, indices), interval, type_index) {}

RelationIterator::RelationIterator(const KnowledgeGraph& graph, const Snapshot& snapshot,
                                   const interval_algebra::Interval& interval,
                                   std::uint64_t type_index)
    : graph(&graph),
      snapshot(snapshot),
      interval(interval),
      type_index(type_index),
      type_count(kRelationKinds),
      position(0) {}

std::optional<RelationItem> RelationIterator::next() {
  if (type_index >= type_count || type_index >= kRelationKinds || overtaken()) return std::nullopt;
  return step(*this, kRelationVersionsPerKind, snapshot.indices.relation_index_tail[type_index],
              graph->relation_records[type_index],
              [this] { return detail::relation_slot_window(*graph, snapshot, interval, type_index); },
              [this](const RelationRecord& slot) { return detail::make_relation_item(*graph, slot); });
}

}  // namespace knowledge_graph::graph::iterators
