#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "recording/scene_reader.hpp"

#include "newest_versions.hpp"

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

// The name of the kind whose newest version in `region` (below `snapshot`'s
// tails) is not the one `moment` names; nothing when it is, or when the region
// holds no version of that kind (a compaction may have dropped them all).
std::optional<std::string> newest_differs(const kg::KnowledgeGraph& region, const kg::Snapshot& snapshot,
                                          const Recording::Moment& moment) {
  if (moment.newest == 0) return std::nullopt;
  const std::uint64_t kind = (moment.newest >> 26) - 1;
  // The newest version below `tail` in `records`, with its payload from `values`.
  const auto differs = [&](const auto* records, const auto* values, std::uint64_t tail,
                           std::uint64_t value_slots) {
    if (tail == 0) return false;
    const auto record = records[tail - 1];
    std::remove_cvref_t<decltype(values[0])> value{};
    if (record.value_index < value_slots) value = values[record.value_index];
    return newest::pack(kind, newest::digest(record, value)) != moment.newest;
  };
  const kg::GraphIndices& tails = snapshot.indices;
  if (kind < kg::kNodeKinds) {
    if (!differs(region.node_records[kind], region.node_values,
                 std::min(tails.node_index_tail[kind], kg::kNodeVersionsPerKind), kg::kNodeValues))
      return std::nullopt;
    return std::string(kg::types::node_kind_name(kind));
  }
  const std::uint64_t k = kind - kg::kNodeKinds;
  if (!differs(region.relation_records[k], region.relation_values,
               std::min(tails.relation_index_tail[k], kg::kRelationVersionsPerKind), kg::kRelationValues))
    return std::nullopt;
  return std::string(kg::types::relation_kind_name(k));
}

}  // namespace

// The moment the region's publication `region` is in the recording (the last
// publication at or before its last update, holding as many versions).
static std::size_t matching_moment(const Recording& recording, const kg::Snapshot& region) {
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
  return *moment;
}

std::uint64_t SceneReader::horizon_of(const Recording& recording, const kg::Snapshot& region) {
  return recording.moments()[matching_moment(recording, region)].keep_since;
}

SceneReader::SceneReader(const kg::KnowledgeGraph& region, std::shared_ptr<const Recording> recording)
    : region_(region), live_(region), recording_(std::move(recording)), cache_(std::make_shared<MomentCache>()) {
  if (!recording_) throw RecordingError("a second source needs a recording");
}

SceneReader::~SceneReader() = default;

SceneView SceneReader::view() {
  for (int attempt = 0;; ++attempt) {
    kg::SceneView live = live_.view();
    const kg::Snapshot& snapshot = live.snapshot();
    const std::size_t at = matching_moment(*recording_, snapshot);
    // The same counts are not the same drive: the last version the recording's
    // publication appended must be the region's newest of its kind too.
    const Recording::Moment& moment = recording_->moments()[at];
    const std::optional<std::string> differs = newest_differs(region_, snapshot, moment);
    // A clear or compaction under the reads: they read nothing certain; again.
    if (region_.cleared_since(snapshot) && attempt < 16) continue;
    if (differs)
      throw RecordingError("the recording " + recording_->path() + " holds another " + *differs + " as newest at " +
                           std::to_string(snapshot.indices.update_timestamp) +
                           " than the region: it is of another drive with the same counts");
    return SceneView(std::move(live), moment.keep_since, recording_, cache_);
  }
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
