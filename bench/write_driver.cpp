// Fixed sequences of writes for instruction counts under callgrind (repeatable on
// a loaded machine, unlike times). Usage: varnel_write_driver MODE INDEXED
//   MODE    add_node: 19,000 add_node with new instance ids on a fresh graph
//           deep:     10,000 cars and 9,900 lanes, then add_relation car i -> lane i
//           remove_relation: 3,000 joined pairs, then every relation removed
//           transactions: 180 batches of 50 add_node and 50 add_relation
//           recorded: add_node as above with a recorder link whose recorder
//                     never reads (the writer's side of the link alone)
//   INDEXED 1 keeps the lookup index, 0 detaches it (the scans)
// e.g. valgrind --tool=callgrind
//        --toggle-collect='knowledge_graph::graph::KnowledgeGraph::add_node*'
//        build/linux/bench/varnel_write_driver add_node 1
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/lookup_index.hpp"
#include "knowledge_graph/graph/recorder_link.hpp"

namespace {

using namespace knowledge_graph::graph;

constexpr std::uint64_t kCar = 1, kLane = 6, kIsOn = 9;

KnowledgeGraphNode node_of_kind(std::uint64_t kind) {
  KnowledgeGraphNode value;
  value.tag = kind;
  return value;
}

unsigned add_nodes(KnowledgeGraph& g) {
  unsigned stored = 0;
  for (std::uint64_t i = 1; i <= 19000; ++i) stored += g.add_node(i, i, node_of_kind(kCar)).stored();
  return stored;
}

unsigned deep_relations(KnowledgeGraph& g) {
  std::uint64_t t = 0;
  for (std::uint64_t i = 0; i < 10000; ++i) g.add_node(++t, i, node_of_kind(kCar));
  for (std::uint64_t i = 0; i < 9900; ++i) g.add_node(++t, i, node_of_kind(kLane));
  KnowledgeGraphRelation is_on;
  is_on.tag = kIsOn;
  unsigned stored = 0;
  for (std::uint64_t i = 0; i < 9900; ++i)
    stored += g.add_relation(++t, i, is_on, Index(kCar, i), Index(kLane, i)).stored();
  return stored;
}

KnowledgeGraphRelation is_on() {
  KnowledgeGraphRelation value;
  value.tag = kIsOn;
  return value;
}

// 3,000 cars and lanes joined pairwise, then every relation removed.
unsigned remove_relations(KnowledgeGraph& g) {
  std::uint64_t t = 0;
  for (std::uint64_t i = 0; i < 3000; ++i) {
    g.add_node(++t, i, node_of_kind(kCar));
    g.add_node(++t, i, node_of_kind(kLane));
    g.add_relation(++t, i, is_on(), Index(kCar, i), Index(kLane, i));
  }
  unsigned stored = 0;
  for (std::uint64_t i = 0; i < 3000; ++i) stored += g.remove_relation(++t, Index(kIsOn, i)).value;
  return stored;
}

// 200 batches of 50 add_node and 50 add_relation each.
unsigned transactions(KnowledgeGraph& g) {
  std::uint64_t t = 0;
  g.add_node(++t, 0, node_of_kind(kLane));
  unsigned stored = 0;
  for (int batch = 0; batch < 180; ++batch) {
    g.set_autocommit(false);
    g.start_transaction();
    for (std::uint64_t i = 0; i < 50; ++i) {
      stored += g.add_node(++t, i, node_of_kind(kCar)).stored();
      stored += g.add_relation(++t, i, is_on(), Index(kCar, i), Index(kLane, 0)).stored();
    }
    g.commit_transaction();
    g.set_autocommit(true);
  }
  return stored;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s add_node|recorded|deep|remove_relation|transactions 0|1\n", argv[0]);
    return 2;
  }
  auto g = KnowledgeGraph::new_boxed();
  if (argv[2][0] != '1') detach_lookup_index(*g);
  const std::string mode = argv[1];
  unsigned stored = 0;
  if (mode == "recorded") {
    auto* link = static_cast<RecorderLink*>(std::calloc(1, sizeof(RecorderLink)));
    link->recorder = 1;  // attached, never reading: the writer logs every publication
    attach_recorder_link(*g, link);
    stored = add_nodes(*g);
    detach_recorder_link(*g);
    std::free(link);
  } else if (mode == "deep") {
    stored = deep_relations(*g);
  } else if (mode == "remove_relation") {
    stored = remove_relations(*g);
  } else if (mode == "transactions") {
    stored = transactions(*g);
  } else {
    stored = add_nodes(*g);
  }
  std::printf("%u writes stored\n", stored);
  return 0;
}
