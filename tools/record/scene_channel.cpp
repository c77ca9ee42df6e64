#include "scene_channel.hpp"

#include <vector>

#include "moments.hpp"

namespace varnel::record {

namespace kg = knowledge_graph::graph;

void SceneChannel::open(mcap::Writer& writer) {
  writer.add_schema({kChannel, inspect::kSceneUpdateSchemaName, "jsonschema", inspect::scene_update_schema()});
  writer.add_channel({kChannel, kChannel, "/scene", "json", {}});
}

void SceneChannel::write(const Publication& p, std::uint32_t sequence, std::uint64_t log_time,
                         mcap::Writer& writer) {
  if (starts_afresh(p)) {
    nodes_.clear();
    relations_.clear();
  }
  // The current scene: per instance its latest version, while Valid.
  for (const NodeItem& item : p.nodes) {
    const Key key{item.value.type_index(), item.record.instance_id};
    if (item.record.marker == kg::Marker::Valid) nodes_[key] = item;
    else nodes_.erase(key);
  }
  for (const RelationItem& item : p.relations) {
    const Key key{item.value.type_index(), item.record.instance_id};
    if (item.record.marker == kg::Marker::Valid) relations_[key] = item;
    else relations_.erase(key);
  }
  std::vector<NodeItem> nodes;
  std::vector<RelationItem> relations;
  nodes.reserve(nodes_.size());
  relations.reserve(relations_.size());
  for (const auto& [key, item] : nodes_) nodes.push_back(item);
  for (const auto& [key, item] : relations_) relations.push_back(item);
  builder_.update(nodes, relations, p.timestamp);
  writer.add_message({kChannel, sequence, log_time, log_time, builder_.full()});
}

}  // namespace varnel::record
