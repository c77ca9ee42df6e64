// The graph session: region set-up, attachments, writer lock and write gate in
// one place, so that every process maps the graph the same way.
#include "graph_session/graph_session.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <utility>

#include "knowledge_graph/graph/lookup_index.hpp"
#include "knowledge_graph/graph/publication_signal.hpp"
#include "knowledge_graph/graph/recorder_link.hpp"
#include "knowledge_graph/graph/write_gate.hpp"
#include "logging/logging.hpp"
#include "shared_memory_interface/shared_memory.hpp"

namespace graph_session {
namespace {

namespace kg = knowledge_graph::graph;
namespace mi = shared_memory_interface::memory_interface;
using shared_memory_interface::shared_memory::KnowledgeGraphMemory;

// The gate's liveness question, with the session's options as context. A caller
// that is being stopped (its wait's cancel flag set) gives up on the writer, so
// that Ctrl-C still ends a reader waiting out a paused writer's compaction.
int writer_alive(const void* context) {
  const auto& options = *static_cast<const Options*>(context);
  if (options.wait.cancel != nullptr && options.wait.cancel->load()) return 0;
  const auto probe = mi::probe_writer(options.name);
  switch (probe.presence) {
    case mi::WriterPresence::Alive: return 1;
    case mi::WriterPresence::Absent: return 0;
    case mi::WriterPresence::Unknown: break;
  }
  return -1;
}

// How often a writer looks whether its lock object is still the linked one.
constexpr auto kLockCheckPeriod = std::chrono::milliseconds(100);

// The history window's look: what every array uses and holds, in the policy's order.
struct ArrayUse {
  std::uint64_t used[37];
  std::uint64_t capacity[37];
};

ArrayUse array_use(const kg::Fill& fill) {
  ArrayUse use{};
  std::size_t at = 0;
  auto add = [&](const kg::ArrayFill& array) {
    use.used[at] = array.used;
    use.capacity[at] = array.capacity;
    ++at;
  };
  for (const auto& array : fill.node_versions) add(array);
  add(fill.node_values);
  for (const auto& array : fill.relation_versions) add(array);
  add(fill.relation_values);
  return use;
}

// Whether any array, grown by `growth`, would lie above `mark` of its capacity.
bool above(const ArrayUse& use, const std::uint64_t* growth, double mark) {
  for (std::size_t i = 0; i < 37; ++i)
    if (static_cast<double>(use.used[i] + growth[i]) > mark * static_cast<double>(use.capacity[i]))
      return true;
  return false;
}

// The most versions or payloads one write appends to a single array (a relation
// between two nodes of one kind: a version of each node).
constexpr std::uint64_t kSlotsPerWrite = 2;
static_assert(kg::kNodeKinds + kg::kRelationKinds + 2 == 37);

// The region's wake object as the graph's publication signal.
class RegionWake final : public kg::PublicationSignal {
 public:
  RegionWake() = default;
  RegionWake(const RegionWake&) = delete;
  RegionWake& operator=(const RegionWake&) = delete;
  ~RegionWake() override { close(); }

  // Opens the wake object and attaches it to `graph`; a refusal is logged and
  // leaves the graph without it (its readers poll).
  void open(const kg::KnowledgeGraph& graph, const Options& options, bool writer) {
    const mi::WakeOutcome outcome = mi::open_wake(options.name, writer);
    if (outcome.wake == nullptr) {
      VARNEL_LOG_WARN(options.log_target,
                      "[Shared memory]: " << mi::describe_wake_failure(options.name, outcome));
      return;
    }
    wake_ = outcome.wake;
    if (kg::attach_publication_signal(graph, this)) {
      graph_ = &graph;
    } else {
      close();
    }
  }
  void close() {
    if (graph_ != nullptr) kg::detach_publication_signal(*graph_);
    graph_ = nullptr;
    mi::close_wake(wake_);
    wake_ = nullptr;
  }
  std::uint64_t calls() const { return mi::wake_calls(wake_); }

  void published() noexcept override { mi::wake_waiters(wake_); }
  std::uint32_t begin_wait() noexcept override { return mi::begin_wait(wake_); }
  void wait(std::uint32_t ticket, std::chrono::nanoseconds limit) noexcept override {
    mi::wait_for_wake(wake_, ticket, limit);
  }
  void end_wait() noexcept override { mi::end_wait(wake_); }

 private:
  mi::Handle wake_ = nullptr;
  const kg::KnowledgeGraph* graph_ = nullptr;
};

}  // namespace

// Declared in this order so that the attachments go before the view.
struct GraphSession::Region {
  explicit Region(const Options& options) : memory(options.name, options.size) {}
  KnowledgeGraphMemory memory;
  kg::RegionLookupIndex index;
  kg::RegionRecorderLink recorder_link;
  RegionWake wake;
  std::chrono::steady_clock::time_point next_lock_check{};
};

GraphSession::GraphSession(const Options& options)
    : options_(options), region_(std::make_unique<Region>(options)) {}

GraphSession::~GraphSession() {
  if (graph_ != nullptr) kg::ungate_writes(*graph_);
  region_->wake.close();
  region_->recorder_link.reset();
  region_->index.reset();
  region_->memory.release();
  mi::release_writer_lock(writer_lock_);
}

OpenResult GraphSession::map_existing(const Options& options, bool writable) {
  OpenResult result;
  std::unique_ptr<GraphSession> session(new GraphSession(options));
  Region& region = *session->region_;
  const bool mapped = writable ? region.memory.initialize(options.wait)
                               : region.memory.initialize_read_only(options.wait);
  if (!mapped || !region.memory.already_exists()) {
    // A writable set-up that had to create the region found no host: the new,
    // empty region goes again with this session.
    result.refusal = mapped ? mi::Refusal::Missing : region.memory.refusal();
    result.error = result.refusal == mi::Refusal::Missing
                       ? "no shared region \"" + options.name + "\": no host has set it up"
                       : region.memory.failure_text();
    return result;
  }
  session->graph_ = region.memory.get_data_ref();
  session->view_size_ = region.memory.view_size();
  session->already_existed_ = true;
  session->role_ = Role::Reader;
  region.index = kg::RegionLookupIndex(*session->graph_, session->view_size_);
  kg::gate_writes(*session->graph_, session->view_size_, writer_alive, &session->options_);
  region.wake.open(*session->graph_, session->options_, false);
  result.session = std::move(session);
  return result;
}

OpenResult GraphSession::open_reader(const Options& options) { return map_existing(options, false); }

OpenResult GraphSession::open_recorder(const Options& options) { return map_existing(options, true); }

OpenResult GraphSession::open_writer(const Options& options) {
  OpenResult result;
  std::unique_ptr<GraphSession> session(new GraphSession(options));
  Region& region = *session->region_;
  if (!region.memory.initialize(options.wait)) {
    result.refusal = region.memory.refusal();
    result.error = region.memory.failure_text();
    VARNEL_LOG_ERROR(options.log_target, "[Shared memory]: " << result.error);
    return result;
  }
  GraphSession& s = *session;
  s.graph_ = region.memory.get_data_ref();
  s.view_size_ = region.memory.view_size();
  s.already_existed_ = region.memory.already_exists();
  // What the graph keeps behind itself in the region: the lookup index, and the
  // link through which a recorder learns of every publication.
  region.index = kg::RegionLookupIndex(*s.graph_, s.view_size_);
  region.recorder_link = kg::RegionRecorderLink(*s.graph_, s.view_size_);
  if (!kg::gate_writes(*s.graph_, s.view_size_, writer_alive, &s.options_)) {
    result.error = "this process has too many graph sessions open";
    VARNEL_LOG_ERROR(options.log_target, "[Shared memory]: Region " << options.name << ": "
                                                                    << result.error);
    return result;
  }
  region.wake.open(*s.graph_, s.options_, true);
  s.role_ = Role::Refused;
  if (!s.take_writer_lock(true, &result)) {
    if (!result.error.empty()) return result;  // a set-up failure, not a live writer
  }
  result.session = std::move(session);
  return result;
}

void GraphSession::become_writer() {
  role_ = Role::Writer;
  told_overtaken_ = false;
  region_->next_lock_check = std::chrono::steady_clock::now() + kLockCheckPeriod;
  kg::admit_writes(*graph_);
  // A new region already reads as zero bytes; an existing one keeps its bytes
  // until this clear (the scene left behind is not this writer's host's).
  if (options_.clear_on_take) {
    graph_->initialize();
    graph_->clear();
  }
}

// Takes the lock without waiting. False when refused; `failure` (at open only)
// gets the reason when the refusal is a set-up failure rather than a live writer.
bool GraphSession::take_writer_lock(bool at_open, OpenResult* failure) {
  const mi::WriterLockOutcome lock = mi::try_writer_lock(options_.name);
  switch (lock.state) {
    case mi::WriterLockState::Taken:
      writer_lock_ = lock.lock;
      become_writer();
      if (!at_open) {
        VARNEL_LOG_INFO(options_.log_target, "[Shared memory]: Region "
                                                 << options_.name << ": the other writer has gone; "
                                                 << options_.holder << " writes now");
      }
      return true;
    case mi::WriterLockState::HeldElsewhere:
      if (at_open && options_.require_writer) {
        failure->error = "another live process writes the region \"" + options_.name +
                         "\"; stop it first";
        failure->refusal = mi::Refusal::None;
        return false;
      }
      if (at_open) {
        VARNEL_LOG_WARN(options_.log_target,
                        "[Shared memory]: Region " << options_.name
                                                   << " has a writer in another process: the graph "
                                                      "is left as it is and "
                                                   << options_.holder << "'s writes are refused");
      }
      return false;
    case mi::WriterLockState::Failed: break;
  }
  const std::string reason = mi::describe_writer_lock_failure(options_.name, lock);
  if (at_open) {
    failure->error = reason;
    failure->refusal = lock.refusal;
    VARNEL_LOG_ERROR(options_.log_target, "[Shared memory]: " << reason);
  }
  return false;
}

bool GraphSession::may_write() {
  if (role_ == Role::Reader) return false;
  if (role_ == Role::Writer) {
    const auto now = std::chrono::steady_clock::now();
    bool intact = true;
    if (now >= region_->next_lock_check) {
      region_->next_lock_check = now + kLockCheckPeriod;
      intact = mi::writer_lock_intact(writer_lock_);
    }
    if (intact && kg::writes_admitted(*graph_)) {
      if (policy_.window != 0) keep_room();
      return true;
    }
    // Our lock object was removed or replaced, or another process took the
    // seat: two writers would lose each other's writes, so this one stops.
    kg::refuse_writes(*graph_);
    mi::release_writer_lock(writer_lock_);
    writer_lock_ = nullptr;
    role_ = Role::Refused;
    if (!told_overtaken_) {
      told_overtaken_ = true;
      VARNEL_LOG_ERROR(options_.log_target,
                       "[Shared memory]: Region " << options_.name
                                                  << ": the writer lock was taken from "
                                                  << options_.holder
                                                  << " (its lock object was removed or replaced, "
                                                     "or another process writes); its writes are "
                                                     "refused from now on");
    }
    return false;
  }
  return take_writer_lock(false, nullptr);
}

void GraphSession::commit_transaction() {
  graph_->commit_transaction();
  policy_.committed = true;
  policy_.committed_sequence = graph_->publication_sequence;
  policy_.committed_active = graph_->active_buffer();
}

void GraphSession::set_history_window(std::uint64_t window) {
  policy_.window = window;
  policy_.writes_until_look = 0;
  policy_.next_span = window;
}

void GraphSession::keep_room() {
  kg::KnowledgeGraph& g = *graph_;
  const bool committed = policy_.committed;
  policy_.committed = false;
  // Every call counts against the room left, whatever the mode it writes in.
  if (policy_.writes_until_look > 0) --policy_.writes_until_look;
  if (g.autocommit_enabled()) {
    if (policy_.writes_until_look > 0) return;
  } else if (!committed || g.publication_sequence != policy_.committed_sequence ||
             g.active_buffer() != policy_.committed_active) {
    // In transaction mode only right after this session's commit, nothing
    // published since: a batch may be open otherwise, and compacting would
    // drop it.
    return;
  }
  if (g.compaction_in_progress()) return;  // a dead writer's, cleared by the set-up
  ArrayUse use = array_use(g.fill());
  // Transaction mode: one batch's growth since the last look, the most seen.
  // Autocommit mode looks again before the room left could run out instead.
  const bool batches = !g.autocommit_enabled();
  for (std::size_t i = 0; i < kArrays; ++i) {
    if (batches && policy_.looked && use.used[i] >= policy_.last_used[i])
      policy_.growth[i] = std::max(policy_.growth[i], use.used[i] - policy_.last_used[i]);
  }
  // Autocommit mode: the next write (it looks again before more could not fit).
  std::array<std::uint64_t, kArrays> one_write{};
  one_write.fill(kSlotsPerWrite);
  const std::uint64_t* growth = batches ? policy_.growth : one_write.data();
  if (above(use, growth, kHighWater)) {
    // A compaction is refused inside a batch: here none is open, so autocommit
    // is switched on around it (which drops nothing) and back off.
    if (batches) g.set_autocommit(true);
    // What held last time (the window at first), halved while too much stays.
    std::uint64_t span = std::min(policy_.next_span, policy_.window);
    for (;;) {
      if (!compact_keeping(span)) break;
      use = array_use(g.fill());
      if (!above(use, growth, kLowWater) || span == 0) break;
      span = span / 2 < policy_.window / 64 ? 0 : span / 2;
    }
    // Room to spare (twice as much history would still lie below the aim):
    // the next compaction tries twice the span, so the window comes back when
    // the traffic thins.
    policy_.next_span = span;
    if (span < policy_.window && !above(use, growth, kLowWater / 2))
      policy_.next_span = std::min(policy_.window, std::max(2 * span, policy_.window / 64));
    if (above(use, growth, 1.0)) {
      VARNEL_LOG_WARN(options_.log_target,
                      "[History window]: Region " << options_.name
                                                  << ": the present scene alone (and one more "
                                                     "batch) does not fit in the record; the graph "
                                                     "is reset and the host re-adds its scene");
      g.clear();
      ++policy_.resets;
      policy_.held = 0;
      policy_.next_span = policy_.window;
      use = array_use(g.fill());
    }
    if (batches) g.set_autocommit(false);
  }
  std::copy(std::begin(use.used), std::end(use.used), std::begin(policy_.last_used));
  policy_.looked = true;
  // Autocommit mode: the writes that cannot reach the high-water mark go unlooked.
  // (In transaction mode every commit through this session is looked after.)
  // Above the mark even so (the present scene is that large): half the room to
  // the end, so that the looks come more often only as the record fills.
  std::uint64_t room = UINT64_MAX, free = UINT64_MAX;
  for (std::size_t i = 0; i < kArrays; ++i) {
    const auto mark = static_cast<std::uint64_t>(kHighWater * static_cast<double>(use.capacity[i]));
    room = std::min(room, mark > use.used[i] ? mark - use.used[i] : 0);
    free = std::min(free, use.capacity[i] > use.used[i] ? use.capacity[i] - use.used[i] : 0);
  }
  policy_.writes_until_look = (room > 0 ? room : free / 2) / kSlotsPerWrite;
}

bool GraphSession::compact_keeping(std::uint64_t span) {
  kg::KnowledgeGraph& g = *graph_;
  const std::uint64_t last = g.last_update();
  // No history left to give: the present alone, one version per instance (the
  // versions written at the last time itself included, such as a scene's many
  // additions of relations in one batch).
  const std::uint64_t keep_since =
      span == 0 ? (last == UINT64_MAX ? last : last + 1) : (last > span ? last - span : 0);
  const auto result = g.compact(keep_since);
  if (!result.stored()) {
    VARNEL_LOG_WARN(options_.log_target, "[History window]: Region "
                                             << options_.name << ": compaction to " << keep_since
                                             << " refused: " << kg::describe(result));
    return false;
  }
  ++policy_.compactions;
  policy_.held = std::min(span, last);
  VARNEL_LOG_DEBUG(options_.log_target, "[History window]: Region "
                                            << options_.name << ": compacted to " << keep_since
                                            << " (" << policy_.held << " of history), "
                                            << result.value << " versions kept");
  return true;
}

std::uint64_t GraphSession::wake_calls() const { return region_->wake.calls(); }

mi::WriterProbe GraphSession::probe_writer() const { return mi::probe_writer(options_.name); }

std::string GraphSession::writer_presence() const {
  return mi::describe_writer_probe(options_.name, probe_writer());
}

}  // namespace graph_session
