// Readers against a writer at full speed: every snapshot and every item a reader
// is handed must be consistent, while the writer adds, removes, relates, batches
// transactions and clears. Two variants: threads sharing a private graph (run
// under ThreadSanitizer) and, on Linux, reader processes that map the writer's
// shared region read-only.
//
// Each variant runs for VARNEL_STRESS_SECONDS seconds (default 3), or the value
// of --stress-seconds=N.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "knowledge_graph/graph/iterators.hpp"
#include "knowledge_graph/graph/knowledge_graph.hpp"

#if defined(__linux__) && __has_include("shared_memory_interface/shared_memory.hpp")
#define VARNEL_STRESS_PROCESSES 1
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "shared_memory_interface/shared_memory.hpp"
extern char** environ;
#endif

namespace knowledge_graph::graph {
namespace {

using interval_algebra::Interval;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kNodeIds = 32;       // per node kind
constexpr std::uint64_t kRelationIds = 256;  // per relation kind
constexpr std::uint64_t kRefill = 15000;     // clear before any array comes near its capacity

double stress_seconds = 0;  // set by main from the flag, else from the environment

double seconds_per_variant() {
  if (stress_seconds > 0) return stress_seconds;
  const char* text = std::getenv("VARNEL_STRESS_SECONDS");
  const double value = text ? std::atof(text) : 0.0;
  return value > 0 ? value : 3.0;
}

// ---- Values that name their own version: kind in the tag, instance id in the payload.

KnowledgeGraphNode node_value(std::uint64_t kind, std::uint64_t id) {
  KnowledgeGraphNode value;
  value.tag = kind;
  std::memcpy(value.payload, &id, sizeof id);
  return value;
}

KnowledgeGraphRelation relation_value(std::uint64_t kind, std::uint64_t id) {
  KnowledgeGraphRelation value;
  value.tag = kind;
  std::memcpy(value.payload, &id, sizeof id);
  return value;
}

template <class Value> std::uint64_t named_id(const Value& value) {
  std::uint64_t id;
  std::memcpy(&id, value.payload, sizeof id);
  return id;
}

// ---- The writer ----

class Writer {
 public:
  // `compacting`: the graph never clears; it compacts at full rate instead.
  Writer(KnowledgeGraph& graph, std::uint64_t seed, bool compacting = false)
      : graph_(graph), random_(seed), compacting_(compacting) {}

  // One step: a single autocommit write, a committed batch, or now and then a
  // clear (or, compacting, a compaction every few writes).
  void step() {
    if (compacting_ && (near_capacity() || chance(8))) {
      compact();
    } else if (!compacting_ && (near_capacity() || chance(2000))) {
      clear();
    } else if (chance(50)) {
      graph_.set_autocommit(false);
      graph_.start_transaction();
      for (std::uint64_t n = 1 + pick(20); n > 0; --n) write();
      graph_.commit_transaction();
      graph_.set_autocommit(true);
    } else {
      write();
    }
  }
  std::uint64_t clears() const { return clears_; }
  std::uint64_t compactions() const { return compactions_; }

 private:
  // A clear inside a batch lets the rest of the batch reuse slots that readers
  // still see below the active tails until the commit: readers notice writes
  // made while they read, not those made before they started. The workload
  // therefore clears only in autocommit mode.
  void clear() {
    graph_.clear();
    nodes_.clear();
    relations_.clear();
    ++clears_;
  }

  // Keeps a random stretch of the recent history; a short one when space runs low.
  void compact() {
    const std::uint64_t window = near_capacity() ? 50 : pick(3000);
    if (graph_.compact(time_ > window ? time_ - window : 0).stored()) ++compactions_;
    // The instances the writer draws on are those still in the graph.
    std::erase_if(nodes_, [&](const Index& node) {
      return graph_.get_latest_node_record(node) == nullptr;
    });
    std::erase_if(relations_, [&](const Index& relation) {
      return graph_.get_latest_relation_record(relation) == nullptr;
    });
  }

  void write() {
    const std::uint64_t roll = pick(100);
    if (roll < 35 || nodes_.size() < 2) {
      const Index node(1 + pick(kNodeKinds - 1), pick(kNodeIds));
      graph_.add_node(++time_, node.instance_id, node_value(node.type_index, node.instance_id));
      nodes_.push_back(node);
    } else if (roll < 75) {
      const Index from = nodes_[pick(nodes_.size())];
      const Index to = nodes_[pick(nodes_.size())];
      if (from == to) return;
      const Index relation(1 + pick(kRelationKinds - 1), pick(kRelationIds));
      const auto added = graph_.add_relation(++time_, relation.instance_id,
                                             relation_value(relation.type_index, relation.instance_id),
                                             from, to);
      if (added.stored()) relations_.push_back(relation);
    } else if (roll < 90 && !relations_.empty()) {
      graph_.remove_relation(++time_, relations_[pick(relations_.size())]);
    } else {
      graph_.remove_node(++time_, nodes_[pick(nodes_.size())]);
    }
  }

  bool near_capacity() const {
    const GraphIndices now = graph_.snapshot().indices;
    for (std::uint64_t tail : now.node_index_tail)
      if (tail > kRefill) return true;
    for (std::uint64_t tail : now.relation_index_tail)
      if (tail > kRefill) return true;
    return now.nodes_tail > kRefill || now.relations_tail > kRefill;
  }

  bool chance(std::uint64_t one_in) { return pick(one_in) == 0; }
  std::uint64_t pick(std::uint64_t bound) { return random_() % bound; }

  KnowledgeGraph& graph_;
  std::mt19937_64 random_;
  std::uint64_t time_ = 0;
  bool compacting_;
  std::uint64_t clears_ = 0;
  std::uint64_t compactions_ = 0;
  std::vector<Index> nodes_;
  std::vector<Index> relations_;
};

// ---- The reader's checks ----

struct ReadStats {
  std::uint64_t passes = 0;
  std::uint64_t overtaken = 0;
  std::uint64_t items = 0;
  std::uint64_t inconsistencies = 0;
};

class Checker {
 public:
  // `compacted`: the writer compacts and never clears, so once the graph held
  // something no read may find it empty, and no reader may give up waiting.
  // Compactions drop node versions that older relation versions were written
  // with: a relation whose node versions are gone entirely is not checked.
  Checker(const KnowledgeGraph& graph, std::uint64_t seed, bool read_in_place,
          bool compacted = false)
      : graph_(graph), random_(seed), read_in_place_(read_in_place), compacted_(compacted) {}

  ReadStats run_until(Clock::time_point deadline) {
    while (Clock::now() < deadline) {
      check_snapshot(graph_.snapshot());
      if (check_walks()) {
        ++stats_.passes;
      } else {
        ++stats_.overtaken;
      }
      check_kind_query();
      check_lookups();
    }
    return stats_;
  }

 private:
  // A relation version's expected node versions: (node kind, node id, timestamp).
  using Expectation = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>;
  struct Expected {
    std::vector<Index> outgoing;
    std::vector<Index> incoming;
  };

  void fail(const std::string& what) {
    if (++stats_.inconsistencies <= 10) std::fprintf(stderr, "inconsistent: %s\n", what.c_str());
  }
  void expect(bool holds, const char* what, std::uint64_t a = 0, std::uint64_t b = 0) {
    if (!holds) fail(std::string(what) + " (" + std::to_string(a) + ", " + std::to_string(b) + ")");
  }

  void check_snapshot(const Snapshot& taken) {
    expect(taken.active <= 1, "active buffer", taken.active);
    expect(!taken.compaction_stalled, "reader gave up on a live compaction");
    std::uint64_t versions = 0;
    for (std::uint64_t tail : taken.indices.node_index_tail) versions += tail;
    if (compacted_) expect(versions > 0 || !seen_versions_, "empty graph after a compaction");
    seen_versions_ = seen_versions_ || versions > 0;
    for (std::uint64_t tail : taken.indices.node_index_tail)
      expect(tail <= kNodeVersionsPerKind, "node tail", tail);
    for (std::uint64_t tail : taken.indices.relation_index_tail)
      expect(tail <= kRelationVersionsPerKind, "relation tail", tail);
    expect(taken.indices.nodes_tail <= kNodeValues, "nodes tail", taken.indices.nodes_tail);
    expect(taken.indices.relations_tail <= kRelationValues, "relations tail");
  }

  void check_list(const RelationList& list) {
    for (const Index& entry : list) {
      if (entry.is_empty()) continue;
      expect(entry.type_index >= 1 && entry.type_index < kRelationKinds &&
                 entry.instance_id < kRelationIds,
             "list entry", entry.type_index, entry.instance_id);
    }
  }

  void check_node(const NodeItem& item, std::uint64_t kind, const Snapshot& taken) {
    ++stats_.items;
    const NodeRecord& record = item.record;
    expect(record.marker == Marker::Valid || record.marker == Marker::Removed, "node marker");
    expect(item.value.type_index() == kind, "node value kind", item.value.type_index(), kind);
    expect(named_id(item.value) == record.instance_id, "node value id", named_id(item.value),
           record.instance_id);
    expect(record.instance_id < kNodeIds, "node id", record.instance_id);
    expect(record.value_index < taken.indices.nodes_tail, "node value index", record.value_index,
           taken.indices.nodes_tail);
    expect(record.timestamp > 0 && record.timestamp <= taken.indices.update_timestamp,
           "node timestamp", record.timestamp, taken.indices.update_timestamp);
    check_list(record.outgoing);
    check_list(record.incoming);
  }

  void check_relation(const RelationItem& item, std::uint64_t kind, const Snapshot& taken) {
    ++stats_.items;
    const RelationRecord& record = item.record;
    expect(record.marker == Marker::Valid || record.marker == Marker::Removed, "relation marker");
    expect(item.value.type_index() == kind, "relation value kind", item.value.type_index(), kind);
    expect(named_id(item.value) == record.instance_id, "relation value id");
    expect(record.value_index < taken.indices.relations_tail, "relation value index");
    expect(record.timestamp > 0 && record.timestamp <= taken.indices.update_timestamp,
           "relation timestamp", record.timestamp, taken.indices.update_timestamp);
    for (const Index& node : {record.from, record.to})
      expect(node.type_index >= 1 && node.type_index < kNodeKinds && node.instance_id < kNodeIds,
             "relation endpoint", node.type_index, node.instance_id);
  }

  // Every relation version and every node version of every kind, and the model:
  // an added relation is listed by the versions of its two nodes that the same
  // write appended (same timestamp). False when a clear overtook the pass.
  bool check_walks() {
    std::map<Expectation, Expected> expected;
    const Snapshot first = graph_.snapshot();
    for (std::uint64_t kind = 0; kind < kRelationKinds; ++kind) {
      auto walk = graph_.relations_iter(Interval::eternity(), kind);
      while (auto item = walk.next()) {
        check_relation(*item, kind, walk.snapshot);
        if (item->record.marker != Marker::Valid) continue;
        const Index relation(kind, item->record.instance_id);
        const RelationRecord& r = item->record;
        expected[{r.from.type_index, r.from.instance_id, r.timestamp}].outgoing.push_back(relation);
        expected[{r.to.type_index, r.to.instance_id, r.timestamp}].incoming.push_back(relation);
      }
      if (walk.overtaken()) return false;
    }
    std::set<Expectation> met, present;
    for (std::uint64_t kind = 0; kind < kNodeKinds; ++kind) {
      auto walk = graph_.nodes_iter(Interval::eternity(), kind);
      for (const NodeItem& item : walk) {
        check_node(item, kind, walk.snapshot);
        const Expectation key{kind, item.record.instance_id, item.record.timestamp};
        const auto found = expected.find(key);
        if (found == expected.end()) continue;
        present.insert(key);
        if (lists_all(item.record.outgoing, found->second.outgoing) &&
            lists_all(item.record.incoming, found->second.incoming))
          met.insert(key);
      }
      if (walk.overtaken()) return false;
    }
    if (graph_.cleared_since(first)) return false;  // the relation walks may predate a clear
    for (const auto& [key, relations] : expected)
      expect(met.count(key) == 1 || (compacted_ && present.count(key) == 0),
             "relation not listed by its node", std::get<0>(key), std::get<1>(key));
    return true;
  }

  static bool lists_all(const RelationList& list, const std::vector<Index>& wanted) {
    for (const Index& relation : wanted) {
      bool listed = false;
      for (const Index& entry : list) listed = listed || entry == relation;
      if (!listed) return false;
    }
    return true;
  }

  // A window (binary-searched where the kind is in write order) and all time
  // (through the index's enumeration), while the writer appends and clears.
  void check_kind_query() {
    const std::uint64_t kind = random_() % kNodeKinds;
    const std::uint64_t start = random_() % (graph_.last_update() + 1);
    for (const Interval& interval : {Interval::make(start, start + 500), Interval::eternity()}) {
      const auto items = graph_.get_nodes_of_type(interval, kind);
      const Snapshot after = graph_.snapshot();  // at least as new as the query's
      for (std::size_t i = 0; i < items.size(); ++i) {
        expect(items[i].record.marker == Marker::Valid, "query marker");
        expect(i == 0 || items[i - 1].record.instance_id < items[i].record.instance_id,
               "query order");
        expect(interval.includes(items[i].record.timestamp), "query interval");
        expect(items[i].value.type_index() == kind, "query value kind");
        expect(named_id(items[i].value) == items[i].record.instance_id, "query value id");
        if (!graph_.cleared_since(after))
          expect(items[i].record.timestamp <= after.indices.update_timestamp, "query timestamp");
      }
    }
  }

  // The in-place results point into their kind's arrays; their bytes are read
  // only across processes (a thread reading them races with a clear by design).
  void check_lookups() {
    const Index node(1 + random_() % (kNodeKinds - 1), random_() % kNodeIds);
    const Snapshot before = graph_.snapshot();
    const NodeRecord* record = graph_.get_latest_node_record(node);
    if (record) {
      const NodeRecord* first = graph_.node_records[node.type_index];
      expect(record >= first && record < first + kNodeVersionsPerKind, "record in place");
    }
    const KnowledgeGraphNode* value = graph_.get_latest_node_value(node);
    if (value) {
      expect(value >= graph_.node_values && value < graph_.node_values + kNodeValues, "value in place");
      if (read_in_place_) {
        const KnowledgeGraphNode copy = *value;
        if (!graph_.cleared_since(before)) {
          expect(copy.type_index() == node.type_index, "value kind in place");
          expect(named_id(copy) == node.instance_id, "value id in place");
        }
      }
    }
    const Index relation(1 + random_() % (kRelationKinds - 1), random_() % kRelationIds);
    const KnowledgeGraphRelation* relation_payload = graph_.get_latest_relation_value(relation);
    if (relation_payload && read_in_place_) {
      const KnowledgeGraphRelation copy = *relation_payload;
      if (!graph_.cleared_since(before)) expect(copy.type_index() == relation.type_index, "relation value kind");
    }
  }

  const KnowledgeGraph& graph_;
  std::mt19937_64 random_;
  bool read_in_place_;
  bool compacted_;
  bool seen_versions_ = false;
  ReadStats stats_;
};

void report(const char* who, const ReadStats& stats) {
  std::printf("%s: %llu passes, %llu overtaken by clears, %llu items, %llu inconsistencies\n", who,
              static_cast<unsigned long long>(stats.passes),
              static_cast<unsigned long long>(stats.overtaken),
              static_cast<unsigned long long>(stats.items),
              static_cast<unsigned long long>(stats.inconsistencies));
}

// ---- Threads sharing one private graph ----

void threads_read_while_one_writes(bool compacting) {
  auto graph = KnowledgeGraph::new_boxed();
  const auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(seconds_per_variant()));
  std::atomic<bool> readers_done{false};
  std::uint64_t clears = 0;
  std::uint64_t compactions = 0;
  std::thread writer([&] {
    Writer writes(*graph, 1234, compacting);
    while (!readers_done.load(std::memory_order_acquire)) writes.step();
    clears = writes.clears();
    compactions = writes.compactions();
  });
  constexpr int kReaders = 2;
  std::vector<ReadStats> stats(kReaders);
  std::vector<std::thread> readers;
  for (int i = 0; i < kReaders; ++i)
    readers.emplace_back(
        [&, i] { stats[i] = Checker(*graph, 77 + i, false, compacting).run_until(deadline); });
  for (auto& reader : readers) reader.join();
  readers_done.store(true, std::memory_order_release);
  writer.join();
  std::printf("writer: %llu clears, %llu compactions\n", static_cast<unsigned long long>(clears),
              static_cast<unsigned long long>(compactions));
  if (compacting) {
    EXPECT_GT(compactions, 0u);
  }
  for (const ReadStats& s : stats) {
    report("reader thread", s);
    EXPECT_EQ(s.inconsistencies, 0u);
    EXPECT_GT(s.items, 0u);
  }
}

TEST(ReadStress, ThreadsReadConsistentlyWhileOneWrites) { threads_read_while_one_writes(false); }
TEST(ReadStress, ThreadsReadConsistentlyWhileOneCompacts) { threads_read_while_one_writes(true); }

// ---- Reader processes mapping the writer's region ----

#ifdef VARNEL_STRESS_PROCESSES

constexpr const char* kReaderRole = "--read-stress-reader";
constexpr std::uint32_t kRegionSize = 536'870'912;

int run_reader_process(const char* region, double seconds, std::uint64_t seed, bool compacted) {
  shared_memory_interface::shared_memory::SharedMemory<KnowledgeGraph> memory(region, kRegionSize);
  if (!memory.initialize_read_only()) return 3;
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(seconds));
  const ReadStats stats = Checker(*memory.get_data_ref(), seed, true, compacted).run_until(deadline);
  report("reader process", stats);
  if (stats.inconsistencies != 0) return 1;
  return stats.items > 0 ? 0 : 2;
}

pid_t spawn_reader(const std::string& region, int number, bool compacted) {
  const std::string seconds = std::to_string(seconds_per_variant());
  const std::string seed = std::to_string(500 + number);
  std::vector<std::string> args = {"/proc/self/exe", kReaderRole, region, seconds, seed,
                                   compacted ? "compacted" : "cleared"};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t child = -1;
  if (posix_spawn(&child, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return child;
}

void processes_read_while_one_writes(bool compacting) {
  const std::string region = "varnel_read_stress_" + std::to_string(getpid());
  shared_memory_interface::shared_memory::SharedMemory<KnowledgeGraph> memory(region, kRegionSize);
  ASSERT_TRUE(memory.initialize());
  ASSERT_FALSE(memory.already_exists());
  KnowledgeGraph& graph = *memory.get_data_ref();
  graph.initialize();  // a new region is zero-filled: the default state

  constexpr int kReaders = 3;
  std::vector<pid_t> readers;
  for (int i = 0; i < kReaders; ++i) {
    const pid_t child = spawn_reader(region, i, compacting);
    ASSERT_GT(child, 0);
    readers.push_back(child);
  }
  // Write at full speed until every reader has finished.
  Writer writes(graph, 4321, compacting);
  std::vector<int> statuses;
  while (statuses.size() < readers.size()) {
    for (int n = 0; n < 256; ++n) writes.step();
    int status = 0;
    const pid_t done = waitpid(-1, &status, WNOHANG);
    if (done > 0) statuses.push_back(status);
  }
  std::printf("writer: %llu clears, %llu compactions\n",
              static_cast<unsigned long long>(writes.clears()),
              static_cast<unsigned long long>(writes.compactions()));
  if (compacting) {
    EXPECT_GT(writes.compactions(), 0u);
  }
  for (int status : statuses) {
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: inconsistencies, 2: nothing read, 3: no region";
  }
}

TEST(ReadStress, ProcessesReadConsistentlyWhileOneWrites) { processes_read_while_one_writes(false); }
TEST(ReadStress, ProcessesReadConsistentlyWhileOneCompacts) {
  processes_read_while_one_writes(true);
}

#endif

}  // namespace
}  // namespace knowledge_graph::graph

int main(int argc, char** argv) {
  using namespace knowledge_graph::graph;
#ifdef VARNEL_STRESS_PROCESSES
  if (argc == 6 && std::string_view(argv[1]) == kReaderRole)
    return run_reader_process(argv[2], std::atof(argv[3]), std::strtoull(argv[4], nullptr, 10),
                              std::string_view(argv[5]) == "compacted");
#endif
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.rfind("--stress-seconds=", 0) == 0) stress_seconds = std::atof(argv[i] + 17);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
