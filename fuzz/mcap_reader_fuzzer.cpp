// MCAP reader fuzzer: the input is a recording file. Reading it must either
// fail with an error text or give publications that a graph takes within its
// capacities (or refuses with an error), with no read outside the input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "moments.hpp"
#include "recording.hpp"

namespace {

knowledge_graph::graph::KnowledgeGraph& graph() {
  static knowledge_graph::graph::KnowledgeGraph::Boxed boxed =
      knowledge_graph::graph::KnowledgeGraph::new_boxed();
  return *boxed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string error;
  const auto recording =
      varnel::record::read_recording_bytes(std::string_view(reinterpret_cast<const char*>(data), size), error);
  if (!recording) {
    if (error.empty()) __builtin_trap();  // a refusal always says why
    return 0;
  }
  if (recording->publications.empty()) return 0;
  graph().clear();
  varnel::record::install_moment(*recording, recording->publications.size() - 1, graph(), error);
  (void)graph().get_all_nodes(interval_algebra::Interval::eternity());
  (void)graph().get_all_relations(interval_algebra::Interval::eternity());
  return 0;
}
