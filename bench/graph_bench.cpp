// Benchmarks of the graph: writes, reads, the C library's set-up, the time until
// a reader in another process sees a write, and LMDB on tmpfs doing equivalent
// work in the same run. Lookup-heavy cases run twice: with the lookup index
// ("Indexed") and with it detached ("Scan"), which is the graph as it was.
#include <benchmark/benchmark.h>
#include <lmdb.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "graph_session/graph_session.hpp"
#include "knowledge_graph/graph/iterators.hpp"
#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/lookup_index.hpp"
#include "knowledge_graph/graph/recorder_link.hpp"
#include "knowledge_graph/graph/scene_view.hpp"
#include "varnel_interface.h"
#if defined(VARNEL_BENCH_RECORDER)
#include "recorder.hpp"
#endif

namespace {

using namespace knowledge_graph::graph;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kCar = 1, kLane = 6, kIsOn = 9;

KnowledgeGraphNode node_of_kind(std::uint64_t kind) {
  KnowledgeGraphNode value;
  value.tag = kind;
  return value;
}
KnowledgeGraphRelation relation_of_kind(std::uint64_t kind) {
  KnowledgeGraphRelation value;
  value.tag = kind;
  return value;
}

// Private graphs: 0 for the writes, 1 and 2 for the reads; the index attached or not.
KnowledgeGraph& graph(bool indexed, int which = 0) {
  static KnowledgeGraph::Boxed graphs[3] = {KnowledgeGraph::new_boxed(), KnowledgeGraph::new_boxed(),
                                            KnowledgeGraph::new_boxed()};
  KnowledgeGraph& g = *graphs[which];
  void* index_bytes = reinterpret_cast<unsigned char*>(&g) + lookup_index_offset();
  detach_lookup_index(g);
  if (indexed) attach_lookup_index(g, index_bytes);
  return g;
}

// 21,000 versions of `kind` for `instances` instances: add_node while values last,
// then relations between neighbours (two versions each).
void fill_kind(KnowledgeGraph& g, std::uint64_t kind, std::uint64_t instances,
               std::uint64_t first_id) {
  g.set_autocommit(true);
  g.clear();
  std::uint64_t t = 0;
  if (first_id != 0) g.add_node(++t, first_id, node_of_kind(kind));
  const std::uint64_t adds = 19000 - (first_id != 0);
  for (std::uint64_t i = 0; i < adds; ++i) g.add_node(++t, i % instances, node_of_kind(kind));
  for (std::uint64_t i = 0; i < 1000; ++i)
    g.add_relation(++t, i, relation_of_kind(kIsOn), Index(kind, i % instances),
                   Index(kind, (i + 1) % instances));
}

KnowledgeGraph& fresh_graph(bool indexed) {
  KnowledgeGraph& g = graph(indexed);
  g.set_autocommit(true);
  g.clear();
  return g;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// ---- Writes ----

// One add_node of a new car per iteration; a full kind is cleared outside the timing.
void add_nodes(benchmark::State& state, KnowledgeGraph& g) {
  std::uint64_t t = 0;
  for (auto _ : state) {
    ++t;
    if (g.add_node(t, t, node_of_kind(kCar)).status != WriteStatus::Stored) {
      state.PauseTiming();
      g.clear();
      state.ResumeTiming();
    }
  }
}

void BM_AddNode(benchmark::State& state) { add_nodes(state, fresh_graph(state.range(0) != 0)); }
BENCHMARK(BM_AddNode)->ArgName("indexed")->Arg(0)->Arg(1);

// The floor under add_node: copying the bytes one add_node writes (its value, its
// version record and a bookkeeping buffer) into the next slots of arrays as large
// as the graph's, and flipping a word. add_node in the same run, divided by this,
// is what the write costs beyond moving its bytes. hot:1 copies into one slot
// over and over (cache-resident): the lower bound no append can reach.
void BM_AddNodeFloor(benchmark::State& state) {
  struct Arrays {
    NodeRecord records[kNodeVersionsPerKind];
    KnowledgeGraphNode values[kNodeValues];
    GraphIndices indices[2];
    std::uint64_t active;
  };
  static Arrays* arrays = static_cast<Arrays*>(std::calloc(1, sizeof(Arrays)));
  NodeRecord record{};
  record.marker = Marker::Valid;
  const KnowledgeGraphNode value = node_of_kind(kCar);
  GraphIndices working{};
  const bool hot = state.range(0) != 0;  // 1: the same slot every time, always in cache
  std::uint64_t slot = 0;
  for (auto _ : state) {
    if (slot == 19000 || hot) slot = 0;
    record.timestamp = record.instance_id = slot;
    record.value_index = slot;
    working.node_index_tail[kCar] = slot + 1;
    std::memcpy(&arrays->values[slot], &value, sizeof value);
    std::memcpy(&arrays->records[slot], &record, sizeof record);
    std::memcpy(&arrays->indices[1 - arrays->active], &working, sizeof working);
    std::atomic_ref<std::uint64_t>(arrays->active).exchange(1 - arrays->active);
    benchmark::ClobberMemory();
    ++slot;
  }
}
BENCHMARK(BM_AddNodeFloor)->ArgName("hot")->Arg(0)->Arg(1);

#if defined(VARNEL_BENCH_RECORDER)
// The first two cores this process may run on, or nothing when it has one.
std::optional<std::pair<int, int>> two_cores() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return std::nullopt;
  int first = -1;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &allowed)) continue;
    if (first < 0) {
      first = cpu;
    } else {
      return std::pair<int, int>(first, cpu);
    }
  }
  return std::nullopt;
}

void pin_to(std::thread::native_handle_type thread, int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  pthread_setaffinity_np(thread, sizeof set, &set);
}

// The calling thread on the first of two cores while this lives (its affinity
// put back after); the other side of a benchmark goes on `cores->second`.
struct CorePair {
  std::optional<std::pair<int, int>> cores = two_cores();
  cpu_set_t was;
  bool pinned = false;
  CorePair() {
    CPU_ZERO(&was);
    pinned = cores && pthread_getaffinity_np(pthread_self(), sizeof was, &was) == 0;
    if (pinned) pin_to(pthread_self(), cores->first);
  }
  ~CorePair() {
    if (pinned) pthread_setaffinity_np(pthread_self(), sizeof was, &was);
  }
  CorePair(const CorePair&) = delete;
  CorePair& operator=(const CorePair&) = delete;
};

// add_node on an indexed graph with a recorder link: none attached (the writer's
// hook costs a load or two), or a recorder on another thread that copies every
// publication out and acknowledges it, polling as `varnel-inspect record` does.
// Given two cores, the writer and the recorder each get one, as two processes
// would on an idle machine; the writer's CPU time is what the row compares.
// recorder:2 is the control: no recorder, but a thread on the other core that reads
// through memory of its own as fast as it can, so that what such a neighbour costs
// the writer on this machine (shared caches and memory bandwidth) is told apart
// from what the recorder's reads of the writer's own lines cost it.
void BM_AddNodeRecorded(benchmark::State& state) {
  const CorePair pair;
  static KnowledgeGraph::Boxed boxed = KnowledgeGraph::new_boxed();
  static auto* link = static_cast<RecorderLink*>(std::aligned_alloc(64, sizeof(RecorderLink)));
  std::memset(static_cast<void*>(link), 0, sizeof(RecorderLink));
  KnowledgeGraph& g = *boxed;
  attach_recorder_link(g, link);
  g.set_autocommit(true);
  g.clear();
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> recorded{0};
  varnel::record::LiveRecorder recorder(g, *link);
  std::thread follower;
  if (state.range(0) == 2) {
    follower = std::thread([&] {
      // Its own 64 MB, read through as the recorder reads the versions: no line
      // the writer touches, the same kind of traffic to memory.
      std::vector<std::uint64_t> own(std::size_t{8} << 20, 1);
      std::uint64_t sum = 0;
      while (!stop.load(std::memory_order_relaxed))
        for (std::size_t i = 0; i < own.size() && !stop.load(std::memory_order_relaxed); i += 8) sum += own[i];
      benchmark::DoNotOptimize(sum);
    });
    if (pair.pinned) pin_to(follower.native_handle(), pair.cores->second);
  } else if (state.range(0) != 0) {
    std::string error;
    if (!recorder.attach(kRecorderDefaultWaitMicros, error)) state.SkipWithError(error.c_str());
    auto sink = [&](const varnel::record::Publication& p) {
      recorded.fetch_add(p.nodes.size() + p.relations.size(), std::memory_order_relaxed);
    };
    recorder.start(sink);
    follower = std::thread([&, sink] {
      while (!stop.load(std::memory_order_relaxed))
        if (recorder.poll(sink, varnel::record::LiveRecorder::kFollowTrail) == 0)
          std::this_thread::sleep_for(std::chrono::microseconds(200));
      while (recorder.poll(sink) != 0) {
      }
    });
    if (pair.pinned) pin_to(follower.native_handle(), pair.cores->second);
  }
  add_nodes(state, g);
  stop = true;
  if (follower.joinable()) follower.join();
  recorder.detach();
  detach_recorder_link(g);
  state.counters["gaps"] = static_cast<double>(recorder.gaps());
  state.counters["recorded"] = static_cast<double>(recorded.load());
  state.counters["cores"] = pair.pinned ? 2 : 1;
}
BENCHMARK(BM_AddNodeRecorded)->ArgName("recorder")->Arg(0)->Arg(1)->Arg(2)->UseRealTime();

// The same as users run it: the writer on a region of its own (a graph session),
// the recorder in another process (a recorder session, polling as `varnel-inspect
// record` does), each pinned to a core of its own. recorder:0 is the same writer
// with no recorder attached. The CPU time is the writer process's alone.
void BM_AddNodeRecordedAcrossProcesses(benchmark::State& state) {
  const CorePair pair;
  // One region for every repetition, its pages touched once before any timing
  // (a fresh region's first pass through its arrays is page faults).
  static graph_session::Options options;
  static auto writer = [] {
    options.name = "varnel-bench-recorded-" + std::to_string(getpid());
    auto opened = graph_session::GraphSession::open_writer(options);
    if (opened && opened.session->role() == graph_session::Role::Writer) {
      KnowledgeGraph& g = opened.session->graph();
      g.set_autocommit(true);
      for (std::uint64_t t = 1; g.add_node(t, t, node_of_kind(kCar)).stored(); ++t) {
      }
    }
    return opened;
  }();
  if (!writer || writer.session->role() != graph_session::Role::Writer)
    return state.SkipWithError("no region");
  KnowledgeGraph& g = writer.session->graph();
  g.set_autocommit(true);
  g.clear();
  struct Shared {
    std::atomic<int> state;  // 0 starting, 1 recording, 2 stop, -1 failed
    std::atomic<std::uint64_t> recorded, gaps;
  };
  void* bytes = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  auto* shared = new (bytes) Shared{};
  pid_t child = -1;
  if (state.range(0) != 0) {
    child = fork();
    if (child == 0) {
      if (pair.pinned) pin_to(pthread_self(), pair.cores->second);
      auto opened = graph_session::GraphSession::open_recorder(options);
      RecorderLink* link = opened ? region_recorder_link(&opened.session->graph(), opened.session->view_size())
                                  : nullptr;
      if (link == nullptr) {
        shared->state.store(-1);
        _exit(1);
      }
      varnel::record::LiveRecorder recorder(opened.session->graph(), *link);
      std::string error;
      if (!recorder.attach(kRecorderDefaultWaitMicros, error)) {
        shared->state.store(-1);
        _exit(1);
      }
      auto sink = [&](const varnel::record::Publication& p) {
        shared->recorded.fetch_add(p.nodes.size() + p.relations.size(), std::memory_order_relaxed);
      };
      recorder.start(sink);
      shared->state.store(1);
      while (shared->state.load(std::memory_order_relaxed) == 1)
        if (recorder.poll(sink, varnel::record::LiveRecorder::kFollowTrail) == 0)
          std::this_thread::sleep_for(std::chrono::microseconds(200));
      while (recorder.poll(sink) != 0) {
      }
      shared->gaps.store(recorder.gaps());
      recorder.detach();
      _exit(0);
    }
    // Until the recorder is attached, or its process failed, ended or never began.
    for (int waited = 0; child > 0 && shared->state.load() == 0; ++waited) {
      if (waited == 10000 || waitpid(child, nullptr, WNOHANG) == child) {
        if (waited == 10000) kill(child, SIGKILL), waitpid(child, nullptr, 0);
        child = -1;
        shared->state.store(-1);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (child < 0) shared->state.store(-1);
    if (shared->state.load() < 0) state.SkipWithError("the recorder process could not attach");
  }
  if (shared->state.load() >= 0) add_nodes(state, g);
  shared->state.store(2);
  if (child > 0) waitpid(child, nullptr, 0);
  state.counters["gaps"] = static_cast<double>(shared->gaps.load());
  state.counters["recorded"] = static_cast<double>(shared->recorded.load());
  state.counters["cores"] = pair.pinned ? 2 : 1;
  munmap(bytes, sizeof(Shared));
}
BENCHMARK(BM_AddNodeRecordedAcrossProcesses)->ArgName("recorder")->Arg(0)->Arg(1)->UseRealTime();
#endif

// Both nodes' latest versions are the last two slots of their kinds.
void BM_AddRelationNearTail(benchmark::State& state) {
  KnowledgeGraph& g = fresh_graph(state.range(0) != 0);
  std::uint64_t t = 0, id = 0;
  const auto setup = [&] {
    g.clear();
    g.add_node(++t, 1, node_of_kind(kCar));
    g.add_node(++t, 2, node_of_kind(kLane));
  };
  setup();
  for (auto _ : state) {
    if (!g.add_relation(++t, ++id % 30, relation_of_kind(kIsOn), Index(kCar, 1), Index(kLane, 2))
             .stored()) {
      state.PauseTiming();
      setup();
      state.ResumeTiming();
    }
  }
}
BENCHMARK(BM_AddRelationNearTail)->ArgName("indexed")->Arg(0)->Arg(1);

// Cars and lanes fill their kinds; each relation joins a car and a lane whose
// latest versions lie thousands of slots below the tails.
struct DeepGraph {
  static constexpr std::uint64_t kCars = 10000, kLanes = 9900;
  KnowledgeGraph* g;
  std::uint64_t next = 0, t = 0;
  void fill() {
    g->clear();
    for (std::uint64_t i = 0; i < kCars; ++i) g->add_node(++t, i, node_of_kind(kCar));
    for (std::uint64_t i = 0; i < kLanes; ++i) g->add_node(++t, i, node_of_kind(kLane));
    next = 0;
  }
};

// One untimed pass through every slot the deep benchmark writes, on the graph
// both variants share: neither pays first-touch page faults inside the timing.
void prefault_deep_slots() {
  static bool done = false;
  if (done) return;
  done = true;
  DeepGraph deep{&fresh_graph(true)};
  deep.fill();
  for (std::uint64_t i = 0; i < DeepGraph::kLanes; ++i)
    deep.g->add_relation(++deep.t, i, relation_of_kind(kIsOn), Index(kCar, i), Index(kLane, i));
}

void BM_AddRelationDeep(benchmark::State& state) {
  prefault_deep_slots();
  DeepGraph deep{&fresh_graph(state.range(0) != 0)};
  deep.fill();
  for (auto _ : state) {
    if (deep.next >= DeepGraph::kLanes) {
      state.PauseTiming();
      deep.fill();
      state.ResumeTiming();
    }
    const std::uint64_t i = deep.next++;
    benchmark::DoNotOptimize(
        deep.g->add_relation(++deep.t, i, relation_of_kind(kIsOn), Index(kCar, i), Index(kLane, i)));
  }
}
BENCHMARK(BM_AddRelationDeep)->ArgName("indexed")->Arg(0)->Arg(1);

void BM_RemoveRelation(benchmark::State& state) {
  KnowledgeGraph& g = fresh_graph(state.range(0) != 0);
  constexpr std::uint64_t kPairs = 3000;
  std::uint64_t t = 0, next = kPairs;
  for (auto _ : state) {
    if (next == kPairs) {
      state.PauseTiming();
      g.clear();
      for (std::uint64_t i = 0; i < kPairs; ++i) {
        g.add_node(++t, i, node_of_kind(kCar));
        g.add_node(++t, i, node_of_kind(kLane));
        g.add_relation(++t, i, relation_of_kind(kIsOn), Index(kCar, i), Index(kLane, i));
      }
      next = 0;
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(g.remove_relation(++t, Index(kIsOn, next++)));
  }
}
BENCHMARK(BM_RemoveRelation)->ArgName("indexed")->Arg(0)->Arg(1);

// A hub car with 40 outgoing and 40 incoming relations, buried under filler
// versions in its kinds (node kinds near capacity). Only remove_node is timed.
void BM_RemoveNode80Relations(benchmark::State& state) {
  KnowledgeGraph& g = fresh_graph(state.range(0) != 0);
  std::uint64_t t = 0;
  for (auto _ : state) {
    g.clear();
    g.add_node(++t, 0, node_of_kind(kCar));
    for (std::uint64_t i = 0; i < 80; ++i) {
      g.add_node(++t, 1 + i, node_of_kind(kLane));
      const Index hub(kCar, 0), lane(kLane, 1 + i);
      g.add_relation(++t, i, relation_of_kind(kIsOn), i < 40 ? hub : lane, i < 40 ? lane : hub);
    }
    for (std::uint64_t i = 0; i < 12000; ++i) g.add_node(++t, 1000 + i, node_of_kind(kCar));
    for (std::uint64_t i = 0; i < 7000; ++i) g.add_node(++t, 1000 + i, node_of_kind(kLane));
    for (std::uint64_t i = 0; i < 5000; ++i)
      g.add_relation(++t, 100 + i, relation_of_kind(kIsOn), Index(kCar, 1000 + i),
                     Index(kLane, 1000 + i));
    const Clock::time_point start = Clock::now();
    const bool removed = g.remove_node(++t, Index(kCar, 0)).value;
    state.SetIterationTime(seconds_since(start));
    if (!removed || g.get_latest_relation_record(Index(kIsOn, 79))->marker != Marker::Removed)
      state.SkipWithError("the hub was not removed with its relations");
  }
}
BENCHMARK(BM_RemoveNode80Relations)->ArgName("indexed")->Arg(0)->Arg(1)->UseManualTime()
    ->Iterations(4)->Unit(benchmark::kMicrosecond);

void BM_Transaction100Writes(benchmark::State& state) {
  KnowledgeGraph& g = fresh_graph(state.range(0) != 0);
  std::uint64_t t = 0, batch = 0;
  g.add_node(++t, 0, node_of_kind(kLane));
  for (auto _ : state) {
    if (++batch * 100 > 19000) {
      state.PauseTiming();
      g.clear();
      g.add_node(++t, 0, node_of_kind(kLane));
      batch = 1;
      state.ResumeTiming();
    }
    g.set_autocommit(false);
    g.start_transaction();
    for (std::uint64_t i = 0; i < 50; ++i) {
      g.add_node(++t, i, node_of_kind(kCar));
      g.add_relation(++t, i, relation_of_kind(kIsOn), Index(kCar, i), Index(kLane, 0));
    }
    g.commit_transaction();
    g.set_autocommit(true);
  }
}
BENCHMARK(BM_Transaction100Writes)->ArgName("indexed")->Arg(0)->Arg(1);

// ---- Reads ----

// Car kind full: 1,000 instances of 21 versions each; the lane kind empty.
KnowledgeGraph& full_kind_graph(bool indexed) {
  static bool built = false;
  if (!built) fill_kind(graph(true, 1), kCar, 1000, 0);  // built with the index kept
  built = true;
  return graph(indexed, 1);
}

void lookup_bench(benchmark::State& state, Index node) {
  KnowledgeGraph& g = full_kind_graph(state.range(0) != 0);
  for (auto _ : state) benchmark::DoNotOptimize(g.get_latest_node_record(node));
}
// Instance 0's latest version is the kind's last slot.
void BM_LookupHitNearTail(benchmark::State& state) { lookup_bench(state, Index(kCar, 0)); }
void BM_LookupMissFullKind(benchmark::State& state) { lookup_bench(state, Index(kCar, 123456)); }
BENCHMARK(BM_LookupHitNearTail)->ArgName("indexed")->Arg(0)->Arg(1);
BENCHMARK(BM_LookupMissFullKind)->ArgName("indexed")->Arg(0)->Arg(1);

// An instance whose only version is slot 0 of a kind full with 21,000 versions.
void BM_LookupHitSlot0FullKind(benchmark::State& state) {
  static bool built = false;
  if (!built) fill_kind(graph(true, 2), kLane, 1000, 7'000'000);
  built = true;
  KnowledgeGraph& g = graph(state.range(0) != 0, 2);
  if (g.snapshot().indices.node_index_tail[kLane] != kNodeVersionsPerKind ||
      g.get_latest_node_record(Index(kLane, 7'000'000)) != &g.node_records[kLane][0])
    state.SkipWithError("the kind is not full or the instance not at slot 0");
  for (auto _ : state) benchmark::DoNotOptimize(g.get_latest_node_record(Index(kLane, 7'000'000)));
}
BENCHMARK(BM_LookupHitSlot0FullKind)->ArgName("indexed")->Arg(0)->Arg(1);

void BM_LatestNodeValue(benchmark::State& state) {
  KnowledgeGraph& g = full_kind_graph(true);
  std::uint64_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(g.get_latest_node_value(Index(kCar, ++i % 1000)));
}
BENCHMARK(BM_LatestNodeValue);

// The reads as the plain walk does them (and as the kind queries did before they
// used the index): every version of the kind inside the interval, each Valid one
// copied into an ordered map keyed by instance id.
template <class Interval>
std::vector<NodeItem> walk_nodes_of_type(const KnowledgeGraph& g, const Interval& interval,
                                         std::uint64_t kind) {
  const Snapshot taken = g.snapshot();
  std::map<std::uint64_t, NodeItem> latest;
  for (std::uint64_t slot = 0; slot < taken.indices.node_index_tail[kind]; ++slot) {
    const NodeRecord& record = g.node_records[kind][slot];
    if (!interval.includes(record.timestamp)) continue;
    if (record.marker == Marker::Valid) {
      latest.insert_or_assign(record.instance_id, NodeItem{record, g.node_values[record.value_index]});
    } else {
      latest.erase(record.instance_id);
    }
  }
  std::vector<NodeItem> items;
  items.reserve(latest.size());
  for (auto& entry : latest) items.push_back(entry.second);
  return items;
}

// How the kind reads run: 0 the plain walk above, 1 the queries without the
// index (their own walk), 2 the queries with the index.
enum ReadVariant { kWalk = 0, kScan = 1, kIndexed = 2 };
const char* kVariantName = "variant";  // 0 walk, 1 scan, 2 indexed

interval_algebra::Interval newest_percent(const KnowledgeGraph& g, std::uint64_t kind) {
  const std::uint64_t tail = g.snapshot().indices.node_index_tail[kind];
  return interval_algebra::Interval::make(g.node_records[kind][tail - tail / 100].timestamp,
                                          g.node_records[kind][tail - 1].timestamp);
}

void nodes_of_type_bench(benchmark::State& state, bool window) {
  const auto variant = static_cast<ReadVariant>(state.range(0));
  KnowledgeGraph& g = full_kind_graph(variant == kIndexed);
  const auto interval = window ? newest_percent(g, kCar) : interval_algebra::Interval::eternity();
  const std::size_t want = walk_nodes_of_type(g, interval, kCar).size();
  for (auto _ : state) {
    auto items = variant == kWalk ? walk_nodes_of_type(g, interval, kCar)
                                  : g.get_nodes_of_type(interval, kCar);
    if (items.size() != want) state.SkipWithError("the answers differ");
  }
  state.counters["items"] = static_cast<double>(want);
}
void BM_NodesOfTypeFullKind(benchmark::State& state) { nodes_of_type_bench(state, false); }
void BM_NodesOfTypeNewestPercent(benchmark::State& state) { nodes_of_type_bench(state, true); }
BENCHMARK(BM_NodesOfTypeFullKind)->ArgName(kVariantName)->Arg(kWalk)->Arg(kScan)->Arg(kIndexed)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_NodesOfTypeNewestPercent)->ArgName(kVariantName)->Arg(kWalk)->Arg(kScan)
    ->Arg(kIndexed)->Unit(benchmark::kMicrosecond);

void all_nodes_bench(benchmark::State& state, KnowledgeGraph& g) {
  const auto variant = static_cast<ReadVariant>(state.range(0));
  const auto eternity = interval_algebra::Interval::eternity();
  const auto walk_all = [&] {
    std::vector<NodeItem> all;
    for (std::uint64_t kind = 0; kind < kNodeKinds; ++kind) {
      auto items = walk_nodes_of_type(g, eternity, kind);
      all.insert(all.end(), items.begin(), items.end());
    }
    return all;
  };
  const std::size_t want = walk_all().size();
  for (auto _ : state) {
    auto items = variant == kWalk ? walk_all() : g.get_all_nodes(eternity);
    if (items.size() != want) state.SkipWithError("the answers differ");
  }
  state.counters["items"] = static_cast<double>(want);
}

void BM_AllNodes(benchmark::State& state) {
  all_nodes_bench(state, full_kind_graph(state.range(0) == kIndexed));
}
BENCHMARK(BM_AllNodes)->ArgName(kVariantName)->Arg(kWalk)->Arg(kScan)->Arg(kIndexed)
    ->Unit(benchmark::kMicrosecond);

// Every node value and relation value used: 20,000 add_node over the 17 node
// kinds, then 20,000 relations, each appending two node versions (60,000 in all).
KnowledgeGraph& whole_graph(bool indexed) {
  static bool built = false;
  if (!built) {
    KnowledgeGraph& g = graph(true, 2);
    g.set_autocommit(true);
    g.clear();
    std::uint64_t t = 0;
    for (std::uint64_t i = 0; i < 20000; ++i) g.add_node(++t, i, node_of_kind(1 + i % 17));
    for (std::uint64_t i = 0; i < 20000; ++i) {
      const std::uint64_t a = (i * 7) % 20000, b = (i * 13 + 1) % 20000;
      g.add_relation(++t, i, relation_of_kind(1 + i % 16), Index(1 + a % 17, a),
                     Index(1 + b % 17, b));
    }
    built = true;
  }
  return graph(indexed, 2);
}

void BM_AllNodesWholeGraph(benchmark::State& state) {
  all_nodes_bench(state, whole_graph(state.range(0) == kIndexed));
}
BENCHMARK(BM_AllNodesWholeGraph)->ArgName(kVariantName)->Arg(kWalk)->Arg(kScan)->Arg(kIndexed)
    ->Unit(benchmark::kMicrosecond);

void iterator_bench(benchmark::State& state, bool window) {
  KnowledgeGraph& g = full_kind_graph(state.range(0) == kIndexed);
  const auto interval = window ? newest_percent(g, kCar) : interval_algebra::Interval::eternity();
  for (auto _ : state) {
    std::uint64_t count = 0;
    auto walk = g.nodes_iter(interval, kCar);
    while (auto item = walk.next()) ++count;
    benchmark::DoNotOptimize(count);
  }
}
void BM_IteratorWalkFullKind(benchmark::State& state) { iterator_bench(state, false); }
void BM_IteratorNewestPercent(benchmark::State& state) { iterator_bench(state, true); }
BENCHMARK(BM_IteratorWalkFullKind)->ArgName(kVariantName)->Arg(kScan)->Arg(kIndexed)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IteratorNewestPercent)->ArgName(kVariantName)->Arg(kScan)->Arg(kIndexed)
    ->Unit(benchmark::kMicrosecond);

void BM_ReaderSnapshot(benchmark::State& state) {
  KnowledgeGraph& g = full_kind_graph(true);
  for (auto _ : state) benchmark::DoNotOptimize(g.snapshot());
}
BENCHMARK(BM_ReaderSnapshot);

// ---- Lifecycle through the C library ----

// initialize_knowledge_graph per iteration, its release outside the timing.
void initialize_and_release(benchmark::State& state) {
  for (auto _ : state) {
    KnowledgeGraphHandle* handle = initialize_knowledge_graph();
    if (handle == nullptr) state.SkipWithError("no region");
    state.PauseTiming();
    release_knowledge_graph(handle);
    state.ResumeTiming();
  }
}

// New region: no other holder, so every release removes it.
void BM_InitializeNewRegion(benchmark::State& state) { initialize_and_release(state); }
BENCHMARK(BM_InitializeNewRegion)->Unit(benchmark::kMicrosecond);

void BM_InitializeExistingRegion(benchmark::State& state) {
  KnowledgeGraphHandle* holder = initialize_knowledge_graph();  // keeps the region alive
  initialize_and_release(state);
  release_knowledge_graph(holder);
}
BENCHMARK(BM_InitializeExistingRegion)->Unit(benchmark::kMicrosecond);

// ---- Visibility across processes ----

// The writer stamps each write's return; the reader, polling the published
// state, stamps the moment it sees the write's timestamp and hands it back.
struct PingPong {
  std::atomic<std::uint64_t> seen;
  std::atomic<std::int64_t> seen_at_ns;
  std::atomic<bool> ready;
};

std::int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

void BM_VisibilityAcrossProcesses(benchmark::State& state) {
  graph_session::Options options;
  options.name = "varnel-bench-" + std::to_string(getpid());
  auto writer = graph_session::GraphSession::open_writer(options);
  if (!writer || writer.session->role() != graph_session::Role::Writer)
    return state.SkipWithError("no region");
  KnowledgeGraph& g = writer.session->graph();
  void* shared = mmap(nullptr, sizeof(PingPong), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  auto* pp = new (shared) PingPong{};
  constexpr std::uint64_t kRounds = 20000;
  const pid_t child = fork();
  if (child == 0) {
    auto reader = graph_session::GraphSession::open_reader(options);
    if (!reader) _exit(1);
    const KnowledgeGraph& r = reader.session->graph();
    pp->ready.store(true);
    for (std::uint64_t expected = 1; expected <= kRounds; ++expected) {
      while (r.last_update() < expected) {
      }
      pp->seen_at_ns.store(now_ns(), std::memory_order_relaxed);
      pp->seen.store(expected, std::memory_order_release);
    }
    _exit(0);
  }
  while (!pp->ready.load()) {
  }
  std::vector<double> latencies;
  latencies.reserve(kRounds);
  for (auto _ : state) {
    for (std::uint64_t round = 1; round <= kRounds; ++round) {
      if (g.add_node(round, round % 1000, node_of_kind(kCar)).status != WriteStatus::Stored) {
        g.clear();  // keeps last_update; the reader waits for the next timestamp
        g.add_node(round, round % 1000, node_of_kind(kCar));
      }
      const std::int64_t returned = now_ns();
      while (pp->seen.load(std::memory_order_acquire) < round) {
      }
      latencies.push_back(static_cast<double>(pp->seen_at_ns.load() - returned));
    }
  }
  waitpid(child, nullptr, 0);
  std::sort(latencies.begin(), latencies.end());
  state.counters["median_ns"] = latencies[latencies.size() / 2];
  state.counters["p99_ns"] = latencies[latencies.size() * 99 / 100];
  munmap(shared, sizeof(PingPong));
}
BENCHMARK(BM_VisibilityAcrossProcesses)->Iterations(1)->Unit(benchmark::kMillisecond);

// Commit -> reader in another process, through graph sessions: a reader that
// spins on the published state (waiting=0) beside one asleep in
// SceneReader::wait_for_publication (waiting=1). The writer lets the reader
// settle (asleep, or spinning) for 300 us before each commit; the latency runs
// from the start of the commit call (one add_node in autocommit mode, which
// for the waiting reader includes the wake call) to the reader's stamp.
// reader_cpu_us: the reader process's CPU time per round.
struct WakeRounds {
  std::atomic<std::uint64_t> seen;
  std::atomic<std::int64_t> seen_at_ns;
  std::atomic<bool> ready;
  std::atomic<std::int64_t> cpu_ns;
};

std::int64_t process_cpu_ns() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void BM_CommitToReaderAcrossProcesses(benchmark::State& state) {
  const bool waiting = state.range(0) != 0;
  graph_session::Options options;
  options.name = "varnel-bench-wake-" + std::to_string(getpid());
  auto writer = graph_session::GraphSession::open_writer(options);
  if (!writer) return state.SkipWithError(writer.error.c_str());
  KnowledgeGraph& g = writer.session->graph();
  void* shared = mmap(nullptr, sizeof(WakeRounds), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  auto* rounds = new (shared) WakeRounds{};
  constexpr std::uint64_t kRounds = 3000;
  const pid_t child = fork();
  if (child == 0) {
    auto reader_session = graph_session::GraphSession::open_reader(options);
    if (!reader_session) _exit(1);
    const KnowledgeGraph& r = reader_session.session->graph();
    SceneReader reader(r);
    rounds->ready.store(true);
    const std::int64_t cpu_start = process_cpu_ns();
    for (std::uint64_t expected = 1; expected <= kRounds; ++expected) {
      if (waiting) {
        while (reader.wait_for_publication(expected - 1, std::chrono::seconds(5)) != expected) {
        }
      } else {
        while (r.last_update() < expected) {
        }
      }
      rounds->seen_at_ns.store(now_ns(), std::memory_order_relaxed);
      rounds->seen.store(expected, std::memory_order_release);
    }
    rounds->cpu_ns.store(process_cpu_ns() - cpu_start);
    _exit(0);
  }
  while (!rounds->ready.load()) {
  }
  std::vector<double> latencies;
  latencies.reserve(kRounds);
  for (auto _ : state) {
    for (std::uint64_t round = 1; round <= kRounds; ++round) {
      std::this_thread::sleep_for(std::chrono::microseconds(300));
      // From the start of the commit: the writer wakes the reader inside it.
      const std::int64_t began = now_ns();
      if (g.add_node(round, round % 1000, node_of_kind(kCar)).status != WriteStatus::Stored) {
        g.clear();
        g.add_node(round, round % 1000, node_of_kind(kCar));
      }
      while (rounds->seen.load(std::memory_order_acquire) < round) {
      }
      latencies.push_back(static_cast<double>(rounds->seen_at_ns.load() - began));
    }
  }
  waitpid(child, nullptr, 0);
  std::sort(latencies.begin(), latencies.end());
  state.counters["median_ns"] = latencies[latencies.size() / 2];
  state.counters["p99_ns"] = latencies[latencies.size() * 99 / 100];
  state.counters["reader_cpu_us"] = static_cast<double>(rounds->cpu_ns.load()) / 1000.0 / kRounds;
  state.counters["wake_calls"] = static_cast<double>(writer.session->wake_calls());
  munmap(shared, sizeof(WakeRounds));
}
BENCHMARK(BM_CommitToReaderAcrossProcesses)->ArgName("waiting")->Arg(0)->Arg(1)->Iterations(1)
    ->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- LMDB on tmpfs, the same work, at its best ----

struct Lmdb {
  MDB_env* env = nullptr;
  MDB_dbi dbi = 0;
  std::string path;
  Lmdb() {
    path = "/dev/shm/varnel-bench-lmdb-" + std::to_string(getpid());
    mdb_env_create(&env);
    mdb_env_set_mapsize(env, std::size_t{1} << 30);
    mdb_env_set_maxdbs(env, 2);  // the latest versions by (kind, id), and the log
    std::remove(path.c_str());
    // At its best: writes straight into the map, no syncs at all (tmpfs).
    mdb_env_open(env, path.c_str(), MDB_NOSUBDIR | MDB_WRITEMAP | MDB_NOSYNC | MDB_NOMETASYNC,
                 0600);
    MDB_txn* txn;
    mdb_txn_begin(env, nullptr, 0, &txn);
    mdb_dbi_open(txn, "latest", MDB_CREATE, &dbi);
    mdb_dbi_open(txn, "log", MDB_CREATE | MDB_INTEGERKEY, &log);
    mdb_txn_commit(txn);
  }
  MDB_dbi log = 0;  // versions under ascending integer keys: appends
  std::uint64_t next_version = 0;
  ~Lmdb() {
    mdb_env_close(env);
    std::remove(path.c_str());
    std::remove((path + "-lock").c_str());
  }
  // One version: the key (kind, id), the value a node record and its payload.
  void put(std::uint64_t kind, std::uint64_t id, const unsigned char* bytes) {
    std::uint64_t key_words[2] = {kind, id};
    MDB_val key{sizeof key_words, key_words};
    MDB_val value{sizeof(NodeRecord) + sizeof(KnowledgeGraphNode), const_cast<unsigned char*>(bytes)};
    MDB_txn* txn;
    mdb_txn_begin(env, nullptr, 0, &txn);
    mdb_put(txn, dbi, &key, &value, 0);
    mdb_txn_commit(txn);
  }
  // One version appended to the log, as the graph stores versions: keys ascend.
  void append(const unsigned char* bytes) {
    std::uint64_t key_word = ++next_version;
    MDB_val key{sizeof key_word, &key_word};
    MDB_val value{sizeof(NodeRecord) + sizeof(KnowledgeGraphNode), const_cast<unsigned char*>(bytes)};
    MDB_txn* txn;
    mdb_txn_begin(env, nullptr, 0, &txn);
    mdb_put(txn, log, &key, &value, MDB_APPEND);
    mdb_txn_commit(txn);
  }
};

void BM_LmdbPutVersion(benchmark::State& state) {
  Lmdb db;
  std::vector<unsigned char> bytes(sizeof(NodeRecord) + sizeof(KnowledgeGraphNode), 1);
  std::uint64_t id = 0;
  for (auto _ : state) db.put(kCar, ++id % 20000, bytes.data());
}
BENCHMARK(BM_LmdbPutVersion);

void BM_LmdbAppendVersion(benchmark::State& state) {
  std::vector<unsigned char> bytes(sizeof(NodeRecord) + sizeof(KnowledgeGraphNode), 1);
  auto db = std::make_unique<Lmdb>();
  for (auto _ : state) {
    if (db->next_version == 100000) {  // bounded file: start a fresh one
      state.PauseTiming();
      db = std::make_unique<Lmdb>();
      state.ResumeTiming();
    }
    db->append(bytes.data());
  }
}
BENCHMARK(BM_LmdbAppendVersion);

// 1,000 cars' latest versions and a read transaction, reset: an iteration renews it.
struct LmdbWithCars {
  Lmdb db;
  MDB_txn* txn = nullptr;
  LmdbWithCars() {
    std::vector<unsigned char> bytes(sizeof(NodeRecord) + sizeof(KnowledgeGraphNode), 1);
    for (std::uint64_t id = 0; id < 1000; ++id) db.put(kCar, id, bytes.data());
    mdb_txn_begin(db.env, nullptr, MDB_RDONLY, &txn);
    mdb_txn_reset(txn);
  }
  ~LmdbWithCars() { mdb_txn_abort(txn); }
};

// The kind query's equivalent: one read transaction, a cursor over the 1,000
// latest versions of one kind, each copied out.
void BM_LmdbKindRange(benchmark::State& state) {
  LmdbWithCars lmdb;
  Lmdb& db = lmdb.db;
  MDB_txn* txn = lmdb.txn;
  for (auto _ : state) {
    mdb_txn_renew(txn);
    MDB_cursor* cursor;
    mdb_cursor_open(txn, db.dbi, &cursor);
    std::vector<NodeItem> items;
    MDB_val key, value;
    for (int op = MDB_FIRST; mdb_cursor_get(cursor, &key, &value, static_cast<MDB_cursor_op>(op)) == 0;
         op = MDB_NEXT) {
      items.emplace_back();
      std::memcpy(&items.back(), value.mv_data, sizeof(NodeItem));
    }
    mdb_cursor_close(cursor);
    mdb_txn_reset(txn);
    if (items.size() != 1000) state.SkipWithError("expected 1,000 versions");
  }
}
BENCHMARK(BM_LmdbKindRange)->Unit(benchmark::kMicrosecond);

void BM_LmdbGetLatest(benchmark::State& state) {
  LmdbWithCars lmdb;
  Lmdb& db = lmdb.db;
  MDB_txn* txn = lmdb.txn;
  std::uint64_t id = 0;
  for (auto _ : state) {
    mdb_txn_renew(txn);
    std::uint64_t key_words[2] = {kCar, ++id % 1000};
    MDB_val key{sizeof key_words, key_words}, value;
    benchmark::DoNotOptimize(mdb_get(txn, db.dbi, &key, &value));
    mdb_txn_reset(txn);
  }
}
BENCHMARK(BM_LmdbGetLatest);

}  // namespace

BENCHMARK_MAIN();
