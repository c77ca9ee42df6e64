// The lookup index: latest-version lookups whose cost does not grow with the
// number of versions written after the one found.
//
// The index is an attachment, never part of the KnowledgeGraph record. In the
// shared region it lives in the bytes after the record (at kLookupIndexOffset), so
// readers in other processes use it too; a private graph made by new_boxed carries
// one in the same allocation. A graph without an attachment scans, as before.
//
// What it holds:
// - a hash table from (kind, instance id) to the slot of the latest version that
//   the writer has appended, entries tagged with the index's generation;
// - in the 7 padding bytes of every version the writer appends: a link to the
//   previous version of the same instance and the version's own slot, so that a
//   reader whose snapshot tail lies below the indexed slot walks down to its tail.
//
// Every answer is checked before it is trusted (the slot's instance id and stamp
// match, links point downwards, the slot lies below the reader's tail), and the
// index is only consulted while it can prove itself current: the writer keeps it,
// no clear or dropped batch has made it stale, no other writer has published
// since, and the reader's snapshot belongs to the same clear epoch. Otherwise the
// lookup scans, so the answer is always the scan's.
//
// Thread rules: one writer maintains the index (inside the graph's write
// operations); readers in any process read it without locks. A torn entry only
// ever sends a reader to the scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace knowledge_graph::graph {

struct KnowledgeGraph;
struct Snapshot;
struct Index;

// Where the index starts behind a record mapped at the start of a region.
std::size_t lookup_index_offset();
// Bytes the index occupies (8-byte aligned memory, zero-filled when new).
std::size_t lookup_index_size();

// Makes `bytes` the lookup index of `graph` in this process (replacing any
// earlier one). Zero-filled bytes read as an index not yet built; the writer
// builds it at its next write. Returns false when no attachment is free.
bool attach_lookup_index(const KnowledgeGraph& graph, void* bytes);
// For a record mapped at the start of a view of `view_size` bytes: attaches the
// bytes after the record when the view is large enough.
bool attach_region_lookup_index(const KnowledgeGraph& graph, std::size_t view_size);
void detach_lookup_index(const KnowledgeGraph& graph);
bool has_lookup_index(const KnowledgeGraph& graph);

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

// How many slots of `kind`, from slot 0 up, are proven to carry non-decreasing
// timestamps below `snapshot`'s tail (the writer's order, kept beside the index);
// 0 when nothing is proven. The slots above are in unknown order.
std::uint64_t node_ordered_prefix(const KnowledgeGraph& graph, const Snapshot& snapshot,
                                  std::uint64_t kind);
std::uint64_t relation_ordered_prefix(const KnowledgeGraph& graph, const Snapshot& snapshot,
                                      std::uint64_t kind);

}  // namespace knowledge_graph::graph
