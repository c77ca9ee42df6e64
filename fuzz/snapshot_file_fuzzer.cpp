// Snapshot-file fuzzer: the input is the bytes of a snapshot file. The reader
// must refuse it with a reason or accept it; nothing may crash, allocate more
// than the largest graph, or read outside the input. An accepted file is
// installed into a graph (as `load` does) and read back: the published tails
// must be the file's and every read must stay inside the arrays.
//
// A checksum guards the payload, which a mutation almost never keeps: when the
// first byte is odd, the fuzzer writes the payload's true size and checksum
// into the header first, so that the content checks behind it are reached.
// One graph serves every input; installing replaces its content.
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "byte_reader.hpp"
#include "knowledge_graph/graph/iterators.hpp"
#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/snapshot_image.hpp"

namespace {

using namespace knowledge_graph::graph;
using interval_algebra::Interval;
using varnel_fuzz::fail;

KnowledgeGraph& graph() {
  static KnowledgeGraph::Boxed boxed = KnowledgeGraph::new_boxed();
  return *boxed;
}

void read_back(const KnowledgeGraph& g, const GraphIndices& expected) {
  const Snapshot now = g.snapshot();
  if (std::memcmp(&now.indices, &expected, sizeof expected) != 0)
    fail("the installed graph does not publish the file's bookkeeping");
  volatile std::uint64_t sink = 0;
  sink = sink + g.get_all_nodes(Interval::eternity()).size() +
         g.get_all_relations(Interval::eternity()).size();
  for (std::uint64_t kind = 0; kind < kNodeKinds; ++kind) {
    if (expected.node_index_tail[kind] == 0) continue;
    auto walk = g.nodes_iter(Interval::eternity(), kind);
    for (int i = 0; i < 16; ++i)
      if (auto item = walk.next()) sink = sink + item->value.tag + item->record.incoming[39].type_index;
  }
  for (std::uint64_t kind = 0; kind < kRelationKinds; ++kind) {
    if (expected.relation_index_tail[kind] == 0) continue;
    auto walk = g.relations_iter(Interval::eternity(), kind);
    for (int i = 0; i < 16; ++i)
      if (auto item = walk.next()) sink = sink + item->value.tag + item->record.from.instance_id;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool fix_up = data[0] % 2 == 1;
  std::vector<unsigned char> file(data + 1, data + size);
  if (fix_up && file.size() >= sizeof(SnapshotHeader)) {
    SnapshotHeader header;
    std::memcpy(&header, file.data(), sizeof header);
    header.payload_size = file.size() - sizeof header;
    header.checksum = fnv1a(file.data() + sizeof header, header.payload_size);
    std::memcpy(file.data(), &header, sizeof header);
  }
  std::string error;
  const auto image = parse_snapshot_bytes(std::as_bytes(std::span(file.data(), file.size())), error);
  if (!image) {
    if (error.empty()) fail("a refusal without a reason");
    return 0;
  }
  if (sizeof(GraphIndices) + image->span.size() > max_snapshot_payload_size())
    fail("accepted a payload larger than the largest graph");
  KnowledgeGraph& g = graph();
  const InstallResult installed = install_snapshot_image(g, *image);
  if (installed.status != InstallStatus::Installed) fail("a checked snapshot was refused: " + installed.reason);
  read_back(g, image->indices);
  return 0;
}
