// The scene vocabulary: 17 node kinds and 16 relation kinds, their fixed-layout
// records, each kind's field table, and the two tagged values that hold one node
// or relation of any kind.
//
// These records are a byte format shared with other processes (the graph region)
// and with hosts (passed by value through the C interface): every size and offset
// below is fixed and checked at compile time. All values are little-endian.
//
// The field tables are the one list of what each kind holds: the text forms, the
// inspector's JSON, the recordings' schemas and the Python module's attributes
// and numpy columns are all made from them. Adding a field means changing the
// record and its table together; the layout checks at the end refuse a table
// that disagrees with its record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <ostream>
#include <span>
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

// Empty is kind 0 of both families; the relation kinds after it have their own
// list so code that defines one thing per record type can leave it out once.
#define VARNEL_RELATION_KINDS(X)    \
  X(Empty, 0, 0)                    \
  VARNEL_RELATION_KINDS_AFTER_EMPTY(X)

#define VARNEL_RELATION_KINDS_AFTER_EMPTY(X) \
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

// ---- Field tables ------------------------------------------------------------

// What a record field holds; the names are those of the C++ types.
enum class FieldType : std::uint8_t { i32, f32, Vector3f, Vector2f, RawString };

// One field of a record: its name (the attribute name everywhere the field is
// shown), what it holds and where it starts within the stored record.
struct Field {
  std::string_view name;
  FieldType type;
  std::size_t offset;
};
using FieldList = std::span<const Field>;

constexpr std::size_t field_size(FieldType type) {
  switch (type) {
    case FieldType::i32: return sizeof(std::int32_t);
    case FieldType::f32: return sizeof(float);
    case FieldType::Vector3f: return sizeof(Vector3f);
    case FieldType::Vector2f: return sizeof(Vector2f);
    case FieldType::RawString: return sizeof(RawString);
  }
  return 0;
}

// Each kind's fields in record order (and the vectors' components, which follow
// the same rules). Kinds not named here have none.
template <class T> struct FieldsOf {
  static constexpr std::array<Field, 0> fields{};
};
template <> struct FieldsOf<Vector3f> {
  static constexpr Field fields[] = {
      {"x", FieldType::f32, 0}, {"y", FieldType::f32, 4}, {"z", FieldType::f32, 8}};
};
template <> struct FieldsOf<Vector2f> {
  static constexpr Field fields[] = {{"x", FieldType::f32, 0}, {"y", FieldType::f32, 4}};
};
template <> struct FieldsOf<Car> {
  static constexpr Field fields[] = {{"carDirection", FieldType::Vector3f, 0},
                                     {"carId", FieldType::i32, 12},
                                     {"carPosition", FieldType::Vector3f, 16},
                                     {"carSpeed", FieldType::f32, 28}};
};
template <> struct FieldsOf<Crosswalk> {
  static constexpr Field fields[] = {{"crosswalkId", FieldType::i32, 0},
                                     {"crosswalkPedestrianCount", FieldType::i32, 4},
                                     {"crosswalkPosition", FieldType::Vector3f, 8}};
};
template <> struct FieldsOf<Intersection> {
  static constexpr Field fields[] = {{"intersectionId", FieldType::i32, 0},
                                     {"intersectionPosition", FieldType::Vector3f, 4}};
};
template <> struct FieldsOf<Lane> {
  static constexpr Field fields[] = {{"laneId", FieldType::i32, 0},
                                     {"laneName", FieldType::RawString, 4},
                                     {"laneSpeedLimit", FieldType::i32, 132}};
};
template <> struct FieldsOf<Pedestrian> {
  static constexpr Field fields[] = {{"pedestrianDirection", FieldType::Vector2f, 0},
                                     {"pedestrianPosition", FieldType::Vector2f, 8},
                                     {"pedestrianSpeed", FieldType::f32, 16}};
};
template <> struct FieldsOf<Road> {
  static constexpr Field fields[] = {{"roadId", FieldType::i32, 0},
                                     {"roadName", FieldType::RawString, 4}};
};
template <> struct FieldsOf<SpeedLimitSign> {
  static constexpr Field fields[] = {{"signSpeedLimit", FieldType::i32, 0}};
};
template <> struct FieldsOf<TestClass1> {
  static constexpr Field fields[] = {{"testProperty1", FieldType::i32, 0}};
};
template <> struct FieldsOf<TestClass2> {
  static constexpr Field fields[] = {{"testProperty2", FieldType::i32, 0}};
};
template <> struct FieldsOf<testRelation> {
  static constexpr Field fields[] = {{"testProperty", FieldType::f32, 0}};
};
template <> struct FieldsOf<yieldsToCarIn> {
  static constexpr Field fields[] = {{"ifDirection", FieldType::i32, 0}};
};

template <class T> constexpr FieldList fields_of() { return FieldsOf<T>::fields; }

// The f32 components of a vector field; none for the other types.
constexpr FieldList components(FieldType type) {
  if (type == FieldType::Vector3f) return fields_of<Vector3f>();
  if (type == FieldType::Vector2f) return fields_of<Vector2f>();
  return {};
}

// A kind's fields by kind number; none for kinds without fields or out of range
// (kind numbers read from a region may be damaged).
constexpr FieldList node_fields(std::uint64_t kind) {
  switch (kind) {
#define VARNEL_FIELDS_CASE(type, number, size) case number: return fields_of<type>();
    VARNEL_NODE_KINDS(VARNEL_FIELDS_CASE)
    default: return {};
  }
}
constexpr FieldList relation_fields(std::uint64_t kind) {
  switch (kind) {
    VARNEL_RELATION_KINDS(VARNEL_FIELDS_CASE)
#undef VARNEL_FIELDS_CASE
    default: return {};
  }
}

enum class NodeKind : std::uint64_t {
#define VARNEL_ENUM_ENTRY(type, number, size) type = number,
  VARNEL_NODE_KINDS(VARNEL_ENUM_ENTRY)
};
enum class RelationKind : std::uint64_t {
  VARNEL_RELATION_KINDS(VARNEL_ENUM_ENTRY)
#undef VARNEL_ENUM_ENTRY
};

// Counted from the X-lists, so a new kind cannot be left out of them.
#define VARNEL_COUNT_KIND(type, number, size) +1
inline constexpr std::uint64_t kNodeKindCount = 0 VARNEL_NODE_KINDS(VARNEL_COUNT_KIND);
inline constexpr std::uint64_t kRelationKindCount = 0 VARNEL_RELATION_KINDS(VARNEL_COUNT_KIND);
#undef VARNEL_COUNT_KIND

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
// The table's field of that name; a name the table lacks does not compile.
template <class T> consteval Field table_field(std::string_view name) {
  for (const Field& field : fields_of<T>())
    if (field.name == name) return field;
  throw "the field table lacks a field of the record";
}
template <class C> consteval FieldType field_type_of() {
  if constexpr (std::is_same_v<C, std::int32_t>) return FieldType::i32;
  else if constexpr (std::is_same_v<C, float>) return FieldType::f32;
  else if constexpr (std::is_same_v<C, Vector3f>) return FieldType::Vector3f;
  else if constexpr (std::is_same_v<C, Vector2f>) return FieldType::Vector2f;
  else {
    static_assert(std::is_same_v<C, RawString>, "a record field of a type the tables cannot name");
    return FieldType::RawString;
  }
}
// The table's fields follow each other without gap or overlap from byte 0 and
// end at the stored size, so every byte of the record is some field's (and a
// field of the record missing from the table shows as a gap).
template <class T> consteval bool table_covers(std::size_t stored_size) {
  std::size_t end = 0;
  for (const Field& field : fields_of<T>()) {
    if (field.offset != end) return false;
    end += field_size(field.type);
  }
  return end == stored_size && (stored_size == 0 || sizeof(T) == stored_size);
}

static_assert(table_covers<Vector3f>(12) && table_covers<Vector2f>(8));
#define VARNEL_TABLE_COVERS(type, number, size) \
  static_assert(table_covers<type>(size), "the field table of " #type " does not cover its record");
VARNEL_NODE_KINDS(VARNEL_TABLE_COVERS)
VARNEL_RELATION_KINDS_AFTER_EMPTY(VARNEL_TABLE_COVERS)
#undef VARNEL_TABLE_COVERS

// Each field of the table lies where the compiler puts the member and holds its type.
#define VARNEL_FIELD_MATCHES(record, member)                                    \
  (table_field<record>(#member).offset == offsetof(record, member) &&           \
   table_field<record>(#member).type == field_type_of<decltype(record::member)>())
static_assert(VARNEL_FIELD_MATCHES(Vector3f, x) && VARNEL_FIELD_MATCHES(Vector3f, y) &&
              VARNEL_FIELD_MATCHES(Vector3f, z));
static_assert(VARNEL_FIELD_MATCHES(Vector2f, x) && VARNEL_FIELD_MATCHES(Vector2f, y));
static_assert(VARNEL_FIELD_MATCHES(Car, carDirection) && VARNEL_FIELD_MATCHES(Car, carId) &&
              VARNEL_FIELD_MATCHES(Car, carPosition) && VARNEL_FIELD_MATCHES(Car, carSpeed));
static_assert(VARNEL_FIELD_MATCHES(Crosswalk, crosswalkId) &&
              VARNEL_FIELD_MATCHES(Crosswalk, crosswalkPedestrianCount) &&
              VARNEL_FIELD_MATCHES(Crosswalk, crosswalkPosition));
static_assert(VARNEL_FIELD_MATCHES(Intersection, intersectionId) &&
              VARNEL_FIELD_MATCHES(Intersection, intersectionPosition));
static_assert(VARNEL_FIELD_MATCHES(Lane, laneId) && VARNEL_FIELD_MATCHES(Lane, laneName) &&
              VARNEL_FIELD_MATCHES(Lane, laneSpeedLimit));
static_assert(VARNEL_FIELD_MATCHES(Pedestrian, pedestrianDirection) &&
              VARNEL_FIELD_MATCHES(Pedestrian, pedestrianPosition) &&
              VARNEL_FIELD_MATCHES(Pedestrian, pedestrianSpeed));
static_assert(VARNEL_FIELD_MATCHES(Road, roadId) && VARNEL_FIELD_MATCHES(Road, roadName));
static_assert(VARNEL_FIELD_MATCHES(SpeedLimitSign, signSpeedLimit));
static_assert(VARNEL_FIELD_MATCHES(TestClass1, testProperty1));
static_assert(VARNEL_FIELD_MATCHES(TestClass2, testProperty2));
static_assert(VARNEL_FIELD_MATCHES(testRelation, testProperty));
static_assert(VARNEL_FIELD_MATCHES(yieldsToCarIn, ifDirection));
#undef VARNEL_FIELD_MATCHES
static_assert(kNodeKindCount == 18 && kRelationKindCount == 17);
static_assert(sizeof(KnowledgeGraphNode) == 144 && alignof(KnowledgeGraphNode) == 8 &&
              offsetof(KnowledgeGraphNode, payload) == 8);
static_assert(sizeof(KnowledgeGraphRelation) == 16 && alignof(KnowledgeGraphRelation) == 8 &&
              offsetof(KnowledgeGraphRelation, payload) == 8);
static_assert(std::is_trivially_copyable_v<KnowledgeGraphNode> &&
              std::is_trivially_copyable_v<KnowledgeGraphRelation>);

}  // namespace knowledge_graph::graph::types
