#include "recording/recording.hpp"

#include <algorithm>

#include "moments.hpp"
#include "newest_versions.hpp"
#include "recording.hpp"

namespace recording {
namespace {

namespace kg = knowledge_graph::graph;
using varnel::record::Publication;

std::string named(const std::string& path, const std::string& error) {
  return error.find(path) != std::string::npos ? error : path + ": " + error;
}

}  // namespace

Recording::Recording(std::string path) : path_(std::move(path)) {
  std::string error;
  std::size_t base = 0;
  std::uint64_t keep_since = 0, versions = 0;
  std::uint32_t newest = 0;
  const auto info = varnel::record::read_publications(path_, [&](Publication&& p, std::string&) {
    if (varnel::record::starts_afresh(p)) {
      base = moments_.size();
      keep_since = 0;
      versions = 0;
      newest = 0;
    }
    if (p.compacted) {
      keep_since = p.keep_since;
      versions = p.kept_versions;
    }
    versions += p.nodes.size() + p.relations.size();
    // Node versions come before relation versions, each kind's in slot order.
    if (!p.relations.empty()) {
      newest = newest::pack(kg::kNodeKinds + p.relations.back().value.type_index(),
                            newest::digest(p.relations.back().record, p.relations.back().value));
    } else if (!p.nodes.empty()) {
      newest = newest::pack(p.nodes.back().value.type_index(),
                            newest::digest(p.nodes.back().record, p.nodes.back().value));
    }
    moments_.push_back({.timestamp = p.timestamp,
                        .keep_since = keep_since,
                        .versions = versions,
                        .base = static_cast<std::uint32_t>(base),
                        .newest = newest});
    return true;
  }, error);
  if (!info) throw RecordingError(named(path_, error));
  ordered_ = std::is_sorted(moments_.begin(), moments_.end(),
                            [](const Moment& a, const Moment& b) { return a.timestamp < b.timestamp; });
  versions_ = info->versions;
  gaps_ = info->gaps;
  time_unit_ = info->time_unit;
}

std::optional<std::size_t> Recording::moment_at(std::uint64_t t) const {
  // Timestamps run forward where the host's clock did; the last one at or before
  // t is found from the end otherwise.
  if (ordered_) {
    auto after = std::upper_bound(moments_.begin(), moments_.end(), t,
                                  [](std::uint64_t time, const Moment& m) { return time < m.timestamp; });
    if (after == moments_.begin()) return std::nullopt;
    return static_cast<std::size_t>(after - moments_.begin() - 1);
  }
  for (std::size_t i = moments_.size(); i-- > 0;)
    if (moments_[i].timestamp <= t) return i;
  return std::nullopt;
}

void Recording::install(std::size_t moment, kg::KnowledgeGraph& graph) const {
  varnel::record::Republisher republisher(graph);
  std::string failure, error;
  const std::size_t first = moments_[moment].base;
  // Through the chunk index: only the chunks from the fresh start to the moment.
  varnel::record::MomentRead read;
  std::uint64_t last = 0;
  const varnel::record::PublicationSink put = [&](Publication&& p, std::string& why) {
    last = p.number;
    if (!republisher.publish(p, failure)) {
      why = failure;
      return false;
    }
    return true;
  };
  const auto seek = varnel::record::read_moment(path_, moments_[moment].timestamp, put, read, error);
  if (seek == varnel::record::Seek::read && read.moment && *read.moment == moment + 1 && last == moment + 1)
    return;
  if (seek == varnel::record::Seek::failed) throw RecordingError(named(path_, error));
  // A file without chunk indexes (or whose clock went back): front to back.
  graph.initialize();
  graph.clear();
  varnel::record::Republisher again(graph);
  std::size_t index = 0;
  failure.clear();
  error.clear();
  varnel::record::read_publications(path_, [&](Publication&& p, std::string&) {
    const std::size_t i = index++;
    if (i > moment) return false;
    return i < first || again.publish(p, failure);
  }, error);
  if (!failure.empty()) throw RecordingError(named(path_, failure));
  if (index <= moment) throw RecordingError(named(path_, error));
}

void Recording::install_at(std::optional<std::uint64_t> t, kg::KnowledgeGraph& graph) const {
  const std::optional<std::size_t> moment = t ? moment_at(*t) : (moments_.empty() ? std::nullopt
                                                                                  : std::optional(moments_.size() - 1));
  if (!moment)
    throw RecordingError("the recording " + path_ + " begins after " + (t ? std::to_string(*t) : "its end") +
                         " (its first publication is stamped " + std::to_string(first_time()) + ")");
  install(*moment, graph);
}

Scene Recording::at(std::optional<std::uint64_t> t) const {
  Scene scene(kg::KnowledgeGraph::new_boxed());
  install_at(t, *scene.graph_);
  return scene;
}

std::vector<kg::NodeItem> Recording::history(kg::NodeIndex node) const {
  std::vector<kg::NodeItem> out;
  std::string error;
  const auto kind = static_cast<std::uint64_t>(node.kind);
  const auto read = varnel::record::read_publications(path_, [&](Publication&& p, std::string&) {
    for (const auto& item : p.nodes)
      if (item.value.tag == kind && item.record.instance_id == node.instance_id) out.push_back(item);
    return true;
  }, error);
  if (!read) throw RecordingError(named(path_, error));
  return out;
}

std::vector<kg::RelationItem> Recording::history(kg::RelationIndex relation) const {
  std::vector<kg::RelationItem> out;
  std::string error;
  const auto kind = static_cast<std::uint64_t>(relation.kind);
  const auto read = varnel::record::read_publications(path_, [&](Publication&& p, std::string&) {
    for (const auto& item : p.relations)
      if (item.value.tag == kind && item.record.instance_id == relation.instance_id) out.push_back(item);
    return true;
  }, error);
  if (!read) throw RecordingError(named(path_, error));
  return out;
}

}  // namespace recording
