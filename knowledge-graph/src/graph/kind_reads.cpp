// The slot windows of the kind reads and the items they copy out.
#include "kind_reads.hpp"

#include <algorithm>

#include "knowledge_graph/graph/lookup_index.hpp"
#include "racy_copy.hpp"

namespace knowledge_graph::graph::detail {
namespace {

using interval_algebra::Interval;

// The window's run within slots [0, ordered), whose timestamps do not decrease.
// The run's ends are confirmed against their neighbours; anything that does not
// fit an ordered kind (a damaged timestamp the search met) walks the whole kind.
template <class Record>
SlotWindow window_of(const Record* slots, std::uint64_t tail, std::uint64_t ordered,
                     const Interval& interval) {
  const SlotWindow walk_all{0, 0, 0, tail};
  ordered = std::min(ordered, tail);
  if (ordered < 2 || covers_all(interval)) return walk_all;
  const auto bits = static_cast<std::uint8_t>(interval.ty);
  // includes(t) is exactly !before(t) && !after(t); both are monotone in t.
  const auto before = [&](std::uint64_t t) {
    return (bits & 1) ? t < interval.start : t <= interval.start;
  };
  const auto after = [&](std::uint64_t t) { return (bits & 2) ? t > interval.end : t >= interval.end; };
  const auto at = [&](std::uint64_t slot) { return racy_word(slots[slot].timestamp); };
  // The first slot for which `past` holds, in [from, ordered).
  const auto first = [&](std::uint64_t from, auto past) {
    std::uint64_t low = from, count = ordered - from;
    while (count > 0) {
      const std::uint64_t half = count / 2;
      if (!past(at(low + half))) {
        low += half + 1;
        count -= half + 1;
      } else {
        count = half;
      }
    }
    return low;
  };
  const std::uint64_t begin = first(0, [&](std::uint64_t t) { return !before(t); });
  const std::uint64_t end = first(begin, after);
  const bool fits = (begin == 0 || before(at(begin - 1))) &&
                    (begin == ordered || !before(at(begin))) &&
                    (end == ordered || after(at(end))) && (end == begin || !after(at(end - 1)));
  if (!fits) return walk_all;
  return {begin, end, ordered, tail};
}

}  // namespace

SlotWindow node_slot_window(const KnowledgeGraph& graph, const Snapshot& snapshot,
                            const Interval& interval, std::uint64_t kind) {
  if (kind >= kNodeKinds) return {};
  const std::uint64_t tail = std::min(snapshot.indices.node_index_tail[kind], kNodeVersionsPerKind);
  if (tail < 2 || covers_all(interval)) return {0, 0, 0, tail};
  return window_of(graph.node_records[kind], tail, node_ordered_prefix(graph, snapshot, kind),
                   interval);
}

SlotWindow relation_slot_window(const KnowledgeGraph& graph, const Snapshot& snapshot,
                                const Interval& interval, std::uint64_t kind) {
  if (kind >= kRelationKinds) return {};
  const std::uint64_t tail =
      std::min(snapshot.indices.relation_index_tail[kind], kRelationVersionsPerKind);
  if (tail < 2 || covers_all(interval)) return {0, 0, 0, tail};
  return window_of(graph.relation_records[kind], tail,
                   relation_ordered_prefix(graph, snapshot, kind), interval);
}

void copy_node_item(const KnowledgeGraph& graph, const NodeRecord& slot, NodeItem& item) {
  racy_copy_to(item.record, slot);
  if (item.record.value_index < kNodeValues) {
    racy_copy_to(item.value, graph.node_values[item.record.value_index]);
  } else {
    item.value = KnowledgeGraphNode{};
  }
}

void copy_relation_item(const KnowledgeGraph& graph, const RelationRecord& slot,
                        RelationItem& item) {
  racy_copy_to(item.record, slot);
  if (item.record.value_index < kRelationValues) {
    racy_copy_to(item.value, graph.relation_values[item.record.value_index]);
  } else {
    item.value = KnowledgeGraphRelation{};
  }
}

NodeItem make_node_item(const KnowledgeGraph& graph, const NodeRecord& slot) {
  NodeItem item;
  copy_node_item(graph, slot, item);
  return item;
}

RelationItem make_relation_item(const KnowledgeGraph& graph, const RelationRecord& slot) {
  RelationItem item;
  copy_relation_item(graph, slot, item);
  return item;
}

}  // namespace knowledge_graph::graph::detail
