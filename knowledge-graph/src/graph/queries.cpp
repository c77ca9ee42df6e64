// The read side: latest versions, instances of a kind within an interval, and
// the iterators' entry points. Every read takes its own snapshot of the active
// buffer and checks the guard after reading slots; a read overtaken by a clear
// starts again from a fresh snapshot, so no caller sees a reused slot's bytes.
//
// Damaged records: tails are clamped by the snapshot, kinds out of range find
// nothing, and a `value_index` outside the value array names no value (the
// lookups answer absent; items carry the Empty value).
#include <map>
#include <utility>

#include "knowledge_graph/graph/iterators.hpp"
#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/lookup_index.hpp"
#include "racy_copy.hpp"

namespace knowledge_graph::graph {
namespace {

using interval_algebra::Interval;

// Runs `read` on fresh snapshots until one is not overtaken by a clear.
template <class Read> auto read_guarded(const KnowledgeGraph& graph, Read read) {
  for (;;) {
    const Snapshot taken = graph.snapshot();
    auto result = read(taken);
    if (!graph.cleared_since(taken)) return result;
  }
}

// One item per instance: its latest version inside the interval, if Valid.
template <class Item, class Walk> std::vector<Item> latest_valid_items(Walk& walk) {
  std::map<std::uint64_t, Item> latest;
  while (std::optional<Item> item = walk.next()) {
    const std::uint64_t id = item->record.instance_id;
    if (item->record.marker == Marker::Valid) {
      latest.insert_or_assign(id, std::move(*item));
    } else {
      latest.erase(id);
    }
  }
  std::vector<Item> items;
  items.reserve(latest.size());
  for (auto& entry : latest) items.push_back(std::move(entry.second));
  return items;
}

// Walks fresh iterators until one reaches its end without being overtaken.
template <class Item, class MakeWalk> std::vector<Item> items_of_kind(MakeWalk make_walk) {
  for (;;) {
    auto walk = make_walk();
    std::vector<Item> items = latest_valid_items<Item>(walk);
    if (!walk.overtaken()) return items;
  }
}

}  // namespace

// ---- Nodes ----

const NodeRecord* KnowledgeGraph::get_latest_node_record(Index node) const {
  if (node.type_index >= kNodeKinds) return nullptr;
  return read_guarded(*this, [&](const Snapshot& taken) -> const NodeRecord* {
    const auto slot = latest_node_slot(*this, taken, node);
    return slot ? &node_records[node.type_index][*slot] : nullptr;
  });
}

const KnowledgeGraphNode* KnowledgeGraph::get_latest_node_value(Index node) const {
  if (node.type_index >= kNodeKinds) return nullptr;
  return read_guarded(*this, [&](const Snapshot& taken) -> const KnowledgeGraphNode* {
    const auto slot = latest_node_slot(*this, taken, node);
    if (!slot) return nullptr;
    const NodeRecord& latest = node_records[node.type_index][*slot];
    if (detail::racy_byte(latest.marker) == Marker::Removed) return nullptr;
    const std::uint64_t position = detail::racy_word(latest.value_index);
    return position < kNodeValues ? &node_values[position] : nullptr;
  });
}

iterators::NodeIterator KnowledgeGraph::nodes_iter(const Interval& interval,
                                                   std::uint64_t kind) const {
  return iterators::NodeIterator(*this, snapshot(), interval, kind);
}

std::vector<NodeItem> KnowledgeGraph::get_nodes_of_type(const Interval& interval,
                                                        std::uint64_t kind) const {
  if (kind >= kNodeKinds) return {};
  return items_of_kind<NodeItem>([&] { return nodes_iter(interval, kind); });
}

std::vector<NodeItem> KnowledgeGraph::get_all_nodes(const Interval& interval) const {
  std::vector<NodeItem> all;
  for (std::uint64_t kind = 0; kind < kNodeKinds; ++kind) {
    std::vector<NodeItem> items = get_nodes_of_type(interval, kind);
    all.insert(all.end(), std::make_move_iterator(items.begin()),
               std::make_move_iterator(items.end()));
  }
  return all;
}

// ---- Relations ----

const RelationRecord* KnowledgeGraph::get_latest_relation_record(Index relation) const {
  if (relation.type_index >= kRelationKinds) return nullptr;
  return read_guarded(*this, [&](const Snapshot& taken) -> const RelationRecord* {
    const auto slot = latest_relation_slot(*this, taken, relation);
    return slot ? &relation_records[relation.type_index][*slot] : nullptr;
  });
}

const KnowledgeGraphRelation* KnowledgeGraph::get_latest_relation_value(Index relation) const {
  if (relation.type_index >= kRelationKinds) return nullptr;
  return read_guarded(*this, [&](const Snapshot& taken) -> const KnowledgeGraphRelation* {
    const auto slot = latest_relation_slot(*this, taken, relation);
    if (!slot) return nullptr;
    const RelationRecord& latest = relation_records[relation.type_index][*slot];
    if (detail::racy_byte(latest.marker) == Marker::Removed) return nullptr;
    const std::uint64_t position = detail::racy_word(latest.value_index);
    return position < kRelationValues ? &relation_values[position] : nullptr;
  });
}

iterators::RelationIterator KnowledgeGraph::relations_iter(const Interval& interval,
                                                           std::uint64_t kind) const {
  return iterators::RelationIterator(*this, snapshot(), interval, kind);
}

std::vector<RelationItem> KnowledgeGraph::get_relations_of_type(const Interval& interval,
                                                                std::uint64_t kind) const {
  if (kind >= kRelationKinds) return {};
  return items_of_kind<RelationItem>([&] { return relations_iter(interval, kind); });
}

std::vector<RelationItem> KnowledgeGraph::get_all_relations(const Interval& interval) const {
  std::vector<RelationItem> all;
  for (std::uint64_t kind = 0; kind < kRelationKinds; ++kind) {
    std::vector<RelationItem> items = get_relations_of_type(interval, kind);
    all.insert(all.end(), std::make_move_iterator(items.begin()),
               std::make_move_iterator(items.end()));
  }
  return all;
}

}  // namespace knowledge_graph::graph
