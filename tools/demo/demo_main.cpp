// varnel-demo: a host that drives a moving road-traffic scene into the shared
// graph through the C interface, one transaction per tick.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <exception>
#include <thread>
#include <vector>

#include "graph_session/graph_session.hpp"
#include "host_library.hpp"
#include "scene.hpp"
#include "scene_writer.hpp"

namespace {

std::atomic<bool> g_stop{false};
extern "C" void on_signal(int) { g_stop = true; }

// Why the library could not set the region up. It logs the reason, but this host
// installs no logger, so the region's objects are examined again here, read-only,
// to name the one at fault.
std::string why_no_region() {
  namespace mi = shared_memory_interface::memory_interface;
  const auto reader = graph_session::GraphSession::open_reader();
  if (!reader.session && reader.refusal != mi::Refusal::Missing) return reader.error;
  const mi::WriterProbe probe = mi::probe_writer(graph_session::kRegionName);
  if (probe.refusal != mi::Refusal::None)
    return "its writer lock: " + mi::describe_writer_probe(graph_session::kRegionName, probe);
  return "out of shared memory, a smaller region of that name, or one of its objects (on Linux "
         "/dev/shm/KnowledgeGraph, .lock, .writer) owned by another user, open to others or not a "
         "shared memory object; remove those objects or run as their owner";
}

struct Options {
  double rate = 10.0;
  int cars = 24;
  double duration = 0.0;
  std::uint64_t seed = 1;
  std::string library = varnel::demo::default_library_path();
  std::string pattern = "update";
  double window = 0.0;
};

// `versions_per_tick`: node and relation versions appended per tick since the last line.
void print_progress(const varnel::demo::VarnelApi& api, KnowledgeGraphHandle* handle,
                    std::uint64_t tick, std::uint64_t timestamp, const varnel::demo::Scene& scene,
                    const varnel::demo::SceneWriter& writer, double versions_per_tick,
                    std::uint64_t window_ms) {
  std::string fullest;
  const double fill = writer.usage().fill(&fullest);
  std::printf("tick %6llu  t=%8.1fs  nodes %6llu  relations %6llu  cars %3d  pedestrians %d  "
              "versions/tick %5.1f  ",
              static_cast<unsigned long long>(tick), static_cast<double>(timestamp) / 1000.0,
              static_cast<unsigned long long>(api.get_node_count(handle)),
              static_cast<unsigned long long>(api.get_relation_count(handle)), scene.car_count(),
              scene.pedestrian_count(), versions_per_tick);
  if (window_ms > 0)  // the library keeps the room: the history its last compaction held
    std::printf("history held %.1f s  compactions %llu  resets %llu\n",
                static_cast<double>(api.get_history_held(handle)) / 1000.0,
                static_cast<unsigned long long>(writer.compactions()),
                static_cast<unsigned long long>(writer.resets()));
  else
    std::printf("fill %3.0f%% (%s)  resets %llu\n", fill * 100.0, fullest.c_str(),
                static_cast<unsigned long long>(writer.resets()));
  std::fflush(stdout);
}

int run(const Options& options) {
  std::string error;
  auto library = varnel::demo::HostLibrary::open(options.library, error);
  if (!library) {
    std::fprintf(stderr, "varnel-demo: cannot load %s: %s\n  (build it first, or name it with --library PATH)\n",
                 options.library.c_str(), error.c_str());
    return 2;
  }
  const varnel::demo::VarnelApi& api = library->api();
  KnowledgeGraphHandle* handle = api.initialize_knowledge_graph();
  if (handle == nullptr) {
    std::fprintf(stderr, "varnel-demo: the region \"KnowledgeGraph\" cannot be set up: %s\n",
                 why_no_region().c_str());
    return 3;
  }
  std::printf("varnel-demo: region \"KnowledgeGraph\" ready; %d cars, %.1f ticks/s, seed %llu, "
              "%s pattern%s\n",
              options.cars, options.rate, static_cast<unsigned long long>(options.seed),
              options.pattern.c_str(),
              options.duration > 0 ? "" : "; Ctrl-C stops");
  std::fflush(stdout);

  api.set_autocommit(0, handle);
  varnel::demo::Scene scene(options.seed, options.cars);
  varnel::demo::WriterOptions writer_options;
  if (options.pattern == "re-add") writer_options.pattern = varnel::demo::WritePattern::ReAdd;
  writer_options.window_ms = static_cast<std::uint64_t>(std::llround(options.window * 1000.0));
  varnel::demo::SceneWriter writer(api, handle, writer_options);
  std::uint64_t versions_since_report = 0, ticks_since_report = 0;
  const double period = 1.0 / options.rate;
  auto started = std::chrono::steady_clock::now();
  const std::uint64_t ticks_per_report = std::max<std::uint64_t>(1, std::llround(options.rate));
  const std::uint64_t last_tick =
      options.duration > 0 ? static_cast<std::uint64_t>(std::llround(options.duration * options.rate)) : 0;

  bool refused = false;  // another process is the region's writer
  for (std::uint64_t tick = 0; !g_stop && (last_tick == 0 || tick < last_tick); ++tick) {
    // Host time in milliseconds of simulated time: the same for every run of a seed.
    const auto timestamp = static_cast<std::uint64_t>(std::llround(tick * period * 1000.0));
    if (tick > 0) scene.step(period);
    const varnel::demo::TickOutcome outcome = writer.write_tick(scene, timestamp);
    if (outcome.compacted)
      std::printf("varnel-demo: graph running low; the library's window compacted it at tick %llu, "
                  "holding the last %.1f s (window %.1f s): %llu node and %llu relation versions\n",
                  static_cast<unsigned long long>(tick),
                  static_cast<double>(api.get_history_held(handle)) / 1000.0, options.window,
                  static_cast<unsigned long long>(api.get_node_count(handle)),
                  static_cast<unsigned long long>(api.get_relation_count(handle)));
    const bool not_writer = !outcome.committed &&
                            api.get_last_write_result(handle) == VARNEL_WRITE_NOT_WRITER;
    if (not_writer) {
      if (!refused)
        std::fprintf(stderr,
                     "varnel-demo: REFUSED: another process is writing the region "
                     "\"KnowledgeGraph\"; this host stores nothing (write result %u, not the "
                     "writer). It tries again every tick and takes over when that writer ends.\n",
                     VARNEL_WRITE_NOT_WRITER);
      refused = true;
    } else if (refused && outcome.committed) {
      std::printf("varnel-demo: the other writer has gone; this host writes the scene now "
                  "(the graph was emptied first)\n");
      refused = false;
    }
    if (not_writer) {
      if (tick % ticks_per_report == 0) {
        std::printf("tick %6llu  not the writer: nothing stored\n",
                    static_cast<unsigned long long>(tick));
        std::fflush(stdout);
      }
    } else if (outcome.reset && tick > 0)
      std::printf("varnel-demo: graph %s; reset it and re-added the scene at tick %llu\n",
                  !outcome.refusal.empty()     ? ("refused a write: " + outcome.refusal).c_str()
                  : writer_options.window_ms > 0 ? "too small for the present scene (the library reset it)"
                                                 : "nearly full",
                  static_cast<unsigned long long>(tick));
    if (!outcome.committed && !not_writer)
      std::fprintf(stderr, "varnel-demo: tick %llu could not be written: %s\n",
                   static_cast<unsigned long long>(tick), outcome.refusal.c_str());
    if (!not_writer) {
      versions_since_report += outcome.versions;
      ++ticks_since_report;
    }
    if (!not_writer && tick % ticks_per_report == 0) {
      print_progress(api, handle, tick, timestamp, scene, writer,
                     static_cast<double>(versions_since_report) /
                         static_cast<double>(std::max<std::uint64_t>(ticks_since_report, 1)),
                     writer_options.window_ms);
      versions_since_report = ticks_since_report = 0;
    }
    // A host that falls behind (a loaded machine) skips ahead instead of bursting.
    auto next = started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(period * static_cast<double>(tick + 1)));
    const auto now = std::chrono::steady_clock::now();
    if (now > next + std::chrono::seconds(1)) {
      started += now - next;
      next = now;
    }
    std::this_thread::sleep_until(next);
  }

  api.set_autocommit(1, handle);
  std::printf("varnel-demo: stopped; %llu resets, %llu compactions; releasing the region\n",
              static_cast<unsigned long long>(writer.resets()),
              static_cast<unsigned long long>(writer.compactions()));
  if (!writer.compaction_ms().empty()) {
    std::vector<double> ms = writer.compaction_ms();
    std::sort(ms.begin(), ms.end());
    std::printf("varnel-demo: compaction (tick's first call, wall) median %.3f ms, max %.3f ms "
                "over %zu; history held %.1f s of a %.1f s window\n",
                ms[ms.size() / 2], ms.back(), ms.size(),
                static_cast<double>(api.get_history_held(handle)) / 1000.0, options.window);
  }
  api.release_knowledge_graph(handle);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"varnel-demo: drives a moving road-traffic scene into the shared graph "
               "\"KnowledgeGraph\" through varnel_interface, one transaction per tick."};
  Options options;
  app.add_option("--rate", options.rate, "Ticks per second")->check(CLI::Range(0.1, 1000.0));
  app.add_option("--cars", options.cars, "Cars in the scene")->check(CLI::Range(0, 200));
  app.add_option("--duration", options.duration, "Seconds to run; 0 runs until Ctrl-C")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--seed", options.seed, "Seed of the scene; a seed always gives the same scene");
  app.add_option("--library", options.library, "Path of the varnel_interface library to load");
  app.add_option("--window", options.window,
                 "Seconds of history to keep: the library's history window "
                 "(set_history_window) drops older history when the graph runs low, keeping "
                 "less when it must, and resets only when the present scene does not fit; "
                 "0 resets when full")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--pattern", options.pattern,
                 "How a changed node is written: update (keeps its relations) or re-add (add_*_node, "
                 "then its relations again; for comparison)")
      ->check(CLI::IsMember({"update", "re-add"}));
  CLI11_PARSE(app, argc, argv);
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  try {
    return run(options);
  } catch (const std::exception& error) {  // an error line and a status, never an abort
    std::fprintf(stderr, "varnel-demo: unexpected error: %s\n", error.what());
  } catch (...) {
    std::fprintf(stderr, "varnel-demo: unexpected error\n");
  }
  return 2;
}
