// Turns the scene into writes through the C interface: one transaction per
// tick that removes the relations that ended, writes new versions of the nodes
// that moved, and (re-)enters the relations of those nodes. Tracks how much of
// every fixed array the graph has used, so that it can reset before one fills.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "host_library.hpp"
#include "scene.hpp"

namespace varnel::demo {

// What the writes since the last reset have used of the graph's arrays.
struct Usage {
  std::array<std::uint64_t, 18> node_versions{};
  std::uint64_t node_values = 0;
  std::array<std::uint64_t, 17> relation_versions{};
  std::uint64_t relation_values = 0;

  // The fullest array as a fraction of its capacity, and its name.
  double fill(std::string* fullest = nullptr) const;
  Usage operator-(const Usage& earlier) const;
  Usage operator+(const Usage& more) const;
  // Whether `next` more of the same would still fit.
  bool fits(const Usage& next) const;
};

struct TickOutcome {
  bool committed = false;
  bool reset = false;            // the graph was emptied and the scene re-added
  bool compacted = false;        // the history before the window was dropped first
  std::string refusal;           // why a write was refused, when one was
};

class SceneWriter {
 public:
  // `window_ms` > 0: keep that much history (in host milliseconds) by compacting
  // instead of resetting when the graph fills.
  SceneWriter(const VarnelApi& api, KnowledgeGraphHandle* handle, std::uint64_t window_ms = 0)
      : api_(api), handle_(handle), window_ms_(window_ms) {}

  // Writes the scene's current state as one transaction. When the graph could
  // not take another tick like the largest so far, it first compacts to the
  // window (if one is set and that makes room), else resets; if a write is
  // refused, the tick is dropped and written again on an emptied graph.
  TickOutcome write_tick(const Scene& scene, std::uint64_t timestamp);
  std::uint64_t compactions() const { return compactions_; }

  const Usage& usage() const { return usage_; }
  std::uint64_t resets() const { return resets_; }

 private:
  struct WrittenRelation {
    std::uint64_t id;
    std::int32_t payload;
  };

  bool write_batch(const Scene& scene, std::uint64_t timestamp, bool reset);
  // Drops the history before the window; true when the next tick then fits.
  bool compact(std::uint64_t timestamp);
  // At most what the graph holds after a compaction keeping [since, now]: the
  // ticks since then, plus one version of every instance still in the scene.
  Usage usage_after_compaction(std::uint64_t since) const;
  bool remove_relation(std::uint64_t timestamp, const RelationKey& key, std::uint64_t id);
  bool remove_node(std::uint64_t timestamp, const NodeRef& ref);
  bool add_node(std::uint64_t timestamp, const SceneNode& node);
  bool add_relation(std::uint64_t timestamp, const SceneRelation& relation, std::uint64_t id);
  // False (and the reason kept) when the last write stored nothing for want of room.
  bool check_write();
  void forget_scene();

  const VarnelApi& api_;
  KnowledgeGraphHandle* handle_;
  std::map<NodeRef, std::vector<unsigned char>> nodes_;  // last record bytes written
  std::map<RelationKey, WrittenRelation> relations_;
  std::array<std::uint64_t, 17> next_relation_id_{};
  Usage usage_;
  Usage largest_tick_;
  std::uint64_t resets_ = 0;
  std::uint64_t window_ms_ = 0;
  std::uint64_t compactions_ = 0;
  std::deque<std::pair<std::uint64_t, Usage>> ticks_;  // what each tick used, since the reset
  std::string refusal_;
};

}  // namespace varnel::demo
