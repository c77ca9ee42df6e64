// The library as a host and other processes see it: several handles and
// processes on one region, one writing process at a time (a second host is
// refused until the first releases or is killed), the region's lifetime,
// refusal of a region too small for the graph, records passed by value from C
// code arriving byte for byte, and what a reader process sees after every call
// of a batch that resets the graph or is framed wrongly; a host with a history
// window that writes ten times the capacity. The graph is read back through the
// graph module on a read-only mapping.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "abi_scene.h"
#include "knowledge_graph/graph/iterators.hpp"
#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/lookup_index.hpp"
#include "reference_model.hpp"
#include "shared_memory_interface/shared_memory.hpp"
#include "varnel_interface.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace {

namespace graph = knowledge_graph::graph;
using shared_memory_interface::shared_memory::KnowledgeGraphMemory;
using shared_memory_interface::shared_memory::SharedMemory;

constexpr const char* kRegion = "KnowledgeGraph";
constexpr const char* kChildFlag = "--varnel-child";

// ---- Child processes: copies of this program with kChildFlag ---------------

#ifdef _WIN32
using Child = HANDLE;  // null: not started

Child start_child(const std::string& mode, std::uint64_t number) {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  std::wstring command = L"\"" + path + L"\" " +
                         std::wstring(kChildFlag, kChildFlag + std::strlen(kChildFlag)) + L" " +
                         std::wstring(mode.begin(), mode.end()) + L" " + std::to_wstring(number);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return nullptr;
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

int wait_child(Child child) {
  if (child == nullptr) return -1;
  WaitForSingleObject(child, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(child, &code);
  CloseHandle(child);
  return static_cast<int>(code);
}

// The hard way, as a crash would end it: no cleanup of its own runs.
void kill_child(Child child) {
  TerminateProcess(child, 9);
  wait_child(child);
}
#else
using Child = pid_t;  // 0: not started

Child start_child(const std::string& mode, std::uint64_t number) {
  std::string self = "/proc/self/exe", flag = kChildFlag, count = std::to_string(number);
  std::string mode_copy = mode;
  char* argv[] = {self.data(), flag.data(), mode_copy.data(), count.data(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, environ) != 0) return 0;
  return pid;
}

int wait_child(Child child) {
  int status = 0;
  if (child == 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

void kill_child(Child child) {
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
}
#endif

int run_child(const std::string& mode, std::uint64_t number) {
  return wait_child(start_child(mode, number));
}

// "write N": sets the library up (which resets the graph) and adds N Ego nodes.
int child_write(std::uint64_t nodes) {
  KnowledgeGraphHandle* handle = initialize_knowledge_graph();
  if (handle == nullptr) return 2;
  bool stored = true;
  for (std::uint64_t id = 1; id <= nodes; ++id) {
    stored &= add_ego_node(1000 + id, id, nullptr, handle) == VARNEL_NODE_EGO &&
              get_last_write_result(handle) == VARNEL_WRITE_STORED;
  }
  release_knowledge_graph(handle);
  return stored ? 0 : 3;
}

// "refused N": sets the library up while another process writes: the graph is
// left as it is, and N adds, a remove and a reset store nothing and report
// VARNEL_WRITE_NOT_WRITER.
int child_refused(std::uint64_t nodes) {
  KnowledgeGraphHandle* handle = initialize_knowledge_graph();
  if (handle == nullptr) return 2;
  const std::uint64_t count = get_node_count(handle), relations = get_relation_count(handle),
                      last = get_last_update(handle);
  bool refused = count > 0;
  // Every writing export, each checked to report NOT_WRITER.
  const auto not_writer = [&](const char* call) {
    if (get_last_write_result(handle) == VARNEL_WRITE_NOT_WRITER) return;
    std::cerr << call << " from a refused handle reported " << get_last_write_result(handle) << "\n";
    refused = false;
  };
  for (std::uint64_t id = 1; id <= nodes; ++id) {
    refused &= add_ego_node(5000 + id, id, nullptr, handle) == VARNEL_NODE_EGO;
    not_writer("add_ego_node");
  }
  const std::uint64_t t = 7000, e = VARNEL_NODE_EGO;
#define VARNEL_TRY_NODE(lower, record)              \
  add_##lower##_node(t, 1, record, handle);          \
  not_writer("add_" #lower "_node");                 \
  update_##lower##_node(t, 1, record, handle);       \
  not_writer("update_" #lower "_node");              \
  refused &= remove_##lower##_node(t, e, 9, handle) == 0; \
  not_writer("remove_" #lower "_node");
  VARNEL_TRY_NODE(car, Car{})
  VARNEL_TRY_NODE(crosswalk, Crosswalk{})
  VARNEL_TRY_NODE(dynamicobject, nullptr)
  VARNEL_TRY_NODE(ego, nullptr)
  VARNEL_TRY_NODE(intersection, Intersection{})
  VARNEL_TRY_NODE(lane, Lane{})
  VARNEL_TRY_NODE(noentrysign, nullptr)
  VARNEL_TRY_NODE(pedestrian, Pedestrian{})
  VARNEL_TRY_NODE(priorityroadsign, nullptr)
  VARNEL_TRY_NODE(road, Road{})
  VARNEL_TRY_NODE(roadsign, nullptr)
  VARNEL_TRY_NODE(speedlimitsign, SpeedLimitSign{})
  VARNEL_TRY_NODE(staticobject, nullptr)
  VARNEL_TRY_NODE(stopsign, nullptr)
  VARNEL_TRY_NODE(testclass1, TestClass1{})
  VARNEL_TRY_NODE(testclass2, TestClass2{})
  VARNEL_TRY_NODE(yieldsign, nullptr)
#undef VARNEL_TRY_NODE
#define VARNEL_TRY_RELATION(lower, record)                   \
  add_##lower##_relation(t, 1, record, e, 1, e, 9, handle);   \
  not_writer("add_" #lower "_relation");                      \
  refused &= remove_##lower##_relation(t, 1, 1, handle) == 0; \
  not_writer("remove_" #lower "_relation");
  VARNEL_TRY_RELATION(belongsto, nullptr)
  VARNEL_TRY_RELATION(connectsto, nullptr)
  VARNEL_TRY_RELATION(contains, nullptr)
  VARNEL_TRY_RELATION(has, nullptr)
  VARNEL_TRY_RELATION(isat, nullptr)
  VARNEL_TRY_RELATION(isbehind, nullptr)
  VARNEL_TRY_RELATION(isin, nullptr)
  VARNEL_TRY_RELATION(isinfront, nullptr)
  VARNEL_TRY_RELATION(ison, nullptr)
  VARNEL_TRY_RELATION(isonleft, nullptr)
  VARNEL_TRY_RELATION(isonright, nullptr)
  VARNEL_TRY_RELATION(ispartof, nullptr)
  VARNEL_TRY_RELATION(passesover, nullptr)
  VARNEL_TRY_RELATION(testrelation, testRelation{})
  VARNEL_TRY_RELATION(walkson, nullptr)
  VARNEL_TRY_RELATION(yieldstocarin, yieldsToCarIn{})
#undef VARNEL_TRY_RELATION
  refused &= compact_knowledge_graph(UINT64_MAX, handle) == 0;
  not_writer("compact_knowledge_graph");
  reset_knowledge_graph(handle);
  set_autocommit(0, handle);
  start_transaction(handle);
  add_ego_node(8000, 1, nullptr, handle);
  commit_transaction(handle);
  set_autocommit(1, handle);
  refused &= get_node_count(handle) == count && get_relation_count(handle) == relations &&
             get_last_update(handle) == last;
  release_knowledge_graph(handle);
  return refused ? 0 : 3;
}

// "hold N": sets up, writes N Ego nodes and stays the writer until killed.
int child_hold(std::uint64_t nodes) {
  KnowledgeGraphHandle* handle = initialize_knowledge_graph();
  if (handle == nullptr) return 2;
  for (std::uint64_t id = 1; id <= nodes; ++id) add_ego_node(1000 + id, id, nullptr, handle);
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

// "count N": a reader's view through the graph module: exit 0 when it counts N.
int child_count(std::uint64_t nodes) {
  KnowledgeGraphMemory reader(kRegion, 0);
  if (!reader.initialize_read_only() || !reader.holds_record()) return 2;
  return reader.get_data_ref()->node_count() == nodes ? 0 : 3;
}

// A scene of cars 1 to 31 (carId = instance id, one version each) as a reader
// sees it: bit i of the low word for car i, the last update in the high word.
std::uint64_t scene(std::initializer_list<int> cars, std::uint64_t last_update) {
  std::uint64_t code = last_update << 32;
  for (int id : cars) code |= std::uint64_t{1} << id;
  return code;
}

std::string scene_text(std::uint64_t code) {
  std::string text = "cars";
  int count = 0;
  for (int id = 1; id < 32; ++id) {
    if (code >> id & 1) {
      text += " " + std::to_string(id);
      ++count;
    }
  }
  return text + ", count " + std::to_string(count) + ", last " + std::to_string(code >> 32);
}

// "scene CODE": a reader that starts now: exit 0 when it sees exactly the scene.
int child_scene(std::uint64_t code) {
  KnowledgeGraphMemory reader(kRegion, 0);
  if (!reader.initialize_read_only() || !reader.holds_record()) return 2;
  const std::string seen = graph::reference::car_scene_view(*reader.get_data_ref());
  if (seen == scene_text(code)) return 0;
  std::cerr << "reader sees \"" << seen << "\", expected \"" << scene_text(code) << "\"\n";
  return 3;
}

// "alive N": a reader process: exit 0 when it finds a live writer (N 1) or none (N 0).
int child_alive(std::uint64_t alive) {
  const auto presence = KnowledgeGraphMemory(kRegion, 0).probe_writer().presence;
  using shared_memory_interface::memory_interface::WriterPresence;
  return presence == (alive ? WriterPresence::Alive : WriterPresence::Absent) ? 0 : 3;
}

int run_as_child(int argc, char** argv) {
  if (argc != 4) return 4;
  const std::string mode = argv[2];
  const std::uint64_t number = std::strtoull(argv[3], nullptr, 10);
  if (mode == "write") return child_write(number);
  if (mode == "count") return child_count(number);
  if (mode == "refused") return child_refused(number);
  if (mode == "hold") return child_hold(number);
  if (mode == "scene") return child_scene(number);
  if (mode == "alive") return child_alive(number);
  return 4;
}

// ---- Helpers ------------------------------------------------------------------

struct HandleCloser {
  void operator()(KnowledgeGraphHandle* handle) const { release_knowledge_graph(handle); }
};
using Handle = std::unique_ptr<KnowledgeGraphHandle, HandleCloser>;

Handle set_up() { return Handle(initialize_knowledge_graph()); }

// A read-only mapping of the region as another process would make it.
class Reader {
 public:
  Reader() : memory_(kRegion, 0) {
    ok_ = memory_.initialize_read_only() && memory_.holds_record();
  }
  bool ok() const { return ok_; }
  const graph::KnowledgeGraph& graph() const { return *memory_.get_data_ref(); }

  const graph::NodeRecord* latest_node(std::uint64_t kind, std::uint64_t id) const {
    const auto tails = graph().snapshot().indices;
    const auto slot = graph::scan_latest_node_slot(graph(), kind, id, tails.node_index_tail[kind]);
    return slot ? &graph().node_records[kind][*slot] : nullptr;
  }
  const graph::RelationRecord* latest_relation(std::uint64_t kind, std::uint64_t id) const {
    const auto tails = graph().snapshot().indices;
    const auto slot =
        graph::scan_latest_relation_slot(graph(), kind, id, tails.relation_index_tail[kind]);
    return slot ? &graph().relation_records[kind][*slot] : nullptr;
  }

 private:
  KnowledgeGraphMemory memory_;
  bool ok_ = false;
};

std::vector<unsigned char> pattern(unsigned seed, std::size_t size) {
  std::vector<unsigned char> bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = abi_pattern_byte(seed, static_cast<unsigned>(i));
  }
  return bytes;
}

std::vector<unsigned char> prefix(const unsigned char* bytes, std::size_t size) {
  return std::vector<unsigned char>(bytes, bytes + size);
}

// ---- Tests --------------------------------------------------------------------

TEST(VarnelInterfaceLifecycle, HandlesShareOneRegionThatEndsWithItsLastHolder) {
  Handle first = set_up();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(get_last_update(first.get()), 0u);
  EXPECT_EQ(add_ego_node(42, 7, nullptr, first.get()), VARNEL_NODE_EGO);

  // A second set-up opens the region: graph reset, content and time kept.
  Handle second = set_up();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(is_empty(first.get()), 1);
  EXPECT_EQ(get_last_update(second.get()), 42u);
  {
    Reader reader;
    ASSERT_TRUE(reader.ok());
    EXPECT_EQ(reader.graph().node_records[VARNEL_NODE_EGO][0].instance_id, 7u);
  }
  EXPECT_EQ(add_car_node(43, 1, Car{}, second.get()), VARNEL_NODE_CAR);
  EXPECT_EQ(get_node_count(first.get()), 1u);

  second.reset();
  EXPECT_EQ(get_node_count(first.get()), 1u);
  first.reset();

  // No holder left: the next set-up creates a new, zero-filled region.
  Handle again = set_up();
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(get_last_update(again.get()), 0u);
  Reader reader;
  ASSERT_TRUE(reader.ok());
  const auto& old_slot = reader.graph().node_records[VARNEL_NODE_EGO][0];
  const std::array<unsigned char, sizeof old_slot> zeros{};
  EXPECT_EQ(std::memcmp(&old_slot, zeros.data(), sizeof old_slot), 0);
}

TEST(VarnelInterfaceLifecycle, ProcessesShareTheGraphThatOneOfThemWrites) {
  Handle host = set_up();
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(add_stopsign_node(2000, 1, nullptr, host.get()), VARNEL_NODE_STOPSIGN);
  EXPECT_EQ(add_ego_node(2001, 9, nullptr, host.get()), VARNEL_NODE_EGO);
  EXPECT_EQ(run_child("count", 2), 0);
  // A second host process: its set-up leaves the scene alone, its writes are refused.
  ASSERT_EQ(run_child("refused", 3), 0);
  EXPECT_EQ(get_node_count(host.get()), 2u);
  EXPECT_EQ(get_last_update(host.get()), 2001u);
  EXPECT_EQ(remove_stopsign_node(2002, VARNEL_NODE_STOPSIGN, 1, host.get()), 1);
  EXPECT_EQ(get_last_write_result(host.get()), VARNEL_WRITE_STORED);
  EXPECT_EQ(run_child("count", 3), 0);

  // Released, the host is no writer any more: the next host process writes,
  // after resetting the graph. A reader keeps the region alive meanwhile.
  Reader reader;
  ASSERT_TRUE(reader.ok());
  host.reset();
  ASSERT_EQ(run_child("write", 3), 0);
  EXPECT_EQ(run_child("count", 3), 0);
}

// A reader's question "is a host alive?", asked from another process.
shared_memory_interface::memory_interface::WriterPresence writer_presence() {
  return KnowledgeGraphMemory(kRegion, 0).probe_writer().presence;
}

TEST(VarnelInterfaceLifecycle, AKilledWriterDoesNotBlockTheNextHost) {
  using shared_memory_interface::memory_interface::WriterPresence;
  EXPECT_EQ(writer_presence(), WriterPresence::Absent);  // nothing ever set up
  EXPECT_EQ(shared_memory_interface::memory_interface::probe_writer("").presence,
            WriterPresence::Unknown);
  const Child writer = start_child("hold", 4);
  ASSERT_NE(writer, Child{});
  // The writer creates the region and writes its 4 nodes.
  bool written = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!written && std::chrono::steady_clock::now() < deadline) {
    Reader reader;
    written = reader.ok() && reader.graph().node_count() == 4;
    if (!written) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!written) kill_child(writer);
  ASSERT_TRUE(written);

  EXPECT_EQ(writer_presence(), WriterPresence::Alive);
#ifndef _WIN32
  // Paused is not dead; the probes took nothing from it.
  kill(writer, SIGSTOP);
  EXPECT_EQ(writer_presence(), WriterPresence::Alive);
  EXPECT_EQ(writer_presence(), WriterPresence::Alive);
#endif

  Handle second = set_up();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(get_node_count(second.get()), 4u);  // not reset
  EXPECT_EQ(add_car_node(5000, 1, Car{}, second.get()), VARNEL_NODE_CAR);
  EXPECT_EQ(get_last_write_result(second.get()), VARNEL_WRITE_NOT_WRITER);
  reset_knowledge_graph(second.get());
  start_transaction(second.get());
  EXPECT_EQ(get_node_count(second.get()), 4u);
  EXPECT_EQ(get_last_update(second.get()), 1004u);
  EXPECT_EQ(writer_presence(), WriterPresence::Alive);  // refused set-ups hold nothing either

  // Killed, the writer holds nothing: the next write takes over, resets the
  // graph as the set-up would have, and is stored.
  kill_child(writer);
  EXPECT_EQ(writer_presence(), WriterPresence::Absent);
  EXPECT_EQ(add_car_node(5001, 1, Car{}, second.get()), VARNEL_NODE_CAR);
  EXPECT_EQ(get_last_write_result(second.get()), VARNEL_WRITE_STORED);
  EXPECT_EQ(get_node_count(second.get()), 1u);
  EXPECT_EQ(get_last_update(second.get()), 5001u);
  EXPECT_EQ(writer_presence(), WriterPresence::Alive);  // this process writes now
  // A further host process is refused by this one now, and sees it alive.
  EXPECT_EQ(run_child("refused", 1), 0);
  EXPECT_EQ(run_child("alive", 1), 0);
  second.reset();  // released: its lock object goes with it
  EXPECT_EQ(writer_presence(), WriterPresence::Absent);
  EXPECT_EQ(run_child("alive", 0), 0);
}

// A refused host that asked for transaction mode finds it when it takes over:
// the batch it goes on writing is published at its commit, not write by write.
TEST(VarnelInterfaceLifecycle, ATakeOverKeepsTheHostsTransactionFraming) {
  const Child writer = start_child("hold", 2);
  ASSERT_NE(writer, Child{});
  bool written = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!written && std::chrono::steady_clock::now() < deadline) {
    Reader reader;
    written = reader.ok() && reader.graph().node_count() == 2;
    if (!written) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!written) kill_child(writer);
  ASSERT_TRUE(written);
  Handle second = set_up();
  ASSERT_NE(second, nullptr);
  set_autocommit(0, second.get());
  start_transaction(second.get());
  kill_child(writer);
  EXPECT_EQ(add_car_node(7000, 1, Car{}, second.get()), VARNEL_NODE_CAR);
  EXPECT_EQ(get_last_write_result(second.get()), VARNEL_WRITE_STORED);
  EXPECT_EQ(is_empty(second.get()), 1);  // reset, and the car waits for the commit
  commit_transaction(second.get());
  EXPECT_EQ(get_node_count(second.get()), 1u);
}

TEST(VarnelInterfaceLifecycle, RegionTooSmallForTheGraphIsRefused) {
  using Small = std::array<unsigned char, 4096>;
  SharedMemory<Small> small(kRegion, sizeof(Small));
  ASSERT_TRUE(small.initialize());
  ASSERT_FALSE(small.already_exists());
  Small& bytes = *small.get_data_ref();
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 1);
  const Small before = bytes;

  EXPECT_EQ(initialize_knowledge_graph(), nullptr);
  EXPECT_EQ(bytes, before);

  small.release();
  Handle handle = set_up();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(is_empty(handle.get()), 1);
}

// Checks the scene of abi_scene.h, as any host writes it, byte for byte.
void expect_abi_scene(const Reader& reader) {
  const auto& g = reader.graph();
  struct NodeCase {
    std::uint64_t kind;
    unsigned seed;
    std::size_t size;
  };
  const NodeCase nodes[] = {
      {VARNEL_NODE_CAR, kAbiCarSeed, sizeof(Car)},
      {VARNEL_NODE_LANE, kAbiLaneSeed, sizeof(Lane)},
      {VARNEL_NODE_ROAD, kAbiRoadSeed, sizeof(Road)},
      {VARNEL_NODE_CROSSWALK, kAbiCrosswalkSeed, sizeof(Crosswalk)},
      {VARNEL_NODE_PEDESTRIAN, kAbiPedestrianSeed, sizeof(Pedestrian)},
      {VARNEL_NODE_INTERSECTION, kAbiIntersectionSeed, sizeof(Intersection)},
      {VARNEL_NODE_SPEEDLIMITSIGN, kAbiSpeedLimitSignSeed, sizeof(SpeedLimitSign)},
      {VARNEL_NODE_TESTCLASS1, kAbiTestClass1Seed, sizeof(TestClass1)},
      {VARNEL_NODE_TESTCLASS2, kAbiTestClass2Seed, sizeof(TestClass2)},
  };
  for (const NodeCase& node : nodes) {
    SCOPED_TRACE(node.kind);
    const graph::NodeRecord* record = reader.latest_node(node.kind, ABI_INSTANCE_ID);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->timestamp, ABI_TIMESTAMP);
    EXPECT_EQ(record->marker, graph::Marker::Valid);
    const auto& value = g.node_values[record->value_index];
    EXPECT_EQ(value.type_index(), node.kind);
    EXPECT_EQ(prefix(value.payload, node.size), pattern(node.seed, node.size));
  }

  struct RelationCase {
    std::uint64_t kind;
    unsigned seed;
    std::uint64_t from_kind;
    std::uint64_t to_kind;
  };
  for (const RelationCase& relation :
       {RelationCase{VARNEL_RELATION_TESTRELATION, kAbiTestRelationSeed, VARNEL_NODE_CAR,
                     VARNEL_NODE_LANE},
        RelationCase{VARNEL_RELATION_YIELDSTOCARIN, kAbiYieldsSeed, VARNEL_NODE_LANE,
                     VARNEL_NODE_ROAD}}) {
    SCOPED_TRACE(relation.kind);
    const graph::RelationRecord* record = reader.latest_relation(relation.kind, ABI_INSTANCE_ID);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->timestamp, ABI_TIMESTAMP);
    EXPECT_EQ(record->from, graph::Index(relation.from_kind, ABI_INSTANCE_ID));
    EXPECT_EQ(record->to, graph::Index(relation.to_kind, ABI_INSTANCE_ID));
    const auto& value = g.relation_values[record->value_index];
    EXPECT_EQ(value.type_index(), relation.kind);
    EXPECT_EQ(prefix(value.payload, 4), pattern(relation.seed, 4));
  }
  // The relations are entered in their nodes' lists.
  const graph::NodeRecord* lane = reader.latest_node(VARNEL_NODE_LANE, ABI_INSTANCE_ID);
  ASSERT_NE(lane, nullptr);
  EXPECT_EQ(lane->incoming[0], graph::Index(VARNEL_RELATION_TESTRELATION, ABI_INSTANCE_ID));
  EXPECT_EQ(lane->outgoing[0], graph::Index(VARNEL_RELATION_YIELDSTOCARIN, ABI_INSTANCE_ID));
}

// ---- Batches that reset the graph, misframed batches: a reader process after every call ----

struct HostCall {
  const char* call;
  std::function<void(KnowledgeGraphHandle*)> run;
  std::uint64_t seen;  // scene()
};

void run_host_calls(const std::vector<HostCall>& calls) {
  Handle host = set_up();
  ASSERT_NE(host, nullptr);
  for (const HostCall& step : calls) {
    step.run(host.get());
    EXPECT_EQ(run_child("scene", step.seen), 0) << "after " << step.call;
  }
}

Car car_record(int id) {
  Car car{};
  car.carId = id;
  return car;
}
HostCall add_car(std::uint64_t timestamp, int id, std::uint64_t seen) {
  return {"add_car_node", [=](KnowledgeGraphHandle* h) {
            EXPECT_EQ(add_car_node(timestamp, static_cast<std::uint64_t>(id), car_record(id), h),
                      VARNEL_NODE_CAR);
            EXPECT_EQ(get_last_write_result(h), VARNEL_WRITE_STORED);
          }, seen};
}
HostCall autocommit(std::uint8_t on, std::uint64_t seen) {
  return {on ? "set_autocommit(1)" : "set_autocommit(0)",
          [=](KnowledgeGraphHandle* h) { set_autocommit(on, h); }, seen};
}
HostCall start(std::uint64_t seen) { return {"start_transaction", start_transaction, seen}; }
HostCall commit(std::uint64_t seen) { return {"commit_transaction", commit_transaction, seen}; }
HostCall reset(std::uint64_t seen) { return {"reset_knowledge_graph", reset_knowledge_graph, seen}; }

TEST(VarnelInterfaceBatches, ResetInsideABatchShowsTheEmptyGraphBeforeReusingASlot) {
  const std::uint64_t before = scene({1, 3}, 1000), empty = scene({}, 1000);
  run_host_calls({add_car(1000, 1, scene({1}, 1000)), add_car(1000, 3, before),
                  autocommit(0, before), start(before), reset(before),
                  add_car(2000, 2, empty),  // car 1's slot: the empty graph comes first
                  add_car(2000, 4, empty), commit(scene({2, 4}, 2000))});
}

TEST(VarnelInterfaceBatches, DroppedResetBatchLeavesThePublishedGraph) {
  const std::uint64_t before = scene({1, 2}, 1000);
  run_host_calls({add_car(1000, 1, scene({1}, 1000)), add_car(1000, 2, before),
                  autocommit(0, before), start(before), reset(before), autocommit(1, before),
                  // restarted after the reset, then dropped
                  autocommit(0, before), start(before), reset(before), start(before),
                  add_car(2000, 5, before), autocommit(1, before),
                  add_car(3000, 6, scene({1, 2, 6}, 3000))});
}

TEST(VarnelInterfaceBatches, RestartedResetBatchNeverShowsItsDroppedWrites) {
  const std::uint64_t before = scene({1}, 1000), empty = scene({}, 1000);
  run_host_calls({add_car(1000, 1, before), autocommit(0, before), start(before), reset(before),
                  add_car(2000, 9, empty), start(empty), add_car(2000, 3, empty),
                  commit(scene({3}, 2000))});
}

TEST(VarnelInterfaceBatches, SecondCommitOfAResetBatchChangesNothing) {
  const std::uint64_t before = scene({1, 2}, 1000), after = scene({3, 4}, 2000);
  run_host_calls({add_car(1000, 1, scene({1}, 1000)), add_car(1000, 2, before),
                  autocommit(0, before), start(before), reset(before),
                  add_car(2000, 3, scene({}, 1000)), add_car(2000, 4, scene({}, 1000)),
                  commit(after), commit(after), autocommit(1, after), commit(after)});
}

TEST(VarnelInterfaceBatches, WriteInTransactionModeWithoutStartTransactionOpensTheBatch) {
  const std::uint64_t before = scene({1}, 1000);
  run_host_calls({add_car(1000, 1, before), autocommit(0, before),
                  add_car(2000, 2, before),  // would have gone to car 1's slot
                  commit(scene({1, 2}, 2000)),
                  add_car(3000, 3, scene({1, 2}, 2000)),  // after a commit: the next batch
                  commit(scene({1, 2, 3}, 3000))});
}

TEST(VarnelInterfaceAbi, RecordsPassedFromCArriveByteForByte) {
  Handle host = set_up();
  ASSERT_NE(host, nullptr);
  ASSERT_EQ(abi_scene_write(host.get()), 1);
  Reader reader;
  ASSERT_TRUE(reader.ok());
  expect_abi_scene(reader);
}

// The C# bindings under Mono: the example host writes the same scene in its own
// process; this process holds the region meanwhile and reads it afterwards.
TEST(VarnelInterfaceAbi, RecordsPassedFromCSharpArriveByteForByte) {
#if defined(VARNEL_CSHARP_HOST)
  Handle holder = set_up();
  ASSERT_NE(holder, nullptr);
  ASSERT_EQ(add_ego_node(1, 1, nullptr, holder.get()), VARNEL_NODE_EGO);
  // A reader keeps the region; the C# host becomes its one writer.
  Reader reader;
  ASSERT_TRUE(reader.ok());
  holder.reset();
  ASSERT_EQ(std::system(VARNEL_CSHARP_HOST " --abi-scene"), 0) << VARNEL_CSHARP_HOST;
  EXPECT_EQ(reader.graph().node_count(), 13u) << "the host's set-up clears the graph, then 9 nodes, 2 relations";
  expect_abi_scene(reader);
#else
  GTEST_SKIP() << "no C# compiler and runtime (Debian: mono-mcs, mono-runtime)";
#endif
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], kChildFlag) == 0) return run_as_child(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

// ---- The history window: the library keeps room by itself -----------------

// A host in transaction mode, one batch per 100 ms tick: ten lanes at 0 and
// `cars` cars on them, every car updated each tick. Returns false at the first
// write the graph refused (its result in `refused`).
struct WindowHost {
  KnowledgeGraphHandle* handle;
  int cars;
  std::uint32_t refused = VARNEL_WRITE_STORED;

  bool stored() {
    refused = get_last_write_result(handle);
    return refused == VARNEL_WRITE_STORED;
  }
  bool tick(std::uint64_t n) {
    const std::uint64_t t = n * 100;
    start_transaction(handle);
    for (std::uint64_t lane = 1; n == 0 && lane <= 10; ++lane) {
      add_lane_node(0, lane, Lane{}, handle);
      if (!stored()) return false;
    }
    for (int id = 1; id <= cars; ++id) {
      Car car = car_record(id);
      car.carPosition.x = static_cast<float>(n);
      if (n == 0) {
        add_car_node(t, static_cast<std::uint64_t>(id), car, handle);
        if (!stored()) return false;
        add_ison_relation(t, static_cast<std::uint64_t>(id), nullptr, VARNEL_NODE_CAR,
                          static_cast<std::uint64_t>(id), VARNEL_NODE_LANE,
                          1 + static_cast<std::uint64_t>(id) % 10, handle);
      } else {
        update_car_node(t, static_cast<std::uint64_t>(id), car, handle);
      }
      if (!stored()) return false;
    }
    commit_transaction(handle);
    return true;
  }
};

// The oldest Car version a reader finds (every car moves each tick, so every
// older version is history).
std::uint64_t oldest_car(const graph::KnowledgeGraph& g) {
  std::uint64_t oldest = UINT64_MAX;
  auto walk = g.nodes_iter(interval_algebra::Interval::eternity(), VARNEL_NODE_CAR);
  while (auto item = walk.next()) oldest = std::min(oldest, item->record.timestamp);
  return oldest;
}

// 300 cars at 10 ticks/s write 3,000 Car versions per simulated second: the
// 21,000 slots hold 7 s, a 5 s window (15,000) lies above the 50 % aim, so the
// window holds less, and 60 s (ten times the capacity) pass without a reset.
TEST(VarnelInterfaceWindow, AWindowKeepsRoomWithoutAResetWhileThePresentFits) {
  EXPECT_EQ(set_history_window(5000, nullptr), 0);
  EXPECT_EQ(get_history_held(nullptr), 0u);
  EXPECT_EQ(get_history_resets(nullptr), 0u);
  EXPECT_EQ(get_history_compactions(nullptr), 0u);
  Handle host = set_up();
  ASSERT_NE(host, nullptr);
  Reader reader;
  ASSERT_TRUE(reader.ok());
  ASSERT_EQ(set_history_window(5000, host.get()), 1);
  set_autocommit(0, host.get());
  WindowHost writer{host.get(), 300};
  ASSERT_TRUE(writer.tick(0)) << "result " << writer.refused;
  std::atomic<bool> done{false};
  std::atomic<std::uint64_t> reads{0}, empty{0};
  std::thread watcher([&] {  // a reader all along: never an empty scene
    while (!done) {
      ++reads;
      if (reader.graph().node_count() == 0) ++empty;
    }
  });
  struct Joiner {
    std::atomic<bool>& done;
    std::thread& thread;
    ~Joiner() {
      done = true;
      if (thread.joinable()) thread.join();
    }
  } joiner{done, watcher};
  std::uint64_t compactions = 0;
  for (std::uint64_t n = 1; n < 600; ++n) {
    ASSERT_TRUE(writer.tick(n)) << "tick " << n << ": write refused, result " << writer.refused;
    EXPECT_GT(reader.graph().node_count(), 0u) << "tick " << n;
    const std::uint64_t now = get_history_compactions(host.get());
    if (now == compactions) continue;
    compactions = now;
    // Right after a compaction (in the first call of this tick's batch, made
    // before its writes): the history spans at most the window.
    const std::uint64_t held = get_history_held(host.get());
    EXPECT_GT(held, 0u);
    EXPECT_LE(held, 5000u);
    const std::uint64_t last = get_last_update(host.get());
    EXPECT_GE(oldest_car(reader.graph()) + 5000 + 100, last) << "tick " << n;
  }
  done = true;
  watcher.join();
  set_autocommit(1, host.get());
  EXPECT_GT(compactions, 5u);
  EXPECT_EQ(get_history_resets(host.get()), 0u);
  EXPECT_LT(get_history_held(host.get()), 5000u) << "the record cannot hold 5 s of this scene";
  EXPECT_GT(reads.load(), 0u);
  EXPECT_EQ(empty.load(), 0u) << "a reader found the scene empty";
  // The present scene is whole: every car at its last position.
  EXPECT_EQ(reader.latest_node(VARNEL_NODE_CAR, 300)->timestamp, 59900u);
  EXPECT_NE(reader.latest_node(VARNEL_NODE_LANE, 1), nullptr);
}

// Without a window the record fills as it always did: a write is refused.
TEST(VarnelInterfaceWindow, WithoutAWindowTheRecordFills) {
  Handle host = set_up();
  ASSERT_NE(host, nullptr);
  set_autocommit(0, host.get());
  WindowHost writer{host.get(), 300};
  std::uint64_t n = 0;
  while (n < 600 && writer.tick(n)) ++n;
  EXPECT_LT(n, 80u);
  EXPECT_EQ(writer.refused, VARNEL_WRITE_NODE_VALUES_FULL);  // 300 payloads a tick
  EXPECT_EQ(get_history_compactions(host.get()), 0u);
  set_autocommit(1, host.get());
}

// A scene that outgrows the record: 6,000 new cars a tick (the 20,000 node
// payloads) is reset, told by the counter, once the present scene and one more
// batch no longer fit, and only then.
TEST(VarnelInterfaceWindow, AWindowResetsOnlyWhenThePresentSceneDoesNotFit) {
  Handle host = set_up();
  ASSERT_NE(host, nullptr);
  ASSERT_EQ(set_history_window(5000, host.get()), 1);
  set_autocommit(0, host.get());
  std::uint64_t id = 0;
  for (std::uint64_t n = 0; n < 3; ++n) {
    start_transaction(host.get());
    EXPECT_EQ(get_history_resets(host.get()), 0u) << "tick " << n;
    for (int i = 0; i < 6000; ++i) {
      add_car_node(n * 100, ++id, car_record(1), host.get());
      ASSERT_EQ(get_last_write_result(host.get()), VARNEL_WRITE_STORED) << "tick " << n;
    }
    commit_transaction(host.get());
  }
  EXPECT_EQ(get_node_count(host.get()), 18000u);
  start_transaction(host.get());  // 18,000 + 6,000 > 20,000: the scene itself does not fit
  EXPECT_EQ(get_history_resets(host.get()), 1u);
  EXPECT_EQ(is_empty(host.get()), 1);
  commit_transaction(host.get());
  set_autocommit(1, host.get());
}

// Versions written at one time (a scene's relations added in one batch append
// versions of their nodes, all at that time) are thinned to the present, one
// version per instance, before the window would reset the graph.
TEST(VarnelInterfaceWindow, VersionsOfOneTimeAreThinnedToThePresentBeforeAReset) {
  Handle host = set_up();
  ASSERT_NE(host, nullptr);
  ASSERT_EQ(set_history_window(5000, host.get()), 1);
  set_autocommit(0, host.get());
  start_transaction(host.get());
  for (std::uint64_t i = 0; i < 18000; ++i) {
    add_car_node(100, i % 10, car_record(static_cast<int>(i)), host.get());
    ASSERT_EQ(get_last_write_result(host.get()), VARNEL_WRITE_STORED) << i;
  }
  commit_transaction(host.get());
  start_transaction(host.get());  // the record is nearly full of versions stamped 100
  EXPECT_EQ(get_history_resets(host.get()), 0u);
  EXPECT_GE(get_history_compactions(host.get()), 1u);
  EXPECT_EQ(get_node_count(host.get()), 10u);
  commit_transaction(host.get());
  set_autocommit(1, host.get());
  Reader reader;
  ASSERT_TRUE(reader.ok());
  EXPECT_EQ(reader.latest_node(VARNEL_NODE_CAR, 9)->timestamp, 100u);
}
