// MCAP reader fuzzer: the input is a recording file, its chunks stored as they
// are or compressed with zstd or lz4 (the seeds hold each, and files re-packed
// by another writer). Reading it must either fail with an error text or give
// publications that a graph takes within its capacities (or refuses with an
// error), with no read outside the input; the same bytes read through the
// summary and the chunk indexes must fail with a reason or give messages too.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "mcap.hpp"
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
  // A chunk may claim any uncompressed size: far fewer bytes than a real one
  // keep each input quick (the refusal above the cap is what is tested).
  static const bool capped = (varnel::record::mcap::set_max_chunk_size(std::uint64_t{1} << 20), true);
  (void)capped;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  {
    namespace mcap = varnel::record::mcap;
    mcap::IndexedReader reader;
    std::string why;
    if (reader.open(bytes, "", why)) {
      std::size_t messages = 0;
      const bool read = reader.read_messages([&](mcap::Message&&, const mcap::Channel&, std::string&) {
        ++messages;
        return true;
      }, why);
      if (!read && why.empty()) __builtin_trap();
    } else if (why.empty()) {
      __builtin_trap();
    }
  }
  std::string error;
  const auto recording =
      varnel::record::read_recording_bytes(bytes, error);
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
