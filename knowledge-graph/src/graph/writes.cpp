// The writes: add, update and remove a node, add and remove a relation. Each
// takes the working buffer, appends new versions at its tails and publishes it.
// Every limit (kind numbers, full lists, full arrays) is checked before the first
// slot is written, so a refused write leaves the record byte for byte as it was
// (in transaction mode it may have opened the batch, which copies the published
// buffer into the inactive one). Between the checks and the first slot write, a
// batch that cleared may publish the empty graph (protect_published_slots).
//
// A list with no free entry left takes the lowest stale one: an entry whose
// relation's latest version no longer joins this node in this role (added again
// between other nodes, or removed). Such entries are left behind because a
// relation change appends versions of the two nodes it joins now, never of the
// ones it joined before.
//
// Lookups search below the working buffer's tails. In autocommit mode that is the
// published buffer; inside a transaction it is the batch, so a write sees the
// versions appended earlier in the same transaction.
#include <algorithm>
#include <array>
#include <bit>

#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/write_gate.hpp"
#include "lookup_index_writer.hpp"
#include "writer_steps.hpp"

namespace knowledge_graph::graph {
namespace {

constexpr std::size_t kNoEntry = kListEntries;

bool node_kind_in_range(std::uint64_t kind) { return kind < kNodeKinds; }
bool relation_kind_in_range(std::uint64_t kind) { return kind < kRelationKinds; }

// Why a write was refused, and for a capacity where the limit was met.
struct Refusal {
  WriteStatus status = WriteStatus::Stored;
  Index limit{};
  bool refused() const { return status != WriteStatus::Stored; }
};

WriteResult<Index> refused_add(Refusal refusal) {
  return {Index::zeroed(), refusal.status, refusal.limit};
}
WriteResult<Index> refused_add(WriteStatus status) { return refused_add(Refusal{status, {}}); }
WriteResult<bool> refused_remove(Refusal refusal) { return {false, refusal.status, refusal.limit}; }
WriteResult<bool> refused_remove(WriteStatus status) { return refused_remove(Refusal{status, {}}); }

// The latest version of `node` below W's tails, or null (also for kinds out of range).
const NodeRecord* latest_node(const KnowledgeGraph& graph, const GraphIndices& w, Index node) {
  if (!node_kind_in_range(node.type_index)) return nullptr;
  const auto slot = detail::writer_latest_node_slot(graph, w, node);
  return slot ? &graph.node_records[node.type_index][*slot] : nullptr;
}

const RelationRecord* latest_relation(const KnowledgeGraph& graph, const GraphIndices& w,
                                      Index relation) {
  if (!relation_kind_in_range(relation.type_index)) return nullptr;
  const auto slot = detail::writer_latest_relation_slot(graph, w, relation);
  return slot ? &graph.relation_records[relation.type_index][*slot] : nullptr;
}

// The slots and payloads a write will append, checked against W before any write.
// Only the kinds a write names are counted and checked (a mask says which), so a
// write pays for its own kinds, not for all 35.
// The counts are private: a count set without its kind's bit would go unchecked.
class Demand {
 public:
  std::uint64_t node_values = 0;
  std::uint64_t relation_values = 0;

  void add_node_versions(std::uint64_t kind, std::uint64_t count) {
    add(node_versions_, node_kinds_, kind, count);
  }
  void add_relation_versions(std::uint64_t kind, std::uint64_t count) {
    add(relation_versions_, relation_kinds_, kind, count);
  }
  std::uint32_t node_kinds() const { return node_kinds_; }
  std::uint32_t relation_kinds() const { return relation_kinds_; }
  std::uint64_t node_versions(std::uint64_t kind) const { return node_versions_[kind]; }
  std::uint64_t relation_versions(std::uint64_t kind) const { return relation_versions_[kind]; }

 private:
  template <class Counts>
  static void add(Counts& counts, std::uint32_t& kinds, std::uint64_t kind, std::uint64_t count) {
    const std::uint32_t bit = std::uint32_t{1} << kind;
    if (!(kinds & bit)) counts[kind] = 0;
    kinds |= bit;
    counts[kind] += count;
  }

  std::array<std::uint64_t, kNodeKinds> node_versions_;  // valid where the mask is set
  std::array<std::uint64_t, kRelationKinds> relation_versions_;
  std::uint32_t node_kinds_ = 0;
  std::uint32_t relation_kinds_ = 0;
};
static_assert(kNodeKinds <= 32 && kRelationKinds <= 32);

// A damaged tail beyond its capacity leaves no room at all.
bool has_room(std::uint64_t tail, std::uint64_t capacity, std::uint64_t needed) {
  return needed == 0 || (tail <= capacity && capacity - tail >= needed);
}

// Kinds in ascending order, so the first full kind is reported as before.
Refusal check_room(const GraphIndices& w, const Demand& demand) {
  if (!has_room(w.nodes_tail, kNodeValues, demand.node_values))
    return {WriteStatus::NodeValuesFull, {}};
  for (std::uint32_t kinds = demand.node_kinds(); kinds != 0; kinds &= kinds - 1) {
    const auto k = static_cast<std::uint64_t>(std::countr_zero(kinds));
    if (!has_room(w.node_index_tail[k], kNodeVersionsPerKind, demand.node_versions(k)))
      return {WriteStatus::NodeVersionsFull, Index(k, 0)};
  }
  if (!has_room(w.relations_tail, kRelationValues, demand.relation_values))
    return {WriteStatus::RelationValuesFull, {}};
  for (std::uint32_t kinds = demand.relation_kinds(); kinds != 0; kinds &= kinds - 1) {
    const auto k = static_cast<std::uint64_t>(std::countr_zero(kinds));
    if (!has_room(w.relation_index_tail[k], kRelationVersionsPerKind, demand.relation_versions(k)))
      return {WriteStatus::RelationVersionsFull, Index(k, 0)};
  }
  return {};
}

// Appends a copy of `source` stamped with `timestamp`. The source lies below the
// tail and the new slot at it, so they are never the same record.
NodeRecord& append_node_copy(KnowledgeGraph& graph, GraphIndices& w, std::uint64_t kind,
                             const NodeRecord& source, std::uint64_t timestamp) {
  NodeRecord& slot = graph.node_records[kind][w.node_index_tail[kind]++];
  slot = source;
  slot.timestamp = timestamp;
  return slot;
}

RelationRecord& append_relation_version(KnowledgeGraph& graph, GraphIndices& w,
                                        std::uint64_t kind, const RelationRecord& version) {
  RelationRecord& slot = graph.relation_records[kind][w.relation_index_tail[kind]++];
  slot = version;
  return slot;
}

enum class Role { Outgoing, Incoming };

// Whether `entry` in `node`'s list of `role` still stands for a live relation there.
bool entry_live(const KnowledgeGraph& graph, const GraphIndices& w, Index entry, Index node,
                Role role) {
  const RelationRecord* latest = latest_relation(graph, w, entry);
  if (latest == nullptr || latest->marker == Marker::Removed) return false;
  return (role == Role::Outgoing ? latest->from : latest->to) == node;
}

// The entry that `relation` goes into: the one that already holds it, else the
// lowest free one (kind 0), else the lowest stale one. So a relation never
// stands twice in one list, and stale entries are only looked into when full.
std::size_t entry_for(const KnowledgeGraph& graph, const GraphIndices& w, const RelationList& list,
                      Index relation, Index node, Role role) {
  std::size_t free_entry = kNoEntry;
  for (std::size_t i = 0; i < kListEntries; ++i) {
    if (list[i] == relation) return i;
    if (free_entry == kNoEntry && list[i].type_index == 0) free_entry = i;
  }
  if (free_entry != kNoEntry) return free_entry;
  for (std::size_t i = 0; i < kListEntries; ++i) {
    if (!entry_live(graph, w, list[i], node, role)) return i;
  }
  return kNoEntry;
}

void clear_entries(RelationList& list, Index relation) {
  for (Index& entry : list) {
    if (entry == relation) entry = Index::zeroed();
  }
}

// The working buffer, with the lookup index proven current for it; `index`
// receives what publish_at passes on to the index.
GraphIndices begin_write(KnowledgeGraph& graph, detail::IndexWrite& index,
                         const Index* new_node = nullptr) {
  GraphIndices w = detail::WriterSteps::working_buffer(graph);
  index = detail::index_begin_write(graph, w, new_node);
  return w;
}

// Indexes the versions appended in `kinds`, then publishes.
void publish_at(KnowledgeGraph& graph, GraphIndices& w, detail::IndexWrite index,
                const detail::AppendedKinds& kinds, std::uint64_t timestamp) {
  w.update_timestamp = timestamp;
  detail::index_appended(graph, w, kinds, index);
  detail::WriterSteps::publish(graph, w);
}

// What removing one relation appends: its `Removed` version and a version of
// each of its nodes that has one.
struct RelationRemoval {
  const RelationRecord* latest = nullptr;
  const NodeRecord* from = nullptr;
  const NodeRecord* to = nullptr;
};

RelationRemoval plan_removal(const KnowledgeGraph& graph, const GraphIndices& w, Index relation) {
  RelationRemoval removal;
  removal.latest = latest_relation(graph, w, relation);
  if (removal.latest != nullptr) {
    removal.from = latest_node(graph, w, removal.latest->from);
    removal.to = latest_node(graph, w, removal.latest->to);
  }
  return removal;
}

void add_demand(Demand& demand, const RelationRemoval& removal, Index relation) {
  demand.add_relation_versions(relation.type_index, 1);
  if (removal.from != nullptr) demand.add_node_versions(removal.latest->from.type_index, 1);
  if (removal.to != nullptr) demand.add_node_versions(removal.latest->to.type_index, 1);
}

void apply_removal(KnowledgeGraph& graph, GraphIndices& w, const RelationRemoval& removal,
                   Index relation, std::uint64_t timestamp) {
  RelationRecord removed = *removal.latest;
  removed.timestamp = timestamp;
  removed.marker = Marker::Removed;
  append_relation_version(graph, w, relation.type_index, removed);

  NodeRecord* from = nullptr;
  if (removal.from != nullptr) {
    from = &append_node_copy(graph, w, removed.from.type_index, *removal.from, timestamp);
    clear_entries(from->outgoing, relation);
  }
  if (removal.to != nullptr) {
    // A relation from a node to itself: the second version continues the first.
    const bool same_node = from != nullptr && removed.from == removed.to;
    const NodeRecord& source = same_node ? *from : *removal.to;
    NodeRecord& to = append_node_copy(graph, w, removed.to.type_index, source, timestamp);
    clear_entries(to.incoming, relation);
  }
}

// The relations that removing a node takes with it: each non-empty entry of its
// latest version, `outgoing` then `incoming`, once, and only while the relation's
// latest version still joins this node. An entry left behind when the relation
// was added again between other nodes must not remove it from there.
struct RelationSet {
  std::array<Index, 2 * kListEntries> items;
  std::size_t size = 0;

  bool contains(Index relation) const {
    return std::find(items.begin(), items.begin() + size, relation) != items.begin() + size;
  }
};

bool still_joins(const KnowledgeGraph& graph, const GraphIndices& w, Index relation, Index node) {
  const RelationRecord* latest = latest_relation(graph, w, relation);
  return latest != nullptr && (latest->from == node || latest->to == node);
}

RelationSet relations_to_remove(const KnowledgeGraph& graph, const GraphIndices& w, Index node,
                                const NodeRecord& latest) {
  RelationSet set;
  for (const RelationList* list : {&latest.outgoing, &latest.incoming}) {
    for (const Index& entry : *list) {
      if (entry.is_empty() || set.contains(entry) || !still_joins(graph, w, entry, node)) continue;
      set.items[set.size++] = entry;
    }
  }
  return set;
}

}  // namespace

WriteResult<Index> KnowledgeGraph::add_node(std::uint64_t timestamp, std::uint64_t instance_id,
                                            const KnowledgeGraphNode& value) {
  const std::uint64_t kind = value.type_index();
  if (!writes_admitted(*this)) return refused_add(WriteStatus::NotWriter);
  if (!node_kind_in_range(kind)) return refused_add(WriteStatus::KindOutOfRange);
  const Index node(kind, instance_id);
  detail::IndexWrite index;
  GraphIndices w = begin_write(*this, index, &node);
  Demand demand;
  demand.node_values = 1;
  demand.add_node_versions(kind, 1);
  if (const Refusal refusal = check_room(w, demand); refusal.refused()) return refused_add(refusal);
  protect_published_slots(w);

  const std::uint64_t position = w.nodes_tail++;
  node_values[position] = value;
  NodeRecord& version = node_records[kind][w.node_index_tail[kind]++];
  version = NodeRecord{};  // both lists empty
  version.timestamp = timestamp;
  version.value_index = position;
  version.instance_id = instance_id;
  version.marker = Marker::Valid;
  publish_at(*this, w, index, {.node_kinds = {kind, kNodeKinds}}, timestamp);
  return {node, WriteStatus::Stored};
}

WriteResult<Index> KnowledgeGraph::update_node(std::uint64_t timestamp, std::uint64_t instance_id,
                                               const KnowledgeGraphNode& value) {
  const std::uint64_t kind = value.type_index();
  if (!writes_admitted(*this)) return refused_add(WriteStatus::NotWriter);
  if (!node_kind_in_range(kind)) return refused_add(WriteStatus::KindOutOfRange);
  const Index node(kind, instance_id);
  detail::IndexWrite index;
  GraphIndices w = begin_write(*this, index, &node);
  const NodeRecord* latest = latest_node(*this, w, node);
  if (latest == nullptr) return refused_add(WriteStatus::NotFound);
  Demand demand;
  demand.node_values = 1;
  demand.add_node_versions(kind, 1);
  if (const Refusal refusal = check_room(w, demand); refusal.refused()) return refused_add(refusal);
  protect_published_slots(w);

  const std::uint64_t position = w.nodes_tail++;
  node_values[position] = value;
  NodeRecord& version = append_node_copy(*this, w, kind, *latest, timestamp);  // both lists kept
  version.value_index = position;
  version.marker = Marker::Valid;
  publish_at(*this, w, index, {.node_kinds = {kind, kNodeKinds}}, timestamp);
  return {node, WriteStatus::Stored};
}

WriteResult<bool> KnowledgeGraph::remove_node(std::uint64_t timestamp, Index node) {
  if (!writes_admitted(*this)) return refused_remove(WriteStatus::NotWriter);
  if (!node_kind_in_range(node.type_index)) return refused_remove(WriteStatus::KindOutOfRange);
  detail::IndexWrite index;
  GraphIndices w = begin_write(*this, index);
  const NodeRecord* latest = latest_node(*this, w, node);
  if (latest == nullptr) return refused_remove(WriteStatus::NotFound);

  // Every step must fit before the first is published: a `Removed` node whose
  // relations stay live would be worse than no removal.
  const RelationSet relations = relations_to_remove(*this, w, node, *latest);
  Demand demand;
  demand.add_node_versions(node.type_index, 1);
  for (std::size_t i = 0; i < relations.size; ++i)
    add_demand(demand, plan_removal(*this, w, relations.items[i]), relations.items[i]);
  if (const Refusal refusal = check_room(w, demand); refusal.refused())
    return refused_remove(refusal);
  protect_published_slots(w);

  NodeRecord& removed = append_node_copy(*this, w, node.type_index, *latest, timestamp);
  removed.marker = Marker::Removed;
  publish_at(*this, w, index, {.node_kinds = {node.type_index, kNodeKinds}}, timestamp);
  for (std::size_t i = 0; i < relations.size; ++i) remove_relation(timestamp, relations.items[i]);
  return {true, WriteStatus::Stored};
}

WriteResult<Index> KnowledgeGraph::add_relation(std::uint64_t timestamp, std::uint64_t instance_id,
                                                const KnowledgeGraphRelation& value, Index from,
                                                Index to) {
  if (!writes_admitted(*this)) return refused_add(WriteStatus::NotWriter);
  const Index relation(value.type_index(), instance_id);
  if (!node_kind_in_range(from.type_index) || !node_kind_in_range(to.type_index) ||
      !relation_kind_in_range(relation.type_index))
    return refused_add(WriteStatus::KindOutOfRange);
  detail::IndexWrite index;
  GraphIndices w = begin_write(*this, index);
  const NodeRecord* from_latest = latest_node(*this, w, from);
  const NodeRecord* to_latest = latest_node(*this, w, to);
  if (from_latest == nullptr || to_latest == nullptr) return refused_add(WriteStatus::NodeMissing);

  const std::size_t out_entry =
      entry_for(*this, w, from_latest->outgoing, relation, from, Role::Outgoing);
  if (out_entry == kNoEntry) return refused_add(Refusal{WriteStatus::OutgoingListFull, from});
  const std::size_t in_entry = entry_for(*this, w, to_latest->incoming, relation, to, Role::Incoming);
  if (in_entry == kNoEntry) return refused_add(Refusal{WriteStatus::IncomingListFull, to});
  Demand demand;
  demand.add_node_versions(from.type_index, 1);
  demand.add_node_versions(to.type_index, 1);
  demand.relation_values = 1;
  demand.add_relation_versions(relation.type_index, 1);
  if (const Refusal refusal = check_room(w, demand); refusal.refused()) return refused_add(refusal);
  protect_published_slots(w);

  NodeRecord& from_version = append_node_copy(*this, w, from.type_index, *from_latest, timestamp);
  from_version.outgoing[out_entry] = relation;
  // A relation from a node to itself: the second version continues the first,
  // so the node lists it in both lists.
  const NodeRecord& to_source = from == to ? from_version : *to_latest;
  NodeRecord& to_version = append_node_copy(*this, w, to.type_index, to_source, timestamp);
  to_version.incoming[in_entry] = relation;

  const std::uint64_t position = w.relations_tail++;
  relation_values[position] = value;
  RelationRecord version{};
  version.timestamp = timestamp;
  version.value_index = position;
  version.instance_id = instance_id;
  version.from = from;
  version.to = to;
  version.marker = Marker::Valid;
  append_relation_version(*this, w, relation.type_index, version);
  publish_at(*this, w, index, {{from.type_index, to.type_index}, relation.type_index}, timestamp);
  return {relation, WriteStatus::Stored};
}

WriteResult<bool> KnowledgeGraph::remove_relation(std::uint64_t timestamp, Index relation) {
  if (!writes_admitted(*this)) return refused_remove(WriteStatus::NotWriter);
  if (!relation_kind_in_range(relation.type_index))
    return refused_remove(WriteStatus::KindOutOfRange);
  detail::IndexWrite index;
  GraphIndices w = begin_write(*this, index);
  const RelationRemoval removal = plan_removal(*this, w, relation);
  if (removal.latest == nullptr) return refused_remove(WriteStatus::NotFound);
  Demand demand;
  add_demand(demand, removal, relation);
  if (const Refusal refusal = check_room(w, demand); refusal.refused())
    return refused_remove(refusal);
  protect_published_slots(w);

  apply_removal(*this, w, removal, relation, timestamp);
  const Index from = removal.latest->from, to = removal.latest->to;
  publish_at(*this, w, index, {{from.type_index, to.type_index}, relation.type_index}, timestamp);
  return {true, WriteStatus::Stored};
}

}  // namespace knowledge_graph::graph
