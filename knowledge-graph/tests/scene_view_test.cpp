// SceneView against an oracle built from the plain version walk (nodes_iter and
// relations_iter over all time) on random write sequences with fixed seeds, with
// and without the lookup index, stamped in any order or by a clock that only
// runs forward (the order the kind reads binary-search).
#include "knowledge_graph/graph/scene_view.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <tuple>

#include "knowledge_graph/graph/iterators.hpp"
#include "knowledge_graph/graph/lookup_index.hpp"

namespace knowledge_graph::graph {
namespace {

using interval_algebra::Interval;
using types::Car;
using types::Lane;

constexpr NodeKind kNodeKindsUsed[] = {NodeKind::Car, NodeKind::Lane};
constexpr RelationKind kRelationKindsUsed[] = {RelationKind::isOn, RelationKind::has};

struct Versions {
  std::vector<NodeItem> nodes[kNodeKinds];
  std::vector<RelationItem> relations[kRelationKinds];
};

Versions all_versions(const KnowledgeGraph& graph) {
  Versions all;
  for (std::uint64_t k = 0; k < kNodeKinds; ++k)
    for (const NodeItem& item : graph.nodes_iter(Interval::eternity(), k))
      all.nodes[k].push_back(item);
  for (std::uint64_t k = 0; k < kRelationKinds; ++k)
    for (const RelationItem& item : graph.relations_iter(Interval::eternity(), k))
      all.relations[k].push_back(item);
  return all;
}

// Per instance the last version in slot order that `keep` accepts, if Valid.
template <class Item, class Keep> std::vector<Item> oracle(const std::vector<Item>& versions, Keep keep) {
  std::map<std::uint64_t, const Item*> latest;
  for (const Item& item : versions)
    if (keep(item.record.timestamp)) latest[item.record.instance_id] = &item;
  std::vector<Item> result;
  for (const auto& [id, item] : latest)
    if (item->record.marker == Marker::Valid) result.push_back(*item);
  return result;
}

template <class Item> std::vector<Item> oracle_history(const std::vector<Item>& versions,
                                                       std::uint64_t id) {
  std::vector<Item> result;
  for (const Item& item : versions)
    if (item.record.instance_id == id) result.push_back(item);
  return result;
}

template <class Item> std::optional<Item> oracle_at(const std::vector<Item>& versions,
                                                    std::uint64_t id, std::uint64_t t) {
  std::optional<Item> found;
  for (const Item& item : versions)
    if (item.record.instance_id == id && item.record.timestamp <= t) found = item;
  if (found && found->record.marker != Marker::Valid) found.reset();
  return found;
}

bool same(const NodeItem& a, const NodeItem& b) {
  return std::memcmp(&a.record, &b.record, sizeof a.record) == 0 &&
         std::memcmp(&a.value, &b.value, sizeof a.value) == 0;
}
bool same(const RelationItem& a, const RelationItem& b) {
  return std::memcmp(&a.record, &b.record, sizeof a.record) == 0 &&
         std::memcmp(&a.value, &b.value, sizeof a.value) == 0;
}
template <class Item> bool same(const std::vector<Item>& a, const std::vector<Item>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (!same(a[i], b[i])) return false;
  return true;
}
template <class Item> bool same(const std::optional<Item>& a, const std::optional<Item>& b) {
  return a.has_value() == b.has_value() && (!a || same(*a, *b));
}

KnowledgeGraphNode value_of(NodeKind kind, std::mt19937_64& random) {
  if (kind == NodeKind::Car) {
    Car car;
    car.carSpeed = static_cast<float>(random() % 50);
    return KnowledgeGraphNode(car);
  }
  Lane lane;
  lane.laneId = static_cast<std::int32_t>(random() % 9);
  return KnowledgeGraphNode(lane);
}

// `clock`: stamps that never decrease, from *clock on; null: any order (the
// slot order decides).
void random_writes(KnowledgeGraph& graph, std::mt19937_64& random, int count,
                   std::uint64_t* clock = nullptr) {
  for (int i = 0; i < count; ++i) {
    const std::uint64_t t = clock ? (*clock += random() % 7) : random() % 1000;
    const NodeKind nk = kNodeKindsUsed[random() % 2];
    const std::uint64_t id = 1 + random() % 5;
    const RelationKind rk = kRelationKindsUsed[random() % 2];
    switch (random() % 6) {
      case 0: graph.add_node(t, id, value_of(nk, random)); break;
      case 1: graph.update_node(t, id, value_of(nk, random)); break;
      case 2: graph.remove_node(t, NodeIndex(nk, id).index()); break;
      case 3:
      case 4: {
        const NodeIndex from(kNodeKindsUsed[random() % 2], 1 + random() % 5);
        const NodeIndex to(kNodeKindsUsed[random() % 2], 1 + random() % 5);
        KnowledgeGraphRelation value;
        value.tag = static_cast<std::uint64_t>(rk);
        graph.add_relation(t, 1 + random() % 6, value, from.index(), to.index());
        break;
      }
      default: graph.remove_relation(t, RelationIndex(rk, 1 + random() % 6).index());
    }
  }
}

// Every query of `view` against the oracle of the versions it shows.
void check_view(const SceneView& view, const Versions& all, std::mt19937_64& random) {
  const auto everything = [](std::uint64_t) { return true; };
  for (NodeKind kind : kNodeKindsUsed) {
    const auto& versions = all.nodes[static_cast<std::uint64_t>(kind)];
    EXPECT_TRUE(same(view.nodes(kind), oracle(versions, everything)));
    for (int i = 0; i < 4; ++i) {
      const std::uint64_t t = random() % 1100;
      EXPECT_TRUE(same(view.nodes_as_of(kind, t),
                       oracle(versions, [t](std::uint64_t s) { return s <= t; })))
          << "as of " << t;
      const Interval window = Interval::of_type(Interval::make(t, t + random() % 300),
                                                static_cast<interval_algebra::IntervalType>(i));
      EXPECT_TRUE(same(view.nodes_in(kind, window),
                       oracle(versions, [&](std::uint64_t s) { return window.includes(s); })));
      // Every version inside the window, in slot order, without its lists.
      const std::vector<NodeVersion> found = view.node_versions(kind, window);
      std::vector<const NodeItem*> expected;
      for (const NodeItem& item : versions)
        if (window.includes(item.record.timestamp)) expected.push_back(&item);
      ASSERT_EQ(found.size(), expected.size());
      for (std::size_t v = 0; v < found.size(); ++v) {
        EXPECT_EQ(found[v].instance_id, expected[v]->record.instance_id);
        EXPECT_EQ(found[v].timestamp, expected[v]->record.timestamp);
        EXPECT_EQ(found[v].marker, expected[v]->record.marker);
        EXPECT_EQ(std::memcmp(&found[v].value, &expected[v]->value, sizeof found[v].value), 0);
      }
    }
    EXPECT_EQ(view.node_versions(kind).size(), versions.size());
    for (std::uint64_t id = 1; id <= 5; ++id) {
      const NodeIndex index(kind, id);
      EXPECT_TRUE(same(view.history(index), oracle_history(versions, id)));
      EXPECT_TRUE(same(view.node(index), oracle_at(versions, id, ~std::uint64_t{0})));
      const std::uint64_t t = random() % 1100;
      EXPECT_TRUE(same(view.node_at(index, t), oracle_at(versions, id, t))) << "at " << t;
      // Neighbours: the oracle follows the node's lists by the same rules.
      for (RelationKind rk : kRelationKindsUsed) {
        for (const bool out : {true, false}) {
          std::vector<Neighbour> expected;
          if (auto self = oracle_at(versions, id, t)) {
            for (const Index& entry : out ? self->record.outgoing : self->record.incoming) {
              if (entry.type_index != static_cast<std::uint64_t>(rk) || entry.is_empty()) continue;
              auto relation = oracle_at(all.relations[entry.type_index], entry.instance_id, t);
              if (!relation) continue;
              const Index own = out ? relation->record.from : relation->record.to;
              const Index other_end = out ? relation->record.to : relation->record.from;
              if (!(own == index.index())) continue;
              auto other = oracle_at(all.nodes[other_end.type_index], other_end.instance_id, t);
              if (other) expected.push_back({*relation, *other});
            }
          }
          const auto found = out ? view.outgoing(index, rk, t) : view.incoming(index, rk, t);
          ASSERT_EQ(found.size(), expected.size());
          for (std::size_t i = 0; i < found.size(); ++i) {
            EXPECT_TRUE(same(found[i].relation, expected[i].relation));
            EXPECT_TRUE(same(found[i].node, expected[i].node));
            if (!out) continue;
            const auto between =
                view.relations_between(index, NodeIndex::of(found[i].relation.record.to), t);
            EXPECT_TRUE(std::any_of(between.begin(), between.end(), [&](const RelationItem& r) {
              return same(r, found[i].relation);
            }));
          }
        }
      }
    }
  }
  for (RelationKind kind : kRelationKindsUsed) {
    const auto& versions = all.relations[static_cast<std::uint64_t>(kind)];
    EXPECT_TRUE(same(view.relations(kind), oracle(versions, everything)));
    const std::uint64_t t = random() % 1100;
    EXPECT_TRUE(same(view.relations_as_of(kind, t),
                     oracle(versions, [t](std::uint64_t s) { return s <= t; })));
    const Interval window = Interval::make(t, t + random() % 300);
    EXPECT_TRUE(same(view.relations_in(kind, window),
                     oracle(versions, [&](std::uint64_t s) { return window.includes(s); })));
    const std::vector<RelationVersion> found = view.relation_versions(kind, window);
    std::vector<const RelationItem*> expected;
    for (const RelationItem& item : versions)
      if (window.includes(item.record.timestamp)) expected.push_back(&item);
    ASSERT_EQ(found.size(), expected.size());
    for (std::size_t v = 0; v < found.size(); ++v) {
      EXPECT_EQ(found[v].instance_id, expected[v]->record.instance_id);
      EXPECT_EQ(found[v].timestamp, expected[v]->record.timestamp);
      EXPECT_EQ(found[v].from, expected[v]->record.from);
      EXPECT_EQ(found[v].to, expected[v]->record.to);
      EXPECT_EQ(found[v].marker, expected[v]->record.marker);
      EXPECT_EQ(std::memcmp(&found[v].value, &expected[v]->value, sizeof found[v].value), 0);
    }
    for (std::uint64_t id = 1; id <= 6; ++id) {
      EXPECT_TRUE(same(view.history(RelationIndex(kind, id)), oracle_history(versions, id)));
      EXPECT_TRUE(same(view.relation_at(RelationIndex(kind, id), t), oracle_at(versions, id, t)));
    }
  }
  const KindCounts counts = view.counts();
  for (std::uint64_t k = 0; k < kNodeKinds; ++k)
    EXPECT_EQ(counts.nodes[k], oracle(all.nodes[k], everything).size());
  for (std::uint64_t k = 0; k < kRelationKinds; ++k)
    EXPECT_EQ(counts.relations[k], oracle(all.relations[k], everything).size());
  EXPECT_FALSE(view.overtaken());
}

// Parameters: with the lookup index; stamped by a forward-running clock.
class SceneViewModel : public ::testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(SceneViewModel, AnswersAsTheVersionWalkOnRandomSequences) {
  const auto [indexed, forward] = GetParam();
  for (std::uint64_t seed = 1; seed <= 6; ++seed) {
    SCOPED_TRACE(seed);
    auto graph = KnowledgeGraph::new_boxed();
    if (!indexed) detach_lookup_index(*graph);
    std::mt19937_64 random(seed);
    SceneReader reader(*graph);
    std::uint64_t clock = 0;
    for (int round = 0; round < 5; ++round) {
      random_writes(*graph, random, 60, forward ? &clock : nullptr);
      const Versions all = all_versions(*graph);
      check_view(SceneView(*graph), all, random);
      check_view(reader.view(), all, random);
    }
  }
}
INSTANTIATE_TEST_SUITE_P(WithAndWithoutIndex, SceneViewModel,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()));

TEST(SceneView, KeepsItsPublicationWhileTheWriterGoesOn) {
  auto graph = KnowledgeGraph::new_boxed();
  graph->add_node(0, 3, KnowledgeGraphNode(Lane{}));
  graph->add_node(10, 25, KnowledgeGraphNode(Car{}));
  SceneReader reader(*graph);
  const SceneView before = reader.view();
  graph->remove_node(20, NodeIndex(NodeKind::Car, 25).index());
  graph->add_node(30, 26, KnowledgeGraphNode(Car{}));
  ASSERT_EQ(before.nodes(NodeKind::Car).size(), 1u);
  EXPECT_EQ(before.nodes(NodeKind::Car)[0].record.instance_id, 25u);
  EXPECT_EQ(before.history(NodeIndex(NodeKind::Car, 26)).size(), 0u);
  const SceneView after = reader.view();
  ASSERT_EQ(after.nodes(NodeKind::Car).size(), 1u);
  EXPECT_EQ(after.nodes(NodeKind::Car)[0].record.instance_id, 26u);
  // The lane written at 0 is part of the state at 500 but of no window after 0.
  EXPECT_EQ(after.nodes_as_of(NodeKind::Lane, 500).size(), 1u);
  EXPECT_EQ(after.nodes_in(NodeKind::Lane, Interval::make(500, 1000)).size(), 0u);
  EXPECT_EQ(after.counts().nodes[static_cast<std::uint64_t>(NodeKind::Car)], 1u);
  EXPECT_FALSE(before.overtaken());
}

TEST(SceneView, ItemsCarryTheirKind) {
  auto graph = KnowledgeGraph::new_boxed();
  graph->add_node(0, 3, KnowledgeGraphNode(Lane{}));
  graph->add_node(0, 25, KnowledgeGraphNode(Car{}));
  graph->add_relation(0, 9, KnowledgeGraphRelation(types::isOn{}), Index(1, 25), Index(6, 3));
  const SceneView scene = SceneReader(*graph).view();
  const auto cars = scene.nodes(NodeKind::Car);
  ASSERT_EQ(cars.size(), 1u);
  EXPECT_EQ(cars[0].kind(), NodeKind::Car);
  EXPECT_EQ(cars[0].index(), Index(1, 25));
  const auto on = scene.incoming(NodeIndex(NodeKind::Lane, 3), RelationKind::isOn);
  ASSERT_EQ(on.size(), 1u);
  EXPECT_EQ(on[0].relation.kind(), RelationKind::isOn);
  EXPECT_EQ(on[0].relation.index(), Index(9, 9));
}

TEST(SceneView, AClearOvertakesItAndItAnswersNothing) {
  auto graph = KnowledgeGraph::new_boxed();
  graph->add_node(1, 7, KnowledgeGraphNode(Car{}));
  const SceneView view(*graph);
  const auto kept = view.node(NodeIndex(NodeKind::Car, 7));
  ASSERT_TRUE(kept);
  graph->clear();
  graph->add_node(2, 8, KnowledgeGraphNode(Lane{}));
  EXPECT_TRUE(view.overtaken());
  EXPECT_TRUE(view.nodes(NodeKind::Car).empty());
  EXPECT_FALSE(view.node(NodeIndex(NodeKind::Car, 7)));
  EXPECT_EQ(kept->record.instance_id, 7u);  // the copy made before stays as it was
  EXPECT_FALSE(SceneView(*graph).overtaken());
}

TEST(SceneView, ValuesReadOnlyAsTheirOwnKind) {
  Car car;
  car.carSpeed = 12.5f;
  const KnowledgeGraphNode value(car);
  ASSERT_TRUE(value.as<Car>());
  EXPECT_EQ(value.as<Car>()->carSpeed, 12.5f);
  EXPECT_FALSE(value.as<Lane>());
  static_assert(!std::is_convertible_v<RelationIndex, NodeIndex>);
  static_assert(!std::is_convertible_v<NodeIndex, RelationIndex>);
}

TEST(SceneView, KindsOutOfRangeFindNothing) {
  auto graph = KnowledgeGraph::new_boxed();
  graph->add_node(1, 7, KnowledgeGraphNode(Car{}));
  const SceneView view(*graph);
  EXPECT_TRUE(view.nodes(static_cast<NodeKind>(18)).empty());
  EXPECT_TRUE(view.history(NodeIndex(static_cast<NodeKind>(99), 7)).empty());
  EXPECT_FALSE(view.node_at(NodeIndex(static_cast<NodeKind>(99), 7), 5));
  EXPECT_TRUE(view.relations_as_of(static_cast<RelationKind>(17), 5).empty());
}

}  // namespace
}  // namespace knowledge_graph::graph
