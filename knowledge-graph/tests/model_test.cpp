// The writes against a plain reference model: fixed-seed random sequences of
// operations in autocommit and transaction mode, with clears, updates, full
// lists (and stale entries taken when they are full), refusals and every array
// filled once, and every framing of a batch: dropped, restarted, committed twice,
// commits without a batch, writes in transaction mode before start_transaction.
// After every operation the record's published buffer (and the batch, while one
// is open) must match the model and keep the record's invariants.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "knowledge_graph/graph/iterators.hpp"
#include "knowledge_graph/graph/scene_view.hpp"
#include "reference_model.hpp"

namespace knowledge_graph::graph {
namespace {

using reference::ReferenceModel;

constexpr std::uint64_t kPoolKinds[] = {0, 1, 2, 6, 8, 17};  // node kinds the sequences use
constexpr std::uint64_t kNodeIds = 6;
constexpr std::uint64_t kRelationIds = 4;  // 16 kinds x 4 ids: enough to fill a list
const Index kHub(1, 0);

class ModelRun {
 public:
  explicit ModelRun(std::uint64_t seed) : rng_(seed) {
    for (std::uint64_t kind : kPoolKinds)
      for (std::uint64_t id = 0; id < kNodeIds; ++id) node_universe_.emplace_back(kind, id);
    for (std::uint64_t kind = 1; kind < kRelationKinds; ++kind)
      for (std::uint64_t id = 0; id < kRelationIds; ++id) relation_universe_.emplace_back(kind, id);
  }

  bool seen(WriteStatus status) const { return statuses_.count(status) != 0; }
  std::uint64_t compactions() const { return compactions_; }  // those that dropped versions
  std::uint64_t stale_entries_taken() const { return stale_entries_taken_; }
  // Compactions whose as-of reads were compared with the uncompacted twin.
  std::uint64_t twin_checks() const { return twin_checks_; }

  // ---- Operations on both the record and the model, checked after each ----

  WriteStatus add_node(std::uint64_t id, const KnowledgeGraphNode& value) {
    const std::uint64_t t = timestamp();
    const auto got = g_.add_node(t, id, value);
    twin_follows(twin_.add_node(t, id, value).status, got.status);
    const auto want = model_.add_node(t, id, value);
    return settle("add_node", got.status, want.status, got.value == want.value);
  }
  WriteStatus update_node(std::uint64_t id, const KnowledgeGraphNode& value) {
    const std::uint64_t t = timestamp();
    const auto got = g_.update_node(t, id, value);
    twin_follows(twin_.update_node(t, id, value).status, got.status);
    const auto want = model_.update_node(t, id, value);
    return settle("update_node", got.status, want.status, got.value == want.value);
  }
  WriteStatus remove_node(Index node) {
    const std::uint64_t t = timestamp();
    const auto got = g_.remove_node(t, node);
    twin_follows(twin_.remove_node(t, node).status, got.status);
    const auto want = model_.remove_node(t, node);
    return settle("remove_node", got.status, want.status, got.value == want.value);
  }
  WriteStatus add_relation(std::uint64_t id, const KnowledgeGraphRelation& value, Index from,
                           Index to) {
    const std::uint64_t t = timestamp();
    const bool full = list_full(from, to, Index(value.type_index(), id));
    const auto got = g_.add_relation(t, id, value, from, to);
    twin_follows(twin_.add_relation(t, id, value, from, to).status, got.status);
    const auto want = model_.add_relation(t, id, value, from, to);
    if (full && got.stored()) ++stale_entries_taken_;
    return settle("add_relation", got.status, want.status, got.value == want.value);
  }
  WriteStatus remove_relation(Index relation) {
    const std::uint64_t t = timestamp();
    const auto got = g_.remove_relation(t, relation);
    twin_follows(twin_.remove_relation(t, relation).status, got.status);
    const auto want = model_.remove_relation(t, relation);
    return settle("remove_relation", got.status, want.status, got.value == want.value);
  }
  void clear() {
    g_.clear();
    twin_.clear();
    model_.clear();
    horizon_ = 0;
    twin_synced_ = true;
    verify("clear");
  }
  // A compaction on both. Every read over windows that start at or after
  // `keep_since`, and over eternity, must answer as before (payload positions
  // aside), and walks made before must end overtaken when anything moved.
  WriteStatus compact(std::uint64_t keep_since) {
    if (!twin_synced_ && model_.autocommit()) resync_twin();
    const std::size_t vanished_before = vanished_count();
    const std::uint64_t horizon = horizon_;
    if (model_.autocommit()) horizon_ = std::max(horizon_, keep_since);
    std::vector<std::string> before = reads_from(keep_since);
    for (std::string& line : as_of_reads(g_)) before.push_back(std::move(line));
    auto node_walk = g_.nodes_iter(interval_algebra::Interval::eternity(), 1);
    auto relation_walk = g_.relations_iter(interval_algebra::Interval::eternity(), 9);
    const std::uint64_t active = model_.active();
    const auto got = g_.compact(keep_since);
    const auto want = model_.compact(keep_since);
    const WriteStatus status = settle("compact", got.status, want.status, got.value == want.value);
    if (::testing::Test::HasFailure()) return status;
    std::vector<std::string> after = reads_from(keep_since);
    for (std::string& line : as_of_reads(g_)) after.push_back(std::move(line));
    for (std::size_t i = 0; i < std::max(before.size(), after.size()); ++i) {
      const std::string was = i < before.size() ? before[i] : "(none)";
      const std::string now = i < after.size() ? after[i] : "(none)";
      if (was == now || vanished(was, now)) continue;
      ADD_FAILURE() << "compact(" << keep_since << ") at step " << step_ << " changed a read:\n  "
                    << was.substr(0, 300) << "\n  " << now.substr(0, 300);
      break;
    }
    if (!got.stored()) horizon_ = horizon;
    if (twin_synced_ && got.stored()) {
      ++twin_checks_;
      expect_as_twin(keep_since);
    }
    if (vanished_count() != vanished_before) twin_synced_ = false;
    if (model_.active() != active) {  // walks with slots to walk end overtaken
      ++compactions_;
      EXPECT_FALSE(node_walk.next().has_value());
      EXPECT_EQ(node_walk.overtaken(), node_walk.snapshot.indices.node_index_tail[1] != 0);
      EXPECT_FALSE(relation_walk.next().has_value());
      EXPECT_EQ(relation_walk.overtaken(),
                relation_walk.snapshot.indices.relation_index_tail[9] != 0);
    }
    return status;
  }
  // A compaction keeping roughly the last `span` time units.
  WriteStatus compact_recent(std::uint64_t span) {
    return compact(clock_ > span ? clock_ - span : 0);
  }

  // Commits an open batch, so that the next phase starts in autocommit mode.
  void to_autocommit() {
    if (!model_.autocommit()) commit(false);
  }
  void begin_transaction() {
    g_.set_autocommit(false);
    twin_.set_autocommit(false);
    model_.set_autocommit(false);
    g_.start_transaction();
    twin_.start_transaction();
    model_.start_transaction();
    verify("start_transaction");
  }
  // Transaction mode without start_transaction: the next write opens the batch.
  void enter_transaction_mode() {
    g_.set_autocommit(false);
    twin_.set_autocommit(false);
    model_.set_autocommit(false);
    verify("set_autocommit(false)");
  }
  // start_transaction inside a batch drops it and starts another.
  void restart() {
    g_.start_transaction();
    twin_.start_transaction();
    model_.start_transaction();
    verify("start_transaction again");
  }
  // A commit alone: with no open batch (autocommit mode, a second commit) it
  // changes nothing.
  void commit_only() {
    const std::uint64_t active = model_.active();
    g_.commit_transaction();
    twin_.commit_transaction();
    model_.commit_transaction();
    if (model_.active() != active) checked_published_ = checked_batch_;  // the batch is published
    verify("commit_transaction");
  }
  // Commits, then either opens the next batch or returns to autocommit.
  void commit(bool continue_batching) {
    commit_only();
    if (continue_batching) {
      restart();
    } else {
      end_batching();
    }
  }
  // Back to autocommit; an uncommitted batch is dropped.
  void end_batching() {
    g_.set_autocommit(true);
    twin_.set_autocommit(true);
    model_.set_autocommit(true);
    verify("set_autocommit(true)");
  }

  // One operation drawn at random, sometimes with kinds out of range.
  void random_step() {
    if (pick(60) == 0) {
      compact_recent(pick(4) == 0 ? 0 : pick(60));
      return;
    }
    const unsigned roll = pick(100);
    if (roll < 22) {
      const Index node = random_node();
      if (pick(3) == 0) update_node(node.instance_id, random_value(node.type_index));
      else add_node(pick(kNodeIds), random_value(node.type_index));
    } else if (roll < 52) {
      const Index relation = random_relation();
      add_relation(relation.instance_id, relation_value(relation.type_index), random_end(kHub),
                   random_end(Index(6, 0)));
    } else if (roll < 64) {
      remove_relation(random_relation());
    } else if (roll < 72) {
      remove_node(random_node());
    } else if (roll < 74) {
      if (pick(2) == 0) fill_list_of(random_node(), pick(2) == 0);
      else crowd_list_of(random_node(), pick(2) == 0);
    } else if (roll < 75) {
      clear();
    } else if (roll < 79) {
      random_mode_change();
    } else {
      add_relation(pick(kRelationIds), relation_value(1 + pick(16)), random_node(), random_node());
    }
  }

  // Adds 41 distinct relations leaving (or reaching) `node` from nodes that exist:
  // the last one meets a full list.
  void fill_list_of(Index node, bool outgoing) {
    if (add_node(node.instance_id, random_value(node.type_index)) != WriteStatus::Stored) return;
    std::shuffle(relation_universe_.begin(), relation_universe_.end(), rng_);
    for (std::size_t i = 0; i <= kListEntries && !::testing::Test::HasFailure(); ++i) {
      const Index relation = relation_universe_[i];
      const Index other = existing_node();
      add_relation(relation.instance_id, relation_value(relation.type_index),
                   outgoing ? node : other, outgoing ? other : node);
    }
  }

  // Fills the list, moves some of its relations to other nodes (their entries
  // go stale there), then adds new ones: they take the stale entries.
  void crowd_list_of(Index node, bool outgoing) {
    fill_list_of(node, outgoing);
    for (std::size_t i = 0; i < 3 && !::testing::Test::HasFailure(); ++i) {
      const Index relation = relation_universe_[i];
      add_relation(relation.instance_id, relation_value(relation.type_index), existing_node(),
                   existing_node());
    }
    for (std::size_t i = kListEntries + 1; i < kListEntries + 4; ++i) {
      const Index relation = relation_universe_[i];
      const Index other = existing_node();
      add_relation(relation.instance_id, relation_value(relation.type_index),
                   outgoing ? node : other, outgoing ? other : node);
    }
  }

  KnowledgeGraphNode random_value(std::uint64_t kind) {
    KnowledgeGraphNode value;
    value.tag = kind;
    const std::uint64_t bits = rng_();
    std::memcpy(value.payload, &bits, sizeof bits);
    return value;
  }
  static KnowledgeGraphRelation relation_value(std::uint64_t kind) {
    KnowledgeGraphRelation value;
    value.tag = kind;
    value.payload[0] = static_cast<unsigned char>(kind * 7);
    return value;
  }

 private:
  std::uint64_t pick(std::uint64_t bound) { return rng_() % bound; }

  // Mostly rising, now and then earlier than the last one.
  std::uint64_t timestamp() {
    clock_ += pick(5);
    return pick(30) == 0 ? clock_ - pick(clock_ + 1) : clock_;
  }

  Index random_node() {
    if (pick(50) == 0) return Index(kNodeKinds + pick(3), pick(kNodeIds));
    return node_universe_[pick(node_universe_.size())];
  }
  Index random_relation() {
    if (pick(50) == 0) return Index(kRelationKinds, pick(kRelationIds));
    return relation_universe_[pick(relation_universe_.size())];
  }
  Index existing_node() {
    const auto& nodes = model_.batch_open() ? model_.batch().nodes : model_.published().nodes;
    auto chosen = nodes.begin();
    std::advance(chosen, pick(nodes.size()));
    return chosen->first;
  }
  // Sometimes a hub node, so that its lists fill up; sometimes the other end itself.
  Index random_end(Index hub) { return pick(4) == 0 ? hub : random_node(); }

  // Whether the model's list that `relation` would enter has neither it nor a free entry.
  bool list_full(Index from, Index to, Index relation) const {
    const auto& nodes = model_.batch_open() ? model_.batch().nodes : model_.published().nodes;
    auto full = [&](Index node, bool outgoing) {
      const auto found = nodes.find(node);
      if (found == nodes.end()) return false;
      const RelationList& list = outgoing ? found->second.outgoing : found->second.incoming;
      return std::none_of(list.begin(), list.end(), [&](const Index& entry) {
        return entry == relation || entry.type_index == 0;
      });
    };
    return full(from, true) || full(to, false);
  }

  // Every framing a host may use, the misframed ones included.
  void random_mode_change() {
    const std::uint64_t roll = pick(10);
    if (model_.autocommit()) {
      if (roll < 6) {
        begin_transaction();
        if (pick(3) == 0) compact_recent(pick(20));  // refused inside a batch
      } else if (roll < 9) {
        enter_transaction_mode();
      } else {
        commit_only();
      }
    } else if (roll < 4) {
      commit(pick(2) == 0);
    } else if (roll < 5) {
      commit_only();
      commit_only();
    } else if (roll < 7) {
      end_batching();
    } else if (roll < 8) {
      restart();
    } else {
      commit_only();  // stays in transaction mode; the next write opens a batch
    }
  }

  // The reads a compaction must not change, one line per answer. Payload
  // positions (`value_index`) are left out: a compaction renumbers them.
  std::vector<std::string> reads_from(std::uint64_t keep_since) {
    using interval_algebra::Interval;
    using interval_algebra::IntervalType;
    std::vector<std::string> lines;
    const Interval windows[] = {
        Interval::eternity(),
        Interval::make(keep_since, ~std::uint64_t{0}),
        Interval::of_type(Interval::make(keep_since, clock_), IntervalType::LeftOpen),
        Interval::of_type(Interval::make(keep_since + 3, clock_ + 2), IntervalType::RightOpen),
        Interval::of_type(Interval::make(keep_since + 1, keep_since + 9), IntervalType::Open),
    };
    for (const Interval& window : windows) {
      lines.push_back("window " + std::to_string(window.start) + " " + std::to_string(window.end));
      for (const NodeItem& item : g_.get_all_nodes(window)) lines.push_back(describe(item));
      for (const RelationItem& item : g_.get_all_relations(window)) lines.push_back(describe(item));
      if (window == Interval::eternity()) continue;  // walks yield old versions too
      for (const NodeItem& item : g_.nodes_iter(window, 1))
        lines.push_back("walk " + describe(item));
      for (const RelationItem& item : g_.relations_iter(window, 9))
        lines.push_back("walk " + describe(item));
    }
    for (const Index& id : node_universe_) {
      const NodeRecord* record = g_.get_latest_node_record(id);
      const KnowledgeGraphNode* value = g_.get_latest_node_value(id);
      lines.push_back("latest " + std::to_string(id.type_index) + "/" + std::to_string(id.instance_id) + " " +
                      (record ? describe(NodeItem{*record, KnowledgeGraphNode{}}) : "absent") +
                      (value ? " value " + bytes(*value) : " no value"));
    }
    for (const Index& id : relation_universe_) {
      const RelationRecord* record = g_.get_latest_relation_record(id);
      const KnowledgeGraphRelation* value = g_.get_latest_relation_value(id);
      lines.push_back("latest " + std::to_string(id.type_index) + "/" + std::to_string(id.instance_id) + " " +
                      (record ? describe(RelationItem{*record, KnowledgeGraphRelation{}}) : "absent") +
                      (value ? " value " + bytes(*value) : " no value"));
    }
    return lines;
  }

  // Reads "as of t" through a view, one line per answer, for times from the
  // window's start on (and the current state).
  std::vector<std::string> as_of_reads(const KnowledgeGraph& graph) const {
    using interval_algebra::Interval;
    const SceneView view(graph);
    (void)view.counts();  // takes the current state first: as-of reads then follow the links
    std::vector<std::string> lines;
    const std::optional<std::uint64_t> times[] = {horizon_, horizon_ + 1, (horizon_ + clock_) / 2,
                                                  clock_, std::nullopt};
    // A fresh view as of each time starts from the index's entries instead of
    // the current state: it answers the same.
    for (const std::optional<std::uint64_t>& t : times) {
      if (!t) continue;
      const SceneView fresh(graph);
      std::vector<std::string> fresh_lines, view_lines;
      for (const NodeItem& item : fresh.all_nodes_as_of(*t)) fresh_lines.push_back(describe(item));
      for (const RelationItem& item : fresh.all_relations_as_of(*t))
        fresh_lines.push_back(describe(item));
      for (const NodeItem& item : view.all_nodes_as_of(*t)) view_lines.push_back(describe(item));
      for (const RelationItem& item : view.all_relations_as_of(*t))
        view_lines.push_back(describe(item));
      EXPECT_EQ(fresh_lines, view_lines) << "a fresh view as of " << *t << " at step " << step_;
    }
    for (const std::optional<std::uint64_t>& t : times) {
      const std::string at = t ? std::to_string(*t) : "now";
      lines.push_back("as of " + at);
      const auto nodes = t ? view.all_nodes_as_of(*t) : view.all_nodes();
      for (const NodeItem& item : nodes) lines.push_back(describe(item));
      const auto relations = t ? view.all_relations_as_of(*t) : view.all_relations();
      for (const RelationItem& item : relations) lines.push_back(describe(item));
      if (t) {
        for (const NodeItem& item : view.all_nodes_in(Interval::make(*t, *t + 6)))
          lines.push_back("in " + describe(item));
        for (const RelationItem& item : view.all_relations_in(Interval::make(*t, ~std::uint64_t{0})))
          lines.push_back("in " + describe(item));
      }
      for (const Index& id : node_universe_) {
        if (id.type_index >= kNodeKinds) continue;
        const NodeIndex node = NodeIndex::of(id);
        const auto item = t ? view.node_at(node, *t) : view.node(node);
        lines.push_back(brief(id) + " at " + at + ": " + (item ? describe(*item) : "absent"));
        for (std::uint64_t kind = 1; kind < kRelationKinds; ++kind) {
          const auto k = static_cast<RelationKind>(kind);
          for (const Neighbour& next : view.outgoing(node, k, t))
            lines.push_back("out " + describe(next.relation) + " to " + describe(next.node));
          for (const Neighbour& next : view.incoming(node, k, t))
            lines.push_back("in " + describe(next.relation) + " from " + describe(next.node));
        }
        for (const RelationItem& item : view.relations_between(node, NodeIndex::of(kHub), t))
          lines.push_back("between " + describe(item));
      }
      for (const Index& id : relation_universe_) {
        const RelationIndex relation = RelationIndex::of(id);
        const auto item = t ? view.relation_at(relation, *t) : view.relation(relation);
        lines.push_back(brief(id) + " at " + at + ": " + (item ? describe(*item) : "absent"));
      }
    }
    return lines;
  }

  // The twin writes as the graph does until an instance vanishes from the graph
  // (writes that name it then differ) or a write is answered differently (the
  // graph has room the twin lacks). Then, at the next compaction, the twin takes
  // the graph's state: from there on it follows again.
  void twin_follows(WriteStatus twin, WriteStatus graph) {
    if (twin != graph) twin_synced_ = false;
  }
  std::size_t vanished_count() const {
    return model_.published().vanished_nodes.size() + model_.published().vanished_relations.size();
  }
  void resync_twin() {
    const GraphIndices& a = g_.indices[0];
    const GraphIndices& b = g_.indices[1];
    for (std::uint64_t k = 0; k < kNodeKinds; ++k)
      std::memcpy(twin_.node_records[k], g_.node_records[k],
                  std::max(a.node_index_tail[k], b.node_index_tail[k]) * sizeof(NodeRecord));
    for (std::uint64_t k = 0; k < kRelationKinds; ++k)
      std::memcpy(twin_.relation_records[k], g_.relation_records[k],
                  std::max(a.relation_index_tail[k], b.relation_index_tail[k]) *
                      sizeof(RelationRecord));
    std::memcpy(twin_.node_values, g_.node_values,
                std::max(a.nodes_tail, b.nodes_tail) * sizeof(KnowledgeGraphNode));
    std::memcpy(twin_.relation_values, g_.relation_values,
                std::max(a.relations_tail, b.relations_tail) * sizeof(KnowledgeGraphRelation));
    twin_.indices[0] = a;
    twin_.indices[1] = b;
    twin_.active_indices = g_.active_indices;
    twin_synced_ = true;
  }

  // After a compaction every as-of read from the latest window start on answers
  // as on the twin that never compacted.
  void expect_as_twin(std::uint64_t keep_since) {
    const std::vector<std::string> got = as_of_reads(g_);
    const std::vector<std::string> want = as_of_reads(twin_);
    for (std::size_t i = 0; i < std::max(got.size(), want.size()); ++i) {
      const std::string now = i < got.size() ? got[i] : "(none)";
      const std::string was = i < want.size() ? want[i] : "(none)";
      if (now == was) continue;
      ADD_FAILURE() << "compact(" << keep_since << ") at step " << step_
                    << ": an as-of read differs from the uncompacted twin's (window from "
                    << horizon_ << "):\n  twin  " << was.substr(0, 300) << "\n  graph "
                    << now.substr(0, 300);
      return;
    }
  }

  // An instance whose latest version was older and not Valid may disappear.
  static bool vanished(const std::string& was, const std::string& now) {
    const std::size_t cut = was.find(' ', was.find(' ') + 1);  // "latest <index>"
    return was.rfind("latest ", 0) == 0 && now == was.substr(0, cut) + " absent no value" &&
           was.find(" marker Valid") == std::string::npos;
  }

  template <class Value> static std::string bytes(const Value& value) {
    static_assert(std::is_trivially_copyable_v<Value>);
    const auto* raw = reinterpret_cast<const unsigned char*>(&value);
    std::string text;
    for (std::size_t i = 0; i < sizeof value; ++i) text += std::to_string(raw[i]) + ",";
    return text;
  }
  static std::string brief(const Index& index) {
    return std::to_string(index.type_index) + "/" + std::to_string(index.instance_id);
  }
  static std::string describe(const NodeItem& item) {
    std::string text = "node " + std::to_string(item.record.instance_id) + " ts " +
                       std::to_string(item.record.timestamp) + " marker " +
                       to_string(item.record.marker) + " out";
    for (const Index& entry : item.record.outgoing) text += " " + brief(entry);
    text += " in";
    for (const Index& entry : item.record.incoming) text += " " + brief(entry);
    return text + " payload " + bytes(item.value);
  }
  static std::string describe(const RelationItem& item) {
    return "relation " + std::to_string(item.record.instance_id) + " ts " +
           std::to_string(item.record.timestamp) + " marker " + to_string(item.record.marker) +
           " from " + brief(item.record.from) + " to " + brief(item.record.to) +
           " payload " + bytes(item.value);
  }

  WriteStatus settle(const char* operation, WriteStatus got, WriteStatus want, bool same_value) {
    ++statuses_[got];
    EXPECT_EQ(got, want) << operation << " at step " << step_ << ": " << to_string(got)
                         << ", model " << to_string(want);
    EXPECT_TRUE(same_value) << operation << " at step " << step_;
    verify(operation);
    return got;
  }

  // Readers see exactly the model's published state at every step, also while a
  // batch that cleared is under way.
  void verify(const char* operation) {
    ++step_;
    ASSERT_EQ(g_.active_indices, model_.active()) << operation << " at step " << step_;
    // A batch opened since the last check starts as the state published then.
    if (model_.batches_opened() != batches_checked_) checked_batch_ = checked_published_;
    batches_checked_ = model_.batches_opened();
    const GraphIndices& published = g_.indices[g_.active_buffer()];
    expect_clean(operation, reference::compare_state(g_, published, model_.published()));
    expect_clean(operation, reference::check_invariants(g_, published, checked_published_,
                                                            &model_.published()));
    checked_published_ = published;
    if (model_.batch_open()) {
      const GraphIndices& batch = g_.indices[1 - g_.active_buffer()];
      expect_clean(operation, reference::compare_state(g_, batch, model_.batch()));
      expect_clean(operation, reference::check_invariants(g_, batch, checked_batch_, &model_.batch()));
      checked_batch_ = batch;
    }
    if (step_ % 50 == 0) {
      expect_clean(operation, reference::check_absent(g_, published, model_.published(),
                                                      node_universe_, relation_universe_));
    }
  }

  void expect_clean(const char* operation, const std::string& problem) {
    EXPECT_EQ(problem, "") << operation << " at step " << step_;
  }

  KnowledgeGraph::Boxed boxed_ = KnowledgeGraph::new_boxed();
  KnowledgeGraph& g_ = *boxed_;
  // The same writes, never compacted: what as-of reads must still answer.
  KnowledgeGraph::Boxed twin_boxed_ = KnowledgeGraph::new_boxed();
  KnowledgeGraph& twin_ = *twin_boxed_;
  std::uint64_t horizon_ = 0;  // the latest window start since the last clear
  bool twin_synced_ = true;
  std::uint64_t twin_checks_ = 0;
  ReferenceModel model_;
  std::mt19937_64 rng_;
  std::uint64_t clock_ = 1;
  std::uint64_t step_ = 0;
  std::uint64_t batches_checked_ = 0;
  GraphIndices checked_published_{};
  GraphIndices checked_batch_{};
  std::vector<Index> node_universe_;
  std::vector<Index> relation_universe_;
  std::map<WriteStatus, std::uint64_t> statuses_;
  std::uint64_t compactions_ = 0;
  std::uint64_t stale_entries_taken_ = 0;
};

void run_random(ModelRun& run, int steps) {
  for (int i = 0; i < steps && !::testing::Test::HasFailure(); ++i) run.random_step();
}

class RandomWritesModel : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(RandomWritesModel, SequenceMatchesTheModel) {
  ModelRun run(GetParam());
  run_random(run, 2500);
  for (WriteStatus status : {WriteStatus::Stored, WriteStatus::NotFound, WriteStatus::NodeMissing,
                             WriteStatus::KindOutOfRange, WriteStatus::OutgoingListFull,
                             WriteStatus::IncomingListFull})
    EXPECT_TRUE(run.seen(status)) << "never met " << to_string(status);
  EXPECT_TRUE(run.seen(WriteStatus::InsideBatch)) << "no compaction inside a batch";
  EXPECT_GE(run.compactions(), 8u);
  EXPECT_GE(run.twin_checks(), 5u);
  EXPECT_GT(run.stale_entries_taken(), 0u) << "no full list ever took a stale entry";
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomWritesModel, ::testing::Values(1u, 2u, 3u));

// A node kind and the node payloads are filled to their limits, then random
// operations run against the full arrays. (The relation arrays' limits are
// covered by the writes test.)
TEST(WritesModel, FullArraysRefuseWritesLikeTheModel) {
  ModelRun run(42);
  run_random(run, 200);

  // A node kind: one relation between two nodes of that kind, removed again and again.
  run.to_autocommit();
  run.clear();
  const Index lane_a(6, 1000), lane_b(6, 1001);
  run.add_node(lane_a.instance_id, run.random_value(6));
  run.add_node(lane_b.instance_id, run.random_value(6));
  run.add_relation(1000, ModelRun::relation_value(2), lane_a, lane_b);
  while (!::testing::Test::HasFailure() &&
         run.remove_relation(Index(2, 1000)) == WriteStatus::Stored) {
  }
  EXPECT_TRUE(run.seen(WriteStatus::NodeVersionsFull));
  // A compaction that keeps the recent history makes room again.
  EXPECT_EQ(run.compact_recent(3), WriteStatus::Stored);
  EXPECT_EQ(run.remove_relation(Index(2, 1000)), WriteStatus::Stored);
  run_random(run, 300);

  // The node payloads, in one big transaction; kinds 1 to 17, one instance each.
  run.to_autocommit();
  run.clear();
  run.begin_transaction();
  for (std::uint64_t i = 0; !::testing::Test::HasFailure(); ++i) {
    if (run.add_node(0, run.random_value(1 + i % 17)) != WriteStatus::Stored) break;
  }
  EXPECT_TRUE(run.seen(WriteStatus::NodeValuesFull));
  run.commit(false);
  run_random(run, 300);
}

}  // namespace
}  // namespace knowledge_graph::graph

namespace knowledge_graph::graph {
namespace {

// Compactions on hand-picked histories, against the model: timestamps that go
// back, instances that vanish, nothing to drop.
TEST(CompactionModel, HandPickedHistoriesMatchTheModel) {
  auto boxed = KnowledgeGraph::new_boxed();
  KnowledgeGraph& g = *boxed;
  ReferenceModel model;
  auto both = [&](auto&& write) {
    const auto got = write(g);
    const auto want = write(model);
    EXPECT_EQ(got.status, want.status);
    EXPECT_EQ(got.value, want.value);
    EXPECT_EQ(g.active_indices, model.active());
    EXPECT_EQ(reference::compare_state(g, g.indices[g.active_buffer()], model.published()), "");
  };
  const auto car = reference::node_of_kind(1);
  both([&](auto& x) { return x.add_node(10, 1, car); });   // stays: latest, Valid
  both([&](auto& x) { return x.add_node(20, 2, car); });
  both([&](auto& x) { return x.remove_node(30, Index(1, 2)); });  // vanishes
  both([&](auto& x) { return x.add_node(100, 3, car); });  // kept by its time...
  both([&](auto& x) { return x.remove_node(40, Index(1, 3)); });  // ...so its removal stays
  both([&](auto& x) { return x.add_node(110, 4, car); });
  both([&](auto& x) { return x.compact(50); });
  EXPECT_EQ(g.node_count(), 4u);
  EXPECT_EQ(g.get_latest_node_record(Index(1, 2)), nullptr);
  ASSERT_NE(g.get_latest_node_record(Index(1, 3)), nullptr);
  EXPECT_EQ(g.get_latest_node_record(Index(1, 3))->marker, Marker::Removed);
  EXPECT_EQ(g.get_nodes_of_type(interval_algebra::Interval::eternity(), 1).size(), 2u);
  both([&](auto& x) { return x.compact(50); });  // nothing left to drop: no publication
  both([&](auto& x) { return x.compact(0); });
  g.set_autocommit(false);
  model.set_autocommit(false);
  both([&](auto& x) { return x.compact(1000); });  // refused inside a batch
}

}  // namespace
}  // namespace knowledge_graph::graph

namespace knowledge_graph::graph {
namespace {

// A car that stood still from 10 until it moved at 20: after compact(15) it is
// still there as of 17, and so is the car of its isOn relation.
TEST(CompactionModel, AnInstanceChangedInTheWindowKeepsItsStateAtTheWindowStart) {
  auto boxed = KnowledgeGraph::new_boxed();
  KnowledgeGraph& g = *boxed;
  const NodeIndex car(NodeKind::Car, 1);
  const NodeIndex lane(NodeKind::Lane, 1);
  ASSERT_TRUE(g.add_node(10, 1, reference::node_of_kind(1)).stored());
  ASSERT_TRUE(g.add_node(10, 1, reference::node_of_kind(6)).stored());
  ASSERT_TRUE(g.add_relation(10, 1, reference::relation_of_kind(9), car.index(), lane.index()).stored());
  ASSERT_TRUE(g.update_node(20, 1, reference::node_of_kind(1)).stored());
  ASSERT_TRUE(g.compact(15).stored());

  const SceneView view(g);
  const auto then = view.node_at(car, 17);
  ASSERT_TRUE(then.has_value());
  EXPECT_EQ(then->record.timestamp, 10u);
  ASSERT_EQ(view.all_nodes_as_of(17).size(), 2u);
  const auto on = view.relations_as_of(RelationKind::isOn, 17);
  ASSERT_EQ(on.size(), 1u);
  EXPECT_TRUE(view.node_at(NodeIndex::of(on[0].record.from), 17).has_value());
  EXPECT_EQ(view.outgoing(car, RelationKind::isOn, 17).size(), 1u);
  EXPECT_EQ(view.node_at(car, 20)->record.timestamp, 20u);
  EXPECT_FALSE(view.node_at(car, 9).has_value());  // before the window: nothing kept
}

}  // namespace
}  // namespace knowledge_graph::graph
