// The graph session as hostile neighbours and careless hosts meet it: the write
// gate of readers, refused and overtaken writers (from another process), lock
// objects planted by someone else (another user's, open to others, a FIFO), and
// readers that wait out a compaction of a paused writer instead of showing an
// empty graph, and readers woken by commits in another process.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "graph_session/graph_session.hpp"
#include "knowledge_graph/graph/scene_view.hpp"
#include "knowledge_graph/graph/types.hpp"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#else
#include <windows.h>
#endif

namespace {

namespace kg = knowledge_graph::graph;
namespace mi = shared_memory_interface::memory_interface;
using graph_session::GraphSession;
using graph_session::Options;
using graph_session::Role;

constexpr const char* kChildFlag = "--session-child";

std::string region_name(const char* what) {
#ifdef _WIN32
  return std::string("VarnelSessionTest") + what;
#else
  return std::string("VarnelSessionTest") + what + std::to_string(::getpid());
#endif
}

Options options_for(const std::string& name) {
  Options options;
  options.name = name;
  options.wait.limit = std::chrono::milliseconds(500);
  return options;
}

kg::KnowledgeGraphNode car(float speed) {
  kg::types::Car value{};
  value.carSpeed = speed;
  return kg::KnowledgeGraphNode(value);
}

TEST(GraphSessionGate, ReadersAndRefusedWritersStoreNothing) {
  const std::string name = region_name("Gate");
  auto writer = GraphSession::open_writer(options_for(name));
  ASSERT_TRUE(writer) << writer.error;
  EXPECT_EQ(writer.session->role(), Role::Writer);
  EXPECT_TRUE(writer.session->graph().add_node(10, 1, car(1)).stored());

  auto reader = GraphSession::open_reader(options_for(name));
  ASSERT_TRUE(reader) << reader.error;
  kg::KnowledgeGraph& seen = reader.session->graph();
  EXPECT_FALSE(reader.session->may_write());
  // Through the read-only mapping: refused by the gate, not a fault.
  EXPECT_EQ(seen.add_node(11, 2, car(2)).status, kg::WriteStatus::NotWriter);
  EXPECT_EQ(seen.compact(100).status, kg::WriteStatus::NotWriter);
  seen.clear();
  EXPECT_EQ(seen.node_count(), 1u);
  EXPECT_EQ(reader.session->writer_presence(), "alive");

  // A second writer session of this process shares the lock and writes too.
  auto second = GraphSession::open_writer(options_for(name));
  ASSERT_TRUE(second) << second.error;
  EXPECT_EQ(second.session->role(), Role::Writer);
  reader.session.reset();
  second.session.reset();
  writer.session.reset();
  auto missing = GraphSession::open_reader(options_for(name));
  EXPECT_FALSE(missing);
  EXPECT_EQ(missing.refusal, mi::Refusal::Missing);
}

// A reader asleep in wait_for_publication is woken by the writer's commit; with
// nobody waiting the writer makes no wake call; a wait with nothing published
// times out.
TEST(GraphSessionWake, ReadersAreWokenByCommitsAndOnlyThen) {
  const std::string name = region_name("Wake");
  auto writer = GraphSession::open_writer(options_for(name));
  ASSERT_TRUE(writer) << writer.error;
  GraphSession& host = *writer.session;
  kg::KnowledgeGraph& g = host.graph();
  auto opened = GraphSession::open_reader(options_for(name));
  ASSERT_TRUE(opened) << opened.error;
  const kg::SceneReader reader(opened.session->graph());

  g.set_autocommit(false);
  for (std::uint64_t t = 1; t <= 20; ++t) {  // nobody waits: no wake call
    g.start_transaction();
    ASSERT_TRUE(g.add_node(t, 1, car(1)).stored());
    host.commit_transaction();
  }
  EXPECT_EQ(host.wake_calls(), 0u);
  EXPECT_EQ(reader.wait_for_publication(20, std::chrono::milliseconds(30)), std::nullopt);
  EXPECT_EQ(reader.wait_for_publication(19, std::chrono::milliseconds(30)), 20u);  // already there

  auto woken = std::async(std::launch::async,
                          [&] { return reader.wait_for_publication(20, std::chrono::seconds(30)); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // asleep by now, or soon
  g.start_transaction();
  ASSERT_TRUE(g.add_node(21, 1, car(2)).stored());
  host.commit_transaction();
  EXPECT_EQ(woken.get(), 21u);
  EXPECT_GE(host.wake_calls(), 1u);

  // A cancelled wait ends without a publication.
  std::atomic<bool> cancel{true};
  EXPECT_EQ(reader.wait_for_publication(21, std::chrono::seconds(30), &cancel), std::nullopt);
}

// "waiter NAME": a reader process that waits for five publications, each one
// after the last it saw.
int child_waiter(const std::string& name) {
  graph_session::OpenResult opened;
  for (int attempt = 0; attempt < 500 && !opened; ++attempt) {
    opened = GraphSession::open_reader(options_for(name));
    if (!opened) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!opened) return 2;
  kg::SceneReader reader(opened.session->graph());
  std::uint64_t seen = reader.view().last_update();
  for (int woken = 0; woken < 5; ++woken) {
    const auto next = reader.wait_for_publication(seen, std::chrono::seconds(20));
    if (!next) return 3;
    seen = *next;
  }
  return 0;
}


// Starts this test program again as `--session-child waiter NAME`; its handle.
#ifdef _WIN32
using Child = HANDLE;
Child start_waiter(const std::string& name) {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string command = std::string("\"") + self + "\" " + kChildFlag + " waiter " + name;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(self, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return nullptr;
  CloseHandle(process.hThread);
  return process.hProcess;
}
// The exit status once it has ended, else -1.
int ended(Child child) {
  if (WaitForSingleObject(child, 0) != WAIT_OBJECT_0) return -1;
  DWORD status = 0;
  GetExitCodeProcess(child, &status);
  CloseHandle(child);
  return static_cast<int>(status);
}
void stop(Child child) {
  TerminateProcess(child, 9);
  CloseHandle(child);
}
#else
using Child = pid_t;
Child start_waiter(const std::string& name) {
  char self[] = "/proc/self/exe";
  std::string flag = kChildFlag, mode = "waiter", name_arg = name;
  char* argv[] = {self, flag.data(), mode.data(), name_arg.data(), nullptr};
  pid_t pid = 0;
  return ::posix_spawn(&pid, self, nullptr, nullptr, argv, environ) == 0 ? pid : 0;
}
int ended(Child child) {
  int status = 0;
  if (::waitpid(child, &status, WNOHANG) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
void stop(Child child) {
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
}
#endif

// A reader in another process is woken by commits. (POSIX) A wake object
// planted open to others is refused: readers then poll, and still see every
// publication.
TEST(GraphSessionWake, AnotherProcessIsWokenAndAPlantedWakeObjectIsRefused) {
#ifdef _WIN32
  const bool cases[] = {false};
#else
  const bool cases[] = {false, true};
#endif
  for (const bool planted : cases) {
    SCOPED_TRACE(planted ? "planted" : "own");
    const std::string name = region_name(planted ? "WakePlanted" : "WakeChild");
#ifndef _WIN32
    const std::string path = "/dev/shm/" + name + ".wake";
    if (planted) {
      const int fd = ::open(path.c_str(), O_CREAT | O_RDWR, 0666);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(::fchmod(fd, 0666), 0);
      ::close(fd);
    }
#endif
    auto writer = GraphSession::open_writer(options_for(name));
    ASSERT_TRUE(writer) << writer.error;
    GraphSession& host = *writer.session;
    const Child child = start_waiter(name);
    ASSERT_TRUE(child);
    int status = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (std::uint64_t t = 1; status == -1 && std::chrono::steady_clock::now() < deadline; ++t) {
      ASSERT_TRUE(host.graph().add_node(t, 1, car(static_cast<float>(t))).stored());
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      status = ended(child);
    }
    if (status == -1) stop(child);
    EXPECT_EQ(status, 0);
    if (planted) {
      EXPECT_EQ(host.wake_calls(), 0u);
#ifndef _WIN32
      ::unlink(path.c_str());
#endif
    } else {
      EXPECT_GE(host.wake_calls(), 1u);
    }
  }
}

#ifndef _WIN32

int spawn_child(const std::string& mode, const std::string& name, pid_t* pid_out = nullptr) {
  char self[] = "/proc/self/exe";
  std::string flag = kChildFlag;
  std::string mode_arg = mode, name_arg = name;
  char* argv[] = {self, flag.data(), mode_arg.data(), name_arg.data(), nullptr};
  pid_t pid = 0;
  if (::posix_spawn(&pid, self, nullptr, nullptr, argv, environ) != 0) return -1;
  if (pid_out != nullptr) {
    *pid_out = pid;
    return 0;
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// "refused NAME": a second host process is refused and stores nothing.
int child_refused(const std::string& name) {
  auto opened = GraphSession::open_writer(options_for(name));
  if (!opened) return 2;
  GraphSession& session = *opened.session;
  kg::KnowledgeGraph& graph = session.graph();
  const std::uint64_t before = graph.node_count();
  bool refused = session.role() == Role::Refused && !session.may_write();
  refused &= graph.add_node(20, 1, car(9)).status == kg::WriteStatus::NotWriter;
  refused &= graph.update_node(20, 1, car(9)).status == kg::WriteStatus::NotWriter;
  refused &= graph.remove_node(20, kg::Index(1, 1)).status == kg::WriteStatus::NotWriter;
  refused &= graph.compact(~std::uint64_t{0}).status == kg::WriteStatus::NotWriter;
  graph.clear();
  graph.set_autocommit(false);
  refused &= graph.node_count() == before && graph.autocommit_enabled();
  return refused ? 0 : 3;
}

// "overtake NAME": takes the writer lock (its object was removed by then) and
// writes one node.
int child_overtake(const std::string& name) {
  auto opened = GraphSession::open_writer(options_for(name));
  if (!opened || opened.session->role() != Role::Writer) return 2;
  return opened.session->graph().add_node(30, 7, car(7)).stored() ? 0 : 3;
}

// "compact NAME": a writer that spends most of its time compacting.
int child_compact(const std::string& name) {
  auto opened = GraphSession::open_writer(options_for(name));
  if (!opened || opened.session->role() != Role::Writer) return 2;
  kg::KnowledgeGraph& graph = opened.session->graph();
  constexpr std::uint64_t kCars = 9000;
  for (std::uint64_t t = 1;; ++t) {
    for (std::uint64_t id = 1; id <= kCars; ++id) graph.add_node(t, id, car(static_cast<float>(t)));
    graph.compact(t);
  }
}

TEST(GraphSessionWriters, ASecondProcessIsRefusedEverywhere) {
  const std::string name = region_name("Refused");
  auto writer = GraphSession::open_writer(options_for(name));
  ASSERT_TRUE(writer) << writer.error;
  ASSERT_TRUE(writer.session->graph().add_node(10, 1, car(1)).stored());
  EXPECT_EQ(spawn_child("refused", name), 0);
  EXPECT_EQ(writer.session->graph().node_count(), 1u);
  EXPECT_TRUE(writer.session->may_write());
}

TEST(GraphSessionWriters, AWriterWhoseLockObjectWasReplacedStopsWriting) {
  const std::string name = region_name("Overtaken");
  auto writer = GraphSession::open_writer(options_for(name));
  ASSERT_TRUE(writer) << writer.error;
  GraphSession& first = *writer.session;
  ASSERT_TRUE(first.graph().add_node(10, 1, car(1)).stored());
  // Someone with the right to (this user) removes the lock object; another host
  // then creates a new one and becomes the writer.
  ASSERT_EQ(::shm_unlink(("/" + name + ".writer").c_str()), 0);
  ASSERT_EQ(spawn_child("overtake", name), 0);
  EXPECT_FALSE(first.may_write());
  EXPECT_EQ(first.role(), Role::Refused);
  EXPECT_EQ(first.graph().add_node(11, 2, car(2)).status, kg::WriteStatus::NotWriter);
  EXPECT_EQ(first.graph().node_count(), 1u);  // the other host's node only
}

// A lock object that another user planted, or that others may open, or that is
// not a shm object at all: set-up fails with the reason, liveness is unknown.
TEST(GraphSessionHostile, PlantedWriterLockObjectsAreRefused) {
  const std::string name = region_name("Planted");
  const std::string path = "/dev/shm/" + name + ".writer";
  struct Case {
    const char* what;
    mi::Refusal refusal;
  };
  const bool root = ::geteuid() == 0;
  for (const Case& planted : {Case{"open to others", mi::Refusal::OpenToOthers},
                              Case{"another user's", mi::Refusal::ForeignOwner},
                              Case{"a FIFO", mi::Refusal::NotARegion}}) {
    SCOPED_TRACE(planted.what);
    if (planted.refusal == mi::Refusal::ForeignOwner && !root) continue;  // needs chown
    ::unlink(path.c_str());
    if (planted.refusal == mi::Refusal::NotARegion) {
      ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    } else {
      const int fd = ::open(path.c_str(), O_CREAT | O_RDWR, 0666);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(::fchmod(fd, 0666), 0);
      if (planted.refusal == mi::Refusal::ForeignOwner) {
        ASSERT_EQ(::fchmod(fd, 0600), 0);
        ASSERT_EQ(::fchown(fd, 65534, 65534), 0);
      }
      ::close(fd);
    }
    // Never blocks (a FIFO would stall a plain open), never "held elsewhere".
    auto opened = std::async(std::launch::async, [&] { return GraphSession::open_writer(options_for(name)); });
    ASSERT_EQ(opened.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    const auto result = opened.get();
    EXPECT_FALSE(result);
    EXPECT_EQ(result.refusal, planted.refusal);
    EXPECT_NE(result.error.find(name + ".writer"), std::string::npos) << result.error;
    const auto probe = mi::probe_writer(name);
    EXPECT_EQ(probe.presence, mi::WriterPresence::Unknown);
    EXPECT_EQ(probe.refusal, planted.refusal);
    EXPECT_NE(mi::describe_writer_probe(name, probe).find("unknown ("), std::string::npos);
  }
  ::unlink(path.c_str());
  EXPECT_EQ(mi::probe_writer(name).presence, mi::WriterPresence::Absent);
}

TEST(GraphSessionHostile, AFifoAtTheSetUpLockDoesNotHang) {
  const std::string name = region_name("Fifo");
  const std::string path = "/dev/shm/" + name + ".lock";
  ::unlink(path.c_str());
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  auto reader = std::async(std::launch::async, [&] { return GraphSession::open_reader(options_for(name)); });
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(reader.get().refusal, mi::Refusal::NotARegion);
  auto writer = std::async(std::launch::async, [&] { return GraphSession::open_writer(options_for(name)); });
  ASSERT_EQ(writer.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(writer.get().refusal, mi::Refusal::NotARegion);
  ::unlink(path.c_str());
}

// A writer stopped in the middle of a compaction is alive: readers wait for it
// rather than showing an empty graph; once it is dead they give up.
TEST(GraphSessionReaders, APausedCompactionIsWaitedForAndADeadOneGivenUp) {
  const std::string name = region_name("Paused");
  pid_t writer = 0;
  ASSERT_EQ(spawn_child("compact", name, &writer), 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  graph_session::OpenResult reader;
  while (!reader && std::chrono::steady_clock::now() < deadline) {
    reader = GraphSession::open_reader(options_for(name));
    if (!reader) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(reader) << reader.error;
  const kg::KnowledgeGraph& graph = reader.session->graph();
  bool caught = false;
  for (int attempt = 0; attempt < 2000 && !caught; ++attempt) {
    ::kill(writer, SIGSTOP);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));  // the stop lands
    caught = graph.compaction_in_progress();
    if (!caught) {
      ::kill(writer, SIGCONT);
      std::this_thread::sleep_for(std::chrono::microseconds(300 + 37 * (attempt % 50)));
    }
  }
  if (!caught) ::kill(writer, SIGKILL);
  ASSERT_TRUE(caught) << "never stopped the writer inside a compaction";
  // Well past the reader's wait bound, the read is still waiting, not empty.
  auto read = std::async(std::launch::async, [&] { return graph.snapshot(); });
  EXPECT_EQ(read.wait_for(std::chrono::milliseconds(kg::KnowledgeGraph::kCompactionWaitMilliseconds + 1500)),
            std::future_status::timeout);
  EXPECT_FALSE(graph.compaction_stalled());
  {
    // A reader being stopped (Ctrl-C sets its wait's cancel flag) gives up.
    std::atomic<bool> cancel{true};
    Options stopping = options_for(name);
    stopping.wait.cancel = &cancel;
    auto stopped = GraphSession::open_reader(stopping);
    ASSERT_TRUE(stopped) << stopped.error;
    EXPECT_TRUE(stopped.session->graph().snapshot().compaction_stalled);
  }
  ::kill(writer, SIGCONT);
  const kg::Snapshot after = read.get();
  EXPECT_FALSE(after.compaction_stalled);
  EXPECT_GT(after.indices.nodes_tail, 0u);

  // Stopped again mid-compaction and killed: the reader gives up after its bound.
  caught = false;
  for (int attempt = 0; attempt < 2000 && !caught; ++attempt) {
    ::kill(writer, SIGSTOP);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    caught = graph.compaction_in_progress();
    if (!caught) {
      ::kill(writer, SIGCONT);
      std::this_thread::sleep_for(std::chrono::microseconds(300 + 37 * (attempt % 50)));
    }
  }
  ::kill(writer, SIGKILL);
  ::waitpid(writer, nullptr, 0);
  ASSERT_TRUE(caught);
  EXPECT_TRUE(graph.snapshot().compaction_stalled);
  ::shm_unlink(("/" + name + ".writer").c_str());  // what a killed writer leaves behind
}

#endif  // !_WIN32

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], kChildFlag) == 0 && std::strcmp(argv[2], "waiter") == 0)
    return child_waiter(argv[3]);
#ifndef _WIN32
  if (argc >= 4 && std::strcmp(argv[1], kChildFlag) == 0) {
    const std::string mode = argv[2], name = argv[3];
    if (mode == "refused") return child_refused(name);
    if (mode == "overtake") return child_overtake(name);
    if (mode == "compact") return child_compact(name);
    return 4;
  }
#endif
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

namespace {

// A C++ writer in autocommit mode with a history window: one write through the
// gate at a time, 100,000 car versions (five times a node kind) at 1 ms apart
// and a 10 s window the record cannot hold, so the window holds less; never a
// refusal, never a reset, and the looks come only as often as needed.
TEST(GraphSessionWindow, AnAutocommitWriterKeepsRoomThroughTheGate) {
  const std::string name = region_name("Window");
  auto writer = GraphSession::open_writer(options_for(name));
  ASSERT_TRUE(writer) << writer.error;
  GraphSession& session = *writer.session;
  kg::KnowledgeGraph& g = session.graph();
  EXPECT_EQ(session.history_window(), 0u);
  session.set_history_window(10'000);
  for (std::uint64_t t = 1; t <= 100'000; ++t) {
    ASSERT_TRUE(session.may_write());
    const auto result = g.add_node(t, 1 + t % 500, car(static_cast<float>(t)));
    ASSERT_TRUE(result.stored()) << "at " << t << ": " << kg::describe(result);
  }
  EXPECT_EQ(session.history_resets(), 0u);
  EXPECT_GT(session.history_compactions(), 4u);
  EXPECT_LT(session.history_compactions(), 200u);
  EXPECT_GT(session.history_held(), 0u);
  EXPECT_LT(session.history_held(), 10'000u);
  EXPECT_LE(g.fill().node_values.fraction(), GraphSession::kHighWater + 0.01);
  EXPECT_EQ(g.get_latest_node_record(kg::Index(1, 1 + 100'000 % 500))->timestamp, 100'000u);
}

// In transaction mode the window acts right after a commit through the session
// and never inside a batch: an open batch is never dropped.
TEST(GraphSessionWindow, ABatchIsNeverCompactedAway) {
  const std::string name = region_name("WindowBatch");
  auto writer = GraphSession::open_writer(options_for(name));
  ASSERT_TRUE(writer) << writer.error;
  GraphSession& session = *writer.session;
  kg::KnowledgeGraph& g = session.graph();
  session.set_history_window(1000);
  g.set_autocommit(false);
  for (std::uint64_t tick = 0; tick < 300; ++tick) {
    ASSERT_TRUE(session.may_write());
    g.start_transaction();
    for (std::uint64_t id = 1; id <= 200; ++id) {
      ASSERT_TRUE(session.may_write());
      ASSERT_TRUE(g.add_node(tick * 10, id, car(static_cast<float>(tick))).stored()) << tick;
    }
    ASSERT_TRUE(session.may_write());
    session.commit_transaction();
    EXPECT_EQ(g.last_update(), tick * 10);
  }
  g.set_autocommit(true);
  EXPECT_GT(session.history_compactions(), 0u);
  EXPECT_EQ(session.history_resets(), 0u);
}

}  // namespace
