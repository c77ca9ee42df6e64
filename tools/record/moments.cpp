#include "moments.hpp"

#include <algorithm>

namespace varnel::record {
namespace {
namespace kg = knowledge_graph::graph;
}  // namespace

bool Republisher::publish(const Publication& p, std::string& error) {
  kg::KnowledgeGraph& g = graph_;
  const bool fresh = starts_afresh(p);
  // Check the capacities before anything is written.
  kg::GraphIndices tails = fresh ? kg::GraphIndices{} : g.snapshot().indices;
  std::size_t new_node_values = 0, new_relation_values = 0;
  {
    std::unordered_map<std::uint64_t, bool> seen_nodes, seen_relations;
    for (const auto& item : p.nodes) {
      if (item.value.tag >= kg::kNodeKinds ||
          ++tails.node_index_tail[item.value.tag] > kg::kNodeVersionsPerKind) {
        error = "publication " + std::to_string(p.number) + " holds more " +
                std::string(kg::types::node_kind_name(item.value.tag)) + " versions than a graph has slots";
        return false;
      }
      if ((fresh || !node_values_.count(item.record.value_index)) &&
          seen_nodes.emplace(item.record.value_index, true).second)
        ++new_node_values;
    }
    for (const auto& item : p.relations) {
      if (item.value.tag >= kg::kRelationKinds ||
          ++tails.relation_index_tail[item.value.tag] > kg::kRelationVersionsPerKind) {
        error = "publication " + std::to_string(p.number) + " holds more " +
                std::string(kg::types::relation_kind_name(item.value.tag)) +
                " versions than a graph has slots";
        return false;
      }
      if ((fresh || !relation_values_.count(item.record.value_index)) &&
          seen_relations.emplace(item.record.value_index, true).second)
        ++new_relation_values;
    }
    if (tails.nodes_tail + new_node_values > kg::kNodeValues ||
        tails.relations_tail + new_relation_values > kg::kRelationValues) {
      error = "publication " + std::to_string(p.number) + " needs more payloads than a graph holds";
      return false;
    }
  }

  const bool autocommit = g.autocommit_enabled();
  g.set_autocommit(false);
  g.start_transaction();
  if (fresh) {
    g.clear();
    node_values_.clear();
    relation_values_.clear();
  }
  kg::GraphIndices w = g.working_buffer();
  for (const auto& item : p.nodes) {
    kg::NodeRecord record = item.record;
    auto [it, added] = node_values_.emplace(record.value_index, w.nodes_tail);
    if (added) g.node_values[w.nodes_tail++] = item.value;
    record.value_index = it->second;
    g.node_records[item.value.tag][w.node_index_tail[item.value.tag]++] = record;
  }
  for (const auto& item : p.relations) {
    kg::RelationRecord record = item.record;
    auto [it, added] = relation_values_.emplace(record.value_index, w.relations_tail);
    if (added) g.relation_values[w.relations_tail++] = item.value;
    record.value_index = it->second;
    g.relation_records[item.value.tag][w.relation_index_tail[item.value.tag]++] = record;
  }
  w.update_timestamp = p.timestamp;
  g.publish(w);
  g.commit_transaction();
  if (autocommit) g.set_autocommit(true);
  return true;
}

std::optional<std::size_t> moment_at(const Recording& recording, std::uint64_t time) {
  std::optional<std::size_t> found;
  for (std::size_t i = 0; i < recording.publications.size(); ++i)
    if (recording.publications[i].timestamp <= time) found = i;
  return found;
}

bool install_moment(const Recording& recording, std::size_t moment, kg::KnowledgeGraph& graph,
                    std::string& error) {
  if (moment >= recording.publications.size()) {
    error = "the recording has no publication " + std::to_string(moment + 1);
    return false;
  }
  std::size_t first = moment;
  while (first > 0 && !starts_afresh(recording.publications[first])) --first;
  Republisher republisher(graph);
  for (std::size_t i = first; i <= moment; ++i)
    if (!republisher.publish(recording.publications[i], error)) return false;
  return true;
}

}  // namespace varnel::record
