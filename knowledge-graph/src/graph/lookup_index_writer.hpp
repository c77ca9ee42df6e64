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
void index_begin_write(KnowledgeGraph& graph, const GraphIndices& working);
// Before publishing: indexes the versions appended between `start` and `working`.
void index_appended(KnowledgeGraph& graph, const GraphIndices& start, const GraphIndices& working);
// After a flip of `active_indices`: the clear epoch readers now see.
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
