#include "scene_update.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>
#include <unordered_map>

#include <nlohmann/json.hpp>

namespace varnel::inspect {
namespace {

namespace kg = knowledge_graph::graph;
namespace types = knowledge_graph::graph::types;
using nlohmann::json;

constexpr double kCarLength = 4.5, kCarWidth = 1.8, kCarHeight = 1.5;
constexpr double kLaneSpacing = 2.0;       // lane track points lie at least this far apart
constexpr std::size_t kLanePoints = 512;   // and there are at most this many per lane

json time_of(std::uint64_t ns) {
  return {{"sec", ns / 1'000'000'000}, {"nsec", ns % 1'000'000'000}};
}
json vec(double x, double y, double z) { return {{"x", x}, {"y", y}, {"z", z}}; }
json colour(double r, double g, double b, double a = 1.0) { return {{"r", r}, {"g", g}, {"b", b}, {"a", a}}; }
// A pose at (x, y, z) turned by `yaw` radians about z.
json pose(double x, double y, double z, double yaw = 0) {
  return {{"position", vec(x, y, z)},
          {"orientation", {{"x", 0.0}, {"y", 0.0}, {"z", std::sin(yaw / 2)}, {"w", std::cos(yaw / 2)}}}};
}
json text(double x, double y, double z, const std::string& what) {
  return {{"pose", pose(x, y, z)}, {"billboard", true}, {"font_size", 1.6}, {"scale_invariant", false},
          {"color", colour(0.1, 0.1, 0.1)}, {"text", what}};
}
json cube(double x, double y, double z, double yaw, double sx, double sy, double sz, const json& c) {
  return {{"pose", pose(x, y, z, yaw)}, {"size", vec(sx, sy, sz)}, {"color", c}};
}

struct Entity {
  std::string id;
  std::uint64_t time = 0;  // host units
  json body = {{"arrows", json::array()}, {"cubes", json::array()},     {"spheres", json::array()},
               {"cylinders", json::array()}, {"lines", json::array()}, {"triangles", json::array()},
               {"texts", json::array()},  {"models", json::array()}};
  json metadata = json::array();
  void meta(const std::string& key, const std::string& value) {
    metadata.push_back({{"key", key}, {"value", value}});
  }
};

bool finite(float v) { return std::isfinite(v); }

std::string raw_text(const types::RawString& raw) {
  const auto* end = static_cast<const unsigned char*>(std::memchr(raw.bytes, 0, sizeof raw.bytes));
  return std::string(reinterpret_cast<const char*>(raw.bytes),
                     end != nullptr ? static_cast<std::size_t>(end - raw.bytes) : sizeof raw.bytes);
}

std::string number(double v) {
  char out[32];
  std::snprintf(out, sizeof out, "%.2f", v);
  return out;
}

}  // namespace

const std::string& scene_update_schema() {
  static const std::string schema = [] {
    const json number = {{"type", "number"}};
    const json integer = {{"type", "integer"}};
    auto object = [](json properties) {
      json required = json::array();
      for (auto& [name, value] : properties.items()) required.push_back(name);
      return json{{"type", "object"}, {"properties", properties}, {"required", required}};
    };
    auto array = [](json items) { return json{{"type", "array"}, {"items", items}}; };
    const json time = object({{"sec", integer}, {"nsec", integer}});
    const json vector3 = object({{"x", number}, {"y", number}, {"z", number}});
    const json quaternion = object({{"x", number}, {"y", number}, {"z", number}, {"w", number}});
    const json pose = object({{"position", vector3}, {"orientation", quaternion}});
    const json rgba = object({{"r", number}, {"g", number}, {"b", number}, {"a", number}});
    const json boolean = {{"type", "boolean"}};
    const json string = {{"type", "string"}};
    const json sized = object({{"pose", pose}, {"size", vector3}, {"color", rgba}});
    json entity = object({
        {"timestamp", time},
        {"frame_id", string},
        {"id", string},
        {"lifetime", time},
        {"frame_locked", boolean},
        {"metadata", array(object({{"key", string}, {"value", string}}))},
        {"arrows", array(object({{"pose", pose},
                                 {"shaft_length", number},
                                 {"shaft_diameter", number},
                                 {"head_length", number},
                                 {"head_diameter", number},
                                 {"color", rgba}}))},
        {"cubes", array(sized)},
        {"spheres", array(sized)},
        {"cylinders", array(object({{"pose", pose},
                                    {"size", vector3},
                                    {"bottom_scale", number},
                                    {"top_scale", number},
                                    {"color", rgba}}))},
        {"lines", array(object({{"type", {{"type", "integer"}, {"enum", {0, 1, 2}}}},
                                {"pose", pose},
                                {"thickness", number},
                                {"scale_invariant", boolean},
                                {"points", array(vector3)},
                                {"color", rgba},
                                {"colors", array(rgba)},
                                {"indices", array(integer)}}))},
        {"triangles", array(object({{"pose", pose},
                                    {"points", array(vector3)},
                                    {"color", rgba},
                                    {"colors", array(rgba)},
                                    {"indices", array(integer)}}))},
        {"texts", array(object({{"pose", pose},
                                {"billboard", boolean},
                                {"font_size", number},
                                {"scale_invariant", boolean},
                                {"color", rgba},
                                {"text", string}}))},
        {"models", array(object({{"pose", pose},
                                 {"scale", vector3},
                                 {"color", rgba},
                                 {"override_color", boolean},
                                 {"url", string},
                                 {"media_type", string},
                                 {"data", string}}))}});
    const json deletion = object({{"timestamp", time},
                                  {"type", {{"type", "integer"}, {"enum", {0, 1}}}},
                                  {"id", string}});
    json schema = object({{"deletions", array(deletion)}, {"entities", array(entity)}});
    schema["title"] = kSceneUpdateSchemaName;
    schema["description"] = "An update to the entities of a 3D scene";
    return schema.dump();
  }();
  return schema;
}

std::string SceneBuilder::update(const std::vector<kg::NodeItem>& nodes,
                                 const std::vector<kg::RelationItem>& relations, std::uint64_t timestamp,
                                 bool* changed) {
  timestamp_ = timestamp;
  std::vector<Entity> made;
  struct Place {
    double x, y;
    std::uint64_t time;
    double dx = 0, dy = 0;  // a car's direction
  };
  std::unordered_map<std::uint64_t, Place> cars, people;  // by instance id
  std::unordered_map<std::uint64_t, const kg::NodeItem*> lanes;
  for (const kg::NodeItem& item : nodes) {
    const std::uint64_t id = item.record.instance_id;
    const std::uint64_t t = item.record.timestamp;
    const std::string name = std::string(types::node_kind_name(item.value.type_index())) + " " + std::to_string(id);
    if (auto car = item.value.as<types::Car>()) {
      const auto& p = car->carPosition;
      const auto& d = car->carDirection;
      if (!finite(p.x) || !finite(p.y) || !finite(p.z) || !finite(d.x) || !finite(d.y)) continue;
      const double yaw = std::atan2(d.y, d.x);
      const double speed = finite(car->carSpeed) ? car->carSpeed : 0.0;
      const json c = speed < 0.5 ? colour(0.84, 0.15, 0.16) : speed < 8 ? colour(1.0, 0.62, 0.11)
                                                                       : colour(0.17, 0.63, 0.17);
      Entity e{"car/" + std::to_string(id), t};
      e.body["cubes"].push_back(cube(p.x - kCarLength / 2 * std::cos(yaw), p.y - kCarLength / 2 * std::sin(yaw),
                                     p.z + kCarHeight / 2, yaw, kCarLength, kCarWidth, kCarHeight, c));
      e.body["texts"].push_back(text(p.x, p.y, p.z + kCarHeight + 1.0, name));
      e.meta("speed", number(speed));
      cars[id] = {p.x, p.y, t, d.x, d.y};
      made.push_back(std::move(e));
    } else if (auto person = item.value.as<types::Pedestrian>()) {
      const auto& p = person->pedestrianPosition;
      if (!finite(p.x) || !finite(p.y)) continue;
      Entity e{"pedestrian/" + std::to_string(id), t};
      e.body["spheres"].push_back(cube(p.x, p.y, 0.9, 0, 0.8, 0.8, 1.8, colour(0.58, 0.40, 0.74)));
      e.body["texts"].push_back(text(p.x, p.y, 2.6, name));
      people[id] = {p.x, p.y, t, 0, 0};
      made.push_back(std::move(e));
    } else if (auto crossing = item.value.as<types::Intersection>()) {
      const auto& p = crossing->intersectionPosition;
      if (!finite(p.x) || !finite(p.y) || !finite(p.z)) continue;
      Entity e{"intersection/" + std::to_string(id), t};
      e.body["cubes"].push_back(cube(p.x, p.y, p.z - 0.05, 0, 10, 10, 0.05, colour(0.33, 0.33, 0.33, 0.35)));
      e.body["texts"].push_back(text(p.x, p.y, p.z + 1.0, name));
      made.push_back(std::move(e));
    } else if (auto walk = item.value.as<types::Crosswalk>()) {
      const auto& p = walk->crosswalkPosition;
      if (!finite(p.x) || !finite(p.y) || !finite(p.z)) continue;
      Entity e{"crosswalk/" + std::to_string(id), t};
      e.body["cubes"].push_back(cube(p.x, p.y, p.z, 0, 3, 3, 0.1, colour(0.12, 0.47, 0.71, 0.8)));
      e.body["texts"].push_back(text(p.x, p.y, p.z + 1.0, name));
      e.meta("pedestrians", std::to_string(walk->crosswalkPedestrianCount));
      made.push_back(std::move(e));
    } else if (item.value.type_index() == static_cast<std::uint64_t>(types::NodeKind::Lane)) {
      lanes[id] = &item;
    }
  }
  // Lanes: grow each one's track by the cars on it now.
  for (const kg::RelationItem& item : relations) {
    if (item.value.type_index() != static_cast<std::uint64_t>(types::RelationKind::isOn)) continue;
    if (item.record.from.type_index != static_cast<std::uint64_t>(types::NodeKind::Car) ||
        item.record.to.type_index != static_cast<std::uint64_t>(types::NodeKind::Lane))
      continue;
    auto car = cars.find(item.record.from.instance_id);
    if (car == cars.end() || !lanes.count(item.record.to.instance_id)) continue;
    LaneTrack& track = lanes_[item.record.to.instance_id];
    track.dx += car->second.dx;
    track.dy += car->second.dy;
    if (track.points.size() >= kLanePoints) continue;
    const std::pair<float, float> at{static_cast<float>(car->second.x), static_cast<float>(car->second.y)};
    const bool near = std::any_of(track.points.begin(), track.points.end(), [&](const auto& q) {
      return std::hypot(q.first - at.first, q.second - at.second) < kLaneSpacing;
    });
    if (!near) {
      track.points.push_back(at);
    }
  }
  for (const auto& [id, item] : lanes) {
    const auto lane = item->value.get<types::Lane>();
    std::string name = raw_text(lane.laneName);
    if (name.empty()) name = "Lane " + std::to_string(id);
    Entity e{"lane/" + std::to_string(id), item->record.timestamp};
    e.meta("name", name);
    e.meta("speed_limit", std::to_string(lane.laneSpeedLimit));
    auto track = lanes_.find(id);
    const double length = track != lanes_.end() ? std::hypot(track->second.dx, track->second.dy) : 0;
    if (track != lanes_.end() && !track->second.points.empty() && length > 0) {
      double ux = track->second.dx / length, uy = track->second.dy / length;
      double cx = 0, cy = 0;
      for (const auto& [x, y] : track->second.points) cx += x, cy += y;
      cx /= static_cast<double>(track->second.points.size());
      cy /= static_cast<double>(track->second.points.size());
      // With points spread along it, the lane runs along their main axis (the
      // cars' directions only say which way): directions bend where cars turn.
      double sxx = 0, sxy = 0, syy = 0;
      for (const auto& [x, y] : track->second.points) {
        sxx += (x - cx) * (x - cx);
        sxy += (x - cx) * (y - cy);
        syy += (y - cy) * (y - cy);
      }
      if (track->second.points.size() >= 3 && sxx + syy > 4.0) {
        const double angle = 0.5 * std::atan2(2 * sxy, sxx - syy);
        const double ax = std::cos(angle), ay = std::sin(angle);
        const double sign = ax * ux + ay * uy < 0 ? -1.0 : 1.0;
        ux = sign * ax;
        uy = sign * ay;
      }
      double lo = 0, hi = 0;
      for (const auto& [x, y] : track->second.points) {
        const double s = (x - cx) * ux + (y - cy) * uy;
        lo = std::min(lo, s);
        hi = std::max(hi, s);
      }
      // The car's position is its front: the lane reaches a car length behind it.
      lo -= kCarLength;
      json line = {{"type", 0},
                   {"pose", pose(0, 0, 0)},
                   {"thickness", 3.0},
                   {"scale_invariant", false},
                   {"points", {vec(cx + lo * ux, cy + lo * uy, 0), vec(cx + hi * ux, cy + hi * uy, 0)}},
                   {"color", colour(0.78, 0.78, 0.78)},
                   {"colors", json::array()},
                   {"indices", json::array()}};
      e.body["lines"].push_back(std::move(line));
      e.body["texts"].push_back(text(cx, cy, 0.5, name));
    }
    made.push_back(std::move(e));
  }
  // isBehind: an arrow from the follower to its leader.
  for (const kg::RelationItem& item : relations) {
    if (item.value.type_index() != static_cast<std::uint64_t>(types::RelationKind::isBehind)) continue;
    auto find = [&](const kg::Index& end) -> const Place* {
      const auto& in = end.type_index == static_cast<std::uint64_t>(types::NodeKind::Car) ? cars : people;
      if (end.type_index != static_cast<std::uint64_t>(types::NodeKind::Car) &&
          end.type_index != static_cast<std::uint64_t>(types::NodeKind::Pedestrian))
        return nullptr;
      auto it = in.find(end.instance_id);
      return it == in.end() ? nullptr : &it->second;
    };
    const Place* from = find(item.record.from);
    const Place* to = find(item.record.to);
    if (from == nullptr || to == nullptr) continue;
    const double dx = to->x - from->x, dy = to->y - from->y, distance = std::hypot(dx, dy);
    Entity e{"isBehind/" + std::to_string(item.record.instance_id),
             std::max({item.record.timestamp, from->time, to->time})};
    if (distance > 0.1) {
      const double head = std::min(1.5, distance * 0.3);
      e.body["arrows"].push_back({{"pose", pose(from->x, from->y, 1.8, std::atan2(dy, dx))},
                                  {"shaft_length", distance - head},
                                  {"shaft_diameter", 0.25},
                                  {"head_length", head},
                                  {"head_diameter", 0.8},
                                  {"color", colour(0.12, 0.47, 0.71)}});
    }
    made.push_back(std::move(e));
  }

  // Compare with what was sent: new or changed entities go out, missing ones are deleted.
  std::map<std::string, std::string> now;
  std::string entities;
  for (Entity& e : made) {
    json entity = {{"timestamp", time_of(e.time * ns_per_unit_)},
                   {"frame_id", "map"},
                   {"id", e.id},
                   {"lifetime", {{"sec", 0}, {"nsec", 0}}},
                   {"frame_locked", false},
                   {"metadata", std::move(e.metadata)}};
    for (auto& [key, value] : e.body.items()) entity[key] = std::move(value);
    std::string text = entity.dump(-1, ' ', false, json::error_handler_t::replace);
    auto old = entities_.find(e.id);
    if (old == entities_.end() || old->second != text) {
      if (!entities.empty()) entities += ',';
      entities += text;
    }
    now[e.id] = std::move(text);
  }
  std::string deletions;
  const std::string when = time_of(timestamp * ns_per_unit_).dump();
  for (const auto& [id, text] : entities_)
    if (!now.count(id)) {
      if (!deletions.empty()) deletions += ',';
      deletions += R"({"timestamp":)" + when + R"(,"type":0,"id":)" + json(id).dump() + "}";
    }
  if (changed != nullptr) *changed = !entities.empty() || !deletions.empty();
  entities_ = std::move(now);
  return R"({"deletions":[)" + deletions + R"(],"entities":[)" + entities + "]}";
}

std::string SceneBuilder::full() const {
  std::string out = R"({"deletions":[{"timestamp":)" + time_of(timestamp_ * ns_per_unit_).dump() +
                    R"(,"type":1,"id":""}],"entities":[)";
  bool first = true;
  for (const auto& [id, text] : entities_) {
    if (!first) out += ',';
    first = false;
    out += text;
  }
  return out + "]}";
}

}  // namespace varnel::inspect
