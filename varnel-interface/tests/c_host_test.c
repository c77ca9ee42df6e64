/* A host written in C: drives a scene through every export of varnel_interface
 * and checks results, counts, last update time, updates and transactions. Compiled as
 * C99, so it also proves that the public header is valid C. Prints
 * "N passed, N failed" and exits non-zero on any failure. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "varnel_interface.h"

static int passed, failed;

#define CHECK(condition)                                                   \
  do {                                                                     \
    if (condition) {                                                       \
      ++passed;                                                            \
    } else {                                                               \
      ++failed;                                                            \
      fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #condition); \
    }                                                                      \
  } while (0)

#define CHECK_EQ(actual, expected) CHECK((uint64_t)(actual) == (uint64_t)(expected))

typedef uint64_t (*FieldlessNodeAdd)(uint64_t, uint64_t, VarnelIgnored, KnowledgeGraphHandle*);
typedef uint8_t (*Remove)(uint64_t, uint64_t, uint64_t, KnowledgeGraphHandle*);
typedef uint64_t (*FieldlessRelationAdd)(uint64_t, uint64_t, VarnelIgnored, uint64_t, uint64_t,
                                         uint64_t, uint64_t, KnowledgeGraphHandle*);

typedef struct {
  FieldlessNodeAdd add;
  uint64_t kind;
} FieldlessNodeKind;

static const FieldlessNodeKind kFieldlessNodes[] = {
    {add_dynamicobject_node, VARNEL_NODE_DYNAMICOBJECT},
    {add_ego_node, VARNEL_NODE_EGO},
    {add_noentrysign_node, VARNEL_NODE_NOENTRYSIGN},
    {add_priorityroadsign_node, VARNEL_NODE_PRIORITYROADSIGN},
    {add_roadsign_node, VARNEL_NODE_ROADSIGN},
    {add_staticobject_node, VARNEL_NODE_STATICOBJECT},
    {add_stopsign_node, VARNEL_NODE_STOPSIGN},
    {add_yieldsign_node, VARNEL_NODE_YIELDSIGN},
};
#define FIELDLESS_NODES (sizeof kFieldlessNodes / sizeof kFieldlessNodes[0])

/* The updates of the same kinds, in the same order. */
static const FieldlessNodeAdd kFieldlessUpdates[] = {
    update_dynamicobject_node, update_ego_node,          update_noentrysign_node,
    update_priorityroadsign_node, update_roadsign_node,  update_staticobject_node,
    update_stopsign_node,      update_yieldsign_node,
};

static const Remove kNodeRemovals[] = {
    remove_car_node,           remove_crosswalk_node,   remove_dynamicobject_node,
    remove_ego_node,           remove_intersection_node, remove_lane_node,
    remove_noentrysign_node,   remove_pedestrian_node,  remove_priorityroadsign_node,
    remove_road_node,          remove_roadsign_node,    remove_speedlimitsign_node,
    remove_staticobject_node,  remove_stopsign_node,    remove_testclass1_node,
    remove_testclass2_node,    remove_yieldsign_node,
};
#define NODE_KINDS 17

typedef struct {
  FieldlessRelationAdd add;
  uint64_t kind;
} FieldlessRelationKind;

static const FieldlessRelationKind kFieldlessRelations[] = {
    {add_belongsto_relation, VARNEL_RELATION_BELONGSTO},
    {add_connectsto_relation, VARNEL_RELATION_CONNECTSTO},
    {add_contains_relation, VARNEL_RELATION_CONTAINS},
    {add_has_relation, VARNEL_RELATION_HAS},
    {add_isat_relation, VARNEL_RELATION_ISAT},
    {add_isbehind_relation, VARNEL_RELATION_ISBEHIND},
    {add_isin_relation, VARNEL_RELATION_ISIN},
    {add_isinfront_relation, VARNEL_RELATION_ISINFRONT},
    {add_ison_relation, VARNEL_RELATION_ISON},
    {add_isonleft_relation, VARNEL_RELATION_ISONLEFT},
    {add_isonright_relation, VARNEL_RELATION_ISONRIGHT},
    {add_ispartof_relation, VARNEL_RELATION_ISPARTOF},
    {add_passesover_relation, VARNEL_RELATION_PASSESOVER},
    {add_walkson_relation, VARNEL_RELATION_WALKSON},
};
#define FIELDLESS_RELATIONS (sizeof kFieldlessRelations / sizeof kFieldlessRelations[0])

static const Remove kRelationRemovals[] = {
    remove_belongsto_relation, remove_connectsto_relation, remove_contains_relation,
    remove_has_relation,       remove_isat_relation,       remove_isbehind_relation,
    remove_isin_relation,      remove_isinfront_relation,  remove_ison_relation,
    remove_isonleft_relation,  remove_isonright_relation,  remove_ispartof_relation,
    remove_passesover_relation, remove_testrelation_relation, remove_walkson_relation,
    remove_yieldstocarin_relation,
};
#define RELATION_KINDS 16

static void check_counts(KnowledgeGraphHandle* graph, uint64_t nodes, uint64_t relations) {
  CHECK_EQ(get_node_count(graph), nodes);
  CHECK_EQ(get_relation_count(graph), relations);
  CHECK_EQ(is_empty(graph), nodes == 0 && relations == 0);
}

/* Every call accepts a null handle and does nothing. */
static void null_handle_is_harmless(void) {
  testRelation test = {1.0f};
  yieldsToCarIn yields = {1};
  Car car;
  size_t i;
  memset(&car, 0, sizeof car);
  release_knowledge_graph(NULL);
  reset_knowledge_graph(NULL);
  start_transaction(NULL);
  commit_transaction(NULL);
  set_autocommit(1, NULL);
  CHECK_EQ(get_node_count(NULL), 0);
  CHECK_EQ(get_relation_count(NULL), 0);
  CHECK_EQ(get_last_update(NULL), 0);
  CHECK_EQ(is_empty(NULL), 0);
  CHECK_EQ(get_last_write_result(NULL), VARNEL_WRITE_NO_HANDLE);
  CHECK_EQ(compact_knowledge_graph(0, NULL), 0);
  CHECK_EQ(set_history_window(5000, NULL), 0);
  CHECK_EQ(get_history_held(NULL), 0);
  CHECK_EQ(get_history_resets(NULL), 0);
  CHECK_EQ(get_history_compactions(NULL), 0);
  CHECK_EQ(add_car_node(1, 1, car, NULL), 0);
  CHECK_EQ(update_car_node(1, 1, car, NULL), 0);
  for (i = 0; i < FIELDLESS_NODES; ++i) CHECK_EQ(kFieldlessNodes[i].add(1, 1, NULL, NULL), 0);
  for (i = 0; i < FIELDLESS_NODES; ++i) CHECK_EQ(kFieldlessUpdates[i](1, 1, NULL, NULL), 0);
  for (i = 0; i < NODE_KINDS; ++i) CHECK_EQ(kNodeRemovals[i](1, 1, 1, NULL), 0);
  for (i = 0; i < FIELDLESS_RELATIONS; ++i)
    CHECK_EQ(kFieldlessRelations[i].add(1, 1, NULL, 1, 1, 1, 1, NULL), 0);
  CHECK_EQ(add_testrelation_relation(1, 1, test, 1, 1, 1, 1, NULL), 0);
  CHECK_EQ(add_yieldstocarin_relation(1, 1, yields, 1, 1, 1, 1, NULL), 0);
  for (i = 0; i < RELATION_KINDS; ++i) CHECK_EQ(kRelationRemovals[i](1, 1, 1, NULL), 0);
}

/* One node of every kind with instance id 1: 17 node versions. */
static void add_one_node_of_every_kind(KnowledgeGraphHandle* graph, uint64_t timestamp) {
  Car car = {{1.0f, 0.0f, 0.0f}, 7, {10.0f, 20.0f, 0.0f}, 13.5f};
  Crosswalk crosswalk = {3, 2, {5.0f, 6.0f, 0.0f}};
  Intersection intersection = {4, {1.0f, 2.0f, 3.0f}};
  Lane lane;
  Pedestrian pedestrian = {{0.0f, 1.0f}, {4.0f, 5.0f}, 1.4f};
  Road road;
  SpeedLimitSign sign = {50};
  TestClass1 test1 = {-1};
  TestClass2 test2 = {2};
  uint64_t added = get_node_count(graph);
  size_t i;
  memset(&lane, 0, sizeof lane);
  lane.laneId = 3;
  lane.laneSpeedLimit = 50;
  memcpy(lane.laneName.bytes, "Main street, lane 1", 19);
  memset(&road, 0, sizeof road);
  road.roadId = 9;

  CHECK_EQ(add_car_node(timestamp, 1, car, graph), VARNEL_NODE_CAR);
  CHECK_EQ(add_crosswalk_node(timestamp, 1, crosswalk, graph), VARNEL_NODE_CROSSWALK);
  CHECK_EQ(add_intersection_node(timestamp, 1, intersection, graph), VARNEL_NODE_INTERSECTION);
  CHECK_EQ(add_lane_node(timestamp, 1, lane, graph), VARNEL_NODE_LANE);
  CHECK_EQ(add_pedestrian_node(timestamp, 1, pedestrian, graph), VARNEL_NODE_PEDESTRIAN);
  CHECK_EQ(add_road_node(timestamp, 1, road, graph), VARNEL_NODE_ROAD);
  CHECK_EQ(add_speedlimitsign_node(timestamp, 1, sign, graph), VARNEL_NODE_SPEEDLIMITSIGN);
  CHECK_EQ(add_testclass1_node(timestamp, 1, test1, graph), VARNEL_NODE_TESTCLASS1);
  CHECK_EQ(add_testclass2_node(timestamp, 1, test2, graph), VARNEL_NODE_TESTCLASS2);
  for (i = 0; i < FIELDLESS_NODES; ++i) {
    /* Whatever the ignored parameter holds. */
    CHECK_EQ(kFieldlessNodes[i].add(timestamp, 1, (VarnelIgnored)(uintptr_t)0xdeadbeef, graph),
             kFieldlessNodes[i].kind);
    CHECK_EQ(get_last_write_result(graph), VARNEL_WRITE_STORED);
  }
  CHECK_EQ(get_node_count(graph), added + 17);
  CHECK_EQ(get_last_update(graph), timestamp);
}

static void fresh_graph_is_empty(KnowledgeGraphHandle* graph) {
  check_counts(graph, 0, 0);
  CHECK_EQ(get_last_update(graph), 0); /* the region is new */
  CHECK_EQ(get_last_write_result(graph), VARNEL_WRITE_NOTHING_WRITTEN);
}

/* Every removal name removes any node kind: remove function i removes kind
 * (i + 5) mod 17 + 1, so no name removes its own kind. */
static void node_removals_take_the_kind_from_their_argument(KnowledgeGraphHandle* graph) {
  uint64_t nodes;
  int i;
  reset_knowledge_graph(graph);
  add_one_node_of_every_kind(graph, 100);
  nodes = get_node_count(graph);
  for (i = 0; i < NODE_KINDS; ++i) {
    uint64_t kind = (uint64_t)((i + 5) % NODE_KINDS + 1);
    CHECK_EQ(kNodeRemovals[i](200 + (uint64_t)i, kind, 1, graph), 1);
    CHECK_EQ(get_last_write_result(graph), VARNEL_WRITE_STORED);
    CHECK_EQ(get_node_count(graph), nodes + (uint64_t)i + 1);
    CHECK_EQ(get_last_update(graph), 200 + (uint64_t)i);
  }
  nodes = get_node_count(graph);
  /* Never added: false, nothing written, time kept. */
  for (i = 0; i < NODE_KINDS; ++i) {
    CHECK_EQ(kNodeRemovals[i](300, (uint64_t)i + 1, 99, graph), 0);
    CHECK_EQ(get_last_write_result(graph), VARNEL_WRITE_NOT_FOUND);
  }
  CHECK_EQ(remove_car_node(300, VARNEL_NODE_EMPTY, 1, graph), 0);
  CHECK_EQ(get_node_count(graph), nodes);
  CHECK_EQ(get_last_update(graph), 216);
  /* A removed node can be removed again: one more Removed version. */
  CHECK_EQ(remove_lane_node(400, VARNEL_NODE_LANE, 1, graph), 1);
  CHECK_EQ(get_node_count(graph), nodes + 1);
  /* An added node removes through any name with the kind the add returned. */
  CHECK_EQ(remove_yieldsign_node(500, add_ego_node(450, 5, NULL, graph), 5, graph), 1);
}

/* Relations of every kind between two existing nodes, then removed through a
 * removal name of another kind. */
static void relations_of_every_kind(KnowledgeGraphHandle* graph) {
  testRelation test = {0.25f};
  yieldsToCarIn yields = {-3};
  uint64_t nodes, relations;
  size_t i;
  reset_knowledge_graph(graph);
  add_one_node_of_every_kind(graph, 10);
  nodes = get_node_count(graph);
  relations = 0;
  for (i = 0; i < FIELDLESS_RELATIONS; ++i) {
    CHECK_EQ(kFieldlessRelations[i].add(20 + i, 1, (VarnelIgnored)(uintptr_t)0x1234,
                                        VARNEL_NODE_CAR, 1, VARNEL_NODE_LANE, 1, graph),
             kFieldlessRelations[i].kind);
    CHECK_EQ(get_last_write_result(graph), VARNEL_WRITE_STORED);
    nodes += 2;
    ++relations;
    check_counts(graph, nodes, relations);
    CHECK_EQ(get_last_update(graph), 20 + i);
  }
  CHECK_EQ(add_testrelation_relation(40, 1, test, VARNEL_NODE_PEDESTRIAN, 1,
                                     VARNEL_NODE_CROSSWALK, 1, graph),
           VARNEL_RELATION_TESTRELATION);
  CHECK_EQ(add_yieldstocarin_relation(41, 1, yields, VARNEL_NODE_CAR, 1, VARNEL_NODE_EGO, 1, graph),
           VARNEL_RELATION_YIELDSTOCARIN);
  nodes += 4;
  relations += 2;
  check_counts(graph, nodes, relations);

  /* Removal name i removes relation kind (i + 3) mod 16 + 1. */
  for (i = 0; i < RELATION_KINDS; ++i) {
    uint64_t kind = (uint64_t)((i + 3) % RELATION_KINDS + 1);
    CHECK_EQ(kRelationRemovals[i](50 + i, kind, 1, graph), 1);
    CHECK_EQ(get_last_write_result(graph), VARNEL_WRITE_STORED);
    nodes += 2;
    ++relations;
    check_counts(graph, nodes, relations);
  }
  for (i = 0; i < RELATION_KINDS; ++i) {
    CHECK_EQ(kRelationRemovals[i](70, (uint64_t)i + 1, 77, graph), 0);
    CHECK_EQ(get_last_write_result(graph), VARNEL_WRITE_NOT_FOUND);
  }
  check_counts(graph, nodes, relations);
  CHECK_EQ(get_last_update(graph), 50 + RELATION_KINDS - 1);
}

/* A relation whose node is missing is refused without a trace, though the add
 * returns its kind; the last write result tells. */
static void refused_relation_changes_nothing(KnowledgeGraphHandle* graph) {
  yieldsToCarIn yields = {1};
  uint64_t nodes, relations, last;
  reset_knowledge_graph(graph);
  add_one_node_of_every_kind(graph, 60);
  nodes = get_node_count(graph);
  relations = get_relation_count(graph);
  last = get_last_update(graph);
  CHECK_EQ(add_yieldstocarin_relation(61, 1, yields, VARNEL_NODE_CAR, 42, VARNEL_NODE_LANE, 1,
                                      graph),
           VARNEL_RELATION_YIELDSTOCARIN);
  CHECK_EQ(get_last_write_result(graph), VARNEL_WRITE_NODE_MISSING);
  CHECK_EQ(add_ison_relation(62, 1, NULL, VARNEL_NODE_CAR, 1, VARNEL_NODE_LANE, 42, graph),
           VARNEL_RELATION_ISON);
  CHECK_EQ(get_last_write_result(graph), VARNEL_WRITE_NODE_MISSING);
  check_counts(graph, nodes, relations);
  CHECK_EQ(get_last_update(graph), last);

  /* Kind numbers out of range are refused, not written out of bounds. */
  CHECK_EQ(remove_car_node(63, 18, 1, graph), 0);
  CHECK(get_last_write_result(graph) != VARNEL_WRITE_STORED);
  CHECK_EQ(remove_ison_relation(63, 17, 1, graph), 0);
  CHECK(get_last_write_result(graph) != VARNEL_WRITE_STORED);
  CHECK_EQ(add_ison_relation(63, 1, NULL, 1000, 1, VARNEL_NODE_LANE, 1, graph),
           VARNEL_RELATION_ISON);
  CHECK(get_last_write_result(graph) != VARNEL_WRITE_STORED);
  check_counts(graph, nodes, relations);
  CHECK_EQ(get_last_update(graph), last);
}

/* Removing a node removes the relations that it lists. */
static void node_removal_removes_its_relations(KnowledgeGraphHandle* graph) {
  Car car;
  uint64_t nodes, relations;
  memset(&car, 0, sizeof car);
  reset_knowledge_graph(graph);
  add_car_node(1, 7, car, graph);
  add_ego_node(1, 1, NULL, graph);
  add_stopsign_node(1, 2, NULL, graph);
  add_isinfront_relation(2, 100, NULL, VARNEL_NODE_CAR, 7, VARNEL_NODE_EGO, 1, graph);
  add_isbehind_relation(3, 101, NULL, VARNEL_NODE_STOPSIGN, 2, VARNEL_NODE_CAR, 7, graph);
  check_counts(graph, 7, 2);
  nodes = get_node_count(graph);
  relations = get_relation_count(graph);
  CHECK_EQ(remove_stopsign_node(4, VARNEL_NODE_CAR, 7, graph), 1);
  /* The car's Removed version, then per relation: its Removed version and
   * one version of each end. */
  check_counts(graph, nodes + 1 + 2 * 2, relations + 2);
  CHECK_EQ(remove_isinfront_relation(5, VARNEL_RELATION_ISINFRONT, 100, graph), 1);
}

/* Every update export: one version each, the kind returned, the relations kept
 * (removing the updated car then removes its relation too); a node without a
 * version is refused with nothing written. */
static void updates_keep_relations(KnowledgeGraphHandle* graph) {
  Car car = {{0.0f, 1.0f, 0.0f}, 7, {11.0f, 21.0f, 0.0f}, 9.5f};
  Crosswalk crosswalk = {3, 0, {5.0f, 6.0f, 0.0f}};
  Intersection intersection = {4, {1.0f, 2.0f, 4.0f}};
  Lane lane;
  Pedestrian pedestrian = {{0.0f, -1.0f}, {4.0f, 6.0f}, 1.2f};
  Road road;
  SpeedLimitSign sign = {30};
  TestClass1 test1 = {5};
  TestClass2 test2 = {6};
  uint64_t nodes, relations;
  size_t i;
  uint64_t id;
  memset(&lane, 0, sizeof lane);
  memcpy(lane.laneName.bytes, "Main street, lane 1 (closed)", 28);
  memset(&road, 0, sizeof road);
  reset_knowledge_graph(graph);
  add_one_node_of_every_kind(graph, 10);
  add_ison_relation(11, 1, NULL, VARNEL_NODE_CAR, 1, VARNEL_NODE_LANE, 1, graph);
  relations = get_relation_count(graph);

  /* Instance 99 has no version: refused. Instance 1 is updated. */
  for (id = 99; id != 0; id = id == 99 ? 1 : 0) {
    const uint32_t expected = id == 1 ? VARNEL_WRITE_STORED : VARNEL_WRITE_NOT_FOUND;
    nodes = get_node_count(graph);
#define CHECK_UPDATE(call, kind)                                   \
  do {                                                             \
    CHECK_EQ(call, kind);                                          \
    CHECK_EQ(get_last_write_result(graph), expected);              \
  } while (0)
    CHECK_UPDATE(update_car_node(20, id, car, graph), VARNEL_NODE_CAR);
    CHECK_UPDATE(update_crosswalk_node(20, id, crosswalk, graph), VARNEL_NODE_CROSSWALK);
    CHECK_UPDATE(update_intersection_node(20, id, intersection, graph), VARNEL_NODE_INTERSECTION);
    CHECK_UPDATE(update_lane_node(20, id, lane, graph), VARNEL_NODE_LANE);
    CHECK_UPDATE(update_pedestrian_node(20, id, pedestrian, graph), VARNEL_NODE_PEDESTRIAN);
    CHECK_UPDATE(update_road_node(20, id, road, graph), VARNEL_NODE_ROAD);
    CHECK_UPDATE(update_speedlimitsign_node(20, id, sign, graph), VARNEL_NODE_SPEEDLIMITSIGN);
    CHECK_UPDATE(update_testclass1_node(20, id, test1, graph), VARNEL_NODE_TESTCLASS1);
    CHECK_UPDATE(update_testclass2_node(20, id, test2, graph), VARNEL_NODE_TESTCLASS2);
    for (i = 0; i < FIELDLESS_NODES; ++i)
      CHECK_UPDATE(kFieldlessUpdates[i](20, id, (VarnelIgnored)(uintptr_t)0xfeed, graph),
                   kFieldlessNodes[i].kind);
#undef CHECK_UPDATE
    check_counts(graph, nodes + (id == 1 ? 17 : 0), relations);
    CHECK_EQ(get_last_update(graph), id == 1 ? 20 : 11);
  }

  nodes = get_node_count(graph);
  CHECK_EQ(remove_car_node(30, VARNEL_NODE_CAR, 1, graph), 1);
  check_counts(graph, nodes + 1 + 2, relations + 1);
  /* A removed node updated is valid again: its relation can join it anew. */
  CHECK_EQ(update_car_node(31, 1, car, graph), VARNEL_NODE_CAR);
  CHECK_EQ(get_last_write_result(graph), VARNEL_WRITE_STORED);
}

/* Timestamps are the host's: a write with an earlier one sets the time back;
 * reset keeps it. */
static void last_update_follows_the_host(KnowledgeGraphHandle* graph) {
  reset_knowledge_graph(graph);
  CHECK_EQ(add_ego_node(1000, 1, NULL, graph), VARNEL_NODE_EGO);
  CHECK_EQ(get_last_update(graph), 1000);
  CHECK_EQ(add_ego_node(500, 1, NULL, graph), VARNEL_NODE_EGO);
  CHECK_EQ(get_last_update(graph), 500);
  reset_knowledge_graph(graph);
  check_counts(graph, 0, 0);
  CHECK_EQ(get_last_update(graph), 500);
}

static void transactions(KnowledgeGraphHandle* graph) {
  reset_knowledge_graph(graph);
  add_ego_node(1, 1, NULL, graph);

  /* The value first, the handle last. */
  set_autocommit(0, graph);
  start_transaction(graph);
  CHECK_EQ(add_yieldsign_node(2, 1, NULL, graph), VARNEL_NODE_YIELDSIGN);
  CHECK_EQ(add_stopsign_node(3, 1, NULL, graph), VARNEL_NODE_STOPSIGN);
  check_counts(graph, 1, 0);
  CHECK_EQ(get_last_update(graph), 1);
  commit_transaction(graph);
  check_counts(graph, 3, 0);
  CHECK_EQ(get_last_update(graph), 3);

  /* An empty batch changes nothing visible. */
  start_transaction(graph);
  commit_transaction(graph);
  check_counts(graph, 3, 0);

  /* A cleared batch: readers see the old graph until the commit. */
  start_transaction(graph);
  reset_knowledge_graph(graph);
  check_counts(graph, 3, 0);
  commit_transaction(graph);
  check_counts(graph, 0, 0);

  /* Autocommit back on drops an uncommitted batch. */
  start_transaction(graph);
  add_ego_node(4, 2, NULL, graph);
  add_ego_node(5, 3, NULL, graph);
  set_autocommit(2, graph); /* any non-zero value is true */
  add_ego_node(6, 4, NULL, graph);
  check_counts(graph, 1, 0);
  CHECK_EQ(get_last_update(graph), 6);
}

/* A window: history before keep_since goes, the current scene stays, the last
 * update time is kept; refused inside a batch. */
static void compaction_keeps_the_window(KnowledgeGraphHandle* graph) {
  Car car = {{1.0f, 0.0f, 0.0f}, 7, {10.0f, 20.0f, 0.0f}, 13.5f};
  Lane lane;
  uint64_t t;
  memset(&lane, 0, sizeof lane);
  reset_knowledge_graph(graph);
  CHECK_EQ(add_lane_node(1, 1, lane, graph), VARNEL_NODE_LANE);
  for (t = 1; t <= 10; ++t) CHECK_EQ(add_car_node(t, 1, car, graph), VARNEL_NODE_CAR);
  CHECK_EQ(add_car_node(5, 2, car, graph), VARNEL_NODE_CAR);
  CHECK_EQ(remove_car_node(6, VARNEL_NODE_CAR, 2, graph), 1);
  CHECK_EQ(add_ison_relation(10, 3, NULL, VARNEL_NODE_CAR, 1, VARNEL_NODE_LANE, 1, graph),
           VARNEL_RELATION_ISON);
  check_counts(graph, 15, 1);

  /* Kept: car 1 at 8, 9, 10 and its relation version at 10, and its state at 8
   * (its version at 7); the lane at 10 and its state at 8 (at 1); the relation.
   * Car 2 (removed at 6) goes. */
  CHECK_EQ(compact_knowledge_graph(8, graph), 1);
  CHECK_EQ(get_last_write_result(graph), VARNEL_WRITE_STORED);
  check_counts(graph, 7, 1);
  CHECK_EQ(get_last_update(graph), 10);
  CHECK_EQ(remove_car_node(11, VARNEL_NODE_CAR, 2, graph), 0);
  CHECK_EQ(get_last_write_result(graph), VARNEL_WRITE_NOT_FOUND);
  CHECK_EQ(remove_ison_relation(12, VARNEL_RELATION_ISON, 3, graph), 1);
  check_counts(graph, 9, 2);

  set_autocommit(0, graph);
  start_transaction(graph);
  CHECK_EQ(compact_knowledge_graph(1000, graph), 0);
  CHECK_EQ(get_last_write_result(graph), VARNEL_WRITE_INSIDE_BATCH);
  commit_transaction(graph);
  set_autocommit(1, graph);
  check_counts(graph, 9, 2);
  /* Everything older than the last write: the two nodes' latest versions stay. */
  CHECK_EQ(compact_knowledge_graph(1000, graph), 1);
  check_counts(graph, 2, 0);
  CHECK_EQ(get_last_update(graph), 12);
}

/* A second handle maps the same region: it resets the graph, then both see
 * every write; each keeps its own last write result. */
static void two_handles_share_the_graph(KnowledgeGraphHandle* first) {
  KnowledgeGraphHandle* second;
  add_ego_node(700, 1, NULL, first);
  second = initialize_knowledge_graph();
  CHECK(second != NULL);
  if (second == NULL) return;
  check_counts(first, 0, 0);
  CHECK_EQ(get_last_update(second), 700); /* kept: the region existed */
  CHECK_EQ(add_ego_node(701, 1, NULL, first), VARNEL_NODE_EGO);
  check_counts(second, 1, 0);
  CHECK_EQ(remove_ego_node(702, VARNEL_NODE_EGO, 9, second), 0);
  CHECK_EQ(get_last_write_result(second), VARNEL_WRITE_NOT_FOUND);
  CHECK_EQ(get_last_write_result(first), VARNEL_WRITE_STORED);
  release_knowledge_graph(second);
  check_counts(first, 1, 0);
}

/* With no other holder, release then set-up creates the region anew. */
static KnowledgeGraphHandle* recreated_after_release(KnowledgeGraphHandle* graph) {
  add_ego_node(900, 1, NULL, graph);
  release_knowledge_graph(graph);
  graph = initialize_knowledge_graph();
  CHECK(graph != NULL);
  if (graph != NULL) fresh_graph_is_empty(graph);
  return graph;
}

int main(void) {
  KnowledgeGraphHandle* graph;
  null_handle_is_harmless();
  graph = initialize_knowledge_graph();
  CHECK(graph != NULL);
  if (graph != NULL) {
    fresh_graph_is_empty(graph);
    node_removals_take_the_kind_from_their_argument(graph);
    relations_of_every_kind(graph);
    refused_relation_changes_nothing(graph);
    node_removal_removes_its_relations(graph);
    updates_keep_relations(graph);
    last_update_follows_the_host(graph);
    transactions(graph);
    compaction_keeps_the_window(graph);
    two_handles_share_the_graph(graph);
    graph = recreated_after_release(graph);
    release_knowledge_graph(graph);
  }
  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
