// A planning module's read side: one consistent scene of the live graph at every
// commit of the host (it sleeps until then, at most a second), from which it takes the ego vehicle's lane, the cars on it, the car
// ahead (the leader), the pedestrians walking on crosswalks, and whether the
// host is still alive. One line per tick on standard output.
//
//   planning_consumer [--duration SECONDS] [--region NAME]
// Exit status 0 when it read at least one scene, 1 when no host ever came up.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "graph_session/graph_session.hpp"
#include "knowledge_graph/graph/scene_view.hpp"

namespace kg = knowledge_graph::graph;
using kg::NodeKind;
using kg::RelationKind;
using Clock = std::chrono::steady_clock;

// One tick's reading; false when a clear overtook the view (read again next tick).
bool plan(const kg::SceneView& scene, bool writer_alive) {
  std::string line = "t=" + std::to_string(scene.last_update()) +
                     (writer_alive ? " host alive" : " HOST GONE (scene frozen)");
  const auto egos = scene.nodes(NodeKind::Ego);
  if (!egos.empty()) {
    const kg::NodeIndex ego(NodeKind::Ego, egos.front().record.instance_id);
    for (const kg::Neighbour& on : scene.outgoing(ego, RelationKind::isOn)) {
      const auto lane = on.node.value.as<kg::types::Lane>();
      const kg::NodeIndex lane_index(NodeKind::Lane, on.node.record.instance_id);
      std::size_t cars = 0;
      for (const kg::Neighbour& car : scene.incoming(lane_index, RelationKind::isOn))
        cars += car.node.value.as<kg::types::Car>().has_value();
      line += " | ego on lane " + std::to_string(lane_index.instance_id) + " (limit " +
              std::to_string(lane ? lane->laneSpeedLimit : 0) + ", " + std::to_string(cars) +
              " cars)";
    }
    // The demo host relates the car ahead as isInFront of the ego vehicle.
    for (const kg::Neighbour& ahead : scene.incoming(ego, RelationKind::isInFront)) {
      if (const auto car = ahead.node.value.as<kg::types::Car>()) {
        char text[96];
        std::snprintf(text, sizeof text, " | leader car %llu at x=%.1f, %.1f m/s",
                      static_cast<unsigned long long>(ahead.node.record.instance_id),
                      car->carPosition.x, car->carSpeed);
        line += text;
      }
    }
  }
  std::size_t walking = 0;
  for (const kg::NodeItem& crosswalk : scene.nodes(NodeKind::Crosswalk)) {
    const kg::NodeIndex index(NodeKind::Crosswalk, crosswalk.record.instance_id);
    walking += scene.incoming(index, RelationKind::walksOn).size();
  }
  line += " | " + std::to_string(walking) + " pedestrians on crosswalks";
  if (scene.overtaken()) return false;  // the answers above may be empty: drop them
  std::puts(line.c_str());
  return true;
}

int main(int argc, char** argv) {
  double duration = 0;  // 0: until killed
  std::string region_name = "KnowledgeGraph";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--duration" && i + 1 < argc) {
      duration = std::stod(argv[++i]);
    } else if (arg == "--region" && i + 1 < argc) {
      region_name = argv[++i];
    } else {
      std::printf("usage: %s [--duration SECONDS] [--region NAME]\n"
                  "Reads the live scene at every commit and prints the planner's view of it.\n",
                  argv[0]);
      return arg == "--help" || arg == "-h" ? 0 : 2;
    }
  }
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(duration));
  const auto running = [&] { return duration <= 0 || Clock::now() < end; };

  graph_session::Options options;
  options.name = region_name;
  graph_session::OpenResult opened;
  while (!(opened = graph_session::GraphSession::open_reader(options))) {  // wait for a host
    if (!running() || opened.refusal != shared_memory_interface::memory_interface::Refusal::Missing) {
      std::fprintf(stderr, "planning_consumer: %s\n", opened.error.c_str());
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const graph_session::GraphSession& session = *opened.session;  // with the writer's index
  kg::SceneReader reader(session.graph());  // kept: each view reads only what is new

  int scenes = 0;
  std::uint64_t seen = 0;
  while (running()) {
    const kg::SceneView scene = reader.view();
    seen = scene.last_update();
    if (plan(scene, session.probe_writer().presence ==
                        shared_memory_interface::memory_interface::WriterPresence::Alive))
      ++scenes;
    else
      std::puts("overtaken by a clear: reading again");
    // Asleep until the host commits a new tick (no CPU meanwhile); after a second
    // without one, the scene is shown again with the host's liveness.
    reader.wait_for_publication(seen, std::chrono::seconds(1));
  }
  std::printf("%d scenes read\n", scenes);
  return scenes > 0 ? 0 : 1;
}
