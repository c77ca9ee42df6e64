// A drive recorded by `varnel-inspect record`, read after the fact: its span,
// the scene at its middle and at its end (cars, and which lane each is on), and
// one car's versions over the whole drive.
//
//   drive_reader FILE.mcap
// Exit status 0 when the file reads as a recording, 1 (with the reason) otherwise.
#include <cstdio>
#include <iostream>
#include <string>

#include "knowledge_graph/graph/scene_view.hpp"
#include "recording/recording.hpp"

namespace kg = knowledge_graph::graph;

void describe(const recording::Recording& drive, std::uint64_t t) {
  const recording::Scene scene = drive.at(t);
  const kg::SceneView view = scene.view();
  const auto cars = view.nodes_as_of(kg::NodeKind::Car, t);
  std::size_t on_lanes = 0;
  for (const kg::NodeItem& car : cars)
    on_lanes += !view.outgoing(kg::NodeIndex(kg::NodeKind::Car, car.record.instance_id), kg::RelationKind::isOn, t).empty();
  std::printf("at %llu (publication stamped %llu): %zu cars, %zu of them on a lane\n",
              static_cast<unsigned long long>(t), static_cast<unsigned long long>(scene.moment()), cars.size(),
              on_lanes);
}

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: drive_reader FILE.mcap\n";
    return 1;
  }
  try {
    const recording::Recording drive(argv[1]);
    std::printf("%s: %zu publications, %llu versions, %llu to %llu %s\n", drive.path().c_str(),
                drive.publications(), static_cast<unsigned long long>(drive.versions()),
                static_cast<unsigned long long>(drive.first_time()), static_cast<unsigned long long>(drive.last_time()),
                drive.time_unit().c_str());
    describe(drive, drive.first_time() + (drive.last_time() - drive.first_time()) / 2);
    describe(drive, drive.last_time());
    const auto end = drive.at().view().nodes(kg::NodeKind::Car);
    if (!end.empty()) {
      const kg::NodeIndex car(kg::NodeKind::Car, end.front().record.instance_id);
      std::printf("car %llu: %zu versions over the drive\n", static_cast<unsigned long long>(car.instance_id),
                  drive.history(car).size());
    }
  } catch (const recording::RecordingError& e) {
    std::cerr << e.what() << "\n";
    return 1;
  }
  return 0;
}
