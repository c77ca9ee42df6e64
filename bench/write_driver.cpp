// Fixed sequences of writes for instruction counts under callgrind (repeatable on
// a loaded machine, unlike times). Usage: varnel_write_driver MODE INDEXED
//   MODE    add_node: 19,000 add_node with new instance ids on a fresh graph
//           deep:     10,000 cars and 9,900 lanes, then add_relation car i -> lane i
//   INDEXED 1 keeps the lookup index, 0 detaches it (the scans)
// e.g. valgrind --tool=callgrind
//        --toggle-collect='knowledge_graph::graph::KnowledgeGraph::add_node*'
//        build/linux/bench/varnel_write_driver add_node 1
#include <cstdio>
#include <cstring>

#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/lookup_index.hpp"

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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s add_node|deep 0|1\n", argv[0]);
    return 2;
  }
  auto g = KnowledgeGraph::new_boxed();
  if (argv[2][0] != '1') detach_lookup_index(*g);
  const bool deep = std::strcmp(argv[1], "deep") == 0;
  std::printf("%u writes stored\n", deep ? deep_relations(*g) : add_nodes(*g));
  return 0;
}
