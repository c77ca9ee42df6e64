// Kind names and sizes by number, and the one-line text forms of the vocabulary,
// rendered from the field tables. Stateless: safe from any thread.
#include "knowledge_graph/graph/types.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

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

template <class T> T load(const unsigned char* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// "Type { a: 1, b: 2.0 }" from a record's field table. Text fields are never
// rendered; a record without fields renders as its type name alone.
std::string record_text(std::string_view type, const void* record, FieldList fields) {
  if (fields.empty()) return std::string(type);
  FieldWriter out(type);
  for (const Field& field : fields) {
    const unsigned char* at = static_cast<const unsigned char*>(record) + field.offset;
    switch (field.type) {
      case FieldType::i32: out.field(field.name, load<std::int32_t>(at)); break;
      case FieldType::f32: out.field(field.name, load<float>(at)); break;
      case FieldType::Vector3f: out.field(field.name, load<Vector3f>(at)); break;
      case FieldType::Vector2f: out.field(field.name, load<Vector2f>(at)); break;
      case FieldType::RawString: break;
    }
  }
  return out.done();
}

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

// Records and vectors render from their field tables.
std::string to_string(const Vector3f& v) { return record_text("Vector3f", &v, fields_of<Vector3f>()); }
std::string to_string(const Vector2f& v) { return record_text("Vector2f", &v, fields_of<Vector2f>()); }

#define VARNEL_TO_STRING(type, number, size) \
  std::string to_string(const type& r) { return record_text(#type, &r, fields_of<type>()); }
VARNEL_NODE_KINDS(VARNEL_TO_STRING)
VARNEL_RELATION_KINDS_AFTER_EMPTY(VARNEL_TO_STRING)  // Empty is one type, rendered above
#undef VARNEL_TO_STRING

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
