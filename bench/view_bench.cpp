// Reading the demo scene as one consistent view while its history grows.
//
// The demo host's scene (24 cars, seed 1) is written at 10 Hz, one transaction
// per tick, through the C interface into the region "KnowledgeGraph"; a reader
// maps the region read-only like a consumer in another process. At checkpoints
// of stored history it times, as the median of 51 reads (CPU time of the
// reading thread), each made after one more tick was written:
//   reader      SceneReader::view() + all_nodes() + all_relations()
//               (the current scene; only what the tick appended is walked)
//   fresh view  SceneView(graph) + all_nodes() + all_relations() (a new view:
//               its current state from the lookup index, else a walk of all)
//   per kind    get_all_nodes + get_all_relations over all time (one snapshot
//               per kind: not consistent; the old way, for comparison)
//   as of       SceneView(graph) + all_nodes_as_of(t) + all_relations_as_of(t),
//               t the middle of the history so far
//   as of -3 s  the same 3 s before the latest publication (what a host asks
//               of its recent past: each instance's chain is followed back),
//               on a fresh view and on the reader's next view (which carries
//               the current state along)
//   history     SceneView::history of car 1 (through the lookup index)
// The reader opens a reader session, which attaches the region's lookup index.
//
// It maps the real region "KnowledgeGraph": run it alone, or in a private /dev/shm.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "graph_session/graph_session.hpp"
#include "knowledge_graph/graph/scene_view.hpp"
#include "scene.hpp"
#include "scene_writer.hpp"
#include "varnel_interface.h"

namespace {

namespace kg = knowledge_graph::graph;
// CPU time of the calling thread: what the read costs, whatever else the machine runs.
struct Clock {
  using duration = std::chrono::nanoseconds;
  using time_point = std::chrono::time_point<Clock, duration>;
  static time_point now() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return time_point(duration(std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec));
  }
};

constexpr int kReads = 51;

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct Tick {
  const varnel::demo::VarnelApi& api;
  varnel::demo::Scene& scene;
  varnel::demo::SceneWriter& writer;
  std::uint64_t count = 0;
  bool write() {
    if (count > 0) scene.step(0.1);
    const auto outcome = writer.write_tick(scene, count * 100);
    ++count;
    if (!outcome.committed) std::printf("tick %llu not committed: %s\n", static_cast<unsigned long long>(count), outcome.refusal.c_str());
    return outcome.committed;
  }
};

}  // namespace

int main() {
  const varnel::demo::VarnelApi api = varnel::demo::linked_varnel_api();
  KnowledgeGraphHandle* handle = api.initialize_knowledge_graph();
  if (handle == nullptr) {
    std::fprintf(stderr, "varnel_view_bench: the region \"KnowledgeGraph\" cannot be set up\n");
    return 1;
  }
  api.set_autocommit(1, handle);
  api.reset_knowledge_graph(handle);
  api.set_autocommit(0, handle);
  auto opened = graph_session::GraphSession::open_reader();
  if (!opened) {
    std::fprintf(stderr, "varnel_view_bench: cannot open the region to read: %s\n", opened.error.c_str());
    return 1;
  }
  const kg::KnowledgeGraph& graph = opened.session->graph();

  varnel::demo::Scene scene(1, 24);
  varnel::demo::SceneWriter writer(api, handle, {varnel::demo::WritePattern::Update, false});
  Tick tick{api, scene, writer};
  kg::SceneReader reader(graph);

  std::printf("%8s %10s %9s %12s %12s %12s %12s %12s %12s %12s %10s\n", "ticks", "versions", "items",
              "reader us", "fresh us", "per-kind us", "as-of us", "as-of-3s us", "reader -3s", "history us", "car 1 v");
  // The scene's node payloads fill after about 830 ticks (83 s of history).
  const std::uint64_t checkpoints[] = {10, 100, 150, 300, 450, 600, 700};
  bool full = false;
  for (const std::uint64_t checkpoint : checkpoints) {
    while (tick.count < checkpoint && !full) full = !tick.write();
    if (full) break;
    std::vector<double> incremental, fresh, per_kind, as_of, recent, reader_recent, history;
    std::size_t items = 0;
    (void)reader.view();
    for (int read = 0; read < kReads && !full; ++read) {
      full = !tick.write();
      auto start = Clock::now();
      {
        const kg::SceneView view = reader.view();
        const auto nodes = view.all_nodes();
        const auto relations = view.all_relations();
        items = nodes.size() + relations.size();
      }
      incremental.push_back(micros(Clock::now() - start));
      start = Clock::now();
      {
        const kg::SceneView view(graph);
        const auto nodes = view.all_nodes();
        const auto relations = view.all_relations();
      }
      fresh.push_back(micros(Clock::now() - start));
      start = Clock::now();
      {
        const auto nodes = graph.get_all_nodes(interval_algebra::Interval::eternity());
        const auto relations = graph.get_all_relations(interval_algebra::Interval::eternity());
      }
      per_kind.push_back(micros(Clock::now() - start));
      start = Clock::now();
      {
        const kg::SceneView view(graph);
        const std::uint64_t middle = view.last_update() / 2;
        const auto nodes = view.all_nodes_as_of(middle);
        const auto relations = view.all_relations_as_of(middle);
      }
      as_of.push_back(micros(Clock::now() - start));
      start = Clock::now();
      {
        const kg::SceneView view(graph);
        const std::uint64_t t = view.last_update() > 3000 ? view.last_update() - 3000 : 0;
        const auto nodes = view.all_nodes_as_of(t);
        const auto relations = view.all_relations_as_of(t);
      }
      recent.push_back(micros(Clock::now() - start));
      full = full || !tick.write();
      start = Clock::now();
      {
        const kg::SceneView view = reader.view();
        const std::uint64_t t = view.last_update() > 3000 ? view.last_update() - 3000 : 0;
        const auto nodes = view.all_nodes_as_of(t);
        const auto relations = view.all_relations_as_of(t);
      }
      reader_recent.push_back(micros(Clock::now() - start));
      start = Clock::now();
      {
        const kg::SceneView view(graph);
        const auto versions = view.history(kg::NodeIndex(kg::NodeKind::Car, 1));
      }
      history.push_back(micros(Clock::now() - start));
    }
    if (incremental.empty()) break;
    const kg::SceneView view(graph);
    std::uint64_t versions = 0;
    for (std::uint64_t k = 0; k < kg::kNodeKinds; ++k) versions += view.versions(static_cast<kg::NodeKind>(k));
    for (std::uint64_t k = 0; k < kg::kRelationKinds; ++k)
      versions += view.versions(static_cast<kg::RelationKind>(k));
    const std::size_t car_versions = view.history(kg::NodeIndex(kg::NodeKind::Car, 1)).size();
    std::printf("%8llu %10llu %9zu %12.1f %12.1f %12.1f %12.1f %12.1f %12.1f %12.1f %10zu\n",
                static_cast<unsigned long long>(tick.count), static_cast<unsigned long long>(versions),
                items, median(incremental), median(fresh), median(per_kind), median(as_of),
                median(recent), median(reader_recent), median(history), car_versions);
  }
  api.set_autocommit(1, handle);
  api.reset_knowledge_graph(handle);
  api.release_knowledge_graph(handle);
  return 0;
}
