// Raw-span fuzzer: the input is a span as a DDS mirror receives it (bookkeeping
// it starts from and ends at, whether it is afresh, the bytes). install_raw_span
// must refuse it with a reason, leaving the graph's published state as it was, or
// install it; then the graph publishes exactly the span's end and every read stays
// inside the arrays.
//
// Tails drawn at random almost never fit the byte count: when the first byte is
// odd the fuzzer draws small tails, starts appending spans from the graph's own
// state and sizes the bytes to fit, so that the content checks are reached.
// One graph serves every input; it is cleared when it fills up.
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "byte_reader.hpp"
#include "knowledge_graph/graph/iterators.hpp"
#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/raw_span.hpp"

namespace {

using namespace knowledge_graph::graph;
using interval_algebra::Interval;
using varnel_fuzz::fail;

KnowledgeGraph& graph() {
  static KnowledgeGraph::Boxed boxed = KnowledgeGraph::new_boxed();
  return *boxed;
}

void read_back(const KnowledgeGraph& g) {
  volatile std::uint64_t sink = 0;
  sink = sink + g.get_all_nodes(Interval::eternity()).size() +
         g.get_all_relations(Interval::eternity()).size();
  for (std::uint64_t kind = 0; kind < kNodeKinds; ++kind) {
    auto walk = g.nodes_iter(Interval::eternity(), kind);
    for (int i = 0; i < 8; ++i)
      if (auto item = walk.next()) sink = sink + item->value.tag + item->record.incoming[39].type_index;
  }
  for (std::uint64_t kind = 0; kind < kRelationKinds; ++kind) {
    auto walk = g.relations_iter(Interval::eternity(), kind);
    for (int i = 0; i < 8; ++i)
      if (auto item = walk.next()) {
        sink = sink + item->value.tag;
        if (g.get_latest_node_record(item->record.from) != nullptr) sink = sink + 1;
      }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  varnel_fuzz::ByteReader in(data, size);
  const std::uint8_t flags = in.byte();
  const bool fitted = flags & 1, afresh = flags & 2;
  KnowledgeGraph& g = graph();
  if (g.fill().node_values.fraction() > 0.5) g.clear();
  const GraphIndices before = g.snapshot().indices;
  GraphIndices from{}, to{};
  if (fitted) {
    if (!afresh) from = before;
    to = from;
    for (auto& tail : to.node_index_tail) tail += in.byte() % 3;
    to.nodes_tail += in.byte() % 4;
    for (auto& tail : to.relation_index_tail) tail += in.byte() % 3;
    to.relations_tail += in.byte() % 4;
  } else {
    std::array<std::uint64_t, kIndexWords> words;
    for (auto& word : words) word = in.byte() < 200 ? in.byte() % 8 : in.word();
    from = from_words(words);
    for (auto& word : words) word = in.byte() < 200 ? in.byte() % 8 : in.word();
    to = from_words(words);
  }
  to.update_timestamp = in.word();
  std::vector<std::byte> bytes;
  if (fitted && !span_shape_error(from, to)) bytes.resize(raw_span_size(from, to));
  else bytes.resize(in.byte() * 16u);
  for (auto& b : bytes) {
    // Mostly small values, so that kinds, markers and positions are often in range.
    const std::uint8_t r = in.byte();
    b = std::byte(r < 128 ? r % 4 : r);
  }
  const InstallResult result = install_raw_span(g, from, to, std::span<const std::byte>(bytes), afresh);
  const GraphIndices after = g.snapshot().indices;
  if (result.status == InstallStatus::Installed) {
    if (std::memcmp(&after, &to, sizeof to) != 0) fail("an installed span does not publish its end");
  } else {
    if (result.reason.empty()) fail("a refusal without a reason");
    if (std::memcmp(&after, &before, sizeof before) != 0) fail("a refused span changed the published state");
  }
  read_back(g);
  return 0;
}
