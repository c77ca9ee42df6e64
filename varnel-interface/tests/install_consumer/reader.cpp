// Writes a lane through the C library, then reads it back on a read-only
// mapping through the installed read side; exits 0 when it reads what it wrote.
#include <cstdio>
#include <cstring>

#include "interval_algebra/interval.hpp"
#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "logging/logging.hpp"
#include "shared_memory_interface/shared_memory.hpp"
#include "varnel_interface.h"

int main() {
  logging::set_max_level(logging::LevelFilter::Off);  // the library's default, said once more
  KnowledgeGraphHandle* host = initialize_knowledge_graph();
  if (host == nullptr) return 2;
  Lane lane{};
  lane.laneId = 3;
  std::memcpy(lane.laneName.bytes, "Station Road", 12);
  lane.laneSpeedLimit = 30;
  add_lane_node(1000, 3, lane, host);

  shared_memory_interface::shared_memory::KnowledgeGraphMemory region("KnowledgeGraph", 0);
  bool ok = region.initialize_read_only() && region.holds_record();
  if (ok) {
    const auto& graph = *region.get_data_ref();
    const auto lanes = graph.get_nodes_of_type(interval_algebra::Interval::eternity(), VARNEL_NODE_LANE);
    ok = lanes.size() == 1 && std::memcmp(lanes[0].value.payload, &lane, sizeof lane) == 0;
  }
  region.release();
  release_knowledge_graph(host);
  std::puts(ok ? "reader: ok" : "reader: did not read the lane back");
  return ok ? 0 : 1;
}
