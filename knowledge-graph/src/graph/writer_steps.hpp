// The graph's writer steps for its own sources (writes, raw spans) and for the
// tests of the record: take the working buffer, keep a clearing batch's readers
// on published slots, publish. Every other writer goes through the graph's calls
// (add_node, install_raw_span, ...), which check what they append.
#pragma once

#include "knowledge_graph/graph/knowledge_graph.hpp"

namespace knowledge_graph::graph::detail {

struct WriterSteps {
  static GraphIndices working_buffer(KnowledgeGraph& graph) { return graph.working_buffer(); }
  static void protect_published_slots(KnowledgeGraph& graph, const GraphIndices& working) {
    graph.protect_published_slots(working);
  }
  static void publish(KnowledgeGraph& graph, const GraphIndices& working) { graph.publish(working); }
};

// After a publication that moved slots (a compaction, a span installed afresh),
// whose other buffer still holds the tails from before over rewritten slots:
// writes `buffer` over that one as a seqlock step, so that no later buffer write
// (a commit without a batch behind it) brings those tails back.
void overwrite_inactive(KnowledgeGraph& graph, const GraphIndices& buffer);

}  // namespace knowledge_graph::graph::detail
