#include "moments.hpp"

#include <algorithm>
#include <optional>
#include <type_traits>
#include <vector>

#include "knowledge_graph/graph/raw_span.hpp"

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

// A publication goes in as one raw span, through the graph's own installation:
// its versions are checked as a mirror's are, the lookup index follows, and a
// publication that starts afresh replaces the scene in place under the graph's
// guard, so readers of a replayed region never see slots rewritten under them.
bool Republisher::publish(const Publication& p, std::string& error) {
  kg::KnowledgeGraph& g = graph_;
  if (p.compacted) return compact(p, error);
  const auto where = [&] { return "publication " + std::to_string(p.number); };
  const bool fresh = starts_afresh(p);
  const kg::GraphIndices from = fresh ? kg::GraphIndices{} : g.snapshot().indices;

  // Payloads this publication adds, by their recorded position; a fresh start
  // forgets the earlier ones only once it is installed.
  std::unordered_map<std::uint64_t, std::uint64_t> added_nodes, added_relations;
  const auto position = [fresh](const std::unordered_map<std::uint64_t, std::uint64_t>& added,
                                const std::unordered_map<std::uint64_t, std::uint64_t>& known,
                                std::uint64_t recorded) -> std::optional<std::uint64_t> {
    if (auto found = added.find(recorded); found != added.end()) return found->second;
    if (fresh) return std::nullopt;
    if (auto found = known.find(recorded); found != known.end()) return found->second;
    return std::nullopt;
  };

  kg::SpanParts parts;
  // One side (nodes, then relations): new payloads take fresh positions in the
  // order their writer gave them out, so a replay of a whole epoch puts every
  // payload where it was; then each version points at its payload's position.
  const auto side = [&](const auto& items, const auto& known, auto& added, std::uint64_t tail,
                        auto& values, auto& versions, std::size_t kinds, const char* kind) {
    using Value = typename std::decay_t<decltype(values)>::value_type;
    std::vector<std::pair<std::uint64_t, const Value*>> payloads;
    for (const auto& item : items) {
      if (item.value.tag >= kinds) {
        error = where() + " holds a " + kind + " of kind " + std::to_string(item.value.tag) +
                ", beyond the vocabulary";
        return false;
      }
      if (!position(added, known, item.record.value_index) && added.emplace(item.record.value_index, 0).second)
        payloads.emplace_back(item.record.value_index, &item.value);
    }
    std::sort(payloads.begin(), payloads.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [recorded, value] : payloads) {
      added[recorded] = tail + values.size();
      values.push_back(*value);
    }
    for (const auto& item : items) {
      auto record = item.record;
      record.value_index = *position(added, known, record.value_index);
      versions[item.value.tag].push_back(record);
    }
    return true;
  };
  if (!side(p.nodes, node_values_, added_nodes, from.nodes_tail, parts.node_values, parts.node_versions,
            kg::kNodeKinds, "node") ||
      !side(p.relations, relation_values_, added_relations, from.relations_tail, parts.relation_values,
            parts.relation_versions, kg::kRelationKinds, "relation"))
    return false;

  const kg::GraphIndices to = kg::span_end(from, parts, p.timestamp);
  if (auto shape = kg::span_shape_error(from, to)) {
    error = where() + " does not fit a graph (" + *shape + ")";
    return false;
  }
  const bool autocommit = g.autocommit_enabled();
  if (!autocommit) g.set_autocommit(true);
  const kg::InstallResult installed = kg::install_raw_span(g, from, to, kg::raw_span_bytes(parts), fresh);
  if (!autocommit) g.set_autocommit(false);
  if (installed.status != kg::InstallStatus::Installed) {
    error = where() + ": the graph refused it (" + installed.reason + ")";
    return false;
  }
  if (fresh) {
    node_values_ = std::move(added_nodes);
    relation_values_ = std::move(added_relations);
  } else {
    node_values_.merge(added_nodes);
    relation_values_.merge(added_relations);
  }
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
