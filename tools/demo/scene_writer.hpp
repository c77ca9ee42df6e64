// Turns the scene into writes through the C interface: one transaction per
// tick that removes the relations that ended and the nodes that left, writes a
// new version of each node that changed with update_<kind>_node (its relations
// stay listed) and adds only the relations that are new or changed. Tracks how
// much of every fixed array the graph has used, so that it can reset before one
// fills; or, with a history window, leaves the room to the library's window
// (set_history_window) and re-adds the scene when the library had to reset.
//
// The re-add pattern (add_<kind>_node for a changed node, which empties its
// lists, then every relation of it added again) is kept for comparison: it
// appends two node versions per relation of every moving node.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
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
  bool compacted = false;        // the library's window dropped older history first
  std::string refusal;           // why a write was refused, naming the kind and limit
  std::uint64_t versions = 0;    // node and relation versions the committed tick appended
};

enum class WritePattern {
  Update,  // update_<kind>_node; relations only when they change
  ReAdd,   // add_<kind>_node, then the node's relations again
};

struct WriterOptions {
  WritePattern pattern = WritePattern::Update;
  // Reset before an array could fill (and after a refusal); false leaves a
  // refused tick uncommitted and the graph as it was, to measure how long it lasts.
  bool reset_when_full = true;
  // > 0: the library's history window (set_history_window, host milliseconds):
  // it compacts when the graph runs low and resets only when the present scene
  // does not fit. Usage then counts only since the last reset.
  std::uint64_t window_ms = 0;
};

class SceneWriter {
 public:
  SceneWriter(const VarnelApi& api, KnowledgeGraphHandle* handle, WriterOptions options = {});

  // Writes the scene's current state as one transaction. Resets first when the
  // graph could not take another tick like the largest so far; if a write is
  // refused, the tick is dropped and written again on an emptied graph.
  TickOutcome write_tick(const Scene& scene, std::uint64_t timestamp);
  // The same for a scene given as its nodes (static ones first) and relations.
  TickOutcome write_tick(const std::vector<SceneNode>& nodes,
                         const std::vector<SceneRelation>& relations, std::uint64_t timestamp);

  const Usage& usage() const { return usage_; }
  std::uint64_t resets() const { return resets_; }
  std::uint64_t compactions() const { return compactions_; }
  // Wall time of each tick's first call (start_transaction) in which the library
  // compacted: the compactions (and their fill looks), in ms.
  const std::vector<double>& compaction_ms() const { return compaction_ms_; }

 private:
  struct WrittenRelation {
    std::uint64_t id;
    std::int32_t payload;
  };

  bool write_batch(const std::vector<SceneNode>& nodes, const std::vector<SceneRelation>& relations,
                   std::uint64_t timestamp, bool reset);
  bool remove_relation(std::uint64_t timestamp, const RelationKey& key, std::uint64_t id);
  bool remove_node(std::uint64_t timestamp, const NodeRef& ref);
  // add_<kind>_node for a new node (or in the re-add pattern), else update_<kind>_node.
  bool write_node(std::uint64_t timestamp, const SceneNode& node, bool update);
  bool add_relation(std::uint64_t timestamp, const SceneRelation& relation, std::uint64_t id);
  // False (and the reason kept) when the last write stored nothing for want of
  // room; `nodes` and `relation_kind` are what the write needed room in.
  bool check_write(std::initializer_list<NodeRef> nodes, std::uint64_t relation_kind = 0);
  void forget_scene();
  // Opens the tick's batch; the library's window may compact or reset first.
  void start_batch();

  const VarnelApi& api_;
  KnowledgeGraphHandle* handle_;
  WriterOptions options_;
  std::map<NodeRef, std::vector<unsigned char>> nodes_;  // last record bytes written
  std::map<RelationKey, WrittenRelation> relations_;
  std::array<std::uint64_t, 17> next_relation_id_{};
  Usage usage_;
  Usage largest_tick_;
  std::uint64_t resets_ = 0;
  std::uint64_t compactions_ = 0;
  std::vector<double> compaction_ms_;
  bool window_compacted_ = false;  // in this tick
  bool window_reset_ = false;
  std::string refusal_;
};

}  // namespace varnel::demo
