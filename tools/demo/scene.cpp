#include "scene.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>

namespace varnel::demo {
namespace {

constexpr double H = Scene::kHalfLength;
constexpr double kRoadWidth = 7.0;  // two lanes of 3.5 m
constexpr double kKerb = 1.5;       // pedestrians wait this far from the road
constexpr double kCarLength = 4.5;
constexpr double kCrosswalkOffset = 12.0;  // crosswalk centre to intersection centre

struct LaneGeometry {
  const char* name;
  std::uint64_t road;
  std::int32_t speed_limit;  // km/h
  std::int32_t heading;      // compass degrees of the traffic in the lane
  double origin_x, origin_y, dir_x, dir_y;
  int crosswalk;             // the crosswalk this lane crosses
  double crosswalk_s;        // where along the lane it lies
};

constexpr LaneGeometry kLanes[Scene::kLaneCount] = {
    {"Main Street eastbound", 1, 50, 90, -H, -1.75, 1, 0, 0, H - kCrosswalkOffset},
    {"Main Street westbound", 1, 50, 270, H, 1.75, -1, 0, 0, H + kCrosswalkOffset},
    {"Station Road northbound", 2, 30, 0, 1.75, -H, 0, 1, 1, H - kCrosswalkOffset},
    {"Station Road southbound", 2, 30, 180, -1.75, H, 0, -1, 1, H + kCrosswalkOffset},
};

// Crosswalk 0 crosses Main Street west of the intersection, 1 Station Road south of it.
constexpr double kCrosswalkX[Scene::kCrosswalkCount] = {-kCrosswalkOffset, 0.0};
constexpr double kCrosswalkY[Scene::kCrosswalkCount] = {0.0, -kCrosswalkOffset};

RawString raw_string(std::string_view text) {
  RawString raw{};
  std::memcpy(raw.bytes, text.data(), std::min(text.size(), sizeof(raw.bytes) - 1));
  return raw;
}

NodeRef lane_ref(int lane) { return {VARNEL_NODE_LANE, static_cast<std::uint64_t>(lane + 1)}; }
NodeRef crosswalk_ref(int crosswalk) {
  return {VARNEL_NODE_CROSSWALK, static_cast<std::uint64_t>(crosswalk + 1)};
}
constexpr NodeRef kEgo{VARNEL_NODE_EGO, 1};
constexpr NodeRef kIntersection{VARNEL_NODE_INTERSECTION, 1};

SceneRelation relation(std::uint64_t kind, NodeRef from, NodeRef to, std::int32_t payload = 0) {
  return SceneRelation{RelationKey{kind, from, to}, payload};
}

void static_nodes(std::vector<SceneNode>& out) {
  out.push_back({{VARNEL_NODE_ROAD, 1}, Road{1, raw_string("Main Street")}});
  out.push_back({{VARNEL_NODE_ROAD, 2}, Road{2, raw_string("Station Road")}});
  for (int lane = 0; lane < Scene::kLaneCount; ++lane) {
    const LaneGeometry& g = kLanes[lane];
    out.push_back({lane_ref(lane), Lane{lane + 1, raw_string(g.name), g.speed_limit}});
  }
  out.push_back({kIntersection, Intersection{1, Vector3f{0, 0, 0}}});
  out.push_back({{VARNEL_NODE_SPEEDLIMITSIGN, 1}, SpeedLimitSign{50}});
  out.push_back({{VARNEL_NODE_SPEEDLIMITSIGN, 2}, SpeedLimitSign{30}});
  out.push_back({{VARNEL_NODE_PRIORITYROADSIGN, 1}, std::monostate{}});
  out.push_back({{VARNEL_NODE_STOPSIGN, 1}, std::monostate{}});
  out.push_back({{VARNEL_NODE_STOPSIGN, 2}, std::monostate{}});
  out.push_back({{VARNEL_NODE_YIELDSIGN, 1}, std::monostate{}});
  out.push_back({{VARNEL_NODE_STATICOBJECT, 1}, std::monostate{}});  // a lamp post
  out.push_back({kEgo, std::monostate{}});
}

void static_relations(std::vector<SceneRelation>& out) {
  for (int lane = 0; lane < Scene::kLaneCount; ++lane) {
    out.push_back(relation(VARNEL_RELATION_ISPARTOF, lane_ref(lane),
                           {VARNEL_NODE_ROAD, kLanes[lane].road}));
    out.push_back(relation(VARNEL_RELATION_CONNECTSTO, lane_ref(lane), kIntersection));
  }
  out.push_back(relation(VARNEL_RELATION_ISONLEFT, lane_ref(1), lane_ref(0)));
  out.push_back(relation(VARNEL_RELATION_ISONLEFT, lane_ref(3), lane_ref(2)));
  out.push_back(relation(VARNEL_RELATION_ISPARTOF, crosswalk_ref(0), {VARNEL_NODE_ROAD, 1}));
  out.push_back(relation(VARNEL_RELATION_ISPARTOF, crosswalk_ref(1), {VARNEL_NODE_ROAD, 2}));
  for (int lane = 0; lane < Scene::kLaneCount; ++lane) {
    const std::uint64_t limit_sign = lane < 2 ? 1 : 2;
    out.push_back(relation(VARNEL_RELATION_BELONGSTO, {VARNEL_NODE_SPEEDLIMITSIGN, limit_sign},
                           lane_ref(lane)));
  }
  out.push_back(relation(VARNEL_RELATION_BELONGSTO, {VARNEL_NODE_PRIORITYROADSIGN, 1}, lane_ref(0)));
  out.push_back(relation(VARNEL_RELATION_BELONGSTO, {VARNEL_NODE_PRIORITYROADSIGN, 1}, lane_ref(1)));
  out.push_back(relation(VARNEL_RELATION_BELONGSTO, {VARNEL_NODE_STOPSIGN, 1}, lane_ref(2)));
  out.push_back(relation(VARNEL_RELATION_BELONGSTO, {VARNEL_NODE_STOPSIGN, 2}, lane_ref(3)));
  out.push_back(relation(VARNEL_RELATION_ISAT, {VARNEL_NODE_YIELDSIGN, 1}, crosswalk_ref(1)));
  out.push_back(relation(VARNEL_RELATION_ISAT, {VARNEL_NODE_STATICOBJECT, 1}, kIntersection));
  out.push_back(relation(VARNEL_RELATION_ISON, kEgo, lane_ref(0)));
}

Vector3f lane_point(int lane, double s) {
  const LaneGeometry& g = kLanes[lane];
  return Vector3f{static_cast<float>(g.origin_x + g.dir_x * s),
                  static_cast<float>(g.origin_y + g.dir_y * s), 0.0f};
}

// Keeps a float printable with one decimal: positions to the centimetre.
float rounded(double value) { return static_cast<float>(std::round(value * 100.0) / 100.0); }

}  // namespace

Scene::Scene(std::uint64_t seed, int car_count) : random_(seed), wanted_cars_(car_count) {
  for (int placed = 0, tries = 0; placed < wanted_cars_ && tries < 50 * wanted_cars_; ++tries) {
    const double s = uniform(0.0, 2 * H - 10.0);
    const int lane = static_cast<int>(uniform(0.0, kLaneCount - 0.001));
    bool clear = !(lane == 0 && std::abs(s - ego_s_) < 15.0);
    for (const CarState& car : cars_) clear = clear && !(car.lane == lane && std::abs(car.s - s) < 15.0);
    if (!clear) continue;
    cars_.push_back({next_car_id_++, lane, s, 0.0, 0.0});
    cars_.back().cruise = kLanes[lane].speed_limit / 3.6 * uniform(0.8, 1.1);
    cars_.back().speed = cars_.back().cruise * 0.7;
    ++placed;
  }
}

double Scene::uniform(double low, double high) {
  // Own mapping from bits to [0, 1): the same numbers on every standard library.
  const double unit = static_cast<double>(random_() >> 11) * 0x1.0p-53;
  return low + (high - low) * unit;
}

void Scene::step(double seconds) {
  advance_ego(seconds);
  advance_cars(seconds);
  advance_pedestrians(seconds);
}

std::vector<const Scene::CarState*> Scene::lane_queue(int lane) const {
  std::vector<const CarState*> queue;
  for (const CarState& car : cars_)
    if (car.lane == lane) queue.push_back(&car);
  std::sort(queue.begin(), queue.end(), [](auto* a, auto* b) { return a->s > b->s; });
  return queue;
}

bool Scene::crosswalk_busy(int crosswalk) const {
  return std::any_of(pedestrians_.begin(), pedestrians_.end(),
                     [&](const PedestrianState& p) { return p.crosswalk == crosswalk; });
}

double Scene::target_speed(const CarState& car) const {
  double target = car.cruise;
  double gap = 1e9;  // to the next car (or the ego vehicle) ahead in the lane
  for (const CarState& other : cars_)
    if (other.lane == car.lane && other.s > car.s) gap = std::min(gap, other.s - car.s);
  if (car.lane == 0 && ego_s_ > car.s) gap = std::min(gap, ego_s_ - car.s);
  target = std::min(target, std::max(0.0, (gap - kCarLength - 2.0) / 1.2));
  const LaneGeometry& g = kLanes[car.lane];
  const double to_stop_line = H - kRoadWidth / 2 - car.s;
  if (g.speed_limit == 30 && to_stop_line > 0 && to_stop_line < 25)
    target = std::min(target, 1.5 + to_stop_line / 4);  // stop sign: slow right down
  const double to_crosswalk = g.crosswalk_s - kRoadWidth / 2 - car.s;
  if (crosswalk_busy(g.crosswalk) && to_crosswalk > 0 && to_crosswalk < 25)
    target = std::min(target, std::max(0.0, (to_crosswalk - 1.0) / 1.5));
  return target;
}

void Scene::advance_ego(double seconds) {
  double gap = 1e9;
  for (const CarState& car : cars_)
    if (car.lane == 0 && car.s > ego_s_) gap = std::min(gap, car.s - ego_s_);
  const double target = std::min(12.0, std::max(0.0, (gap - kCarLength - 2.0) / 1.2));
  ego_speed_ += std::clamp(target - ego_speed_, -7.0 * seconds, 2.5 * seconds);
  ego_s_ += ego_speed_ * seconds;
  if (ego_s_ > 2 * H) ego_s_ = 0.0;  // around the block and back in
}

void Scene::advance_cars(double seconds) {
  std::vector<double> targets;
  for (const CarState& car : cars_) targets.push_back(target_speed(car));
  for (std::size_t i = 0; i < cars_.size(); ++i) {
    CarState& car = cars_[i];
    car.speed += std::clamp(targets[i] - car.speed, -7.0 * seconds, 2.5 * seconds);
    car.speed = std::max(0.0, car.speed);
    car.s += car.speed * seconds;
  }
  std::erase_if(cars_, [](const CarState& car) { return car.s > 2 * H; });
  for (int lane = 0; lane < kLaneCount && static_cast<int>(cars_.size()) < wanted_cars_; ++lane) {
    if (uniform(0.0, 1.0) > 0.5 * seconds * kLaneCount) continue;
    double nearest = 1e9;
    for (const CarState& car : cars_)
      if (car.lane == lane) nearest = std::min(nearest, car.s);
    if (lane == 0) nearest = std::min(nearest, ego_s_);
    if (nearest < 20.0) continue;
    const double cruise = kLanes[lane].speed_limit / 3.6 * uniform(0.8, 1.1);
    cars_.push_back({next_car_id_++, lane, 0.0, cruise * 0.8, cruise});
  }
}

void Scene::advance_pedestrians(double seconds) {
  for (PedestrianState& p : pedestrians_) p.u += p.speed * seconds;
  std::erase_if(pedestrians_,
                [](const PedestrianState& p) { return p.u > kRoadWidth + 2 * kKerb; });
  if (pedestrians_.size() < 4 && uniform(0.0, 1.0) < 0.25 * seconds) {
    const int crosswalk = uniform(0.0, 1.0) < 0.5 ? 0 : 1;
    const int side = uniform(0.0, 1.0) < 0.5 ? 1 : -1;
    pedestrians_.push_back({next_pedestrian_id_++, crosswalk, 0.0, uniform(1.1, 1.6), side});
  }
}

std::vector<SceneNode> Scene::nodes() const {
  std::vector<SceneNode> out;
  static_nodes(out);
  for (int c = 0; c < kCrosswalkCount; ++c) {
    std::int32_t on_it = 0;
    for (const PedestrianState& p : pedestrians_)
      on_it += p.crosswalk == c && p.u >= kKerb && p.u <= kKerb + kRoadWidth;
    out.push_back({crosswalk_ref(c),
                   Crosswalk{c + 1, on_it,
                             Vector3f{static_cast<float>(kCrosswalkX[c]),
                                      static_cast<float>(kCrosswalkY[c]), 0.0f}}});
  }
  for (const CarState& car : cars_) {
    const LaneGeometry& g = kLanes[car.lane];
    const Vector3f at = lane_point(car.lane, car.s);
    out.push_back({{VARNEL_NODE_CAR, car.id},
                   Car{Vector3f{static_cast<float>(g.dir_x), static_cast<float>(g.dir_y), 0.0f},
                       static_cast<std::int32_t>(car.id), Vector3f{rounded(at.x), rounded(at.y), 0.0f},
                       rounded(car.speed)}});
  }
  for (const PedestrianState& p : pedestrians_) {
    const double across = p.side * (p.u - kRoadWidth / 2 - kKerb);
    const bool along_x = p.crosswalk == 1;  // crosswalk 1 spans Station Road east-west
    const Vector2f direction = along_x ? Vector2f{static_cast<float>(p.side), 0.0f}
                                       : Vector2f{0.0f, static_cast<float>(p.side)};
    const Vector2f position =
        along_x ? Vector2f{rounded(kCrosswalkX[1] + across), rounded(kCrosswalkY[1])}
                : Vector2f{rounded(kCrosswalkX[0]), rounded(kCrosswalkY[0] + across)};
    out.push_back({{VARNEL_NODE_PEDESTRIAN, p.id},
                   Pedestrian{direction, position, rounded(p.speed)}});
  }
  return out;
}

void Scene::add_car_relations(std::vector<SceneRelation>& out) const {
  for (const CarState& car : cars_)
    out.push_back(relation(VARNEL_RELATION_ISON, {VARNEL_NODE_CAR, car.id}, lane_ref(car.lane)));
  for (int lane = 0; lane < kLaneCount; ++lane) {
    const auto queue = lane_queue(lane);
    for (std::size_t i = 1; i < queue.size(); ++i)
      out.push_back(relation(VARNEL_RELATION_ISBEHIND, {VARNEL_NODE_CAR, queue[i]->id},
                             {VARNEL_NODE_CAR, queue[i - 1]->id}));
  }
  // Cars about to cross Main Street from Station Road yield to the traffic on it.
  for (const CarState& car : cars_) {
    if (kLanes[car.lane].road != 2 || car.s < H - 30 || car.s >= H) continue;
    for (int main_lane = 0; main_lane < 2; ++main_lane) {
      const bool traffic = std::any_of(cars_.begin(), cars_.end(), [&](const CarState& other) {
        return other.lane == main_lane && other.s >= H - 40 && other.s < H;
      });
      if (traffic)
        out.push_back(relation(VARNEL_RELATION_YIELDSTOCARIN, {VARNEL_NODE_CAR, car.id},
                               lane_ref(main_lane), kLanes[main_lane].heading));
    }
  }
}

void Scene::add_ego_relations(std::vector<SceneRelation>& out) const {
  const CarState* ahead = nullptr;
  const CarState* behind = nullptr;
  for (const CarState& car : cars_) {
    if (car.lane != 0) continue;
    if (car.s > ego_s_ && (ahead == nullptr || car.s < ahead->s)) ahead = &car;
    if (car.s <= ego_s_ && (behind == nullptr || car.s > behind->s)) behind = &car;
  }
  if (ahead != nullptr)
    out.push_back(relation(VARNEL_RELATION_ISINFRONT, {VARNEL_NODE_CAR, ahead->id}, kEgo));
  if (behind != nullptr)
    out.push_back(relation(VARNEL_RELATION_ISBEHIND, {VARNEL_NODE_CAR, behind->id}, kEgo));
}

void Scene::add_pedestrian_relations(std::vector<SceneRelation>& out) const {
  for (const PedestrianState& p : pedestrians_) {
    const bool crossing = p.u >= kKerb && p.u <= kKerb + kRoadWidth;
    out.push_back(relation(crossing ? VARNEL_RELATION_WALKSON : VARNEL_RELATION_ISAT,
                           {VARNEL_NODE_PEDESTRIAN, p.id}, crosswalk_ref(p.crosswalk)));
  }
}

std::vector<SceneRelation> Scene::relations() const {
  std::vector<SceneRelation> out;
  static_relations(out);
  add_car_relations(out);
  add_ego_relations(out);
  add_pedestrian_relations(out);
  return out;
}

}  // namespace varnel::demo
