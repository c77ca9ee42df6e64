// End-to-end: varnel-demo writes the real region "KnowledgeGraph" while
// varnel-inspect, in other processes, reads it; then the saved scene is loaded
// back into a region and saved again.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "snapshot_file.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "snapshot_file.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

// A tool's path as this program's shell takes it. The Windows cross build runs
// under Wine, where the build's Unix paths lie on drive Z:.
std::string tool_path(std::string path) {
#if defined(_WIN32)
  if (path.rfind('/', 0) == 0) path = "Z:" + path;
  for (char& c : path)
    if (c == '/') c = '\\';
#endif
  return path;
}

#if defined(_WIN32)
constexpr const char* kQuiet = " >NUL 2>&1";
constexpr int kSlowdown = 3;  // under Wine every program start takes about a second
#else
constexpr const char* kQuiet = " >/dev/null 2>&1";
constexpr int kSlowdown = 1;
#endif

bool graphviz_installed() { return std::system((std::string("dot -V") + kQuiet).c_str()) == 0; }

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class ToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("varnel_tools_test_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs a tool with its output captured; `name` keeps parallel runs apart.
  // `prefix` goes before the command (a `cd` or an environment setting).
  Outcome run(const std::string& tool, const std::string& arguments, const std::string& name = "run",
              const std::string& prefix = "") const {
    const fs::path out = dir_ / (name + ".out"), err = dir_ / (name + ".err");
    std::string command = prefix + "\"" + tool_path(tool) + "\" " + arguments + " >\"" + out.string() +
                          "\" 2>\"" + err.string() + "\"";
#if defined(_WIN32)
    command = "\"" + command + "\"";  // cmd /c drops the outermost quotes
#endif
    const int status = std::system(command.c_str());
    return Outcome{status, read_file(out), read_file(err)};
  }
  Outcome inspect(const std::string& arguments, const std::string& name = "inspect",
                  const std::string& prefix = "") const {
    return run(VARNEL_INSPECT, arguments, name, prefix);
  }
  // Polls until the inspector reads a graph with content, for at most `seconds`
  // (a host's set-up zero-fills the region before its first batch).
  bool wait_for_scene(int seconds) const {
    for (int i = 0; i < seconds * 10; ++i) {
      const Outcome stats = inspect("stats", "poll");
      if (stats.status == 0 && stats.out.find("empty:             no") != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  // A small scene saved as a snapshot file: one car on one lane.
  std::string small_snapshot() const {
    auto graph = knowledge_graph::graph::KnowledgeGraph::new_boxed();
    graph->add_node(10, 7, knowledge_graph::graph::KnowledgeGraphNode(
                               knowledge_graph::graph::types::Car{{1, 0, 0}, 7, {5, 2, 0}, 12.5f}));
    graph->add_node(10, 3, knowledge_graph::graph::KnowledgeGraphNode(knowledge_graph::graph::types::Lane{}));
    graph->add_relation(11, 1, knowledge_graph::graph::KnowledgeGraphRelation(knowledge_graph::graph::types::isOn{}),
                        knowledge_graph::graph::Index(1, 7), knowledge_graph::graph::Index(6, 3));
    varnel::inspect::Snapshot snapshot;
    std::string error;
    EXPECT_TRUE(varnel::inspect::take_snapshot(*graph, snapshot, error)) << error;
    EXPECT_TRUE(varnel::inspect::write_snapshot_file(snapshot, path("small.bin"), error)) << error;
    return path("small.bin");
  }

#if !defined(_WIN32)
  // Starts the inspector without waiting for it; its output goes to NAME.out/.err.
  pid_t start_inspect(std::vector<std::string> arguments, const std::string& name) const {
    arguments.insert(arguments.begin(), VARNEL_INSPECT);
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, path(name + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, path(name + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    if (posix_spawn(&pid, VARNEL_INSPECT, &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }
#endif

  fs::path dir_;
};

#if !defined(_WIN32)
std::string unique_region(const char* what) {
  return std::string("varnel_tools_") + what + "_" + std::to_string(getpid());
}

// The exit code, or 128 + the signal that ended the process.
int wait_for(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Every subcommand takes --region, so a scene can be loaded and read beside a
// live host of "KnowledgeGraph" without touching it.
TEST_F(ToolsTest, EverySubcommandWorksOnANamedRegion) {
  const std::string file = small_snapshot();
  const std::string region = unique_region("named");
  Outcome missing = inspect("stats --region " + region);
  EXPECT_NE(missing.status, 0);
  EXPECT_NE(missing.err.find("no shared region \"" + region + "\" to read: is a host running?"),
            std::string::npos) << missing.err;

  const pid_t loader = start_inspect({"load", file, "--region", region, "--hold", "-1"}, "loader");
  ASSERT_GT(loader, 0);
  bool up = false;
  for (int i = 0; i < 200 && !up; ++i) {
    up = inspect("--region " + region + " stats", "poll").out.find("empty:             no") != std::string::npos;
    if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(up) << read_file(path("loader.err"));
  for (const std::string& command : std::vector<std::string>{"stats", "nodes --kind Car", "relations", "history Car 7", "json", "dot", "watch --count 1 --no-clear",
        "save " + path("again.bin")}) {
    Outcome outcome = inspect(command + " --region " + region, "named");
    EXPECT_EQ(outcome.status, 0) << command << ": " << outcome.err;
    EXPECT_EQ(outcome.err.find("KnowledgeGraph\""), std::string::npos) << command;
  }
  EXPECT_EQ(read_file(path("again.bin")), read_file(file));
  kill(loader, SIGTERM);
  EXPECT_EQ(wait_for(loader), 0) << read_file(path("loader.err"));
}

// A region the inspector may not use is named with the real reason, not
// "is a host running?".
TEST_F(ToolsTest, ReadersAreToldWhyARegionIsRefused) {
  const std::string region = unique_region("small");
  const std::string object = "/" + region;
  const int fd = shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 4096), 0);
  ASSERT_EQ(flock(fd, LOCK_SH), 0);  // held, as by a living holder
  const int lock = shm_open((object + ".lock").c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(lock, 0);
  close(lock);
  Outcome small = inspect("--region " + region + " stats");
  EXPECT_NE(small.status, 0);
  EXPECT_NE(small.err.find("holds 4096 bytes, too few"), std::string::npos) << small.err;
  EXPECT_EQ(small.err.find("is a host running?"), std::string::npos) << small.err;
  Outcome load = inspect("load " + small_snapshot() + " --region " + region);
  EXPECT_NE(load.status, 0);
  EXPECT_NE(load.err.find("holds 4096 bytes, too few"), std::string::npos) << load.err;

  ASSERT_EQ(fchmod(fd, 0644), 0);
  Outcome open = inspect("--region " + region + " json");
  EXPECT_NE(open.status, 0);
  EXPECT_NE(open.err.find("mode 644"), std::string::npos) << open.err;
  close(fd);
  shm_unlink(object.c_str());
  shm_unlink((object + ".lock").c_str());
}

// A process that keeps the set-up lock delays the inspector a bounded time, and
// Ctrl-C or SIGTERM end the wait at once.
TEST_F(ToolsTest, KeptSetUpLockEndsInAnErrorOrAtASignal) {
  const std::string region = unique_region("lock");
  const std::string lock_object = "/" + region + ".lock";
  const int fd = shm_open(lock_object.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  Outcome timed_out = inspect("--region " + region + " --wait 0.3 stats");
  EXPECT_NE(timed_out.status, 0);
  EXPECT_NE(timed_out.err.find("kept the set-up lock"), std::string::npos) << timed_out.err;

  for (const int signal : {SIGINT, SIGTERM}) {
    const pid_t waiting = start_inspect({"--region", region, "--wait", "3600", "stats"}, "waiting");
    ASSERT_GT(waiting, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(waiting, signal);
    const int code = wait_for(waiting);
    EXPECT_NE(code, 0);
    EXPECT_LT(code, 128) << "ended by the signal rather than reporting it";
    EXPECT_NE(read_file(path("waiting.err")).find("interrupted"), std::string::npos)
        << read_file(path("waiting.err"));
  }
  close(fd);
  shm_unlink(lock_object.c_str());
}

// Snapshot files that lie about their size, and a Graphviz source file in the
// way, are refused with an error line and an exit status.
TEST_F(ToolsTest, HostileFilesAreRefusedWithoutAnAbort) {
  std::string bytes = read_file(small_snapshot());
  bytes.resize(4096, '\0');
  const std::uint64_t claim = std::uint64_t{1} << 40;  // 1 TiB
  std::memcpy(bytes.data() + offsetof(varnel::inspect::SnapshotHeader, payload_size), &claim, sizeof claim);
  { std::ofstream(path("huge.bin"), std::ios::binary) << bytes; }
  for (const std::string& command :
       std::vector<std::string>{"--file " + path("huge.bin") + " stats", "load " + path("huge.bin")}) {
    Outcome huge = inspect(command);
    EXPECT_TRUE(WIFEXITED(huge.status) && WEXITSTATUS(huge.status) == 2) << command << ": " << huge.err;
    EXPECT_NE(huge.err.find("more than the largest possible graph"), std::string::npos) << huge.err;
  }

  { std::ofstream(path("scene.svg.dot")) << "mine"; }
  Outcome dot = inspect("--file " + path("small.bin") + " dot --svg " + path("scene.svg"));
  EXPECT_NE(dot.status, 0);
  EXPECT_NE(dot.err.find("scene.svg.dot exists"), std::string::npos) << dot.err;
  EXPECT_EQ(read_file(path("scene.svg.dot")), "mine");
}

// Links planted where the inspector writes a file are never followed: the
// command is refused, naming the file, and the link's target stays as it was.
TEST_F(ToolsTest, OutputFilesAreNeverWrittenThroughAPlantedLink) {
  const std::string scene = small_snapshot();
  { std::ofstream(path("victim")) << "precious"; }
  fs::create_symlink(path("victim"), path("link.dot"));
  fs::create_symlink(path("victim"), path("link.svg"));
  for (const std::string& command :
       {"dot --output " + path("link.dot"), "dot --svg " + path("link.svg") + " --output " + path("ok.dot"),
        "dot --svg " + path("link.svg")}) {
    const Outcome refused = inspect("--file " + scene + " " + command);
    EXPECT_TRUE(WIFEXITED(refused.status) && WEXITSTATUS(refused.status) == 2) << command << ": " << refused.err;
    EXPECT_NE(refused.err.find("is a symbolic link"), std::string::npos) << command << ": " << refused.err;
    EXPECT_EQ(read_file(path("victim")), "precious") << command;
  }
  EXPECT_TRUE(fs::is_symlink(path("link.dot")) && fs::is_symlink(path("link.svg")));
  EXPECT_FALSE(fs::exists(path("link.svg.dot"))) << "a refused command writes nothing";
  if (graphviz_installed()) {  // an SVG is written and no temporary is left beside it
    ASSERT_EQ(inspect("--file " + scene + " dot --svg " + path("fine.svg")).status, 0);
    EXPECT_NE(read_file(path("fine.svg")).find("<svg"), std::string::npos);
    for (const auto& entry : fs::directory_iterator(dir_))
      EXPECT_EQ(entry.path().string().find(".partial"), std::string::npos) << entry.path();
  }
}

#endif  // POSIX-only tests: spawn, signals, flock, other users

TEST_F(ToolsTest, BadInputIsRefusedWithAReason) {
  Outcome bad_kind = inspect("nodes --kind Spaceship");
  EXPECT_NE(bad_kind.status, 0);
  EXPECT_NE(bad_kind.err.find("unknown node kind \"Spaceship\""), std::string::npos) << bad_kind.err;
  Outcome bad_relation = inspect("relations --kind 17");
  EXPECT_NE(bad_relation.status, 0);
  EXPECT_NE(bad_relation.err.find("unknown relation kind"), std::string::npos);

  { std::ofstream(path("foreign.bin")) << "this is not a graph at all, just some text\n"; }
  Outcome foreign = inspect("--file " + path("foreign.bin") + " stats");
  EXPECT_NE(foreign.status, 0);
  EXPECT_NE(foreign.err.find("not a varnel snapshot file"), std::string::npos) << foreign.err;

  Outcome missing = inspect("--file " + path("absent.bin") + " stats");
  EXPECT_NE(missing.status, 0);
  EXPECT_NE(missing.err.find("cannot open"), std::string::npos);

  Outcome load_foreign = inspect("load " + path("foreign.bin"));
  EXPECT_NE(load_foreign.status, 0);
  EXPECT_NE(load_foreign.err.find("nothing was changed"), std::string::npos) << load_foreign.err;

  EXPECT_EQ(inspect("history --help").status, 0);
  EXPECT_EQ(inspect("load --help").status, 0);
}

TEST_F(ToolsTest, NoRegionTellsToStartAHost) {
  if (inspect("stats").status == 0) GTEST_SKIP() << "another process holds the region";
  Outcome none = inspect("json");
  EXPECT_NE(none.status, 0);
  EXPECT_NE(none.err.find("is a host running?"), std::string::npos) << none.err;
}

// Node (kind, id) in the JSON scene, or null.
const nlohmann::json* find_node(const nlohmann::json& scene, const std::string& kind, std::uint64_t id) {
  for (const auto& node : scene["nodes"])
    if (node["kind"] == kind && node["id"] == id) return &node;
  return nullptr;
}

void expect_static_scene(const nlohmann::json& scene) {
  const auto* road = find_node(scene, "Road", 1);
  ASSERT_NE(road, nullptr);
  EXPECT_EQ((*road)["attributes"]["roadName"], "Main Street");
  for (std::uint64_t lane = 1; lane <= 4; ++lane) ASSERT_NE(find_node(scene, "Lane", lane), nullptr);
  EXPECT_EQ((*find_node(scene, "Lane", 3))["attributes"]["laneName"], "Station Road northbound");
  EXPECT_EQ((*find_node(scene, "Lane", 3))["attributes"]["laneSpeedLimit"], 30);
  EXPECT_NE(find_node(scene, "Ego", 1), nullptr);
  EXPECT_NE(find_node(scene, "Intersection", 1), nullptr);
  EXPECT_NE(find_node(scene, "Crosswalk", 2), nullptr);
  int cars = 0, is_on = 0;
  for (const auto& node : scene["nodes"]) cars += node["kind"] == "Car";
  for (const auto& relation : scene["relations"]) is_on += relation["kind"] == "isOn";
  EXPECT_GE(cars, 5);
  EXPECT_GE(is_on, cars);  // every car is on a lane, and so is the ego vehicle
}

TEST_F(ToolsTest, InspectorReadsTheLiveDemoAndSnapshotsRoundTrip) {
  if (inspect("stats").status == 0) GTEST_SKIP() << "another process holds the region";
  Outcome demo{};
  std::thread host([&] { demo = run(VARNEL_DEMO, "--duration " + std::to_string(12 * kSlowdown) + " --rate 20 --cars 16 --seed 7", "demo"); });
  ASSERT_TRUE(wait_for_scene(20)) << "the demo did not bring the region up";
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));

  Outcome stats = inspect("stats");
  EXPECT_EQ(stats.status, 0) << stats.err;
  EXPECT_NE(stats.out.find("node versions Car"), std::string::npos);
  EXPECT_NE(stats.out.find("autocommit:        off"), std::string::npos);  // the demo batches
  EXPECT_NE(stats.out.find("writer:            alive"), std::string::npos) << stats.out;

  Outcome json = inspect("json --indent -1");
  ASSERT_EQ(json.status, 0) << json.err;
  expect_static_scene(nlohmann::json::parse(json.out));

  Outcome cars = inspect("nodes --kind car");
  EXPECT_EQ(cars.status, 0);
  EXPECT_NE(cars.out.find("Car(Car { carDirection: Vector3f"), std::string::npos);
  Outcome history = inspect("history Lane 1");
  EXPECT_NE(history.out.find("Index { type_index: 6, instance_id: 1 }"), std::string::npos);
  EXPECT_NE(history.out.find("#2"), std::string::npos) << "the lane gains versions as cars join it";

  Outcome dot = inspect("dot -o " + path("scene.dot"));
  ASSERT_EQ(dot.status, 0) << dot.err;
  EXPECT_EQ(read_file(path("scene.dot")).rfind("digraph scene {", 0), 0u);
  const bool graphviz = graphviz_installed();
  if (graphviz) {
    Outcome svg = inspect("dot --svg " + path("scene.svg"));
    EXPECT_EQ(svg.status, 0) << svg.err;
    EXPECT_NE(read_file(path("scene.svg")).find("<svg"), std::string::npos);
  }

  Outcome watch = inspect("watch --count 2 --interval 0.5 --no-clear --limit 3");
  EXPECT_EQ(watch.status, 0) << watch.err;
  EXPECT_NE(watch.out.find("node versions/s"), std::string::npos) << watch.out;
  EXPECT_NE(watch.out.find("writer: alive"), std::string::npos) << watch.out;

  // A second host is refused, says so, and leaves the first one's scene alone.
  Outcome second = run(VARNEL_DEMO, "--duration 1 --rate 20 --cars 4 --seed 9", "second");
  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_NE(second.err.find("REFUSED: another process is writing the region"), std::string::npos)
      << second.err;
  EXPECT_NE(second.out.find("not the writer: nothing stored"), std::string::npos) << second.out;
  Outcome intact = inspect("json --indent -1", "intact");
  ASSERT_EQ(intact.status, 0) << intact.err;
  expect_static_scene(nlohmann::json::parse(intact.out));

  ASSERT_EQ(inspect("save " + path("live.bin")).status, 0);
  // Nor does a load replace a live host's scene, forced or not.
  Outcome forced = inspect("load " + path("live.bin") + " --force", "forced");
  EXPECT_NE(forced.status, 0);
  EXPECT_NE(forced.err.find("a host is writing the region"), std::string::npos) << forced.err;
  host.join();
  EXPECT_EQ(demo.status, 0) << demo.err;
  EXPECT_NE(demo.out.find("tick"), std::string::npos);

  // The saved scene reads like the live one, without any region.
  Outcome from_file = inspect("--file " + path("live.bin") + " json --indent -1");
  ASSERT_EQ(from_file.status, 0) << from_file.err;
  expect_static_scene(nlohmann::json::parse(from_file.out));
  EXPECT_NE(inspect("--file " + path("live.bin") + " stats").out.find("writer:            none (a file)"),
            std::string::npos);

  // Graphviz gets the file name as it is, through no shell.
#if !defined(_WIN32)
  const std::string hostile = "scene$(id>PWNED).svg";
  Outcome quoted = inspect("--file live.bin dot --svg '" + hostile + "'", "hostile", "cd \"" + dir_.string() + "\" && ");
  EXPECT_FALSE(fs::exists(dir_ / "PWNED")) << "a shell ran part of the file name";
  EXPECT_TRUE(fs::exists(dir_ / (hostile + ".dot"))) << quoted.err;
  if (graphviz) {
    EXPECT_EQ(quoted.status, 0) << quoted.err;
    EXPECT_NE(read_file(dir_ / hostile).find("<svg"), std::string::npos);
  }
  // Without Graphviz: a clear message, and the Graphviz source is kept.
  fs::create_directories(dir_ / "empty");
  const std::string no_graphviz = "PATH=\"" + (dir_ / "empty").string() + "\" ";
#else
  const std::string no_graphviz;
  if (!graphviz)
#endif
  {
    Outcome absent = inspect("--file " + path("live.bin") + " dot --svg " + path("absent.svg"), "absent", no_graphviz);
    EXPECT_NE(absent.status, 0);
    EXPECT_NE(absent.err.find("Graphviz \"dot\" is not installed"), std::string::npos) << absent.err;
    EXPECT_EQ(read_file(path("absent.svg.dot")).rfind("digraph scene {", 0), 0u);
    EXPECT_FALSE(fs::exists(path("absent.svg")));
  }

  // Loaded into a fresh region and saved again: the same bytes.
  ASSERT_NE(inspect("stats", "gone").status, 0) << "the region outlived its holders";
  Outcome loader{};
  std::thread holder([&] { loader = inspect("load " + path("live.bin") + " --hold " + std::to_string(5 * kSlowdown), "load"); });
  ASSERT_TRUE(wait_for_scene(20)) << "load did not bring the region up";
  Outcome again = inspect("save " + path("again.bin"));
  holder.join();
  EXPECT_EQ(loader.status, 0) << loader.err;
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(read_file(path("live.bin")), read_file(path("again.bin")));

  // A damaged copy is refused and changes nothing.
  std::string damaged = read_file(path("live.bin"));
  damaged[damaged.size() / 2] ^= 0x5a;
  { std::ofstream(path("damaged.bin"), std::ios::binary) << damaged; }
  Outcome refused = inspect("load " + path("damaged.bin"));
  EXPECT_NE(refused.status, 0);
  EXPECT_NE(refused.err.find("checksum mismatch"), std::string::npos) << refused.err;
}

}  // namespace

namespace {

// A host that runs on with a window: the demo compacts instead of resetting, and
// an inspector reading throughout never finds the graph empty, and sees it
// shrink when the history before the window goes. The re-add pattern fills the
// graph within the run (with updates it takes about 80 s of host time). 25 s
// here; the same with --duration 120 --rate 10 is the long run to try by hand.
TEST_F(ToolsTest, DemoWithAWindowCompactsInsteadOfResetting) {
  if (inspect("stats").status == 0) GTEST_SKIP() << "another process holds the region";
  Outcome demo{};
  std::atomic<bool> done{false};
  std::thread host([&] {
    demo = run(VARNEL_DEMO, "--duration 25 --rate 20 --cars 24 --seed 3 --window 5 --pattern re-add", "demo");
    done = true;
  });
  ASSERT_TRUE(wait_for_scene(20)) << "the demo did not bring the region up";
  int reads = 0, empty = 0, shrunk = 0;
  unsigned long long versions = 0, most_versions = 0;
  while (!done) {
    const Outcome stats = inspect("stats", "poll");
    if (stats.status == 0) {
      ++reads;
      if (stats.out.find("empty:             no") == std::string::npos) ++empty;
      EXPECT_NE(stats.out.find("oldest version:    "), std::string::npos);
      const std::size_t at = stats.out.find("node versions:     ");
      if (at != std::string::npos && std::sscanf(stats.out.c_str() + at + 19, "%llu", &versions) == 1) {
        shrunk += versions < most_versions;
        most_versions = std::max(most_versions, versions);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  host.join();
  EXPECT_EQ(demo.status, 0) << demo.err;
  EXPECT_NE(demo.out.find("the library's window compacted it"), std::string::npos) << demo.out;
  EXPECT_EQ(demo.out.find("reset it"), std::string::npos) << demo.out;
  EXPECT_GT(reads, 10);
  EXPECT_EQ(empty, 0) << "the inspector found the graph empty";
  EXPECT_GT(shrunk, 0) << "no read saw the graph after a compaction";
}

}  // namespace

// --at is the state as of that time: what existed then, whenever it was written.
TEST_F(ToolsTest, AtShowsTheStateAsOfThatTime) {
  namespace kg = knowledge_graph::graph;
  auto graph = kg::KnowledgeGraph::new_boxed();
  graph->add_node(0, 3, kg::KnowledgeGraphNode(kg::types::Lane{}));
  graph->add_node(10, 25, kg::KnowledgeGraphNode(kg::types::Car{}));
  graph->add_relation(10, 1, kg::KnowledgeGraphRelation(kg::types::isOn{}), kg::Index(1, 25),
                      kg::Index(6, 3));
  graph->remove_node(20, kg::Index(1, 25));
  std::string error;
  varnel::inspect::Snapshot snapshot;
  ASSERT_TRUE(varnel::inspect::take_snapshot(*graph, snapshot, error)) << error;
  ASSERT_TRUE(varnel::inspect::write_snapshot_file(snapshot, path("at.bin"), error)) << error;
  const auto lines = [](const std::string& text) {
    return std::count(text.begin(), text.end(), '\n');
  };
  const Outcome before = inspect("--file " + path("at.bin") + " nodes --at 5");
  ASSERT_EQ(before.status, 0) << before.err;
  EXPECT_EQ(lines(before.out), 1) << before.out;  // the lane, written at 0
  const Outcome during = inspect("--file " + path("at.bin") + " nodes --at 15");
  EXPECT_EQ(lines(during.out), 2) << during.out;
  EXPECT_EQ(lines(inspect("--file " + path("at.bin") + " relations --at 15").out), 1);
  const Outcome after = inspect("--file " + path("at.bin") + " nodes --kind Car --at 25");
  EXPECT_EQ(after.status, 0);
  EXPECT_EQ(lines(after.out), 0) << after.out;
  EXPECT_EQ(lines(inspect("--file " + path("at.bin") + " relations --at 25").out), 0);
}
