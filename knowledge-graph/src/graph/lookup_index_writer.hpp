// The writer's side of the lookup index: the steps the graph's write operations
// take to keep it current. Each is a no-op for a graph without an attachment.
#pragma once

#include <cstdint>
#include <optional>

#include "knowledge_graph/graph/knowledge_graph.hpp"

namespace knowledge_graph::graph::detail {

// At the start of a write, with its working buffer: proves the index reflects
// exactly the versions below `working`'s tails, or rebuilds it from them (after a
// dropped batch, a misframed transaction, another writer's publications).
// `new_node`, when given, is the node the write will append: its table entry is
// fetched into the cache while the write fills the version.
// Returns what index_appended needs to skip finding the attachment again
// (null: none attached).
struct IndexWrite {
  void* attachment = nullptr;
};
IndexWrite index_begin_write(KnowledgeGraph& graph, const GraphIndices& working,
                             const Index* new_node = nullptr);
// The kinds one write appends to: at most two node kinds and one relation kind;
// out-of-range kinds stand for none. A kind left out leaves the index's tail
// behind the working one, so lookups in it scan until the next write rebuilds.
struct AppendedKinds {
  std::uint64_t node_kinds[2] = {kNodeKinds, kNodeKinds};
  std::uint64_t relation_kind = kRelationKinds;
};

// Before publishing: indexes the versions appended in `kinds` up to `working`'s tails.
void index_appended(KnowledgeGraph& graph, const GraphIndices& working, const AppendedKinds& kinds);
// The same for the write that index_begin_write returned `write` for.
void index_appended(KnowledgeGraph& graph, const GraphIndices& working, const AppendedKinds& kinds,
                    IndexWrite write);
// After a flip of `active_indices` that settled a clear epoch: the epoch readers
// now see. (Only such a flip moves it; the writer's next write refreshes it too.)
void index_published(KnowledgeGraph& graph);
// Before a bookkeeping copy that appends nothing (start_transaction).
void index_expect_buffer_write(KnowledgeGraph& graph);
// After a clear has been published: the index is empty.
void index_cleared(KnowledgeGraph& graph);

// The writer's lookup below `working`'s tails.
std::optional<std::uint64_t> writer_latest_node_slot(const KnowledgeGraph& graph,
                                                     const GraphIndices& working, Index node);
std::optional<std::uint64_t> writer_latest_relation_slot(const KnowledgeGraph& graph,
                                                         const GraphIndices& working,
                                                         Index relation);

}  // namespace knowledge_graph::graph::detail
