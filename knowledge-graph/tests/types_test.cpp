// The scene vocabulary: byte layout of the values, kind numbers, equality and
// the one-line text forms.
#include "knowledge_graph/graph/types.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>

namespace knowledge_graph::graph::types {
namespace {

template <class Value> std::uint32_t u32_at(const Value& value, std::size_t offset) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&value);
  // Little-endian by definition of the format, whatever the host.
  return std::uint32_t{bytes[offset]} | std::uint32_t{bytes[offset + 1]} << 8 |
         std::uint32_t{bytes[offset + 2]} << 16 | std::uint32_t{bytes[offset + 3]} << 24;
}
template <class Value> std::uint64_t u64_at(const Value& value, std::size_t offset) {
  return std::uint64_t{u32_at(value, offset)} | std::uint64_t{u32_at(value, offset + 4)} << 32;
}
std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

RawString text(const char* s) {
  RawString raw;
  std::memcpy(raw.bytes, s, std::strlen(s));
  return raw;
}

// ---- Layout, measured through the bytes of real values ----

TEST(Layout, NodeValuePutsTagAtZeroAndRecordAtEight) {
  Lane lane;
  lane.laneId = 0x01020304;
  lane.laneName = text("Main Street");
  lane.laneSpeedLimit = 0x0A0B0C0D;
  const KnowledgeGraphNode node(lane);
  EXPECT_EQ(u64_at(node, 0), 6u);
  EXPECT_EQ(u32_at(node, 8), 0x01020304u);
  EXPECT_EQ(std::memcmp(reinterpret_cast<const unsigned char*>(&node) + 12, "Main Street", 11), 0);
  EXPECT_EQ(u32_at(node, 140), 0x0A0B0C0Du);

  Car car;
  car.carDirection = {1.0f, 2.0f, 3.0f};
  car.carId = -7;
  car.carPosition = {4.0f, 5.0f, 6.0f};
  car.carSpeed = 13.5f;
  const KnowledgeGraphNode car_node(car);
  EXPECT_EQ(u64_at(car_node, 0), 1u);
  EXPECT_EQ(u32_at(car_node, 8), bits(1.0f));
  EXPECT_EQ(u32_at(car_node, 16), bits(3.0f));
  EXPECT_EQ(u32_at(car_node, 20), static_cast<std::uint32_t>(-7));
  EXPECT_EQ(u32_at(car_node, 24), bits(4.0f));
  EXPECT_EQ(u32_at(car_node, 32), bits(6.0f));
  EXPECT_EQ(u32_at(car_node, 36), bits(13.5f));
}

TEST(Layout, OtherNodeRecordsAtTheirOffsets) {
  const KnowledgeGraphNode crosswalk(Crosswalk{11, 12, {1.5f, 2.5f, 3.5f}});
  EXPECT_EQ(u32_at(crosswalk, 8), 11u);
  EXPECT_EQ(u32_at(crosswalk, 12), 12u);
  EXPECT_EQ(u32_at(crosswalk, 24), bits(3.5f));

  const KnowledgeGraphNode intersection(Intersection{21, {7.0f, 8.0f, 9.0f}});
  EXPECT_EQ(u32_at(intersection, 8), 21u);
  EXPECT_EQ(u32_at(intersection, 12), bits(7.0f));
  EXPECT_EQ(u32_at(intersection, 20), bits(9.0f));

  const KnowledgeGraphNode pedestrian(Pedestrian{{1.0f, 2.0f}, {3.0f, 4.0f}, 0.75f});
  EXPECT_EQ(u64_at(pedestrian, 0), 8u);
  EXPECT_EQ(u32_at(pedestrian, 12), bits(2.0f));
  EXPECT_EQ(u32_at(pedestrian, 16), bits(3.0f));
  EXPECT_EQ(u32_at(pedestrian, 24), bits(0.75f));

  Road road;
  road.roadId = 99;
  road.roadName = text("A1");
  const KnowledgeGraphNode road_node(road);
  EXPECT_EQ(u32_at(road_node, 8), 99u);
  EXPECT_EQ(u32_at(road_node, 12) & 0xFFFFu, 'A' | '1' << 8);

  EXPECT_EQ(u32_at(KnowledgeGraphNode(SpeedLimitSign{50}), 8), 50u);
  EXPECT_EQ(u32_at(KnowledgeGraphNode(TestClass1{-1}), 8), 0xFFFFFFFFu);
  EXPECT_EQ(u32_at(KnowledgeGraphNode(TestClass2{77}), 8), 77u);
}

TEST(Layout, RelationValuePutsAttributeAtEight) {
  const KnowledgeGraphRelation yields(yieldsToCarIn{-2});
  EXPECT_EQ(u64_at(yields, 0), 16u);
  EXPECT_EQ(u32_at(yields, 8), static_cast<std::uint32_t>(-2));
  const KnowledgeGraphRelation test(testRelation{0.25f});
  EXPECT_EQ(u64_at(test, 0), 14u);
  EXPECT_EQ(u32_at(test, 8), bits(0.25f));
}

TEST(Layout, RecordsReadBackFromTheirValues) {
  Lane lane;
  lane.laneId = 3;
  lane.laneName = text("left");
  lane.laneSpeedLimit = 80;
  const Lane back = KnowledgeGraphNode(lane).get<Lane>();
  EXPECT_EQ(back, lane);
  EXPECT_EQ(std::memcmp(back.laneName.bytes, lane.laneName.bytes, 128), 0);
  EXPECT_EQ(KnowledgeGraphRelation(yieldsToCarIn{5}).get<yieldsToCarIn>().ifDirection, 5);
}

TEST(Layout, StoredRecordSizesPerKind) {
  const std::size_t node_sizes[18] = {0, 32, 20, 0, 0, 16, 136, 0, 20, 0, 132, 0, 4, 0, 0, 4, 4, 0};
  for (std::uint64_t k = 0; k < 18; ++k) EXPECT_EQ(node_record_size(k), node_sizes[k]) << k;
  EXPECT_EQ(node_record_size(18), 0u);
  for (std::uint64_t k = 0; k < 17; ++k) {
    EXPECT_EQ(relation_record_size(k), (k == 14 || k == 16) ? 4u : 0u) << k;
  }
  EXPECT_EQ(relation_record_size(17), 0u);
}

// The field tables by kind number: what every generated form (JSON, schemas,
// Python attributes) looks up, for kinds read from a region too.
TEST(Layout, FieldTablesByKindNumber) {
  EXPECT_EQ(node_fields(1).data(), fields_of<Car>().data());
  EXPECT_EQ(relation_fields(16).data(), fields_of<yieldsToCarIn>().data());
  std::size_t with_fields = 0;
  for (std::uint64_t k = 0; k < kNodeKindCount; ++k) {
    with_fields += node_fields(k).empty() ? 0 : 1;
    EXPECT_EQ(node_fields(k).empty(), node_record_size(k) == 0) << k;
  }
  EXPECT_EQ(with_fields, 9u);
  for (std::uint64_t k = 0; k < kRelationKindCount; ++k)
    EXPECT_EQ(relation_fields(k).empty(), relation_record_size(k) == 0) << k;
  EXPECT_TRUE(node_fields(kNodeKindCount).empty());
  EXPECT_TRUE(relation_fields(~std::uint64_t{0}).empty());
  EXPECT_EQ(fields_of<Lane>()[1].name, "laneName");
  EXPECT_EQ(fields_of<Lane>()[1].type, FieldType::RawString);
  EXPECT_EQ(components(FieldType::Vector2f).size(), 2u);
  EXPECT_TRUE(components(FieldType::f32).empty());
}

// ---- Kind numbers and defaults ----

TEST(Kinds, NumberedAlphabeticallyWithEmptyFirst) {
  EXPECT_EQ(KnowledgeGraphNode(Ego{}).type_index(), 4u);
  EXPECT_EQ(KnowledgeGraphNode().type_index(), 0u);
  EXPECT_EQ(KnowledgeGraphNode(Empty{}).type_index(), 0u);
  EXPECT_EQ(KnowledgeGraphRelation(yieldsToCarIn{}).type_index(), 16u);
  EXPECT_EQ(KnowledgeGraphRelation().type_index(), 0u);
  EXPECT_EQ(KnowledgeGraphNode(YieldSign{}).type_index(), 17u);
  EXPECT_EQ(KnowledgeGraphNode(Road{}).type_index(), 10u);
  EXPECT_EQ(KnowledgeGraphRelation(isOn{}).type_index(), 9u);
  EXPECT_EQ(KnowledgeGraphRelation(walksOn{}).type_index(), 15u);

  const char* nodes[] = {"Empty",      "Car",          "Crosswalk",        "DynamicObject",
                         "Ego",        "Intersection", "Lane",             "NoEntrySign",
                         "Pedestrian", "PriorityRoadSign", "Road",         "RoadSign",
                         "SpeedLimitSign", "StaticObject", "StopSign",     "TestClass1",
                         "TestClass2", "YieldSign"};
  for (std::uint64_t k = 0; k < 18; ++k) EXPECT_EQ(node_kind_name(k), nodes[k]);
  const char* relations[] = {"Empty",    "belongsTo", "connectsTo", "contains",  "has",
                             "isAt",     "isBehind",  "isIn",       "isInFront", "isOn",
                             "isOnLeft", "isOnRight", "isPartOf",   "passesOver", "testRelation",
                             "walksOn",  "yieldsToCarIn"};
  for (std::uint64_t k = 0; k < 17; ++k) EXPECT_EQ(relation_kind_name(k), relations[k]);
  EXPECT_EQ(node_kind_name(18), "");
  EXPECT_EQ(relation_kind_name(17), "");
}

TEST(Kinds, TypeIndexIsTheStoredWordUnvalidated) {
  KnowledgeGraphNode node;
  node.tag = 1234;
  EXPECT_EQ(node.type_index(), 1234u);
  EXPECT_EQ(to_string(node), "Unknown(1234)");
}

TEST(Defaults, AreZeroAndEmpty) {
  const RawString raw;
  for (unsigned char byte : raw.bytes) EXPECT_EQ(byte, 0);
  const Car car;
  EXPECT_EQ(car.carId, 0);
  EXPECT_EQ(bits(car.carSpeed), 0u);
  EXPECT_EQ(to_string(Lane{}), "Lane { laneId: 0, laneSpeedLimit: 0 }");
  EXPECT_EQ(to_string(KnowledgeGraphNode()), "Empty");
  EXPECT_EQ(to_string(KnowledgeGraphRelation()), "Empty");
  EXPECT_EQ(to_string(KnowledgeGraphNode(Empty{})), "Empty");
}

// ---- Equality ----

TEST(Equality, TextFieldsTakeNoPart) {
  Lane a;
  a.laneId = 1;
  a.laneSpeedLimit = 50;
  a.laneName = text("north");
  Lane b = a;
  b.laneName = text("south");
  EXPECT_EQ(a, b);
  b.laneSpeedLimit = 51;
  EXPECT_NE(a, b);
  b = a;
  b.laneId = 2;
  EXPECT_NE(a, b);

  Road r1;
  r1.roadId = 4;
  r1.roadName = text("A");
  Road r2;
  r2.roadId = 4;
  r2.roadName = text("B");
  EXPECT_EQ(r1, r2);
  r2.roadId = 5;
  EXPECT_NE(r1, r2);
}

TEST(Equality, FloatsCompareByIeee) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  Car car;
  car.carSpeed = nan;
  EXPECT_FALSE(car == car);
  Car dir;
  dir.carDirection.z = nan;
  EXPECT_FALSE(dir == dir);

  Pedestrian plus{{1.0f, 2.0f}, {3.0f, 4.0f}, 0.0f};
  Pedestrian minus{{1.0f, 2.0f}, {3.0f, 4.0f}, -0.0f};
  EXPECT_EQ(plus, minus);
  minus.pedestrianPosition.y = 4.5f;
  EXPECT_NE(plus, minus);

  EXPECT_FALSE(testRelation{nan} == testRelation{nan});
  EXPECT_TRUE(testRelation{-0.0f} == testRelation{0.0f});
  EXPECT_EQ((Vector3f{0.0f, -0.0f, 1.0f}), (Vector3f{-0.0f, 0.0f, 1.0f}));
  EXPECT_NE((Vector2f{1.0f, 2.0f}), (Vector2f{2.0f, 1.0f}));
}

TEST(Equality, EveryFieldOfTheOtherKindsCounts) {
  EXPECT_EQ(Ego{}, Ego{});
  EXPECT_EQ((Crosswalk{1, 2, {3, 4, 5}}), (Crosswalk{1, 2, {3, 4, 5}}));
  EXPECT_NE((Crosswalk{1, 2, {3, 4, 5}}), (Crosswalk{1, 3, {3, 4, 5}}));
  EXPECT_NE((Crosswalk{1, 2, {3, 4, 5}}), (Crosswalk{1, 2, {3, 4, 6}}));
  EXPECT_NE((Intersection{1, {0, 0, 0}}), (Intersection{1, {0, 1, 0}}));
  EXPECT_NE((Intersection{1, {0, 0, 0}}), (Intersection{2, {0, 0, 0}}));
  EXPECT_NE(TestClass1{1}, TestClass1{2});
  Car a;
  Car b;
  b.carId = 1;
  EXPECT_NE(a, b);
  b = a;
  b.carPosition.x = 1;
  EXPECT_NE(a, b);
}

// ---- Text rendering ----

TEST(Floats, ShortestRoundTripWithoutExponent) {
  EXPECT_EQ(format_float(1.0f), "1.0");
  EXPECT_EQ(format_float(0.5f), "0.5");
  EXPECT_EQ(format_float(0.1f), "0.1");
  EXPECT_EQ(format_float(2.5f), "2.5");
  EXPECT_EQ(format_float(-13.9f), "-13.9");
  EXPECT_EQ(format_float(1.0f / 3.0f), "0.33333334");
  EXPECT_EQ(format_float(16777216.0f), "16777216.0");
  EXPECT_EQ(format_float(1e10f), "10000000000.0");
  EXPECT_EQ(format_float(std::numeric_limits<float>::max()),
            "340282350000000000000000000000000000000.0");
  EXPECT_EQ(format_float(std::numeric_limits<float>::denorm_min()),
            "0.000000000000000000000000000000000000000000001");
  EXPECT_EQ(format_float(-std::numeric_limits<float>::denorm_min()),
            "-0.000000000000000000000000000000000000000000001");
  EXPECT_EQ(format_float(1e-7f), "0.0000001");
  EXPECT_EQ(format_float(1e20f), "100000000000000000000.0");
  EXPECT_EQ(format_float(-1.5e30f), "-1500000000000000000000000000000.0");
  EXPECT_EQ(format_float(std::numeric_limits<float>::min()),
            "0.000000000000000000000000000000000000011754944");
  EXPECT_EQ(format_float(123456.79f), "123456.79");
}

TEST(Floats, SpecialValues) {
  EXPECT_EQ(format_float(0.0f), "0.0");
  EXPECT_EQ(format_float(-0.0f), "-0.0");
  EXPECT_EQ(format_float(std::numeric_limits<float>::quiet_NaN()), "NaN");
  EXPECT_EQ(format_float(-std::numeric_limits<float>::quiet_NaN()), "NaN");
  EXPECT_EQ(format_float(std::numeric_limits<float>::infinity()), "inf");
  EXPECT_EQ(format_float(-std::numeric_limits<float>::infinity()), "-inf");
}

// Significant digits of a plain decimal: "-0.00120" and "1200.0" both have 2.
std::size_t significant_digits(const std::string& shown) {
  std::string digits;
  for (char c : shown) {
    if (c >= '0' && c <= '9') digits += c;
  }
  const auto first = digits.find_first_not_of('0');
  if (first == std::string::npos) return 1;
  return digits.find_last_not_of('0') - first + 1;
}

// The fewest significant digits with which `value` survives a round trip.
std::size_t fewest_round_trip_digits(float value) {
  for (int precision = 0;; ++precision) {
    char buffer[64];
    const auto out = std::to_chars(buffer, buffer + sizeof buffer, value,
                                   std::chars_format::scientific, precision);
    float back = 0;
    std::from_chars(buffer, out.ptr, back);
    if (bits(back) == bits(value)) return static_cast<std::size_t>(precision) + 1;
  }
}

TEST(Floats, EveryRenderingReadsBackToTheSameFloat) {
  std::mt19937 random(20240611);
  std::uniform_int_distribution<std::uint32_t> any_bits;
  for (int i = 0; i < 20000; ++i) {
    const float value = std::bit_cast<float>(any_bits(random));
    if (!std::isfinite(value)) continue;
    const std::string shown = format_float(value);
    ASSERT_EQ(shown.find_first_of("eE"), std::string::npos) << shown;
    const auto point = shown.find('.');
    ASSERT_NE(point, std::string::npos) << shown;
    ASSERT_LT(point + 1, shown.size()) << shown;
    float back = 0;
    const auto [end, ec] = std::from_chars(shown.data(), shown.data() + shown.size(), back);
    ASSERT_TRUE(ec == std::errc() && end == shown.data() + shown.size()) << shown;
    ASSERT_EQ(bits(back), bits(value)) << shown;
    if (value != 0) {
      ASSERT_EQ(significant_digits(shown), fewest_round_trip_digits(value)) << shown;
    }
  }
}

TEST(Rendering, RecordsWithAndWithoutFields) {
  EXPECT_EQ(to_string(Vector2f{1.0f, 2.5f}), "Vector2f { x: 1.0, y: 2.5 }");
  EXPECT_EQ(to_string(Ego{}), "Ego");
  EXPECT_EQ(to_string(SpeedLimitSign{-2147483647 - 1}), "SpeedLimitSign { signSpeedLimit: -2147483648 }");
  Lane lane;
  lane.laneId = 3;
  lane.laneName = text("never shown");
  lane.laneSpeedLimit = 50;
  EXPECT_EQ(to_string(lane), "Lane { laneId: 3, laneSpeedLimit: 50 }");
  Road road;
  road.roadId = -4;
  road.roadName = text("never shown");
  EXPECT_EQ(to_string(road), "Road { roadId: -4 }");
}

TEST(Rendering, TaggedValuesNameTheirKind) {
  EXPECT_EQ(to_string(KnowledgeGraphNode(Ego{})), "Ego(Ego)");
  EXPECT_EQ(to_string(KnowledgeGraphNode(SpeedLimitSign{50})),
            "SpeedLimitSign(SpeedLimitSign { signSpeedLimit: 50 })");
  EXPECT_EQ(to_string(KnowledgeGraphRelation(walksOn{})), "walksOn(walksOn)");
  EXPECT_EQ(to_string(KnowledgeGraphRelation(yieldsToCarIn{1})),
            "yieldsToCarIn(yieldsToCarIn { ifDirection: 1 })");
  EXPECT_EQ(to_string(KnowledgeGraphRelation(testRelation{std::numeric_limits<float>::quiet_NaN()})),
            "testRelation(testRelation { testProperty: NaN })");
  Car car;
  car.carDirection = {1.0f, -0.5f, -0.0f};
  car.carId = 7;
  car.carPosition = {100.25f, 0.0f, 1e10f};
  car.carSpeed = std::numeric_limits<float>::infinity();
  EXPECT_EQ(to_string(KnowledgeGraphNode(car)),
            "Car(Car { carDirection: Vector3f { x: 1.0, y: -0.5, z: -0.0 }, carId: 7, "
            "carPosition: Vector3f { x: 100.25, y: 0.0, z: 10000000000.0 }, carSpeed: inf })");
  EXPECT_EQ(to_string(KnowledgeGraphNode(Pedestrian{{0.5f, 1.0f}, {2.0f, 3.0f}, 1.5f})),
            "Pedestrian(Pedestrian { pedestrianDirection: Vector2f { x: 0.5, y: 1.0 }, "
            "pedestrianPosition: Vector2f { x: 2.0, y: 3.0 }, pedestrianSpeed: 1.5 })");
  EXPECT_EQ(to_string(KnowledgeGraphNode(Crosswalk{1, 2, {0.0f, 0.0f, 0.0f}})),
            "Crosswalk(Crosswalk { crosswalkId: 1, crosswalkPedestrianCount: 2, "
            "crosswalkPosition: Vector3f { x: 0.0, y: 0.0, z: 0.0 } })");
  Lane lane;
  lane.laneId = 2;
  lane.laneName = text("hidden");
  lane.laneSpeedLimit = 30;
  EXPECT_EQ(to_string(KnowledgeGraphNode(lane)), "Lane(Lane { laneId: 2, laneSpeedLimit: 30 })");
}

TEST(Rendering, StreamsShowTheSameText) {
  std::ostringstream out;
  out << KnowledgeGraphNode(Intersection{5, {1.0f, 2.0f, 3.0f}}) << " | " << TestClass2{9};
  EXPECT_EQ(out.str(),
            "Intersection(Intersection { intersectionId: 5, intersectionPosition: "
            "Vector3f { x: 1.0, y: 2.0, z: 3.0 } }) | TestClass2 { testProperty2: 9 }");
}

}  // namespace
}  // namespace knowledge_graph::graph::types
