// A host that runs indefinitely: the demo's scene (24 cars, 10 ticks/s) written
// through the C library until the graph is nearly full, then either compacted to
// its last 5 s of history or reset and the scene rebuilt, as varnel-demo does
// with and without --window. Both in one run, many cycles each; a reader
// process meanwhile times every read it makes, to show how long a compaction
// can hold a reader up.
//
// Usage: varnel_window_bench [cycles (default 30)] [window ms (default 5000)]
// Run it on a private /dev/shm: it maps the region "KnowledgeGraph".
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "graph_session/graph_session.hpp"
#include "host_library.hpp"
#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "scene.hpp"
#include "scene_writer.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using varnel::demo::SceneWriter;

double elapsed_ms(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// This thread's CPU time: on a shared machine the wall time also counts the
// time other processes held the cores.
double cpu_ms() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// The time of every compaction the library's history window makes: it compacts
// when a batch starts, so the batch starts are timed through a wrapped export and
// kept when the compaction count moved.
std::vector<double> compaction_ms, compaction_cpu_ms;
decltype(&::start_transaction) real_start = nullptr;
decltype(&::get_history_compactions) compactions_of = nullptr;
void timed_start(KnowledgeGraphHandle* handle) {
  const std::uint64_t before = compactions_of(handle);
  const auto start = Clock::now();
  const double cpu_start = cpu_ms();
  real_start(handle);
  const double cpu = cpu_ms() - cpu_start, wall = elapsed_ms(start);
  if (compactions_of(handle) != before) {
    compaction_cpu_ms.push_back(cpu);
    compaction_ms.push_back(wall);
  }
}

struct Figures {
  std::vector<double> special;  // the compactions, or the resetting ticks
  std::vector<double> special_cpu;
  std::vector<double> whole;    // the ticks that compacted or reset, in full
  std::vector<double> plain;    // the other ticks
  std::vector<std::uint64_t> kept;
};

// Runs ticks until `cycles` compactions (window > 0) or resets have happened.
Figures run(const varnel::demo::VarnelApi& api, KnowledgeGraphHandle* handle, std::uint64_t window,
            int cycles) {
  Figures figures;
  api.reset_knowledge_graph(handle);
  api.set_autocommit(0, handle);
  varnel::demo::Scene scene(1, 24);
  varnel::demo::WriterOptions options;
  options.window_ms = window;
  SceneWriter writer(api, handle, options);
  compaction_ms.clear();
  compaction_cpu_ms.clear();
  const double period = 0.1;
  for (std::uint64_t tick = 0; static_cast<int>(window > 0 ? writer.compactions() : writer.resets()) <= cycles;
       ++tick) {
    const auto timestamp = static_cast<std::uint64_t>(tick * 100);
    if (tick > 0) scene.step(period);
    const auto start = Clock::now();
    const double cpu_start = cpu_ms();
    const varnel::demo::TickOutcome outcome = writer.write_tick(scene, timestamp);
    const double ms = elapsed_ms(start), cpu = cpu_ms() - cpu_start;
    if (!outcome.committed) std::fprintf(stderr, "tick %llu not written\n", (unsigned long long)tick);
    if (tick == 0) continue;  // the first tick builds the scene
    if (outcome.compacted) {
      figures.whole.push_back(ms);
      figures.kept.push_back(api.get_node_count(handle) + api.get_relation_count(handle));
    } else if (outcome.reset) {
      figures.whole.push_back(ms);
      figures.special.push_back(ms);
      figures.special_cpu.push_back(cpu);
    } else {
      figures.plain.push_back(ms);
    }
  }
  if (window > 0) {
    figures.special = compaction_ms;
    figures.special_cpu = compaction_cpu_ms;
  }
  api.set_autocommit(1, handle);
  return figures;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(at, values.size() - 1)];
}

void print(const char* what, const std::vector<double>& ms) {
  std::printf("  %-44s n=%4zu  median %8.3f ms  p99 %8.3f ms  max %8.3f ms\n", what, ms.size(),
              percentile(ms, 0.5), percentile(ms, 0.99),
              ms.empty() ? 0.0 : *std::max_element(ms.begin(), ms.end()));
}

// A reader process: reads the node count (a snapshot) in a loop, and now and then
// one kind's instances; reports the longest of each and how many snapshots took
// over 1 ms (those a compaction held up).
[[noreturn]] void reader(int report) {
  auto opened = graph_session::GraphSession::open_reader();
  if (!opened) _exit(2);
  const auto& graph = opened.session->graph();
  double longest_snapshot = 0, longest_query = 0;
  std::uint64_t reads = 0, slow = 0;
  for (;;) {
    auto start = Clock::now();
    (void)graph.node_count();
    double ms = elapsed_ms(start);
    longest_snapshot = std::max(longest_snapshot, ms);
    slow += ms > 1.0;
    if (++reads % 1000 == 0) {  // now and then a query that a compaction restarts
      start = Clock::now();
      (void)graph.get_nodes_of_type(interval_algebra::Interval::eternity(), 1);
      ms = elapsed_ms(start);
      longest_query = std::max(longest_query, ms);
    }
    char stop = 0;
    if (read(report, &stop, 1) == 1) break;  // the parent says stop
  }
  std::printf("  reader process: %llu snapshots; longest snapshot %.3f ms, longest Car query %.3f ms; "
              "%llu snapshots over 1 ms\n",
              (unsigned long long)reads, longest_snapshot, longest_query, (unsigned long long)slow);
  std::fflush(stdout);
  _exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  const int cycles = argc > 1 ? std::atoi(argv[1]) : 30;
  const std::uint64_t window = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 5000;
  std::string error;
  auto library = varnel::demo::HostLibrary::open(varnel::demo::default_library_path(), error);
  if (!library) {
    std::fprintf(stderr, "cannot load the library: %s\n", error.c_str());
    return 2;
  }
  varnel::demo::VarnelApi api = library->api();
  real_start = api.start_transaction;
  compactions_of = api.get_history_compactions;
  api.start_transaction = timed_start;
  KnowledgeGraphHandle* handle = api.initialize_knowledge_graph();
  if (handle == nullptr) return 3;

  // The reader reads the pipe without blocking: a byte means stop.
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) return 4;
  const pid_t child = fork();
  if (child == 0) {
    close(pipe_ends[1]);
    fcntl(pipe_ends[0], F_SETFL, O_NONBLOCK);
    reader(pipe_ends[0]);
  }
  close(pipe_ends[0]);

  std::printf("demo scene, 24 cars, 10 ticks/s; %d cycles each; window %.1f s\n", cycles,
              static_cast<double>(window) / 1000.0);
  const Figures compacting = run(api, handle, window, cycles);
  const Figures resetting = run(api, handle, 0, cycles);
  std::uint64_t kept_min = ~0ull, kept_max = 0;
  for (std::uint64_t k : compacting.kept) kept_min = std::min(kept_min, k), kept_max = std::max(kept_max, k);
  std::printf("compacting to the window (versions kept: %llu to %llu):\n",
              (unsigned long long)kept_min, (unsigned long long)kept_max);
  print("compaction (at a batch start), wall", compacting.special);
  print("compaction (at a batch start), CPU", compacting.special_cpu);
  print("tick that compacted (compaction + the tick)", compacting.whole);
  print("other ticks", compacting.plain);
  std::printf("resetting:\n");
  print("tick that reset (reset + rebuilding the scene)", resetting.whole);
  print("tick that reset, CPU", resetting.special_cpu);
  print("other ticks", resetting.plain);
  std::fflush(stdout);

  const char stop = 1;
  if (write(pipe_ends[1], &stop, 1) != 1) kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  api.release_knowledge_graph(handle);
  return 0;
}
