// Readers against a writer at full speed: every snapshot and every item a reader
// is handed must be consistent, while the writer adds, removes, relates, batches
// transactions and clears (also inside batches). A second workload writes a scene
// per batch as a host does, resetting inside the batch when the graph fills up,
// dropping and restarting batches, committing twice and writing in transaction
// mode before start_transaction; its readers, each pass a reader that starts
// anew, must only ever see a whole committed scene or the empty graph. Each
// workload runs with threads sharing a private graph (run under ThreadSanitizer)
// and, on Linux, with reader processes that map the writer's shared region
// read-only.
//
// Each variant runs for VARNEL_STRESS_SECONDS seconds (default 3), or the value
// of --stress-seconds=N.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstddef>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "knowledge_graph/graph/lookup_index.hpp"
#include "knowledge_graph/graph/iterators.hpp"
#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/raw_span.hpp"
#include "knowledge_graph/graph/scene_view.hpp"

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

// Two copies of one version: every field up to the marker. The padding after it
// is unspecified, and the lookup index restamps it while readers read.
bool same_version(const knowledge_graph::graph::NodeRecord& a,
                  const knowledge_graph::graph::NodeRecord& b) {
  return std::memcmp(&a, &b, offsetof(knowledge_graph::graph::NodeRecord, padding)) == 0;
}

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
  // `window_start`, when given, receives the latest window start it compacted to.
  Writer(KnowledgeGraph& graph, std::uint64_t seed, bool compacting = false,
         std::atomic<std::uint64_t>* window_start = nullptr)
      : graph_(graph), random_(seed), compacting_(compacting), window_start_(window_start) {}

  // One step: a single autocommit write, a committed batch (now and then one
  // that clears first), or now and then a clear (or, compacting, a compaction
  // every few writes).
  void step() {
    if (compacting_ && (near_capacity() || chance(8))) {
      compact();
    } else if (!compacting_ && (near_capacity() || chance(2000))) {
      clear();
    } else if (chance(50)) {
      graph_.set_autocommit(false);
      graph_.start_transaction();
      if (!compacting_ && chance(20)) clear();
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
  void clear() {
    graph_.clear();
    nodes_.clear();
    relations_.clear();
    ++clears_;
  }

  // Keeps a random stretch of the recent history; a short one when space runs low.
  void compact() {
    const std::uint64_t window = near_capacity() ? 50 : pick(3000);
    const std::uint64_t keep_since = time_ > window ? time_ - window : 0;
    // Told before the compaction: a reader that sees the compacted graph sees this too.
    if (window_start_ != nullptr && keep_since > window_start_->load(std::memory_order_relaxed))
      window_start_->store(keep_since, std::memory_order_seq_cst);
    if (graph_.compact(keep_since).stored()) ++compactions_;
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
  std::atomic<std::uint64_t>* window_start_;
  std::uint64_t clears_ = 0;
  std::uint64_t compactions_ = 0;
  std::vector<Index> nodes_;
  std::vector<Index> relations_;
};

// ---- A host's scene: one batch per tick ----

// The scene of tick t: cars 0 to n(t) - 1, each with one live version carrying
// its id and t in its payload, stamped t; the batch's last write is stamped t.
constexpr std::uint64_t kCar = 1;
constexpr std::uint64_t kDroppedTick = std::uint64_t{1} << 40;  // marks a batch never committed
std::uint64_t scene_size(std::uint64_t tick) { return 4 + tick % 9; }

KnowledgeGraphNode scene_car(std::uint64_t id, std::uint64_t tick) {
  KnowledgeGraphNode value = node_value(kCar, id);
  std::memcpy(value.payload + 8, &tick, sizeof tick);
  return value;
}
std::uint64_t scene_tick(const KnowledgeGraphNode& value) {
  std::uint64_t tick;
  std::memcpy(&tick, value.payload + 8, sizeof tick);
  return tick;
}

// Writes tick after tick in transaction mode, as a host would, with every
// framing a host may use: a reset inside the batch when the graph fills up (and
// now and then otherwise), batches dropped or restarted after a reset, a second
// commit, writes that open the batch without start_transaction, and returns to
// autocommit between ticks.
class SceneWriter {
 public:
  SceneWriter(KnowledgeGraph& graph, std::uint64_t seed) : graph_(graph), random_(seed) {}

  void step() {
    const std::uint64_t tick = ++tick_;
    graph_.set_autocommit(false);
    if (!chance(4)) graph_.start_transaction();  // else the first write opens the batch
    bool reset = must_reset_ || full() || chance(6);
    if (chance(8)) {
      // A batch given up after a reset and some writes: readers keep the last
      // scene, or the empty graph if the batch had to publish it.
      graph_.clear();
      for (std::uint64_t id = pick(6); id > 0; --id) graph_.add_node(tick, id, scene_car(id, tick | kDroppedTick));
      if (chance(2)) {
        graph_.set_autocommit(true);
        graph_.set_autocommit(false);
      }
      graph_.start_transaction();
      reset = true;
      ++dropped_;
    }
    if (reset) {
      graph_.clear();
      alive_ = 0;
      ++resets_;
    }
    const std::uint64_t size = scene_size(tick);
    for (std::uint64_t id = 0; id < size; ++id) graph_.add_node(tick, id, scene_car(id, tick));
    for (std::uint64_t id = size; id < alive_; ++id) graph_.remove_node(tick, Index(kCar, id));
    alive_ = size;
    graph_.commit_transaction();
    if (chance(4)) graph_.commit_transaction();  // changes nothing
    if (chance(3)) graph_.set_autocommit(true);
    must_reset_ = false;
  }
  std::uint64_t resets() const { return resets_; }
  std::uint64_t dropped() const { return dropped_; }

 private:
  // The host's rule for a full graph, with a small limit so that it comes often.
  bool full() const { return graph_.snapshot().indices.node_index_tail[kCar] > 400; }
  bool chance(std::uint64_t one_in) { return random_() % one_in == 0; }
  std::uint64_t pick(std::uint64_t bound) { return random_() % bound; }

  KnowledgeGraph& graph_;
  std::mt19937_64 random_;
  std::uint64_t tick_ = 0;
  std::uint64_t alive_ = 0;
  bool must_reset_ = true;
  std::uint64_t resets_ = 0;
  std::uint64_t dropped_ = 0;
};

struct SceneStats {
  std::uint64_t scenes = 0;
  std::uint64_t empty = 0;
  std::uint64_t overtaken = 0;
  std::uint64_t inconsistencies = 0;
};

// Each pass is a reader that starts now: it walks the cars of one snapshot and
// must find the whole scene of the tick that snapshot says was written last, or
// nothing at all.
SceneStats check_scenes_until(const KnowledgeGraph& graph, Clock::time_point deadline) {
  SceneStats stats;
  const auto fail = [&](const std::string& what) {
    if (++stats.inconsistencies <= 10) std::fprintf(stderr, "inconsistent scene: %s\n", what.c_str());
  };
  while (Clock::now() < deadline) {
    auto walk = graph.nodes_iter(Interval::eternity(), kCar);
    std::map<std::uint64_t, NodeItem> latest;
    while (auto item = walk.next()) {
      if (item->record.marker == Marker::Valid) {
        latest.insert_or_assign(item->record.instance_id, *item);
      } else {
        latest.erase(item->record.instance_id);
      }
    }
    if (walk.overtaken()) {
      ++stats.overtaken;
      continue;
    }
    const GraphIndices& seen = walk.snapshot.indices;
    if (seen.node_index_tail[kCar] == 0) {
      ++stats.empty;
      continue;
    }
    ++stats.scenes;
    const std::uint64_t tick = seen.update_timestamp;
    if (latest.size() != scene_size(tick))
      fail("tick " + std::to_string(tick) + ": " + std::to_string(latest.size()) + " cars, not " +
           std::to_string(scene_size(tick)));
    std::uint64_t expected_id = 0;
    for (const auto& [id, item] : latest) {
      if (id != expected_id++ || named_id(item.value) != id || scene_tick(item.value) != tick ||
          item.record.timestamp != tick)
        fail("tick " + std::to_string(tick) + ": car " + std::to_string(id) + " of tick " +
             std::to_string(scene_tick(item.value)) + " stamped " +
             std::to_string(item.record.timestamp));
    }
  }
  return stats;
}

void report_scenes(const char* who, const SceneStats& stats) {
  std::printf("%s: %llu scenes, %llu empty, %llu overtaken, %llu inconsistencies\n", who,
              static_cast<unsigned long long>(stats.scenes),
              static_cast<unsigned long long>(stats.empty),
              static_cast<unsigned long long>(stats.overtaken),
              static_cast<unsigned long long>(stats.inconsistencies));
}

// ---- The reader's checks ----

struct ReadStats {
  std::uint64_t passes = 0;
  std::uint64_t overtaken = 0;
  std::uint64_t items = 0;
  std::uint64_t inconsistencies = 0;
  std::uint64_t views = 0;  // whole views checked (not overtaken)
  std::uint64_t window_checks = 0;  // as-of reads compared across compactions
};

class Checker {
 public:
  // `compacted`: the writer compacts and never clears, so once the graph held
  // something no read may find it empty, and no reader may give up waiting.
  // Compactions drop node versions that older relation versions were written
  // with: a relation whose node versions are gone entirely is not checked.
  // `window_start`, when given: the writer's latest window start (its stamps never
  // go back, so a state as of t never changes once a later stamp is published,
  // and reads as of t at or after the window start keep it).
  Checker(const KnowledgeGraph& graph, std::uint64_t seed, bool read_in_place,
          bool compacted = false, const std::atomic<std::uint64_t>* window_start = nullptr)
      : graph_(graph), random_(seed), read_in_place_(read_in_place), compacted_(compacted),
        window_start_(window_start), scenes_(graph) {}

  // Reads until `deadline`; slowed down (a sanitizer, a loaded machine), whole
  // views and window checks may keep being overtaken, so it reads on, boundedly,
  // until each has been checked once.
  ReadStats run_until(Clock::time_point deadline) {
    const auto start = Clock::now();
    const auto latest = deadline + 8 * (deadline - start);
    const auto checked_enough = [&] {
      return stats_.inconsistencies > 0 ||
             (stats_.views > 0 && (window_start_ == nullptr || stats_.window_checks > 0));
    };
    for (auto now = start; now < deadline || (now < latest && !checked_enough());
         now = Clock::now()) {
      check_snapshot(graph_.snapshot());
      if (check_walks()) {
        ++stats_.passes;
      } else {
        ++stats_.overtaken;
      }
      check_kind_query();
      check_lookups();
      check_view();
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

  // A view (from the reader's incremental table) must show exactly the state of
  // its one publication: the same as a walk from scratch below its snapshot's
  // tails, nothing stamped after that publication, and one instance's history
  // ending with its current version.
  void check_view() {
    const SceneView view = scenes_.view();
    const std::vector<NodeItem> nodes = view.all_nodes();
    const std::vector<RelationItem> relations = view.all_relations();
    std::vector<NodeItem> walked;
    for (std::uint64_t kind = 0; kind < kNodeKinds; ++kind) {
      iterators::NodeIterator walk(graph_, view.snapshot(), Interval::eternity(), kind);
      std::map<std::uint64_t, NodeItem> latest;
      while (auto item = walk.next()) {
        if (item->record.marker == Marker::Valid) latest.insert_or_assign(item->record.instance_id, *item);
        else latest.erase(item->record.instance_id);
      }
      if (walk.overtaken()) return;
      for (auto& entry : latest) walked.push_back(entry.second);
    }
    std::size_t walked_relations = 0;
    for (std::uint64_t kind = 0; kind < kRelationKinds; ++kind) {
      std::set<std::uint64_t> valid;
      iterators::RelationIterator walk(graph_, view.snapshot(), Interval::eternity(), kind);
      while (auto item = walk.next()) {
        if (item->record.marker == Marker::Valid) valid.insert(item->record.instance_id);
        else valid.erase(item->record.instance_id);
      }
      if (walk.overtaken()) return;
      walked_relations += valid.size();
    }
    // The same publication read by a fresh view (its current state from the
    // lookup index) and by the kind reads (as of the publication: all of it;
    // every version of one kind, oldest first).
    const SceneView fresh(graph_, view.snapshot());
    const std::vector<NodeItem> fresh_nodes = fresh.all_nodes();
    const auto kind = static_cast<NodeKind>(1 + random_() % (kNodeKinds - 1));
    const std::vector<NodeItem> as_of = view.nodes_as_of(kind, view.last_update());
    const std::vector<NodeItem> current = view.nodes(kind);
    const std::vector<NodeVersion> versions = view.node_versions(kind);
    std::vector<std::uint64_t> stamps;
    {
      iterators::NodeIterator walk(graph_, view.snapshot(), Interval::eternity(),
                                   static_cast<std::uint64_t>(kind));
      while (auto item = walk.next()) stamps.push_back(item->record.timestamp);
      if (walk.overtaken()) return;
    }
    std::optional<std::vector<NodeItem>> history;
    if (!nodes.empty()) {
      const NodeItem& some = nodes[random_() % nodes.size()];
      history = view.history(NodeIndex::of(Index(some.value.type_index(), some.record.instance_id)));
    }
    if (view.overtaken()) return;
    ++stats_.views;
    const std::uint64_t published = view.last_update();
    expect(nodes.size() == walked.size(), "view nodes", nodes.size(), walked.size());
    for (std::size_t i = 0; i < std::min(nodes.size(), walked.size()); ++i) {
      expect(same_version(nodes[i].record, walked[i].record),
             "view node version", nodes[i].record.instance_id, walked[i].record.instance_id);
      expect(nodes[i].record.timestamp <= published, "view node after its publication",
             nodes[i].record.timestamp, published);
      check_node(nodes[i], nodes[i].value.type_index(), view.snapshot());
    }
    expect(fresh_nodes.size() == nodes.size(), "fresh view nodes", fresh_nodes.size(), nodes.size());
    for (std::size_t i = 0; i < std::min(nodes.size(), fresh_nodes.size()); ++i)
      expect(same_version(nodes[i].record, fresh_nodes[i].record), "fresh view node version",
             nodes[i].record.instance_id, fresh_nodes[i].record.instance_id);
    expect(as_of.size() == current.size(), "view as of its publication", as_of.size(),
           current.size());
    for (std::size_t i = 0; i < std::min(as_of.size(), current.size()); ++i)
      expect(same_version(as_of[i].record, current[i].record), "view as-of version",
             as_of[i].record.instance_id, current[i].record.instance_id);
    expect(versions.size() == stamps.size(), "view versions", versions.size(), stamps.size());
    for (std::size_t i = 0; i < std::min(versions.size(), stamps.size()); ++i)
      expect(versions[i].timestamp == stamps[i], "view version stamp", versions[i].timestamp,
             stamps[i]);
    expect(relations.size() == walked_relations, "view relations", relations.size(),
           walked_relations);
    for (const RelationItem& item : relations)
      expect(item.record.timestamp <= published, "view relation after its publication",
             item.record.timestamp, published);
    if (history) {
      expect(!history->empty(), "view history empty");
      if (!history->empty()) {
        const NodeItem& some = *std::find_if(nodes.begin(), nodes.end(), [&](const NodeItem& n) {
          return n.record.instance_id == history->back().record.instance_id &&
                 n.value.type_index() == history->back().value.type_index();
        });
        expect(same_version(some.record, history->back().record),
               "view history ends elsewhere");
      }
    }
    check_window(view);
  }

  // A state as of `t` read before, compared with what later views read as of t
  // while t stays inside the window: compactions in between must not change it.
  void check_window(const SceneView& view) {
    if (window_start_ == nullptr) return;
    if (remembered_) {
      const std::string now = as_of_state(view, remembered_->t);
      if (view.overtaken()) return;
      // Loaded after the view's snapshot: no earlier compaction started later.
      if (remembered_->t >= window_start_->load(std::memory_order_seq_cst)) {
        ++stats_.window_checks;
        expect(now == remembered_->state, "as of t after compactions", remembered_->t);
        return;
      }
    }
    // A removal's cascade publishes several times with one stamp: the state as of
    // a time is settled once a later stamp is published.
    if (view.last_update() == 0) return;
    const std::uint64_t t = view.last_update() - 1;
    std::string state = as_of_state(view, t);
    if (!view.overtaken()) remembered_ = Remembered{t, std::move(state)};
  }

  // Every instance as of t: versions without payload positions and padding (a
  // compaction renumbers and restamps those), with their payloads.
  static std::string as_of_state(const SceneView& view, std::uint64_t t) {
    std::string bytes;
    for (NodeItem item : view.all_nodes_as_of(t)) {
      item.record.value_index = 0;
      std::memset(item.record.padding, 0, sizeof item.record.padding);
      bytes.append(reinterpret_cast<const char*>(&item.record), sizeof item.record);
      bytes.append(reinterpret_cast<const char*>(&item.value), sizeof item.value);
    }
    for (RelationItem item : view.all_relations_as_of(t)) {
      item.record.value_index = 0;
      std::memset(item.record.padding, 0, sizeof item.record.padding);
      bytes.append(reinterpret_cast<const char*>(&item.record), sizeof item.record);
      bytes.append(reinterpret_cast<const char*>(&item.value), sizeof item.value);
    }
    return bytes;
  }

  struct Remembered {
    std::uint64_t t;
    std::string state;
  };

  const KnowledgeGraph& graph_;
  std::mt19937_64 random_;
  bool read_in_place_;
  bool compacted_;
  const std::atomic<std::uint64_t>* window_start_;
  std::optional<Remembered> remembered_;
  bool seen_versions_ = false;
  SceneReader scenes_;
  ReadStats stats_;
};

void report(const char* who, const ReadStats& stats) {
  std::printf("%s: %llu passes, %llu views (%llu as of t across compactions), %llu overtaken by clears, %llu items, %llu inconsistencies\n", who,
              static_cast<unsigned long long>(stats.passes),
              static_cast<unsigned long long>(stats.views),
              static_cast<unsigned long long>(stats.window_checks),
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
  std::atomic<std::uint64_t> window_start{0};
  std::thread writer([&] {
    Writer writes(*graph, 1234, compacting, &window_start);
    while (!readers_done.load(std::memory_order_acquire)) writes.step();
    clears = writes.clears();
    compactions = writes.compactions();
  });
  constexpr int kReaders = 2;
  std::vector<ReadStats> stats(kReaders);
  std::vector<std::thread> readers;
  for (int i = 0; i < kReaders; ++i)
    readers.emplace_back(
        [&, i] {
          stats[i] = Checker(*graph, 77 + i, false, compacting, compacting ? &window_start : nullptr)
                         .run_until(deadline);
        });
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
    EXPECT_GT(s.views, 0u);
    if (compacting) {
      EXPECT_GT(s.window_checks, 0u);
    }
  }
}

TEST(ReadStress, ThreadsSeeOnlyCommittedScenesWhileBatchesReset) {
  auto graph = KnowledgeGraph::new_boxed();
  const auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(seconds_per_variant()));
  std::atomic<bool> readers_done{false};
  std::uint64_t resets = 0, dropped = 0;
  std::thread writer([&] {
    SceneWriter writes(*graph, 99);
    while (!readers_done.load(std::memory_order_acquire)) writes.step();
    resets = writes.resets();
    dropped = writes.dropped();
  });
  constexpr int kReaders = 2;
  std::vector<SceneStats> stats(kReaders);
  std::vector<std::thread> readers;
  for (int i = 0; i < kReaders; ++i)
    readers.emplace_back([&, i] { stats[i] = check_scenes_until(*graph, deadline); });
  for (auto& reader : readers) reader.join();
  readers_done.store(true, std::memory_order_release);
  writer.join();
  std::printf("scene writer: %llu resets, %llu dropped batches\n",
              static_cast<unsigned long long>(resets), static_cast<unsigned long long>(dropped));
  EXPECT_GT(resets, 0u);
  for (const SceneStats& s : stats) {
    report_scenes("scene reader thread", s);
    EXPECT_EQ(s.inconsistencies, 0u);
    EXPECT_GT(s.scenes, 0u);
  }
}

// ---- A follower copying raw spans (as the DDS bridge's publisher does) ----

// Every version below the copy's tails names its own kind and instance id in its
// payload (Valid and Removed versions keep the payload position of a live one);
// a torn copy that a clear or compaction overtook shows up here.
std::uint64_t torn_versions(const KnowledgeGraph& copy) {
  const GraphIndices tails = copy.snapshot().indices;
  std::uint64_t torn = 0;
  for (std::uint64_t kind = 0; kind < kNodeKinds; ++kind) {
    for (std::uint64_t slot = 0; slot < tails.node_index_tail[kind]; ++slot) {
      const NodeRecord& version = copy.node_records[kind][slot];
      if (version.marker == Marker::None) continue;
      const KnowledgeGraphNode& value = copy.node_values[version.value_index];
      torn += value.tag != kind || named_id(value) != version.instance_id;
    }
  }
  for (std::uint64_t kind = 0; kind < kRelationKinds; ++kind) {
    for (std::uint64_t slot = 0; slot < tails.relation_index_tail[kind]; ++slot) {
      const RelationRecord& version = copy.relation_records[kind][slot];
      if (version.marker == Marker::None) continue;
      const KnowledgeGraphRelation& value = copy.relation_values[version.value_index];
      torn += value.tag != kind || named_id(value) != version.instance_id;
    }
  }
  return torn;
}

// Follows `source` into `copy` by spans of appends, afresh after clears and
// compactions; a copy overtaken by one is retried. Returns the spans installed.
struct FollowStats {
  std::uint64_t spans = 0, afresh = 0, retried = 0, torn = 0;
};
void follow_once(const KnowledgeGraph& source, KnowledgeGraph& copy, Snapshot& last, bool& started,
                 FollowStats& stats) {
  std::vector<std::byte> bytes;
  for (;;) {
    const Snapshot now = source.snapshot();
    if (now.clear_epoch & 1u) continue;
    const bool append = started && appends_only(last, now);
    const GraphIndices from = append ? last.indices : GraphIndices{};
    if (!copy_raw_span(source, from, now, bytes)) {
      ++stats.retried;
      continue;
    }
    const InstallResult result = install_raw_span(copy, from, now.indices, bytes, !append);
    ASSERT_EQ(result.status, InstallStatus::Installed) << result.reason;
    ++stats.spans;
    stats.afresh += !append;
    last = now;
    started = true;
    return;
  }
}

void threads_follow_raw_spans(bool compacting) {
  auto graph = KnowledgeGraph::new_boxed();
  auto copy = KnowledgeGraph::new_boxed();
  const auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(seconds_per_variant()));
  std::atomic<bool> done{false};
  Writer writes(*graph, 4321, compacting);
  std::thread writer([&] {
    while (!done.load(std::memory_order_acquire)) writes.step();
  });
  FollowStats stats;
  Snapshot last{};
  bool started = false;
  // Slowed down (a sanitizer, a loaded machine), the follower is overtaken more
  // often: it follows on, boundedly, until it has installed enough spans.
  const auto start = Clock::now();
  const auto latest = deadline + 8 * (deadline - start);
  for (auto now = start; (now < deadline || (stats.spans <= 100 && now < latest)) &&
                         !::testing::Test::HasFatalFailure();
       now = Clock::now()) {
    follow_once(*graph, *copy, last, started, stats);
    if (stats.spans % 64 == 0) stats.torn += torn_versions(*copy);
  }
  done.store(true, std::memory_order_release);
  writer.join();
  // The writer is still: one more span, and the copy must equal the source.
  follow_once(*graph, *copy, last, started, stats);
  const auto difference =
      records_differ(*graph, graph->snapshot().indices, *copy, copy->snapshot().indices);
  EXPECT_FALSE(difference) << *difference;
  std::printf("raw-span follower: %llu spans (%llu afresh), %llu copies overtaken and retried\n",
              static_cast<unsigned long long>(stats.spans), static_cast<unsigned long long>(stats.afresh),
              static_cast<unsigned long long>(stats.retried));
  EXPECT_EQ(stats.torn, 0u);
  EXPECT_GT(stats.spans, 100u);
  EXPECT_GT(stats.afresh, 0u);
  EXPECT_EQ(compacting ? writes.compactions() > 0 : writes.clears() > 0, true);
}

TEST(ReadStress, RawSpanFollowerCopiesExactlyWhileOneWrites) { threads_follow_raw_spans(false); }
TEST(ReadStress, RawSpanFollowerCopiesExactlyWhileOneCompacts) { threads_follow_raw_spans(true); }

TEST(ReadStress, ThreadsReadConsistentlyWhileOneWrites) { threads_read_while_one_writes(false); }
TEST(ReadStress, ThreadsReadConsistentlyWhileOneCompacts) { threads_read_while_one_writes(true); }

// ---- Reader processes mapping the writer's region ----

#ifdef VARNEL_STRESS_PROCESSES

constexpr const char* kReaderRole = "--read-stress-reader";
constexpr std::uint32_t kRegionSize = 536'870'912;

constexpr std::uint64_t kSceneReaderSeed = 0;  // a reader process of the scene workload

int run_reader_process(const char* region, double seconds, std::uint64_t seed, bool compacted) {
  shared_memory_interface::shared_memory::SharedMemory<KnowledgeGraph> memory(region, kRegionSize);
  if (!memory.initialize_read_only()) return 3;
  attach_region_lookup_index(*memory.get_data_ref(), memory.view_size());
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(seconds));
  if (seed == kSceneReaderSeed) {
    const SceneStats stats = check_scenes_until(*memory.get_data_ref(), deadline);
    report_scenes("scene reader process", stats);
    if (stats.inconsistencies != 0) return 1;
    return stats.scenes > 0 ? 0 : 2;
  }
  const ReadStats stats = Checker(*memory.get_data_ref(), seed, true, compacted).run_until(deadline);
  report("reader process", stats);
  if (stats.inconsistencies != 0) return 1;
  return stats.items > 0 && stats.views > 0 ? 0 : 2;
}

pid_t spawn_reader(const std::string& region, std::uint64_t seed, bool compacted = false) {
  const std::string seconds = std::to_string(seconds_per_variant());
  const std::string seed_text = std::to_string(seed);
  std::vector<std::string> args = {"/proc/self/exe", kReaderRole, region, seconds, seed_text,
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
  ASSERT_TRUE(attach_region_lookup_index(graph, memory.view_size()));
  graph.initialize();  // a new region is zero-filled: the default state

  constexpr int kReaders = 3;
  std::vector<pid_t> readers;
  for (int i = 0; i < kReaders; ++i) {
    const pid_t child = spawn_reader(region, 500 + static_cast<std::uint64_t>(i), compacting);
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

TEST(ReadStress, ProcessesSeeOnlyCommittedScenesWhileBatchesReset) {
  const std::string region = "varnel_scene_stress_" + std::to_string(getpid());
  shared_memory_interface::shared_memory::SharedMemory<KnowledgeGraph> memory(region, kRegionSize);
  ASSERT_TRUE(memory.initialize());
  ASSERT_FALSE(memory.already_exists());
  KnowledgeGraph& graph = *memory.get_data_ref();
  graph.initialize();

  constexpr int kReaders = 3;
  std::vector<pid_t> readers;
  for (int i = 0; i < kReaders; ++i) {
    const pid_t child = spawn_reader(region, kSceneReaderSeed);
    ASSERT_GT(child, 0);
    readers.push_back(child);
  }
  SceneWriter writes(graph, 7);
  std::vector<int> statuses;
  while (statuses.size() < readers.size()) {
    for (int n = 0; n < 16; ++n) writes.step();
    int status = 0;
    const pid_t done = waitpid(-1, &status, WNOHANG);
    if (done > 0) statuses.push_back(status);
  }
  std::printf("scene writer: %llu resets, %llu dropped batches\n",
              static_cast<unsigned long long>(writes.resets()),
              static_cast<unsigned long long>(writes.dropped()));
  for (int status : statuses) {
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: inconsistencies, 2: no scene read, 3: no region";
  }
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
