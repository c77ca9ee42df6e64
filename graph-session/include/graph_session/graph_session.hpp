// GraphSession: the one door to the graph in a shared region. Every process that
// maps the region for the graph (the C library, Python, the inspector, the
// recorder, the mirror, future tools) opens a session instead of setting the
// region up by hand: it maps the region, checks its size, attaches what the graph
// keeps behind its record (lookup index, recorder link), sets up the record's
// write gate, takes or is refused the writer lock, and for a new writer empties
// the graph, with the same messages everywhere.
//
// The write gate. A session's record refuses every write (WriteStatus::NotWriter,
// nothing stored) unless the session holds the region's writer lock and no other
// process took the writer seat since: the graph asks the gate itself, so a caller
// that writes through graph() cannot bypass it. may_write() is the session's half:
// a refused writer tries the lock again without waiting and, once the other
// writer has gone, becomes the writer (emptying the graph, as its set-up would
// have); a writer whose lock object was removed or replaced stops writing.
//
// The history window. A writer that runs for longer than the record's arrays
// last sets a window (set_history_window, in the host's time units): may_write()
// then keeps room by itself. Between batches only (autocommit on, or in
// transaction mode the first call after commit_transaction() of this session
// with nothing written since), and no more often than the room left requires,
// it reads the published fill; when any array could pass kHighWater (80 %)
// within the next batch (its fill plus the most it grew between two looks; with
// autocommit on, the next write) it compacts keeping the last `window` of
// history, then, while any array still lies above kLowWater (50 %) after it,
// again keeping less (half as much each time, below window/64 nothing: the
// present scene alone, keep_since = last update). The next compaction starts
// from what this one kept, or from twice that when the arrays then lay below
// half the aim, so the window comes back when the traffic thins. Only when the present scene plus
// the next batch (or write) would not fit in an array does it reset the graph:
// logged at warn level and counted (history_resets()), so that the host re-adds
// its scene; readers see an empty graph until it has. Each look costs one
// snapshot of the bookkeeping; each compaction waits out readers as `compact`
// says.
//
// Caveats of the window: between two compactions the history grows past the
// window (a compaction keeps at most `window`). A scene that alone lies above
// 80 % of an array is compacted at every look (once per batch). A host that
// commits through graph() directly, not commit_transaction() here, gets the
// window in autocommit mode only.
//
// Thread rules: a session is used from one thread at a time (its writes from the
// host's writing thread); readers of graph() in other threads follow the graph's
// own rules. Sessions of one process share the writer lock (it is counted).
//
// Waiting readers. Every session opens the region's wake object (see
// memory_interface.hpp) and attaches it to its graph, so that a writer's
// publications wake the readers sleeping in SceneReader::wait_for_publication
// in any process; without it (refused, logged at warn level) they poll.
//
// Caveats: a reader session maps read-only, so writing through its graph() is
// refused by the gate (and would fault without it). At most 16 sessions per
// process (the graph's attachment tables).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "shared_memory_interface/memory_interface.hpp"

namespace graph_session {

inline constexpr const char* kRegionName = "KnowledgeGraph";
// The region's size when a session creates it: the record and what follows it.
inline constexpr std::uint32_t kRegionSize = 536'870'912;
static_assert(sizeof(knowledge_graph::graph::KnowledgeGraph) <= kRegionSize);

struct Options {
  std::string name = kRegionName;
  std::uint32_t size = kRegionSize;
  // The set-up lock's wait; its cancel flag also ends a reader's wait for a
  // live writer's compaction (the read then sees the graph as given up on).
  shared_memory_interface::memory_interface::LockWait wait{};
  // Writers: when another live process writes the region, fail the open instead
  // of opening a refused session that takes over once that writer has gone.
  bool require_writer = false;
  // Writers: whether the new writer's set-up empties the graph (hosts do; a
  // tool that installs a whole state itself may skip it).
  bool clear_on_take = true;
  // Who the messages name ("this handle", "this graph").
  std::string holder = "this session";
  // Log target of the session's messages.
  std::string log_target = "graph_session";
};

enum class Role { Writer, Refused, Reader };

class GraphSession;

struct OpenResult {
  std::unique_ptr<GraphSession> session;  // null on failure
  std::string error;                      // why, for a person, when null
  shared_memory_interface::memory_interface::Refusal refusal =
      shared_memory_interface::memory_interface::Refusal::None;
  explicit operator bool() const { return session != nullptr; }
};

class GraphSession {
 public:
  // Creates or opens the region read-write and asks for the writer lock. Fails
  // (error logged) when the region cannot be set up, is too small, or its writer
  // lock object is not one we trust; a lock held by another live process gives a
  // Refused session unless `require_writer`.
  static OpenResult open_writer(const Options& options = {});
  // Opens an existing region read-only; never creates one. Refusal::Missing when
  // no host has set it up.
  static OpenResult open_reader(const Options& options = {});
  // A recorder's session: an existing region mapped read-write for the recorder
  // link behind the record, the graph itself behind a gate that never opens.
  // Refusal::Missing when no host has set it up.
  static OpenResult open_recorder(const Options& options = {});

  GraphSession(const GraphSession&) = delete;
  GraphSession& operator=(const GraphSession&) = delete;
  ~GraphSession();

  knowledge_graph::graph::KnowledgeGraph& graph() const { return *graph_; }
  Role role() const { return role_; }
  bool read_only() const { return role_ == Role::Reader; }
  bool already_existed() const { return already_existed_; }
  std::size_t view_size() const { return view_size_; }
  const std::string& name() const { return options_.name; }

  // The session's half of the write gate (see above). Never waits. A writer with
  // a history window may compact (or, the scene itself not fitting, reset) the
  // graph here, between batches only (see above).
  bool may_write();

  // Commits the open batch (KnowledgeGraph::commit_transaction) and notes that
  // the writer is between batches, where the history window may act. Writers
  // in transaction mode commit through here for the window to work.
  void commit_transaction();

  // The history window (host time units, ms in practice); 0 (the default) turns
  // the policy off. Setting it takes effect at the next may_write().
  void set_history_window(std::uint64_t window);
  std::uint64_t history_window() const { return policy_.window; }
  // The history the last compaction of the policy kept (last update minus its
  // keep_since): the window, or less when the record could not hold that much;
  // 0 before the policy first compacted.
  std::uint64_t history_held() const { return policy_.held; }
  // Compactions and resets the policy made since this session opened.
  std::uint64_t history_compactions() const { return policy_.compactions; }
  std::uint64_t history_resets() const { return policy_.resets; }

  // The policy's thresholds: fractions of each array's capacity.
  static constexpr double kHighWater = 0.8;
  static constexpr double kLowWater = 0.5;

  // Wake calls this session's publications made: one per publication that found
  // a reader waiting (SceneReader::wait_for_publication), none otherwise.
  std::uint64_t wake_calls() const;

  // Whether a live process holds the region's writer lock; asks every time.
  shared_memory_interface::memory_interface::WriterProbe probe_writer() const;
  // "alive", "none" or "unknown (why)".
  std::string writer_presence() const;

 private:
  struct Region;
  explicit GraphSession(const Options& options);
  bool take_writer_lock(bool at_open, OpenResult* failure);
  static OpenResult map_existing(const Options& options, bool writable);
  void become_writer();
  // The history window's look at the fill, between batches (see above).
  void keep_room();
  // Compacts keeping `span` of history; true when done.
  bool compact_keeping(std::uint64_t span);

  // The history window's state. Array order: 18 node kinds, node payloads, 17
  // relation kinds, relation payloads.
  static constexpr std::size_t kArrays = 37;
  struct Policy {
    std::uint64_t window = 0;
    std::uint64_t held = 0;
    std::uint64_t next_span = 0;          // what the next compaction keeps first
    std::uint64_t compactions = 0;
    std::uint64_t resets = 0;
    std::uint64_t writes_until_look = 0;  // autocommit mode: looks skipped while room is ample
    bool committed = false;               // commit_transaction() of this session was the last batch call
    std::uint32_t committed_sequence = 0; // the graph's publication counter right after it
    std::uint64_t committed_active = 0;
    bool looked = false;                  // `last_used` holds the previous look
    std::uint64_t last_used[kArrays] = {};
    std::uint64_t growth[kArrays] = {};   // the most each array grew between two looks
  };
  Policy policy_;

  Options options_;
  std::unique_ptr<Region> region_;
  knowledge_graph::graph::KnowledgeGraph* graph_ = nullptr;
  std::size_t view_size_ = 0;
  bool already_existed_ = false;
  Role role_ = Role::Reader;
  shared_memory_interface::memory_interface::Handle writer_lock_ = nullptr;
  bool told_overtaken_ = false;
};

}  // namespace graph_session
