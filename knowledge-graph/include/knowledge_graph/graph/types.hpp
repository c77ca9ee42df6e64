// The scene vocabulary: 17 node kinds and 16 relation kinds, their fixed-layout
// records, and the two tagged values that hold one node or relation of any kind.
//
// These records are a byte format shared with other processes (the graph region)
// and with hosts (passed by value through the C interface): every size and offset
// below is fixed and checked at compile time. All values are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <type_traits>

namespace knowledge_graph::graph::types {

struct Vector3f {
  float x = 0.0f;
  float y = 0.0f;
  float z = 0.0f;
  friend bool operator==(const Vector3f&, const Vector3f&) = default;
};

struct Vector2f {
  float x = 0.0f;
  float y = 0.0f;
  friend bool operator==(const Vector2f&, const Vector2f&) = default;
};

// 128 bytes of inline text. The library copies it as a block and never reads it.
struct RawString {
  unsigned char bytes[128] = {};
};

// ---- Node kind records -------------------------------------------------------

struct Empty {};
struct Car {
  Vector3f carDirection;
  std::int32_t carId = 0;
  Vector3f carPosition;
  float carSpeed = 0.0f;
  friend bool operator==(const Car&, const Car&) = default;
};
struct Crosswalk {
  std::int32_t crosswalkId = 0;
  std::int32_t crosswalkPedestrianCount = 0;
  Vector3f crosswalkPosition;
  friend bool operator==(const Crosswalk&, const Crosswalk&) = default;
};
struct DynamicObject {};
struct Ego {
  friend bool operator==(const Ego&, const Ego&) = default;
};
struct Intersection {
  std::int32_t intersectionId = 0;
  Vector3f intersectionPosition;
  friend bool operator==(const Intersection&, const Intersection&) = default;
};
struct Lane {
  std::int32_t laneId = 0;
  RawString laneName;
  std::int32_t laneSpeedLimit = 0;
  // laneName takes no part in equality.
  friend bool operator==(const Lane& a, const Lane& b) {
    return a.laneId == b.laneId && a.laneSpeedLimit == b.laneSpeedLimit;
  }
};
struct NoEntrySign {};
struct Pedestrian {
  Vector2f pedestrianDirection;
  Vector2f pedestrianPosition;
  float pedestrianSpeed = 0.0f;
  friend bool operator==(const Pedestrian&, const Pedestrian&) = default;
};
struct PriorityRoadSign {};
struct Road {
  std::int32_t roadId = 0;
  RawString roadName;
  // roadName takes no part in equality.
  friend bool operator==(const Road& a, const Road& b) { return a.roadId == b.roadId; }
};
struct RoadSign {};
struct SpeedLimitSign {
  std::int32_t signSpeedLimit = 0;
};
struct StaticObject {};
struct StopSign {};
struct TestClass1 {
  std::int32_t testProperty1 = 0;
  friend bool operator==(const TestClass1&, const TestClass1&) = default;
};
struct TestClass2 {
  std::int32_t testProperty2 = 0;
};
struct YieldSign {};

// ---- Relation kind records ---------------------------------------------------

struct belongsTo {};
struct connectsTo {};
struct contains {};
struct has {};
struct isAt {};
struct isBehind {};
struct isIn {};
struct isInFront {};
struct isOn {};
struct isOnLeft {};
struct isOnRight {};
struct isPartOf {};
struct passesOver {};
struct testRelation {
  float testProperty = 0.0f;
  friend bool operator==(const testRelation&, const testRelation&) = default;
};
struct walksOn {};
struct yieldsToCarIn {
  std::int32_t ifDirection = 0;
};

// X-lists of the kinds in kind-number order: X(record type, kind number, size in bytes).
// The size is that of the stored record; kinds without fields store nothing.
#define VARNEL_NODE_KINDS(X)        \
  X(Empty, 0, 0)                    \
  X(Car, 1, 32)                     \
  X(Crosswalk, 2, 20)               \
  X(DynamicObject, 3, 0)            \
  X(Ego, 4, 0)                      \
  X(Intersection, 5, 16)            \
  X(Lane, 6, 136)                   \
  X(NoEntrySign, 7, 0)              \
  X(Pedestrian, 8, 20)              \
  X(PriorityRoadSign, 9, 0)         \
  X(Road, 10, 132)                  \
  X(RoadSign, 11, 0)                \
  X(SpeedLimitSign, 12, 4)          \
  X(StaticObject, 13, 0)            \
  X(StopSign, 14, 0)                \
  X(TestClass1, 15, 4)              \
  X(TestClass2, 16, 4)              \
  X(YieldSign, 17, 0)

#define VARNEL_RELATION_KINDS(X)    \
  X(Empty, 0, 0)                    \
  X(belongsTo, 1, 0)                \
  X(connectsTo, 2, 0)               \
  X(contains, 3, 0)                 \
  X(has, 4, 0)                      \
  X(isAt, 5, 0)                     \
  X(isBehind, 6, 0)                 \
  X(isIn, 7, 0)                     \
  X(isInFront, 8, 0)                \
  X(isOn, 9, 0)                     \
  X(isOnLeft, 10, 0)                \
  X(isOnRight, 11, 0)               \
  X(isPartOf, 12, 0)                \
  X(passesOver, 13, 0)              \
  X(testRelation, 14, 4)            \
  X(walksOn, 15, 0)                 \
  X(yieldsToCarIn, 16, 4)

enum class NodeKind : std::uint64_t {
#define VARNEL_ENUM_ENTRY(type, number, size) type = number,
  VARNEL_NODE_KINDS(VARNEL_ENUM_ENTRY)
};
enum class RelationKind : std::uint64_t {
  VARNEL_RELATION_KINDS(VARNEL_ENUM_ENTRY)
#undef VARNEL_ENUM_ENTRY
};

inline constexpr std::uint64_t kNodeKindCount = 18;
inline constexpr std::uint64_t kRelationKindCount = 17;

// Kind names ("Car", "isOnLeft"); "Empty" for 0; an out-of-range number gives "".
std::string_view node_kind_name(std::uint64_t kind);
std::string_view relation_kind_name(std::uint64_t kind);
// The stored size of a kind's record; 0 for kinds without fields or out of range.
std::size_t node_record_size(std::uint64_t kind);
std::size_t relation_record_size(std::uint64_t kind);

// Kind number and stored size of a record type, for building tagged values.
template <class T> struct NodeKindOf;
template <class T> struct RelationKindOf;
#define VARNEL_NODE_TRAIT(type, number, size)                    \
  template <> struct NodeKindOf<type> {                          \
    static constexpr std::uint64_t kind = number;                \
    static constexpr std::size_t stored_size = size;             \
  };
VARNEL_NODE_KINDS(VARNEL_NODE_TRAIT)
#undef VARNEL_NODE_TRAIT
#define VARNEL_RELATION_TRAIT(type, number, size)                \
  template <> struct RelationKindOf<type> {                      \
    static constexpr std::uint64_t kind = number;                \
    static constexpr std::size_t stored_size = size;             \
  };
VARNEL_RELATION_KINDS(VARNEL_RELATION_TRAIT)
#undef VARNEL_RELATION_TRAIT

template <class T> concept NodeRecordType = requires { NodeKindOf<T>::kind; };
template <class T> concept RelationRecordType = requires { RelationKindOf<T>::kind; };

// One node value of any kind: the kind number, then the kind's record at byte 8.
// Values built here have zero bytes beyond the record, so equal inputs give equal bytes.
struct alignas(8) KnowledgeGraphNode {
  std::uint64_t tag = 0;
  unsigned char payload[136] = {};

  KnowledgeGraphNode() = default;  // Empty
  template <NodeRecordType T>
  explicit KnowledgeGraphNode(const T& record) : tag(NodeKindOf<T>::kind) {
    if constexpr (NodeKindOf<T>::stored_size > 0) {
      static_assert(sizeof(T) == NodeKindOf<T>::stored_size);
      std::memcpy(payload, &record, sizeof(T));
    }
  }

  std::uint64_t type_index() const { return tag; }

  // The record at byte 8 read as T; the caller checks type_index first.
  template <NodeRecordType T> T get() const {
    T record{};
    if constexpr (NodeKindOf<T>::stored_size > 0) std::memcpy(&record, payload, sizeof(T));
    return record;
  }
  // The record as T when this value is of T's kind, else nothing.
  template <NodeRecordType T> std::optional<T> as() const {
    if (tag != NodeKindOf<T>::kind) return std::nullopt;
    return get<T>();
  }
};

// One relation value of any kind: the kind number, then the kind's record at byte 8.
struct alignas(8) KnowledgeGraphRelation {
  std::uint64_t tag = 0;
  unsigned char payload[8] = {};

  KnowledgeGraphRelation() = default;  // Empty
  template <RelationRecordType T>
  explicit KnowledgeGraphRelation(const T& record) : tag(RelationKindOf<T>::kind) {
    if constexpr (RelationKindOf<T>::stored_size > 0) {
      static_assert(sizeof(T) == RelationKindOf<T>::stored_size);
      std::memcpy(payload, &record, sizeof(T));
    }
  }

  std::uint64_t type_index() const { return tag; }

  template <RelationRecordType T> T get() const {
    T record{};
    if constexpr (RelationKindOf<T>::stored_size > 0) std::memcpy(&record, payload, sizeof(T));
    return record;
  }
  template <RelationRecordType T> std::optional<T> as() const {
    if (tag != RelationKindOf<T>::kind) return std::nullopt;
    return get<T>();
  }
};

// ---- Text rendering: one line each ------------------------------------------

// f32 as the shortest decimal that reads back to the same float, never with an
// exponent, at least one digit after the point; "NaN", "inf", "-inf".
std::string format_float(float value);

#define VARNEL_DECLARE_TO_STRING(type, number, size) std::string to_string(const type& record);
VARNEL_NODE_KINDS(VARNEL_DECLARE_TO_STRING)
VARNEL_RELATION_KINDS(VARNEL_DECLARE_TO_STRING)
std::string to_string(const Vector3f& v);
std::string to_string(const Vector2f& v);
std::string to_string(const KnowledgeGraphNode& value);
std::string to_string(const KnowledgeGraphRelation& value);

template <class T>
  requires requires(const T& t) { to_string(t); }
std::ostream& operator<<(std::ostream& out, const T& value) {
  return out << to_string(value);
}

// ---- Layout checks ----------------------------------------------------------

static_assert(sizeof(Vector3f) == 12 && alignof(Vector3f) == 4);
static_assert(sizeof(Vector2f) == 8 && alignof(Vector2f) == 4);
static_assert(sizeof(RawString) == 128);
static_assert(sizeof(Car) == 32 && offsetof(Car, carDirection) == 0 && offsetof(Car, carId) == 12 &&
              offsetof(Car, carPosition) == 16 && offsetof(Car, carSpeed) == 28);
static_assert(sizeof(Crosswalk) == 20 && offsetof(Crosswalk, crosswalkId) == 0 &&
              offsetof(Crosswalk, crosswalkPedestrianCount) == 4 &&
              offsetof(Crosswalk, crosswalkPosition) == 8);
static_assert(sizeof(Intersection) == 16 && offsetof(Intersection, intersectionId) == 0 &&
              offsetof(Intersection, intersectionPosition) == 4);
static_assert(sizeof(Lane) == 136 && offsetof(Lane, laneId) == 0 && offsetof(Lane, laneName) == 4 &&
              offsetof(Lane, laneSpeedLimit) == 132);
static_assert(sizeof(Pedestrian) == 20 && offsetof(Pedestrian, pedestrianDirection) == 0 &&
              offsetof(Pedestrian, pedestrianPosition) == 8 &&
              offsetof(Pedestrian, pedestrianSpeed) == 16);
static_assert(sizeof(Road) == 132 && offsetof(Road, roadId) == 0 && offsetof(Road, roadName) == 4);
static_assert(sizeof(SpeedLimitSign) == 4 && sizeof(TestClass1) == 4 && sizeof(TestClass2) == 4);
static_assert(sizeof(testRelation) == 4 && sizeof(yieldsToCarIn) == 4);
static_assert(sizeof(KnowledgeGraphNode) == 144 && alignof(KnowledgeGraphNode) == 8 &&
              offsetof(KnowledgeGraphNode, payload) == 8);
static_assert(sizeof(KnowledgeGraphRelation) == 16 && alignof(KnowledgeGraphRelation) == 8 &&
              offsetof(KnowledgeGraphRelation, payload) == 8);
static_assert(std::is_trivially_copyable_v<KnowledgeGraphNode> &&
              std::is_trivially_copyable_v<KnowledgeGraphRelation>);

}  // namespace knowledge_graph::graph::types
