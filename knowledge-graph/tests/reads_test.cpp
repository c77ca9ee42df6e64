// The read side on a private graph: latest versions, kind queries, iterators,
// intervals, transactions, clears, and damaged records.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "knowledge_graph/graph/iterators.hpp"
#include "knowledge_graph/graph/knowledge_graph.hpp"

namespace knowledge_graph::graph {
namespace {

using interval_algebra::Interval;
using interval_algebra::IntervalType;
using iterators::NodeIterator;
using iterators::RelationIterator;

constexpr std::uint64_t kCar = 1;
constexpr std::uint64_t kIntersection = 5;
constexpr std::uint64_t kLane = 6;
constexpr std::uint64_t kIsOn = 9;

KnowledgeGraphNode car(std::int32_t id) {
  types::Car record{};
  record.carId = id;
  return KnowledgeGraphNode(record);
}

KnowledgeGraphNode lane(std::int32_t id) {
  types::Lane record{};
  record.laneId = id;
  return KnowledgeGraphNode(record);
}

KnowledgeGraphRelation is_on() { return KnowledgeGraphRelation(types::isOn{}); }

std::int32_t car_id(const KnowledgeGraphNode& value) { return value.get<types::Car>().carId; }

std::vector<NodeItem> walk(NodeIterator iterator) {
  std::vector<NodeItem> items;
  while (auto item = iterator.next()) items.push_back(*item);
  return items;
}

std::vector<std::uint64_t> ids(const std::vector<NodeItem>& items) {
  std::vector<std::uint64_t> result;
  for (const auto& item : items) result.push_back(item.record.instance_id);
  return result;
}

class Reads : public ::testing::Test {
 protected:
  KnowledgeGraph::Boxed boxed = KnowledgeGraph::new_boxed();
  KnowledgeGraph& graph = *boxed;
};

// ---- A fresh graph ----

TEST_F(Reads, FreshGraphHasNothingToRead) {
  EXPECT_EQ(graph.get_latest_node_record(Index(kCar, 7)), nullptr);
  EXPECT_EQ(graph.get_latest_node_value(Index(kCar, 7)), nullptr);
  EXPECT_EQ(graph.get_latest_relation_record(Index(kIsOn, 1)), nullptr);
  EXPECT_EQ(graph.get_latest_relation_value(Index(kIsOn, 1)), nullptr);
  EXPECT_TRUE(graph.get_all_nodes(Interval::eternity()).empty());
  EXPECT_TRUE(graph.get_all_relations(Interval::eternity()).empty());
  for (std::uint64_t kind = 0; kind < kNodeKinds; ++kind) {
    EXPECT_TRUE(graph.get_nodes_of_type(Interval::eternity(), kind).empty());
    EXPECT_FALSE(graph.nodes_iter(Interval::eternity(), kind).next());
  }
  for (std::uint64_t kind = 0; kind < kRelationKinds; ++kind) {
    EXPECT_TRUE(graph.get_relations_of_type(Interval::eternity(), kind).empty());
    EXPECT_FALSE(graph.relations_iter(Interval::eternity(), kind).next());
  }
}

// ---- One instance through add, remove and re-add ----

TEST_F(Reads, AddedNodeIsFoundAndIntervalEndsAreHonoured) {
  graph.add_node(100, 7, car(70));
  const NodeRecord* latest = graph.get_latest_node_record(Index(kCar, 7));
  ASSERT_NE(latest, nullptr);
  EXPECT_EQ(latest, &graph.node_records[kCar][0]);
  EXPECT_EQ(latest->marker, Marker::Valid);
  ASSERT_NE(graph.get_latest_node_value(Index(kCar, 7)), nullptr);
  EXPECT_EQ(car_id(*graph.get_latest_node_value(Index(kCar, 7))), 70);

  EXPECT_EQ(graph.get_nodes_of_type(Interval::eternity(), kCar).size(), 1u);
  EXPECT_TRUE(graph.get_nodes_of_type(Interval::make(0, 99), kCar).empty());
  const Interval from_100 = Interval::make(100, 200);
  EXPECT_EQ(graph.get_nodes_of_type(from_100, kCar).size(), 1u);
  EXPECT_EQ(graph.get_nodes_of_type(Interval::of_type(from_100, IntervalType::RightOpen), kCar).size(), 1u);
  EXPECT_TRUE(graph.get_nodes_of_type(Interval::of_type(from_100, IntervalType::LeftOpen), kCar).empty());
  EXPECT_TRUE(graph.get_nodes_of_type(Interval::of_type(from_100, IntervalType::Open), kCar).empty());
  // The end of the interval counts the same way.
  const Interval to_100 = Interval::make(50, 100);
  EXPECT_EQ(graph.get_nodes_of_type(Interval::of_type(to_100, IntervalType::LeftOpen), kCar).size(), 1u);
  EXPECT_TRUE(graph.get_nodes_of_type(Interval::of_type(to_100, IntervalType::RightOpen), kCar).empty());
}

TEST_F(Reads, RemovalHidesTheValueAndReAddingBringsItBack) {
  graph.add_node(100, 7, car(70));
  graph.remove_node(200, Index(kCar, 7));

  const NodeRecord* latest = graph.get_latest_node_record(Index(kCar, 7));
  ASSERT_NE(latest, nullptr);
  EXPECT_EQ(latest->marker, Marker::Removed);
  EXPECT_EQ(graph.get_latest_node_value(Index(kCar, 7)), nullptr);
  EXPECT_TRUE(graph.get_nodes_of_type(Interval::eternity(), kCar).empty());
  const auto before_removal = graph.get_nodes_of_type(Interval::make(0, 150), kCar);
  ASSERT_EQ(before_removal.size(), 1u);
  EXPECT_EQ(before_removal[0].record.timestamp, 100u);
  EXPECT_TRUE(graph.get_nodes_of_type(Interval::make(150, 300), kCar).empty());

  const auto versions = walk(graph.nodes_iter(Interval::eternity(), kCar));
  ASSERT_EQ(versions.size(), 2u);
  EXPECT_EQ(versions[0].record.marker, Marker::Valid);
  EXPECT_EQ(versions[1].record.marker, Marker::Removed);

  graph.add_node(300, 7, car(71));
  EXPECT_EQ(car_id(*graph.get_latest_node_value(Index(kCar, 7))), 71);
  const auto again = graph.get_nodes_of_type(Interval::eternity(), kCar);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].record.timestamp, 300u);
  EXPECT_EQ(car_id(again[0].value), 71);
}

TEST_F(Reads, TheVersionWrittenLastWinsWhateverItsTimestamp) {
  graph.add_node(500, 7, car(1));
  graph.add_node(400, 7, car(2));
  EXPECT_EQ(graph.get_latest_node_record(Index(kCar, 7))->timestamp, 400u);
  EXPECT_EQ(car_id(*graph.get_latest_node_value(Index(kCar, 7))), 2);
  EXPECT_EQ(car_id(graph.get_nodes_of_type(Interval::eternity(), kCar).at(0).value), 2);

  graph.add_node(400, 8, car(3));
  graph.add_node(400, 8, car(4));
  EXPECT_EQ(car_id(*graph.get_latest_node_value(Index(kCar, 8))), 4);
  EXPECT_EQ(car_id(graph.get_nodes_of_type(Interval::make(400, 400), kCar).at(1).value), 4);
}

// ---- Order of the kind queries ----

TEST_F(Reads, InstancesComeInUnsignedIdOrderAndKindsInKindOrder) {
  const std::uint64_t high = std::uint64_t{1} << 63;
  graph.add_node(1, 9, car(9));
  graph.add_node(2, high, car(0));
  graph.add_node(3, 3, car(3));
  EXPECT_EQ(ids(graph.get_nodes_of_type(Interval::eternity(), kCar)),
            (std::vector<std::uint64_t>{3, 9, high}));

  types::Intersection crossing{};
  graph.add_node(4, 3, KnowledgeGraphNode(crossing));
  const auto all = graph.get_all_nodes(Interval::eternity());
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0].value.type_index(), kCar);
  EXPECT_EQ(all[3].value.type_index(), kIntersection);
  EXPECT_EQ(all[3].record.instance_id, 3u);
}

// ---- Relations ----

TEST_F(Reads, RelationsAppearInBothNodesAndKeepTheirPayloads) {
  graph.add_node(5, 7, car(70));
  graph.add_node(6, 3, lane(30));
  ASSERT_TRUE(graph.add_relation(15, 100, is_on(), Index(kCar, 7), Index(kLane, 3)).stored());

  EXPECT_EQ(walk(graph.nodes_iter(Interval::eternity(), kCar)).size(), 2u);
  const auto cars = graph.get_nodes_of_type(Interval::eternity(), kCar);
  ASSERT_EQ(cars.size(), 1u);
  EXPECT_EQ(cars[0].record.outgoing[0], Index(kIsOn, 100));
  for (std::size_t i = 1; i < kListEntries; ++i) EXPECT_TRUE(cars[0].record.outgoing[i].is_empty());
  for (const Index& entry : cars[0].record.incoming) EXPECT_TRUE(entry.is_empty());
  EXPECT_EQ(graph.get_nodes_of_type(Interval::eternity(), kLane).at(0).record.incoming[0],
            Index(kIsOn, 100));
  EXPECT_EQ(car_id(*graph.get_latest_node_value(Index(kCar, 7))), 70);

  // The car was added at 5 and joined at 15.
  const auto joined = graph.get_nodes_of_type(Interval::make(10, 20), kCar);
  ASSERT_EQ(joined.size(), 1u);
  EXPECT_EQ(joined[0].record.timestamp, 15u);
  EXPECT_TRUE(graph.get_nodes_of_type(Interval::make(10, 12), kCar).empty());

  const auto relations = graph.get_relations_of_type(Interval::eternity(), kIsOn);
  ASSERT_EQ(relations.size(), 1u);
  EXPECT_EQ(relations[0].record.from, Index(kCar, 7));
  EXPECT_EQ(relations[0].record.to, Index(kLane, 3));
  EXPECT_EQ(relations[0].value.type_index(), kIsOn);
  EXPECT_EQ(graph.get_all_relations(Interval::eternity()).size(), 1u);
  ASSERT_NE(graph.get_latest_relation_value(Index(kIsOn, 100)), nullptr);

  graph.remove_relation(30, Index(kIsOn, 100));
  EXPECT_EQ(graph.get_latest_relation_record(Index(kIsOn, 100))->marker, Marker::Removed);
  EXPECT_EQ(graph.get_latest_relation_value(Index(kIsOn, 100)), nullptr);
  EXPECT_TRUE(graph.get_relations_of_type(Interval::eternity(), kIsOn).empty());
  EXPECT_EQ(graph.get_relations_of_type(Interval::make(0, 20), kIsOn).size(), 1u);
}

// ---- Publication: transactions and iterator snapshots ----

TEST_F(Reads, TransactionsStayInvisibleUntilCommitted) {
  graph.add_node(1, 1, car(1));
  graph.set_autocommit(false);
  graph.start_transaction();
  graph.add_node(2, 2, car(2));
  EXPECT_EQ(graph.get_latest_node_record(Index(kCar, 2)), nullptr);
  EXPECT_EQ(graph.get_latest_node_value(Index(kCar, 2)), nullptr);
  EXPECT_EQ(graph.get_nodes_of_type(Interval::eternity(), kCar).size(), 1u);
  EXPECT_EQ(walk(graph.nodes_iter(Interval::eternity(), kCar)).size(), 1u);
  graph.commit_transaction();
  EXPECT_NE(graph.get_latest_node_value(Index(kCar, 2)), nullptr);
  EXPECT_EQ(graph.get_all_nodes(Interval::eternity()).size(), 2u);
}

TEST_F(Reads, IteratorsKeepTheSnapshotTheyWereMadeWith) {
  graph.add_node(1, 1, car(1));
  NodeIterator before = graph.nodes_iter(Interval::eternity(), kCar);
  graph.add_node(2, 2, car(2));
  NodeIterator after = graph.nodes_iter(Interval::eternity(), kCar);
  EXPECT_EQ(ids(walk(before)), (std::vector<std::uint64_t>{1}));
  EXPECT_EQ(ids(walk(after)), (std::vector<std::uint64_t>{1, 2}));

  // Ended stays ended, even once more is published.
  NodeIterator ended = graph.nodes_iter(Interval::eternity(), kCar);
  while (ended.next()) {
  }
  graph.add_node(3, 3, car(3));
  EXPECT_FALSE(ended.next());
  EXPECT_FALSE(ended.overtaken());

  // Range-for, and the constructor from a caller's buffer copy.
  std::vector<std::uint64_t> seen;
  for (const NodeItem& item : graph.nodes_iter(Interval::make(2, 3), kCar))
    seen.push_back(item.record.instance_id);
  EXPECT_EQ(seen, (std::vector<std::uint64_t>{2, 3}));
  NodeIterator from_copy(graph, graph.indices[graph.active_buffer()], Interval::eternity(), kCar);
  EXPECT_EQ(from_copy.type_count, kNodeKinds);
  EXPECT_EQ(from_copy.position, 0u);
  EXPECT_EQ(walk(from_copy).size(), 3u);
}

TEST_F(Reads, KindsOutOfRangeReadNothing) {
  graph.add_node(1, 1, car(1));
  EXPECT_TRUE(graph.get_nodes_of_type(Interval::eternity(), kNodeKinds).empty());
  EXPECT_TRUE(graph.get_relations_of_type(Interval::eternity(), kRelationKinds).empty());
  EXPECT_FALSE(graph.nodes_iter(Interval::eternity(), kNodeKinds).next());
  EXPECT_FALSE(graph.relations_iter(Interval::eternity(), ~std::uint64_t{0}).next());
  EXPECT_FALSE(RelationIterator(graph, graph.snapshot(), Interval::eternity(), 17).next());
  EXPECT_EQ(graph.get_latest_node_record(Index(kNodeKinds, 1)), nullptr);
  EXPECT_EQ(graph.get_latest_node_value(Index(~std::uint64_t{0}, 1)), nullptr);
  EXPECT_EQ(graph.get_latest_relation_record(Index(kRelationKinds, 0)), nullptr);
  EXPECT_EQ(graph.get_latest_relation_value(Index(kRelationKinds, 0)), nullptr);
}

// ---- Clears: slots below an old snapshot's tails are reused ----

TEST_F(Reads, AnIteratorOvertakenByAClearEndsWithoutReusedItems) {
  for (std::uint64_t id = 1; id <= 3; ++id) graph.add_node(id, id, car(static_cast<int>(id)));
  NodeIterator old = graph.nodes_iter(Interval::eternity(), kCar);
  ASSERT_EQ(old.next()->record.instance_id, 1u);
  graph.clear();
  graph.add_node(10, 42, car(42));  // lands in slot 0 again
  EXPECT_FALSE(old.next());
  EXPECT_TRUE(old.overtaken());
  EXPECT_FALSE(old.next());

  EXPECT_EQ(ids(graph.get_nodes_of_type(Interval::eternity(), kCar)),
            (std::vector<std::uint64_t>{42}));
  EXPECT_EQ(graph.get_latest_node_record(Index(kCar, 1)), nullptr);
}

TEST_F(Reads, AClearInsideATransactionIsReadAsTheOldGraphUntilCommitted) {
  graph.add_node(1, 1, car(1));
  graph.set_autocommit(false);
  graph.start_transaction();
  graph.clear();
  // The writer's own thread reads while the clear waits: nothing blocks.
  EXPECT_FALSE(graph.is_empty());
  EXPECT_EQ(graph.get_nodes_of_type(Interval::eternity(), kCar).size(), 1u);
  NodeIterator during = graph.nodes_iter(Interval::eternity(), kCar);
  graph.add_node(2, 2, car(2));  // reuses slot 0 below the active tail
  EXPECT_FALSE(during.next());
  EXPECT_TRUE(during.overtaken());
  graph.commit_transaction();
  EXPECT_EQ(ids(graph.get_nodes_of_type(Interval::eternity(), kCar)),
            (std::vector<std::uint64_t>{2}));
}

// ---- Damaged records and writers without the guard ----

// Stores a version the way another writer might, keeping no guard counters.
void store_raw(KnowledgeGraph& graph, std::uint64_t kind, std::uint64_t slot, std::uint64_t id,
               std::uint64_t timestamp, std::uint64_t value_index, Marker marker) {
  NodeRecord& record = graph.node_records[kind][slot];
  record = NodeRecord{};
  record.timestamp = timestamp;
  record.value_index = value_index;
  record.instance_id = id;
  record.marker = marker;
}

TEST_F(Reads, ARecordWrittenWithoutTheGuardReadsCorrectly) {
  graph.node_values[0] = car(11);
  graph.node_values[1] = car(12);
  store_raw(graph, kCar, 0, 5, 10, 0, Marker::Valid);
  store_raw(graph, kCar, 1, 6, 20, 1, Marker::Valid);
  store_raw(graph, kCar, 2, 5, 30, 0, Marker::Removed);
  graph.indices[1].node_index_tail[kCar] = 3;
  graph.indices[1].nodes_tail = 2;
  graph.active_indices = 1;
  ASSERT_EQ(graph.publication_sequence, 0u);
  ASSERT_EQ(graph.clear_epoch, 0u);

  EXPECT_EQ(graph.get_latest_node_value(Index(kCar, 5)), nullptr);
  EXPECT_EQ(car_id(*graph.get_latest_node_value(Index(kCar, 6))), 12);
  EXPECT_EQ(ids(graph.get_nodes_of_type(Interval::eternity(), kCar)),
            (std::vector<std::uint64_t>{6}));
  EXPECT_EQ(walk(graph.nodes_iter(Interval::eternity(), kCar)).size(), 3u);
}

TEST_F(Reads, DamagedTailsAreClampedToTheArrays) {
  graph.add_node(1, 1, car(1));
  store_raw(graph, kCar, kNodeVersionsPerKind - 1, 99, 7, 0, Marker::Valid);
  GraphIndices& active = graph.indices[graph.active_buffer()];
  active.node_index_tail[kCar] = ~std::uint64_t{0};
  active.relation_index_tail[kIsOn] = kRelationVersionsPerKind + 5;
  active.nodes_tail = kNodeValues * 3;

  // The whole array is searched; the last slot is the newest.
  ASSERT_NE(graph.get_latest_node_record(Index(kCar, 99)), nullptr);
  EXPECT_EQ(graph.get_latest_node_record(Index(kCar, 99)),
            &graph.node_records[kCar][kNodeVersionsPerKind - 1]);
  EXPECT_EQ(graph.snapshot().indices.node_index_tail[kCar], kNodeVersionsPerKind);
  // Slots never written hold instance 0 with marker None: they count as versions.
  EXPECT_EQ(walk(graph.nodes_iter(Interval::eternity(), kCar)).size(), kNodeVersionsPerKind);
  EXPECT_EQ(ids(graph.get_nodes_of_type(Interval::eternity(), kCar)),
            (std::vector<std::uint64_t>{1, 99}));
  EXPECT_EQ(graph.get_relations_of_type(Interval::eternity(), kIsOn).size(), 0u);
  NodeIterator raw(graph, active, Interval::eternity(), kCar);
  EXPECT_EQ(walk(raw).size(), kNodeVersionsPerKind);
}

TEST_F(Reads, AValueIndexOutsideTheArrayNamesNoValue) {
  graph.add_node(1, 1, car(1));
  graph.add_node(2, 2, car(2));
  graph.add_node(3, 3, car(3));
  graph.add_relation(4, 4, is_on(), Index(kCar, 1), Index(kCar, 2));
  graph.node_records[kCar][1].value_index = kNodeValues;
  graph.node_records[kCar][2].value_index = ~std::uint64_t{0};
  graph.relation_records[kIsOn][0].value_index = kRelationValues + 1;

  EXPECT_NE(graph.get_latest_node_record(Index(kCar, 2)), nullptr);
  EXPECT_NE(graph.get_latest_node_value(Index(kCar, 1)), nullptr);  // its latest is slot 3
  EXPECT_EQ(graph.get_latest_node_value(Index(kCar, 3)), nullptr);
  EXPECT_EQ(graph.get_latest_relation_value(Index(kIsOn, 4)), nullptr);
  const auto cars = graph.get_nodes_of_type(Interval::make(3, 3), kCar);
  ASSERT_EQ(cars.size(), 1u);
  EXPECT_EQ(cars[0].value.type_index(), 0u);  // Empty
  EXPECT_EQ(graph.get_relations_of_type(Interval::eternity(), kIsOn).at(0).value.type_index(), 0u);
}

TEST_F(Reads, AnActiveIndexOtherThanZeroOrOneReadsAsItsLowBit) {
  graph.add_node(1, 1, car(1));  // published into buffer 1
  graph.active_indices = 7;
  EXPECT_EQ(graph.snapshot().active, 1u);
  EXPECT_NE(graph.get_latest_node_value(Index(kCar, 1)), nullptr);
  graph.active_indices = 6;
  EXPECT_EQ(graph.get_latest_node_value(Index(kCar, 1)), nullptr);
}

}  // namespace
}  // namespace knowledge_graph::graph
