#include "recording_writer.hpp"

#include <cstring>

#include <nlohmann/json.hpp>

#include "mcap.hpp"
#include "render.hpp"
#include "scene_channel.hpp"
#include "snapshot_file.hpp"

namespace varnel::record {
namespace {

namespace kg = knowledge_graph::graph;
namespace types = knowledge_graph::graph::types;
using nlohmann::json;

constexpr std::uint16_t kNodeChannelBase = 1;       // node kind k: channel 1 + k
constexpr std::uint16_t kRelationChannelBase = 32;  // relation kind k: channel 32 + k
constexpr std::uint16_t kPublicationChannel = 100;
constexpr const char* kRecordingMetadata = "varnel.recording";
constexpr const char* kSummaryMetadata = "varnel.summary";

std::string hex(const unsigned char* bytes, std::size_t size) {
  while (size > 0 && bytes[size - 1] == 0) --size;  // trailing zeros are implied
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < size; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

json list_json(const kg::RelationList& list) {
  json out = json::array();
  for (std::size_t slot = 0; slot < list.size(); ++slot)
    if (!list[slot].is_empty())
      out.push_back({slot, list[slot].type_index, list[slot].instance_id});
  return out;
}

json end_json(const kg::Index& node) {
  return {{"kind", std::string(types::node_kind_name(node.type_index))},
          {"type_index", node.type_index},
          {"id", node.instance_id}};
}

json node_message(const NodeItem& item, std::uint64_t publication) {
  json out = {{"publication", publication},
              {"timestamp", item.record.timestamp},
              {"kind", std::string(types::node_kind_name(item.value.type_index()))},
              {"id", item.record.instance_id},
              {"marker", kg::to_string(item.record.marker)},
              {"value_index", item.record.value_index},
              {"outgoing", list_json(item.record.outgoing)},
              {"incoming", list_json(item.record.incoming)},
              {"payload", hex(item.value.payload, sizeof item.value.payload)}};
  // The JSON is kept while its attributes are copied (a range over a temporary's member would dangle).
  const json shown = inspect::node_json(item);
  for (auto& [name, value] : shown["attributes"].items()) out[name] = value;
  return out;
}

json relation_message(const RelationItem& item, std::uint64_t publication) {
  json out = {{"publication", publication},
              {"timestamp", item.record.timestamp},
              {"kind", std::string(types::relation_kind_name(item.value.type_index()))},
              {"id", item.record.instance_id},
              {"marker", kg::to_string(item.record.marker)},
              {"value_index", item.record.value_index},
              {"from", end_json(item.record.from)},
              {"to", end_json(item.record.to)},
              {"payload", hex(item.value.payload, sizeof item.value.payload)}};
  const json shown = inspect::relation_json(item);
  for (auto& [name, value] : shown["attributes"].items()) out[name] = value;
  return out;
}

// The JSON Schema of one field of a kind's record, as the inspector's JSON shows it.
json field_schema(const types::Field& field) {
  switch (field.type) {
    case types::FieldType::i32: return {{"type", "integer"}};
    case types::FieldType::f32: return {{"type", json::array({"number", "null"})}};  // NaN, inf as null
    case types::FieldType::RawString: return {{"type", "string"}};
    case types::FieldType::Vector3f:
    case types::FieldType::Vector2f: {
      json properties = json::object();
      for (const types::Field& component : types::components(field.type))
        properties[std::string(component.name)] = field_schema(component);
      return {{"type", "object"}, {"properties", properties}};
    }
  }
  return json::object();
}

std::string kind_schema(bool relation, std::uint64_t kind, const std::string& name) {
  const json index_entry = {{"type", "object"},
                            {"properties",
                             {{"kind", {{"type", "string"}}},
                              {"type_index", {{"type", "integer"}}},
                              {"id", {{"type", "integer"}}}}}};
  const json list_entry = {{"type", "array"},
                           {"description", "[list slot, relation kind number, relation instance id]"},
                           {"items", {{"type", "integer"}}},
                           {"minItems", 3},
                           {"maxItems", 3}};
  json properties = {
      {"publication", {{"type", "integer"}, {"description", "the publication that made this version visible"}}},
      {"timestamp", {{"type", "integer"}, {"description", "the host's timestamp of the write"}}},
      {"kind", {{"type", "string"}}},
      {"id", {{"type", "integer"}, {"description", "instance id within the kind"}}},
      {"marker", {{"type", "string"}, {"enum", {"None", "Valid", "Removed"}}}},
      {"value_index", {{"type", "integer"}}},
      {"payload", {{"type", "string"}, {"description", "payload bytes in hex, trailing zeros left out"}}}};
  if (relation) {
    properties["from"] = index_entry;
    properties["to"] = index_entry;
  } else {
    properties["outgoing"] = {{"type", "array"}, {"items", list_entry}};
    properties["incoming"] = {{"type", "array"}, {"items", list_entry}};
  }
  for (const types::Field& field : relation ? types::relation_fields(kind) : types::node_fields(kind))
    properties[std::string(field.name)] = field_schema(field);
  return json{{"title", name}, {"type", "object"}, {"properties", properties}}.dump();
}

std::string publication_schema() {
  return json{{"title", "publication"},
              {"type", "object"},
              {"properties",
               {{"publication", {{"type", "integer"}}},
                {"timestamp", {{"type", "integer"}}},
                {"nodes", {{"type", "integer"}}},
                {"relations", {{"type", "integer"}}},
                {"start", {{"type", "boolean"}}},
                {"cleared", {{"type", "boolean"}}},
                {"gap", {{"type", "boolean"}}},
                {"merged", {{"type", "integer"}}},
                {"compacted", {{"type", "boolean"}}},
                {"keep_since", {{"type", "integer"}}},
                {"kept",
                 {{"type", "object"},
                  {"properties",
                   {{"versions", {{"type", "integer"}}},
                    {"node_payloads", {{"type", "integer"}}},
                    {"relation_payloads", {{"type", "integer"}}}}}}}}}}
      .dump();
}

}  // namespace

json version_message(const NodeItem& item, std::uint64_t publication) { return node_message(item, publication); }
json version_message(const RelationItem& item, std::uint64_t publication) {
  return relation_message(item, publication);
}

bool RecordingWriter::open(const std::string& path, const std::string& time_unit, std::string& error) {
  scale_ = nanoseconds_per_unit(time_unit);
  if (scale_ == 0) {
    error = "unknown time unit \"" + time_unit + "\": give ms, us or ns";
    return false;
  }
  info_ = RecordingInfo{};
  info_.time_unit = time_unit;
  mcap_.options.compression = compression;
  mcap_.chunk_size = chunk_size;
  mcap_.open_output = inspect::open_output_file;  // never through a link planted at the name
  if (!mcap_.open(path, "varnel-inspect record", error)) return false;
  mcap_.add_metadata(kRecordingMetadata,
                     {{"format", "1"},
                      {"timestamp_unit", time_unit},
                      {"log_time", "host timestamp x " + std::to_string(scale_) +
                                       " ns, capped at 2^64-1; each message's `timestamp` is exact"},
                      {"boundaries", "each version's `publication`; a message on /publications ends each "
                                     "publication and is written after its versions"}});
  mcap_.add_schema({kPublicationChannel, "varnel.publication", "jsonschema", publication_schema()});
  mcap_.add_channel({kPublicationChannel, kPublicationChannel, "/publications", "json", {}});
  return true;
}

void RecordingWriter::add_scene() {
  scene_ = std::make_shared<SceneChannel>(scale_);
  scene_->open(mcap_);
}

std::uint64_t RecordingWriter::log_time(std::uint64_t timestamp) const {
  if (timestamp > std::numeric_limits<std::uint64_t>::max() / scale_)
    return std::numeric_limits<std::uint64_t>::max();
  return timestamp * scale_;
}

std::uint16_t RecordingWriter::channel_for(bool relation, std::uint64_t kind) {
  const auto id = static_cast<std::uint16_t>((relation ? kRelationChannelBase : kNodeChannelBase) + kind);
  const std::string name(relation ? types::relation_kind_name(kind) : types::node_kind_name(kind));
  mcap_.add_schema({id, "varnel." + name, "jsonschema", kind_schema(relation, kind, name)});
  mcap_.add_channel({id, id, std::string(relation ? "/relations/" : "/nodes/") + name, "json",
                     {{"kind_number", std::to_string(kind)}}});
  return id;
}

void RecordingWriter::write(const Publication& p) {
  const std::uint64_t number = ++info_.publications;
  for (const auto& item : p.nodes) {
    const std::uint64_t kind = std::min<std::uint64_t>(item.value.type_index(), kg::kNodeKinds - 1);
    mcap_.add_message({channel_for(false, kind), sequence_++, log_time(item.record.timestamp),
                       log_time(item.record.timestamp), node_message(item, number).dump()});
  }
  for (const auto& item : p.relations) {
    const std::uint64_t kind = std::min<std::uint64_t>(item.value.type_index(), kg::kRelationKinds - 1);
    mcap_.add_message({channel_for(true, kind), sequence_++, log_time(item.record.timestamp),
                       log_time(item.record.timestamp), relation_message(item, number).dump()});
  }
  info_.versions += p.nodes.size() + p.relations.size();
  if (p.gap) ++info_.gaps;
  info_.merged += p.merged > 1 ? p.merged - 1 : 0;
  if (scene_) scene_->write(p, sequence_++, log_time(p.timestamp), mcap_);
  json marker = {{"publication", number}, {"timestamp", p.timestamp},
                 {"nodes", p.nodes.size()}, {"relations", p.relations.size()},
                 {"start", p.start}, {"cleared", p.cleared}, {"gap", p.gap},
                 {"merged", p.merged}};
  if (p.compacted) {
    marker["compacted"] = true;
    marker["keep_since"] = p.keep_since;
    marker["kept"] = {{"versions", p.kept_versions},
                      {"node_payloads", p.kept_node_payloads},
                      {"relation_payloads", p.kept_relation_payloads}};
  }
  mcap_.add_message({kPublicationChannel, sequence_++, log_time(p.timestamp), log_time(p.timestamp),
                     marker.dump()});
  if (mcap_.chunk_bytes() >= mcap_.chunk_size) mcap_.flush_chunk();
}

bool RecordingWriter::close(std::string& error) {
  if (!mcap_.is_open()) return true;
  mcap_.add_metadata(kSummaryMetadata, {{"publications", std::to_string(info_.publications)},
                                        {"versions", std::to_string(info_.versions)},
                                        {"gaps", std::to_string(info_.gaps)},
                                        {"merged_publications", std::to_string(info_.merged)}});
  return mcap_.close(error);
}

}  // namespace varnel::record
