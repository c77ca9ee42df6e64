// A small, deterministic road-traffic scene: two crossing roads with four lanes,
// an intersection with two crosswalks, signs, the ego vehicle, cars that follow
// each other along their lanes and pedestrians that cross. Pure simulation: the
// scene knows nothing of the graph; SceneWriter turns its state into writes.
#pragma once

#include <compare>
#include <cstdint>
#include <random>
#include <variant>
#include <vector>

#include "varnel_interface.h"

namespace varnel::demo {

struct NodeRef {
  std::uint64_t kind = 0;
  std::uint64_t id = 0;
  auto operator<=>(const NodeRef&) const = default;
};

// A relation is identified in the scene by its kind and its two ends.
struct RelationKey {
  std::uint64_t kind = 0;
  NodeRef from;
  NodeRef to;
  auto operator<=>(const RelationKey&) const = default;
};

struct SceneRelation {
  RelationKey key;
  std::int32_t payload = 0;  // ifDirection of yieldsToCarIn; unused otherwise
};

using NodeRecord = std::variant<std::monostate, Car, Crosswalk, Intersection, Lane, Pedestrian,
                                Road, SpeedLimitSign>;

struct SceneNode {
  NodeRef ref;
  NodeRecord record;  // monostate for kinds without fields
};

class Scene {
 public:
  static constexpr double kHalfLength = 150.0;  // lanes run from -150 m to +150 m
  static constexpr int kLaneCount = 4;
  static constexpr int kCrosswalkCount = 2;

  Scene(std::uint64_t seed, int car_count);

  // Advances the scene by `seconds`.
  void step(double seconds);

  // Every node of the scene as it stands now, static ones first.
  std::vector<SceneNode> nodes() const;
  // Every relation that holds now.
  std::vector<SceneRelation> relations() const;

  int car_count() const { return static_cast<int>(cars_.size()); }
  int pedestrian_count() const { return static_cast<int>(pedestrians_.size()); }

 private:
  struct CarState {
    std::uint64_t id;
    int lane;            // 0..3
    double s;            // distance travelled along the lane, 0..2*kHalfLength
    double speed;        // m/s
    double cruise;       // m/s the driver aims for
  };
  struct PedestrianState {
    std::uint64_t id;
    int crosswalk;       // 0..1
    double u;            // metres walked across, -kKerb..width+kKerb
    double speed;
    int side;            // +1 or -1: which kerb they started from
  };

  double uniform(double low, double high);
  void advance_cars(double seconds);
  void advance_pedestrians(double seconds);
  void advance_ego(double seconds);
  void spawn_car(double s);
  double target_speed(const CarState& car) const;
  bool crosswalk_busy(int crosswalk) const;
  // Cars of one lane, the leading one (largest s) first.
  std::vector<const CarState*> lane_queue(int lane) const;
  void add_car_relations(std::vector<SceneRelation>& out) const;
  void add_ego_relations(std::vector<SceneRelation>& out) const;
  void add_pedestrian_relations(std::vector<SceneRelation>& out) const;

  std::mt19937_64 random_;
  int wanted_cars_;
  std::vector<CarState> cars_;
  std::vector<PedestrianState> pedestrians_;
  double ego_s_ = 40.0;
  double ego_speed_ = 11.0;
  std::uint64_t next_car_id_ = 1;
  std::uint64_t next_pedestrian_id_ = 1;
};

}  // namespace varnel::demo
