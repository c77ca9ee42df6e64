// The guard around a writer step that rewrites slots below the published tails
// in place (a compaction). Readers must neither trust a read that overlapped it
// nor start one while it runs.
//
// Writer: begin (mark kCompactingMark, then move the clear epoch to odd, fenced
// before the first slot write), move slots, publish (the flip settles the epoch
// to even), end (mark back to kGuardMark). Reader: a read taken under epoch e is
// trusted only if, after it, the mark is not kCompactingMark and the epoch is
// still e (mark loaded first: a reader that sees the final mark also sees the
// settled epoch, and one that saw the odd epoch also sees the mark).
#pragma once

#include <cstdint>

#include "knowledge_graph/graph/knowledge_graph.hpp"

namespace knowledge_graph::graph::detail {

// Writer side.
void begin_slot_reuse(KnowledgeGraph& graph);
void end_slot_reuse(KnowledgeGraph& graph);

// Reader side: whether a compaction is moving slots now.
bool slot_reuse_in_progress(const KnowledgeGraph& graph);

// Waits while a compaction moves slots. False when it outlasted the bound: the
// writer is taken for dead (remembered per epoch, so later reads do not wait again).
bool wait_out_slot_reuse(const KnowledgeGraph& graph);

}  // namespace knowledge_graph::graph::detail
