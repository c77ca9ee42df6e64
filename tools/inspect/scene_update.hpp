// The scene as 3D viewers draw it: `foxglove.SceneUpdate` messages (JSON) made
// from the graph's current nodes and relations, for the live server and for
// recordings.
//
// What is drawn, in frame "map" (metres, z up):
// - car/ID: a 4.5 x 1.8 x 1.5 m cube whose front face is at the car's position
//   (the front bumper), turned along its direction, coloured by speed (red below
//   0.5 m/s, orange below 8 m/s, green faster), with its name as text;
// - pedestrian/ID: a sphere at its position; intersection/ID and crosswalk/ID:
//   flat cubes at their positions;
// - lane/ID: a line strip along the cars seen on the lane (isOn). Lanes carry no
//   position in the graph, so a lane is drawn once cars have been on it and
//   grows as they drive further; before that it has only its name;
// - isBehind/ID: an arrow from the follower's position to its leader's.
// Entities carry the time of the newest version they show, so an entity whose
// nodes did not change reads the same and is not sent again. An entity whose
// nodes are gone is deleted.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "knowledge_graph/graph/knowledge_graph.hpp"

namespace varnel::inspect {

// The schema name and JSON Schema viewers expect for the messages below.
inline constexpr const char* kSceneUpdateSchemaName = "foxglove.SceneUpdate";
const std::string& scene_update_schema();

class SceneBuilder {
 public:
  // `ns_per_unit`: nanoseconds per host timestamp unit (1e6 for milliseconds).
  explicit SceneBuilder(std::uint64_t ns_per_unit = 1'000'000) : ns_per_unit_(ns_per_unit) {}

  // Takes the current scene (the Valid latest version of every instance) as of
  // `timestamp` (host units) and returns the update since the previous call:
  // the entities that changed or are new, and deletions of those now gone. The
  // first call gives the whole scene. `changed` tells whether there is anything in it.
  std::string update(const std::vector<knowledge_graph::graph::NodeItem>& nodes,
                     const std::vector<knowledge_graph::graph::RelationItem>& relations,
                     std::uint64_t timestamp, bool* changed = nullptr);
  // The whole scene as the last update left it, after a deletion of everything:
  // what a viewer that missed updates (or starts now) needs.
  std::string full() const;
  std::size_t entity_count() const { return entities_.size(); }
  std::uint64_t timestamp() const { return timestamp_; }

 private:
  struct LaneTrack {
    double dx = 0, dy = 0;                      // sum of the directions of the cars seen on it
    std::vector<std::pair<float, float>> points;  // positions seen, at least 2 m apart
  };
  std::uint64_t ns_per_unit_;
  std::uint64_t timestamp_ = 0;
  std::map<std::string, std::string> entities_;  // id -> the entity's JSON text
  std::map<std::uint64_t, LaneTrack> lanes_;
};

}  // namespace varnel::inspect
