// The lookup index against the plain scan: fixed-seed random sequences of writes
// (autocommit and transactions, clears, refusals, dropped batches) run on a graph
// that keeps the index and on a twin without it. After every step every lookup of
// the indexed graph, for the current snapshot and for older ones, must equal the
// scan, and both graphs must hold the same versions. Further cases: a writer that
// does not keep the index, damaged padding and records, the shared region.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <random>
#include <string>

#include "knowledge_graph/graph/iterators.hpp"
#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/lookup_index.hpp"
#include "reference_model.hpp"

namespace knowledge_graph::graph {
namespace {

constexpr std::uint64_t kKinds[] = {1, 2, 6};
constexpr std::uint64_t kIds = 12;
constexpr std::uint64_t kRelationKindsUsed[] = {1, 9, 16};
constexpr std::uint64_t kRelationIds = 30;

using reference::node_of_kind;
using reference::relation_of_kind;

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

// Every instance enumerated once, with the scan's latest slot; a claimed order holds.
void expect_enumeration_matches_scan(const KnowledgeGraph& g, const Snapshot& taken,
                                     const std::string& where) {
  std::optional<std::vector<LatestSlot>> nodes[kNodeKinds];
  latest_node_slots(g, taken, 0, kNodeKinds, nodes);
  for (std::uint64_t kind = 0; kind < kNodeKinds; ++kind) {
    const std::uint64_t tail = taken.indices.node_index_tail[kind];
    if (nodes[kind]) {
      std::map<std::uint64_t, std::uint64_t> want;
      for (std::uint64_t slot = 0; slot < tail; ++slot) want[g.node_records[kind][slot].instance_id] = slot;
      std::map<std::uint64_t, std::uint64_t> got;
      for (const LatestSlot& found : *nodes[kind]) ASSERT_TRUE(got.emplace(found.instance_id, found.slot).second);
      ASSERT_EQ(got, want) << where << " node kind " << kind;
      fast_paths.enumerated += tail > 0;
    }
    const std::uint64_t ordered = node_ordered_prefix(g, taken, kind);
    ASSERT_LE(ordered, tail) << where;
    fast_paths.ordered += ordered > 1;
    fast_paths.unordered += ordered > 1 && ordered < tail;
    for (std::uint64_t slot = 1; slot < ordered; ++slot)
      ASSERT_LE(g.node_records[kind][slot - 1].timestamp, g.node_records[kind][slot].timestamp)
          << where << " node kind " << kind << " claimed in order up to " << ordered;
  }
  std::optional<std::vector<LatestSlot>> relations[kRelationKinds];
  latest_relation_slots(g, taken, 0, kRelationKinds, relations);
  for (std::uint64_t kind = 0; kind < kRelationKinds; ++kind) {
    const std::uint64_t tail = taken.indices.relation_index_tail[kind];
    if (relations[kind]) {
      std::map<std::uint64_t, std::uint64_t> want, got;
      for (std::uint64_t slot = 0; slot < tail; ++slot) want[g.relation_records[kind][slot].instance_id] = slot;
      for (const LatestSlot& found : *relations[kind]) ASSERT_TRUE(got.emplace(found.instance_id, found.slot).second);
      ASSERT_EQ(got, want) << where << " relation kind " << kind;
    }
    const std::uint64_t ordered = relation_ordered_prefix(g, taken, kind);
    ASSERT_LE(ordered, tail) << where;
    for (std::uint64_t slot = 1; slot < ordered; ++slot)
      ASSERT_LE(g.relation_records[kind][slot - 1].timestamp, g.relation_records[kind][slot].timestamp)
          << where << " relation kind " << kind;
  }
}

// Every kind query, all-kinds query and iterator over `interval` equals the walk:
// the queries and iterators made now, and iterators made from the older `taken`.
void expect_reads_match_walk(const KnowledgeGraph& g, const Snapshot& taken, bool current,
                             const Interval& interval, const std::string& where) {
  std::vector<std::uint64_t> all_nodes, all_relations;
  std::vector<NodeItem> expected_nodes;
  for (std::uint64_t kind = 0; kind < kNodeKinds; ++kind) {
    const NodeRecord* records = g.node_records[kind];
    const std::uint64_t tail = taken.indices.node_index_tail[kind];
    const std::string at = where + " node kind " + std::to_string(kind);
    expect_walk(iterators::NodeIterator(g, taken, interval, kind), records,
                walk_slots(records, tail, interval), at + " iterator");
    if (!current) continue;
    expect_walk(g.nodes_iter(interval, kind), records, walk_slots(records, tail, interval),
                at + " nodes_iter");
    const auto slots = walk_kind(records, tail, interval);
    const auto items = g.get_nodes_of_type(interval, kind);
    expect_items(items, records, g.node_values, slots, at + " get_nodes_of_type");
    expected_nodes.insert(expected_nodes.end(), items.begin(), items.end());
  }
  std::vector<RelationItem> expected_relations;
  for (std::uint64_t kind = 0; kind < kRelationKinds; ++kind) {
    const RelationRecord* records = g.relation_records[kind];
    const std::uint64_t tail = taken.indices.relation_index_tail[kind];
    const std::string at = where + " relation kind " + std::to_string(kind);
    expect_walk(iterators::RelationIterator(g, taken, interval, kind), records,
                walk_slots(records, tail, interval), at + " iterator");
    if (!current) continue;
    expect_walk(g.relations_iter(interval, kind), records, walk_slots(records, tail, interval),
                at + " relations_iter");
    const auto slots = walk_kind(records, tail, interval);
    const auto items = g.get_relations_of_type(interval, kind);
    expect_items(items, records, g.relation_values, slots, at + " get_relations_of_type");
    expected_relations.insert(expected_relations.end(), items.begin(), items.end());
  }
  if (!current) return;
  const auto nodes = g.get_all_nodes(interval);
  ASSERT_EQ(nodes.size(), expected_nodes.size()) << where << " get_all_nodes";
  for (std::size_t i = 0; i < nodes.size(); ++i)
    ASSERT_EQ(std::memcmp(&nodes[i], &expected_nodes[i], sizeof(NodeItem)), 0) << where << " get_all_nodes";
  const auto relations = g.get_all_relations(interval);
  ASSERT_EQ(relations.size(), expected_relations.size()) << where << " get_all_relations";
  for (std::size_t i = 0; i < relations.size(); ++i)
    ASSERT_EQ(std::memcmp(&relations[i], &expected_relations[i], sizeof(RelationItem)), 0)
        << where << " get_all_relations";
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
      : rng_(seed), indexed_(KnowledgeGraph::new_boxed()), plain_(KnowledgeGraph::new_boxed()) {
    detach_lookup_index(*plain_);
  }

  KnowledgeGraph& indexed() { return *indexed_; }

  void step() {
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
  KnowledgeGraph::Boxed indexed_, plain_;
  std::uint64_t time_ = 0;
  std::uint64_t checks_ = 0;
  std::deque<Snapshot> history_;
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

TEST(LookupIndex, BoxedAndRegionGraphsCarryAnIndex) {
  auto g = KnowledgeGraph::new_boxed();
  EXPECT_TRUE(has_lookup_index(*g));
  detach_lookup_index(*g);
  EXPECT_FALSE(has_lookup_index(*g));
  EXPECT_FALSE(attach_region_lookup_index(*g, sizeof(KnowledgeGraph)));  // no room behind it
  EXPECT_GE(536'870'912u, lookup_index_offset() + lookup_index_size());
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

}  // namespace
}  // namespace knowledge_graph::graph
