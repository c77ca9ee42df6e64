/* A scene written from C code, so that its records cross the library's
 * interface as a C compiler passes them by value. Every record byte i of the
 * record given the seed s is (s + 37 * i) mod 256: any bit pattern, NaNs
 * included, must arrive unchanged. */
#ifndef VARNEL_TESTS_ABI_SCENE_H
#define VARNEL_TESTS_ABI_SCENE_H

#include <stdint.h>

#include "varnel_interface.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  kAbiCarSeed = 11,
  kAbiLaneSeed = 23,
  kAbiRoadSeed = 5,
  kAbiCrosswalkSeed = 61,
  kAbiPedestrianSeed = 77,
  kAbiTestRelationSeed = 129,
  kAbiYieldsSeed = 201,
  kAbiIntersectionSeed = 91,
  kAbiSpeedLimitSignSeed = 143,
  kAbiTestClass1Seed = 170,
  kAbiTestClass2Seed = 233
};
#define ABI_INSTANCE_ID UINT64_C(0x0102030405060708)
#define ABI_TIMESTAMP UINT64_C(0xF0E0D0C0B0A09080)

unsigned char abi_pattern_byte(unsigned seed, unsigned index);
/* Adds a Car, Lane, Road, Crosswalk, Pedestrian, Intersection, SpeedLimitSign,
 * TestClass1 and TestClass2 (instance ABI_INSTANCE_ID), every kind with fields,
 * a testRelation from the car to the lane and a yieldsToCarIn from the lane to
 * the road (same instance id). Hosts in other languages write the same scene.
 * 1 when every call reported its change stored. */
int abi_scene_write(KnowledgeGraphHandle* handle);

#ifdef __cplusplus
}
#endif

#endif
