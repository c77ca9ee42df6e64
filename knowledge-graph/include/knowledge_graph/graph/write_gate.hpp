// The write gate: which process may write a record mapped from a shared region.
//
// Every write of the graph (add, update, remove, clear, compact, the batch calls,
// installing a raw span) asks the gate of its record first and, refused, stores
// nothing and reports WriteStatus::NotWriter. A record without a gate (a private
// graph, a copy in a test) is never refused. The graph session (graph_session)
// sets the gate up for every record it maps and opens it while its process holds
// the region's writer lock, so no caller can write around the lock.
//
// The writer seat: one cache line in the region's bytes after the recorder link.
// An admitted process stores its token there; a process whose token is no longer
// in the seat has been overtaken by another writer (its lock object removed or
// replaced under it) and is refused from its next write on, at the cost of one
// load per write. A view too small for the seat relies on the gate alone.
//
// The gate also keeps how to ask whether the region's writer is alive, so that a
// reader waiting out a compaction gives up only on a writer that has died.
//
// Thread rules: the gate of a record is set up, opened and closed by its session
// on one thread; writes ask it on the writer's thread; any thread may read it.
// Caveats: 16 gated records per process at most; a gate is per process, so two
// sessions of one process on one region share the admission.
#pragma once

#include <cstddef>
#include <cstdint>

#include "knowledge_graph/graph/region_layout.hpp"

namespace knowledge_graph::graph {

struct KnowledgeGraph;

struct WriterSeat {
  std::uint64_t token;  // the admitted writer process's token; 0: none yet
  std::uint64_t reserved[7];
};
static_assert(sizeof(WriterSeat) == 64);

// The seat lies at writer_seat_offset() (region_layout.hpp).

// Whether the region's writer is alive: 1 alive, 0 dead, -1 cannot tell.
using WriterAliveProbe = int (*)(const void* context);

// Gates the writes of `graph` (a record at the start of a view of `view_size`
// bytes): from now on they are refused until admit_writes. `probe` (with
// `context`, which must outlive the gate) answers whether the writer lives.
// False when every gate of this process is in use.
bool gate_writes(const KnowledgeGraph& graph, std::size_t view_size,
                 WriterAliveProbe probe = nullptr, const void* context = nullptr);
// Admits this process's writes and takes the writer seat.
void admit_writes(const KnowledgeGraph& graph);
// Refuses this process's writes again (the seat is left as it is).
void refuse_writes(const KnowledgeGraph& graph);
// Removes the gate (before the view is unmapped).
void ungate_writes(const KnowledgeGraph& graph);

// Whether a write through `graph` passes the gate now: no gate, or admitted and
// still in the seat. A process found overtaken stays refused until admitted again.
bool writes_admitted(const KnowledgeGraph& graph);
// Whether this process was admitted and then found another writer in the seat.
bool writes_overtaken(const KnowledgeGraph& graph);
// The gate's liveness answer for `graph`: 1, 0, -1 as WriterAliveProbe; -1 without one.
int gated_writer_alive(const KnowledgeGraph& graph);

}  // namespace knowledge_graph::graph
