// How the inspector shows a graph: kind names, one-line texts, JSON and Graphviz.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "knowledge_graph/graph/knowledge_graph.hpp"

namespace varnel::inspect {

using knowledge_graph::graph::Index;
using knowledge_graph::graph::KnowledgeGraph;
using knowledge_graph::graph::NodeItem;
using knowledge_graph::graph::RelationItem;

// A node kind or a relation kind given by number or by name (any letter case).
std::optional<std::uint64_t> parse_node_kind(const std::string& text);
std::optional<std::uint64_t> parse_relation_kind(const std::string& text);

// "Car 7" for a node, "isOn 3" for a relation.
std::string node_name(const Index& node);
std::string relation_name(const Index& relation);

// One line per version, in the graph's own text forms.
std::string node_line(const NodeItem& item);
std::string relation_line(const RelationItem& item);

nlohmann::json node_json(const NodeItem& item);
nlohmann::json relation_json(const RelationItem& item);
// The scene as {"nodes": [...], "relations": [...]} plus the bookkeeping.
nlohmann::json scene_json(const KnowledgeGraph& graph, const std::vector<NodeItem>& nodes,
                          const std::vector<RelationItem>& relations);

// A Graphviz digraph: nodes labelled with their attributes, relations as edges.
std::string scene_dot(const std::vector<NodeItem>& nodes, const std::vector<RelationItem>& relations);

}  // namespace varnel::inspect
