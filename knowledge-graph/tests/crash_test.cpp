// Crash consistency (Linux, x86-64): a writer process runs a random workload on a
// real shared region and is killed with SIGKILL in the middle of a chosen step.
// After every kill a fresh read-only mapping must show a state that keeps every
// invariant, holds every step the writer reported complete (autocommit writes and
// committed batches), and holds the step in flight either not at all or in full,
// the one exception being a node removal, which publishes once per step by design.
//
// The workload of a round is a pure function of its seed, so the test rebuilds
// it and replays the reported steps on the reference model.
//
// Where the writer dies: each round picks, with a fixed-seed generator, a kind of
// step (a batch, a clear, a compaction; a third of the rounds each) and one step
// of that kind which publishes. The writer runs up to that step, write-protects
// the page holding `active_indices` in its own mapping and runs the step; writes
// to that page other than the flip itself go through one at a time (the fault
// handler opens the page and single-steps the writing instruction), and the flip
// makes the writer report it and kill itself (in a batch, the flip of its commit:
// any flip before it is let through and counted). So every round dies with the
// step's slot writes and bookkeeping done and its publication not made: readers
// must see the state before the step.
//
// Compactions move slots in place: a writer killed in the middle of one leaves
// the graph marked as being compacted. Readers must then not hang (they give up
// after a bounded wait and read an empty graph), and the next host's set-up
// must leave a usable, empty graph.
//
// VARNEL_CRASH_ROUNDS (default 200) and VARNEL_CRASH_SECONDS (default 20) bound
// the run; raise both for a longer soak.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "knowledge_graph/graph/lookup_index.hpp"
#include "reference_model.hpp"
#include "shared_memory_interface/shared_memory.hpp"

namespace knowledge_graph::graph {
namespace {

using reference::ReferenceModel;
using shared_memory_interface::shared_memory::KnowledgeGraphMemory;

constexpr std::uint32_t kRegionSize = 536'870'912;
constexpr std::size_t kStepsPerRound = 1500;

// ---- The workload ----

enum class OpKind { AddNode, RemoveNode, AddRelation, RemoveRelation, Clear, Compact };

struct Op {
  OpKind kind;
  std::uint64_t timestamp;
  std::uint64_t id;
  Index target;  // the node or relation (kind from here also for adds)
  Index from;
  Index to;
};

// One step is one autocommit write or one committed batch of writes. Step 0 of
// every round empties the graph, so that the model can start from nothing.
struct Step {
  bool batch = false;
  std::vector<Op> ops;
};

class Workload {
 public:
  explicit Workload(std::uint64_t seed) : rng_(seed) {
    steps_.push_back(Step{false, {}});  // the reset
    while (steps_.size() < kStepsPerRound) {
      Step step;
      step.batch = pick(6) == 0;
      const std::size_t count = step.batch ? 1 + pick(12) : 1;
      for (std::size_t i = 0; i < count; ++i) step.ops.push_back(random_op(step.batch));
      steps_.push_back(step);
    }
  }
  const std::vector<Step>& steps() const { return steps_; }

 private:
  std::uint64_t pick(std::uint64_t bound) { return rng_() % bound; }
  Index node() { return Index(kPoolKinds[pick(4)], pick(8)); }

  Op random_op(bool in_batch) {
    Op op{};
    clock_ += 1 + pick(3);
    op.timestamp = pick(40) == 0 ? clock_ - pick(clock_) : clock_;  // sometimes going back
    const unsigned roll = static_cast<unsigned>(pick(100));
    if (roll < 35) {
      op.kind = OpKind::AddNode;
      op.target = node();
    } else if (roll < 70) {
      op.kind = OpKind::AddRelation;
      op.target = Index(1 + pick(16), pick(24));
      op.from = node();
      op.to = node();
    } else if (roll < 84) {
      op.kind = OpKind::RemoveRelation;
      op.target = Index(1 + pick(16), pick(24));
    } else if (roll < 91 || in_batch) {
      op.kind = OpKind::RemoveNode;
      op.target = node();
    } else if (roll < 99) {
      op.kind = OpKind::Compact;  // autocommit only: inside a batch it is refused
      op.timestamp = clock_ - pick(std::min<std::uint64_t>(clock_, 60));
    } else {
      op.kind = OpKind::Clear;  // only in autocommit: see the note in the report
    }
    op.id = op.target.instance_id;
    return op;
  }

  static constexpr std::uint64_t kPoolKinds[4] = {1, 6, 8, 17};
  std::mt19937_64 rng_;
  std::uint64_t clock_ = 1;
  std::vector<Step> steps_;
};

KnowledgeGraphNode node_value(const Op& op) {
  KnowledgeGraphNode value;
  value.tag = op.target.type_index;
  std::memcpy(value.payload, &op.timestamp, sizeof op.timestamp);
  return value;
}
KnowledgeGraphRelation relation_value(const Op& op) {
  KnowledgeGraphRelation value;
  value.tag = op.target.type_index;
  std::memcpy(value.payload, &op.timestamp, sizeof op.timestamp);
  return value;
}

// Runs one step on a graph or on the model (both offer the same calls);
// `before_commit` runs just before a batch is committed.
template <class Target>
void apply(Target& target, const Step& step, void (*before_commit)() = nullptr) {
  if (step.batch) {
    target.set_autocommit(false);
    target.start_transaction();
  }
  for (const Op& op : step.ops) {
    switch (op.kind) {
      case OpKind::AddNode: target.add_node(op.timestamp, op.id, node_value(op)); break;
      case OpKind::RemoveNode: target.remove_node(op.timestamp, op.target); break;
      case OpKind::AddRelation:
        target.add_relation(op.timestamp, op.id, relation_value(op), op.from, op.to);
        break;
      case OpKind::RemoveRelation: target.remove_relation(op.timestamp, op.target); break;
      case OpKind::Clear: target.clear(); break;
      case OpKind::Compact: target.compact(op.timestamp); break;
    }
  }
  if (step.batch) {
    if (before_commit != nullptr) before_commit();
    target.commit_transaction();
    target.set_autocommit(true);
  }
}

// ---- Where a round dies ----

// The kinds of step a round is killed in.
enum class Cut : std::size_t { Batch = 0, Reset = 1, Compaction = 2 };
constexpr std::size_t kCuts = 3;
constexpr const char* kCutNames[kCuts] = {"batch", "reset", "compaction"};

// The kind of a step that a round may be killed in; other steps have none.
std::optional<Cut> cut_of(const Step& step) {
  if (step.batch) return Cut::Batch;
  if (step.ops[0].kind == OpKind::Clear) return Cut::Reset;
  if (step.ops[0].kind == OpKind::Compact) return Cut::Compaction;
  return std::nullopt;
}

// Per kind, the steps (after the opening reset) that flip the published buffer,
// as the model runs them: a compaction that drops nothing publishes nothing.
std::array<std::vector<std::uint32_t>, kCuts> publishing_steps(const Workload& workload) {
  std::array<std::vector<std::uint32_t>, kCuts> steps;
  ReferenceModel model;
  for (std::uint32_t i = 1; i < workload.steps().size(); ++i) {
    const std::uint64_t active = model.active();
    apply(model, workload.steps()[i]);
    const std::optional<Cut> cut = cut_of(workload.steps()[i]);
    if (cut && model.active() != active) steps[static_cast<std::size_t>(*cut)].push_back(i);
  }
  return steps;
}

// ---- The writer process ----

// What the writer sends, after the reports of the completed steps, when the
// step in flight reaches its flip.
constexpr std::uint32_t kStoppedAtFlip = 0xFFFF'FFFFu;

// The writer's trip on its own mapping of the record: while armed, the page
// that holds `active_indices` is read-only. Once the trip is deadly, a write to
// `active_indices` is the step's publication: the writer reports it, with the
// number of flips let through before, and dies there. Any other write to the
// page is let through alone: the page is opened, the instruction runs under the
// trap flag, and the trap closes the page again. A batch turns deadly just
// before its commit, so that a flip made earlier in the batch gets through
// and shows.
namespace trip {
char* page = nullptr;
std::size_t page_size = 0;
const char* flip_word = nullptr;
int report = -1;
volatile sig_atomic_t armed = 0;
volatile sig_atomic_t deadly = 0;
volatile std::uint32_t early_flips = 0;  // flips let through while not deadly

// The trap flag of the interrupted context: set, the next instruction it runs
// ends in SIGTRAP.
void set_trap_flag(void* context, bool on) {
#if defined(__x86_64__)
  constexpr greg_t kTrapFlag = 0x100;
  greg_t& flags = static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_EFL];
  flags = on ? (flags | kTrapFlag) : (flags & ~kTrapFlag);
#else
  (void)context;
  (void)on;
#endif
}

void restore_default(int signal_number) {
  struct sigaction action{};
  action.sa_handler = SIG_DFL;
  sigaction(signal_number, &action, nullptr);
}

void on_write_fault(int, siginfo_t* info, void* context) {
  const char* address = static_cast<const char*>(info->si_addr);
  if (!armed || address < page || address >= page + page_size) {
    restore_default(SIGSEGV);  // a fault of its own: it repeats and ends the writer as usual
    return;
  }
  if (address >= flip_word && address < flip_word + sizeof(std::uint64_t)) {
    if (deadly) {
      const std::uint32_t stopped[2] = {kStoppedAtFlip, early_flips};
      if (write(report, stopped, sizeof stopped) != static_cast<ssize_t>(sizeof stopped)) _exit(4);
      kill(getpid(), SIGKILL);
      _exit(5);  // not reached
    }
    early_flips = early_flips + 1;
  }
  mprotect(page, page_size, PROT_READ | PROT_WRITE);
  set_trap_flag(context, true);
}

void on_single_step(int, siginfo_t*, void* context) {
  if (armed) mprotect(page, page_size, PROT_READ);
  set_trap_flag(context, false);
}

void install(const KnowledgeGraph& graph, int report_fd) {
  page_size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  flip_word = reinterpret_cast<const char*>(&graph.active_indices);
  const auto word = reinterpret_cast<std::uintptr_t>(flip_word);
  page = reinterpret_cast<char*>(word - word % page_size);
  report = report_fd;
  struct sigaction action{};
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  action.sa_sigaction = on_write_fault;
  if (sigaction(SIGSEGV, &action, nullptr) != 0) _exit(6);
  action.sa_sigaction = on_single_step;
  if (sigaction(SIGTRAP, &action, nullptr) != 0) _exit(6);
}

void turn_deadly() { deadly = 1; }

void arm(bool at_once) {
  armed = 1;
  deadly = at_once ? 1 : 0;
  if (mprotect(page, page_size, PROT_READ) != 0) _exit(7);
}
void disarm() {
  if (mprotect(page, page_size, PROT_READ | PROT_WRITE) != 0) _exit(7);
  armed = 0;
}
}  // namespace trip

// Runs the round's steps and reports each completed one through the pipe. Step
// `stop_at` runs armed and dies at its flip (a batch: its commit's flip); a writer that gets past it runs on
// to the end and exits. Step 0 empties the graph with update_timestamp 0 (a host
// taking over the region after a crash first switches autocommit back on).
[[noreturn]] void run_writer(KnowledgeGraph& graph, const Workload& workload,
                             std::uint32_t stop_at, int report) {
  trip::install(graph, report);
  graph.initialize();
  for (std::uint32_t i = 0; i < workload.steps().size(); ++i) {
    const Step& step = workload.steps()[i];
    if (i == stop_at) trip::arm(!step.batch);
    if (i == 0) {
      graph.clear();
      graph.add_node(0, 0, KnowledgeGraphNode{});
      graph.clear();
    } else {
      apply(graph, step, i == stop_at ? trip::turn_deadly : nullptr);
    }
    if (i == stop_at) trip::disarm();
    if (write(report, &i, sizeof i) != static_cast<ssize_t>(sizeof i)) _exit(3);
  }
  _exit(0);
}

// ---- The checks ----

std::uint64_t env_or(const char* name, std::uint64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != 0 ? std::strtoull(text, nullptr, 10) : fallback;
}

bool tails_between(const GraphIndices& low, const GraphIndices& now, const GraphIndices& high) {
  for (std::uint64_t k = 0; k < kNodeKinds; ++k)
    if (now.node_index_tail[k] < low.node_index_tail[k] ||
        now.node_index_tail[k] > high.node_index_tail[k])
      return false;
  for (std::uint64_t k = 0; k < kRelationKinds; ++k)
    if (now.relation_index_tail[k] < low.relation_index_tail[k] ||
        now.relation_index_tail[k] > high.relation_index_tail[k])
      return false;
  return now.nodes_tail == low.nodes_tail && now.relations_tail == low.relations_tail;
}

struct Tally {
  std::uint64_t rounds = 0, killed = 0, finished = 0, steps_reported = 0, batches_reported = 0;
  std::uint64_t before_reset = 0, at_reported = 0, in_flight_visible = 0, removal_in_steps = 0;
  std::uint64_t compactions_cut = 0;
  std::uint64_t killed_in[kCuts] = {};  // by the kind of the step in flight
  std::uint64_t other_kind = 0;         // rounds with no publishing step of the kind drawn
  // What the last round's state may name without a version (dropped by compactions).
  reference::ModelState last_dropped;
};

// A writer killed in a compaction: readers wait a bounded time, then see an
// empty graph; the next host's set-up makes the graph usable again. The wait
// is timed for the first few cuts only (each costs the whole bound).
void check_cut_compaction(const KnowledgeGraph& reader, KnowledgeGraph& host,
                          const Workload& workload, std::uint64_t reported, Tally& tally) {
  ASSERT_LT(reported, workload.steps().size());
  const Step& in_flight = workload.steps()[reported];
  ASSERT_TRUE(!in_flight.batch && in_flight.ops[0].kind == OpKind::Compact)
      << "the graph is marked as being compacted, yet step " << reported << " is no compaction";
  if (++tally.compactions_cut <= 2) {
    const auto start = std::chrono::steady_clock::now();
    const std::vector<NodeItem> nodes = reader.get_all_nodes(interval_algebra::Interval::eternity());
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(nodes.empty());
    EXPECT_TRUE(reader.is_empty());
    EXPECT_TRUE(reader.compaction_stalled());
    EXPECT_LT(waited, std::chrono::milliseconds(KnowledgeGraph::kCompactionWaitMilliseconds + 3000));
  }
  host.initialize();  // what a host taking over the region does first
  tally.last_dropped = reference::ModelState{};
  EXPECT_FALSE(reader.compaction_in_progress());
  EXPECT_FALSE(reader.compaction_stalled());
  const GraphIndices published = reader.indices[reader.active_buffer()];
  EXPECT_EQ(reference::check_invariants(reader, published), "");
  EXPECT_TRUE(reader.is_empty());
  EXPECT_TRUE(host.add_node(1, 1, reference::node_of_kind(1)).stored());
  EXPECT_NE(reader.get_latest_node_value(Index(1, 1)), nullptr);
}

// Which state the reader sees, given that steps [0, reported) completed.
void check_after_kill(const KnowledgeGraph& reader, const Workload& workload,
                      std::uint64_t reported, Tally& tally) {
  const GraphIndices published = reader.indices[reader.active_buffer()];
  if (reported == 0) {  // killed before the reset finished: the earlier state, or empty
    ASSERT_EQ(reference::check_invariants(reader, published, GraphIndices{}, &tally.last_dropped),
              "")
        << "before the reset";
    ++tally.before_reset;
    return;
  }
  ReferenceModel model;
  for (std::uint64_t i = 1; i < reported; ++i) apply(model, workload.steps()[i]);
  ReferenceModel after = model;
  if (reported < workload.steps().size()) apply(after, workload.steps()[reported]);
  // Versions may name instances that a compaction, done or in flight, dropped.
  reference::ModelState dropped = after.published();
  dropped.vanished_nodes.insert(model.published().vanished_nodes.begin(),
                                model.published().vanished_nodes.end());
  dropped.vanished_relations.insert(model.published().vanished_relations.begin(),
                                    model.published().vanished_relations.end());
  ASSERT_EQ(reference::check_invariants(reader, published, GraphIndices{}, &dropped), "")
      << "after " << reported << " steps";
  tally.last_dropped = dropped;
  if (reference::compare_state(reader, published, model.published()).empty()) {
    ++tally.at_reported;
    return;
  }
  ASSERT_LT(reported, workload.steps().size()) << "finished writer, state unlike the model";
  const Step& in_flight = workload.steps()[reported];
  const std::string problem = reference::compare_state(reader, published, after.published());
  if (problem.empty()) {
    ++tally.in_flight_visible;
    return;
  }
  // A node removal publishes the node's Removed version, then each relation removal.
  const bool stepwise = !in_flight.batch && in_flight.ops[0].kind == OpKind::RemoveNode;
  ASSERT_TRUE(stepwise) << "after " << reported << " reported steps the state is neither before "
                        << "nor after the step in flight: " << problem;
  ASSERT_TRUE(tails_between(model.published().tails, published, after.published().tails))
      << "a node removal in flight left tails outside its steps";
  ++tally.removal_in_steps;
}

// What the writer sent: how many steps it completed, and whether it reached the
// flip of the step in flight.
struct Reports {
  std::uint64_t completed = 0;
  bool stopped_at_flip = false;
  std::uint32_t early_flips = 0;  // flips of the step in flight before the one it died at
  bool silent = false;  // nothing for a minute: the writer was killed from here
};

// Reads the writer's reports until it closes the pipe by dying or exiting.
Reports read_reports(int fd, pid_t writer, const Workload& workload, Tally& tally) {
  Reports reports;
  std::uint32_t index = 0;
  for (;;) {
    pollfd ready{fd, POLLIN, 0};
    const int polled = poll(&ready, 1, 60'000);
    if (polled < 0 && errno == EINTR) continue;
    if (polled == 0) {
      reports.silent = true;
      kill(writer, SIGKILL);
      break;
    }
    if (read(fd, &index, sizeof index) != static_cast<ssize_t>(sizeof index)) break;
    if (index == kStoppedAtFlip) {
      reports.stopped_at_flip = true;
      if (read(fd, &reports.early_flips, sizeof reports.early_flips) !=
          static_cast<ssize_t>(sizeof reports.early_flips))
        ADD_FAILURE() << "the writer did not tell how many flips it let through";
      continue;
    }
    EXPECT_EQ(index, reports.completed);
    if (index >= workload.steps().size()) break;
    reports.completed = index + 1;
    if (workload.steps()[index].batch) ++tally.batches_reported;
  }
  tally.steps_reported += reports.completed;
  return reports;
}

TEST(CrashConsistency, KilledWriterLeavesAConsistentPublishedState) {
#if !defined(__x86_64__)
  GTEST_SKIP() << "the writer stops at its flip by single-stepping with the x86-64 trap flag";
#endif
  const std::string name = "VarnelCrashTest-" + std::to_string(getpid());
  KnowledgeGraphMemory region(name, kRegionSize);
  ASSERT_TRUE(region.initialize());
  KnowledgeGraph& graph = *region.get_data_ref();
  if (!region.already_exists()) KnowledgeGraph::make_default_in(&graph);
  ASSERT_TRUE(attach_region_lookup_index(graph, region.view_size()));

  const std::uint64_t max_rounds = env_or("VARNEL_CRASH_ROUNDS", 200);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(env_or("VARNEL_CRASH_SECONDS", 20));
  std::mt19937_64 choice(20240607);
  std::array<std::size_t, kCuts> order{};  // the kinds of the current three rounds, shuffled
  Tally tally;
  for (std::uint64_t round = 0; round < max_rounds && !::testing::Test::HasFailure() &&
                                std::chrono::steady_clock::now() < deadline;
       ++round) {
    if (round % kCuts == 0) {
      for (std::size_t i = 0; i < kCuts; ++i) order[i] = i;
      for (std::size_t i = kCuts - 1; i > 0; --i) std::swap(order[i], order[choice() % (i + 1)]);
    }
    const Workload workload(round);
    const auto publishing = publishing_steps(workload);
    std::size_t cut = order[round % kCuts];
    // A round without a publishing step of that kind (none seen so far) takes the next kind.
    for (std::size_t tried = 1; publishing[cut].empty() && tried < kCuts; ++tried) {
      cut = (cut + 1) % kCuts;
      ++tally.other_kind;
    }
    ASSERT_FALSE(publishing[cut].empty()) << "round " << round << " has no step to stop in";
    const std::uint32_t stop_at =
        publishing[cut][static_cast<std::size_t>(choice() % publishing[cut].size())];

    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(pipe_ends[0]);
      run_writer(graph, workload, stop_at, pipe_ends[1]);
    }
    close(pipe_ends[1]);
    const Reports reports = read_reports(pipe_ends[0], child, workload, tally);
    close(pipe_ends[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_FALSE(reports.silent) << "round " << round << ": the writer went silent in step "
                                 << reports.completed;
    if (WIFEXITED(status)) ++tally.finished;
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "round " << round << ": the writer was to die at the flip of step " << stop_at << " ("
        << kCutNames[cut] << ") but "
        << (WIFEXITED(status) ? "exited with " + std::to_string(WEXITSTATUS(status))
                              : "died of signal " + std::to_string(WTERMSIG(status)))
        << " after " << reports.completed << " steps";
    ++tally.killed;
    ASSERT_TRUE(reports.stopped_at_flip && reports.completed == stop_at)
        << "round " << round << ": killed after " << reports.completed
        << " steps, not at the flip of step " << stop_at;
    EXPECT_EQ(reports.early_flips, 0u)
        << "round " << round << ": step " << stop_at << " (" << kCutNames[cut]
        << ") published before its last flip";
    ++tally.killed_in[cut];

    KnowledgeGraphMemory fresh(name, kRegionSize);  // a new reader: its own mapping
    ASSERT_TRUE(fresh.initialize_read_only());
    ASSERT_TRUE(attach_region_lookup_index(*fresh.get_data_ref(), fresh.view_size()));
    if (fresh.get_data_ref()->compaction_in_progress()) {
      EXPECT_EQ(cut, static_cast<std::size_t>(Cut::Compaction));
      check_cut_compaction(*fresh.get_data_ref(), graph, workload, reports.completed, tally);
    } else {
      EXPECT_NE(cut, static_cast<std::size_t>(Cut::Compaction))
          << "round " << round << ": a compaction killed at its flip left no mark";
      const std::uint64_t at_reported = tally.at_reported;
      check_after_kill(*fresh.get_data_ref(), workload, reports.completed, tally);
      // Nothing of the step was published: readers see the steps before it.
      EXPECT_EQ(tally.at_reported, at_reported + 1)
          << "round " << round << ": killed before the flip of step " << stop_at << " ("
          << kCutNames[cut] << "), yet readers see another state than after the steps before it";
    }
    detach_lookup_index(*fresh.get_data_ref());
    ++tally.rounds;
  }
  std::printf("crash rounds %llu: killed %llu of %llu rounds mid-run, %llu finished; inside batch "
              "%llu / reset %llu / compaction %llu (%llu kind changes for want of a step); "
              "%llu steps reported (%llu batches); state at the reported step %llu, with the step "
              "in flight %llu, a node removal part-way %llu, killed before the reset %llu, in a "
              "compaction %llu\n",
              (unsigned long long)tally.rounds, (unsigned long long)tally.killed,
              (unsigned long long)tally.rounds, (unsigned long long)tally.finished,
              (unsigned long long)tally.killed_in[0], (unsigned long long)tally.killed_in[1],
              (unsigned long long)tally.killed_in[2], (unsigned long long)tally.other_kind,
              (unsigned long long)tally.steps_reported,
              (unsigned long long)tally.batches_reported, (unsigned long long)tally.at_reported,
              (unsigned long long)tally.in_flight_visible,
              (unsigned long long)tally.removal_in_steps, (unsigned long long)tally.before_reset,
              (unsigned long long)tally.compactions_cut);
  EXPECT_GT(tally.rounds, 0u);
  EXPECT_EQ(tally.killed, tally.rounds);
  EXPECT_EQ(tally.finished, 0u);
}

}  // namespace
}  // namespace knowledge_graph::graph
