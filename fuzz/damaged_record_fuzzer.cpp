// Damaged-record fuzzer: the input overwrites bytes of a small, well-formed graph
// (the bookkeeping buffers and their tails, active_indices, autocommit, the
// guard words, markers, value_index fields, relation ends, list entries and
// payload tags), then the reads the input picks and every write run on the
// result under AddressSanitizer. Nothing may touch memory outside the arrays or
// crash: writes may refuse, reads may clamp or answer absent. Whatever a write
// stores must leave the tails within their capacities.
//
// An input costs what it touches: one graph serves every input, and only the
// slots an input could have written (up to the highest tail it reached) are
// zeroed again before the next. A tail at the edge of its array makes every
// read and the index rebuild walk the whole array, so only inputs that ask for
// it (first byte 16 or 17 modulo 128 - see edge_mode) get edge values; the rest
// keep small tails. The whole-graph reads walk the lookup table (32,768
// entries): the second byte picks them, with the other reads (see read_some).
// A damaged guard_mark equal to the compaction mark makes readers wait for a
// compaction that never ends (two seconds, then they give up on that compaction,
// known by its clear epoch): such inputs all get the same epoch, so only the
// first of them in a run waits.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "byte_reader.hpp"
#include "knowledge_graph/graph/iterators.hpp"
#include "knowledge_graph/graph/knowledge_graph.hpp"

namespace {

using namespace knowledge_graph::graph;
using interval_algebra::Interval;
using varnel_fuzz::ByteReader;
using varnel_fuzz::fail;

constexpr std::uint64_t kSceneSlots = 64;  // slots that damage and small tails reach
// The clear epoch of every input that leaves the compaction mark (odd, as while
// a compaction runs).
constexpr std::uint16_t kStalledEpoch = 0x4343;

KnowledgeGraph& graph() {
  static KnowledgeGraph::Boxed boxed = KnowledgeGraph::new_boxed();
  return *boxed;
}

// What the previous input may have written: per kind, slots below these marks,
// and the top slots of the arrays when it used edge values.
struct Touched {
  std::uint64_t node[kNodeKinds] = {};
  std::uint64_t relation[kRelationKinds] = {};
  bool top = true;  // the first input starts from an unknown state

  void cover(const GraphIndices& g) {
    for (std::uint64_t k = 0; k < kNodeKinds; ++k)
      node[k] = std::max(node[k], std::min(g.node_index_tail[k], kNodeVersionsPerKind));
    for (std::uint64_t k = 0; k < kRelationKinds; ++k)
      relation[k] = std::max(relation[k], std::min(g.relation_index_tail[k], kRelationVersionsPerKind));
  }
  void cover(const KnowledgeGraph& g) {
    cover(g.indices[0]);
    cover(g.indices[1]);
  }
};
Touched touched;
bool edge_mode = false;  // this input may put tails at the edges of the arrays

KnowledgeGraphNode node_value(std::uint64_t kind) {
  KnowledgeGraphNode value;
  value.tag = kind;
  value.payload[0] = static_cast<unsigned char>(kind);
  return value;
}
KnowledgeGraphRelation relation_value(std::uint64_t kind) {
  KnowledgeGraphRelation value;
  value.tag = kind;
  return value;
}

// Forgets the previous input: bookkeeping zeroed, the slots it may have
// written zeroed (no more), then the same small scene written again.
void rebuild(KnowledgeGraph& g) {
  touched.cover(g);
  std::memset(static_cast<void*>(g.indices), 0, sizeof g.indices);
  g.active_indices = 0;
  g.guard_mark = 0;
  g.clear_epoch = 0;
  g.publication_sequence = 0;
  for (std::uint64_t k = 0; k < kNodeKinds; ++k) {
    const std::uint64_t low = touched.top ? kSceneSlots : std::min(touched.node[k], kSceneSlots);
    std::memset(static_cast<void*>(g.node_records[k]), 0, low * sizeof(NodeRecord));
    if (touched.top)
      std::memset(static_cast<void*>(&g.node_records[k][kNodeVersionsPerKind - 8]), 0,
                  8 * sizeof(NodeRecord));
  }
  for (std::uint64_t k = 0; k < kRelationKinds; ++k) {
    const std::uint64_t low = touched.top ? kSceneSlots : std::min(touched.relation[k], kSceneSlots);
    std::memset(static_cast<void*>(g.relation_records[k]), 0, low * sizeof(RelationRecord));
    if (touched.top)
      std::memset(static_cast<void*>(&g.relation_records[k][kRelationVersionsPerKind - 8]), 0,
                  8 * sizeof(RelationRecord));
  }
  touched = Touched{};
  touched.top = false;
  g.set_autocommit(true);
  for (std::uint64_t id = 0; id < 4; ++id) {
    g.add_node(1, id, node_value(1));
    g.add_node(1, id, node_value(6));
  }
  g.add_relation(2, 10, relation_value(9), Index(1, 0), Index(6, 0));
  g.add_relation(3, 11, relation_value(9), Index(1, 1), Index(6, 0));
  g.add_relation(4, 12, relation_value(16), Index(1, 0), Index(1, 2));
  g.add_relation(5, 13, relation_value(2), Index(6, 1), Index(6, 1));
  g.remove_relation(6, Index(9, 11));
  g.remove_node(7, Index(1, 3));
}

std::uint64_t* bookkeeping_word(KnowledgeGraph& g, std::uint8_t buffer, std::uint8_t field) {
  static_assert(sizeof(GraphIndices) == 38 * sizeof(std::uint64_t));
  auto* words = reinterpret_cast<std::uint64_t*>(&g.indices[buffer % 2]);
  return &words[field % 38];
}

void damage_node_record(KnowledgeGraph& g, ByteReader& in) {
  const std::uint64_t kind = in.byte() % kNodeKinds;
  const std::uint64_t slot = in.byte() % kSceneSlots;
  touched.node[kind] = std::max(touched.node[kind], slot + 1);
  NodeRecord& r = g.node_records[kind][slot];
  const std::uint8_t field = in.byte();
  switch (field % 6) {
    case 0: r.value_index = in.near_capacity(kNodeValues); break;
    case 1: r.instance_id = in.id(4); break;
    case 2: r.marker = static_cast<Marker>(in.byte()); break;
    case 3: r.timestamp = in.word(); break;
    default: {
      RelationList& list = field % 6 == 4 ? r.outgoing : r.incoming;
      Index& entry = list[in.byte() % kListEntries];
      entry.type_index = in.kind(kRelationKinds);
      entry.instance_id = in.id(16);
    }
  }
}

void damage_relation_record(KnowledgeGraph& g, ByteReader& in) {
  const std::uint64_t kind = in.byte() % kRelationKinds;
  const std::uint64_t slot = in.byte() % kSceneSlots;
  touched.relation[kind] = std::max(touched.relation[kind], slot + 1);
  RelationRecord& r = g.relation_records[kind][slot];
  switch (in.byte() % 6) {
    case 0: r.value_index = in.near_capacity(kRelationValues); break;
    case 1: r.instance_id = in.id(16); break;
    case 2: r.marker = static_cast<Marker>(in.byte()); break;
    case 3: r.from = Index(in.kind(kNodeKinds), in.id(4)); break;
    case 4: r.to = Index(in.kind(kNodeKinds), in.id(4)); break;
    default: r.timestamp = in.word();
  }
}

void damage(KnowledgeGraph& g, ByteReader& in) {
  for (int edits = 0; !in.done() && edits < 64; ++edits) {
    switch (in.byte() % 8) {
      case 0: case 1: {
        const std::uint8_t buffer = in.byte();
        const std::uint8_t field = in.byte();
        const bool is_value_tail = field % 38 == 18 || field % 38 == 36;
        const std::uint64_t capacity = field % 38 < 18 ? kNodeVersionsPerKind
                                       : is_value_tail ? kNodeValues
                                                       : kRelationVersionsPerKind;
        // Outside edge mode a tail stays small (a walk over a whole array
        // costs milliseconds); the scene's slots are then all it reaches.
        const std::uint64_t tail = in.near_capacity(capacity);
        *bookkeeping_word(g, buffer, field) = edge_mode ? tail : tail % kSceneSlots;
        break;
      }
      case 2: g.active_indices = in.near_capacity(2); break;
      case 3: {
        const std::uint8_t which = in.byte();
        if (which % 4 == 0) g.autocommit = in.byte();
        else if (which % 4 == 1) g.clear_epoch = static_cast<std::uint16_t>(in.word());
        else if (which % 4 == 2) g.publication_sequence = static_cast<std::uint32_t>(in.word());
        else g.guard_mark = in.byte();
        break;
      }
      case 4: case 5: damage_node_record(g, in); break;
      case 6: damage_relation_record(g, in); break;
      default:
        if (in.byte() % 2) g.node_values[in.byte() % kSceneSlots].tag = in.kind(kNodeKinds);
        else g.relation_values[in.byte() % kSceneSlots].tag = in.kind(kRelationKinds);
    }
  }
}

// The kinds the scene uses and those this input damaged: the per-kind reads
// look at these (a read of an untouched empty kind tells nothing new).
bool node_focus(std::uint64_t kind) {
  return kind == 1 || kind == 6 || kind == kNodeKinds ||
         (kind < kNodeKinds && touched.node[kind] > 0);
}
bool relation_focus(std::uint64_t kind) {
  return kind == 2 || kind == 9 || kind == 16 || kind == kRelationKinds ||
         (kind < kRelationKinds && touched.relation[kind] > 0);
}

std::uint64_t damaged_node_kind() {
  for (std::uint64_t kind = 0; kind < kNodeKinds; ++kind)
    if (touched.node[kind] > 0 && kind != 1 && kind != 6) return kind;
  return 1;
}
std::uint64_t damaged_relation_kind() {
  for (std::uint64_t kind = 0; kind < kRelationKinds; ++kind)
    if (touched.relation[kind] > 0 && kind != 2 && kind != 9 && kind != 16) return kind;
  return 9;
}

// The reads that the bits of `reads` pick: counts; the whole-graph queries
// (two bits: one input in four); the kind queries; walks and latest lookups for
// the scene's ids over the kinds in focus and one beyond the range.
void read_some(const KnowledgeGraph& g, std::uint8_t reads) {
  volatile std::uint64_t sink = 0;
  const Interval intervals[] = {Interval::eternity(), Interval::make(2, 5)};
  if (reads & 1) sink = sink + g.node_count() + g.relation_count() + g.last_update() + g.is_empty();
  for (const Interval& interval : intervals) {
    if ((reads & 6) == 6)
      sink = sink + g.get_all_nodes(interval).size() + g.get_all_relations(interval).size();
    if (!(reads & 8)) continue;
    // A kind query walks the lookup table: one node kind and one relation kind,
    // the first this input damaged (else the scene's busiest).
    sink = sink + g.get_nodes_of_type(interval, damaged_node_kind()).size();
    sink = sink + g.get_relations_of_type(interval, damaged_relation_kind()).size();
    for (std::uint64_t kind : {kNodeKinds, kNodeKinds + 5, ~std::uint64_t{0}})
      sink = sink + g.get_nodes_of_type(interval, kind).size();
    for (std::uint64_t kind : {kRelationKinds, ~std::uint64_t{0}})
      sink = sink + g.get_relations_of_type(interval, kind).size();
  }
  if (!(reads & 16)) return;
  for (std::uint64_t kind = 0; kind <= kNodeKinds; ++kind) {
    if (!node_focus(kind)) continue;
    auto walk = g.nodes_iter(Interval::eternity(), kind);
    for (int i = 0; i < 64; ++i) {
      auto item = walk.next();
      if (!item) break;
      sink = sink + item->value.tag + item->record.outgoing[39].instance_id;
    }
    for (std::uint64_t id = 0; id < 5; ++id) {
      if (const NodeRecord* r = g.get_latest_node_record(Index(kind, id))) sink = sink + static_cast<std::uint64_t>(r->marker);
      if (const KnowledgeGraphNode* v = g.get_latest_node_value(Index(kind, id))) sink = sink + v->tag;
    }
  }
  for (std::uint64_t kind = 0; kind <= kRelationKinds; ++kind) {
    if (!relation_focus(kind)) continue;
    auto walk = g.relations_iter(Interval::eternity(), kind);
    for (int i = 0; i < 64; ++i) {
      auto item = walk.next();
      if (!item) break;
      sink = sink + item->value.tag + item->record.to.instance_id;
    }
    for (std::uint64_t id = 9; id < 15; ++id) {
      if (const RelationRecord* r = g.get_latest_relation_record(Index(kind, id))) sink = sink + static_cast<std::uint64_t>(r->marker);
      if (const KnowledgeGraphRelation* v = g.get_latest_relation_value(Index(kind, id)))
        sink = sink + v->tag;
    }
  }
  for (std::uint64_t kind : {~std::uint64_t{0}, kNodeKinds + 1}) {
    if (g.get_latest_node_record(Index(kind, 0)) || g.get_latest_node_value(Index(kind, 0)))
      fail("a node lookup of a kind out of range found something");
  }
}

// Whatever the writes published, the published tails stay within capacity
// unless they were damaged beyond it before (a refusal leaves them alone).
void check_published_tails(const KnowledgeGraph& g, const GraphIndices& before) {
  const GraphIndices& now = g.indices[g.active_buffer()];
  for (std::uint64_t k = 0; k < kNodeKinds; ++k)
    if (now.node_index_tail[k] > kNodeVersionsPerKind && now.node_index_tail[k] != before.node_index_tail[k])
      fail("a write moved a node tail beyond its capacity");
  if (now.nodes_tail > kNodeValues && now.nodes_tail != before.nodes_tail)
    fail("a write moved nodes_tail beyond its capacity");
  for (std::uint64_t k = 0; k < kRelationKinds; ++k)
    if (now.relation_index_tail[k] > kRelationVersionsPerKind &&
        now.relation_index_tail[k] != before.relation_index_tail[k])
      fail("a write moved a relation tail beyond its capacity");
  if (now.relations_tail > kRelationValues && now.relations_tail != before.relations_tail)
    fail("a write moved relations_tail beyond its capacity");
}

void write_everything(KnowledgeGraph& g, bool transaction) {
  if (transaction) {
    g.set_autocommit(false);
    g.start_transaction();
  }
  const GraphIndices before = g.indices[g.active_buffer()];
  const bool autocommit = g.autocommit_enabled();
  g.add_node(20, 0, node_value(1));
  g.add_node(20, 9, node_value(kNodeKinds + 3));
  g.add_relation(21, 10, relation_value(9), Index(1, 0), Index(6, 0));
  g.add_relation(21, 20, relation_value(3), Index(1, 2), Index(1, 2));
  g.add_relation(21, 21, relation_value(kRelationKinds), Index(1, 0), Index(6, 0));
  g.add_relation(21, 22, relation_value(4), Index(~std::uint64_t{0}, 0), Index(6, 0));
  g.remove_relation(22, Index(9, 10));
  g.remove_relation(22, Index(16, 12));
  g.remove_relation(22, Index(kRelationKinds + 1, 12));
  for (std::uint64_t id = 0; id < 4; ++id) {
    g.remove_node(23, Index(1, id));
    g.remove_node(23, Index(6, id));
  }
  g.remove_node(23, Index(kNodeKinds, 0));
  if (autocommit) check_published_tails(g, before);
  if (transaction) g.commit_transaction();
  touched.cover(g);  // what the writes reached, before the clear forgets it
  g.clear();
  g.add_node(24, 1, node_value(2));
  g.set_autocommit(true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  KnowledgeGraph& g = graph();
  rebuild(g);
  ByteReader in(data, size);
  const std::uint8_t mode = in.byte();
  const std::uint8_t reads = in.byte();
  const bool transaction = mode % 2 == 1;
  edge_mode = mode % 128 == 16 || mode % 128 == 17;
  touched.top = touched.top || edge_mode;  // writes at tails near capacity reach the top
  damage(g, in);
  if (g.guard_mark == KnowledgeGraph::kCompactingMark) g.clear_epoch = kStalledEpoch;
  read_some(g, reads);
  write_everything(g, transaction);
  read_some(g, reads);
  return 0;
}
