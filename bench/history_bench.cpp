// How long a scene's history lasts in the fixed arrays, written the way the
// demo host writes it, with each of the two host patterns, in one run:
//   re-add  a changed node is added again (its lists start empty), then every
//           relation of it is added again;
//   update  a changed node gets update_<kind>_node (its lists are kept), and
//           relations are written only when they begin, end or change.
// Two scenes: the demo's (24 cars, pedestrians, signs) and 50 cars on four
// lanes, each on its lane and behind the car ahead (two relations each), now
// and then changing lanes. Every tick is one transaction at 10 Hz; a run ends
// with the first tick the graph refuses (nothing of it is published).
//
// Not a timing benchmark: it counts versions. It maps the real region
// "KnowledgeGraph", so run it alone (or in a private /dev/shm).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "scene.hpp"
#include "scene_writer.hpp"
#include "varnel_interface.h"

namespace {

using varnel::demo::NodeRef;
using varnel::demo::SceneNode;
using varnel::demo::SceneRelation;
using varnel::demo::WritePattern;

constexpr double kRate = 10.0;               // ticks per second
constexpr std::uint64_t kMaxTicks = 100000;  // a run that never fills stops here

// 50 cars on four ring lanes of 400 m; each is on its lane and behind the car
// ahead of it (the last one behind the first). 2 % of cars change lanes per tick.
class Platoons {
 public:
  static constexpr int kLanes = 4;
  static constexpr int kCars = 50;

  Platoons() {
    for (int i = 0; i < kCars; ++i)
      cars_.push_back({static_cast<std::uint64_t>(i + 1), i % kLanes, 8.0 * (i / kLanes),
                       uniform(8.0, 14.0)});
  }

  void step(double seconds) {
    for (CarState& car : cars_) {
      car.s = std::fmod(car.s + car.speed * seconds, kLaneLength);
      if (uniform(0.0, 1.0) < 0.02) car.lane = (car.lane + 1) % kLanes;
    }
  }

  std::vector<SceneNode> nodes() const {
    std::vector<SceneNode> out;
    for (int lane = 0; lane < kLanes; ++lane)
      out.push_back({lane_ref(lane), Lane{lane + 1, RawString{}, 50}});
    for (const CarState& car : cars_) {
      const float s = static_cast<float>(std::round(car.s * 100.0) / 100.0);
      out.push_back({{VARNEL_NODE_CAR, car.id},
                     Car{Vector3f{1, 0, 0}, static_cast<std::int32_t>(car.id),
                         Vector3f{s, 3.5f * static_cast<float>(car.lane), 0},
                         static_cast<float>(car.speed)}});
    }
    return out;
  }

  std::vector<SceneRelation> relations() const {
    std::vector<SceneRelation> out;
    for (const CarState& car : cars_)
      out.push_back({{VARNEL_RELATION_ISON, car_ref(car), lane_ref(car.lane)}, 0});
    for (const CarState& car : cars_) {
      const CarState* ahead = nullptr;  // the next car along the ring, the first if none
      const CarState* first = nullptr;
      for (const CarState& other : cars_) {
        if (other.lane != car.lane || other.id == car.id) continue;
        if (other.s > car.s && (ahead == nullptr || other.s < ahead->s)) ahead = &other;
        if (first == nullptr || other.s < first->s) first = &other;
      }
      if (ahead == nullptr) ahead = first;
      if (ahead != nullptr)
        out.push_back({{VARNEL_RELATION_ISBEHIND, car_ref(car), car_ref(*ahead)}, 0});
    }
    return out;
  }

 private:
  static constexpr double kLaneLength = 400.0;
  struct CarState {
    std::uint64_t id;
    int lane;
    double s;
    double speed;
  };
  static NodeRef lane_ref(int lane) { return {VARNEL_NODE_LANE, static_cast<std::uint64_t>(lane + 1)}; }
  static NodeRef car_ref(const CarState& car) { return {VARNEL_NODE_CAR, car.id}; }
  double uniform(double low, double high) {
    return low + (high - low) * static_cast<double>(random_() >> 11) * 0x1.0p-53;
  }

  std::mt19937_64 random_{11};
  std::vector<CarState> cars_;
};

struct History {
  std::uint64_t ticks = 0;
  std::uint64_t versions = 0;
  std::string limit;
};

template <class SceneT>
History run(const varnel::demo::VarnelApi& api, KnowledgeGraphHandle* handle, SceneT scene,
            WritePattern pattern) {
  api.set_autocommit(1, handle);
  api.reset_knowledge_graph(handle);
  api.set_autocommit(0, handle);
  varnel::demo::SceneWriter writer(api, handle, {pattern, /*reset_when_full=*/false});
  History history;
  for (std::uint64_t tick = 0; tick < kMaxTicks; ++tick) {
    if (tick > 0) scene.step(1.0 / kRate);
    const auto timestamp = static_cast<std::uint64_t>(static_cast<double>(tick) * 1000.0 / kRate);
    const varnel::demo::TickOutcome outcome = writer.write_tick(scene.nodes(), scene.relations(), timestamp);
    if (!outcome.committed) {
      history.limit = outcome.refusal;
      break;
    }
    ++history.ticks;
    if (tick > 0) history.versions += outcome.versions;  // the first tick writes the whole scene
  }
  api.set_autocommit(1, handle);
  return history;
}

// The demo's scene, offered as the two lists like Platoons.
struct DemoScene {
  varnel::demo::Scene scene{1, 24};
  void step(double seconds) { scene.step(seconds); }
  std::vector<SceneNode> nodes() const { return scene.nodes(); }
  std::vector<SceneRelation> relations() const { return scene.relations(); }
};

void report(const char* name, const History& before, const History& after) {
  auto line = [&](const char* pattern, const History& h) {
    const double per_tick = h.ticks > 1 ? static_cast<double>(h.versions) / static_cast<double>(h.ticks - 1) : 0.0;
    std::printf("%-34s %-7s %7llu ticks  %6.1f versions/tick  %7.1f s of history  (%s)\n", name,
                pattern, static_cast<unsigned long long>(h.ticks), per_tick,
                static_cast<double>(h.ticks) / kRate,
                h.limit.empty() ? "did not fill" : h.limit.c_str());
  };
  line("re-add", before);
  line("update", after);
  std::printf("%-34s         %.2fx longer with updates\n\n", name,
              static_cast<double>(after.ticks) / static_cast<double>(before.ticks));
}

}  // namespace

int main() {
  const varnel::demo::VarnelApi api = varnel::demo::linked_varnel_api();
  KnowledgeGraphHandle* handle = api.initialize_knowledge_graph();
  if (handle == nullptr) {
    std::fprintf(stderr, "varnel_history_bench: the region \"KnowledgeGraph\" cannot be set up\n");
    return 1;
  }
  std::printf("History that fits at %.0f Hz, one transaction per tick, until the first refused tick\n\n",
              kRate);
  const History demo_before = run(api, handle, DemoScene{}, WritePattern::ReAdd);
  const History demo_after = run(api, handle, DemoScene{}, WritePattern::Update);
  report("demo scene (24 cars, seed 1)", demo_before, demo_after);
  const History cars_before = run(api, handle, Platoons{}, WritePattern::ReAdd);
  const History cars_after = run(api, handle, Platoons{}, WritePattern::Update);
  report("50 cars, two relations each", cars_before, cars_after);
  api.reset_knowledge_graph(handle);
  api.release_knowledge_graph(handle);
  return 0;
}
