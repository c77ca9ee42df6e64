#include "render.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <sstream>

namespace varnel::inspect {
namespace {

namespace types = knowledge_graph::graph::types;
using knowledge_graph::graph::kNodeKinds;
using knowledge_graph::graph::kRelationKinds;
using knowledge_graph::graph::Marker;
using knowledge_graph::graph::RelationList;
using nlohmann::json;

std::optional<std::uint64_t> parse_kind(const std::string& text, std::uint64_t count,
                                        std::string_view (*name_of)(std::uint64_t)) {
  std::uint64_t number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error == std::errc() && end == text.data() + text.size())
    return number < count ? std::optional(number) : std::nullopt;
  auto lower = [](std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
  };
  for (std::uint64_t k = 0; k < count; ++k)
    if (lower(name_of(k)) == lower(text)) return k;
  return std::nullopt;
}

// Shortest float text that reads back the same, as a JSON number (NaN as null).
json number(float value) {
  const std::string text = types::format_float(value);
  if (text == "NaN" || text == "inf" || text == "-inf") return nullptr;
  return std::stod(text);
}

// The text of a RawString up to its first zero byte; other bytes outside
// printable ASCII are shown as \xNN, so the result is always valid UTF-8.
std::string raw_text(const unsigned char* bytes) {
  std::string out;
  for (std::size_t i = 0; i < sizeof(types::RawString::bytes); ++i) {
    const unsigned char c = bytes[i];
    if (c == 0) break;
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

json fields_json(const unsigned char* record, types::FieldList fields);

json field_json(const unsigned char* at, const types::Field& field) {
  switch (field.type) {
    case types::FieldType::i32: {
      std::int32_t value;
      std::memcpy(&value, at, sizeof value);
      return value;
    }
    case types::FieldType::f32: {
      float value;
      std::memcpy(&value, at, sizeof value);
      return number(value);
    }
    case types::FieldType::Vector3f:
    case types::FieldType::Vector2f: return fields_json(at, types::components(field.type));
    case types::FieldType::RawString: return raw_text(at);
  }
  return nullptr;
}

// A record's fields by name, from its kind's table: kinds without fields (and
// damaged kind numbers) give an empty object.
json fields_json(const unsigned char* record, types::FieldList fields) {
  json out = json::object();
  for (const types::Field& field : fields)
    out[std::string(field.name)] = field_json(record + field.offset, field);
  return out;
}

json node_attributes(const types::KnowledgeGraphNode& value) {
  return fields_json(value.payload, types::node_fields(value.type_index()));
}

json relation_attributes(const types::KnowledgeGraphRelation& value) {
  return fields_json(value.payload, types::relation_fields(value.type_index()));
}

std::string list_text(const RelationList& list) {
  std::string out;
  for (const Index& entry : list) {
    if (entry.is_empty()) continue;
    out += (out.empty() ? "" : ", ") + relation_name(entry);
  }
  return out.empty() ? "-" : out;
}

json list_json(const RelationList& list) {
  json out = json::array();
  for (const Index& entry : list)
    if (!entry.is_empty())
      out.push_back({{"kind", std::string(types::relation_kind_name(entry.type_index))},
                     {"id", entry.instance_id}});
  return out;
}

json end_json(const Index& node) {
  return {{"kind", std::string(types::node_kind_name(node.type_index))}, {"id", node.instance_id}};
}

// Graphviz text in double quotes: backslashes and quotes escaped.
std::string dot_quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string attribute_text(const json& value) {
  if (value.is_object() && value.contains("x")) {
    std::string out = "(";
    for (auto it = value.begin(); it != value.end(); ++it)
      out += (it == value.begin() ? "" : ", ") + it.value().dump();
    return out + ")";
  }
  return value.is_string() ? value.get<std::string>() : value.dump();
}

std::string dot_id(const Index& node) {
  // Appended piece by piece: GCC 12 at -O3 takes `"n" + std::to_string(...)` for
  // an overlapping copy (a false -Wrestrict).
  std::string id = "n";
  id += std::to_string(node.type_index);
  id += '_';
  id += std::to_string(node.instance_id);
  return id;
}

const char* fill_colour(std::uint64_t kind) {
  using types::NodeKind;
  switch (static_cast<NodeKind>(kind)) {
    case NodeKind::Car: return "lightblue";
    case NodeKind::Ego: return "gold";
    case NodeKind::Pedestrian: return "orange";
    case NodeKind::Lane:
    case NodeKind::Road: return "gray90";
    case NodeKind::Crosswalk:
    case NodeKind::Intersection: return "palegreen";
    default: return "white";
  }
}

}  // namespace

std::optional<std::uint64_t> parse_node_kind(const std::string& text) {
  return parse_kind(text, kNodeKinds, types::node_kind_name);
}
std::optional<std::uint64_t> parse_relation_kind(const std::string& text) {
  return parse_kind(text, kRelationKinds, types::relation_kind_name);
}

// The graph's own names, so that the inspector and the library's messages name a
// node alike ("Car 99"; "node kind 42 99" outside the vocabulary).
std::string node_name(const Index& node) { return knowledge_graph::graph::describe_node(node); }
std::string relation_name(const Index& relation) {
  return knowledge_graph::graph::describe_relation(relation);
}

std::string node_line(const NodeItem& item) {
  const Index self(item.value.type_index(), item.record.instance_id);
  std::ostringstream out;
  out << node_name(self) << "  t=" << item.record.timestamp << "  "
      << knowledge_graph::graph::to_string(item.record.marker) << "  "
      << types::to_string(item.value) << "  outgoing: " << list_text(item.record.outgoing)
      << "  incoming: " << list_text(item.record.incoming);
  return out.str();
}

std::string relation_line(const RelationItem& item) {
  const Index self(item.value.type_index(), item.record.instance_id);
  std::ostringstream out;
  out << relation_name(self) << "  t=" << item.record.timestamp << "  "
      << knowledge_graph::graph::to_string(item.record.marker) << "  "
      << types::to_string(item.value) << "  " << node_name(item.record.from) << " -> "
      << node_name(item.record.to);
  return out.str();
}

json node_json(const NodeItem& item) {
  const std::uint64_t kind = item.value.type_index();
  return {{"kind", std::string(types::node_kind_name(kind))}, {"kind_number", kind},
          {"id", item.record.instance_id}, {"timestamp", item.record.timestamp},
          {"marker", knowledge_graph::graph::to_string(item.record.marker)},
          {"attributes", node_attributes(item.value)}, {"text", types::to_string(item.value)},
          {"outgoing", list_json(item.record.outgoing)},
          {"incoming", list_json(item.record.incoming)}};
}

json relation_json(const RelationItem& item) {
  const std::uint64_t kind = item.value.type_index();
  return {{"kind", std::string(types::relation_kind_name(kind))}, {"kind_number", kind},
          {"id", item.record.instance_id}, {"timestamp", item.record.timestamp},
          {"marker", knowledge_graph::graph::to_string(item.record.marker)},
          {"from", end_json(item.record.from)}, {"to", end_json(item.record.to)},
          {"attributes", relation_attributes(item.value)}, {"text", types::to_string(item.value)}};
}

json scene_json(const KnowledgeGraph& graph, const std::vector<NodeItem>& nodes,
                const std::vector<RelationItem>& relations) {
  json out;
  out["last_update"] = graph.last_update();
  out["autocommit"] = graph.autocommit_enabled();
  out["node_versions"] = graph.node_count();
  out["relation_versions"] = graph.relation_count();
  out["nodes"] = json::array();
  for (const NodeItem& item : nodes) out["nodes"].push_back(node_json(item));
  out["relations"] = json::array();
  for (const RelationItem& item : relations) out["relations"].push_back(relation_json(item));
  return out;
}

std::string scene_dot(const std::vector<NodeItem>& nodes, const std::vector<RelationItem>& relations) {
  std::ostringstream out;
  out << "digraph scene {\n  rankdir=LR;\n  node [shape=box, style=\"rounded,filled\", "
         "fontname=\"Helvetica\", fontsize=10];\n  edge [fontname=\"Helvetica\", fontsize=9];\n";
  for (const NodeItem& item : nodes) {
    const Index self(item.value.type_index(), item.record.instance_id);
    std::string label = node_name(self);
    const json attributes = node_attributes(item.value);
    for (auto it = attributes.begin(); it != attributes.end(); ++it)
      label += "\n" + it.key() + ": " + attribute_text(it.value());
    // Graphviz reads "\n" inside a quoted label as a line break.
    std::string escaped = dot_quoted(label);
    for (std::size_t at = 0; (at = escaped.find('\n', at)) != std::string::npos; at += 2)
      escaped.replace(at, 1, "\\n");
    out << "  " << dot_id(self) << " [label=" << escaped << ", fillcolor=" << fill_colour(self.type_index)
        << "];\n";
  }
  for (const RelationItem& item : relations) {
    std::string label(types::relation_kind_name(item.value.type_index()));
    const json attributes = relation_attributes(item.value);
    for (auto it = attributes.begin(); it != attributes.end(); ++it)
      label += " " + it.key() + "=" + attribute_text(it.value());
    out << "  " << dot_id(item.record.from) << " -> " << dot_id(item.record.to)
        << " [label=" << dot_quoted(label) << "];\n";
  }
  out << "}\n";
  return out.str();
}

}  // namespace varnel::inspect
