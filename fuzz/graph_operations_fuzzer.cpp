// Operation-sequence fuzzer: the input is a program of graph calls (the writes
// and updates, clear, compactions, transactions, reads, kinds and ids out of
// range, relation lists filled to their limits). Each call runs on a private
// graph and on the reference model; after each one the published buffer (and an
// open batch) must match the model and keep the record's invariants, and the
// reads the input asks for must agree with it. A compaction must leave every
// read as of a time in its window as the graph answered it before.
//
// One graph serves every input: it is reset by a clear, which leaves the old
// slots in place above the tails, so stale bytes are part of what is fuzzed.
// An input costs what it does: the checks after each call look only at the
// slots it added, and the model's memory is given back when the input ends
// (else libFuzzer runs every input twice to look for a leak). Filling a value
// or version array to its limit costs some 40,000 calls, a second of an input's
// time: that is left to the model test (FullArraysRefuseWritesLikeTheModel);
// here an input fills nodes' relation lists.
//
// The operations are the cases of step(): a new one is one more case that
// calls the graph and the model alike and settles their results.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "byte_reader.hpp"
#include "knowledge_graph/graph/iterators.hpp"
#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/scene_view.hpp"
#include "reference_model.hpp"

namespace {

using namespace knowledge_graph::graph;
using interval_algebra::Interval;
using reference::ModelState;
using reference::ReferenceModel;
using varnel_fuzz::ByteReader;
using varnel_fuzz::fail;

constexpr std::uint64_t kNodeIdPool = 6;
constexpr std::uint64_t kRelationIdPool = 48;  // enough distinct relations to fill a list

class Session {
 public:
  void reset() {
    graph_.set_autocommit(true);
    graph_.clear();
    graph_.add_node(0, 0, KnowledgeGraphNode{});  // so the cleared state carries timestamp 0
    graph_.clear();
    model_ = ReferenceModel{};
    base_active_ = graph_.active_buffer();
    checked_published_ = GraphIndices{};
    checked_batch_ = GraphIndices{};
    batches_checked_ = 0;
    clock_ = 1;
    seen_nodes_.clear();
    seen_relations_.clear();
  }

  // Gives back what the input allocated (kept graph bytes are not the heap's).
  void release() {
    model_ = ReferenceModel{};
    std::vector<Index>().swap(seen_nodes_);
    std::vector<Index>().swap(seen_relations_);
  }

  void run(ByteReader& in) {
    for (int steps = 0; !in.done() && steps < 512; ++steps) step(in);
    verify("end", true);
  }

 private:
  void step(ByteReader& in) {
    switch (in.byte() % 14) {
      case 0: case 1: add_node(in.kind(kNodeKinds), in.id(kNodeIdPool), in.word()); break;
      case 2: remove_node(node_of(in)); break;
      case 3: case 4: {
        const std::uint64_t kind = in.kind(kRelationKinds);
        const std::uint64_t id = in.id(kRelationIdPool);
        const Index from = node_of(in);
        add_relation(kind, id, from, node_of(in));
        break;
      }
      case 5: remove_relation(Index(in.kind(kRelationKinds), in.id(kRelationIdPool))); break;
      case 6: clear(); break;
      case 7: transaction_step(in.byte()); break;
      case 8: {
        const std::uint8_t reads = in.byte();
        const std::uint64_t node_kind = in.kind(kNodeKinds);
        const std::uint64_t relation_kind = in.kind(kRelationKinds);
        check_reads(reads, node_kind, relation_kind, node_of(in));
        break;
      }
      case 9: go_back(in.byte()); break;
      case 10:  // never from the zeros past the input's end
        if (!in.done() && in.byte() % 8 == 0) pressure(in);
        break;
      case 11: update_node(in.kind(kNodeKinds), in.id(kNodeIdPool), in.word()); break;
      case 12: compact(in.byte()); break;
      default: add_node(in.kind(kNodeKinds), in.id(kNodeIdPool), clock_); break;
    }
  }

  Index node_of(ByteReader& in) {
    const std::uint64_t kind = in.kind(kNodeKinds);
    return Index(kind, in.id(kNodeIdPool));
  }

  std::uint64_t timestamp() { return clock_ += 3; }
  // Instances that check_absent looks for: a bounded set of those the input named.
  static void remember(std::vector<Index>& seen, Index id) {
    if (seen.size() < 256 && std::find(seen.begin(), seen.end(), id) == seen.end())
      seen.push_back(id);
  }
  // Timestamps going backwards are accepted and carried into update_timestamp.
  void go_back(std::uint8_t amount) { clock_ = clock_ > amount ? clock_ - amount : 0; }

  static KnowledgeGraphNode node_value(std::uint64_t kind, std::uint64_t bits) {
    KnowledgeGraphNode value;
    value.tag = kind;
    std::memcpy(value.payload, &bits, sizeof bits);
    return value;
  }
  static KnowledgeGraphRelation relation_value(std::uint64_t kind, std::uint64_t id) {
    KnowledgeGraphRelation value;
    value.tag = kind;
    std::memcpy(value.payload, &id, sizeof id);
    return value;
  }

  // ---- The calls, on graph and model alike ----

  WriteStatus add_node(std::uint64_t kind, std::uint64_t id, std::uint64_t bits, bool check = true) {
    const std::uint64_t t = timestamp();
    const KnowledgeGraphNode value = node_value(kind, bits);
    const auto got = graph_.add_node(t, id, value);
    const auto want = model_.add_node(t, id, value);
    if (check) remember(seen_nodes_, Index(kind, id));
    return settle("add_node", got.status, want.status, got.value == want.value, check);
  }
  WriteStatus update_node(std::uint64_t kind, std::uint64_t id, std::uint64_t bits) {
    const std::uint64_t t = timestamp();
    const KnowledgeGraphNode value = node_value(kind, bits);
    const auto got = graph_.update_node(t, id, value);
    const auto want = model_.update_node(t, id, value);
    return settle("update_node", got.status, want.status, got.value == want.value, true);
  }
  WriteStatus remove_node(Index node, bool check = true) {
    const std::uint64_t t = timestamp();
    const auto got = graph_.remove_node(t, node);
    const auto want = model_.remove_node(t, node);
    return settle("remove_node", got.status, want.status, got.value == want.value, check);
  }
  WriteStatus add_relation(std::uint64_t kind, std::uint64_t id, Index from, Index to,
                           bool check = true) {
    const std::uint64_t t = timestamp();
    const KnowledgeGraphRelation value = relation_value(kind, id);
    const auto got = graph_.add_relation(t, id, value, from, to);
    const auto want = model_.add_relation(t, id, value, from, to);
    if (check) remember(seen_relations_, Index(kind, id));
    return settle("add_relation", got.status, want.status, got.value == want.value, check);
  }
  WriteStatus remove_relation(Index relation, bool check = true) {
    const std::uint64_t t = timestamp();
    const auto got = graph_.remove_relation(t, relation);
    const auto want = model_.remove_relation(t, relation);
    return settle("remove_relation", got.status, want.status, got.value == want.value, check);
  }
  void clear() {
    graph_.clear();
    model_.clear();
    verify("clear", false);
  }
  // Keeps what the last `back` time units wrote (or everything, or nothing).
  WriteStatus compact(std::uint8_t back) {
    const std::uint64_t keep_since = back == 255 ? ~std::uint64_t{0}
                                     : clock_ > back ? clock_ - back
                                                     : 0;
    const std::uint64_t active = model_.active();
    const std::string before = as_of_reads(keep_since);
    const auto got = graph_.compact(keep_since);
    const auto want = model_.compact(keep_since);
    // Kept slots moved down and payloads were renumbered: check every slot again.
    if (model_.active() != active) checked_published_ = GraphIndices{};
    const WriteStatus status =
        settle("compact", got.status, want.status, got.value == want.value, true);
    if (as_of_reads(keep_since) != before)
      fail("compact: a read as of a time in the window answers unlike the graph before");
    return status;
  }

  // What a view reads as of times from `since` on (and now), as bytes; payload
  // positions and the index's stamps in the padding left out (a compaction
  // renumbers and restamps them).
  std::string as_of_reads(std::uint64_t since) const {
    std::string bytes;
    const auto add_node = [&](const std::optional<NodeItem>& item) {
      if (!item) return bytes.push_back('-');
      NodeRecord record = item->record;
      record.value_index = 0;
      std::memset(record.padding, 0, sizeof record.padding);
      bytes.append(reinterpret_cast<const char*>(&record), sizeof record);
      bytes.append(reinterpret_cast<const char*>(&item->value), sizeof item->value);
    };
    const auto add_relation = [&](const std::optional<RelationItem>& item) {
      if (!item) return bytes.push_back('-');
      RelationRecord record = item->record;
      record.value_index = 0;
      std::memset(record.padding, 0, sizeof record.padding);
      bytes.append(reinterpret_cast<const char*>(&record), sizeof record);
      bytes.append(reinterpret_cast<const char*>(&item->value), sizeof item->value);
    };
    if (since == ~std::uint64_t{0}) return bytes;
    const SceneView view(graph_);
    (void)view.counts();  // takes the current state first: as-of reads then follow the links
    const std::optional<std::uint64_t> times[] = {since, since + 1, clock_, std::nullopt};
    for (const std::optional<std::uint64_t>& t : times) {
      bytes.push_back('|');
      for (const NodeItem& item : t ? view.all_nodes_as_of(*t) : view.all_nodes()) add_node(item);
      for (const RelationItem& item : t ? view.all_relations_as_of(*t) : view.all_relations())
        add_relation(item);
      for (const Index& id : seen_nodes_) {
        if (id.type_index >= kNodeKinds) continue;
        const NodeIndex node = NodeIndex::of(id);
        add_node(t ? view.node_at(node, *t) : view.node(node));
        for (const Neighbour& next : view.outgoing(node, RelationKind::isOn, t)) {
          add_relation(next.relation);
          add_node(next.node);
        }
        for (const Neighbour& next : view.incoming(node, RelationKind::has, t)) {
          add_relation(next.relation);
          add_node(next.node);
        }
      }
      for (const Index& id : seen_relations_) {
        if (id.type_index >= kRelationKinds) continue;
        const RelationIndex relation = RelationIndex::of(id);
        add_relation(t ? view.relation_at(relation, *t) : view.relation(relation));
      }
    }
    return bytes;
  }

  // Transaction framing, the misframed kinds included: a batch begun properly or
  // by a write in transaction mode, restarted, committed once or twice, committed
  // with no batch, dropped (also after a clear).
  void transaction_step(std::uint8_t choice) {
    switch (choice % 8) {
      case 0: set_autocommit(false); start_transaction(); break;
      case 1: set_autocommit(false); break;  // the next write opens the batch
      case 2: start_transaction(); break;
      case 3: commit(); break;
      case 4: commit(); commit(); break;
      case 5: set_autocommit(true); break;  // drops an open batch
      case 6: commit(); set_autocommit(true); break;
      default: commit(); start_transaction(); break;
    }
    verify("transaction", false);
  }
  void set_autocommit(bool value) {
    graph_.set_autocommit(value);
    model_.set_autocommit(value);
  }
  void start_transaction() {
    graph_.start_transaction();
    model_.start_transaction();
  }
  void commit() {
    const std::uint64_t active = model_.active();
    graph_.commit_transaction();
    model_.commit_transaction();
    if (model_.active() != active) checked_published_ = checked_batch_;
  }

  // Fills a node's outgoing or incoming list to its limit in one go; the
  // statuses must agree at every call, the full comparison comes at the end.
  void pressure(ByteReader& in) {
    const bool outgoing = in.byte() % 2 == 0;
    const std::uint64_t kind = 1 + in.byte() % (kNodeKinds - 1);
    add_node(kind, 2, 3, false);
    add_node(6, 3, 4, false);
    for (std::uint64_t i = 0; i <= kListEntries; ++i) {
      const Index hub(kind, 2), other(6, 3);
      const std::uint64_t relation_kind = 1 + i % (kRelationKinds - 1);
      const std::uint64_t id = i / (kRelationKinds - 1) + 100;
      if (outgoing) add_relation(relation_kind, id, hub, other, false);
      else add_relation(relation_kind, id, other, hub, false);
    }
    // Two of them move away: their entries go stale, and the next two take them.
    const Index hub(kind, 2), other(6, 3);
    for (std::uint64_t k = 1; k <= 2; ++k) add_relation(k, 100, other, other, false);
    for (std::uint64_t k = 1; k <= 2; ++k) {
      if (outgoing) add_relation(k, 200, hub, other, false);
      else add_relation(k, 200, other, hub, false);
    }
    verify("pressure", true);
  }

  WriteStatus settle(const char* operation, WriteStatus got, WriteStatus want, bool same_value,
                     bool check) {
    if (got != want)
      fail(std::string(operation) + ": graph says " + std::string(to_string(got)) +
           ", model says " + std::string(to_string(want)));
    if (!same_value) fail(std::string(operation) + ": result value differs from the model");
    if (check) verify(operation, false);
    return got;
  }

  // ---- Checks ----

  void verify(const char* operation, bool thorough) {
    const std::string where = std::string(" after ") + operation;
    if (graph_.active_buffer() != (base_active_ ^ model_.active()))
      fail("active_indices flipped unlike the model" + where);
    if (graph_.autocommit_enabled() != model_.autocommit()) fail("autocommit differs" + where);
    // A batch opened since the last check starts as the state published then.
    if (model_.batches_opened() != batches_checked_) checked_batch_ = checked_published_;
    batches_checked_ = model_.batches_opened();
    const GraphIndices& published = graph_.indices[graph_.active_buffer()];
    check_buffer(published, model_.published(), checked_published_, where, thorough);
    checked_published_ = published;
    if (model_.batch_open()) {
      const GraphIndices& batch = graph_.indices[1 - graph_.active_buffer()];
      check_buffer(batch, model_.batch(), checked_batch_, where, thorough);
      checked_batch_ = batch;
    }
  }

  void check_buffer(const GraphIndices& buffer, const ModelState& state,
                    const GraphIndices& checked, const std::string& where, bool thorough) {
    std::string problem = reference::compare_state(graph_, buffer, state);
    if (problem.empty()) problem = reference::check_invariants(graph_, buffer, checked, &state);
    if (problem.empty() && thorough)
      problem = reference::check_absent(graph_, buffer, state, seen_nodes_, seen_relations_);
    if (!problem.empty()) fail(problem + where);
  }

  // The read side against the model's published state: the reads that the bits
  // of `reads` pick. get_all_nodes walks the whole lookup table (32,768 entries),
  // so it takes three bits: one read step in eight pays for it.
  void check_reads(std::uint8_t reads, std::uint64_t node_kind, std::uint64_t relation_kind,
                   Index node) {
    const ModelState& state = model_.published();
    const Interval always = Interval::eternity();
    if (reads & 1) check_nodes_of_type(state, node_kind);
    if (reads & 2) {
      const auto relations = graph_.get_relations_of_type(always, relation_kind);
      std::size_t live = 0;
      for (const auto& [id, version] : state.relations)
        if (id.type_index == relation_kind && version.marker == Marker::Valid) ++live;
      if (relations.size() != live) fail("get_relations_of_type: wrong number of instances");
    }
    if (reads & 4) {
      std::uint64_t versions = 0;
      auto walk = graph_.nodes_iter(always, node_kind);
      while (walk.next()) ++versions;
      const std::uint64_t tail = node_kind < kNodeKinds ? state.tails.node_index_tail[node_kind] : 0;
      if (versions != tail) fail("nodes_iter: yields a number of versions other than the tail");
      std::uint64_t relation_versions = 0;
      auto relation_walk = graph_.relations_iter(always, relation_kind);
      while (relation_walk.next()) ++relation_versions;
      const std::uint64_t relation_tail =
          relation_kind < kRelationKinds ? state.tails.relation_index_tail[relation_kind] : 0;
      if (relation_versions != relation_tail) fail("relations_iter: wrong number of versions");
    }
    if (reads & 8) {
      const auto found = state.nodes.find(node);
      const KnowledgeGraphNode* value = graph_.get_latest_node_value(node);
      const bool live_node = found != state.nodes.end() && found->second.marker == Marker::Valid;
      if ((value != nullptr) != live_node) fail("get_latest_node_value: presence differs");
      if (value && std::memcmp(value, &found->second.value, sizeof *value) != 0)
        fail("get_latest_node_value: payload differs");
      if ((graph_.get_latest_node_record(node) != nullptr) != (found != state.nodes.end()))
        fail("get_latest_node_record: presence differs");
    }
    if (reads & 16) {
      std::uint64_t count = 0;
      for (std::uint64_t t : state.tails.node_index_tail) count += t;
      if (graph_.node_count() != count) fail("node_count differs");
      if (graph_.last_update() != state.tails.update_timestamp) fail("last_update differs");
    }
    if ((reads & 0xE0) == 0xE0) {
      if (graph_.get_all_nodes(always).size() > state.nodes.size())
        fail("get_all_nodes: more instances than exist");
    }
  }

  void check_nodes_of_type(const ModelState& state, std::uint64_t node_kind) {
    const auto items = graph_.get_nodes_of_type(Interval::eternity(), node_kind);
    std::vector<std::uint64_t> want;
    for (const auto& [id, version] : state.nodes)
      if (id.type_index == node_kind && version.marker == Marker::Valid)
        want.push_back(id.instance_id);
    if (items.size() != want.size()) fail("get_nodes_of_type: wrong number of instances");
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (items[i].record.instance_id != want[i]) fail("get_nodes_of_type: wrong instance");
      const auto& model = state.nodes.at(Index(node_kind, want[i]));
      if (std::memcmp(&items[i].value, &model.value, sizeof model.value) != 0 ||
          items[i].record.outgoing != model.outgoing || items[i].record.incoming != model.incoming)
        fail("get_nodes_of_type: item differs from the model");
    }
  }

  KnowledgeGraph::Boxed boxed_ = KnowledgeGraph::new_boxed();
  KnowledgeGraph& graph_ = *boxed_;
  ReferenceModel model_;
  std::uint64_t base_active_ = 0;
  GraphIndices checked_published_{};
  GraphIndices checked_batch_{};
  std::uint64_t batches_checked_ = 0;
  std::uint64_t clock_ = 1;
  std::vector<Index> seen_nodes_;
  std::vector<Index> seen_relations_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Session session;
  session.reset();
  ByteReader in(data, size);
  session.run(in);
  session.release();
  return 0;
}
