// The record's fixed capacities as the caller sees them: how full each array is,
// and refusals in words that name the kind or node and the limit met.
#include <string>

#include "knowledge_graph/graph/knowledge_graph.hpp"

namespace knowledge_graph::graph {
namespace {

std::string kind_text(std::string_view family, std::string_view name, std::uint64_t kind) {
  std::string text = std::string(family) + " kind ";
  if (!name.empty()) text += std::string(name) + " (" + std::to_string(kind) + ")";
  else text += std::to_string(kind);
  return text;
}

std::string node_text(Index node) {
  return "node " + std::string(types::node_kind_name(node.type_index).empty()
                                   ? std::to_string(node.type_index)
                                   : types::node_kind_name(node.type_index)) +
         " " + std::to_string(node.instance_id);
}

std::string named(std::string_view family, std::string_view name, Index index) {
  if (name.empty())
    return std::string(family) + " kind " + std::to_string(index.type_index) + " " +
           std::to_string(index.instance_id);
  return std::string(name) + " " + std::to_string(index.instance_id);
}

}  // namespace

std::string describe_node(Index node) {
  return named("node", types::node_kind_name(node.type_index), node);
}

std::string describe_relation(Index relation) {
  return named("relation", types::relation_kind_name(relation.type_index), relation);
}

std::string describe_refusal(std::string_view operation, const std::string& subject,
                             WriteStatus status, Index limit, const std::string& ends) {
  std::string text(operation);
  text += ": ";
  switch (status) {
    case WriteStatus::NotFound: return text + subject + " not found";
    case WriteStatus::NodeMissing:
      return text + subject + (ends.empty() ? std::string() : " " + ends) +
             ": an end node has no version";
    case WriteStatus::KindOutOfRange:
      return text + subject + ": a kind number outside the vocabulary (nodes 0-17, relations 0-16)";
    case WriteStatus::NotWriter:
      return text + subject + ": another live process writes the region";
    default: break;
  }
  return text + subject + " refused: " + describe(status, limit);
}

std::string describe(WriteStatus status, Index limit) {
  const std::string name(to_string(status));
  switch (status) {
    case WriteStatus::NodeVersionsFull:
      return name + ": " + kind_text("node", types::node_kind_name(limit.type_index),
                                     limit.type_index) +
             " has used all " + std::to_string(kNodeVersionsPerKind) + " version slots";
    case WriteStatus::RelationVersionsFull:
      return name + ": " + kind_text("relation", types::relation_kind_name(limit.type_index),
                                     limit.type_index) +
             " has used all " + std::to_string(kRelationVersionsPerKind) + " version slots";
    case WriteStatus::NodeValuesFull:
      return name + ": all " + std::to_string(kNodeValues) +
             " node payloads (shared by every node kind) are used";
    case WriteStatus::RelationValuesFull:
      return name + ": all " + std::to_string(kRelationValues) +
             " relation payloads (shared by every relation kind) are used";
    case WriteStatus::OutgoingListFull:
    case WriteStatus::IncomingListFull:
      return name + ": " + node_text(limit) + " lists " + std::to_string(kListEntries) + " " +
             (status == WriteStatus::OutgoingListFull ? "outgoing" : "incoming") +
             " relations, none of them stale";
    default: return name;
  }
}

Fill fill_of(const GraphIndices& indices) {
  Fill fill;
  for (std::uint64_t k = 0; k < kNodeKinds; ++k)
    fill.node_versions[k] = {indices.node_index_tail[k], kNodeVersionsPerKind};
  fill.node_values = {indices.nodes_tail, kNodeValues};
  for (std::uint64_t k = 0; k < kRelationKinds; ++k)
    fill.relation_versions[k] = {indices.relation_index_tail[k], kRelationVersionsPerKind};
  fill.relation_values = {indices.relations_tail, kRelationValues};
  return fill;
}

Fill KnowledgeGraph::fill() const { return fill_of(snapshot().indices); }

}  // namespace knowledge_graph::graph
