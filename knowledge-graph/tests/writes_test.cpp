// The four writes: what each appends and publishes, the cases that find nothing,
// and the limits that refuse a write before it changes anything.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/lookup_index.hpp"
#include "reference_model.hpp"

namespace knowledge_graph::graph {
namespace {

constexpr std::uint64_t kCar = 1, kLane = 6, kDynamicObject = 3, kStaticObject = 13;
constexpr std::uint64_t kBelongsTo = 1, kIsOn = 9, kYieldsToCarIn = 16;

KnowledgeGraphNode car(std::int32_t car_id) {
  types::Car record;
  record.carId = car_id;
  record.carSpeed = 13.5f;
  return KnowledgeGraphNode(record);
}
KnowledgeGraphNode lane(std::int32_t lane_id) {
  types::Lane record;
  record.laneId = lane_id;
  record.laneSpeedLimit = 50;
  return KnowledgeGraphNode(record);
}
using reference::node_of_kind;
using reference::relation_of_kind;
KnowledgeGraphRelation is_on() { return KnowledgeGraphRelation(types::isOn{}); }

bool all_zero(const void* bytes, std::size_t size) {
  const auto* p = static_cast<const unsigned char*>(bytes);
  for (std::size_t i = 0; i < size; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

bool list_holds(const RelationList& list, Index relation) {
  for (const Index& entry : list) {
    if (entry == relation) return true;
  }
  return false;
}

std::size_t count_in(const RelationList& list, Index relation) {
  std::size_t count = 0;
  for (const Index& entry : list) count += entry == relation;
  return count;
}

bool list_empty(const RelationList& list) {
  for (const Index& entry : list) {
    if (!entry.is_empty()) return false;
  }
  return true;
}

// Both bookkeeping buffers and the published word: all a refused write may not touch.
struct Bookkeeping {
  GraphIndices indices[2];
  std::uint64_t active;

  explicit Bookkeeping(const KnowledgeGraph& graph)
      : indices{graph.indices[0], graph.indices[1]}, active(graph.active_indices) {}
  bool operator==(const Bookkeeping& other) const {
    return std::memcmp(this, &other, sizeof *this) == 0;
  }
};

class Writes : public ::testing::Test {
 protected:
  KnowledgeGraph::Boxed boxed = KnowledgeGraph::new_boxed();
  KnowledgeGraph& g = *boxed;

  const GraphIndices& published() const { return g.indices[g.active_buffer()]; }
  const GraphIndices& inactive() const { return g.indices[1 - g.active_buffer()]; }

  const NodeRecord* latest_in(const GraphIndices& buffer, Index node) const {
    const auto slot = scan_latest_node_slot(g, node.type_index, node.instance_id,
                                            buffer.node_index_tail[node.type_index]);
    return slot ? &g.node_records[node.type_index][*slot] : nullptr;
  }
  const NodeRecord* latest(Index node) const { return latest_in(published(), node); }
  const RelationRecord* latest_relation(Index relation) const {
    const auto slot = scan_latest_relation_slot(g, relation.type_index, relation.instance_id,
                                                published().relation_index_tail[relation.type_index]);
    return slot ? &g.relation_records[relation.type_index][*slot] : nullptr;
  }
  std::uint64_t node_tail(std::uint64_t kind) const { return published().node_index_tail[kind]; }
  std::uint64_t relation_tail(std::uint64_t kind) const {
    return published().relation_index_tail[kind];
  }

  Index add(std::uint64_t kind, std::uint64_t id, std::uint64_t timestamp = 1) {
    const auto result = g.add_node(timestamp, id, node_of_kind(kind));
    EXPECT_TRUE(result.stored());
    return result.value;
  }
  Index relate(std::uint64_t kind, std::uint64_t id, Index from, Index to,
               std::uint64_t timestamp = 1) {
    const auto result = g.add_relation(timestamp, id, relation_of_kind(kind), from, to);
    EXPECT_TRUE(result.stored()) << to_string(result.status);
    return result.value;
  }

  // Fills a node kind until `free_slots` remain, two versions at a time by
  // removing a relation between two filler nodes of that kind again and again.
  void fill_node_kind(std::uint64_t kind, std::uint64_t free_slots) {
    const std::uint64_t target = kNodeVersionsPerKind - free_slots;
    const Index a = add(kind, 900001), b = add(kind, 900002);
    const Index filler = relate(kBelongsTo, 900001, a, b);
    while (node_tail(kind) + 2 <= target) ASSERT_TRUE(g.remove_relation(1, filler).stored());
    if (node_tail(kind) < target) add(kind, 900003);
    ASSERT_EQ(node_tail(kind), target);
  }
  // Fills a relation kind until `free_slots` remain, by removing one relation again and again.
  void fill_relation_kind(std::uint64_t kind, std::uint64_t free_slots) {
    const Index a = add(kDynamicObject, 900001), b = add(kStaticObject, 900002);
    const Index filler = relate(kind, 900001, a, b);
    while (relation_tail(kind) < kRelationVersionsPerKind - free_slots)
      ASSERT_TRUE(g.remove_relation(1, filler).stored());
  }
  void fill_node_values(std::uint64_t free_values) {
    for (std::uint64_t i = 0; published().nodes_tail < kNodeValues - free_values; ++i)
      ASSERT_TRUE(g.add_node(1, 800000 + i, node_of_kind(1 + i % 17)).stored());
  }
  // Adds relations between two filler nodes again and again, one payload each
  // time, spread over all relation kinds so that no kind fills up first.
  void fill_relation_values(std::uint64_t free_values) {
    const Index a = add(kDynamicObject, 900001), b = add(kStaticObject, 900002);
    for (std::uint64_t i = 0; published().relations_tail < kRelationValues - free_values; ++i)
      ASSERT_TRUE(g.add_relation(1, 900001, relation_of_kind(1 + i % 16), a, b).stored());
  }
};

// ---- add_node ----

TEST_F(Writes, AddNodeOnAFreshGraphAppendsOneValidVersionAndPublishes) {
  const auto result = g.add_node(5, 7, car(7));
  EXPECT_EQ(result.status, WriteStatus::Stored);
  EXPECT_EQ(result.value, Index(kCar, 7));
  EXPECT_EQ(g.active_indices, 1u);
  EXPECT_EQ(node_tail(kCar), 1u);
  EXPECT_EQ(published().nodes_tail, 1u);
  EXPECT_EQ(published().update_timestamp, 5u);

  const NodeRecord& version = g.node_records[kCar][0];
  EXPECT_EQ(version.timestamp, 5u);
  EXPECT_EQ(version.value_index, 0u);
  EXPECT_EQ(version.instance_id, 7u);
  EXPECT_EQ(version.marker, Marker::Valid);
  EXPECT_TRUE(list_empty(version.outgoing) && list_empty(version.incoming));
  EXPECT_EQ(g.node_values[0].get<types::Car>().carId, 7);
}

TEST_F(Writes, AddNodeAgainMakesANewVersionWithEmptyLists) {
  const Index c = add(kCar, 7), l = add(kLane, 3);
  const Index r = relate(kIsOn, 100, c, l);
  const RelationRecord relation_before = *latest_relation(r);
  const std::uint64_t first_value = latest(c)->value_index;
  ASSERT_TRUE(list_holds(latest(c)->outgoing, r));

  g.add_node(9, 7, car(70));
  const NodeRecord& second = *latest(c);
  EXPECT_EQ(second.value_index, first_value + 2);  // the lane's payload lies between
  EXPECT_EQ(second.marker, Marker::Valid);
  EXPECT_TRUE(list_empty(second.outgoing) && list_empty(second.incoming));
  EXPECT_EQ(g.node_values[second.value_index].get<types::Car>().carId, 70);
  // The relation keeps its own version.
  EXPECT_EQ(std::memcmp(latest_relation(r), &relation_before, sizeof relation_before), 0);
}

TEST_F(Writes, TimestampsMayGoBackwards) {
  g.add_node(50, 1, car(1));
  g.add_node(10, 2, car(2));
  EXPECT_EQ(g.last_update(), 10u);
  EXPECT_EQ(latest(Index(kCar, 2))->timestamp, 10u);
}

// ---- remove_node ----

TEST_F(Writes, RemoveNodeThatHasNoVersionChangesNothing) {
  add(kCar, 1);
  const Bookkeeping before(g);
  const auto never_added = g.remove_node(9, Index(kCar, 2));
  const auto empty_kind = g.remove_node(9, Index(kLane, 1));
  EXPECT_FALSE(never_added.value);
  EXPECT_EQ(never_added.status, WriteStatus::NotFound);
  EXPECT_EQ(empty_kind.status, WriteStatus::NotFound);
  EXPECT_TRUE(Bookkeeping(g) == before);
}

TEST_F(Writes, RemoveNodeAlreadyRemovedAppendsAnotherRemovedVersion) {
  const Index c = add(kCar, 1);
  ASSERT_TRUE(g.remove_node(2, c).value);
  const auto again = g.remove_node(3, c);
  EXPECT_TRUE(again.value);
  EXPECT_EQ(node_tail(kCar), 3u);
  EXPECT_EQ(latest(c)->marker, Marker::Removed);
  EXPECT_EQ(latest(c)->timestamp, 3u);
}

TEST_F(Writes, RemoveNodeRemovesOutgoingThenIncomingRelationsPublishingEachStep) {
  const Index x = add(kCar, 1), a = add(kLane, 2), b = add(kCar, 3);
  const Index r2 = relate(kIsOn, 2, b, x);  // listed in x's incoming
  const Index r1 = relate(kIsOn, 1, x, a);  // listed in x's outgoing
  const std::uint64_t x_versions = node_tail(kCar);
  const std::uint64_t active = g.active_indices;

  ASSERT_TRUE(g.remove_node(10, x).value);
  // Three publications: the node, then each relation.
  EXPECT_EQ(g.active_indices, 1 - active);
  const auto r1_slot = scan_latest_relation_slot(g, kIsOn, 1, relation_tail(kIsOn));
  const auto r2_slot = scan_latest_relation_slot(g, kIsOn, 2, relation_tail(kIsOn));
  EXPECT_LT(*r1_slot, *r2_slot);  // outgoing first
  EXPECT_EQ(latest_relation(r1)->marker, Marker::Removed);
  EXPECT_EQ(latest_relation(r2)->marker, Marker::Removed);

  const NodeRecord& removed = *latest(x);
  EXPECT_EQ(removed.marker, Marker::Removed);
  EXPECT_TRUE(list_empty(removed.outgoing) && list_empty(removed.incoming));
  // x gains r + 1 = 3 versions, b one (same kind), a one.
  EXPECT_EQ(node_tail(kCar), x_versions + 4);
  EXPECT_FALSE(list_holds(latest(a)->incoming, r1));
  EXPECT_FALSE(list_holds(latest(b)->outgoing, r2));
  EXPECT_EQ(latest(a)->marker, Marker::Valid);
}

// ---- add_relation ----

TEST_F(Writes, AddRelationAppendsBothNodesThenTheRelation) {
  g.add_node(1, 7, car(7));
  g.add_node(1, 3, lane(3));
  const auto result = g.add_relation(20, 100, is_on(), Index(kCar, 7), Index(kLane, 3));
  ASSERT_EQ(result.status, WriteStatus::Stored);
  EXPECT_EQ(result.value, Index(kIsOn, 100));

  const NodeRecord& car_version = g.node_records[kCar][1];
  EXPECT_EQ(car_version.timestamp, 20u);
  EXPECT_EQ(car_version.outgoing[0], Index(kIsOn, 100));
  EXPECT_TRUE(list_empty(car_version.incoming));
  const NodeRecord& lane_version = g.node_records[kLane][1];
  EXPECT_EQ(lane_version.timestamp, 20u);
  EXPECT_EQ(lane_version.incoming[0], Index(kIsOn, 100));

  const RelationRecord& relation = g.relation_records[kIsOn][0];
  EXPECT_EQ(relation.timestamp, 20u);
  EXPECT_EQ(relation.value_index, 0u);
  EXPECT_EQ(relation.instance_id, 100u);
  EXPECT_EQ(relation.from, Index(kCar, 7));
  EXPECT_EQ(relation.to, Index(kLane, 3));
  EXPECT_EQ(relation.marker, Marker::Valid);
  EXPECT_EQ(g.relation_values[0].type_index(), kIsOn);
  EXPECT_EQ(published().relations_tail, 1u);
}

TEST_F(Writes, AddRelationToAMissingNodeChangesNoTail) {
  const Index c = add(kCar, 7);
  const Bookkeeping before(g);
  const auto result = g.add_relation(20, 100, is_on(), c, Index(kLane, 3));
  EXPECT_EQ(result.status, WriteStatus::NodeMissing);
  EXPECT_TRUE(result.value.is_empty());
  EXPECT_TRUE(Bookkeeping(g) == before);
  EXPECT_EQ(g.node_records[kCar][1].marker, Marker::None);  // not even a slot filled
}

TEST_F(Writes, AddRelationBetweenNodesOfOneKindUsesConsecutiveSlots) {
  const Index a = add(kCar, 1), b = add(kCar, 2);
  const Index r = relate(kIsOn, 5, a, b, 7);
  EXPECT_EQ(g.node_records[kCar][2].instance_id, 1u);
  EXPECT_TRUE(list_holds(g.node_records[kCar][2].outgoing, r));
  EXPECT_EQ(g.node_records[kCar][3].instance_id, 2u);
  EXPECT_TRUE(list_holds(g.node_records[kCar][3].incoming, r));
  EXPECT_EQ(node_tail(kCar), 4u);
}

TEST_F(Writes, FullOutgoingListRefusesThe41stAndReusesTheEntryThatARemovalFrees) {
  const Index c = add(kCar, 1), l = add(kLane, 1);
  for (std::uint64_t id = 0; id < kListEntries; ++id) relate(kIsOn, id, c, l);
  const Bookkeeping before(g);
  const auto refused = g.add_relation(5, 40, is_on(), c, l);
  EXPECT_EQ(refused.status, WriteStatus::OutgoingListFull);
  EXPECT_TRUE(Bookkeeping(g) == before);

  ASSERT_TRUE(g.remove_relation(6, Index(kIsOn, 17)).value);
  EXPECT_TRUE(latest(c)->outgoing[17].is_empty());
  EXPECT_EQ(latest(c)->outgoing[16], Index(kIsOn, 16));
  EXPECT_EQ(latest(c)->outgoing[18], Index(kIsOn, 18));
  relate(kYieldsToCarIn, 77, c, Index(kLane, 1));
  EXPECT_EQ(latest(c)->outgoing[17], Index(kYieldsToCarIn, 77));
}

// ---- remove_relation ----

TEST_F(Writes, RemoveRelationClearsOnlyFromsOutgoingAndTosIncoming) {
  const Index a = add(kCar, 1), b = add(kLane, 2);
  const Index r = relate(kIsOn, 5, a, b);
  relate(kIsOn, 5, b, a);  // the same relation again, now the other way
  ASSERT_TRUE(g.remove_relation(9, r).value);
  // The latest version runs b -> a: b's outgoing and a's incoming are cleared.
  EXPECT_FALSE(list_holds(latest(b)->outgoing, r));
  EXPECT_FALSE(list_holds(latest(a)->incoming, r));
  EXPECT_TRUE(list_holds(latest(a)->outgoing, r));
  EXPECT_TRUE(list_holds(latest(b)->incoming, r));
}

TEST_F(Writes, RemoveRelationAlreadyRemovedAppendsAgain) {
  const Index a = add(kCar, 1), b = add(kLane, 2);
  const Index r = relate(kIsOn, 5, a, b);
  ASSERT_TRUE(g.remove_relation(9, r).value);
  const std::uint64_t cars = node_tail(kCar), lanes = node_tail(kLane);
  const auto again = g.remove_relation(10, r);
  EXPECT_TRUE(again.value);
  EXPECT_EQ(relation_tail(kIsOn), 3u);
  EXPECT_EQ(latest_relation(r)->marker, Marker::Removed);
  EXPECT_EQ(latest_relation(r)->timestamp, 10u);
  EXPECT_EQ(node_tail(kCar), cars + 1);
  EXPECT_EQ(node_tail(kLane), lanes + 1);
}

TEST_F(Writes, RemoveRelationThatHasNoVersionChangesNothing) {
  const Bookkeeping before(g);
  const auto result = g.remove_relation(3, Index(kIsOn, 1));
  EXPECT_FALSE(result.value);
  EXPECT_EQ(result.status, WriteStatus::NotFound);
  EXPECT_TRUE(Bookkeeping(g) == before);
}

// ---- Limits: a refused write changes nothing and writes nothing past an array ----

TEST_F(Writes, KindsOutOfRangeAreRefused) {
  const Index c = add(kCar, 1), l = add(kLane, 1);
  const Bookkeeping before(g);
  EXPECT_EQ(g.add_node(2, 1, node_of_kind(kNodeKinds)).status, WriteStatus::KindOutOfRange);
  EXPECT_EQ(g.remove_node(2, Index(kNodeKinds, 1)).status, WriteStatus::KindOutOfRange);
  EXPECT_EQ(g.add_relation(2, 1, relation_of_kind(kRelationKinds), c, l).status,
            WriteStatus::KindOutOfRange);
  EXPECT_EQ(g.add_relation(2, 1, is_on(), Index(1000, 1), l).status, WriteStatus::KindOutOfRange);
  EXPECT_EQ(g.add_relation(2, 1, is_on(), c, Index(kNodeKinds, 1)).status,
            WriteStatus::KindOutOfRange);
  EXPECT_EQ(g.remove_relation(2, Index(~0ull, 1)).status, WriteStatus::KindOutOfRange);
  EXPECT_TRUE(Bookkeeping(g) == before);
  EXPECT_EQ(g.node_values[2].type_index(), 0u);
  EXPECT_EQ(g.relation_values[0].type_index(), 0u);
}

TEST_F(Writes, FullNodeValuesRefuseAddNode) {
  fill_node_values(0);
  const Bookkeeping before(g);
  const auto result = g.add_node(2, 1, car(1));
  EXPECT_EQ(result.status, WriteStatus::NodeValuesFull);
  EXPECT_TRUE(result.value.is_empty());
  EXPECT_TRUE(Bookkeeping(g) == before);
  // What lies right after the payloads is untouched.
  EXPECT_TRUE(all_zero(&g.relation_records[0][0], sizeof(RelationRecord)));
}

TEST_F(Writes, FullNodeKindRefusesEveryWriteThatNeedsASlotThere) {
  fill_node_kind(kCar, 1);
  const Index other = add(kCar, 5);  // the last slot
  const Index l = add(kLane, 1);
  ASSERT_EQ(node_tail(kCar), kNodeVersionsPerKind);
  const Bookkeeping before(g);
  const std::uint64_t values = published().nodes_tail;

  EXPECT_EQ(g.add_node(2, 6, car(6)).status, WriteStatus::NodeVersionsFull);
  EXPECT_EQ(g.add_relation(2, 1, is_on(), other, l).status, WriteStatus::NodeVersionsFull);
  EXPECT_EQ(g.remove_node(2, other).status, WriteStatus::NodeVersionsFull);
  EXPECT_TRUE(Bookkeeping(g) == before);
  EXPECT_EQ(g.node_values[values].type_index(), 0u);
  EXPECT_TRUE(all_zero(&g.node_records[kCar + 1][0], sizeof(NodeRecord)));
  EXPECT_EQ(g.relation_values[published().relations_tail].type_index(), 0u);
}

TEST_F(Writes, AddRelationNeedsTwoSlotsWhenBothNodesShareAKind) {
  fill_node_kind(kLane, 3);
  const Index a = add(kLane, 1), b = add(kLane, 2);  // one slot left
  const Bookkeeping before(g);
  EXPECT_EQ(g.add_relation(2, 1, is_on(), a, b).status, WriteStatus::NodeVersionsFull);
  EXPECT_TRUE(Bookkeeping(g) == before);
  EXPECT_EQ(g.node_records[kLane][kNodeVersionsPerKind - 1].marker, Marker::None);
}

TEST_F(Writes, FullRelationKindRefusesAddAndRemove) {
  fill_relation_kind(kYieldsToCarIn, 0);
  const Index a = add(kCar, 1), b = add(kLane, 1);
  const Index live = relate(kIsOn, 1, a, b);
  const Bookkeeping before(g);
  const KnowledgeGraphRelation next_value = g.relation_values[0];  // right after kind 16's slots
  const auto refused = g.add_relation(2, 2, relation_of_kind(kYieldsToCarIn), a, b);
  EXPECT_EQ(refused.status, WriteStatus::RelationVersionsFull);
  EXPECT_EQ(describe(refused),
            "RelationVersionsFull: relation kind yieldsToCarIn (16) has used all 20000 version "
            "slots");
  EXPECT_EQ(g.remove_relation(2, Index(kYieldsToCarIn, 900001)).status,
            WriteStatus::RelationVersionsFull);
  EXPECT_TRUE(Bookkeeping(g) == before);
  EXPECT_EQ(std::memcmp(&g.relation_values[0], &next_value, sizeof next_value), 0);
  EXPECT_TRUE(g.remove_relation(3, live).stored());
}

TEST_F(Writes, FullRelationValuesRefuseAddRelation) {
  fill_relation_values(0);
  const Index a = add(kCar, 1), b = add(kLane, 1);
  const Bookkeeping before(g);
  EXPECT_EQ(g.add_relation(2, 2, is_on(), a, b).status, WriteStatus::RelationValuesFull);
  EXPECT_TRUE(Bookkeeping(g) == before);  // the bookkeeping lies right after the payloads
  EXPECT_TRUE(g.remove_relation(3, Index(kBelongsTo, 900001)).stored());
}

TEST_F(Writes, FullIncomingListRefusesAddRelation) {
  const Index l = add(kLane, 1);
  for (std::uint64_t id = 0; id < kListEntries; ++id) relate(kIsOn, id, add(kCar, id), l);
  const Index c = add(kCar, 99);
  const Bookkeeping before(g);
  EXPECT_EQ(g.add_relation(2, 99, is_on(), c, l).status, WriteStatus::IncomingListFull);
  EXPECT_TRUE(Bookkeeping(g) == before);
  EXPECT_TRUE(list_empty(latest(c)->outgoing));
}

// A node removal must never publish a `Removed` node whose relations stay live
// because a later step ran out of room.
TEST_F(Writes, RemoveNodeIsRefusedWholeWhenARelationStepWouldNotFit) {
  const Index x = add(kCar, 1);
  std::vector<Index> relations;
  for (std::uint64_t id = 0; id < 3; ++id) relations.push_back(relate(kIsOn, id, x, add(kLane, id)));
  fill_node_kind(kLane, 2);  // room for two of the three lane versions
  const Bookkeeping before(g);
  const std::uint64_t car_slot = node_tail(kCar);

  const auto result = g.remove_node(5, x);
  EXPECT_FALSE(result.value);
  EXPECT_EQ(result.status, WriteStatus::NodeVersionsFull);
  EXPECT_TRUE(Bookkeeping(g) == before);
  EXPECT_EQ(latest(x)->marker, Marker::Valid);
  EXPECT_EQ(g.node_records[kCar][car_slot].marker, Marker::None);
  for (const Index& r : relations) EXPECT_EQ(latest_relation(r)->marker, Marker::Valid);
}

TEST_F(Writes, RemoveNodeIsRefusedWholeWhenARelationKindIsFull) {
  fill_relation_kind(kIsOn, 1);
  const Index x = add(kCar, 1);
  relate(kYieldsToCarIn, 1, x, add(kLane, 1));
  relate(kIsOn, 1, add(kLane, 2), x);  // takes the last slot of isOn
  const Bookkeeping before(g);
  EXPECT_EQ(g.remove_node(5, x).status, WriteStatus::RelationVersionsFull);
  EXPECT_TRUE(Bookkeeping(g) == before);
  EXPECT_EQ(latest(x)->marker, Marker::Valid);
}

// ---- Transactions: a write sees the writes made earlier in its batch ----

class TransactionWrites : public Writes {
 protected:
  void SetUp() override {
    g.set_autocommit(false);
    g.start_transaction();
  }
};

TEST_F(TransactionWrites, AddRelationFindsNodesAddedInTheSameBatch) {
  const Index a = add(kCar, 1), b = add(kLane, 1);
  const auto result = g.add_relation(3, 5, is_on(), a, b);
  EXPECT_EQ(result.status, WriteStatus::Stored);
  EXPECT_EQ(latest(a), nullptr);  // nothing published yet
  g.commit_transaction();
  EXPECT_TRUE(list_holds(latest(a)->outgoing, result.value));
  EXPECT_TRUE(list_holds(latest(b)->incoming, result.value));
}

TEST_F(TransactionWrites, ListChangesEarlierInTheBatchAreKept) {
  const Index a = add(kCar, 1), b = add(kLane, 1), c = add(kLane, 2);
  const Index r1 = relate(kIsOn, 1, a, b), r2 = relate(kIsOn, 2, a, c);
  const NodeRecord& batch_latest = *latest_in(inactive(), a);
  EXPECT_EQ(batch_latest.outgoing[0], r1);
  EXPECT_EQ(batch_latest.outgoing[1], r2);
  ASSERT_TRUE(g.remove_relation(4, r1).value);
  EXPECT_TRUE(latest_in(inactive(), a)->outgoing[0].is_empty());
  EXPECT_EQ(latest_in(inactive(), a)->outgoing[1], r2);
}

TEST_F(TransactionWrites, RelationRemovalsOfANodeRemovalCopyTheRemovedVersion) {
  const Index x = add(kCar, 1);
  relate(kIsOn, 1, x, add(kLane, 1));
  relate(kIsOn, 2, add(kLane, 2), x);
  g.commit_transaction();  // x is committed Valid with both relations
  g.start_transaction();
  const std::uint64_t first_new = inactive().node_index_tail[kCar];

  ASSERT_TRUE(g.remove_node(9, x).value);
  const GraphIndices& batch = inactive();
  ASSERT_EQ(batch.node_index_tail[kCar], first_new + 3);
  for (std::uint64_t slot = first_new; slot < batch.node_index_tail[kCar]; ++slot)
    EXPECT_EQ(g.node_records[kCar][slot].marker, Marker::Removed) << "slot " << slot;
  const NodeRecord& last = *latest_in(batch, x);
  EXPECT_TRUE(list_empty(last.outgoing) && list_empty(last.incoming));
  EXPECT_EQ(latest(x)->marker, Marker::Valid);  // readers still see the committed state
}

// ---- A relation from a node to itself is listed in both of its lists ----

TEST_F(Writes, SelfRelationIsListedInBothListsAndRemovedFromBoth) {
  const Index a = add(kCar, 1);
  const Index r = relate(kIsOn, 1, a, a);
  EXPECT_EQ(node_tail(kCar), 3u);
  EXPECT_TRUE(list_holds(latest(a)->outgoing, r));
  EXPECT_TRUE(list_holds(latest(a)->incoming, r));

  ASSERT_TRUE(g.remove_relation(2, r).value);
  EXPECT_EQ(node_tail(kCar), 5u);
  EXPECT_FALSE(list_holds(latest(a)->outgoing, r));
  EXPECT_FALSE(list_holds(latest(a)->incoming, r));
}

TEST_F(Writes, RemovingANodeRemovesItsSelfRelationOnce) {
  const Index a = add(kCar, 1);
  const Index r = relate(kIsOn, 1, a, a);
  ASSERT_TRUE(g.remove_node(2, a).value);
  EXPECT_EQ(relation_tail(kIsOn), 2u);  // added, removed once
  EXPECT_EQ(latest_relation(r)->marker, Marker::Removed);
  EXPECT_EQ(latest(a)->marker, Marker::Removed);
  EXPECT_TRUE(list_empty(latest(a)->outgoing) && list_empty(latest(a)->incoming));
}

// ---- Adding a relation a list already holds reuses its entry ----

TEST_F(Writes, ReaddedRelationKeepsItsEntryEvenAboveAFreeOne) {
  const Index a = add(kCar, 1), b = add(kLane, 1);
  const Index r1 = relate(kIsOn, 1, a, b), r2 = relate(kIsOn, 2, a, b);
  ASSERT_TRUE(g.remove_relation(2, r1).value);  // entry 0 is free now
  relate(kIsOn, 2, a, b);
  EXPECT_TRUE(latest(a)->outgoing[0].is_empty());
  EXPECT_EQ(latest(a)->outgoing[1], r2);
  EXPECT_EQ(count_in(latest(a)->outgoing, r2), 1u);
  EXPECT_EQ(count_in(latest(b)->incoming, r2), 1u);
}

// ---- remove_node leaves alone relations that moved to other nodes ----

TEST_F(Writes, RemoveNodeIgnoresAStaleEntryOfARelationReaddedElsewhere) {
  const Index a = add(kCar, 1), b = add(kLane, 1);
  const Index c = add(kCar, 2), d = add(kLane, 2);
  const Index r = relate(kIsOn, 1, a, b);
  relate(kIsOn, 1, c, d);  // r now joins c and d; a still lists it
  ASSERT_TRUE(list_holds(latest(a)->outgoing, r));
  const std::uint64_t relation_versions = relation_tail(kIsOn);

  ASSERT_TRUE(g.remove_node(3, a).value);
  EXPECT_EQ(relation_tail(kIsOn), relation_versions);
  EXPECT_EQ(latest_relation(r)->marker, Marker::Valid);
  EXPECT_TRUE(list_holds(latest(c)->outgoing, r));
  EXPECT_TRUE(list_holds(latest(d)->incoming, r));
  EXPECT_EQ(latest(a)->marker, Marker::Removed);
}

// ---- A full list takes a stale entry before it refuses ----

// Cars that move from lane 1 to lane 2 keep their isOn ids; lane 1 keeps the
// entries, which no longer stand for anything once the relations join lane 2.
TEST_F(Writes, FortyMovedRelationsLeaveRoomForTheNextOne) {
  const Index lane1 = add(kLane, 1), lane2 = add(kLane, 2);
  for (std::uint64_t id = 0; id < kListEntries; ++id) {
    const Index c = add(kCar, id);
    relate(kIsOn, id, c, lane1);
    relate(kIsOn, id, c, lane2);  // moved: same id, other lane
  }
  const std::uint64_t full_slot = *scan_latest_node_slot(g, kLane, 1, node_tail(kLane));
  for (const Index& entry : latest(lane1)->incoming) ASSERT_EQ(entry.type_index, kIsOn);
  EXPECT_EQ(latest(lane2)->incoming, latest(lane1)->incoming);

  const Index next = add(kCar, 100);
  const auto result = g.add_relation(5, 100, is_on(), next, lane1);
  ASSERT_EQ(result.status, WriteStatus::Stored);
  EXPECT_EQ(latest(lane1)->incoming[0], Index(kIsOn, 100));  // the lowest stale entry
  EXPECT_EQ(latest(lane1)->incoming[1], Index(kIsOn, 1));
  EXPECT_EQ(g.node_records[kLane][full_slot].incoming[0], Index(kIsOn, 0));  // history kept
  EXPECT_EQ(latest(lane2)->incoming[0], Index(kIsOn, 0));  // the moved relation is untouched
  EXPECT_EQ(latest_relation(Index(kIsOn, 0))->to, lane2);

  // Removing lane 1 removes only what still joins it.
  ASSERT_TRUE(g.remove_node(6, lane1).value);
  EXPECT_EQ(latest_relation(Index(kIsOn, 100))->marker, Marker::Removed);
  for (std::uint64_t id = 0; id < kListEntries; ++id)
    EXPECT_EQ(latest_relation(Index(kIsOn, id))->marker, Marker::Valid) << id;
}

TEST_F(Writes, FullOutgoingListTakesTheEntryOfARelationRemovedElsewhere) {
  const Index c = add(kCar, 1), l = add(kLane, 1), other = add(kCar, 2);
  for (std::uint64_t id = 0; id < kListEntries; ++id) relate(kIsOn, id, c, l);
  relate(kIsOn, 7, other, l);                   // moved to `other`: c keeps a stale entry 7
  ASSERT_TRUE(g.remove_relation(3, Index(kIsOn, 7)).value);  // cleared from `other` only
  ASSERT_EQ(latest(c)->outgoing[7], Index(kIsOn, 7));
  relate(kYieldsToCarIn, 1, c, add(kLane, 2));
  EXPECT_EQ(latest(c)->outgoing[7], Index(kYieldsToCarIn, 1));
  // With every entry live again the next one is refused, naming the node.
  const auto refused = g.add_relation(4, 2, relation_of_kind(kYieldsToCarIn), c, l);
  EXPECT_EQ(refused.status, WriteStatus::OutgoingListFull);
  EXPECT_EQ(refused.limit, c);
  EXPECT_EQ(describe(refused),
            "OutgoingListFull: node Car 1 lists 40 outgoing relations, none of them stale");
}

// A relation that now arrives at a node is stale in that node's outgoing list.
TEST_F(Writes, AnEntryIsStaleInTheListOfTheRoleTheNodeNoLongerHas) {
  const Index a = add(kCar, 1), b = add(kCar, 2);
  for (std::uint64_t id = 0; id < kListEntries; ++id) relate(kIsOn, id, a, b);
  relate(kIsOn, 39, b, a);  // reversed: a's outgoing entry 39 is stale, its incoming one live
  relate(kIsOn, 50, a, add(kLane, 1));
  EXPECT_EQ(latest(a)->outgoing[39], Index(kIsOn, 50));
  EXPECT_EQ(latest(a)->incoming[0], Index(kIsOn, 39));
}

// ---- update_node: a new payload, the relations kept ----

TEST_F(Writes, UpdateNodeKeepsBothListsAndTakesTheNewPayload) {
  const Index c = add(kCar, 7), l = add(kLane, 1);
  const Index r1 = relate(kIsOn, 1, c, l), r2 = relate(kBelongsTo, 2, l, c);
  const std::uint64_t versions = node_tail(kCar), values = published().nodes_tail;
  ASSERT_TRUE(g.remove_node(3, c).value);  // removed: the lists empty out
  relate(kIsOn, 1, c, l);                  // a relation may join a removed node
  const auto result = g.update_node(9, 7, car(70));
  ASSERT_EQ(result.status, WriteStatus::Stored);
  EXPECT_EQ(result.value, c);
  EXPECT_GT(node_tail(kCar), versions);
  EXPECT_EQ(published().nodes_tail, values + 1);
  EXPECT_EQ(g.last_update(), 9u);
  const NodeRecord& updated = *latest(c);
  EXPECT_EQ(updated.timestamp, 9u);
  EXPECT_EQ(updated.marker, Marker::Valid);
  EXPECT_EQ(updated.value_index, values);
  EXPECT_EQ(g.node_values[values].get<types::Car>().carId, 70);
  EXPECT_EQ(updated.outgoing[0], r1);
  EXPECT_FALSE(list_holds(updated.incoming, r2));

  // And on a node with live relations, both lists come along unchanged.
  const NodeRecord lists_before = *latest(l);
  ASSERT_TRUE(g.update_node(10, 1, lane(11)).stored());
  EXPECT_EQ(latest(l)->incoming, lists_before.incoming);
  EXPECT_EQ(latest(l)->outgoing, lists_before.outgoing);
  EXPECT_EQ(g.get_latest_node_value(l)->get<types::Lane>().laneId, 11);
}

TEST_F(Writes, UpdateNodeWithoutAVersionOrOfNoKindChangesNothing) {
  add(kLane, 7);
  const Bookkeeping before(g);
  EXPECT_EQ(g.update_node(2, 7, car(7)).status, WriteStatus::NotFound);  // a lane 7, no car 7
  EXPECT_EQ(g.update_node(2, 7, node_of_kind(kNodeKinds)).status, WriteStatus::KindOutOfRange);
  EXPECT_TRUE(Bookkeeping(g) == before);
}

TEST_F(Writes, UpdateNodeMeetsTheLimitsOfAnAddAndNamesThem) {
  add(kCar, 1);
  fill_node_kind(kCar, 0);
  const Bookkeeping before(g);
  const auto full_kind = g.update_node(2, 1, car(1));
  EXPECT_EQ(full_kind.status, WriteStatus::NodeVersionsFull);
  EXPECT_EQ(full_kind.limit, Index(kCar, 0));
  EXPECT_EQ(describe(full_kind),
            "NodeVersionsFull: node kind Car (1) has used all 21000 version slots");
  EXPECT_TRUE(Bookkeeping(g) == before);

  const Fill full = g.fill();
  EXPECT_EQ(full.node_versions[kCar].used, kNodeVersionsPerKind);
  EXPECT_EQ(full.node_versions[kCar].capacity, kNodeVersionsPerKind);
  EXPECT_DOUBLE_EQ(full.node_versions[kCar].fraction(), 1.0);

  g.clear();
  add(kLane, 1);
  fill_node_values(0);
  const auto full_values = g.update_node(2, 1, lane(1));
  EXPECT_EQ(full_values.status, WriteStatus::NodeValuesFull);
  EXPECT_EQ(describe(full_values),
            "NodeValuesFull: all 20000 node payloads (shared by every node kind) are used");
  const Fill fill = g.fill();
  EXPECT_EQ(fill.node_values.used, kNodeValues);
  EXPECT_EQ(fill.node_values.capacity, kNodeValues);
  EXPECT_EQ(fill.node_versions[kLane].used, node_tail(kLane));
  EXPECT_EQ(fill.node_versions[kLane].capacity, kNodeVersionsPerKind);
  EXPECT_EQ(fill.relation_versions[kBelongsTo].used, 0u);
  EXPECT_EQ(fill.relation_values.capacity, kRelationValues);
}

TEST_F(TransactionWrites, UpdateNodeFindsANodeAddedInTheSameBatch) {
  const Index c = add(kCar, 1);
  relate(kIsOn, 1, c, add(kLane, 1));
  ASSERT_TRUE(g.update_node(2, 1, car(2)).stored());
  EXPECT_EQ(latest(c), nullptr);
  g.commit_transaction();
  EXPECT_EQ(latest(c)->outgoing[0], Index(kIsOn, 1));
  EXPECT_EQ(g.get_latest_node_value(c)->get<types::Car>().carId, 2);
}

// ---- A relation whose node has no version is still removed ----

TEST_F(Writes, RemoveRelationWithAMissingNodeAppendsOnlyForTheNodeItFinds) {
  const Index a = add(kCar, 1), b = add(kLane, 1);
  const Index r = relate(kIsOn, 1, a, b);
  // A record written by some other writer: the relation names a car that has no version.
  g.relation_records[kIsOn][0].from = Index(kCar, 999);
  const std::uint64_t cars = node_tail(kCar), lanes = node_tail(kLane);

  const auto result = g.remove_relation(4, r);
  EXPECT_TRUE(result.value);
  EXPECT_EQ(latest_relation(r)->marker, Marker::Removed);
  EXPECT_EQ(latest_relation(r)->from, Index(kCar, 999));
  EXPECT_EQ(node_tail(kCar), cars);
  EXPECT_EQ(node_tail(kLane), lanes + 1);
  EXPECT_FALSE(list_holds(latest(b)->incoming, r));
  EXPECT_EQ(g.last_update(), 4u);
}

}  // namespace
}  // namespace knowledge_graph::graph
