// Putting recorded publications back into a graph: into a private graph to read
// the scene as it stood at some moment, or into the shared region (replay).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "recording.hpp"

namespace varnel::record {

// Whether a publication starts from an empty graph: the scene at recording start,
// after a clear, or after a gap (the scene as it stood once recording resumed).
inline bool starts_afresh(const Publication& p) { return p.start || p.cleared || p.gap; }

// Appends the versions of publications to a graph as their writer did, one
// publication per batch (one flip each), and compacts where its writer compacted,
// so that a recorder of the region sees the same boundaries. Payload positions are mapped to fresh ones per clear.
class Republisher {
 public:
  explicit Republisher(knowledge_graph::graph::KnowledgeGraph& graph) : graph_(graph) {}
  // False (with a reason, nothing of `p` published) when `p` does not fit the
  // graph's capacities.
  bool publish(const Publication& p, std::string& error);

 private:
  bool compact(const Publication& p, std::string& error);
  knowledge_graph::graph::KnowledgeGraph& graph_;
  std::unordered_map<std::uint64_t, std::uint64_t> node_values_, relation_values_;
};

// The last publication (index into `recording.publications`) whose timestamp is
// at or before `time`; nothing when every publication comes later.
std::optional<std::size_t> moment_at(const Recording& recording, std::uint64_t time);

// Fills `graph` (fresh, default state) with the scene as the recorded graph held
// it right after publication `moment`: the versions since the last fresh start.
bool install_moment(const Recording& recording, std::size_t moment,
                    knowledge_graph::graph::KnowledgeGraph& graph, std::string& error);

}  // namespace varnel::record
