// The lookup index against the plain scan: fixed-seed random sequences of writes
// (autocommit and transactions, clears, refusals, dropped batches) run on a graph
// that keeps the index and on a twin without it. After every step every lookup of
// the indexed graph, for the current snapshot and for older ones, must equal the
// scan, and both graphs must hold the same versions. Further cases: a writer that
// does not keep the index, damaged padding and records, the shared region.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <random>
#include <string>

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
    const std::uint64_t t = ++time_;
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
    expect_lookups_match_scan(*indexed_, now, where);
    for (const Snapshot& old : history_) {
      if (!indexed_->cleared_since(old)) expect_lookups_match_scan(*indexed_, old, where + " (old)");
    }
    expect_same_versions(*indexed_, *plain_, where);
    history_.push_back(now);
    if (history_.size() > 4) history_.pop_front();
  }

 private:
  template <class Op> void both(Op op) { ASSERT_EQ(op(*indexed_), op(*plain_)); }
  unsigned draw(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng_); }
  std::uint64_t draw_id() { return draw(kIds); }

  std::mt19937 rng_;
  KnowledgeGraph::Boxed indexed_, plain_;
  std::uint64_t time_ = 0;
  std::deque<Snapshot> history_;
};

TEST(LookupIndex, RandomSequencesMatchTheScanInBothModes) {
  for (std::uint32_t seed : {1u, 2u, 3u, 4u}) {
    TwinRun run(seed);
    for (int i = 0; i < 3000; ++i) {
      run.step();
      run.check("seed " + std::to_string(seed) + " step " + std::to_string(i));
      if (testing::Test::HasFatalFailure()) return;
    }
  }
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
  ASSERT_EQ(latest_node_slot(*g, g->snapshot(), Index(1, 6)), 3u);
  g->add_node(70, 7, node_of_kind(1));
  expect_lookups_match_scan(*g, g->snapshot(), "after it");
  // Plain appends by the other writer, no clear.
  detach_lookup_index(*g);
  g->add_node(80, 5, node_of_kind(1));
  attach_lookup_index(*g, bytes);
  EXPECT_EQ(latest_node_slot(*g, g->snapshot(), Index(1, 5)), 5u);
  expect_lookups_match_scan(*g, g->snapshot(), "after plain appends");
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
  std::memcpy(g->node_records[1][7].padding, kept, 7);
  EXPECT_EQ(latest_node_slot(*g, old, Index(1, 5)), 3u);
  // A link that skips a version: its own stamp is still valid, but it points to
  // a slot whose stamp is not (copied from elsewhere).
  std::memcpy(g->node_records[1][6].padding, g->node_records[1][2].padding, 7);
  EXPECT_EQ(latest_node_slot(*g, old, Index(1, 5)), 3u);
  // The indexed slot now holds another instance: the scan's answer, slot 7.
  g->node_records[1][8].instance_id = 99;
  EXPECT_EQ(latest_node_slot(*g, g->snapshot(), Index(1, 5)), 7u);
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
