// The demo's writer against the real library and region: after every batch of
// ticks the published graph holds exactly the scene's nodes (with their current
// records) and its relations, each listed by both of its ends, while changed
// nodes are written as updates and relations only when they change.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <tuple>
#include <type_traits>
#include <variant>

#include "host_library.hpp"
#include "knowledge_graph/graph/iterators.hpp"
#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "scene.hpp"
#include "scene_writer.hpp"
#include "shared_memory_interface/shared_memory.hpp"

namespace {

namespace graph = knowledge_graph::graph;
using varnel::demo::NodeRef;
using varnel::demo::RelationKey;

bool lists(const graph::RelationList& list, graph::Index relation) {
  for (const graph::Index& entry : list)
    if (entry == relation) return true;
  return false;
}

void expect_graph_matches(const graph::KnowledgeGraph& g,
                          const std::vector<varnel::demo::SceneNode>& nodes,
                          const std::vector<varnel::demo::SceneRelation>& relations, int tick) {
  const auto always = interval_algebra::Interval::eternity();
  std::set<NodeRef> live_nodes;
  for (const graph::NodeItem& item : g.get_all_nodes(always))
    live_nodes.insert({item.value.type_index(), item.record.instance_id});
  std::set<NodeRef> scene_nodes;
  for (const auto& node : nodes) {
    scene_nodes.insert(node.ref);
    const graph::KnowledgeGraphNode* value = g.get_latest_node_value({node.ref.kind, node.ref.id});
    ASSERT_NE(value, nullptr) << "tick " << tick << ": node " << node.ref.kind << "/" << node.ref.id;
    std::visit([&](const auto& record) {
      if constexpr (!std::is_same_v<std::decay_t<decltype(record)>, std::monostate>) {
        EXPECT_EQ(std::memcmp(value->payload, &record, sizeof record), 0)
            << "tick " << tick << ": stale record of " << node.ref.kind << "/" << node.ref.id;
      }
    }, node.record);
  }
  EXPECT_EQ(live_nodes, scene_nodes) << "tick " << tick;

  std::set<RelationKey> live_relations;
  for (const graph::RelationItem& item : g.get_all_relations(always)) {
    const graph::Index relation(item.value.type_index(), item.record.instance_id);
    const graph::Index from = item.record.from, to = item.record.to;
    live_relations.insert({relation.type_index, {from.type_index, from.instance_id},
                           {to.type_index, to.instance_id}});
    EXPECT_TRUE(lists(g.get_latest_node_record(from)->outgoing, relation)) << "tick " << tick;
    EXPECT_TRUE(lists(g.get_latest_node_record(to)->incoming, relation)) << "tick " << tick;
  }
  std::set<RelationKey> scene_relations;
  for (const auto& relation : relations) scene_relations.insert(relation.key);
  EXPECT_EQ(live_relations, scene_relations) << "tick " << tick;
}

class SceneWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    handle = api.initialize_knowledge_graph();
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(reader.initialize_read_only() && reader.holds_record());
    api.set_autocommit(0, handle);
  }
  void TearDown() override {
    reader.release();
    if (handle != nullptr) {
      api.set_autocommit(1, handle);
      api.release_knowledge_graph(handle);
    }
  }

  const varnel::demo::VarnelApi api = varnel::demo::linked_varnel_api();
  KnowledgeGraphHandle* handle = nullptr;
  shared_memory_interface::shared_memory::KnowledgeGraphMemory reader{"KnowledgeGraph", 0};
  const graph::KnowledgeGraph& g() const { return *reader.get_data_ref(); }
};

TEST_F(SceneWriterTest, UpdatesKeepTheGraphEqualToTheSceneWithEveryRelationListed) {
  varnel::demo::Scene scene(5, 24);
  varnel::demo::SceneWriter writer(api, handle);
  std::uint64_t versions = 0;
  for (int tick = 0; tick < 400 && !::testing::Test::HasFailure(); ++tick) {
    if (tick > 0) scene.step(0.1);
    const auto outcome = writer.write_tick(scene, static_cast<std::uint64_t>(tick) * 100);
    ASSERT_TRUE(outcome.committed) << outcome.refusal;
    if (tick > 0) versions += outcome.versions;
    if (tick % 40 == 0) expect_graph_matches(g(), scene.nodes(), scene.relations(), tick);
  }
  EXPECT_EQ(writer.resets(), 0u);
  // Moving cars are one version each; relations change only now and then.
  EXPECT_LT(versions, 399u * 40u);
}

// Cars that change lanes over and over: each isOn relation moves (its id kept)
// and leaves a stale entry in the lane it left.
TEST_F(SceneWriterTest, RelationsThatMoveBetweenLanesStayListedWhereTheyAre) {
  using varnel::demo::SceneNode;
  using varnel::demo::SceneRelation;
  varnel::demo::SceneWriter writer(api, handle);
  constexpr int kCars = 6;
  int lane_of[kCars] = {};
  for (int tick = 0; tick < 200 && !::testing::Test::HasFailure(); ++tick) {
    lane_of[tick % kCars] = (lane_of[tick % kCars] + 1) % 2;
    std::vector<SceneNode> nodes = {{{VARNEL_NODE_LANE, 1}, Lane{}}, {{VARNEL_NODE_LANE, 2}, Lane{}}};
    std::vector<SceneRelation> relations;
    for (int c = 0; c < kCars; ++c) {
      const NodeRef car{VARNEL_NODE_CAR, static_cast<std::uint64_t>(c + 1)};
      Car record{};
      record.carSpeed = static_cast<float>(tick);
      nodes.push_back({car, record});
      relations.push_back({{VARNEL_RELATION_ISON, car,
                            {VARNEL_NODE_LANE, static_cast<std::uint64_t>(lane_of[c] + 1)}}, 0});
    }
    const auto outcome = writer.write_tick(nodes, relations, static_cast<std::uint64_t>(tick));
    ASSERT_TRUE(outcome.committed) << "tick " << tick << ": " << outcome.refusal;
    if (tick % 20 == 19) expect_graph_matches(g(), nodes, relations, tick);
  }
  EXPECT_EQ(writer.resets(), 0u);
  // Six relation ids in all versions: every lane change moved one, none was removed.
  std::set<std::uint64_t> ids;
  auto walk = g().relations_iter(interval_algebra::Interval::eternity(), VARNEL_RELATION_ISON);
  while (auto item = walk.next()) {
    ids.insert(item->record.instance_id);
    EXPECT_EQ(item->record.marker, graph::Marker::Valid);
  }
  EXPECT_EQ(ids.size(), static_cast<std::size_t>(kCars));
}

}  // namespace
