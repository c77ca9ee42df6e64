// The lookup index: latest-version lookups whose cost does not grow with the
// number of versions written after the one found.
//
// The index is an attachment, never part of the KnowledgeGraph record. In the
// shared region it lives in the bytes after the record (at lookup_index_offset()),
// so readers in other processes use it too; whoever maps the region attaches it
// (RegionLookupIndex), the region layer knows nothing of it. A private graph made
// by new_boxed carries one in the same allocation. A graph without an attachment
// scans, as before.
//
// It holds a hash table from (kind, instance id) to the latest indexed slot and,
// in every indexed version's padding, a stamp: a link to the instance's previous
// version and a salted fingerprint of the version. An answer is given only when
// the index proves itself current for the reader's snapshot (its generation,
// clear epoch, sequence and tails, and the stamps at the tails); otherwise the
// lookup scans. The proof, what it detects of writers that keep no index, and
// what no check short of the scan can detect: docs/design.md, "The lookup index".
//
// Thread rules: one writer maintains the index (inside the graph's write
// operations); readers in any process read it without locks. A torn entry only
// ever sends a reader to the scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "knowledge_graph/graph/region_layout.hpp"

namespace knowledge_graph::graph {

struct KnowledgeGraph;
struct Snapshot;
struct Index;

// The index lies at lookup_index_offset() (region_layout.hpp) behind a record
// mapped at the start of a region, in lookup_index_size() bytes (8-byte aligned
// memory, zero-filled when new).

// Makes `bytes` the lookup index of `graph` in this process (replacing any
// earlier one). Zero-filled bytes read as an index not yet built; the writer
// builds it at its next write. Returns false when no attachment is free.
bool attach_lookup_index(const KnowledgeGraph& graph, void* bytes);
// For a record mapped at the start of a view of `view_size` bytes: attaches the
// bytes after the record when the view is large enough.
bool attach_region_lookup_index(const KnowledgeGraph& graph, std::size_t view_size);
void detach_lookup_index(const KnowledgeGraph& graph);
bool has_lookup_index(const KnowledgeGraph& graph);

// attach_region_lookup_index for the attachment's lifetime. Declare it after the
// owner of the mapping, so that it detaches before the view goes away.
class RegionLookupIndex {
 public:
  RegionLookupIndex() = default;
  RegionLookupIndex(const KnowledgeGraph& graph, std::size_t view_size)
      : graph_(attach_region_lookup_index(graph, view_size) ? &graph : nullptr) {}
  RegionLookupIndex(const RegionLookupIndex&) = delete;
  RegionLookupIndex& operator=(const RegionLookupIndex&) = delete;
  RegionLookupIndex(RegionLookupIndex&& other) noexcept : graph_(other.graph_) {
    other.graph_ = nullptr;
  }
  RegionLookupIndex& operator=(RegionLookupIndex&& other) noexcept {
    if (this != &other) {
      reset();
      graph_ = other.graph_;
      other.graph_ = nullptr;
    }
    return *this;
  }
  ~RegionLookupIndex() { reset(); }
  void reset() {
    if (graph_ != nullptr) detach_lookup_index(*graph_);
    graph_ = nullptr;
  }
  bool attached() const { return graph_ != nullptr; }

 private:
  const KnowledgeGraph* graph_ = nullptr;
};

// The reader's lookups below `snapshot`'s tails: through the index when it is
// current, else the scan. Kinds out of range find nothing.
std::optional<std::uint64_t> latest_node_slot(const KnowledgeGraph& graph,
                                              const Snapshot& snapshot, Index node);
std::optional<std::uint64_t> latest_relation_slot(const KnowledgeGraph& graph,
                                                  const Snapshot& snapshot, Index relation);

// Every slot of one instance below `snapshot`'s tails, newest first, through the
// index's links; nothing when the index cannot prove the chain complete (the
// caller scans). A kind out of range has no versions.
std::optional<std::vector<std::uint64_t>> node_version_chain(const KnowledgeGraph& graph,
                                                             const Snapshot& snapshot, Index node);
std::optional<std::vector<std::uint64_t>> relation_version_chain(const KnowledgeGraph& graph,
                                                                 const Snapshot& snapshot,
                                                                 Index relation);

// ---- As of a time ----
//
// The slot of one instance's latest version stamped at or before `t` below
// `snapshot`'s tails, found by following the links down from its latest slot
// (cost: its versions stamped after t): the slot, or an empty answer when it has
// none; nothing when the index cannot prove the chain complete (the caller scans).
std::optional<std::optional<std::uint64_t>> node_slot_as_of(const KnowledgeGraph& graph,
                                                            const Snapshot& snapshot, Index node,
                                                            std::uint64_t t);
std::optional<std::optional<std::uint64_t>> relation_slot_as_of(const KnowledgeGraph& graph,
                                                                const Snapshot& snapshot,
                                                                Index relation, std::uint64_t t);

// The same for every instance of `kind`, from `latest` (instance id -> latest slot
// below the snapshot's tail, ascending; every instance of the kind, or all but
// those removed at or before t) into `out` (instance id -> slot as of t;
// instances with none, and those removed at or before t, left out). An instance whose
// latest version is stamped after t is looked for first just below the run of
// slots stamped up to t, where the writer kept the kind in time order (a busy
// instance has its version there), else down its links. False, with `out` in
// any state, when the index cannot prove the answer or it would cost more than
// the walk of the slots stamped up to t (the caller walks them).
bool node_slots_as_of(const KnowledgeGraph& graph, const Snapshot& snapshot, std::uint64_t kind,
                      std::uint64_t t, const std::map<std::uint64_t, std::uint64_t>& latest,
                      std::map<std::uint64_t, std::uint64_t>& out);
bool relation_slots_as_of(const KnowledgeGraph& graph, const Snapshot& snapshot,
                          std::uint64_t kind, std::uint64_t t,
                          const std::map<std::uint64_t, std::uint64_t>& latest,
                          std::map<std::uint64_t, std::uint64_t>& out);
// The same from `latest` as instances and slots in ascending instance id.
struct LatestSlot;
bool node_slots_as_of(const KnowledgeGraph& graph, const Snapshot& snapshot, std::uint64_t kind,
                      std::uint64_t t, const std::vector<LatestSlot>& latest,
                      std::map<std::uint64_t, std::uint64_t>& out);
bool relation_slots_as_of(const KnowledgeGraph& graph, const Snapshot& snapshot,
                          std::uint64_t kind, std::uint64_t t, const std::vector<LatestSlot>& latest,
                          std::map<std::uint64_t, std::uint64_t>& out);

// The plain backward scans, kept callable to check the index against.
std::optional<std::uint64_t> scan_latest_node_slot(const KnowledgeGraph& graph, std::uint64_t kind,
                                                   std::uint64_t instance_id, std::uint64_t tail);
std::optional<std::uint64_t> scan_latest_relation_slot(const KnowledgeGraph& graph,
                                                       std::uint64_t kind,
                                                       std::uint64_t instance_id,
                                                       std::uint64_t tail);

// ---- Kind reads ----

// An instance and the slot of its latest version below a snapshot's tail.
struct LatestSlot {
  std::uint64_t instance_id;
  std::uint64_t slot;
};

// For each kind in [first_kind, last_kind): every instance with a version below
// `snapshot`'s tail and the slot of its latest such version, in no particular
// order, into out[kind - first_kind]. A kind the index cannot prove itself
// current for gets std::nullopt: the caller walks it.
void latest_node_slots(const KnowledgeGraph& graph, const Snapshot& snapshot,
                       std::uint64_t first_kind, std::uint64_t last_kind,
                       std::optional<std::vector<LatestSlot>>* out);
void latest_relation_slots(const KnowledgeGraph& graph, const Snapshot& snapshot,
                           std::uint64_t first_kind, std::uint64_t last_kind,
                           std::optional<std::vector<LatestSlot>>* out);
// The same, leaving out every instance whose latest version is a removal stamped
// at or before `t`: what a state as of t (or later) needs, at a cost of the
// instances the graph holds then rather than all it ever had.
void latest_node_slots_since(const KnowledgeGraph& graph, const Snapshot& snapshot, std::uint64_t t,
                             std::uint64_t first_kind, std::uint64_t last_kind,
                             std::optional<std::vector<LatestSlot>>* out);
void latest_relation_slots_since(const KnowledgeGraph& graph, const Snapshot& snapshot,
                                 std::uint64_t t, std::uint64_t first_kind,
                                 std::uint64_t last_kind,
                                 std::optional<std::vector<LatestSlot>>* out);

// How many slots of `kind`, from slot 0 up, are proven to carry non-decreasing
// timestamps below `snapshot`'s tail (the writer's order, kept beside the index);
// 0 when nothing is proven. The slots above are in unknown order.
std::uint64_t node_ordered_prefix(const KnowledgeGraph& graph, const Snapshot& snapshot,
                                  std::uint64_t kind);
std::uint64_t relation_ordered_prefix(const KnowledgeGraph& graph, const Snapshot& snapshot,
                                      std::uint64_t kind);

}  // namespace knowledge_graph::graph
