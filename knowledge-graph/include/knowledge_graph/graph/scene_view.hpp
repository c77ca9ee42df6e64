// SceneView: one consistent scene per read.
//
// A view is made from one snapshot of the published bookkeeping and answers
// every query against that one publication: the versions below its tails. Those
// slots are never rewritten while the writer only appends, so every answer of a
// view describes the same state, whatever the writer publishes meanwhile.
//
// Every answer is an owned copy (NodeItem, RelationItem), never a pointer into
// the record. Prefer these copies to get_latest_node_record/value and their
// relation twins: those return pointers into the shared record that stay valid
// only until the writer's next clear, after which the slot may show another
// instance.
//
// Words used below:
// - version: one stored slot (a write appends one; a relation change appends
//   one to each of its two nodes). Markers: Valid, or Removed (the instance is
//   gone from that version on until a later Valid version).
// - instance: one (kind, instance id); an instance has one or more versions.
// - latest version: the one in the highest slot, whatever the timestamps say.
// - as of t: the state at t, i.e. per instance its latest version whose
//   timestamp is <= t, reported only if that version is Valid. An instance
//   written at 0 is part of the state at 500.
// - window [a, b]: the versions stamped inside the interval, per instance the
//   latest of them if Valid (what get_nodes_of_type answers on one snapshot). An
//   instance written before the window and not touched inside it is missing:
//   use as-of for "what existed then".
// - current: the state as of the view, i.e. per instance its latest version if
//   Valid, whatever its timestamp.
//
// Overtaken: a clear lets the writer reuse slots below the view's tails. Every
// query checks the guard after reading; a query that was overtaken answers
// empty (nothing, zero counts) and overtaken() turns true for good. Copies
// returned before that stay valid. Make a new view to read on.
//
// Thread rules: a view is used by one thread at a time (it caches the current
// state on first use); any number of views, in any process, read concurrently
// with the one writer. The graph must outlive its views.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "interval_algebra/interval.hpp"
#include "knowledge_graph/graph/knowledge_graph.hpp"

namespace knowledge_graph::graph {

using types::NodeKind;
using types::RelationKind;

// The identity of a node (KindIndex<NodeKind>) or a relation
// (KindIndex<RelationKind>): the kind enums differ, so the two never mix.
template <class Kind> struct KindIndex {
  Kind kind = Kind::Empty;
  std::uint64_t instance_id = 0;

  constexpr KindIndex() = default;
  constexpr KindIndex(Kind kind, std::uint64_t id) : kind(kind), instance_id(id) {}
  // From a stored Index (e.g. a relation's `from`); the caller knows which family it names.
  static constexpr KindIndex of(Index index) {
    return {static_cast<Kind>(index.type_index), index.instance_id};
  }
  constexpr Index index() const { return {static_cast<std::uint64_t>(kind), instance_id}; }
  friend constexpr bool operator==(const KindIndex&, const KindIndex&) = default;
};
using NodeIndex = KindIndex<NodeKind>;
using RelationIndex = KindIndex<RelationKind>;

// One step of a traversal: the relation and the node at its other end, both as
// they stood at the query's time.
struct Neighbour {
  RelationItem relation;
  NodeItem node;
};

// One stored version as a columnar read takes it: everything but the relation
// lists (which make up most of a node version's bytes).
struct NodeVersion {
  std::uint64_t instance_id = 0;
  std::uint64_t timestamp = 0;
  Marker marker = Marker::None;
  KnowledgeGraphNode value;  // Empty when the version names no stored value
};
struct RelationVersion {
  std::uint64_t instance_id = 0;
  std::uint64_t timestamp = 0;
  Index from;
  Index to;
  Marker marker = Marker::None;
  KnowledgeGraphRelation value;
};

// Instances per kind (Valid as of the view), indexed by kind number.
struct KindCounts {
  std::array<std::uint64_t, kNodeKinds> nodes{};
  std::array<std::uint64_t, kRelationKinds> relations{};
};

// The latest slot of every instance below one snapshot's tails, per kind, in
// ascending instance id. Shared between views made by one SceneReader.
struct LatestSlots {
  std::array<std::map<std::uint64_t, std::uint64_t>, kNodeKinds> nodes;
  std::array<std::map<std::uint64_t, std::uint64_t>, kRelationKinds> relations;
};

class SceneView {
 public:
  // Takes one snapshot of the published state now.
  explicit SceneView(const KnowledgeGraph& graph);
  SceneView(const KnowledgeGraph& graph, const Snapshot& snapshot,
            std::shared_ptr<const LatestSlots> latest = nullptr);

  // The snapshot the view answers from; last_update() is the timestamp of the
  // publication it shows.
  const Snapshot& snapshot() const { return snapshot_; }
  std::uint64_t last_update() const { return snapshot_.indices.update_timestamp; }
  // Whether a clear may have reused the view's slots (see the header comment).
  bool overtaken() const;

  // ---- Instances of one kind, or of all kinds (ordered by kind, then id) ----
  // Current: per instance its latest version, if Valid. Cost: the instances,
  // not the history (the view caches the latest slots on first use: from its
  // SceneReader, else from the lookup index where it can prove itself current
  // for the kind, else by walking the kind once).
  std::vector<NodeItem> nodes(NodeKind kind) const;
  std::vector<NodeItem> all_nodes() const;
  std::vector<RelationItem> relations(RelationKind kind) const;
  std::vector<RelationItem> all_relations() const;
  // As of t: per instance its latest version stamped <= t, if Valid. Cost, where
  // the lookup index proves itself current for the kind: the instances (from
  // the current state), plus for each one changed after t the slots just below
  // the run stamped up to t (binary search, where the writer kept the kind's
  // stamps in order) or its versions after t (down the index's links), never
  // more than the walk below. Otherwise: the versions stamped <= t where the
  // kind is in order, plus those above that run; else the kind's versions.
  std::vector<NodeItem> nodes_as_of(NodeKind kind, std::uint64_t t) const;
  std::vector<NodeItem> all_nodes_as_of(std::uint64_t t) const;
  std::vector<RelationItem> relations_as_of(RelationKind kind, std::uint64_t t) const;
  std::vector<RelationItem> all_relations_as_of(std::uint64_t t) const;
  // Window: versions stamped inside `window`, per instance the latest of them if
  // Valid. Cost: as for as-of, the versions inside the window; a window over all
  // time is the current state.
  std::vector<NodeItem> nodes_in(NodeKind kind, const interval_algebra::Interval& window) const;
  std::vector<NodeItem> all_nodes_in(const interval_algebra::Interval& window) const;
  std::vector<RelationItem> relations_in(RelationKind kind,
                                         const interval_algebra::Interval& window) const;
  std::vector<RelationItem> all_relations_in(const interval_algebra::Interval& window) const;

  // ---- One instance ----
  // Its latest version if Valid (current), or its state as of t (cost: its
  // versions after t, down the lookup index's links; else a scan of its kind).
  std::optional<NodeItem> node(NodeIndex index) const;
  std::optional<NodeItem> node_at(NodeIndex index, std::uint64_t t) const;
  std::optional<RelationItem> relation(RelationIndex index) const;
  std::optional<RelationItem> relation_at(RelationIndex index, std::uint64_t t) const;
  // Every version of one instance, oldest first, Removed ones included. Cost:
  // its versions when the lookup index can prove itself current, else a scan
  // of its kind.
  std::vector<NodeItem> history(NodeIndex index) const;
  std::vector<RelationItem> history(RelationIndex index) const;

  // ---- Traversal as of t (default: current) ----
  // Relations of `kind` leaving (outgoing) or reaching (incoming) `node`, each
  // with the node at its other end; both ends and the relation Valid as of t.
  // Stale list entries (relations that moved to other nodes) are skipped.
  // Ordered as the node's list holds them.
  std::vector<Neighbour> outgoing(NodeIndex node, RelationKind kind,
                                  std::optional<std::uint64_t> t = std::nullopt) const;
  std::vector<Neighbour> incoming(NodeIndex node, RelationKind kind,
                                  std::optional<std::uint64_t> t = std::nullopt) const;
  // Relations of any kind from `from` to `to`, Valid as of t.
  std::vector<RelationItem> relations_between(NodeIndex from, NodeIndex to,
                                              std::optional<std::uint64_t> t = std::nullopt) const;

  // ---- Versions, for columnar reads ----
  // Every stored version of the kind stamped inside `window` (every one without
  // a window), in write order (slot order: oldest first where the host's clock
  // runs forward), Removed ones included; not per instance. Cost: the versions
  // returned where the writer kept the kind's timestamps in order (the window's
  // run is found by binary search), else the kind's versions.
  std::vector<NodeVersion> node_versions(
      NodeKind kind, const std::optional<interval_algebra::Interval>& window = std::nullopt) const;
  std::vector<RelationVersion> relation_versions(
      RelationKind kind,
      const std::optional<interval_algebra::Interval>& window = std::nullopt) const;

  // ---- Counts ----
  // Instances per kind in the current state.
  KindCounts counts() const;
  // Stored versions per kind (the snapshot's tails, clamped to the capacities).
  std::uint64_t versions(NodeKind kind) const;
  std::uint64_t versions(RelationKind kind) const;

 private:
  const LatestSlots& latest() const;
  using SlotsById = std::map<std::uint64_t, std::uint64_t>;
  const SlotsById& node_slots_of(std::uint64_t kind, const interval_algebra::Interval& window,
                                 SlotsById& room) const;
  const SlotsById& relation_slots_of(std::uint64_t kind,
                                     const interval_algebra::Interval& window,
                                     SlotsById& room) const;
  // False (and the view marked overtaken) when a clear came since the snapshot.
  bool still_valid() const;
  template <class Result> Result checked(Result result) const;
  std::vector<std::uint64_t> node_slots(NodeIndex index) const;
  std::vector<std::uint64_t> relation_slots(RelationIndex index) const;
  std::vector<Neighbour> neighbours(NodeIndex node, RelationKind kind,
                                    std::optional<std::uint64_t> t, bool out) const;

  const KnowledgeGraph* graph_;
  Snapshot snapshot_;
  mutable std::shared_ptr<const LatestSlots> latest_;
  mutable bool overtaken_ = false;
};

// Makes views whose current state costs only what was appended since the
// reader's previous view (a full walk after a clear). For a consumer reading
// the live scene periodically. One thread at a time.
class SceneReader {
 public:
  explicit SceneReader(const KnowledgeGraph& graph) : graph_(&graph) {}
  SceneView view();
  // Sleeps until the host publishes a last update other than `after` (usually
  // the last view's last_update()) and returns it; nullopt after `timeout`. A
  // session's reader is woken by the writer's commit (no CPU while it sleeps);
  // a graph without the wake-up polls every millisecond. See publication_signal.hpp.
  std::optional<std::uint64_t> wait_for_publication(
      std::uint64_t after, std::chrono::nanoseconds timeout,
      const std::atomic<bool>* cancel = nullptr) const;

 private:
  const KnowledgeGraph* graph_;
  std::optional<Snapshot> last_;
  std::shared_ptr<LatestSlots> latest_;
};

}  // namespace knowledge_graph::graph
