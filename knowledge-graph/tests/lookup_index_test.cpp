// The lookup index against the plain scan: fixed-seed random sequences of writes
// (autocommit and transactions, clears, refusals, dropped batches, and a foreign
// writer interleaved) run on a graph that keeps the index and on a twin without
// it. After every step every lookup of the indexed graph, for the current
// snapshot and for older ones, must equal the scan, and both graphs must hold the
// same versions. Further cases: foreign writes that leave the tails as they were
// (a clear and refill, a dropped batch, padding rewritten), damaged padding and
// records, and readers in other processes on the shared region.
//
// The foreign writer is another implementation of the record format: it follows
// the format's algorithms only (working buffer, appends, publication by flip),
// keeps no guard counters and no index, and does with the padding as it likes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "knowledge_graph/graph/iterators.hpp"
#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/lookup_index.hpp"
#include "reference_model.hpp"

#if defined(__linux__) && defined(VARNEL_INDEX_PROCESSES)
#include "shared_memory_interface/shared_memory.hpp"
#include <sched.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace knowledge_graph::graph {
namespace {

constexpr std::uint64_t kKinds[] = {1, 2, 6};
constexpr std::uint64_t kIds = 12;
constexpr std::uint64_t kRelationKindsUsed[] = {1, 9, 16};
constexpr std::uint64_t kRelationIds = 30;

using reference::node_of_kind;
using reference::relation_of_kind;

// ---- The foreign writer ----

enum class Padding { Zeroed, Copied, LeftAlone };

class ForeignWriter {
 public:
  ForeignWriter(KnowledgeGraph& g, Padding padding) : g_(g), padding_(padding) {}

  void clear() {
    GraphIndices w = working();
    w.node_index_tail.fill(0);
    w.relation_index_tail.fill(0);
    w.nodes_tail = w.relations_tail = 0;
    publish(w, w.update_timestamp);
  }

  bool add_node(std::uint64_t t, std::uint64_t id, const KnowledgeGraphNode& value) {
    GraphIndices w = working();
    const std::uint64_t kind = value.type_index();
    if (w.nodes_tail >= kNodeValues || w.node_index_tail[kind] >= kNodeVersionsPerKind) return false;
    const std::uint64_t p = w.nodes_tail++;
    g_.node_values[p] = value;
    NodeRecord v{};
    v.timestamp = t;
    v.value_index = p;
    v.instance_id = id;
    v.marker = Marker::Valid;
    append(w, kind, v, nullptr);
    publish(w, t);
    return true;
  }

  bool add_relation(std::uint64_t t, std::uint64_t id, const KnowledgeGraphRelation& value,
                    Index from, Index to) {
    GraphIndices w = working();
    const Index r(value.type_index(), id);
    const NodeRecord* a = latest_node(w, from);
    const NodeRecord* b = latest_node(w, to);
    if (a == nullptr || b == nullptr || !room(w, from, to, r.type_index)) return false;
    if (w.relations_tail >= kRelationValues) return false;
    NodeRecord a2 = *a, b2 = *b;
    if (!enter(a2.outgoing, r) || !enter(b2.incoming, r)) return false;
    a2.timestamp = b2.timestamp = t;
    append(w, from.type_index, a2, a);
    append(w, to.type_index, b2, b);
    const std::uint64_t p = w.relations_tail++;
    g_.relation_values[p] = value;
    RelationRecord v{};
    v.timestamp = t;
    v.value_index = p;
    v.instance_id = id;
    v.from = from;
    v.to = to;
    v.marker = Marker::Valid;
    append(w, r.type_index, v, nullptr);
    publish(w, t);
    return true;
  }

  bool remove_relation(std::uint64_t t, Index r) {
    GraphIndices w = working();
    const RelationRecord* q = latest_relation(w, r);
    if (q == nullptr || !room(w, q->from, q->to, r.type_index)) return false;
    RelationRecord removed = *q;
    removed.timestamp = t;
    removed.marker = Marker::Removed;
    append(w, r.type_index, removed, q);
    const Index from = removed.from, to = removed.to;
    const NodeRecord* a = latest_node(w, from);
    const NodeRecord* b = latest_node(w, to);
    if (a != nullptr) {
      NodeRecord a2 = *a;
      a2.timestamp = t;
      for (Index& e : a2.outgoing) if (e == r) e = Index::zeroed();
      append(w, from.type_index, a2, a);
    }
    if (b != nullptr) {
      NodeRecord b2 = *b;
      b2.timestamp = t;
      for (Index& e : b2.incoming) if (e == r) e = Index::zeroed();
      append(w, to.type_index, b2, b);
    }
    publish(w, t);
    return true;
  }

  bool remove_node(std::uint64_t t, Index n) {
    GraphIndices w = working();
    const NodeRecord* l = latest_node(w, n);
    if (l == nullptr || w.node_index_tail[n.type_index] >= kNodeVersionsPerKind) return false;
    NodeRecord v = *l;
    v.timestamp = t;
    v.marker = Marker::Removed;
    std::vector<Index> listed;
    for (const Index& e : v.outgoing) if (!e.is_empty()) listed.push_back(e);
    for (const Index& e : v.incoming) if (!e.is_empty()) listed.push_back(e);
    append(w, n.type_index, v, l);
    publish(w, t);
    for (const Index& r : listed) remove_relation(t, r);
    return true;
  }

  // Rewrites the padding of every version below the published tails: allowed,
  // the padding's content is unspecified.
  void scribble_padding(std::uint8_t byte) {
    const GraphIndices a = g_.indices[g_.active_buffer()];
    for (std::uint64_t k = 0; k < kNodeKinds; ++k)
      for (std::uint64_t s = 0; s < a.node_index_tail[k]; ++s)
        std::memset(g_.node_records[k][s].padding, byte, 7);
    for (std::uint64_t k = 0; k < kRelationKinds; ++k)
      for (std::uint64_t s = 0; s < a.relation_index_tail[k]; ++s)
        std::memset(g_.relation_records[k][s].padding, byte, 7);
  }

 private:
  GraphIndices working() const {
    const std::uint64_t a = g_.active_buffer();
    return g_.autocommit != 0 ? g_.indices[a] : g_.indices[1 - a];
  }

  void publish(GraphIndices& w, std::uint64_t t) {
    w.update_timestamp = t;
    const std::uint64_t a = g_.active_buffer();
    g_.indices[1 - a] = w;
    if (g_.autocommit != 0)
      std::atomic_ref<std::uint64_t>(g_.active_indices).exchange(1 - a, std::memory_order_seq_cst);
  }

  bool room(const GraphIndices& w, Index from, Index to, std::uint64_t relation_kind) const {
    return from.type_index < kNodeKinds && to.type_index < kNodeKinds &&
           relation_kind < kRelationKinds &&
           w.node_index_tail[from.type_index] + 2 < kNodeVersionsPerKind &&
           w.node_index_tail[to.type_index] + 2 < kNodeVersionsPerKind &&
           w.relation_index_tail[relation_kind] < kRelationVersionsPerKind;
  }

  static bool enter(RelationList& list, Index r) {
    for (Index& e : list) {
      if (e.type_index == 0 || e == r) {
        e = r;
        return true;
      }
    }
    return false;
  }

  const NodeRecord* latest_node(const GraphIndices& w, Index n) const {
    if (n.type_index >= kNodeKinds) return nullptr;
    for (std::uint64_t s = std::min(w.node_index_tail[n.type_index], kNodeVersionsPerKind); s-- > 0;)
      if (g_.node_records[n.type_index][s].instance_id == n.instance_id)
        return &g_.node_records[n.type_index][s];
    return nullptr;
  }
  const RelationRecord* latest_relation(const GraphIndices& w, Index r) const {
    if (r.type_index >= kRelationKinds) return nullptr;
    for (std::uint64_t s = std::min(w.relation_index_tail[r.type_index], kRelationVersionsPerKind);
         s-- > 0;)
      if (g_.relation_records[r.type_index][s].instance_id == r.instance_id)
        return &g_.relation_records[r.type_index][s];
    return nullptr;
  }

  // Writes `version` at W's tail of `kind`: whole with zeroed padding, whole
  // with the padding of the version it was made from, or field by field.
  template <class Record, std::uint64_t Capacity>
  void put(Record (&slots)[Capacity], std::uint64_t& tail, const Record& version,
           const Record* source) {
    Record& slot = slots[tail++];
    switch (padding_) {
      case Padding::Zeroed: {
        Record copy = version;
        std::memset(copy.padding, 0, 7);
        slot = copy;
        break;
      }
      case Padding::Copied: {
        Record copy = version;
        std::memcpy(copy.padding, source != nullptr ? source->padding : version.padding, 7);
        slot = copy;
        break;
      }
      case Padding::LeftAlone:
        std::memcpy(static_cast<void*>(&slot), &version, offsetof(Record, marker) + 1);
        break;
    }
  }
  void append(GraphIndices& w, std::uint64_t kind, const NodeRecord& v, const NodeRecord* source) {
    put(g_.node_records[kind], w.node_index_tail[kind], v, source);
  }
  void append(GraphIndices& w, std::uint64_t kind, const RelationRecord& v,
              const RelationRecord* source) {
    put(g_.relation_records[kind], w.relation_index_tail[kind], v, source);
  }

  KnowledgeGraph& g_;
  Padding padding_;
};

// Every lookup through the index equals the scan below the same snapshot.
void expect_lookups_match_scan(const KnowledgeGraph& g, const Snapshot& taken,
                               const std::string& where) {
  for (std::uint64_t kind : kKinds) {
    for (std::uint64_t id = 0; id <= kIds; ++id) {
      const auto want = scan_latest_node_slot(g, kind, id, taken.indices.node_index_tail[kind]);
      ASSERT_EQ(latest_node_slot(g, taken, Index(kind, id)), want)
          << where << " node (" << kind << ", " << id << ")";
    }
  }
  for (std::uint64_t kind : kRelationKindsUsed) {
    for (std::uint64_t id = 0; id <= kRelationIds; ++id) {
      const auto want =
          scan_latest_relation_slot(g, kind, id, taken.indices.relation_index_tail[kind]);
      ASSERT_EQ(latest_relation_slot(g, taken, Index(kind, id)), want)
          << where << " relation (" << kind << ", " << id << ")";
    }
  }
}

using interval_algebra::Interval;
using interval_algebra::IntervalType;

// The reads as the plain walk answers them, straight from the slots below `taken`.
template <class Record>
std::vector<std::uint64_t> walk_slots(const Record* slots, std::uint64_t tail,
                                      const Interval& interval) {
  std::vector<std::uint64_t> found;
  for (std::uint64_t slot = 0; slot < tail; ++slot)
    if (interval.includes(slots[slot].timestamp)) found.push_back(slot);
  return found;
}

template <class Record>
std::vector<std::uint64_t> walk_kind(const Record* slots, std::uint64_t tail,
                                     const Interval& interval) {
  std::map<std::uint64_t, std::uint64_t> latest;
  for (std::uint64_t slot : walk_slots(slots, tail, interval)) {
    if (slots[slot].marker == Marker::Valid) {
      latest[slots[slot].instance_id] = slot;
    } else {
      latest.erase(slots[slot].instance_id);
    }
  }
  std::vector<std::uint64_t> found;
  for (const auto& [id, slot] : latest) found.push_back(slot);
  return found;
}

// Items equal the versions at `slots` (and their payloads), in that order.
template <class Item, class Record, class Value>
void expect_items(const std::vector<Item>& items, const Record* records, const Value* values,
                  const std::vector<std::uint64_t>& slots, const std::string& where) {
  ASSERT_EQ(items.size(), slots.size()) << where;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const Record& record = records[slots[i]];
    ASSERT_EQ(std::memcmp(&items[i].record, &record, sizeof record), 0) << where << " item " << i;
    ASSERT_EQ(std::memcmp(&items[i].value, &values[record.value_index], sizeof(Value)), 0)
        << where << " item " << i;
  }
}

template <class Walk, class Record>
void expect_walk(Walk walk, const Record* records, const std::vector<std::uint64_t>& slots,
                 const std::string& where) {
  std::size_t i = 0;
  while (auto item = walk.next()) {
    ASSERT_LT(i, slots.size()) << where;
    ASSERT_EQ(std::memcmp(&item->record, &records[slots[i]], sizeof(Record)), 0) << where;
    ++i;
  }
  ASSERT_EQ(i, slots.size()) << where;
  ASSERT_FALSE(walk.next()) << where;
}

// How often the fast paths answered, so that the run shows it exercised them.
struct FastPaths {
  std::uint64_t enumerated = 0;  // kinds with versions the index enumerated
  std::uint64_t ordered = 0;     // kinds with a proven order over more than one slot
  std::uint64_t unordered = 0;   // kinds whose proven order stops below the tail
};
FastPaths fast_paths;

// The node and the relation side of the reads, for the checks that run on both.
template <bool IsNode, class ItemT, class Iterator, std::uint64_t Kinds, auto Records, auto Values,
          auto TailOf, auto EnumerateLatest, auto OrderedPrefix, auto Iter, auto OfType, auto All>
struct Reads {
  using Item = ItemT;
  static constexpr std::uint64_t kKinds = Kinds;
  static constexpr const char* kKind = IsNode ? " node kind " : " relation kind ";
  static constexpr const char* kIter = IsNode ? " nodes_iter" : " relations_iter";
  static constexpr const char* kOfType = IsNode ? " get_nodes_of_type" : " get_relations_of_type";
  static constexpr const char* kAll = IsNode ? " get_all_nodes" : " get_all_relations";
  static auto records(const KnowledgeGraph& g, std::uint64_t kind) { return (g.*Records)[kind]; }
  static auto values(const KnowledgeGraph& g) { return g.*Values; }
  static std::uint64_t tail(const Snapshot& s, std::uint64_t kind) { return (s.indices.*TailOf)[kind]; }
  static void latest(const KnowledgeGraph& g, const Snapshot& s, std::optional<std::vector<LatestSlot>>* out) {
    EnumerateLatest(g, s, 0, Kinds, out);
  }
  static std::uint64_t ordered(const KnowledgeGraph& g, const Snapshot& s, std::uint64_t kind) {
    return OrderedPrefix(g, s, kind);
  }
  static auto walk(const KnowledgeGraph& g, const Snapshot& s, const Interval& i, std::uint64_t kind) {
    return Iterator(g, s, i, kind);
  }
  static auto iter(const KnowledgeGraph& g, const Interval& i, std::uint64_t kind) { return (g.*Iter)(i, kind); }
  static auto of_type(const KnowledgeGraph& g, const Interval& i, std::uint64_t kind) {
    return (g.*OfType)(i, kind);
  }
  static auto all(const KnowledgeGraph& g, const Interval& i) { return (g.*All)(i); }
};
using NodeReads =
    Reads<true, NodeItem, iterators::NodeIterator, kNodeKinds, &KnowledgeGraph::node_records,
          &KnowledgeGraph::node_values, &GraphIndices::node_index_tail, &latest_node_slots,
          &node_ordered_prefix, &KnowledgeGraph::nodes_iter, &KnowledgeGraph::get_nodes_of_type,
          &KnowledgeGraph::get_all_nodes>;
using RelationReads =
    Reads<false, RelationItem, iterators::RelationIterator, kRelationKinds,
          &KnowledgeGraph::relation_records, &KnowledgeGraph::relation_values,
          &GraphIndices::relation_index_tail, &latest_relation_slots, &relation_ordered_prefix,
          &KnowledgeGraph::relations_iter, &KnowledgeGraph::get_relations_of_type,
          &KnowledgeGraph::get_all_relations>;

// Every instance of one side enumerated once, with the scan's latest slot; a
// claimed order holds. `counted` (the node side) tallies the fast paths seen.
template <class Side>
void expect_side_enumeration_matches_scan(const KnowledgeGraph& g, const Snapshot& taken,
                                          const std::string& where, FastPaths* counted) {
  std::optional<std::vector<LatestSlot>> latest[Side::kKinds];
  Side::latest(g, taken, latest);
  for (std::uint64_t kind = 0; kind < Side::kKinds; ++kind) {
    const auto* records = Side::records(g, kind);
    const std::uint64_t tail = Side::tail(taken, kind);
    if (latest[kind]) {
      std::map<std::uint64_t, std::uint64_t> want, got;
      for (std::uint64_t slot = 0; slot < tail; ++slot) want[records[slot].instance_id] = slot;
      for (const LatestSlot& found : *latest[kind]) ASSERT_TRUE(got.emplace(found.instance_id, found.slot).second);
      ASSERT_EQ(got, want) << where << Side::kKind << kind;
      if (counted) counted->enumerated += tail > 0;
    }
    const std::uint64_t ordered = Side::ordered(g, taken, kind);
    ASSERT_LE(ordered, tail) << where;
    if (counted) {
      counted->ordered += ordered > 1;
      counted->unordered += ordered > 1 && ordered < tail;
    }
    for (std::uint64_t slot = 1; slot < ordered; ++slot)
      ASSERT_LE(records[slot - 1].timestamp, records[slot].timestamp)
          << where << Side::kKind << kind << " claimed in order up to " << ordered;
  }
}

void expect_enumeration_matches_scan(const KnowledgeGraph& g, const Snapshot& taken,
                                     const std::string& where) {
  expect_side_enumeration_matches_scan<NodeReads>(g, taken, where, &fast_paths);
  expect_side_enumeration_matches_scan<RelationReads>(g, taken, where, nullptr);
}

// Every kind query, all-kinds query and iterator of one side over `interval`
// equals the walk: the queries and iterators made now, and iterators made from
// the older `taken`.
template <class Side>
void expect_side_reads_match_walk(const KnowledgeGraph& g, const Snapshot& taken, bool current,
                                  const Interval& interval, const std::string& where) {
  std::vector<typename Side::Item> expected;
  for (std::uint64_t kind = 0; kind < Side::kKinds; ++kind) {
    const auto* records = Side::records(g, kind);
    const std::uint64_t tail = Side::tail(taken, kind);
    const std::string at = where + Side::kKind + std::to_string(kind);
    expect_walk(Side::walk(g, taken, interval, kind), records, walk_slots(records, tail, interval),
                at + " iterator");
    if (!current) continue;
    expect_walk(Side::iter(g, interval, kind), records, walk_slots(records, tail, interval), at + Side::kIter);
    const auto slots = walk_kind(records, tail, interval);
    const auto items = Side::of_type(g, interval, kind);
    expect_items(items, records, Side::values(g), slots, at + Side::kOfType);
    expected.insert(expected.end(), items.begin(), items.end());
  }
  if (!current) return;
  const auto all = Side::all(g, interval);
  ASSERT_EQ(all.size(), expected.size()) << where << Side::kAll;
  for (std::size_t i = 0; i < all.size(); ++i)
    ASSERT_EQ(std::memcmp(&all[i], &expected[i], sizeof(typename Side::Item)), 0) << where << Side::kAll;
}

void expect_reads_match_walk(const KnowledgeGraph& g, const Snapshot& taken, bool current,
                             const Interval& interval, const std::string& where) {
  expect_side_reads_match_walk<NodeReads>(g, taken, current, interval, where);
  expect_side_reads_match_walk<RelationReads>(g, taken, current, interval, where);
}

// A window around the timestamps written so far: eternity, an open or closed
// stretch, a single point, or one whose start lies above its end.
Interval random_window(std::mt19937& rng, std::uint64_t now) {
  const auto draw = [&](std::uint64_t n) {
    return std::uniform_int_distribution<std::uint64_t>(0, n)(rng);
  };
  const auto type = static_cast<IntervalType>(draw(3));
  switch (draw(7)) {
    case 0: return Interval::eternity();
    case 1: return Interval::of_type(Interval::make(0, draw(now + 2)), type);
    case 2: return Interval::of_type(Interval::make(draw(now + 2), ~std::uint64_t{0}), type);
    case 3: {
      const std::uint64_t at = draw(now + 2);
      return Interval::of_type(Interval::make(at, at), type);
    }
    case 4: return Interval::of_type(Interval::make(draw(now + 2), draw(now + 2)), type);
    default: {
      const std::uint64_t start = now > 20 ? now - draw(20) : draw(now + 2);
      return Interval::of_type(Interval::make(start, start + draw(15)), type);
    }
  }
}

// The versions below the published tails, padding aside.
void expect_same_versions(const KnowledgeGraph& a, const KnowledgeGraph& b,
                          const std::string& where) {
  const Snapshot sa = a.snapshot(), sb = b.snapshot();
  ASSERT_EQ(std::memcmp(&sa.indices, &sb.indices, sizeof sa.indices), 0) << where;
  for (std::uint64_t kind : kKinds) {
    for (std::uint64_t slot = 0; slot < sa.indices.node_index_tail[kind]; ++slot) {
      const NodeRecord &x = a.node_records[kind][slot], &y = b.node_records[kind][slot];
      ASSERT_EQ(std::memcmp(&x, &y, offsetof(NodeRecord, marker) + 1), 0)
          << where << " node slot " << kind << "/" << slot;
    }
  }
  for (std::uint64_t kind : kRelationKindsUsed) {
    for (std::uint64_t slot = 0; slot < sa.indices.relation_index_tail[kind]; ++slot) {
      const RelationRecord &x = a.relation_records[kind][slot], &y = b.relation_records[kind][slot];
      ASSERT_EQ(std::memcmp(&x, &y, offsetof(RelationRecord, marker) + 1), 0)
          << where << " relation slot " << kind << "/" << slot;
    }
  }
}

// One operation, applied alike to both graphs.
class TwinRun {
 public:
  explicit TwinRun(std::uint32_t seed)
      : TwinRun(seed, nullptr) {}
  // With `region` (a graph with an index attached) as the indexed graph.
  TwinRun(std::uint32_t seed, KnowledgeGraph* region)
      : rng_(seed),
        own_(region == nullptr ? KnowledgeGraph::new_boxed() : nullptr),
        indexed_(region == nullptr ? own_.get() : region),
        plain_(KnowledgeGraph::new_boxed()) {
    detach_lookup_index(*plain_);
  }

  KnowledgeGraph& indexed() { return *indexed_; }

  void step() {
    if (foreign_share_ != 0 && draw(foreign_share_) == 0) return foreign_step();
    const unsigned pick = draw(100);
    const std::uint64_t t = draw_timestamp();
    if (pick < 30) {
      const std::uint64_t kind = draw(10) == 0 ? 18 : kKinds[draw(3)];  // 18: refused
      const std::uint64_t id = draw_id();
      both([&](KnowledgeGraph& g) { return g.add_node(t, id, node_of_kind(kind)).status; });
    } else if (pick < 60) {
      const std::uint64_t kind = kRelationKindsUsed[draw(3)];
      const Index from(kKinds[draw(3)], draw_id()), to(kKinds[draw(3)], draw_id());
      const std::uint64_t id = draw(kRelationIds);
      both([&](KnowledgeGraph& g) {
        return g.add_relation(t, id, relation_of_kind(kind), from, to).status;
      });
    } else if (pick < 72) {
      const Index node(kKinds[draw(3)], draw_id());
      both([&](KnowledgeGraph& g) { return g.remove_node(t, node).status; });
    } else if (pick < 84) {
      const Index relation(kRelationKindsUsed[draw(3)], draw(kRelationIds));
      both([&](KnowledgeGraph& g) { return g.remove_relation(t, relation).status; });
    } else if (pick < 87) {
      both([](KnowledgeGraph& g) { g.clear(); return WriteStatus::Stored; });
    } else if (pick < 93) {
      // Enter a batch; or, inside one, commit it.
      if (indexed_->autocommit_enabled()) {
        both([](KnowledgeGraph& g) {
          g.set_autocommit(false);
          g.start_transaction();
          return WriteStatus::Stored;
        });
      } else {
        both([](KnowledgeGraph& g) {
          g.commit_transaction();
          g.start_transaction();
          return WriteStatus::Stored;
        });
      }
    } else if (pick < 97) {
      // Back to autocommit: an uncommitted batch is dropped and its slots reused.
      both([](KnowledgeGraph& g) { g.set_autocommit(true); return WriteStatus::Stored; });
    } else {
      both([](KnowledgeGraph& g) {
        if (!g.autocommit_enabled()) g.commit_transaction();
        g.set_autocommit(true);
        return WriteStatus::Stored;
      });
    }
  }

  // One in `share` steps is the foreign writer's.
  void interleave_foreign_writer(unsigned share) { foreign_share_ = share; }

  // The foreign writer's step, alike on both graphs, with a padding policy of its own.
  void foreign_step() {
    const auto padding = static_cast<Padding>(draw(3));
    const unsigned pick = draw(100);
    const std::uint64_t t = ++time_;
    auto both_foreign = [&](auto op) {
      ForeignWriter a(*indexed_, padding), b(*plain_, padding);
      ASSERT_EQ(op(a), op(b));
    };
    if (pick < 35) {
      const std::uint64_t kind = kKinds[draw(3)], id = draw_id();
      both_foreign([&](ForeignWriter& f) { return f.add_node(t, id, node_of_kind(kind)); });
    } else if (pick < 60) {
      const std::uint64_t kind = kRelationKindsUsed[draw(3)], id = draw(kRelationIds);
      const Index from(kKinds[draw(3)], draw_id()), to(kKinds[draw(3)], draw_id());
      both_foreign([&](ForeignWriter& f) {
        return f.add_relation(t, id, relation_of_kind(kind), from, to);
      });
    } else if (pick < 70) {
      const Index node(kKinds[draw(3)], draw_id());
      both_foreign([&](ForeignWriter& f) { return f.remove_node(t, node); });
    } else if (pick < 80) {
      const Index relation(kRelationKindsUsed[draw(3)], draw(kRelationIds));
      both_foreign([&](ForeignWriter& f) { return f.remove_relation(t, relation); });
    } else if (pick < 85) {
      both_foreign([](ForeignWriter& f) { f.clear(); return true; });
      history_.clear();  // a foreign clear moves no epoch: older snapshots mean nothing now
    } else {
      // A clear and a refill of the node kinds up to the same tails, other ids.
      const GraphIndices before = indexed_->indices[indexed_->active_buffer()];
      std::vector<std::pair<std::uint64_t, std::uint64_t>> adds;  // (kind, id)
      for (std::uint64_t kind : kKinds)
        for (std::uint64_t n = 0; n < before.node_index_tail[kind]; ++n)
          adds.emplace_back(kind, draw_id());
      both_foreign([&](ForeignWriter& f) {
        f.clear();
        for (const auto& [kind, id] : adds) f.add_node(t, id, node_of_kind(kind));
        return true;
      });
      history_.clear();
    }
  }

  // Snapshots kept from earlier steps: readers that lag behind the index.
  void check(const std::string& where) {
    const Snapshot now = indexed_->snapshot();
    // The kind reads read whole tables: every third step keeps the run short
    // under the sanitizers.
    const bool reads = ++checks_ % 3 == 0;
    expect_lookups_match_scan(*indexed_, now, where);
    if (reads) {
      expect_enumeration_matches_scan(*indexed_, now, where);
      expect_reads_match_walk(*indexed_, now, true, random_window(rng_, time_), where);
    }
    for (const Snapshot& old : history_) {
      if (indexed_->cleared_since(old)) continue;
      expect_lookups_match_scan(*indexed_, old, where + " (old)");
      if (!reads) continue;
      expect_enumeration_matches_scan(*indexed_, old, where + " (old)");
      expect_reads_match_walk(*indexed_, old, false, random_window(rng_, time_), where + " (old)");
    }
    expect_same_versions(*indexed_, *plain_, where);
    history_.push_back(now);
    if (history_.size() > 4) history_.pop_front();
  }

 private:
  template <class Op> void both(Op op) { ASSERT_EQ(op(*indexed_), op(*plain_)); }
  unsigned draw(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng_); }
  std::uint64_t draw_id() { return draw(kIds); }
  // Mostly rising, with ties and steps back, so kinds fall out of write order.
  std::uint64_t draw_timestamp() {
    const unsigned pick = draw(100);
    if (pick < 8) return time_;
    if (pick < 12) return time_ - std::min<std::uint64_t>(time_, draw(30));
    return ++time_;
  }

  std::mt19937 rng_;
  KnowledgeGraph::Boxed own_;
  KnowledgeGraph* indexed_;
  KnowledgeGraph::Boxed plain_;
  std::uint64_t time_ = 0;
  std::uint64_t checks_ = 0;
  std::deque<Snapshot> history_;
  unsigned foreign_share_ = 0;
};

TEST(LookupIndex, RandomSequencesMatchTheScanInBothModes) {
  fast_paths = {};
  for (std::uint32_t seed : {1u, 2u, 3u, 4u}) {
    TwinRun run(seed);
    for (int i = 0; i < 3000; ++i) {
      run.step();
      run.check("seed " + std::to_string(seed) + " step " + std::to_string(i));
      if (testing::Test::HasFatalFailure()) return;
    }
  }
  // The enumeration and both orders were met, not only the walks they fall back to.
  EXPECT_GT(fast_paths.enumerated, 1000u);
  EXPECT_GT(fast_paths.ordered, 1000u);
  EXPECT_GT(fast_paths.unordered, 100u);
  std::printf("enumerated %llu, ordered %llu, order stops below the tail %llu\n",
              static_cast<unsigned long long>(fast_paths.enumerated),
              static_cast<unsigned long long>(fast_paths.ordered),
              static_cast<unsigned long long>(fast_paths.unordered));
}

TEST(LookupIndex, AForeignWriterInterleavedNeverChangesAnAnswer) {
  for (std::uint32_t seed : {11u, 12u, 13u}) {
    TwinRun run(seed);
    run.interleave_foreign_writer(6);
    for (int i = 0; i < 3000; ++i) {
      run.step();
      run.check("seed " + std::to_string(seed) + " step " + std::to_string(i));
      if (testing::Test::HasFatalFailure()) return;
    }
  }
}

// The sequences a review found: a foreign clear and refill that leaves the tails
// as they were, for nodes and for relations, with every padding policy; and
// foreign writes that leave the tails unchanged. Reads and our writer's own
// lookups (add_relation, remove_node, remove_relation) must answer as the scan.
TEST(LookupIndex, ForeignClearAndRefillToTheSameTailsIsDetected) {
  for (const Padding padding : {Padding::Zeroed, Padding::Copied, Padding::LeftAlone}) {
    SCOPED_TRACE(static_cast<int>(padding));
    auto g = KnowledgeGraph::new_boxed();
    ASSERT_TRUE(g->add_node(10, 5, node_of_kind(1)).stored());
    ForeignWriter other(*g, padding);
    other.clear();
    ASSERT_TRUE(other.add_node(20, 6, node_of_kind(1)));  // same slot, same tails
    expect_lookups_match_scan(*g, g->snapshot(), "after the refill");
    ASSERT_NE(g->get_latest_node_record(Index(1, 6)), nullptr);
    EXPECT_EQ(g->get_latest_node_record(Index(1, 5)), nullptr);
    ASSERT_TRUE(g->add_node(30, 2, node_of_kind(6)).stored());
    EXPECT_TRUE(g->add_relation(31, 1, relation_of_kind(9), Index(1, 6), Index(6, 2)).stored());
    EXPECT_EQ(g->remove_node(32, Index(1, 5)).status, WriteStatus::NotFound);
    EXPECT_TRUE(g->remove_node(33, Index(1, 6)).stored());
    expect_lookups_match_scan(*g, g->snapshot(), "after our writes");

    // Relations: ours joins car 1 and lane 2 by isOn 7; the other writer
    // rebuilds the same tails with isOn 8.
    auto r = KnowledgeGraph::new_boxed();
    ASSERT_TRUE(r->add_node(10, 1, node_of_kind(1)).stored());
    ASSERT_TRUE(r->add_node(10, 2, node_of_kind(6)).stored());
    ASSERT_TRUE(r->add_relation(11, 7, relation_of_kind(9), Index(1, 1), Index(6, 2)).stored());
    const GraphIndices before = r->snapshot().indices;
    ForeignWriter peer(*r, padding);
    peer.clear();
    ASSERT_TRUE(peer.add_node(10, 1, node_of_kind(1)));
    ASSERT_TRUE(peer.add_node(10, 2, node_of_kind(6)));
    ASSERT_TRUE(peer.add_relation(11, 8, relation_of_kind(9), Index(1, 1), Index(6, 2)));
    const GraphIndices after = r->snapshot().indices;
    ASSERT_EQ(std::memcmp(&before, &after, sizeof before), 0) << "the same tails and time";
    expect_lookups_match_scan(*r, r->snapshot(), "after the relation refill");
    EXPECT_EQ(r->get_latest_relation_record(Index(9, 7)), nullptr);
    ASSERT_NE(r->get_latest_relation_record(Index(9, 8)), nullptr);
    EXPECT_EQ(r->remove_relation(12, Index(9, 7)).status, WriteStatus::NotFound);
    EXPECT_TRUE(r->remove_relation(12, Index(9, 8)).stored());
    EXPECT_EQ(r->get_latest_relation_record(Index(9, 8))->marker, Marker::Removed);
    expect_lookups_match_scan(*r, r->snapshot(), "after our removal");
  }
}

TEST(LookupIndex, ForeignWritesThatLeaveTheTailsUnchangedAreDetected) {
  auto g = KnowledgeGraph::new_boxed();
  for (std::uint64_t id = 0; id < 6; ++id) ASSERT_TRUE(g->add_node(10 + id, id, node_of_kind(2)).stored());
  const GraphIndices published = g->snapshot().indices;
  // A batch that clears, rewrites slot 0 and is dropped: the published tails
  // stay, slot 0 below them holds instance 9 now.
  ForeignWriter other(*g, Padding::LeftAlone);
  g->autocommit = 0;
  g->indices[1 - g->active_buffer()] = g->indices[g->active_buffer()];
  other.clear();
  ASSERT_TRUE(other.add_node(20, 9, node_of_kind(2)));
  g->autocommit = 1;
  const GraphIndices still = g->snapshot().indices;
  ASSERT_EQ(std::memcmp(&published, &still, sizeof published), 0);
  expect_lookups_match_scan(*g, g->snapshot(), "after the dropped batch");
  ASSERT_NE(g->get_latest_node_record(Index(2, 9)), nullptr);
  ASSERT_TRUE(g->add_node(30, 10, node_of_kind(6)).stored());  // our writer rebuilds
  EXPECT_TRUE(g->remove_node(31, Index(2, 9)).stored());
  expect_lookups_match_scan(*g, g->snapshot(), "after our writes");
  // Padding rewritten below the tails, zeroed or arbitrary.
  for (const std::uint8_t byte : {0x00, 0xA5}) {
    other.scribble_padding(byte);
    expect_lookups_match_scan(*g, g->snapshot(), "after the padding changed");
    ASSERT_TRUE(g->add_node(40 + byte, 3, node_of_kind(2)).stored());
    expect_lookups_match_scan(*g, g->snapshot(), "after our next write");
  }
}

TEST(LookupIndex, BoxedAndRegionGraphsCarryAnIndex) {
  auto g = KnowledgeGraph::new_boxed();
  EXPECT_TRUE(has_lookup_index(*g));
  detach_lookup_index(*g);
  EXPECT_FALSE(has_lookup_index(*g));
  EXPECT_FALSE(attach_region_lookup_index(*g, sizeof(KnowledgeGraph)));  // no room behind it
  // The objects behind the record fit the region a host creates.
  EXPECT_GE(536'870'912u, region_objects_end());
}

// Appends `versions` versions of instance 5 and one of instance 6 in kind 1.
void write_versions(KnowledgeGraph& g, int versions, std::uint64_t t0) {
  for (int i = 0; i < versions; ++i) g.add_node(t0 + i, 5, node_of_kind(1));
  g.add_node(t0 + versions, 6, node_of_kind(1));
}

// The kind reads over all time and over a few windows, against the walk.
void expect_kind_reads_match_walk(const KnowledgeGraph& g, const std::string& where) {
  for (const Interval& window :
       {Interval::eternity(), Interval::make(0, 15), Interval::make(20, 65),
        Interval::of_type(Interval::make(60, 80), IntervalType::Open)}) {
    expect_reads_match_walk(g, g.snapshot(), true, window, where);
    expect_enumeration_matches_scan(g, g.snapshot(), where);
  }
}

TEST(LookupIndex, AWriterWithoutTheIndexIsNoticedByReadersAndByTheNextWriter) {
  auto g = KnowledgeGraph::new_boxed();
  void* bytes = reinterpret_cast<unsigned char*>(g.get()) + lookup_index_offset();
  write_versions(*g, 3, 10);
  // Another writer, one that keeps no index, clears and writes different slots.
  detach_lookup_index(*g);
  g->clear();
  g->add_node(50, 6, node_of_kind(1));
  write_versions(*g, 2, 60);
  attach_lookup_index(*g, bytes);
  expect_lookups_match_scan(*g, g->snapshot(), "before the next indexed write");
  expect_kind_reads_match_walk(*g, "before the next indexed write");
  ASSERT_EQ(latest_node_slot(*g, g->snapshot(), Index(1, 6)), 3u);
  g->add_node(70, 7, node_of_kind(1));
  expect_lookups_match_scan(*g, g->snapshot(), "after it");
  // Plain appends by the other writer, no clear.
  detach_lookup_index(*g);
  g->add_node(80, 5, node_of_kind(1));
  attach_lookup_index(*g, bytes);
  EXPECT_EQ(latest_node_slot(*g, g->snapshot(), Index(1, 5)), 5u);
  expect_lookups_match_scan(*g, g->snapshot(), "after plain appends");
  expect_kind_reads_match_walk(*g, "after plain appends");
  // The other writer appends a version stamped earlier than the last: the order
  // the index kept no longer covers the kind.
  detach_lookup_index(*g);
  g->add_node(1, 6, node_of_kind(1));
  attach_lookup_index(*g, bytes);
  expect_kind_reads_match_walk(*g, "after a step back by the other writer");
}

TEST(LookupIndex, DamagedPaddingAndRecordsFallBackToTheScan) {
  auto g = KnowledgeGraph::new_boxed();
  write_versions(*g, 4, 10);  // instance 5 at slots 0-3, instance 6 at 4
  const Snapshot old = g->snapshot();
  write_versions(*g, 4, 20);  // 5 at 5-8, 6 at 9
  // A torn or damaged link: the walk from slot 8 down to the old tail meets it.
  std::uint8_t kept[7];
  std::memcpy(kept, g->node_records[1][7].padding, 7);
  std::memset(g->node_records[1][7].padding, 0xFF, 7);
  EXPECT_EQ(latest_node_slot(*g, old, Index(1, 5)), 3u);
  expect_reads_match_walk(*g, old, false, Interval::eternity(), "torn link");
  expect_kind_reads_match_walk(*g, "torn link");
  std::memcpy(g->node_records[1][7].padding, kept, 7);
  EXPECT_EQ(latest_node_slot(*g, old, Index(1, 5)), 3u);
  // A link that skips a version: its own stamp is still valid, but it points to
  // a slot whose stamp is not (copied from elsewhere).
  std::memcpy(g->node_records[1][6].padding, g->node_records[1][2].padding, 7);
  EXPECT_EQ(latest_node_slot(*g, old, Index(1, 5)), 3u);
  // The indexed slot now holds another instance: the scan's answer, slot 7.
  g->node_records[1][8].instance_id = 99;
  EXPECT_EQ(latest_node_slot(*g, g->snapshot(), Index(1, 5)), 7u);
  expect_kind_reads_match_walk(*g, "indexed slot overwritten");
  // A timestamp overwritten out of order where the window's search meets it: the
  // order kept beside the index is now wrong, the reads must not be.
  g->node_records[1][5].timestamp = 70;
  for (const Interval& window : {Interval::make(20, 65), Interval::make(60, 80)})
    expect_reads_match_walk(*g, g->snapshot(), true, window, "timestamp overwritten");
  // Damaged tails beyond the capacity and a kind out of range.
  EXPECT_EQ(latest_node_slot(*g, g->snapshot(), Index(18, 5)), std::nullopt);
  Snapshot huge = g->snapshot();
  huge.indices.node_index_tail[1] = ~std::uint64_t{0};
  EXPECT_EQ(latest_node_slot(*g, huge, Index(1, 6)),
            scan_latest_node_slot(*g, 1, 6, kNodeVersionsPerKind));
}

TEST(LookupIndex, DeepHistoriesAreFoundWithoutScanning) {
  auto g = KnowledgeGraph::new_boxed();
  g->add_node(1, 1, node_of_kind(2));
  for (std::uint64_t i = 0; i < 3000; ++i) g->add_node(2 + i, 100 + i, node_of_kind(2));
  g->add_node(9000, 2, node_of_kind(6));
  ASSERT_TRUE(g->add_relation(9001, 4, relation_of_kind(9), Index(2, 1), Index(6, 2)).stored());
  const NodeRecord* found = g->get_latest_node_record(Index(2, 1));
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found, &g->node_records[2][3001]);
  EXPECT_EQ(found->outgoing[0], Index(9, 4));
  ASSERT_TRUE(g->remove_node(9002, Index(2, 1)).value);
  EXPECT_EQ(g->get_latest_relation_record(Index(9, 4))->marker, Marker::Removed);
  EXPECT_EQ(g->get_latest_node_value(Index(2, 1)), nullptr);
}

// Nodes and relations have a table each, with its own limit: many instances on
// both sides together must not put the index out of use (it would then rebuild
// and scan on every write). The versions appended last still carry their stamps.
TEST(LookupIndex, ManyNodesAndRelationsTogetherKeepTheIndexInUse) {
  auto g = KnowledgeGraph::new_boxed();
  constexpr std::uint64_t kNodes = 15000, kRelations = 14000;
  std::uint64_t t = 0;
  for (std::uint64_t i = 0; i < kNodes; ++i)
    ASSERT_TRUE(g->add_node(++t, i, node_of_kind(i % kNodeKinds)).stored());
  for (std::uint64_t i = 0; i < kRelations; ++i) {
    const Index from(i % kNodeKinds, i), to((i + 1) % kNodeKinds, i + 1);
    ASSERT_TRUE(g->add_relation(++t, i, relation_of_kind(i % kRelationKinds), from, to).stored());
  }
  const std::uint64_t last = kRelations - 1, kind = last % kRelationKinds;
  const Snapshot now = g->snapshot();
  const std::uint64_t slot = now.indices.relation_index_tail[kind] - 1;
  const RelationRecord& version = g->relation_records[kind][slot];
  ASSERT_EQ(version.instance_id, last);
  EXPECT_NE(std::memcmp(version.padding, "\0\0\0\0\0\0\0", 7), 0) << "appended unindexed";
  EXPECT_EQ(latest_relation_slot(*g, now, Index(kind, last)), slot);
  const Index node(last % kNodeKinds, last);
  EXPECT_EQ(latest_node_slot(*g, now, node),
            scan_latest_node_slot(*g, node.type_index, last, now.indices.node_index_tail[node.type_index]));
}

#if defined(__linux__) && defined(VARNEL_INDEX_PROCESSES)
// Readers in other processes, each with its own read-only mapping of the region
// and its own attachment of the index, check every lookup against the scan after
// each step of the writer (ours, with the foreign writer interleaved). They run
// in lock-step with it, so each check reads a record at rest: what is tested is
// the index as other processes see it, not the race of a reader with a foreign
// writer, which no guard covers.
struct LockStep {
  std::atomic<int> step{0};  // -1: stop
  std::atomic<int> done[3]{};
  std::atomic<int> mismatches{0};
};

int mismatches(const KnowledgeGraph& g) {
  const Snapshot s = g.snapshot();
  int wrong = 0;
  for (std::uint64_t kind : kKinds)
    for (std::uint64_t id = 0; id <= kIds; ++id)
      wrong += latest_node_slot(g, s, Index(kind, id)) !=
               scan_latest_node_slot(g, kind, id, s.indices.node_index_tail[kind]);
  for (std::uint64_t kind : kRelationKindsUsed)
    for (std::uint64_t id = 0; id <= kRelationIds; ++id)
      wrong += latest_relation_slot(g, s, Index(kind, id)) !=
               scan_latest_relation_slot(g, kind, id, s.indices.relation_index_tail[kind]);
  return wrong;
}

[[noreturn]] void lock_step_reader(const std::string& name, LockStep& sync, int number) {
  shared_memory_interface::shared_memory::KnowledgeGraphMemory region(name, 536'870'912u);
  if (!region.initialize_read_only()) _exit(3);
  const RegionLookupIndex index(*region.get_data_ref(), region.view_size());
  if (!index.attached()) _exit(4);
  for (int seen = 0;;) {
    int step;
    while ((step = sync.step.load()) == seen) sched_yield();
    if (step < 0) _exit(0);
    sync.mismatches += mismatches(*region.get_data_ref());
    sync.done[number].store(seen = step);
  }
}

TEST(LookupIndex, ReadersInOtherProcessesAnswerAsTheScan) {
  const std::string name = "varnel_index_test_" + std::to_string(getpid());
  shared_memory_interface::shared_memory::KnowledgeGraphMemory region(name, 536'870'912u);
  ASSERT_TRUE(region.initialize());
  KnowledgeGraph& g = *KnowledgeGraph::make_default_in(region.get_data_ref());
  const RegionLookupIndex index(g, region.view_size());
  ASSERT_TRUE(index.attached());
  void* shared = mmap(nullptr, sizeof(LockStep), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  auto* sync = new (shared) LockStep{};
  std::vector<pid_t> readers;
  for (int i = 0; i < 3; ++i) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) lock_step_reader(name, *sync, i);
    readers.push_back(child);
  }
  TwinRun run(21, &g);
  run.interleave_foreign_writer(5);
  constexpr int kSteps = 600;
  for (int step = 1; step <= kSteps && !testing::Test::HasFatalFailure(); ++step) {
    run.step();
    run.check("step " + std::to_string(step));
    sync->step.store(step);
    for (auto& done : sync->done)
      while (done.load() != step) sched_yield();
  }
  sync->step.store(-1);
  for (pid_t child : readers) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  EXPECT_EQ(sync->mismatches.load(), 0);
  munmap(shared, sizeof(LockStep));
}
#endif

}  // namespace
}  // namespace knowledge_graph::graph
