// The live recorder: follows a graph through its recorder link and hands every
// publication, with the versions it added, to a sink.
//
// It registers in the link (one recorder at a time), records the scene as it
// stands, then reads the writer's publication log entry by entry and
// acknowledges each one once its versions are copied out, which is what lets a
// writer reuse slots (clear) without losing any. A heartbeat thread shows the
// writer that the recorder lives. When the writer went on without it (a gap) or
// the log ran ahead by more than its ring (boundaries merged), the recorder says
// so in the publication it hands on.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "knowledge_graph/graph/recorder_link.hpp"
#include "recording.hpp"

namespace varnel::record {

class LiveRecorder {
 public:
  LiveRecorder(const knowledge_graph::graph::KnowledgeGraph& graph,
               knowledge_graph::graph::RecorderLink& link);
  ~LiveRecorder();
  LiveRecorder(const LiveRecorder&) = delete;
  LiveRecorder& operator=(const LiveRecorder&) = delete;

  // Registers; fails (with a reason) when another live recorder is attached.
  bool attach(std::uint64_t wait_micros, std::string& error);
  // Records the scene as it stands (the first publication handed on).
  void start(const std::function<void(const Publication&)>& sink);
  // Hands on every publication logged since the last call; returns how many.
  // With `trail` above 0, a recorder that follows a busy writer keeps that many
  // publications behind it while the writer goes on, and takes the rest once the
  // log stands still between two calls: it then reads lines the writer wrote
  // long enough ago to have left its core's own caches (reading lines still held
  // there slows the writer: a trail of 64 cost it 2.7x its time alone, 1,024 cost
  // 1.6x). While the writer goes on it also takes nothing (0) until kFollowBatch
  // publications lie beyond the trail, so that a caller that pauses after a call
  // that took nothing looks at the log's head (a line the writer stores to at
  // every publication) once per batch, not once per publication. A loop that
  // drains the log at the end calls it without a trail.
  std::size_t poll(const std::function<void(const Publication&)>& sink, std::uint64_t trail = 0);

  // The trail the inspector's recorder keeps (about 1.7 MB of a writer's node
  // versions), and the least it takes at once from a writer that goes on (see
  // poll): together an eighth of the log's ring.
  static constexpr std::uint64_t kFollowTrail = 1024;
  static constexpr std::uint64_t kFollowBatch = 1024;
  void detach();

  std::uint64_t gaps() const { return gaps_; }
  // Publications taken from the published state because the writer logged none
  // (a host without the recorder link): their boundaries are approximate.
  std::uint64_t unlogged() const { return unlogged_; }

 private:
  bool catch_up(const std::function<void(const Publication&)>& sink, Publication& p);
  void restart(const std::function<void(const Publication&)>& sink, bool gap);
  bool compaction_of(std::uint64_t number, const knowledge_graph::graph::PublicationEntry& entry,
                     Publication& p) const;
  bool copy_versions(const knowledge_graph::graph::GraphIndices& from,
                     const knowledge_graph::graph::GraphIndices& to, Publication& out) const;

  const knowledge_graph::graph::KnowledgeGraph& graph_;
  knowledge_graph::graph::RecorderLink& link_;
  std::uint64_t token_ = 0;
  std::uint64_t wait_micros_ = 0;
  std::atomic<bool> beating_{false};
  std::thread heart_;

  std::uint64_t next_ = 0;  // the next log entry to read
  std::uint64_t seen_head_ = 0;  // the log's head at the last trailing poll
  std::uint64_t seen_gaps_ = 0;
  knowledge_graph::graph::GraphIndices tails_{};
  std::uint16_t epoch_ = 0;
  std::uint32_t sequence_ = 0;
  std::uint64_t gaps_ = 0;
  std::uint64_t unlogged_ = 0;
  std::chrono::steady_clock::time_point quiet_since_{};
};

}  // namespace varnel::record
