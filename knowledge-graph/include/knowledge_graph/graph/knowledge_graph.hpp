// The KnowledgeGraph record: one fixed-layout, pointer-free, append-only record
// of 520,896,624 bytes that holds the whole scene graph. The same bytes mean the
// same thing in every process that maps the shared region, so every offset below
// is fixed and checked at compile time.
//
// Thread rules: one writer at a time across all processes (no lock is taken);
// any number of readers, in any process, concurrently with it. Readers see only
// what a publication (a flip of `active_indices`) has made active.
//
// Caveats:
// - The capacities are hard limits. A write that would exceed one is refused
//   before it publishes anything and reports which limit refused it (and where:
//   the kind or the node). fill() tells how close each array is.
// - A node's list may hold stale entries: relations added again between other
//   nodes, or removed while their old node was not their end any more. A reader
//   walking a list checks each entry's latest version (`from`/`to`, `marker`).
//   When a list has no free entry left, the next relation takes the lowest
//   stale one, in the new version only; older versions stay as they were.
// - Batches: set_autocommit(false), start_transaction, the writes,
//   commit_transaction. A write (clear included) in transaction mode with no
//   open batch opens one first, as start_transaction would; a commit with no
//   open batch (autocommit mode, a second commit) changes nothing. This process
//   keeps which batch is open, per mapping of the record: another mapping or
//   process never continues or commits it, and a batch of a writer that died
//   is never continued.
// - Readers see only published states: the graph before a batch or the
//   committed batch. A batch that clears keeps the old graph published until
//   its first write that would append below the published tails; just before
//   that write it publishes the empty graph (last update as published before),
//   which readers see until the commit. A dropped batch (set_autocommit(true)
//   or start_transaction before the commit) leaves the published state as it
//   is: the graph before the batch, or that empty graph.
// - A reader is protected by the double buffer only until the writer publishes
//   twice more, and slots below old tails are reused after `clear`. The reads of
//   this module detect both through the guard counters (see Snapshot) and retry.
// - `compact` moves kept versions down in place. While it runs, the reads of this
//   module wait for it (see `compact` for the bounds); a peer that only follows
//   the layout sees slots below the active tails change, as after a clear.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "interval_algebra/interval.hpp"
#include "knowledge_graph/graph/types.hpp"

namespace knowledge_graph::graph {

using types::KnowledgeGraphNode;
using types::KnowledgeGraphRelation;

inline constexpr std::uint64_t kNodeKinds = types::kNodeKindCount;
inline constexpr std::uint64_t kNodeVersionsPerKind = 21000;
inline constexpr std::uint64_t kNodeValues = 20000;
inline constexpr std::uint64_t kRelationKinds = types::kRelationKindCount;
inline constexpr std::uint64_t kRelationVersionsPerKind = 20000;
inline constexpr std::uint64_t kRelationValues = 20000;
inline constexpr std::size_t kListEntries = 40;

// Identity of a node or relation: (kind number, host's instance id). (0, 0) is empty.
struct Index {
  std::uint64_t type_index = 0;
  std::uint64_t instance_id = 0;

  constexpr Index() = default;
  constexpr Index(std::uint64_t type, std::uint64_t id) : type_index(type), instance_id(id) {}
  static constexpr Index zeroed() { return Index{}; }
  constexpr bool is_empty() const { return type_index == 0 && instance_id == 0; }
  friend constexpr bool operator==(const Index&, const Index&) = default;
};

enum class Marker : std::uint8_t { None = 0, Valid = 1, Removed = 2 };

using RelationList = std::array<Index, kListEntries>;

// One stored version of a node.
struct NodeRecord {
  std::uint64_t timestamp;
  std::uint64_t value_index;
  std::uint64_t instance_id;
  RelationList outgoing;  // relations in which this node is the `from` node
  RelationList incoming;  // relations in which this node is the `to` node
  Marker marker;
  std::uint8_t padding[7];
};

// One stored version of a relation.
struct RelationRecord {
  std::uint64_t timestamp;
  std::uint64_t value_index;
  std::uint64_t instance_id;
  Index from;
  Index to;
  Marker marker;
  std::uint8_t padding[7];
};

// The bookkeeping of one buffer: how far every array is filled.
struct GraphIndices {
  std::array<std::uint64_t, kNodeKinds> node_index_tail;
  std::uint64_t nodes_tail;
  std::array<std::uint64_t, kRelationKinds> relation_index_tail;
  std::uint64_t relations_tail;
  std::uint64_t update_timestamp;
};

// Why a write stored nothing. Stored (0) means the change is in the graph.
enum class WriteStatus : std::uint32_t {
  Stored = 0,
  NotFound = 1,              // remove: the node or relation has no version
  NodeMissing = 2,           // add_relation: the `from` or `to` node has no version
  KindOutOfRange = 3,        // a node kind above 17 or a relation kind above 16
  NodeVersionsFull = 4,      // a node kind's 21,000 version slots are used
  NodeValuesFull = 5,        // the 20,000 node payloads are used
  RelationVersionsFull = 6,  // a relation kind's 20,000 version slots are used
  RelationValuesFull = 7,    // the 20,000 relation payloads are used
  OutgoingListFull = 8,      // the `from` node lists 40 other relations
  IncomingListFull = 9,      // the `to` node lists 40 other relations
  // The record's write gate refused the write: another live process is the
  // region's writer, or this process is not (see write_gate.hpp). Nothing stored.
  NotWriter = 10,
  // Outcomes of asking a C handle for its last write, never of a write itself:
  NoHandle = 11,             // the handle is null
  NothingWritten = 12,       // no add or remove went through the handle yet
  InsideBatch = 13,          // compact: refused while autocommit is off
};
std::string_view to_string(WriteStatus status);

template <class T> struct WriteResult {
  T value;
  WriteStatus status;
  // Where a capacity refusal met its limit: the kind whose version array is
  // full (a node or relation kind, as `status` says; instance id 0), or the
  // node whose list is full. Empty for every other outcome.
  Index limit{};
  bool stored() const { return status == WriteStatus::Stored; }
};

// A refusal in words, naming the kind or node and the limit, e.g.
// "NodeVersionsFull: node kind Car (1) has used all 21000 version slots".
std::string describe(WriteStatus status, Index limit = {});
template <class T> std::string describe(const WriteResult<T>& result) {
  return describe(result.status, result.limit);
}
// A node or relation as a person names it: "Car 99", "isOn 5"; a kind number
// outside the vocabulary as "node kind 42 99".
std::string describe_node(Index node);
std::string describe_relation(Index relation);
// Why `operation` on `subject` (describe_node / describe_relation) stored nothing, in
// words that name things, e.g. "update_node: Car 99 not found",
// "add_relation isOn 5: Car 7 or Lane 3 not found".
std::string describe_refusal(std::string_view operation, const std::string& subject,
                             WriteStatus status, Index limit = {},
                             const std::string& ends = {});

// How much of one fixed array the published state uses.
struct ArrayFill {
  std::uint64_t used = 0;
  std::uint64_t capacity = 0;
  double fraction() const {
    return capacity == 0 ? 0.0 : static_cast<double>(used) / static_cast<double>(capacity);
  }
};

// Every fixed array's fill, indexed by kind number where an array is per kind.
struct Fill {
  std::array<ArrayFill, kNodeKinds> node_versions;
  ArrayFill node_values;
  std::array<ArrayFill, kRelationKinds> relation_versions;
  ArrayFill relation_values;
};
// The fill that one bookkeeping buffer describes (tails beyond capacity shown as they are).
Fill fill_of(const GraphIndices& indices);

// A reader's copy of the active buffer with the guard counters read around it.
struct Snapshot {
  GraphIndices indices;
  std::uint64_t active;               // which buffer was copied (0 or 1)
  std::uint32_t publication_sequence; // the guard counters when the copy was taken
  std::uint16_t clear_epoch;
  // Set when a compaction outlasted the reader's wait (its writer presumably died):
  // the tails are all 0, so reads through this snapshot see an empty graph.
  bool compaction_stalled = false;
};

// An owned copy of one node version (its two lists are owned fixed arrays of
// exactly 40 entries) and its payload.
struct NodeItem {
  NodeRecord record;
  KnowledgeGraphNode value;

  // The kind, as the payload's tag says it, and the version's identity.
  types::NodeKind kind() const { return static_cast<types::NodeKind>(value.type_index()); }
  Index index() const { return Index(value.type_index(), record.instance_id); }
};

// An owned copy of one relation version and its payload.
struct RelationItem {
  RelationRecord record;
  KnowledgeGraphRelation value;

  types::RelationKind kind() const {
    return static_cast<types::RelationKind>(value.type_index());
  }
  Index index() const { return Index(value.type_index(), record.instance_id); }
};

namespace detail {
struct WriterSteps;
}  // namespace detail

namespace iterators {
struct NodeIterator;
struct RelationIterator;
}  // namespace iterators

struct KnowledgeGraph {
  NodeRecord node_records[kNodeKinds][kNodeVersionsPerKind];
  KnowledgeGraphNode node_values[kNodeValues];
  RelationRecord relation_records[kRelationKinds][kRelationVersionsPerKind];
  KnowledgeGraphRelation relation_values[kRelationValues];
  GraphIndices indices[2];
  std::uint64_t active_indices;
  std::uint8_t autocommit;
  // The reader guard, kept in what was padding after `autocommit`. A writer that
  // does not maintain it leaves these bytes alone and its record reads as before.
  std::uint8_t guard_mark;               // kGuardMark when this writer keeps the guard,
                                         // kCompactingMark while a compaction moves slots
  std::uint16_t clear_epoch;             // +1 by every clear, before any slot is reused
  std::uint32_t publication_sequence;    // +1 before every write of a bookkeeping buffer

  static constexpr std::uint8_t kGuardMark = 0x56;
  static constexpr std::uint8_t kCompactingMark = 0x43;

  struct Deleter {
    void operator()(KnowledgeGraph* graph) const;
  };
  using Boxed = std::unique_ptr<KnowledgeGraph, Deleter>;

  // A graph in the default state in private memory, zero-filled in place.
  static Boxed new_boxed();
  // Zero-fills the record at `memory` and sets autocommit: the default state.
  static KnowledgeGraph* make_default_in(void* memory);

  // ---- Graph-wide operations ----
  // Autocommit on; an open batch is dropped.
  void initialize();
  // In a batch, readers keep the old graph until the batch would reuse one of
  // its slots (see the caveats above).
  void clear();
  bool is_empty() const;
  std::uint64_t node_count() const;
  std::uint64_t relation_count() const;
  std::uint64_t last_update() const;
  // Opens a batch from the published state (an open one is dropped).
  void start_transaction();
  // Publishes the open batch; without one it changes nothing.
  void commit_transaction();
  // true drops an open batch.
  void set_autocommit(bool value);

  // ---- Bookkeeping ----
  bool autocommit_enabled() const;
  // Which buffer is published; a damaged word other than 0 or 1 reads as its low bit.
  std::uint64_t active_buffer() const;

  // ---- Writes ----
  WriteResult<Index> add_node(std::uint64_t timestamp, std::uint64_t instance_id,
                              const KnowledgeGraphNode& value);
  WriteResult<bool> remove_node(std::uint64_t timestamp, Index node);
  WriteResult<Index> add_relation(std::uint64_t timestamp, std::uint64_t instance_id,
                                  const KnowledgeGraphRelation& value, Index from, Index to);
  WriteResult<bool> remove_relation(std::uint64_t timestamp, Index relation);
  // A new version of an existing node with payload `value`, both lists of its
  // latest version and marker `Valid` (so it also revives a removed node).
  // NotFound when (kind of `value`, instance_id) has no version: add_node makes one.
  WriteResult<Index> update_node(std::uint64_t timestamp, std::uint64_t instance_id,
                                 const KnowledgeGraphNode& value);

  // ---- Compaction: a sliding history window ----
  // Keeps, in their write order, every version whose timestamp is at or after
  // `keep_since` and, for every instance, the last version written with an
  // earlier timestamp (its state at `keep_since`) when it is Valid, whether or
  // not later versions exist. That version, when Removed (or None), is kept only
  // if a version written before it stays (timestamps that go back), so that the
  // older one does not come back to life; otherwise an instance with no later
  // version disappears. Payloads are renumbered compactly in their old order;
  // instance ids, markers, lists and timestamps stay; `update_timestamp` is
  // unchanged. Every read "as of" a time at or after `keep_since` (node/relation
  // at t, nodes/relations as of t, traversals), every read over an interval that
  // starts at or after `keep_since`, and over eternity, answers as before (except
  // the renumbered `value_index`); reads as of earlier times see only what was
  // kept. Iterators made before are overtaken.
  //
  // Result: the number of versions (nodes and relations) the graph holds after.
  // Refused with InsideBatch while autocommit is off. A compaction that drops
  // nothing changes nothing and publishes nothing; otherwise it is one publication.
  //
  // Readers: from the moment the first slot moves until the compacted buffer is
  // published, the reads of this module (any process) wait; the wait lasts as
  // long as the compaction, whose cost follows the versions it keeps (it reads
  // the id and timestamp of every stored version and copies only kept ones).
  // Reads begun before retry after it. A reader that has waited
  // kCompactionWaitMilliseconds asks the record's write gate whether the writer
  // lives (write_gate.hpp): a live writer (paused, say) is waited for as long as
  // it lives; otherwise the reader gives up: the writer is taken for dead, and
  // until a host clears the graph (every `initialize` does) reads see an empty
  // graph and `compaction_stalled()` is true. A writer killed mid-compaction
  // leaves the graph in that state.
  WriteResult<std::uint64_t> compact(std::uint64_t keep_since);
  static constexpr unsigned kCompactionWaitMilliseconds = 2000;
  // Whether a compaction is in progress or was left unfinished (see `compact`).
  bool compaction_in_progress() const;
  // Whether a reader here has given up waiting for the compaction now in progress.
  bool compaction_stalled() const;

  // ---- Reads (any process; they never write) ----
  // Copies the active buffer; retries while a writer overwrites it.
  Snapshot snapshot() const;
  // Whether a clear may have reused slots since `snapshot` was taken.
  bool cleared_since(const Snapshot& snapshot) const;
  // How full every array is in the published state.
  Fill fill() const;

  // Each read below takes its own snapshot, so two calls may show two different
  // publications. To read a consistent scene (several kinds, traversal, "as of
  // t"), use a SceneView (scene_view.hpp), which answers every query from one.
  //
  // The latest version of one instance (the highest slot, whatever its marker or
  // timestamp; Removed versions included), in place in the record, or null. The
  // pointer stays valid only until the writer's next clear, after which the slot
  // may hold another instance's version: copy at once, or prefer SceneView::node.
  const NodeRecord* get_latest_node_record(Index node) const;
  // The payload of the latest version, in place, or null when absent or Removed.
  // Same lifetime as above.
  const KnowledgeGraphNode* get_latest_node_value(Index node) const;
  // Window: per instance of `kind` its latest version stamped inside `interval`,
  // if that version is Valid; copies in ascending instance id. An instance not
  // written inside the window is missing even if it existed throughout it (use
  // SceneView::nodes_as_of for the state at a time). A kind out of range: empty.
  std::vector<NodeItem> get_nodes_of_type(const interval_algebra::Interval& interval,
                                          std::uint64_t kind) const;
  // get_nodes_of_type for every kind 0..17 in order, one snapshot per kind.
  std::vector<NodeItem> get_all_nodes(const interval_algebra::Interval& interval) const;
  // Every version (all markers) of `kind` stamped inside `interval`, oldest slot
  // first, below the tails of a snapshot taken now (see iterators.hpp).
  iterators::NodeIterator nodes_iter(const interval_algebra::Interval& interval,
                                     std::uint64_t kind) const;

  // The relation twins of the node reads above, with the same rules and lifetimes.
  const RelationRecord* get_latest_relation_record(Index relation) const;
  const KnowledgeGraphRelation* get_latest_relation_value(Index relation) const;
  std::vector<RelationItem> get_relations_of_type(const interval_algebra::Interval& interval,
                                                  std::uint64_t kind) const;
  std::vector<RelationItem> get_all_relations(const interval_algebra::Interval& interval) const;
  iterators::RelationIterator relations_iter(const interval_algebra::Interval& interval,
                                             std::uint64_t kind) const;

 private:
  // The writer's steps, kept to the graph's own writes (detail::WriterSteps opens
  // them to the graph's sources): the working buffer a write starts from (in
  // transaction mode with no open batch, opening one as start_transaction does);
  // in a batch that cleared, publishing the empty graph first when appending at
  // `working`'s tails would rewrite slots below the published tails; storing
  // `working` (its timestamp set) into the inactive buffer and, in autocommit
  // mode, flipping `active_indices`.
  GraphIndices working_buffer();
  void protect_published_slots(const GraphIndices& working);
  void publish(const GraphIndices& working);
  friend struct detail::WriterSteps;
};

// Diagnostic text forms.
std::string to_string(const Index& index);
std::string to_string(Marker marker);
std::string to_string(const GraphIndices& indices);
std::ostream& operator<<(std::ostream& out, const Index& index);
std::ostream& operator<<(std::ostream& out, Marker marker);
std::ostream& operator<<(std::ostream& out, const GraphIndices& indices);

// ---- Layout checks ----

static_assert(sizeof(Index) == 16 && offsetof(Index, instance_id) == 8);
static_assert(sizeof(Marker) == 1);
static_assert(sizeof(NodeRecord) == 1312 && offsetof(NodeRecord, timestamp) == 0 &&
              offsetof(NodeRecord, value_index) == 8 && offsetof(NodeRecord, instance_id) == 16 &&
              offsetof(NodeRecord, outgoing) == 24 && offsetof(NodeRecord, incoming) == 664 &&
              offsetof(NodeRecord, marker) == 1304);
static_assert(sizeof(RelationRecord) == 64 && offsetof(RelationRecord, timestamp) == 0 &&
              offsetof(RelationRecord, value_index) == 8 &&
              offsetof(RelationRecord, instance_id) == 16 && offsetof(RelationRecord, from) == 24 &&
              offsetof(RelationRecord, to) == 40 && offsetof(RelationRecord, marker) == 56);
static_assert(sizeof(GraphIndices) == 304 && offsetof(GraphIndices, node_index_tail) == 0 &&
              offsetof(GraphIndices, nodes_tail) == 144 &&
              offsetof(GraphIndices, relation_index_tail) == 152 &&
              offsetof(GraphIndices, relations_tail) == 288 &&
              offsetof(GraphIndices, update_timestamp) == 296);
static_assert(sizeof(KnowledgeGraph) == 520'896'624 && alignof(KnowledgeGraph) == 8);
static_assert(offsetof(KnowledgeGraph, node_records) == 0);
static_assert(offsetof(KnowledgeGraph, node_values) == 495'936'000);
static_assert(offsetof(KnowledgeGraph, relation_records) == 498'816'000);
static_assert(offsetof(KnowledgeGraph, relation_values) == 520'576'000);
static_assert(offsetof(KnowledgeGraph, indices) == 520'896'000);
static_assert(offsetof(KnowledgeGraph, active_indices) == 520'896'608);
static_assert(offsetof(KnowledgeGraph, autocommit) == 520'896'616);
static_assert(offsetof(KnowledgeGraph, guard_mark) == 520'896'617);
static_assert(offsetof(KnowledgeGraph, clear_epoch) == 520'896'618);
static_assert(offsetof(KnowledgeGraph, publication_sequence) == 520'896'620);
static_assert(sizeof(NodeRecord) * kNodeVersionsPerKind == 27'552'000);
static_assert(sizeof(RelationRecord) * kRelationVersionsPerKind == 1'280'000);

}  // namespace knowledge_graph::graph
