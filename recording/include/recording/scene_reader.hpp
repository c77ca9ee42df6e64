// A region's reader with its recording as a second source: reads as of times
// the region's history window dropped are answered from the recording, with the
// results the region would give had it kept everything.
//
//   recording::SceneReader reader(session->graph(), std::make_shared<recording::Recording>("drive.mcap"));
//   recording::SceneView view = reader.view();
//   auto cars = view.nodes_as_of(NodeKind::Car, t);  // from the region, or from the recording
//
// The horizon. A region that compacted with keep_since K (the history window)
// answers every read as of t >= K exactly and reads as of t < K only with what
// it kept. The region's record does not keep K (its recorder link holds the
// last one, and only while a recorder is attached, for that recorder); the
// recording does: it marks each of the host's compactions with its keep_since. A view's horizon is the
// keep_since of the last compaction the recording holds since the fresh start
// (recording start, clear, gap) on which the region's current publication
// builds, or 0 when it holds none: "older than the region's oldest version"
// means t < horizon. Reads as of t >= horizon are the region's (the live
// SceneView's, unchanged); reads as of t < horizon are answered from the
// recording's scene at t (Recording::at(t)), rebuilt once per moment and kept
// by the reader for the next reads of that moment.
//
// The match. Before it trusts the recording, a view checks that the recording
// holds the region's history: the last publication stamped at or before the
// region's last update must leave as many versions as the region holds, and
// the last version it appended must be the region's newest of its kind
// (identity, time, marker, payload). A recording of another scene or of
// another drive with the same counts, one that ended before the region's last update
// (the region may have compacted since), or a region cleared or compacted
// after the recording ended gives RecordingError from view(), not a wrong
// answer. A read as of t < horizon that the recording does not cover (t before
// its first publication) gives RecordingError too.
//
// Routed by t: nodes_as_of, relations_as_of (one kind or all), node_at,
// relation_at, and outgoing, incoming, relations_between given a t. Every other
// read (current state, windows, histories, columns, counts) is the region's
// alone, through live().
//
// Thread rules: a reader and its views as knowledge_graph::graph::SceneReader's
// (one thread at a time each); the Recording is shared and may be shared with
// other readers in any thread.
//
// Caveats: a compaction the host made before the recording started (or before
// a gap) is not in the recording: the horizon then only counts the ones
// recorded since, so record from the host's start for old reads to be exact.
// The recording must be complete (closed by its recorder). Each moment rebuilt
// is a private graph: its memory follows the versions it holds. The first read
// of a moment replays the publications since the fresh start before it (only
// their chunks are read, but all of them): its time follows the length of the
// drive up to it (the middle of 5,000 publications of 24 cars: about 0.7 s on
// a loaded 2-core machine); later reads of that moment cost what a private
// graph's do.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "knowledge_graph/graph/scene_view.hpp"
#include "recording/recording.hpp"

namespace recording {

namespace kg = knowledge_graph::graph;

// The scenes of the recording a reader rebuilt (one moment at a time).
class MomentCache;

class SceneView {
 public:
  // The region's view this one reads through for t >= horizon().
  const kg::SceneView& live() const { return live_; }
  std::uint64_t last_update() const { return live_.last_update(); }
  // Reads as of t < horizon() come from the recording.
  std::uint64_t horizon() const { return horizon_; }

  std::vector<kg::NodeItem> nodes_as_of(kg::NodeKind kind, std::uint64_t t) const;
  std::vector<kg::NodeItem> all_nodes_as_of(std::uint64_t t) const;
  std::vector<kg::RelationItem> relations_as_of(kg::RelationKind kind, std::uint64_t t) const;
  std::vector<kg::RelationItem> all_relations_as_of(std::uint64_t t) const;
  std::optional<kg::NodeItem> node_at(kg::NodeIndex index, std::uint64_t t) const;
  std::optional<kg::RelationItem> relation_at(kg::RelationIndex index, std::uint64_t t) const;
  std::vector<kg::Neighbour> outgoing(kg::NodeIndex node, kg::RelationKind kind,
                                      std::optional<std::uint64_t> t = std::nullopt) const;
  std::vector<kg::Neighbour> incoming(kg::NodeIndex node, kg::RelationKind kind,
                                      std::optional<std::uint64_t> t = std::nullopt) const;
  std::vector<kg::RelationItem> relations_between(kg::NodeIndex from, kg::NodeIndex to,
                                                  std::optional<std::uint64_t> t = std::nullopt) const;

 private:
  friend class SceneReader;
  SceneView(kg::SceneView live, std::uint64_t horizon, std::shared_ptr<const Recording> recording,
            std::shared_ptr<MomentCache> cache)
      : live_(std::move(live)), horizon_(horizon), recording_(std::move(recording)), cache_(std::move(cache)) {}
  // The view that answers as of t: the live one, or the recording's scene at t.
  const kg::SceneView& source(std::uint64_t t) const;

  kg::SceneView live_;
  std::uint64_t horizon_ = 0;
  std::shared_ptr<const Recording> recording_;
  std::shared_ptr<MomentCache> cache_;
};

class SceneReader {
 public:
  // `region` outlives the reader; RecordingError when `recording` is null.
  SceneReader(const kg::KnowledgeGraph& region, std::shared_ptr<const Recording> recording);
  ~SceneReader();
  SceneReader(const SceneReader&) = delete;
  SceneReader& operator=(const SceneReader&) = delete;

  // A view of the region's publication now with the recording behind it.
  // RecordingError when the recording does not hold the region's history (see above).
  SceneView view();
  // As knowledge_graph::graph::SceneReader::wait_for_publication.
  std::optional<std::uint64_t> wait_for_publication(std::uint64_t after, std::chrono::nanoseconds timeout,
                                                    const std::atomic<bool>* cancel = nullptr) const {
    return live_.wait_for_publication(after, timeout, cancel);
  }
  const Recording& recording() const { return *recording_; }

  // The horizon of a region publication (see above): its last update and the
  // versions it holds. RecordingError when the recording does not hold it.
  static std::uint64_t horizon_of(const Recording& recording, const kg::Snapshot& region);

 private:
  const kg::KnowledgeGraph& region_;
  kg::SceneReader live_;
  std::shared_ptr<const Recording> recording_;
  std::shared_ptr<MomentCache> cache_;
};

}  // namespace recording
