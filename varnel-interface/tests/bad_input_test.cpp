// Every bad input a host can pass through the C interface, one table row each,
// with its documented outcome (return value and get_last_write_result code).
// After every row the published graph, read on a read-only mapping of the
// region, must still keep the record's invariants.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "reference_model.hpp"
#include "shared_memory_interface/shared_memory.hpp"
#include "varnel_interface.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

namespace graph = knowledge_graph::graph;
using shared_memory_interface::shared_memory::KnowledgeGraphMemory;

constexpr std::uint64_t kMax = ~std::uint64_t{0};
using H = KnowledgeGraphHandle*;

// The scene every row starts from: car 1 -isOn 100-> lane 2, pedestrian 3 removed.
void build_scene(H h) {
  reset_knowledge_graph(h);
  set_autocommit(1, h);
  add_car_node(10, 1, Car{}, h);
  add_lane_node(10, 2, Lane{}, h);
  add_ison_relation(11, 100, nullptr, VARNEL_NODE_CAR, 1, VARNEL_NODE_LANE, 2, h);
  add_pedestrian_node(12, 3, Pedestrian{}, h);
  remove_pedestrian_node(13, VARNEL_NODE_PEDESTRIAN, 3, h);
}

// Adds `count` relations from node (from_kind, from_id) to (to_kind, to_id):
// relation kinds 1..16 in turn, ids from `first_id`. Returns the last code.
std::uint32_t add_many(H h, std::uint64_t count, std::uint64_t first_id, std::uint64_t from_kind,
                       std::uint64_t from_id, std::uint64_t to_kind, std::uint64_t to_id) {
  for (std::uint64_t i = 0; i < count; ++i)
    add_isbehind_relation(20, first_id + i, nullptr, from_kind, from_id, to_kind, to_id, h);
  return get_last_write_result(h);
}

struct Row {
  const char* name;
  std::function<std::uint64_t(H)> call;  // set-up beyond the scene, then the bad call
  std::uint64_t result;                  // its return value
  std::uint32_t code;                    // get_last_write_result afterwards
};

std::vector<Row> rows() {
  const std::uint64_t car = VARNEL_NODE_CAR, lane = VARNEL_NODE_LANE;
  return {
      // Kinds out of range, in every position that takes one.
      {"remove node kind 18", [](H h) { return remove_car_node(20, 18, 1, h); }, 0,
       VARNEL_WRITE_KIND_OUT_OF_RANGE},
      {"remove node kind max", [](H h) { return remove_lane_node(20, kMax, 2, h); }, 0,
       VARNEL_WRITE_KIND_OUT_OF_RANGE},
      {"relation from kind 18",
       [=](H h) { return add_ison_relation(20, 101, nullptr, 18, 1, lane, 2, h); }, 9,
       VARNEL_WRITE_KIND_OUT_OF_RANGE},
      {"relation to kind max",
       [=](H h) { return add_ison_relation(20, 101, nullptr, car, 1, kMax, 2, h); }, 9,
       VARNEL_WRITE_KIND_OUT_OF_RANGE},
      {"remove relation kind 17", [](H h) { return remove_ison_relation(20, 17, 100, h); }, 0,
       VARNEL_WRITE_KIND_OUT_OF_RANGE},
      {"remove relation kind max", [](H h) { return remove_isat_relation(20, kMax, 100, h); }, 0,
       VARNEL_WRITE_KIND_OUT_OF_RANGE},
      // Ids never added.
      {"remove unknown node", [](H h) { return remove_car_node(20, VARNEL_NODE_CAR, 999, h); }, 0,
       VARNEL_WRITE_NOT_FOUND},
      {"remove node of an empty kind",
       [](H h) { return remove_road_node(20, VARNEL_NODE_ROAD, 1, h); }, 0, VARNEL_WRITE_NOT_FOUND},
      {"remove unknown relation",
       [](H h) { return remove_ison_relation(20, VARNEL_RELATION_ISON, 999, h); }, 0,
       VARNEL_WRITE_NOT_FOUND},
      {"remove relation under another kind",
       [](H h) { return remove_isat_relation(20, VARNEL_RELATION_ISAT, 100, h); }, 0,
       VARNEL_WRITE_NOT_FOUND},
      {"relation from unknown node",
       [=](H h) { return add_ison_relation(20, 101, nullptr, car, 999, lane, 2, h); }, 9,
       VARNEL_WRITE_NODE_MISSING},
      {"relation to unknown node",
       [=](H h) { return add_ison_relation(20, 101, nullptr, car, 1, lane, 999, h); }, 9,
       VARNEL_WRITE_NODE_MISSING},
      {"relation from the Empty kind",
       [=](H h) { return add_ison_relation(20, 101, nullptr, 0, 0, lane, 2, h); }, 9,
       VARNEL_WRITE_NODE_MISSING},
      // A removed node still has versions: the relation is stored, the node stays Removed.
      {"relation joining a removed node",
       [=](H h) {
         return add_walkson_relation(20, 200, nullptr, VARNEL_NODE_PEDESTRIAN, 3, lane, 2, h);
       },
       15, VARNEL_WRITE_STORED},
      {"removing a removed node again",
       [](H h) { return remove_pedestrian_node(20, VARNEL_NODE_PEDESTRIAN, 3, h); }, 1,
       VARNEL_WRITE_STORED},
      // Full lists: 40 relations leave car 5 for lane 6; a 41st, and one more into lane 6.
      {"outgoing list full",
       [=](H h) {
         add_car_node(20, 5, Car{}, h);
         add_lane_node(20, 6, Lane{}, h);
         add_car_node(20, 7, Car{}, h);
         EXPECT_EQ(add_many(h, 40, 1000, car, 5, lane, 6), VARNEL_WRITE_STORED);
         return add_isbehind_relation(21, 2000, nullptr, car, 5, car, 7, h);
       },
       6, VARNEL_WRITE_OUTGOING_LIST_FULL},
      {"incoming list full",
       [=](H h) {
         add_car_node(20, 5, Car{}, h);
         add_lane_node(20, 6, Lane{}, h);
         add_car_node(20, 7, Car{}, h);
         add_many(h, 40, 1000, car, 5, lane, 6);
         return add_isbehind_relation(21, 2000, nullptr, car, 7, lane, 6, h);
       },
       6, VARNEL_WRITE_INCOMING_LIST_FULL},
      // Full arrays.
      {"node payloads full",
       [](H h) {
         for (std::uint64_t i = 0; i < graph::kNodeValues; ++i) add_ego_node(30, i % 50, nullptr, h);
         return add_car_node(31, 1, Car{}, h);
       },
       1, VARNEL_WRITE_NODE_VALUES_FULL},
      {"node versions of a kind full",
       [](H h) {  // a relation between two lanes, removed again and again
         add_lane_node(20, 8, Lane{}, h);
         add_ison_relation(20, 300, nullptr, VARNEL_NODE_LANE, 2, VARNEL_NODE_LANE, 8, h);
         while (remove_ison_relation(21, VARNEL_RELATION_ISON, 300, h) != 0) {
         }
         return add_ison_relation(22, 301, nullptr, VARNEL_NODE_LANE, 2, VARNEL_NODE_LANE, 8, h);
       },
       9, VARNEL_WRITE_NODE_VERSIONS_FULL},
      {"relation payloads full",
       [=](H h) {  // one relation added again and again, its ends spread over two kinds
         for (std::uint64_t i = 0; i < graph::kRelationValues; ++i)
           add_isin_relation(20, 7, nullptr, car, 1, lane, 2, h);
         return add_isin_relation(21, 7, nullptr, car, 1, lane, 2, h);
       },
       7, VARNEL_WRITE_RELATION_VALUES_FULL},
      {"relation versions of a kind full",
       [=](H h) {  // relation kind 9 filled by adds and removals in turn
         for (bool add = true; get_relation_count(h) < graph::kRelationVersionsPerKind; add = !add) {
           if (add) add_ison_relation(20, 100, nullptr, car, 1, lane, 2, h);
           else remove_ison_relation(20, VARNEL_RELATION_ISON, 100, h);
         }
         EXPECT_EQ(get_relation_count(h), graph::kRelationVersionsPerKind);
         return add_ison_relation(21, 100, nullptr, car, 1, lane, 2, h);
       },
       9, VARNEL_WRITE_RELATION_VERSIONS_FULL},
      // Timestamps going backwards are stored; the last update goes down with them.
      {"timestamp going backwards",
       [](H h) {
         add_car_node(5, 1, Car{}, h);
         EXPECT_EQ(get_last_update(h), 5u);
         return add_lane_node(1, 2, Lane{}, h);
       },
       6, VARNEL_WRITE_STORED},
      // A commit without a batch behind it is ignored: flipping would publish the
      // lagging inactive buffer and take back the last write.
      {"commit without start in autocommit",
       [](H h) {
         const std::uint64_t before = get_node_count(h);
         add_car_node(20, 9, Car{}, h);
         commit_transaction(h);
         EXPECT_EQ(get_node_count(h), before + 1);
         return get_node_count(h);
       },
       7, VARNEL_WRITE_STORED},
      // A second commit of one batch is ignored: the batch stays published.
      {"second commit without start",
       [](H h) {
         const std::uint64_t before = get_node_count(h);
         set_autocommit(0, h);
         start_transaction(h);
         add_car_node(20, 9, Car{}, h);
         commit_transaction(h);
         EXPECT_EQ(get_node_count(h), before + 1);
         commit_transaction(h);
         const std::uint64_t count = get_node_count(h);
         set_autocommit(1, h);
         return count;
       },
       7, VARNEL_WRITE_STORED},
  };
}

class BadInput : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = initialize_knowledge_graph();
    ASSERT_NE(handle_, nullptr);
    ASSERT_TRUE(reader_.initialize_read_only());
  }
  void TearDown() override {
    if (handle_ != nullptr) {
      reset_knowledge_graph(handle_);
      release_knowledge_graph(handle_);
    }
  }

  std::string invariants() const {
    const graph::KnowledgeGraph& g = *reader_.get_data_ref();
    return graph::reference::check_invariants(g, g.indices[g.active_buffer()]);
  }

  H handle_ = nullptr;
  KnowledgeGraphMemory reader_{"KnowledgeGraph", 536'870'912};
};

TEST_F(BadInput, EveryRowHasItsDocumentedOutcomeAndKeepsTheInvariants) {
  for (const Row& row : rows()) {
    SCOPED_TRACE(row.name);
    build_scene(handle_);
    EXPECT_EQ(row.call(handle_), row.result);
    EXPECT_EQ(get_last_write_result(handle_), row.code);
    EXPECT_EQ(invariants(), "");
  }
}

TEST_F(BadInput, RefusedWritesChangeNothingThatReadersSee) {
  build_scene(handle_);
  const graph::KnowledgeGraph& g = *reader_.get_data_ref();
  const graph::GraphIndices before = g.indices[g.active_buffer()];
  const std::uint64_t active = g.active_indices;
  remove_car_node(20, 18, 1, handle_);
  remove_ison_relation(20, VARNEL_RELATION_ISON, 999, handle_);
  add_ison_relation(20, 101, nullptr, VARNEL_NODE_CAR, 999, VARNEL_NODE_LANE, 2, handle_);
  add_ison_relation(20, 101, nullptr, kMax, 1, VARNEL_NODE_LANE, 2, handle_);
  EXPECT_EQ(g.active_indices, active);
  EXPECT_TRUE(graph::reference::same_tails(g.indices[g.active_buffer()], before));
}

// Before any add or remove the handle has no write to report: not "stored".
TEST_F(BadInput, NoWriteYetIsNotStored) {
  H fresh = initialize_knowledge_graph();
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(get_last_write_result(fresh), VARNEL_WRITE_NOTHING_WRITTEN);
  reset_knowledge_graph(fresh);  // graph-wide calls are not adds or removes
  set_autocommit(1, fresh);
  EXPECT_EQ(get_last_write_result(fresh), VARNEL_WRITE_NOTHING_WRITTEN);
  remove_car_node(20, VARNEL_NODE_CAR, 999, fresh);
  EXPECT_EQ(get_last_write_result(fresh), VARNEL_WRITE_NOT_FOUND);
  add_car_node(21, 1, Car{}, fresh);
  EXPECT_EQ(get_last_write_result(fresh), VARNEL_WRITE_STORED);
  release_knowledge_graph(fresh);
}

// A null handle is accepted by every export and does nothing.
TEST_F(BadInput, NullHandleOnEveryExport) {
  build_scene(handle_);
  const std::uint64_t nodes = get_node_count(handle_);
  H none = nullptr;
  release_knowledge_graph(none);
  reset_knowledge_graph(none);
  start_transaction(none);
  commit_transaction(none);
  set_autocommit(0, none);
  EXPECT_EQ(get_node_count(none), 0u);
  EXPECT_EQ(get_relation_count(none), 0u);
  EXPECT_EQ(get_last_update(none), 0u);
  EXPECT_EQ(is_empty(none), 0u);
  EXPECT_EQ(get_last_write_result(none), VARNEL_WRITE_NO_HANDLE);

  using IgnoredNodeAdd = std::uint64_t (*)(std::uint64_t, std::uint64_t, VarnelIgnored, H);
  for (IgnoredNodeAdd add : {add_dynamicobject_node, add_ego_node, add_noentrysign_node,
                             add_priorityroadsign_node, add_roadsign_node, add_staticobject_node,
                             add_stopsign_node, add_yieldsign_node})
    EXPECT_EQ(add(1, 1, nullptr, none), 0u);
  EXPECT_EQ(add_car_node(1, 1, Car{}, none), 0u);
  EXPECT_EQ(add_crosswalk_node(1, 1, Crosswalk{}, none), 0u);
  EXPECT_EQ(add_intersection_node(1, 1, Intersection{}, none), 0u);
  EXPECT_EQ(add_lane_node(1, 1, Lane{}, none), 0u);
  EXPECT_EQ(add_pedestrian_node(1, 1, Pedestrian{}, none), 0u);
  EXPECT_EQ(add_road_node(1, 1, Road{}, none), 0u);
  EXPECT_EQ(add_speedlimitsign_node(1, 1, SpeedLimitSign{}, none), 0u);
  EXPECT_EQ(add_testclass1_node(1, 1, TestClass1{}, none), 0u);
  EXPECT_EQ(add_testclass2_node(1, 1, TestClass2{}, none), 0u);
  for (IgnoredNodeAdd update : {update_dynamicobject_node, update_ego_node,
                                update_noentrysign_node, update_priorityroadsign_node,
                                update_roadsign_node, update_staticobject_node,
                                update_stopsign_node, update_yieldsign_node})
    EXPECT_EQ(update(1, 1, nullptr, none), 0u);
  EXPECT_EQ(update_car_node(1, 1, Car{}, none), 0u);
  EXPECT_EQ(update_crosswalk_node(1, 1, Crosswalk{}, none), 0u);
  EXPECT_EQ(update_intersection_node(1, 1, Intersection{}, none), 0u);
  EXPECT_EQ(update_lane_node(1, 1, Lane{}, none), 0u);
  EXPECT_EQ(update_pedestrian_node(1, 1, Pedestrian{}, none), 0u);
  EXPECT_EQ(update_road_node(1, 1, Road{}, none), 0u);
  EXPECT_EQ(update_speedlimitsign_node(1, 1, SpeedLimitSign{}, none), 0u);
  EXPECT_EQ(update_testclass1_node(1, 1, TestClass1{}, none), 0u);
  EXPECT_EQ(update_testclass2_node(1, 1, TestClass2{}, none), 0u);

  using Remove = std::uint8_t (*)(std::uint64_t, std::uint64_t, std::uint64_t, H);
  for (Remove remove : {remove_car_node, remove_crosswalk_node, remove_dynamicobject_node,
                        remove_ego_node, remove_intersection_node, remove_lane_node,
                        remove_noentrysign_node, remove_pedestrian_node,
                        remove_priorityroadsign_node, remove_road_node, remove_roadsign_node,
                        remove_speedlimitsign_node, remove_staticobject_node, remove_stopsign_node,
                        remove_testclass1_node, remove_testclass2_node, remove_yieldsign_node})
    EXPECT_EQ(remove(1, VARNEL_NODE_CAR, 1, none), 0u);
  for (Remove remove :
       {remove_belongsto_relation, remove_connectsto_relation, remove_contains_relation,
        remove_has_relation, remove_isat_relation, remove_isbehind_relation, remove_isin_relation,
        remove_isinfront_relation, remove_ison_relation, remove_isonleft_relation,
        remove_isonright_relation, remove_ispartof_relation, remove_passesover_relation,
        remove_testrelation_relation, remove_walkson_relation, remove_yieldstocarin_relation})
    EXPECT_EQ(remove(1, VARNEL_RELATION_ISON, 100, none), 0u);

  using IgnoredRelationAdd = std::uint64_t (*)(std::uint64_t, std::uint64_t, VarnelIgnored,
                                               std::uint64_t, std::uint64_t, std::uint64_t,
                                               std::uint64_t, H);
  for (IgnoredRelationAdd add :
       {add_belongsto_relation, add_connectsto_relation, add_contains_relation, add_has_relation,
        add_isat_relation, add_isbehind_relation, add_isin_relation, add_isinfront_relation,
        add_ison_relation, add_isonleft_relation, add_isonright_relation, add_ispartof_relation,
        add_passesover_relation, add_walkson_relation})
    EXPECT_EQ(add(1, 1, nullptr, 1, 1, 6, 2, none), 0u);
  EXPECT_EQ(add_testrelation_relation(1, 1, testRelation{}, 1, 1, 6, 2, none), 0u);
  EXPECT_EQ(add_yieldstocarin_relation(1, 1, yieldsToCarIn{}, 1, 1, 6, 2, none), 0u);

  // The real handle's graph is untouched.
  EXPECT_EQ(get_node_count(handle_), nodes);
  EXPECT_EQ(invariants(), "");
}

#ifndef _WIN32
// A region planted by another user (here: nobody, mode 666, as large as ours)
// is refused: the host gets no handle rather than a graph the planter can write.
TEST(HostileRegion, RegionOfAnotherUserGivesNoHandle) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to create the region as another user";
  if (const int fd = shm_open("/KnowledgeGraph", O_RDONLY, 0); fd >= 0) {
    close(fd);
    GTEST_SKIP() << "the region exists already";
  }
  const pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    const int fd = shm_open("/KnowledgeGraph", O_RDWR | O_CREAT | O_EXCL, 0666);
    if (fd < 0 || fchmod(fd, 0666) != 0 || ftruncate(fd, 536'870'912) != 0) _exit(3);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  H handle = initialize_knowledge_graph();
  EXPECT_EQ(handle, nullptr);
  release_knowledge_graph(handle);
  KnowledgeGraphMemory reader("KnowledgeGraph", 536'870'912);
  EXPECT_FALSE(reader.initialize_read_only());
  EXPECT_NE(reader.failure_text().find("another user (uid 65534)"), std::string::npos)
      << reader.failure_text();
  shm_unlink("/KnowledgeGraph");
  shm_unlink("/KnowledgeGraph.lock");
}
#endif

}  // namespace
