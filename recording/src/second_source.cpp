#include <algorithm>
#include <memory>
#include <optional>
#include <string>

#include "recording/scene_reader.hpp"

namespace recording {

// The last moment rebuilt, with the view that reads it.
class MomentCache {
 public:
  const kg::SceneView& view_at(const Recording& recording, std::size_t moment) {
    if (!scene_ || moment_ != moment) {
      view_.reset();
      scene_.reset();
      auto t = recording.moments()[moment].timestamp;
      scene_ = std::make_unique<Scene>(recording.at(t));
      view_.emplace(scene_->graph());
      moment_ = moment;
    }
    return *view_;
  }

 private:
  std::unique_ptr<Scene> scene_;
  std::optional<kg::SceneView> view_;
  std::size_t moment_ = 0;
};

namespace {

std::uint64_t versions_of(const kg::GraphIndices& indices) {
  std::uint64_t total = 0;
  for (std::uint64_t k = 0; k < kg::kNodeKinds; ++k) total += std::min(indices.node_index_tail[k], kg::kNodeVersionsPerKind);
  for (std::uint64_t k = 0; k < kg::kRelationKinds; ++k)
    total += std::min(indices.relation_index_tail[k], kg::kRelationVersionsPerKind);
  return total;
}

}  // namespace

std::uint64_t SceneReader::horizon_of(const Recording& recording, const kg::Snapshot& region) {
  const std::uint64_t last = region.indices.update_timestamp;
  const std::string& path = recording.path();
  if (recording.publications() == 0) throw RecordingError("the recording " + path + " holds no publication");
  if (last > recording.last_time())
    throw RecordingError("the recording " + path + " ends at " + std::to_string(recording.last_time()) +
                         ", before the region's last update " + std::to_string(last) +
                         ": it cannot tell what the region dropped since");
  const auto moment = recording.moment_at(last);
  if (!moment)
    throw RecordingError("the recording " + path + " begins at " + std::to_string(recording.first_time()) +
                         ", after the region's last update " + std::to_string(last) + ": it is of another scene");
  const Recording::Moment& m = recording.moments()[*moment];
  const std::uint64_t held = versions_of(region.indices);
  if (m.versions != held)
    throw RecordingError("the recording " + path + " holds " + std::to_string(m.versions) + " versions at " +
                         std::to_string(last) + " where the region holds " + std::to_string(held) +
                         ": it is of another scene, or the region was cleared or compacted after it");
  return m.keep_since;
}

SceneReader::SceneReader(const kg::KnowledgeGraph& region, std::shared_ptr<const Recording> recording)
    : live_(region), recording_(std::move(recording)), cache_(std::make_shared<MomentCache>()) {
  if (!recording_) throw RecordingError("a second source needs a recording");
}

SceneReader::~SceneReader() = default;

SceneView SceneReader::view() {
  kg::SceneView live = live_.view();
  const std::uint64_t horizon = horizon_of(*recording_, live.snapshot());
  return SceneView(std::move(live), horizon, recording_, cache_);
}

const kg::SceneView& SceneView::source(std::uint64_t t) const {
  if (t >= horizon_) return live_;
  const auto moment = recording_->moment_at(t);
  if (!moment)
    throw RecordingError("the region keeps its history from " + std::to_string(horizon_) + " and the recording " +
                         recording_->path() + " begins at " + std::to_string(recording_->first_time()) +
                         ": neither holds the scene as of " + std::to_string(t));
  return cache_->view_at(*recording_, *moment);
}

std::vector<kg::NodeItem> SceneView::nodes_as_of(kg::NodeKind kind, std::uint64_t t) const {
  return source(t).nodes_as_of(kind, t);
}
std::vector<kg::NodeItem> SceneView::all_nodes_as_of(std::uint64_t t) const { return source(t).all_nodes_as_of(t); }
std::vector<kg::RelationItem> SceneView::relations_as_of(kg::RelationKind kind, std::uint64_t t) const {
  return source(t).relations_as_of(kind, t);
}
std::vector<kg::RelationItem> SceneView::all_relations_as_of(std::uint64_t t) const {
  return source(t).all_relations_as_of(t);
}
std::optional<kg::NodeItem> SceneView::node_at(kg::NodeIndex index, std::uint64_t t) const {
  return source(t).node_at(index, t);
}
std::optional<kg::RelationItem> SceneView::relation_at(kg::RelationIndex index, std::uint64_t t) const {
  return source(t).relation_at(index, t);
}
std::vector<kg::Neighbour> SceneView::outgoing(kg::NodeIndex node, kg::RelationKind kind,
                                               std::optional<std::uint64_t> t) const {
  return (t ? source(*t) : live_).outgoing(node, kind, t);
}
std::vector<kg::Neighbour> SceneView::incoming(kg::NodeIndex node, kg::RelationKind kind,
                                               std::optional<std::uint64_t> t) const {
  return (t ? source(*t) : live_).incoming(node, kind, t);
}
std::vector<kg::RelationItem> SceneView::relations_between(kg::NodeIndex from, kg::NodeIndex to,
                                                           std::optional<std::uint64_t> t) const {
  return (t ? source(*t) : live_).relations_between(from, to, t);
}

}  // namespace recording
