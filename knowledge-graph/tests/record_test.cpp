// The KnowledgeGraph record: byte layout measured through a real record, the
// default state, counts, publication, transactions, clear, damaged bookkeeping
// and the reader guard.
#include "knowledge_graph/graph/knowledge_graph.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "reference_model.hpp"
#include "writer_steps.hpp"

namespace knowledge_graph::graph {
namespace {

using detail::WriterSteps;
using types::Car;
using types::KnowledgeGraphNode;
using types::KnowledgeGraphRelation;

constexpr std::size_t kNodeValuesAt = 495'936'000;
constexpr std::size_t kRelationRecordsAt = 498'816'000;
constexpr std::size_t kRelationValuesAt = 520'576'000;
constexpr std::size_t kIndicesAt = 520'896'000;
constexpr std::size_t kActiveAt = 520'896'608;
constexpr std::size_t kAutocommitAt = 520'896'616;
constexpr std::size_t kRecordSize = 520'896'624;

const unsigned char* bytes(const KnowledgeGraph& graph) {
  return reinterpret_cast<const unsigned char*>(&graph);
}
std::uint64_t u64_at(const KnowledgeGraph& graph, std::size_t offset) {
  std::uint64_t word = 0;
  for (int i = 7; i >= 0; --i) word = word << 8 | bytes(graph)[offset + static_cast<std::size_t>(i)];
  return word;
}
std::vector<unsigned char> bookkeeping_bytes(const KnowledgeGraph& graph) {
  return {bytes(graph) + kIndicesAt, bytes(graph) + kRecordSize};
}

std::size_t node_slot_at(std::size_t kind, std::size_t slot) { return kind * 27'552'000 + slot * 1312; }
std::size_t relation_slot_at(std::size_t kind, std::size_t slot) {
  return kRelationRecordsAt + kind * 1'280'000 + slot * 64;
}

// One write as every writer makes it: take the working buffer, append, publish.
void append_versions(KnowledgeGraph& graph, std::uint64_t timestamp, std::uint64_t node_kind,
                     std::uint64_t nodes, std::uint64_t relation_kind = 0,
                     std::uint64_t relations = 0) {
  GraphIndices w = WriterSteps::working_buffer(graph);
  w.node_index_tail[node_kind] += nodes;
  w.nodes_tail += nodes;
  w.relation_index_tail[relation_kind] += relations;
  w.relations_tail += relations;
  w.update_timestamp = timestamp;
  WriterSteps::publish(graph, w);
}

KnowledgeGraphNode car(std::int32_t id) {
  Car record;
  record.carId = id;
  return KnowledgeGraphNode(record);
}

class Record : public ::testing::Test {
 protected:
  KnowledgeGraph::Boxed boxed = KnowledgeGraph::new_boxed();
  KnowledgeGraph& graph = *boxed;
};

// ---- Layout ----

TEST_F(Record, NodeVersionsLieAtKindTimesArrayPlusSlotTimesRecord) {
  NodeRecord& v = graph.node_records[6][5];
  v.timestamp = 0x1111'2222'3333'4444;
  v.value_index = 19'999;
  v.instance_id = 0xABCD;
  v.outgoing[0] = Index(9, 77);
  v.outgoing[39] = Index(16, 78);
  v.incoming[0] = Index(15, 79);
  v.incoming[39] = Index(1, 80);
  v.marker = Marker::Removed;
  const std::size_t at = node_slot_at(6, 5);
  EXPECT_EQ(u64_at(graph, at), 0x1111'2222'3333'4444u);
  EXPECT_EQ(u64_at(graph, at + 8), 19'999u);
  EXPECT_EQ(u64_at(graph, at + 16), 0xABCDu);
  EXPECT_EQ(u64_at(graph, at + 24), 9u);
  EXPECT_EQ(u64_at(graph, at + 32), 77u);
  EXPECT_EQ(u64_at(graph, at + 24 + 39 * 16), 16u);
  EXPECT_EQ(u64_at(graph, at + 664), 15u);
  EXPECT_EQ(u64_at(graph, at + 672), 79u);
  EXPECT_EQ(u64_at(graph, at + 664 + 39 * 16 + 8), 80u);
  EXPECT_EQ(bytes(graph)[at + 1304], 2);

  // The last slot of the last kind ends where the node values begin.
  graph.node_records[17][20'999].marker = Marker::Valid;
  EXPECT_EQ(node_slot_at(17, 20'999) + 1312, kNodeValuesAt);
  EXPECT_EQ(bytes(graph)[node_slot_at(17, 20'999) + 1304], 1);
}

TEST_F(Record, ValuesLieInTheirSharedArrays) {
  types::Lane lane;
  lane.laneSpeedLimit = 0x0102'0304;
  graph.node_values[19'999] = KnowledgeGraphNode(lane);
  graph.node_values[0] = car(-1);
  const std::size_t last = kNodeValuesAt + 19'999 * 144;
  EXPECT_EQ(u64_at(graph, last), 6u);
  EXPECT_EQ(u64_at(graph, last + 136) >> 32, 0x0102'0304u);  // laneSpeedLimit at byte 140
  EXPECT_EQ(last + 144, kRelationRecordsAt);
  EXPECT_EQ(u64_at(graph, kNodeValuesAt), 1u);
  EXPECT_EQ(u64_at(graph, kNodeValuesAt + 16) >> 32, 0xFFFF'FFFFu);  // carId at byte 20

  graph.relation_values[19'999] = KnowledgeGraphRelation(types::yieldsToCarIn{7});
  const std::size_t last_relation = kRelationValuesAt + 19'999 * 16;
  EXPECT_EQ(u64_at(graph, last_relation), 16u);
  EXPECT_EQ(u64_at(graph, last_relation + 8) & 0xFFFF'FFFF, 7u);
  EXPECT_EQ(last_relation + 16, kIndicesAt);
}

TEST_F(Record, RelationVersionsLieAtKindTimesArrayPlusSlotTimesRecord) {
  RelationRecord& r = graph.relation_records[16][19'999];
  r.timestamp = 5;
  r.value_index = 6;
  r.instance_id = 7;
  r.from = Index(1, 8);
  r.to = Index(6, 9);
  r.marker = Marker::Valid;
  const std::size_t at = relation_slot_at(16, 19'999);
  EXPECT_EQ(at + 64, kRelationValuesAt);
  const std::uint64_t expected[] = {5, 6, 7, 1, 8, 6, 9};
  for (std::size_t i = 0; i < 7; ++i) EXPECT_EQ(u64_at(graph, at + 8 * i), expected[i]) << i;
  EXPECT_EQ(bytes(graph)[at + 56], 1);
  graph.relation_records[3][2].instance_id = 42;
  EXPECT_EQ(u64_at(graph, relation_slot_at(3, 2) + 16), 42u);
}

TEST_F(Record, BookkeepingWordsLieAtTheEnd) {
  GraphIndices& b = graph.indices[1];
  b.node_index_tail[0] = 100;
  b.node_index_tail[17] = 117;
  b.nodes_tail = 200;
  b.relation_index_tail[0] = 300;
  b.relation_index_tail[16] = 316;
  b.relations_tail = 400;
  b.update_timestamp = 500;
  const std::size_t at = kIndicesAt + 304;
  EXPECT_EQ(u64_at(graph, at), 100u);
  EXPECT_EQ(u64_at(graph, at + 17 * 8), 117u);
  EXPECT_EQ(u64_at(graph, at + 144), 200u);
  EXPECT_EQ(u64_at(graph, at + 152), 300u);
  EXPECT_EQ(u64_at(graph, at + 152 + 16 * 8), 316u);
  EXPECT_EQ(u64_at(graph, at + 288), 400u);
  EXPECT_EQ(u64_at(graph, at + 296), 500u);
  EXPECT_EQ(at + 304, kActiveAt);

  // Written as raw bytes, the words are what the operations read.
  unsigned char* raw = reinterpret_cast<unsigned char*>(&graph);
  raw[kActiveAt] = 1;
  EXPECT_EQ(graph.active_buffer(), 1u);
  EXPECT_EQ(graph.last_update(), 500u);
  EXPECT_EQ(graph.node_count(), 217u);
  raw[kAutocommitAt] = 0;
  EXPECT_FALSE(graph.autocommit_enabled());
}

// ---- Default state ----

TEST_F(Record, FreshGraphIsZeroWithAutocommitOn) {
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(&graph) % 8, 0u);
  std::vector<unsigned char> expected(kRecordSize - kIndicesAt, 0);
  expected[kAutocommitAt - kIndicesAt] = 1;
  EXPECT_EQ(bookkeeping_bytes(graph), expected);
  EXPECT_EQ(graph.node_records[6][123].marker, Marker::None);
  EXPECT_EQ(graph.relation_records[16][19'999].marker, Marker::None);
  EXPECT_EQ(graph.node_values[19'999].type_index(), 0u);
  EXPECT_EQ(graph.relation_values[0].type_index(), 0u);

  EXPECT_TRUE(graph.is_empty());
  EXPECT_EQ(graph.node_count(), 0u);
  EXPECT_EQ(graph.relation_count(), 0u);
  EXPECT_EQ(graph.last_update(), 0u);
  EXPECT_EQ(graph.active_indices, 0u);
  EXPECT_TRUE(graph.autocommit_enabled());
}

TEST_F(Record, InitializeInTransactionModeOnlyTurnsAutocommitOn) {
  append_versions(graph, 10, 1, 2);
  graph.set_autocommit(false);
  graph.start_transaction();
  append_versions(graph, 20, 3, 1);  // an open batch stays as it is
  std::vector<unsigned char> before = bookkeeping_bytes(graph);
  EXPECT_EQ(before[kAutocommitAt - kIndicesAt], 0);
  graph.initialize();
  before[kAutocommitAt - kIndicesAt] = 1;
  EXPECT_EQ(bookkeeping_bytes(graph), before);
}

// ---- Counts and publication ----

TEST_F(Record, OneWriteInAutocommitModePublishesItself) {
  const auto added = graph.add_node(1234, 7, car(7));
  ASSERT_TRUE(added.stored());
  EXPECT_EQ(graph.node_count(), 1u);
  EXPECT_FALSE(graph.is_empty());
  EXPECT_EQ(graph.last_update(), 1234u);
  EXPECT_EQ(graph.active_indices, 1u);
}

TEST_F(Record, RelationBetweenTwoNodesAddsTwoNodeVersionsAndOneRelation) {
  ASSERT_TRUE(graph.add_node(1, 1, car(1)).stored());
  ASSERT_TRUE(graph.add_node(2, 2, KnowledgeGraphNode(types::Lane{})).stored());
  ASSERT_TRUE(graph.add_relation(3, 9, KnowledgeGraphRelation(types::isOn{}), Index(1, 1), Index(6, 2))
                  .stored());
  EXPECT_EQ(graph.node_count(), 4u);
  EXPECT_EQ(graph.relation_count(), 1u);
  EXPECT_EQ(graph.last_update(), 3u);
}

TEST_F(Record, EveryKindCountsKindZeroIncluded) {
  append_versions(graph, 1, 0, 3);
  append_versions(graph, 2, 17, 4, 0, 5);
  append_versions(graph, 3, 1, 0, 16, 6);
  EXPECT_EQ(graph.node_count(), 7u);
  EXPECT_EQ(graph.relation_count(), 11u);

  graph.clear();
  append_versions(graph, 4, 0, 0, 0, 1);  // only relation kind 0
  EXPECT_FALSE(graph.is_empty());
}

TEST_F(Record, AnEarlierTimestampBecomesTheLastUpdate) {
  ASSERT_TRUE(graph.add_node(900, 1, car(1)).stored());
  ASSERT_TRUE(graph.add_node(100, 2, car(2)).stored());
  EXPECT_EQ(graph.last_update(), 100u);
}

TEST_F(Record, OnlyThePerKindTailsDecideEmptiness) {
  graph.indices[0].nodes_tail = 5;
  graph.indices[0].relations_tail = 3;
  graph.indices[0].update_timestamp = 9;
  EXPECT_TRUE(graph.is_empty());
  EXPECT_EQ(graph.node_count(), 0u);
  EXPECT_EQ(graph.relation_count(), 0u);
  EXPECT_EQ(graph.last_update(), 9u);
}

TEST_F(Record, ReadersSeeOnlyTheActiveBuffer) {
  graph.indices[1].node_index_tail[2] = 8;
  graph.indices[1].update_timestamp = 77;
  EXPECT_TRUE(graph.is_empty());
  const Snapshot seen = graph.snapshot();
  EXPECT_EQ(seen.active, 0u);
  EXPECT_EQ(seen.indices.node_index_tail[2], 0u);

  graph.active_indices = 1;  // as a writer flips it
  EXPECT_EQ(graph.node_count(), 8u);
  EXPECT_EQ(graph.last_update(), 77u);
  EXPECT_EQ(graph.snapshot().active, 1u);
  EXPECT_EQ(graph.snapshot().indices.update_timestamp, 77u);
}

// ---- Transactions ----

TEST_F(Record, BatchStaysInvisibleUntilCommitted) {
  ASSERT_TRUE(graph.add_node(5, 1, car(1)).stored());
  graph.set_autocommit(false);
  graph.start_transaction();
  const std::uint64_t active = graph.active_indices;
  ASSERT_TRUE(graph.add_node(6, 2, car(2)).stored());
  ASSERT_TRUE(graph.add_node(7, 3, car(3)).stored());
  EXPECT_EQ(graph.node_count(), 1u);
  EXPECT_EQ(graph.last_update(), 5u);
  EXPECT_EQ(graph.active_indices, active);

  graph.commit_transaction();
  EXPECT_EQ(graph.node_count(), 3u);
  EXPECT_EQ(graph.last_update(), 7u);
  EXPECT_EQ(graph.active_indices, 1 - active);
  EXPECT_FALSE(graph.autocommit_enabled());
}

TEST_F(Record, EmptyTransactionFlipsButChangesNothingVisible) {
  append_versions(graph, 30, 4, 2, 9, 1);
  graph.set_autocommit(false);
  const std::uint64_t active = graph.active_indices;
  const GraphIndices published = graph.indices[active];
  graph.start_transaction();
  graph.commit_transaction();
  EXPECT_EQ(graph.active_indices, 1 - active);
  EXPECT_EQ(std::memcmp(&graph.indices[1 - active], &published, sizeof published), 0);
  EXPECT_EQ(graph.node_count(), 2u);
  EXPECT_EQ(graph.relation_count(), 1u);
  EXPECT_EQ(graph.last_update(), 30u);
}

TEST_F(Record, CommitWithoutABatchNeverTakesBackPublishedWrites) {
  ASSERT_TRUE(graph.add_node(1, 1, car(1)).stored());
  ASSERT_TRUE(graph.add_node(2, 2, car(2)).stored());
  const std::uint64_t active = graph.active_indices;
  graph.commit_transaction();  // autocommit mode, no start_transaction: ignored
  EXPECT_EQ(graph.active_indices, active);
  EXPECT_EQ(graph.node_count(), 2u);
  ASSERT_TRUE(graph.add_node(3, 3, car(3)).stored());
  EXPECT_NE(graph.get_latest_node_record(Index(1, 2)), nullptr);  // its slot was not reused

  graph.set_autocommit(false);
  graph.start_transaction();
  ASSERT_TRUE(graph.add_node(4, 4, car(4)).stored());
  graph.commit_transaction();
  graph.commit_transaction();  // a second commit of the same batch: ignored
  EXPECT_EQ(graph.node_count(), 4u);
  EXPECT_EQ(graph.last_update(), 4u);
}

TEST_F(Record, CommitOfABatchThatClearedPublishesTheEmptyGraph) {
  ASSERT_TRUE(graph.add_node(1, 1, car(1)).stored());
  graph.set_autocommit(false);
  graph.start_transaction();
  graph.clear();
  graph.commit_transaction();  // smaller tails, but the clear makes them the new graph
  EXPECT_TRUE(graph.is_empty());
}

TEST_F(Record, WorkingBufferIsThePublishedOneOnlyInAutocommitMode) {
  append_versions(graph, 1, 1, 1);
  append_versions(graph, 2, 1, 1);
  graph.set_autocommit(false);
  graph.start_transaction();
  append_versions(graph, 3, 1, 5);
  EXPECT_EQ(WriterSteps::working_buffer(graph).node_index_tail[1], 7u);  // the batch
  graph.set_autocommit(true);
  EXPECT_EQ(WriterSteps::working_buffer(graph).node_index_tail[1], 2u);  // the published state
}

TEST_F(Record, ReturningToAutocommitDropsTheUncommittedBatch) {
  ASSERT_TRUE(graph.add_node(1, 1, car(1)).stored());
  graph.set_autocommit(false);
  graph.start_transaction();
  ASSERT_TRUE(graph.add_node(2, 2, car(2)).stored());
  ASSERT_TRUE(graph.add_node(3, 3, car(3)).stored());
  graph.set_autocommit(true);
  ASSERT_TRUE(graph.add_node(4, 4, car(4)).stored());
  EXPECT_EQ(graph.node_count(), 2u);
  EXPECT_EQ(graph.last_update(), 4u);
  // The dropped batch's first slot was reused by the new write.
  EXPECT_EQ(graph.node_records[1][1].instance_id, 4u);
  EXPECT_EQ(graph.get_latest_node_record(Index(1, 2)), nullptr);
}

TEST_F(Record, TransactionCallsLeaveAutocommitAlone) {
  graph.start_transaction();
  graph.commit_transaction();
  EXPECT_EQ(bytes(graph)[kAutocommitAt], 1);
  graph.set_autocommit(false);
  EXPECT_EQ(bytes(graph)[kAutocommitAt], 0);
  graph.start_transaction();
  graph.commit_transaction();
  EXPECT_EQ(bytes(graph)[kAutocommitAt], 0);
}

// ---- Clear ----

TEST_F(Record, ClearInAutocommitModeEmptiesButKeepsTimeAndArrays) {
  ASSERT_TRUE(graph.add_node(42, 1, car(1)).stored());
  ASSERT_TRUE(graph.add_node(43, 2, car(2)).stored());
  const std::uint64_t active = graph.active_indices;
  graph.clear();
  EXPECT_TRUE(graph.is_empty());
  EXPECT_EQ(graph.node_count(), 0u);
  EXPECT_EQ(graph.relation_count(), 0u);
  EXPECT_EQ(graph.last_update(), 43u);
  EXPECT_EQ(graph.active_indices, 1 - active);
  EXPECT_EQ(graph.snapshot().indices.nodes_tail, 0u);
  EXPECT_EQ(graph.node_records[1][1].instance_id, 2u);  // old versions stay above the tails

  ASSERT_TRUE(graph.add_node(50, 9, car(9)).stored());
  EXPECT_EQ(graph.node_records[1][0].instance_id, 9u);  // slot 0 is reused
  EXPECT_EQ(graph.node_records[1][0].timestamp, 50u);
  EXPECT_EQ(graph.node_count(), 1u);
}

TEST_F(Record, ClearInTransactionModeShowsOnlyAfterCommit) {
  ASSERT_TRUE(graph.add_node(42, 1, car(1)).stored());
  graph.set_autocommit(false);
  graph.start_transaction();
  graph.clear();
  EXPECT_EQ(graph.node_count(), 1u);
  EXPECT_FALSE(graph.is_empty());
  graph.commit_transaction();
  EXPECT_TRUE(graph.is_empty());
  EXPECT_EQ(graph.last_update(), 42u);
}

TEST_F(Record, DroppingABatchThatClearedLeavesTheGraphClearedNotOverwritten) {
  ASSERT_TRUE(graph.add_node(42, 1, car(1)).stored());
  ASSERT_TRUE(graph.add_node(43, 2, car(2)).stored());
  graph.set_autocommit(false);
  graph.start_transaction();
  graph.clear();
  ASSERT_TRUE(graph.add_node(50, 9, car(9)).stored());  // reuses slot 0 of the published graph
  graph.set_autocommit(true);                           // the batch is dropped
  EXPECT_TRUE(graph.is_empty());
  EXPECT_EQ(graph.get_latest_node_record(Index(1, 1)), nullptr);
  EXPECT_EQ(graph.get_latest_node_record(Index(1, 9)), nullptr);
  EXPECT_EQ(graph.last_update(), 43u);
  EXPECT_EQ(graph.clear_epoch % 2, 0);  // no clear is under way
  ASSERT_TRUE(graph.add_node(60, 3, car(3)).stored());
  EXPECT_EQ(graph.node_count(), 1u);
}

TEST_F(Record, DroppingABatchWithoutClearKeepsThePublishedGraph) {
  ASSERT_TRUE(graph.add_node(42, 1, car(1)).stored());
  graph.set_autocommit(false);
  graph.start_transaction();
  ASSERT_TRUE(graph.add_node(50, 9, car(9)).stored());
  graph.set_autocommit(true);
  EXPECT_EQ(graph.node_count(), 1u);
  EXPECT_NE(graph.get_latest_node_record(Index(1, 1)), nullptr);
}

// ---- Batches that reset the graph, misframed batches: a reader after every step ----

// One step of a host and what a reader that starts right after it sees.
struct HostStep {
  const char* call;
  std::function<void(KnowledgeGraph&)> run;
  const char* seen;
};

void run_host_steps(KnowledgeGraph& graph, const std::vector<HostStep>& steps) {
  for (const HostStep& step : steps) {
    step.run(graph);
    EXPECT_EQ(reference::car_scene_view(graph), step.seen) << "after " << step.call;
  }
}

HostStep add_car(std::uint64_t timestamp, std::int32_t id, const char* seen) {
  return {"add_node", [=](KnowledgeGraph& g) { ASSERT_TRUE(g.add_node(timestamp, id, car(id)).stored()); },
          seen};
}
HostStep call(const char* name, void (KnowledgeGraph::*member)(), const char* seen) {
  return {name, [=](KnowledgeGraph& g) { (g.*member)(); }, seen};
}
HostStep autocommit(bool on, const char* seen) {
  return {on ? "set_autocommit(true)" : "set_autocommit(false)",
          [=](KnowledgeGraph& g) { g.set_autocommit(on); }, seen};
}
HostStep start(const char* seen) { return call("start_transaction", &KnowledgeGraph::start_transaction, seen); }
HostStep commit(const char* seen) { return call("commit_transaction", &KnowledgeGraph::commit_transaction, seen); }
HostStep clear_graph(const char* seen) { return call("clear", &KnowledgeGraph::clear, seen); }

// A host's reset: transaction mode, a batch begun, the graph cleared in it.
// Readers go on seeing the published scene `seen`.
std::vector<HostStep> reset_batch(const char* seen) {
  return {autocommit(false, seen), start(seen), clear_graph(seen)};
}

void run_host_steps(KnowledgeGraph& graph, std::initializer_list<std::vector<HostStep>> parts) {
  for (const auto& part : parts) run_host_steps(graph, part);
}

TEST_F(Record, ResetInsideABatchPublishesTheEmptyGraphBeforeReusingASlot) {
  run_host_steps(graph, {
      add_car(1000, 1, "cars 1, count 1, last 1000"),
      add_car(1000, 3, "cars 1 3, count 2, last 1000"),
      autocommit(false, "cars 1 3, count 2, last 1000"),
      start("cars 1 3, count 2, last 1000"),
      add_car(1500, 7, "cars 1 3, count 2, last 1000"),
      clear_graph("cars 1 3, count 2, last 1000"),
      // Car 2 goes to car 1's slot: the empty graph is published first, with the
      // last update readers knew (the batch's 1500 was never committed).
      add_car(2000, 2, "cars, count 0, last 1000"),
      add_car(2000, 4, "cars, count 0, last 1000"),
      commit("cars 2 4, count 2, last 2000"),
  });
}

TEST_F(Record, DroppedResetBatchThatRewroteNothingLeavesTheGraphAsItWas) {
  const char* both = "cars 1 2, count 2, last 1000";
  run_host_steps(graph, {
      {add_car(1000, 1, "cars 1, count 1, last 1000"), add_car(1000, 2, both)},
      reset_batch(both),
      {autocommit(true, both)},
      // The host restarts its batch after a reset, then drops it.
      reset_batch(both),
      {start(both), add_car(2000, 5, both), autocommit(true, both)},
      // initialize goes the same way.
      {autocommit(false, both), clear_graph(both),
       call("initialize", &KnowledgeGraph::initialize, both),
       add_car(3000, 6, "cars 1 2 6, count 3, last 3000")},
  });
}

TEST_F(Record, RestartedResetBatchNeverShowsItsDroppedWrites) {
  run_host_steps(graph, {
      {add_car(1000, 1, "cars 1, count 1, last 1000")},
      reset_batch("cars 1, count 1, last 1000"),
      {add_car(2000, 9, "cars, count 0, last 1000"),  // reuses car 1's slot
       start("cars, count 0, last 1000"),
       add_car(2000, 3, "cars, count 0, last 1000"),
       commit("cars 3, count 1, last 2000")},
  });
}

TEST_F(Record, SecondCommitOfAResetBatchChangesNothing) {
  run_host_steps(graph, {
      {add_car(1000, 1, "cars 1, count 1, last 1000"), add_car(1000, 2, "cars 1 2, count 2, last 1000")},
      reset_batch("cars 1 2, count 2, last 1000"),
      {add_car(2000, 3, "cars, count 0, last 1000"),
       commit("cars 3, count 1, last 2000"),
       commit("cars 3, count 1, last 2000"),
       add_car(3000, 4, "cars 3, count 1, last 2000"),  // opens the next batch itself
       commit("cars 3 4, count 2, last 3000"),
       commit("cars 3 4, count 2, last 3000"),
       autocommit(true, "cars 3 4, count 2, last 3000"),
       commit("cars 3 4, count 2, last 3000")},
  });
}

TEST_F(Record, WriteInTransactionModeWithoutABatchOpensOne) {
  run_host_steps(graph, {
      add_car(1000, 1, "cars 1, count 1, last 1000"),
      autocommit(false, "cars 1, count 1, last 1000"),
      add_car(2000, 2, "cars 1, count 1, last 1000"),
      add_car(2000, 3, "cars 1, count 1, last 1000"),
      commit("cars 1 2 3, count 3, last 2000"),
      // After a commit, the next write opens the next batch: nothing published is rewritten.
      add_car(3000, 4, "cars 1 2 3, count 3, last 2000"),
      commit("cars 1 2 3 4, count 4, last 3000"),
      // A reset without start_transaction opens a batch too.
      clear_graph("cars 1 2 3 4, count 4, last 3000"),
      commit("cars, count 0, last 3000"),
  });
}

// ---- Damaged bookkeeping (only another process could write these) ----

TEST_F(Record, DamagedActiveWordReadsAsItsLowBitAndNeverLeavesTheArrays) {
  // Guard the bytes on both sides of the two buffers.
  unsigned char* raw = reinterpret_cast<unsigned char*>(&graph);
  std::memset(raw + kIndicesAt - 4096, 0x5A, 4096);
  graph.indices[1].node_index_tail[3] = 4;
  graph.indices[1].update_timestamp = 11;
  graph.active_indices = 7;
  EXPECT_EQ(graph.active_buffer(), 1u);
  EXPECT_EQ(graph.node_count(), 4u);
  EXPECT_EQ(graph.last_update(), 11u);
  EXPECT_EQ(graph.snapshot().active, 1u);

  append_versions(graph, 12, 3, 1);  // publishes into buffer 0 and flips to it
  EXPECT_EQ(graph.active_indices, 0u);
  EXPECT_EQ(graph.node_count(), 5u);

  graph.active_indices = 0xFFFF'FFFF'FFFF'FFFE;  // low bit 0
  graph.set_autocommit(false);
  graph.start_transaction();  // copies buffer 0 over buffer 1
  EXPECT_EQ(graph.indices[1].node_index_tail[3], 5u);
  graph.commit_transaction();
  EXPECT_EQ(graph.active_indices, 1u);
  graph.active_indices = 3;
  graph.clear();
  graph.commit_transaction();
  EXPECT_EQ(graph.active_indices, 0u);
  EXPECT_TRUE(graph.is_empty());

  for (std::size_t i = kIndicesAt - 4096; i < kIndicesAt; ++i) ASSERT_EQ(raw[i], 0x5A) << i;
  EXPECT_EQ(raw[kAutocommitAt], 0);
}

TEST_F(Record, TailsAboveCapacityAreClampedWhenRead) {
  GraphIndices& b = graph.indices[0];
  b.node_index_tail.fill(std::numeric_limits<std::uint64_t>::max());
  b.relation_index_tail.fill(1'000'000'000'000);
  b.nodes_tail = 1'000'000;
  b.relations_tail = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(graph.node_count(), 18u * 21'000);
  EXPECT_EQ(graph.relation_count(), 17u * 20'000);
  const GraphIndices seen = graph.snapshot().indices;
  EXPECT_EQ(seen.nodes_tail, 20'000u);
  EXPECT_EQ(seen.relations_tail, 20'000u);
  EXPECT_EQ(seen.node_index_tail[0], 21'000u);
  EXPECT_EQ(seen.relation_index_tail[16], 20'000u);
  EXPECT_FALSE(graph.is_empty());
}

// ---- Reader guard ----

TEST_F(Record, GuardCountersMoveWithEveryBufferWriteAndClear) {
  std::uint32_t sequence = graph.snapshot().publication_sequence;
  const auto expect_sequence_moved = [&](const char* step) {
    const std::uint32_t now = graph.snapshot().publication_sequence;
    EXPECT_GT(now, sequence) << step;
    sequence = now;
  };
  ASSERT_TRUE(graph.add_node(1, 1, car(1)).stored());
  expect_sequence_moved("add_node");
  EXPECT_EQ(graph.guard_mark, KnowledgeGraph::kGuardMark);
  append_versions(graph, 2, 1, 1);
  expect_sequence_moved("publish");
  graph.set_autocommit(false);
  graph.start_transaction();
  expect_sequence_moved("start_transaction");

  const Snapshot before_clear = graph.snapshot();
  EXPECT_FALSE(graph.cleared_since(before_clear));
  graph.clear();
  expect_sequence_moved("clear");
  graph.commit_transaction();
  EXPECT_TRUE(graph.cleared_since(before_clear));
  EXPECT_NE(graph.snapshot().clear_epoch, before_clear.clear_epoch);

  graph.set_autocommit(true);
  const Snapshot before_second = graph.snapshot();
  graph.clear();
  EXPECT_TRUE(graph.cleared_since(before_second));
  const Snapshot after = graph.snapshot();
  EXPECT_FALSE(graph.cleared_since(after));
  EXPECT_EQ(after.active, graph.active_buffer());
  EXPECT_EQ(std::memcmp(&after.indices, &graph.indices[after.active], sizeof(GraphIndices)), 0);
}

// ---- Text forms of the small types ----

TEST(RecordText, IndexMarkerAndBuffer) {
  EXPECT_EQ(to_string(Index(6, 42)), "Index { type_index: 6, instance_id: 42 }");
  EXPECT_EQ(to_string(Marker::None), "None");
  EXPECT_EQ(to_string(Marker::Valid), "Valid");
  EXPECT_EQ(to_string(Marker::Removed), "Removed");
  GraphIndices b{};
  b.node_index_tail[0] = 1;
  b.node_index_tail[17] = 2;
  b.nodes_tail = 3;
  b.relation_index_tail[16] = 4;
  b.relations_tail = 5;
  b.update_timestamp = 6;
  std::ostringstream out;
  out << b;
  EXPECT_EQ(out.str(),
            "GraphIndices { node_index_tail: [1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2], "
            "nodes_tail: 3, relation_index_tail: [0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4], "
            "relations_tail: 5, update_timestamp: 6 }");
}

TEST(RecordText, EmptyIndexIsBothWordsZero) {
  EXPECT_TRUE(Index::zeroed().is_empty());
  EXPECT_TRUE(Index().is_empty());
  EXPECT_FALSE(Index(0, 5).is_empty());
  EXPECT_FALSE(Index(5, 0).is_empty());
  EXPECT_EQ(Index::zeroed(), Index(0, 0));
}

}  // namespace
}  // namespace knowledge_graph::graph
