#include "knowledge_graph/graph/types.hpp"

#include <charconv>
#include <cmath>

namespace knowledge_graph::graph::types {
namespace {

// Builds "Type { a: 1, b: 2.0 }" field by field.
class FieldWriter {
 public:
  explicit FieldWriter(std::string_view type) : text_(type) { text_ += " { "; }
  FieldWriter& field(std::string_view name, std::int32_t value) {
    return raw(name, std::to_string(value));
  }
  FieldWriter& field(std::string_view name, float value) { return raw(name, format_float(value)); }
  template <class V> FieldWriter& field(std::string_view name, const V& value) {
    return raw(name, to_string(value));
  }
  std::string done() { return text_ + " }"; }

 private:
  FieldWriter& raw(std::string_view name, const std::string& value) {
    if (!first_) text_ += ", ";
    first_ = false;
    text_ += name;
    text_ += ": ";
    text_ += value;
    return *this;
  }
  std::string text_;
  bool first_ = true;
};

template <class T> std::string tagged(std::string_view kind, const T& record) {
  return std::string(kind) + "(" + to_string(record) + ")";
}

}  // namespace

// The shortest round-trip digits come from the scientific form ("3.4028235e+38");
// the fixed form would print every digit of the exact value instead
// ("340282346638528859811704183484516925440"). The digits are then written out
// without the exponent.
std::string format_float(float value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buffer[32];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view scientific(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const std::size_t e = scientific.find('e');
  std::string digits;
  for (char c : scientific.substr(0, e)) {
    if (c >= '0' && c <= '9') digits += c;
  }
  int exponent = 0;
  const char* exponent_digits = buffer + e + 2;  // past "e+" or "e-"
  std::from_chars(exponent_digits, result.ptr, exponent);
  if (scientific[e + 1] == '-') exponent = -exponent;

  std::string text = std::signbit(value) ? "-" : "";
  const long point = exponent + 1;  // digits before the decimal point
  const long count = static_cast<long>(digits.size());
  if (point <= 0) {
    text += "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
  } else if (point >= count) {
    text += digits + std::string(static_cast<std::size_t>(point - count), '0') + ".0";
  } else {
    text += digits.substr(0, static_cast<std::size_t>(point)) + "." +
            digits.substr(static_cast<std::size_t>(point));
  }
  return text;
}

std::string_view node_kind_name(std::uint64_t kind) {
  switch (kind) {
#define VARNEL_NAME_CASE(type, number, size) case number: return #type;
    VARNEL_NODE_KINDS(VARNEL_NAME_CASE)
    default: return "";
  }
}

std::string_view relation_kind_name(std::uint64_t kind) {
  switch (kind) {
    VARNEL_RELATION_KINDS(VARNEL_NAME_CASE)
#undef VARNEL_NAME_CASE
    default: return "";
  }
}

std::size_t node_record_size(std::uint64_t kind) {
  switch (kind) {
#define VARNEL_SIZE_CASE(type, number, size) case number: return size;
    VARNEL_NODE_KINDS(VARNEL_SIZE_CASE)
    default: return 0;
  }
}

std::size_t relation_record_size(std::uint64_t kind) {
  switch (kind) {
    VARNEL_RELATION_KINDS(VARNEL_SIZE_CASE)
#undef VARNEL_SIZE_CASE
    default: return 0;
  }
}

std::string to_string(const Vector3f& v) {
  return FieldWriter("Vector3f").field("x", v.x).field("y", v.y).field("z", v.z).done();
}
std::string to_string(const Vector2f& v) {
  return FieldWriter("Vector2f").field("x", v.x).field("y", v.y).done();
}

// Kinds without fields render as their type name alone.
#define VARNEL_BARE_TO_STRING(type) \
  std::string to_string(const type&) { return #type; }
VARNEL_BARE_TO_STRING(Empty)
VARNEL_BARE_TO_STRING(DynamicObject)
VARNEL_BARE_TO_STRING(Ego)
VARNEL_BARE_TO_STRING(NoEntrySign)
VARNEL_BARE_TO_STRING(PriorityRoadSign)
VARNEL_BARE_TO_STRING(RoadSign)
VARNEL_BARE_TO_STRING(StaticObject)
VARNEL_BARE_TO_STRING(StopSign)
VARNEL_BARE_TO_STRING(YieldSign)
VARNEL_BARE_TO_STRING(belongsTo)
VARNEL_BARE_TO_STRING(connectsTo)
VARNEL_BARE_TO_STRING(contains)
VARNEL_BARE_TO_STRING(has)
VARNEL_BARE_TO_STRING(isAt)
VARNEL_BARE_TO_STRING(isBehind)
VARNEL_BARE_TO_STRING(isIn)
VARNEL_BARE_TO_STRING(isInFront)
VARNEL_BARE_TO_STRING(isOn)
VARNEL_BARE_TO_STRING(isOnLeft)
VARNEL_BARE_TO_STRING(isOnRight)
VARNEL_BARE_TO_STRING(isPartOf)
VARNEL_BARE_TO_STRING(passesOver)
VARNEL_BARE_TO_STRING(walksOn)
#undef VARNEL_BARE_TO_STRING

std::string to_string(const Car& r) {
  return FieldWriter("Car")
      .field("carDirection", r.carDirection)
      .field("carId", r.carId)
      .field("carPosition", r.carPosition)
      .field("carSpeed", r.carSpeed)
      .done();
}
std::string to_string(const Crosswalk& r) {
  return FieldWriter("Crosswalk")
      .field("crosswalkId", r.crosswalkId)
      .field("crosswalkPedestrianCount", r.crosswalkPedestrianCount)
      .field("crosswalkPosition", r.crosswalkPosition)
      .done();
}
std::string to_string(const Intersection& r) {
  return FieldWriter("Intersection")
      .field("intersectionId", r.intersectionId)
      .field("intersectionPosition", r.intersectionPosition)
      .done();
}
// Text fields are never rendered.
std::string to_string(const Lane& r) {
  return FieldWriter("Lane").field("laneId", r.laneId).field("laneSpeedLimit", r.laneSpeedLimit).done();
}
std::string to_string(const Pedestrian& r) {
  return FieldWriter("Pedestrian")
      .field("pedestrianDirection", r.pedestrianDirection)
      .field("pedestrianPosition", r.pedestrianPosition)
      .field("pedestrianSpeed", r.pedestrianSpeed)
      .done();
}
std::string to_string(const Road& r) { return FieldWriter("Road").field("roadId", r.roadId).done(); }
std::string to_string(const SpeedLimitSign& r) {
  return FieldWriter("SpeedLimitSign").field("signSpeedLimit", r.signSpeedLimit).done();
}
std::string to_string(const TestClass1& r) {
  return FieldWriter("TestClass1").field("testProperty1", r.testProperty1).done();
}
std::string to_string(const TestClass2& r) {
  return FieldWriter("TestClass2").field("testProperty2", r.testProperty2).done();
}
std::string to_string(const testRelation& r) {
  return FieldWriter("testRelation").field("testProperty", r.testProperty).done();
}
std::string to_string(const yieldsToCarIn& r) {
  return FieldWriter("yieldsToCarIn").field("ifDirection", r.ifDirection).done();
}

std::string to_string(const KnowledgeGraphNode& value) {
  if (value.type_index() == 0) return "Empty";
  switch (value.type_index()) {
#define VARNEL_NODE_CASE(type, number, size) \
  case number: return tagged(#type, value.get<type>());
    VARNEL_NODE_KINDS(VARNEL_NODE_CASE)
#undef VARNEL_NODE_CASE
    default: return "Unknown(" + std::to_string(value.type_index()) + ")";
  }
}

std::string to_string(const KnowledgeGraphRelation& value) {
  if (value.type_index() == 0) return "Empty";
  switch (value.type_index()) {
#define VARNEL_RELATION_CASE(type, number, size) \
  case number: return tagged(#type, value.get<type>());
    VARNEL_RELATION_KINDS(VARNEL_RELATION_CASE)
#undef VARNEL_RELATION_CASE
    default: return "Unknown(" + std::to_string(value.type_index()) + ")";
  }
}

}  // namespace knowledge_graph::graph::types
