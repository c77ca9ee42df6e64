// Recordings on the read side: a recording file (varnel-inspect record) opened
// by path, the scene as its writer held it at any moment, and one instance's
// versions over the whole drive, whatever history window the host kept.
//
// A recording holds every version the host published once, in publications
// (the host's batch boundaries), and marks the host's compactions with their
// keep_since. The scene at a moment is rebuilt in a private graph: the
// publications since the last fresh start before it (the scene at recording
// start, a clear, or a gap) put in again, compacted where the host compacted,
// so that every read of it answers as the host's graph did at that moment.
//
// Memory: a recording is read a chunk at a time, never whole. Opening it reads
// the file once front to back (every check, and a timestamp per publication is
// kept); at() seeks through the file's chunk index to the chunks from the fresh
// start to the moment (a file without chunk indexes is read from its start to
// the moment); history() reads the file once.
//
// Errors: RecordingError, whose text names the file and what is wrong with it
// (missing, not MCAP, damaged, not a varnel recording, a moment it does not
// hold).
//
// Thread rules: a Recording is immutable once opened; its calls may run in any
// number of threads at once (each call opens the file for itself). A Scene is
// used as a KnowledgeGraph is: its views by one thread at a time each.
//
// Caveats: the file must be complete (a recorder ends it when it stops); a
// file still being written is refused as damaged. A host whose clock went back
// has several publications that may claim one time: a moment is the last
// publication stamped at or before it, in the order they were written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/scene_view.hpp"

namespace recording {

// A file that cannot be read as a recording, or a question it cannot answer.
class RecordingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The scene at one moment of a recording, in a private graph of its own.
class Scene {
 public:
  // The private graph (read it, or write on: it is the caller's).
  knowledge_graph::graph::KnowledgeGraph& graph() const { return *graph_; }
  // One consistent view of it.
  knowledge_graph::graph::SceneView view() const { return knowledge_graph::graph::SceneView(*graph_); }
  // The timestamp of the publication it holds (its last update).
  std::uint64_t moment() const { return graph_->last_update(); }

 private:
  friend class Recording;
  explicit Scene(knowledge_graph::graph::KnowledgeGraph::Boxed graph) : graph_(std::move(graph)) {}
  knowledge_graph::graph::KnowledgeGraph::Boxed graph_;
};

class Recording {
 public:
  // Opens and checks the whole file. RecordingError when it is missing, not an
  // MCAP file, damaged, or holds no varnel recording.
  explicit Recording(std::string path);

  const std::string& path() const { return path_; }
  // Publications in the file, and the timestamps of the first and the last (0 without any).
  std::size_t publications() const { return moments_.size(); }
  std::uint64_t first_time() const { return moments_.empty() ? 0 : moments_.front().timestamp; }
  std::uint64_t last_time() const { return moments_.empty() ? 0 : moments_.back().timestamp; }
  // Versions recorded (each once, whatever the compactions), gaps (the recorder
  // lost publications and restarted from the scene as it stood), and what one
  // timestamp unit is ("ms", "us" or "ns").
  std::uint64_t versions() const { return versions_; }
  std::uint64_t gaps() const { return gaps_; }
  const std::string& time_unit() const { return time_unit_; }

  // The scene right after the last publication stamped at or before t (the
  // recording's end without t). Every read of it as of any time since the
  // fresh start before that publication answers as the host's graph did,
  // whatever window the host kept. RecordingError when the recording begins
  // after t (no publication stamped at or before it) or a chunk it reads is damaged.
  Scene at(std::optional<std::uint64_t> t = std::nullopt) const;
  // The same into `graph`, which must be fresh (in its default state): for
  // callers that own their graph (a binding's).
  void install_at(std::optional<std::uint64_t> t, knowledge_graph::graph::KnowledgeGraph& graph) const;

  // Every recorded version of one node (relation), oldest first, Removed ones
  // included, across clears and compactions (each version is recorded once).
  std::vector<knowledge_graph::graph::NodeItem> history(knowledge_graph::graph::NodeIndex node) const;
  std::vector<knowledge_graph::graph::RelationItem> history(
      knowledge_graph::graph::RelationIndex relation) const;

  // What one publication leaves behind, as far as a reader beside a region
  // needs it to tell whether the recording holds that region's history.
  struct Moment {
    std::uint64_t timestamp = 0;
    std::uint64_t keep_since = 0;  // of the last compaction since that fresh start; 0: none
    std::uint64_t versions = 0;    // the versions the host's graph held right after it
    std::uint32_t base = 0;        // the fresh start it builds on (a publication index)
    // The last version it appended (or the one before it, when it appended
    // none), the newest of its kind: (kind + 1) << 26 | a 26-bit digest of the
    // version, kinds counted node kinds first, then relation kinds; 0: none. A
    // drive with the same counts as another still differs here.
    std::uint32_t newest = 0;
  };
  static_assert(sizeof(Moment) == 32, "a moment per publication: kept small");
  const std::vector<Moment>& moments() const { return moments_; }
  // The last publication stamped at or before t (an index into moments()); none
  // when every publication comes later.
  std::optional<std::size_t> moment_at(std::uint64_t t) const;

 private:
  void install(std::size_t moment, knowledge_graph::graph::KnowledgeGraph& graph) const;
  std::string path_;
  std::vector<Moment> moments_;
  bool ordered_ = true;  // the moments' timestamps rise (found once, at open)
  std::uint64_t versions_ = 0, gaps_ = 0;
  std::string time_unit_ = "ms";
};

}  // namespace recording
