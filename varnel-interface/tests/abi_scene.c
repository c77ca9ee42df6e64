#include "abi_scene.h"

#include <stddef.h>

unsigned char abi_pattern_byte(unsigned seed, unsigned index) {
  return (unsigned char)((seed + 37u * index) & 0xFFu);
}

static void fill(void* record, size_t size, unsigned seed) {
  unsigned char* bytes = (unsigned char*)record;
  size_t i;
  for (i = 0; i < size; ++i) bytes[i] = abi_pattern_byte(seed, (unsigned)i);
}

int abi_scene_write(KnowledgeGraphHandle* handle) {
  const uint64_t id = ABI_INSTANCE_ID, time = ABI_TIMESTAMP;
  Car car;
  Lane lane;
  Road road;
  Crosswalk crosswalk;
  Pedestrian pedestrian;
  Intersection intersection;
  SpeedLimitSign sign;
  TestClass1 test1;
  TestClass2 test2;
  testRelation test;
  yieldsToCarIn yields;
  int stored = 1;
  fill(&car, sizeof car, kAbiCarSeed);
  fill(&lane, sizeof lane, kAbiLaneSeed);
  fill(&road, sizeof road, kAbiRoadSeed);
  fill(&crosswalk, sizeof crosswalk, kAbiCrosswalkSeed);
  fill(&pedestrian, sizeof pedestrian, kAbiPedestrianSeed);
  fill(&intersection, sizeof intersection, kAbiIntersectionSeed);
  fill(&sign, sizeof sign, kAbiSpeedLimitSignSeed);
  fill(&test1, sizeof test1, kAbiTestClass1Seed);
  fill(&test2, sizeof test2, kAbiTestClass2Seed);
  fill(&test, sizeof test, kAbiTestRelationSeed);
  fill(&yields, sizeof yields, kAbiYieldsSeed);

  stored &= add_car_node(time, id, car, handle) == VARNEL_NODE_CAR;
  stored &= get_last_write_result(handle) == VARNEL_WRITE_STORED;
  stored &= add_lane_node(time, id, lane, handle) == VARNEL_NODE_LANE;
  stored &= get_last_write_result(handle) == VARNEL_WRITE_STORED;
  stored &= add_road_node(time, id, road, handle) == VARNEL_NODE_ROAD;
  stored &= get_last_write_result(handle) == VARNEL_WRITE_STORED;
  stored &= add_crosswalk_node(time, id, crosswalk, handle) == VARNEL_NODE_CROSSWALK;
  stored &= get_last_write_result(handle) == VARNEL_WRITE_STORED;
  stored &= add_pedestrian_node(time, id, pedestrian, handle) == VARNEL_NODE_PEDESTRIAN;
  stored &= get_last_write_result(handle) == VARNEL_WRITE_STORED;
  stored &= add_intersection_node(time, id, intersection, handle) == VARNEL_NODE_INTERSECTION;
  stored &= get_last_write_result(handle) == VARNEL_WRITE_STORED;
  stored &= add_speedlimitsign_node(time, id, sign, handle) == VARNEL_NODE_SPEEDLIMITSIGN;
  stored &= get_last_write_result(handle) == VARNEL_WRITE_STORED;
  stored &= add_testclass1_node(time, id, test1, handle) == VARNEL_NODE_TESTCLASS1;
  stored &= get_last_write_result(handle) == VARNEL_WRITE_STORED;
  stored &= add_testclass2_node(time, id, test2, handle) == VARNEL_NODE_TESTCLASS2;
  stored &= get_last_write_result(handle) == VARNEL_WRITE_STORED;
  stored &= add_testrelation_relation(time, id, test, VARNEL_NODE_CAR, id, VARNEL_NODE_LANE, id,
                                      handle) == VARNEL_RELATION_TESTRELATION;
  stored &= get_last_write_result(handle) == VARNEL_WRITE_STORED;
  stored &= add_yieldstocarin_relation(time, id, yields, VARNEL_NODE_LANE, id, VARNEL_NODE_ROAD,
                                       id, handle) == VARNEL_RELATION_YIELDSTOCARIN;
  stored &= get_last_write_result(handle) == VARNEL_WRITE_STORED;
  return stored;
}
