// A plain in-memory reference model of the graph's writes, and checks of a
// KnowledgeGraph record against the model and against the record's invariants.
//
// The model keeps, for the published state and for the batch of an open
// transaction, the latest version of every node and relation (and the slot where
// it must stand), and the tails. It follows the same rules as the record's
// writes by the simplest means: ordered maps and whole-value copies, no shared
// arrays. Tests, the fuzzer and the crash test drive a record and a model with the
// same operations and compare them after each one.
//
// Limits are checked in one order, as the record does: kinds (before a batch is
// opened), then lookups, then lists, then room (node values, node versions,
// relation values, relation versions).
//
// Batches, as the record keeps them:
// - A batch is open from start_transaction, or from the first write (clear
//   included) in transaction mode when none is open, until commit_transaction,
//   set_autocommit(true) or the next start_transaction. A commit with no open
//   batch changes nothing; a write published in autocommit mode closes a batch
//   opened before.
// - Readers see only published states. A batch that cleared keeps the graph
//   before it published until one of its writes would append below the
//   published tails; just before that write the empty graph is published
//   (last update as published before) and the batch goes on from there.
// - A dropped batch (set_autocommit(true), or start_transaction again) leaves
//   the published state as it is: the graph before the batch, or the empty one.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/lookup_index.hpp"

namespace knowledge_graph::graph::reference {

// A value of any kind number, also of numbers no kind has (its payload stays zero).
inline KnowledgeGraphNode node_of_kind(std::uint64_t kind) {
  KnowledgeGraphNode value;
  value.tag = kind;
  return value;
}
inline KnowledgeGraphRelation relation_of_kind(std::uint64_t kind) {
  KnowledgeGraphRelation value;
  value.tag = kind;
  return value;
}

struct IndexLess {
  bool operator()(const Index& a, const Index& b) const {
    return std::tie(a.type_index, a.instance_id) < std::tie(b.type_index, b.instance_id);
  }
};

struct ModelNode {
  std::uint64_t slot = 0;  // position of the latest version in its kind's array
  std::uint64_t timestamp = 0;
  std::uint64_t value_index = 0;
  KnowledgeGraphNode value;
  RelationList outgoing{};
  RelationList incoming{};
  Marker marker = Marker::Valid;
};

struct ModelRelation {
  std::uint64_t slot = 0;
  std::uint64_t timestamp = 0;
  std::uint64_t value_index = 0;
  KnowledgeGraphRelation value;
  Index from;
  Index to;
  Marker marker = Marker::Valid;
};

// One stored version, as far as a compaction decides on it.
struct ModelVersion {
  Index id;
  std::uint64_t timestamp = 0;
  std::uint64_t value_index = 0;
  Marker marker = Marker::Valid;
};
using ModelHistory = std::vector<ModelVersion>;  // one kind's versions in slot order

// What one buffer describes: the latest version of every instance, the tails, and
// every version of every kind (for compactions).
struct ModelState {
  std::map<Index, ModelNode, IndexLess> nodes;
  std::map<Index, ModelRelation, IndexLess> relations;
  GraphIndices tails{};
  std::array<ModelHistory, kNodeKinds> node_history;
  std::array<ModelHistory, kRelationKinds> relation_history;
  // Instances a compaction dropped (their latest version was an older removal):
  // kept versions may still name them.
  std::set<Index, IndexLess> vanished_nodes;
  std::set<Index, IndexLess> vanished_relations;
};

class ReferenceModel {
 public:
  const ModelState& published() const { return published_; }
  const ModelState& batch() const { return batch_; }
  bool autocommit() const { return autocommit_; }
  std::uint64_t active() const { return active_; }  // the expected `active_indices`

  bool batch_open() const { return batch_open_; }
  // Counts the batches opened so far (explicitly or by a write).
  std::uint64_t batches_opened() const { return batches_opened_; }
  // The batch cleared and readers still see the graph before it.
  bool batch_cleared() const { return cleared_; }

  void set_autocommit(bool value) {
    autocommit_ = value;
    if (value) close_batch();
  }
  void start_transaction() {
    batch_ = published_;
    batch_open_ = true;
    ++batches_opened_;
    cleared_ = false;
  }
  void commit_transaction() {
    if (!batch_open_) return;
    published_ = batch_;
    active_ ^= 1;
    close_batch();
  }

  void clear() {
    ModelState& s = working();
    const std::uint64_t timestamp = s.tails.update_timestamp;
    s = ModelState{};
    if (!autocommit_) cleared_ = true;
    publish(s, timestamp);
  }

  // The compaction rule: every version stamped at or after `keep_since` stays, and
  // per instance the last version written with an earlier stamp, when Valid (or
  // Removed with a kept version below it); payloads named by kept versions are
  // renumbered in order.
  WriteResult<std::uint64_t> compact(std::uint64_t keep_since) {
    if (!autocommit_) return {0, WriteStatus::InsideBatch};
    ModelState& s = published_;
    std::vector<std::uint64_t> node_values, relation_values;  // old positions kept
    std::array<std::vector<bool>, kNodeKinds> node_keep;
    std::array<std::vector<bool>, kRelationKinds> relation_keep;
    std::uint64_t kept = 0;
    bool drops = false;
    for (std::uint64_t k = 0; k < kNodeKinds; ++k) {
      node_keep[k] = keep_of(s.node_history[k], keep_since);
      const auto count = static_cast<std::uint64_t>(std::count(node_keep[k].begin(), node_keep[k].end(), true));
      kept += count;
      drops |= count != s.node_history[k].size();
      for (std::size_t i = 0; i < node_keep[k].size(); ++i)
        if (node_keep[k][i]) node_values.push_back(s.node_history[k][i].value_index);
    }
    for (std::uint64_t k = 0; k < kRelationKinds; ++k) {
      relation_keep[k] = keep_of(s.relation_history[k], keep_since);
      const auto count = static_cast<std::uint64_t>(std::count(relation_keep[k].begin(), relation_keep[k].end(), true));
      kept += count;
      drops |= count != s.relation_history[k].size();
      for (std::size_t i = 0; i < relation_keep[k].size(); ++i)
        if (relation_keep[k][i]) relation_values.push_back(s.relation_history[k][i].value_index);
    }
    const auto node_rank = ranks(node_values);
    const auto relation_rank = ranks(relation_values);
    drops |= node_rank.size() != s.tails.nodes_tail || relation_rank.size() != s.tails.relations_tail;
    if (!drops) return {kept, WriteStatus::Stored};

    for (std::uint64_t k = 0; k < kNodeKinds; ++k)
      s.tails.node_index_tail[k] =
          rewrite(s.node_history[k], node_keep[k], node_rank, s.nodes, s.vanished_nodes);
    for (std::uint64_t k = 0; k < kRelationKinds; ++k)
      s.tails.relation_index_tail[k] = rewrite(s.relation_history[k], relation_keep[k],
                                               relation_rank, s.relations, s.vanished_relations);
    s.tails.nodes_tail = node_rank.size();
    s.tails.relations_tail = relation_rank.size();
    publish(s, s.tails.update_timestamp);
    return {kept, WriteStatus::Stored};
  }

  WriteResult<Index> add_node(std::uint64_t timestamp, std::uint64_t id,
                              const KnowledgeGraphNode& value) {
    const Index node(value.type_index(), id);
    if (node.type_index >= kNodeKinds) return {Index{}, WriteStatus::KindOutOfRange};
    ModelState& s = working();
    Room room;
    room.node_values = 1;
    room.node_versions[node.type_index] = 1;
    if (const WriteStatus status = room.check(s.tails); status != WriteStatus::Stored)
      return {Index{}, status};
    protect_published();
    ModelNode version;
    version.timestamp = timestamp;
    version.value_index = s.tails.nodes_tail++;
    version.value = value;
    append(s, node, version);
    publish(s, timestamp);
    return {node, WriteStatus::Stored};
  }

  // A new version of a node that has one: new payload, its lists, `Valid`.
  WriteResult<Index> update_node(std::uint64_t timestamp, std::uint64_t id,
                                 const KnowledgeGraphNode& value) {
    const Index node(value.type_index(), id);
    if (node.type_index >= kNodeKinds) return {Index{}, WriteStatus::KindOutOfRange};
    ModelState& s = working();
    const auto found = s.nodes.find(node);
    if (found == s.nodes.end()) return {Index{}, WriteStatus::NotFound};
    Room room;
    room.node_values = 1;
    room.node_versions[node.type_index] = 1;
    if (const WriteStatus status = room.check(s.tails); status != WriteStatus::Stored)
      return {Index{}, status};
    protect_published();
    ModelNode version = found->second;
    version.timestamp = timestamp;
    version.value_index = s.tails.nodes_tail++;
    version.value = value;
    version.marker = Marker::Valid;
    append(s, node, version);
    publish(s, timestamp);
    return {node, WriteStatus::Stored};
  }

  WriteResult<bool> remove_node(std::uint64_t timestamp, Index node) {
    if (node.type_index >= kNodeKinds) return {false, WriteStatus::KindOutOfRange};
    ModelState& s = working();
    const auto found = s.nodes.find(node);
    if (found == s.nodes.end()) return {false, WriteStatus::NotFound};
    const std::vector<Index> doomed = relations_of(s, node, found->second);
    Room room;
    room.node_versions[node.type_index] += 1;
    for (const Index& relation : doomed) room.add_removal(s, relation);
    if (const WriteStatus status = room.check(s.tails); status != WriteStatus::Stored)
      return {false, status};
    protect_published();
    ModelNode version = found->second;
    version.timestamp = timestamp;
    version.marker = Marker::Removed;
    append(s, node, version);
    publish(s, timestamp);
    for (const Index& relation : doomed) remove_relation(timestamp, relation);
    return {true, WriteStatus::Stored};
  }

  WriteResult<Index> add_relation(std::uint64_t timestamp, std::uint64_t id,
                                  const KnowledgeGraphRelation& value, Index from, Index to) {
    const Index relation(value.type_index(), id);
    if (from.type_index >= kNodeKinds || to.type_index >= kNodeKinds ||
        relation.type_index >= kRelationKinds)
      return {Index{}, WriteStatus::KindOutOfRange};
    ModelState& s = working();
    if (!s.nodes.count(from) || !s.nodes.count(to)) return {Index{}, WriteStatus::NodeMissing};
    const auto out_entry = entry_for(s, s.nodes[from].outgoing, relation, from, true);
    if (!out_entry) return {Index{}, WriteStatus::OutgoingListFull};
    const auto in_entry = entry_for(s, s.nodes[to].incoming, relation, to, false);
    if (!in_entry) return {Index{}, WriteStatus::IncomingListFull};
    Room room;
    room.node_versions[from.type_index] += 1;
    room.node_versions[to.type_index] += 1;
    room.relation_values = 1;
    room.relation_versions[relation.type_index] = 1;
    if (const WriteStatus status = room.check(s.tails); status != WriteStatus::Stored)
      return {Index{}, status};
    protect_published();

    // Each node version starts from the node's latest version at that moment.
    ModelNode a = s.nodes[from];
    a.timestamp = timestamp;
    a.outgoing[*out_entry] = relation;
    append(s, from, a);
    ModelNode b = s.nodes[to];
    b.timestamp = timestamp;
    b.incoming[*in_entry] = relation;
    append(s, to, b);

    ModelRelation version;
    version.timestamp = timestamp;
    version.value_index = s.tails.relations_tail++;
    version.value = value;
    version.from = from;
    version.to = to;
    append(s, relation, version);
    publish(s, timestamp);
    return {relation, WriteStatus::Stored};
  }

  WriteResult<bool> remove_relation(std::uint64_t timestamp, Index relation) {
    if (relation.type_index >= kRelationKinds) return {false, WriteStatus::KindOutOfRange};
    ModelState& s = working();
    const auto found = s.relations.find(relation);
    if (found == s.relations.end()) return {false, WriteStatus::NotFound};
    Room room;
    room.add_removal(s, relation);
    if (const WriteStatus status = room.check(s.tails); status != WriteStatus::Stored)
      return {false, status};
    protect_published();

    ModelRelation version = found->second;
    version.timestamp = timestamp;
    version.marker = Marker::Removed;
    append(s, relation, version);
    if (s.nodes.count(version.from)) {
      ModelNode a = s.nodes[version.from];
      a.timestamp = timestamp;
      clear_entries(a.outgoing, relation);
      append(s, version.from, a);
    }
    if (s.nodes.count(version.to)) {
      ModelNode b = s.nodes[version.to];
      b.timestamp = timestamp;
      clear_entries(b.incoming, relation);
      append(s, version.to, b);
    }
    publish(s, timestamp);
    return {true, WriteStatus::Stored};
  }

 private:
  // Versions and payloads a write needs, checked before it changes anything.
  struct Room {
    std::map<std::uint64_t, std::uint64_t> node_versions;
    std::map<std::uint64_t, std::uint64_t> relation_versions;
    std::uint64_t node_values = 0;
    std::uint64_t relation_values = 0;

    void add_removal(const ModelState& s, const Index& relation) {
      const ModelRelation& latest = s.relations.at(relation);
      relation_versions[relation.type_index] += 1;
      if (s.nodes.count(latest.from)) node_versions[latest.from.type_index] += 1;
      if (s.nodes.count(latest.to)) node_versions[latest.to.type_index] += 1;
    }

    WriteStatus check(const GraphIndices& t) const {
      if (t.nodes_tail + node_values > kNodeValues) return WriteStatus::NodeValuesFull;
      for (const auto& [kind, count] : node_versions) {
        if (t.node_index_tail[kind] + count > kNodeVersionsPerKind)
          return WriteStatus::NodeVersionsFull;
      }
      if (t.relations_tail + relation_values > kRelationValues)
        return WriteStatus::RelationValuesFull;
      for (const auto& [kind, count] : relation_versions) {
        if (t.relation_index_tail[kind] + count > kRelationVersionsPerKind)
          return WriteStatus::RelationVersionsFull;
      }
      return WriteStatus::Stored;
    }
  };

  // The state a write starts from; in transaction mode it opens a batch if none is.
  ModelState& working() {
    if (autocommit_) return published_;
    if (!batch_open_) start_transaction();
    return batch_;
  }

  void close_batch() {
    batch_open_ = false;
    cleared_ = false;
  }

  static bool falls_behind(const GraphIndices& batch, const GraphIndices& published) {
    for (std::uint64_t k = 0; k < kNodeKinds; ++k)
      if (batch.node_index_tail[k] < published.node_index_tail[k]) return true;
    for (std::uint64_t k = 0; k < kRelationKinds; ++k)
      if (batch.relation_index_tail[k] < published.relation_index_tail[k]) return true;
    return batch.nodes_tail < published.nodes_tail ||
           batch.relations_tail < published.relations_tail;
  }

  // Before a write of a batch that cleared appends: the empty graph is published
  // first if the append would land below the published tails.
  void protect_published() {
    if (autocommit_ || !cleared_ || !falls_behind(batch_.tails, published_.tails)) return;
    const std::uint64_t last_update = published_.tails.update_timestamp;
    published_ = ModelState{};
    published_.tails.update_timestamp = last_update;
    active_ ^= 1;
    cleared_ = false;
  }

  void publish(ModelState& s, std::uint64_t timestamp) {
    s.tails.update_timestamp = timestamp;
    if (!autocommit_) return;
    active_ ^= 1;
    close_batch();  // the buffer a batch opened before is overwritten
  }

  static void append(ModelState& s, const Index& node, ModelNode version) {
    version.slot = s.tails.node_index_tail[node.type_index]++;
    s.nodes[node] = version;
    s.node_history[node.type_index].push_back(
        {node, version.timestamp, version.value_index, version.marker});
  }
  static void append(ModelState& s, const Index& relation, ModelRelation version) {
    version.slot = s.tails.relation_index_tail[relation.type_index]++;
    s.relations[relation] = version;
    s.relation_history[relation.type_index].push_back(
        {relation, version.timestamp, version.value_index, version.marker});
  }

  // Per instance: its versions stamped at or after `keep_since`, and the last one
  // written before them in time (its state at `keep_since`) if Valid, or if
  // Removed while a version written before it stays.
  static std::vector<bool> keep_of(const ModelHistory& history, std::uint64_t keep_since) {
    std::map<Index, std::size_t, IndexLess> older;
    for (std::size_t i = 0; i < history.size(); ++i)
      if (history[i].timestamp < keep_since) older[history[i].id] = i;
    std::vector<bool> keep(history.size());
    for (std::size_t i = 0; i < history.size(); ++i) keep[i] = history[i].timestamp >= keep_since;
    for (const auto& [id, at] : older) {
      if (history[at].marker == Marker::Valid) {
        keep[at] = true;
        continue;
      }
      for (std::size_t i = 0; i < at; ++i)
        if (history[i].id == id && keep[i]) keep[at] = true;
    }
    return keep;
  }

  // Old payload position -> new, for the positions kept.
  static std::map<std::uint64_t, std::uint64_t> ranks(std::vector<std::uint64_t> positions) {
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    std::map<std::uint64_t, std::uint64_t> rank;
    for (std::uint64_t position : positions) rank.emplace(position, rank.size());
    return rank;
  }

  // Keeps the marked versions, renumbers their slots and payloads, and the latest
  // versions with them; instances left without versions disappear. The new tail.
  template <class Latest>
  static std::uint64_t rewrite(ModelHistory& history, const std::vector<bool>& keep,
                               const std::map<std::uint64_t, std::uint64_t>& rank,
                               Latest& latest, std::set<Index, IndexLess>& vanished) {
    ModelHistory kept;
    for (std::size_t i = 0; i < history.size(); ++i) {
      if (!keep[i]) continue;
      kept.push_back(history[i]);
      kept.back().value_index = rank.at(history[i].value_index);
    }
    for (std::size_t i = 0; i < history.size(); ++i) {
      auto instance = latest.find(history[i].id);
      if (instance == latest.end() || instance->second.slot != i) continue;
      if (!keep[i]) {
        vanished.insert(instance->first);
        latest.erase(instance);
        continue;
      }
      instance->second.slot = static_cast<std::uint64_t>(
          std::count(keep.begin(), keep.begin() + static_cast<std::ptrdiff_t>(i), true));
      instance->second.value_index = rank.at(instance->second.value_index);
    }
    history = std::move(kept);
    return history.size();
  }

  // The entry holding `relation` if any, else the lowest free one, else the
  // lowest stale one: its relation's latest version is removed or no longer has
  // `node` at this list's end.
  static std::optional<std::size_t> entry_for(const ModelState& s, const RelationList& list,
                                              const Index& relation, const Index& node,
                                              bool outgoing) {
    for (std::size_t i = 0; i < kListEntries; ++i) {
      if (list[i] == relation) return i;
    }
    for (std::size_t i = 0; i < kListEntries; ++i) {
      if (list[i].type_index == 0) return i;
    }
    for (std::size_t i = 0; i < kListEntries; ++i) {
      const auto entry = s.relations.find(list[i]);
      if (entry == s.relations.end() || entry->second.marker == Marker::Removed ||
          (outgoing ? entry->second.from : entry->second.to) != node)
        return i;
    }
    return std::nullopt;
  }

  static void clear_entries(RelationList& list, const Index& relation) {
    for (Index& entry : list) {
      if (entry == relation) entry = Index{};
    }
  }

  // The relations a node removal takes with it: listed ones, each once, whose
  // latest version still names this node as one of its ends.
  static std::vector<Index> relations_of(const ModelState& s, const Index& node,
                                         const ModelNode& latest) {
    std::vector<Index> doomed;
    for (const RelationList* list : {&latest.outgoing, &latest.incoming}) {
      for (const Index& entry : *list) {
        if (entry.is_empty()) continue;
        if (std::find(doomed.begin(), doomed.end(), entry) != doomed.end()) continue;
        const auto relation = s.relations.find(entry);
        if (relation == s.relations.end()) continue;
        if (relation->second.from == node || relation->second.to == node) doomed.push_back(entry);
      }
    }
    return doomed;
  }

  ModelState published_;
  ModelState batch_;
  bool autocommit_ = true;
  bool batch_open_ = false;
  std::uint64_t batches_opened_ = 0;
  bool cleared_ = false;
  std::uint64_t active_ = 0;
};

// ---- What a reader that starts now sees ----

// A scene of cars with one version each and carId = instance id, as a reader
// sees it through the read side: "cars 1 3, count 2, last 1000". A car whose
// payload carries another id shows as "1=7".
inline std::string car_scene_view(const KnowledgeGraph& graph) {
  std::ostringstream out;
  out << "cars";
  for (const NodeItem& item :
       graph.get_nodes_of_type(interval_algebra::Interval::eternity(), types::NodeKindOf<types::Car>::kind)) {
    out << ' ' << item.record.instance_id;
    const auto car_id = static_cast<std::uint64_t>(item.value.get<types::Car>().carId);
    if (car_id != item.record.instance_id) out << '=' << car_id;
  }
  out << ", count " << graph.node_count() << ", last " << graph.last_update();
  return out.str();
}

// ---- Checks of a record. Each returns a description of the first problem, or "". ----

inline std::string describe_tails(const GraphIndices& record, const GraphIndices& model) {
  return "tails differ:\n  record " + to_string(record) + "\n  model  " + to_string(model);
}

inline bool same_tails(const GraphIndices& a, const GraphIndices& b) {
  return a.node_index_tail == b.node_index_tail && a.nodes_tail == b.nodes_tail &&
         a.relation_index_tail == b.relation_index_tail && a.relations_tail == b.relations_tail &&
         a.update_timestamp == b.update_timestamp;
}

inline std::string compare_node(const KnowledgeGraph& graph, const GraphIndices& buffer,
                                const Index& id, const ModelNode& model) {
  std::ostringstream out;
  const auto slot =
      scan_latest_node_slot(graph, id.type_index, id.instance_id, buffer.node_index_tail[id.type_index]);
  if (!slot || *slot != model.slot) {
    out << "node " << id << ": latest version at " << (slot ? std::to_string(*slot) : "none")
        << ", expected at " << model.slot;
    return out.str();
  }
  const NodeRecord& record = graph.node_records[id.type_index][*slot];
  if (record.timestamp != model.timestamp) out << " timestamp " << record.timestamp;
  if (record.value_index != model.value_index) out << " value_index " << record.value_index;
  if (record.marker != model.marker) out << " marker " << record.marker;
  if (record.outgoing != model.outgoing) out << " outgoing list";
  if (record.incoming != model.incoming) out << " incoming list";
  if (record.value_index < kNodeValues &&
      std::memcmp(&graph.node_values[record.value_index], &model.value, sizeof model.value) != 0)
    out << " payload";
  return out.str().empty() ? "" : "node " + to_string(id) + " differs:" + out.str();
}

inline std::string compare_relation(const KnowledgeGraph& graph, const GraphIndices& buffer,
                                    const Index& id, const ModelRelation& model) {
  std::ostringstream out;
  const auto slot = scan_latest_relation_slot(graph, id.type_index, id.instance_id,
                                              buffer.relation_index_tail[id.type_index]);
  if (!slot || *slot != model.slot) {
    out << "relation " << id << ": latest version at " << (slot ? std::to_string(*slot) : "none")
        << ", expected at " << model.slot;
    return out.str();
  }
  const RelationRecord& record = graph.relation_records[id.type_index][*slot];
  if (record.timestamp != model.timestamp) out << " timestamp " << record.timestamp;
  if (record.value_index != model.value_index) out << " value_index " << record.value_index;
  if (record.marker != model.marker) out << " marker " << record.marker;
  if (record.from != model.from) out << " from " << record.from;
  if (record.to != model.to) out << " to " << record.to;
  if (record.value_index < kRelationValues &&
      std::memcmp(&graph.relation_values[record.value_index], &model.value, sizeof model.value) != 0)
    out << " payload";
  return out.str().empty() ? "" : "relation " + to_string(id) + " differs:" + out.str();
}

// Compares one buffer of the record (with the record's arrays) with a model state.
inline std::string compare_state(const KnowledgeGraph& graph, const GraphIndices& buffer,
                                 const ModelState& state) {
  if (!same_tails(buffer, state.tails)) return describe_tails(buffer, state.tails);
  for (const auto& [id, node] : state.nodes) {
    if (std::string problem = compare_node(graph, buffer, id, node); !problem.empty()) return problem;
  }
  for (const auto& [id, relation] : state.relations) {
    if (std::string problem = compare_relation(graph, buffer, id, relation); !problem.empty())
      return problem;
  }
  return "";
}

// Instances the model does not hold must have no version in the record either.
inline std::string check_absent(const KnowledgeGraph& graph, const GraphIndices& buffer,
                                const ModelState& state, const std::vector<Index>& nodes,
                                const std::vector<Index>& relations) {
  for (const Index& id : nodes) {
    if (id.type_index >= kNodeKinds || state.nodes.count(id)) continue;
    if (scan_latest_node_slot(graph, id.type_index, id.instance_id,
                              buffer.node_index_tail[id.type_index]))
      return "node " + to_string(id) + " has a version the model lacks";
  }
  for (const Index& id : relations) {
    if (id.type_index >= kRelationKinds || state.relations.count(id)) continue;
    if (scan_latest_relation_slot(graph, id.type_index, id.instance_id,
                                  buffer.relation_index_tail[id.type_index]))
      return "relation " + to_string(id) + " has a version the model lacks";
  }
  return "";
}

inline std::string check_node_slot(const KnowledgeGraph& graph, const GraphIndices& buffer,
                                   std::uint64_t kind, std::uint64_t slot,
                                   const ModelState* state = nullptr) {
  const NodeRecord& record = graph.node_records[kind][slot];
  const std::string where = "node kind " + std::to_string(kind) + " slot " + std::to_string(slot);
  if (record.marker != Marker::Valid && record.marker != Marker::Removed)
    return where + ": marker " + to_string(record.marker);
  if (record.value_index >= buffer.nodes_tail) return where + ": value_index above nodes_tail";
  if (graph.node_values[record.value_index].type_index() != kind)
    return where + ": payload of another kind";
  for (const RelationList* list : {&record.outgoing, &record.incoming}) {
    for (std::size_t i = 0; i < kListEntries; ++i) {
      const Index& entry = (*list)[i];
      if (entry.is_empty()) continue;
      if (entry.type_index >= kRelationKinds) return where + ": list entry of no relation kind";
      for (std::size_t j = i + 1; j < kListEntries; ++j) {
        if ((*list)[j] == entry) return where + ": " + to_string(entry) + " listed twice";
      }
      if (!scan_latest_relation_slot(graph, entry.type_index, entry.instance_id,
                                     buffer.relation_index_tail[entry.type_index]) &&
          !(state != nullptr && state->vanished_relations.count(entry)))
        return where + ": lists " + to_string(entry) + ", which has no version";
    }
  }
  return "";
}

inline std::string check_relation_slot(const KnowledgeGraph& graph, const GraphIndices& buffer,
                                       std::uint64_t kind, std::uint64_t slot,
                                       const ModelState* state = nullptr) {
  const RelationRecord& record = graph.relation_records[kind][slot];
  const std::string where =
      "relation kind " + std::to_string(kind) + " slot " + std::to_string(slot);
  if (record.marker != Marker::Valid && record.marker != Marker::Removed)
    return where + ": marker " + to_string(record.marker);
  if (record.value_index >= buffer.relations_tail)
    return where + ": value_index above relations_tail";
  if (graph.relation_values[record.value_index].type_index() != kind)
    return where + ": payload of another kind";
  for (const Index& end : {record.from, record.to}) {
    if (end.type_index < kNodeKinds && state != nullptr && state->vanished_nodes.count(end))
      continue;
    if (end.type_index >= kNodeKinds ||
        !scan_latest_node_slot(graph, end.type_index, end.instance_id,
                               buffer.node_index_tail[end.type_index]))
      return where + ": joins " + to_string(end) + ", which has no version";
  }
  return "";
}

// The record's invariants for one buffer. Slots below `checked`'s tails (per kind,
// where not above the buffer's tail) were checked before and are skipped; pass a
// zeroed GraphIndices for a full check. With the model `state`, versions may name
// instances that a compaction dropped.
inline std::string check_invariants(const KnowledgeGraph& graph, const GraphIndices& buffer,
                                    const GraphIndices& checked = GraphIndices{},
                                    const ModelState* state = nullptr) {
  if (buffer.nodes_tail > kNodeValues || buffer.relations_tail > kRelationValues)
    return "value tail beyond capacity: " + to_string(buffer);
  for (std::uint64_t k = 0; k < kNodeKinds; ++k) {
    const std::uint64_t tail = buffer.node_index_tail[k];
    if (tail > kNodeVersionsPerKind) return "node tail beyond capacity: " + to_string(buffer);
    const std::uint64_t start = checked.node_index_tail[k] <= tail ? checked.node_index_tail[k] : 0;
    for (std::uint64_t slot = start; slot < tail; ++slot) {
      if (std::string problem = check_node_slot(graph, buffer, k, slot, state); !problem.empty())
        return problem;
    }
  }
  for (std::uint64_t k = 0; k < kRelationKinds; ++k) {
    const std::uint64_t tail = buffer.relation_index_tail[k];
    if (tail > kRelationVersionsPerKind)
      return "relation tail beyond capacity: " + to_string(buffer);
    const std::uint64_t start =
        checked.relation_index_tail[k] <= tail ? checked.relation_index_tail[k] : 0;
    for (std::uint64_t slot = start; slot < tail; ++slot) {
      if (std::string problem = check_relation_slot(graph, buffer, k, slot, state);
          !problem.empty())
        return problem;
    }
  }
  return "";
}

}  // namespace knowledge_graph::graph::reference
