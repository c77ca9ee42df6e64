// What the kind queries and the iterators share: the slots of a kind that can
// hold a time window, and the owned copies they return.
//
// A kind whose slots [0, ordered) are proven to carry non-decreasing timestamps
// (see node_ordered_prefix) keeps the versions of a window in one run of that
// prefix, found by binary search; the slots above the prefix are walked. Without
// a proof the prefix is empty and the whole kind is walked.
//
// Thread rules: read-only; slots are read racily and every decision taken on
// them must be confirmed by the guard (cleared_since) before it reaches a caller.
#pragma once

#include <cstdint>

#include "interval_algebra/interval.hpp"
#include "knowledge_graph/graph/knowledge_graph.hpp"

namespace knowledge_graph::graph::detail {

// The slots to examine for a window, in slot order: [begin, end), then [rest, tail).
// Every slot outside them has a timestamp outside the window.
struct SlotWindow {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
  std::uint64_t rest = 0;
  std::uint64_t tail = 0;
};

SlotWindow node_slot_window(const KnowledgeGraph& graph, const Snapshot& snapshot,
                            const interval_algebra::Interval& interval, std::uint64_t kind);
SlotWindow relation_slot_window(const KnowledgeGraph& graph, const Snapshot& snapshot,
                                const interval_algebra::Interval& interval, std::uint64_t kind);

// Whether the interval includes every timestamp.
constexpr bool covers_all(const interval_algebra::Interval& interval) {
  return interval.includes(0) && interval.includes(~std::uint64_t{0});
}

// A value position outside the array names no value: the item carries Empty.
NodeItem make_node_item(const KnowledgeGraph& graph, const NodeRecord& slot);
RelationItem make_relation_item(const KnowledgeGraph& graph, const RelationRecord& slot);
// The same, into an item the caller has made room for.
void copy_node_item(const KnowledgeGraph& graph, const NodeRecord& slot, NodeItem& item);
void copy_relation_item(const KnowledgeGraph& graph, const RelationRecord& slot,
                        RelationItem& item);

}  // namespace knowledge_graph::graph::detail
