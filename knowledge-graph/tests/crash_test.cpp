// Crash consistency (Linux): a writer process runs a random workload on a real
// shared region and is killed with SIGKILL at random moments. After every kill a
// fresh read-only mapping must show a state that keeps every invariant, holds
// every step the writer reported complete (autocommit writes and committed
// batches), and holds the step in flight either not at all or in full, the one
// exception being a node removal, which publishes once per step by design.
//
// The workload of a round is a pure function of its seed, so the test rebuilds
// it and replays the reported steps on the reference model.
//
// Compactions move slots in place: a writer killed in the middle of one leaves
// the graph marked as being compacted. Readers must then not hang (they give up
// after a bounded wait and read an empty graph), and the next host's set-up
// must leave a usable, empty graph.
//
// VARNEL_CRASH_ROUNDS (default 200) and VARNEL_CRASH_SECONDS (default 20) bound
// the run; raise both for a longer soak.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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

// Runs one step on a graph or on the model (both offer the same calls).
template <class Target> void apply(Target& target, const Step& step) {
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
    target.commit_transaction();
    target.set_autocommit(true);
  }
}

// ---- The writer process ----

// Runs the round's steps and reports each completed one through the pipe, then
// exits. Step 0 empties the graph with update_timestamp 0 (a host taking over
// the region after a crash first switches autocommit back on).
[[noreturn]] void run_writer(KnowledgeGraph& graph, std::uint64_t seed, int report) {
  const Workload workload(seed);
  graph.initialize();
  for (std::uint32_t i = 0; i < workload.steps().size(); ++i) {
    if (i == 0) {
      graph.clear();
      graph.add_node(0, 0, KnowledgeGraphNode{});
      graph.clear();
    } else {
      apply(graph, workload.steps()[i]);
    }
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

std::uint64_t read_reports(int fd, const Workload& workload, Tally& tally) {
  std::uint64_t reported = 0;
  std::uint32_t index = 0;
  while (read(fd, &index, sizeof index) == static_cast<ssize_t>(sizeof index)) {
    EXPECT_EQ(index, reported);
    reported = index + 1;
    if (workload.steps()[index].batch) ++tally.batches_reported;
  }
  tally.steps_reported += reported;
  return reported;
}

TEST(CrashConsistency, KilledWriterLeavesAConsistentPublishedState) {
  const std::string name = "VarnelCrashTest-" + std::to_string(getpid());
  KnowledgeGraphMemory region(name, kRegionSize);
  ASSERT_TRUE(region.initialize());
  KnowledgeGraph& graph = *region.get_data_ref();
  if (!region.already_exists()) KnowledgeGraph::make_default_in(&graph);
  ASSERT_TRUE(attach_region_lookup_index(graph, region.view_size()));

  const std::uint64_t max_rounds = env_or("VARNEL_CRASH_ROUNDS", 200);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(env_or("VARNEL_CRASH_SECONDS", 20));
  std::mt19937_64 timing(20240607);
  Tally tally;
  for (std::uint64_t round = 0; round < max_rounds && !::testing::Test::HasFailure() &&
                                std::chrono::steady_clock::now() < deadline;
       ++round) {
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(pipe_ends[0]);
      run_writer(graph, round, pipe_ends[1]);
    }
    close(pipe_ends[1]);
    const Workload workload(round);  // built while the writer runs
    usleep(static_cast<useconds_t>(1500 + timing() % 5000));  // past the start-up, mostly
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (WIFSIGNALED(status)) ++tally.killed;
    else ASSERT_EQ(WEXITSTATUS(status), 0) << "writer failed";
    if (WIFEXITED(status)) ++tally.finished;
    const std::uint64_t reported = read_reports(pipe_ends[0], workload, tally);
    close(pipe_ends[0]);

    KnowledgeGraphMemory fresh(name, kRegionSize);  // a new reader: its own mapping
    ASSERT_TRUE(fresh.initialize_read_only());
    ASSERT_TRUE(attach_region_lookup_index(*fresh.get_data_ref(), fresh.view_size()));
    if (fresh.get_data_ref()->compaction_in_progress()) {
      check_cut_compaction(*fresh.get_data_ref(), graph, workload, reported, tally);
    } else {
      check_after_kill(*fresh.get_data_ref(), workload, reported, tally);
    }
    detach_lookup_index(*fresh.get_data_ref());
    ++tally.rounds;
  }
  std::printf("crash rounds %llu: %llu killed, %llu finished; %llu steps reported (%llu batches); "
              "state at the reported step %llu, with the step in flight %llu, a node removal "
              "part-way %llu, killed before the reset %llu, in a compaction %llu\n",
              (unsigned long long)tally.rounds, (unsigned long long)tally.killed,
              (unsigned long long)tally.finished, (unsigned long long)tally.steps_reported,
              (unsigned long long)tally.batches_reported, (unsigned long long)tally.at_reported,
              (unsigned long long)tally.in_flight_visible,
              (unsigned long long)tally.removal_in_steps, (unsigned long long)tally.before_reset,
              (unsigned long long)tally.compactions_cut);
  EXPECT_GT(tally.rounds, 0u);
}

}  // namespace
}  // namespace knowledge_graph::graph
