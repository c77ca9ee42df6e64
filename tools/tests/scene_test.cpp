// The demo's scene: the same seed gives the same scene, and every relation it
// asks for joins two nodes that it has.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "scene.hpp"

namespace {

using varnel::demo::NodeRef;
using varnel::demo::Scene;

// Everything the scene would write, as bytes, for comparison.
std::string fingerprint(const Scene& scene) {
  std::string out;
  for (const auto& node : scene.nodes()) {
    out.append(reinterpret_cast<const char*>(&node.ref), sizeof(node.ref));
    std::visit([&](const auto& record) { out.append(reinterpret_cast<const char*>(&record), sizeof(record)); },
               node.record);
  }
  for (const auto& relation : scene.relations())
    out.append(reinterpret_cast<const char*>(&relation), sizeof(relation));
  return out;
}

TEST(SceneTest, ASeedAlwaysGivesTheSameScene) {
  Scene a(42, 20), b(42, 20), c(43, 20);
  for (int tick = 0; tick < 600; ++tick) {
    a.step(0.1);
    b.step(0.1);
    c.step(0.1);
  }
  EXPECT_EQ(fingerprint(a), fingerprint(b));
  EXPECT_NE(fingerprint(a), fingerprint(c));
}

TEST(SceneTest, RelationsJoinPresentNodesAndTheSceneMoves) {
  Scene scene(3, 30);
  std::set<std::uint64_t> cars_seen;
  int pedestrians_seen = 0, yields_seen = 0;
  for (int tick = 0; tick < 1200; ++tick) {
    scene.step(0.1);
    std::set<NodeRef> present;
    for (const auto& node : scene.nodes()) {
      ASSERT_TRUE(present.insert(node.ref).second) << "a node appears twice";
      if (node.ref.kind == VARNEL_NODE_CAR) cars_seen.insert(node.ref.id);
    }
    std::set<varnel::demo::RelationKey> keys;
    for (const auto& relation : scene.relations()) {
      ASSERT_TRUE(present.contains(relation.key.from)) << "relation from a missing node";
      ASSERT_TRUE(present.contains(relation.key.to)) << "relation to a missing node";
      ASSERT_TRUE(keys.insert(relation.key).second) << "a relation appears twice";
      yields_seen += relation.key.kind == VARNEL_RELATION_YIELDSTOCARIN;
      pedestrians_seen += relation.key.kind == VARNEL_RELATION_WALKSON;
    }
    ASSERT_LE(scene.car_count(), 30);
  }
  EXPECT_GT(cars_seen.size(), 30u) << "cars leave and new ones come in";
  EXPECT_GT(pedestrians_seen, 0);
  EXPECT_GT(yields_seen, 0);
}

}  // namespace
