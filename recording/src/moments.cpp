#include "moments.hpp"

#include <algorithm>
#include <vector>

namespace varnel::record {
namespace {
namespace kg = knowledge_graph::graph;
}  // namespace

// A compaction is done again here: the graph holds what the recorded one held
// (payloads in the order their writer gave them out), so keeping the same versions
// puts every kept payload where the recorded graph put it.
bool Republisher::compact(const Publication& p, std::string& error) {
  kg::KnowledgeGraph& g = graph_;
  const auto where = [&] { return "publication " + std::to_string(p.number) + " (a compaction): "; };
  const bool autocommit = g.autocommit_enabled();
  g.set_autocommit(true);
  const auto done = g.compact(p.keep_since);
  if (!autocommit) g.set_autocommit(false);
  if (!done.stored()) {
    error = where() + "the graph refused it (" + std::string(kg::to_string(done.status)) + ")";
    return false;
  }
  const kg::GraphIndices tails = g.snapshot().indices;
  std::uint64_t versions = 0;
  for (auto tail : tails.node_index_tail) versions += tail;
  for (auto tail : tails.relation_index_tail) versions += tail;
  if (versions != p.kept_versions || tails.nodes_tail != p.kept_node_payloads ||
      tails.relations_tail != p.kept_relation_payloads) {
    error = where() + "it kept " + std::to_string(p.kept_versions) + " versions and " +
            std::to_string(p.kept_node_payloads + p.kept_relation_payloads) +
            " payloads where the rebuilt graph keeps " + std::to_string(versions) + " and " +
            std::to_string(tails.nodes_tail + tails.relations_tail) +
            " (the versions before it are not the ones its writer had)";
    return false;
  }
  node_values_.clear();
  relation_values_.clear();
  for (std::uint64_t i = 0; i < tails.nodes_tail; ++i) node_values_.emplace(i, i);
  for (std::uint64_t i = 0; i < tails.relations_tail; ++i) relation_values_.emplace(i, i);
  return true;
}

bool Republisher::publish(const Publication& p, std::string& error) {
  kg::KnowledgeGraph& g = graph_;
  if (p.compacted) return compact(p, error);
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
  // New payloads take fresh positions in the order their writer gave them out, so
  // a replay of a whole epoch puts every payload where it was.
  std::vector<std::pair<std::uint64_t, const kg::KnowledgeGraphNode*>> node_payloads;
  for (const auto& item : p.nodes)
    if (!node_values_.count(item.record.value_index)) node_payloads.emplace_back(item.record.value_index, &item.value);
  std::sort(node_payloads.begin(), node_payloads.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [recorded, value] : node_payloads)
    if (node_values_.emplace(recorded, w.nodes_tail).second) g.node_values[w.nodes_tail++] = *value;
  std::vector<std::pair<std::uint64_t, const kg::KnowledgeGraphRelation*>> relation_payloads;
  for (const auto& item : p.relations)
    if (!relation_values_.count(item.record.value_index))
      relation_payloads.emplace_back(item.record.value_index, &item.value);
  std::sort(relation_payloads.begin(), relation_payloads.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [recorded, value] : relation_payloads)
    if (relation_values_.emplace(recorded, w.relations_tail).second)
      g.relation_values[w.relations_tail++] = *value;
  for (const auto& item : p.nodes) {
    kg::NodeRecord record = item.record;
    record.value_index = node_values_.at(record.value_index);
    g.node_records[item.value.tag][w.node_index_tail[item.value.tag]++] = record;
  }
  for (const auto& item : p.relations) {
    kg::RelationRecord record = item.record;
    record.value_index = relation_values_.at(record.value_index);
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
