// Recordings: the MCAP container against hostile bytes, and end-to-end runs where
// this process writes the real region at full rate while `varnel-inspect record`
// follows it from another process; the recording must hold exactly what the
// writer published (its own log), read by our reader and, when installed, by the
// reference MCAP reader; replaying it and recording again gives the same; reading
// it at a moment gives what the live graph answered then; read behind the
// region as a second source, it answers what the region's window dropped.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <new>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <thread>
#include <tuple>

#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "interval_algebra/interval.hpp"
#include "knowledge_graph/graph/recorder_link.hpp"
#include "mcap.hpp"
#include "moments.hpp"
#include "recorder.hpp"
#include "recording.hpp"
#include "recording_writer.hpp"
#include "recording/recording.hpp"
#include "recording/scene_reader.hpp"
#include "render.hpp"
#include "shared_memory_interface/shared_memory.hpp"

extern char** environ;

// Every allocation through new counted, for the reader's peak memory.
std::atomic<long> g_allocated_bytes{0}, g_peak_bytes{0};

void* counted(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  const long now = g_allocated_bytes += static_cast<long>(malloc_usable_size(p));
  for (long peak = g_peak_bytes; now > peak && !g_peak_bytes.compare_exchange_weak(peak, now);) {
  }
  return p;
}
void uncounted(void* p) noexcept {
  if (p == nullptr) return;
  g_allocated_bytes -= static_cast<long>(malloc_usable_size(p));
  std::free(p);
}
void* operator new(std::size_t size) { return counted(size); }
void* operator new[](std::size_t size) { return counted(size); }
void operator delete(void* p) noexcept { uncounted(p); }
void operator delete[](void* p) noexcept { uncounted(p); }
void operator delete(void* p, std::size_t) noexcept { uncounted(p); }
void operator delete[](void* p, std::size_t) noexcept { uncounted(p); }

namespace {

namespace kg = knowledge_graph::graph;
namespace types = knowledge_graph::graph::types;
namespace fs = std::filesystem;
using interval_algebra::Interval;
using shared_memory_interface::shared_memory::KnowledgeGraphMemory;
using varnel::record::Publication;
using varnel::record::Recording;
using varnel::record::mcap::Compression;
using varnel::record::mcap::compression_name;

const fs::path kDir = fs::temp_directory_path() / ("varnel_record_test_" + std::to_string(getpid()));

struct RemoveTemporaries : ::testing::Environment {
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(kDir, ignored);
  }
};
const auto* const kRemoveTemporaries = ::testing::AddGlobalTestEnvironment(new RemoveTemporaries);

std::string temp(const std::string& name) {
  fs::create_directories(kDir);
  return (kDir / name).string();
}

// ---- Child processes ----

// Children still running when a test ends (an assertion returned early) are
// killed, so no recorder outlives the test.
std::vector<pid_t>& running_children() {
  static std::vector<pid_t> children;
  return children;
}

void kill_running_children() {
  for (const pid_t pid : running_children()) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  running_children().clear();
}

pid_t spawn(const std::vector<std::string>& args, const std::string& output) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, (output + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  if (pid > 0) running_children().push_back(pid);
  return pid;
}

int wait_exit(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  std::erase(running_children(), pid);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

template <class Predicate> bool wait_for(Predicate ready, double seconds = 30) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < until) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

template <class T> std::atomic_ref<T> word(T& shared) { return std::atomic_ref<T>(shared); }

// ---- Comparing versions ----

std::string describe(const kg::NodeItem& item) {
  std::ostringstream out;
  out << "node " << item.value.tag << "/" << item.record.instance_id << " t=" << item.record.timestamp
      << " " << kg::to_string(item.record.marker) << " v" << item.record.value_index << " out";
  for (const auto& e : item.record.outgoing) out << " " << e.type_index << ":" << e.instance_id;
  out << " in";
  for (const auto& e : item.record.incoming) out << " " << e.type_index << ":" << e.instance_id;
  out << " p";
  for (unsigned char c : item.value.payload) out << int(c) << ",";
  return out.str();
}

std::string describe(const kg::RelationItem& item) {
  std::ostringstream out;
  out << "relation " << item.value.tag << "/" << item.record.instance_id << " t=" << item.record.timestamp
      << " " << kg::to_string(item.record.marker) << " v" << item.record.value_index << " "
      << item.record.from.type_index << ":" << item.record.from.instance_id << "->"
      << item.record.to.type_index << ":" << item.record.to.instance_id << " p";
  for (unsigned char c : item.value.payload) out << int(c) << ",";
  return out.str();
}

std::vector<std::string> describe(const Publication& p, bool with_values = true) {
  std::vector<std::string> out;
  out.push_back("publication t=" + std::to_string(p.timestamp) + (p.cleared || p.start ? " fresh" : "") +
                (p.gap ? " gap" : "") +
                (p.compacted ? " compacted since " + std::to_string(p.keep_since) + " keeping " +
                                   std::to_string(p.kept_versions) + "/" + std::to_string(p.kept_node_payloads) +
                                   "/" + std::to_string(p.kept_relation_payloads)
                             : ""));
  for (const auto& item : p.nodes) out.push_back(describe(item));
  for (const auto& item : p.relations) out.push_back(describe(item));
  if (!with_values)
    for (auto& line : out) line = line.substr(0, line.find(" v"));
  return out;
}

// ---- A writer that publishes at full rate and logs what it published ----

struct WriterLog {
  std::vector<Publication> publications;
  // The live graph's answers at some moments: publication number -> scene.
  std::map<std::size_t, std::pair<std::vector<kg::NodeItem>, std::vector<kg::RelationItem>>> answers;
};

class PressureWriter {
 public:
  explicit PressureWriter(kg::KnowledgeGraph& graph) : g_(graph) {}

  // Publishes `count` times: single writes, batches, clears and compactions, often.
  WriterLog run(std::size_t count, std::uint32_t seed) {
    std::mt19937_64 rng(seed);
    prev_ = g_.snapshot().indices;
    epoch_ = g_.snapshot().clear_epoch;
    while (log_.publications.size() < count) {
      const unsigned r = rng() % 100;
      ++time_;
      if (r < 4 || over_half_full()) {
        g_.clear();
        note(true);
      } else if (r < 7) {
        const std::uint64_t keep_since = time_ - rng() % 40;
        const auto before = g_.snapshot().publication_sequence;
        EXPECT_TRUE(g_.compact(keep_since).stored());
        if (g_.snapshot().publication_sequence != before) note_compaction(keep_since);
      } else if (r < 14) {
        g_.set_autocommit(false);
        g_.start_transaction();
        bool cleared = false;
        if (rng() % 5 == 0) {
          g_.clear();
          cleared = true;
        }
        const std::uint64_t active = g_.active_buffer();
        for (unsigned n = 1 + rng() % 6; n > 0; --n) {
          write_one(rng, true);
          // A batch that cleared publishes the empty graph before it reuses a slot.
          if (cleared && g_.active_buffer() != active) {
            note(true);
            cleared = false;
          }
        }
        g_.commit_transaction();
        g_.set_autocommit(true);
        note(cleared);
      } else if (write_one(rng, false)) {
        note(false);
      }
      if (log_.publications.size() % 997 == 0 && !log_.answers.count(log_.publications.size()))
        log_.answers[log_.publications.size()] = {g_.get_all_nodes(Interval::eternity()),
                                                  g_.get_all_relations(Interval::eternity())};
    }
    return log_;
  }

 private:
  bool over_half_full() const {
    const kg::GraphIndices s = g_.snapshot().indices;
    for (auto t : s.node_index_tail)
      if (t > kg::kNodeVersionsPerKind / 2) return true;
    for (auto t : s.relation_index_tail)
      if (t > kg::kRelationVersionsPerKind / 2) return true;
    return s.nodes_tail > kg::kNodeValues / 2 || s.relations_tail > kg::kRelationValues / 2;
  }

  kg::KnowledgeGraphNode node_value(std::uint64_t kind, std::mt19937_64& rng) {
    kg::KnowledgeGraphNode value;
    value.tag = kind;
    const std::size_t size = types::node_record_size(kind);
    for (std::size_t i = 0; i < size; ++i) value.payload[i] = static_cast<unsigned char>(rng());
    if (kind == 6 || kind == 10) value.payload[size - 1] = 0;  // names end with a zero byte
    return value;
  }

  // One write; in a batch any outcome counts, alone only a stored write publishes.
  bool write_one(std::mt19937_64& rng, bool in_batch) {
    static constexpr std::uint64_t kKinds[] = {1, 4, 6, 8, 12};
    const std::uint64_t kind = kKinds[rng() % 5];
    const std::uint64_t id = rng() % 24;
    const unsigned op = rng() % 10;
    if (op < 5) return g_.add_node(time_, id, node_value(kind, rng)).stored();
    if (op < 8) {
      kg::KnowledgeGraphRelation value;
      value.tag = 1 + rng() % 16;
      if (value.tag == 14 || value.tag == 16) value.payload[0] = static_cast<unsigned char>(rng());
      return g_.add_relation(time_, rng() % 40, value, kg::Index(kind, id),
                             kg::Index(kKinds[rng() % 5], rng() % 24))
          .stored();
    }
    if (op == 8) return g_.remove_relation(time_, kg::Index(1 + rng() % 16, rng() % 40)).stored();
    // A node removal publishes once per relation it removes: only inside a batch.
    return in_batch && g_.remove_node(time_, kg::Index(kind, id)).stored();
  }

  void note_compaction(std::uint64_t keep_since) {
    const kg::GraphIndices now = g_.snapshot().indices;
    Publication p;
    p.timestamp = now.update_timestamp;
    p.compacted = true;
    p.keep_since = keep_since;
    for (auto tail : now.node_index_tail) p.kept_versions += tail;
    for (auto tail : now.relation_index_tail) p.kept_versions += tail;
    p.kept_node_payloads = now.nodes_tail;
    p.kept_relation_payloads = now.relations_tail;
    prev_ = now;
    log_.publications.push_back(std::move(p));
  }

  // Logs the publication just made from the writer's own graph.
  void note(bool cleared) {
    const kg::Snapshot now = g_.snapshot();
    Publication p;
    p.cleared = cleared;
    p.timestamp = now.indices.update_timestamp;
    const kg::GraphIndices from = cleared ? kg::GraphIndices{} : prev_;
    for (std::uint64_t k = 0; k < kg::kNodeKinds; ++k)
      for (std::uint64_t s = from.node_index_tail[k]; s < now.indices.node_index_tail[k]; ++s) {
        kg::NodeItem item{g_.node_records[k][s], g_.node_values[g_.node_records[k][s].value_index]};
        p.nodes.push_back(item);
      }
    for (std::uint64_t k = 0; k < kg::kRelationKinds; ++k)
      for (std::uint64_t s = from.relation_index_tail[k]; s < now.indices.relation_index_tail[k]; ++s) {
        kg::RelationItem item{g_.relation_records[k][s],
                              g_.relation_values[g_.relation_records[k][s].value_index]};
        p.relations.push_back(item);
      }
    prev_ = now.indices;
    log_.publications.push_back(std::move(p));
  }

  kg::KnowledgeGraph& g_;
  kg::GraphIndices prev_{};
  std::uint16_t epoch_ = 0;
  std::uint64_t time_ = 1000;
  WriterLog log_;
};

class RegionFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    region_ = std::make_unique<KnowledgeGraphMemory>("KnowledgeGraph", 536'870'912);
    ASSERT_TRUE(region_->initialize());
    graph_ = region_->get_data_ref();
    graph_->initialize();
    graph_->clear();
    link_ = kg::region_recorder_link(graph_, region_->view_size());
    ASSERT_NE(link_, nullptr);
    attached_ = kg::RegionRecorderLink(*graph_, region_->view_size());
  }
  void TearDown() override {
    kill_running_children();
    attached_.reset();
    region_.reset();
  }

  pid_t start_recorder(const std::string& file, const std::string& wait_ms = "2000") {
    std::vector<std::string> args = {VARNEL_INSPECT, "record", file, "--quiet", "--writer-wait", wait_ms};
    const pid_t pid = spawn(args, file + ".out");
    EXPECT_TRUE(wait_for([&] {
      return word(link_->recorder).load() != 0 && word(link_->acknowledged).load() != 0;
    })) << slurp(file + ".out.err");
    return pid;
  }

  // Waits until the recorder has everything, then stops it.
  int stop_recorder(pid_t pid, const std::string& file) {
    EXPECT_TRUE(wait_for([&] {
      return word(link_->acknowledged).load() == word(link_->published).load() + 1;
    })) << slurp(file + ".out.err");
    kill(pid, SIGINT);
    return wait_exit(pid);
  }

  Recording read(const std::string& file) {
    std::string error;
    auto recording = varnel::record::read_recording(file, error);
    EXPECT_TRUE(recording.has_value()) << error;
    return recording ? *recording : Recording{};
  }

  std::unique_ptr<KnowledgeGraphMemory> region_;
  kg::RegionRecorderLink attached_;  // this fixture writes the graph itself
  kg::KnowledgeGraph* graph_ = nullptr;
  kg::RecorderLink* link_ = nullptr;
};

// The recording's publications after its first (the scene at start) against the log.
void expect_same(const std::vector<Publication>& expected, const Recording& recording, std::size_t skip,
                 bool with_values = true) {
  ASSERT_EQ(recording.publications.size(), expected.size() + skip);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto want = describe(expected[i], with_values);
    const auto got = describe(recording.publications[i + skip], with_values);
    ASSERT_EQ(want, got) << "publication " << i + 1 + skip;
  }
}

// ---- Container ----

TEST(McapContainer, WritesAndReadsBackSchemasChannelsMessagesAndMetadata) {
  const std::string path = temp("container.mcap");
  varnel::record::mcap::Writer writer;
  writer.chunk_size = 100;  // several chunks
  std::string error;
  ASSERT_TRUE(writer.open(path, "test", error)) << error;
  writer.add_metadata("info", {{"unit", "ms"}});
  writer.add_schema({1, "s", "jsonschema", "{}"});
  writer.add_channel({1, 1, "/a", "json", {{"k", "v"}}});
  writer.add_channel({2, 0, "/b", "json", {}});
  for (std::uint32_t i = 0; i < 50; ++i)
    writer.add_message({static_cast<std::uint16_t>(1 + i % 2), i, 1000 - i, 1000 - i, "{\"i\":" + std::to_string(i) + "}"});
  ASSERT_TRUE(writer.close(error)) << error;
  auto file = varnel::record::mcap::read_file(path, error);
  ASSERT_TRUE(file) << error;
  EXPECT_EQ(file->library, "test");
  ASSERT_EQ(file->messages.size(), 50u);
  for (std::uint32_t i = 0; i < 50; ++i) {
    EXPECT_EQ(file->messages[i].sequence, i);
    EXPECT_EQ(file->messages[i].channel_id, 1 + i % 2);
    EXPECT_EQ(file->messages[i].data, "{\"i\":" + std::to_string(i) + "}");
  }
  EXPECT_EQ(file->channels.at(1).metadata.at("k"), "v");
  ASSERT_EQ(file->metadata.size(), 1u);
  EXPECT_EQ(file->metadata[0].second.at("unit"), "ms");
  EXPECT_TRUE(file->has_summary);
}

TEST(McapContainer, HostileBytesGiveAnErrorNeverACrash) {
  const std::string path = temp("hostile.mcap");
  {
    varnel::record::RecordingWriter writer;
    std::string error;
    ASSERT_TRUE(writer.open(path, "ms", error));
    Publication p;
    p.start = true;
    kg::NodeItem item{};
    item.value.tag = 1;
    item.record.instance_id = 5;
    item.record.marker = kg::Marker::Valid;
    p.nodes.push_back(item);
    writer.write(p);
    ASSERT_TRUE(writer.close(error));
  }
  const std::string good = slurp(path);
  std::string error;
  ASSERT_TRUE(varnel::record::read_recording_bytes(good, error)) << error;
  // Every truncation.
  for (std::size_t size = 0; size < good.size(); ++size) {
    error.clear();
    EXPECT_FALSE(varnel::record::read_recording_bytes(std::string_view(good).substr(0, size), error));
    EXPECT_FALSE(error.empty());
  }
  // Every single flipped byte: the CRCs or the framing catch it.
  std::size_t refused = 0;
  for (std::size_t at = 0; at < good.size(); ++at) {
    std::string bad = good;
    bad[at] = static_cast<char>(bad[at] ^ 0x5A);
    error.clear();
    if (!varnel::record::read_recording_bytes(bad, error)) {
      ++refused;
      EXPECT_FALSE(error.empty());
    }
  }
  EXPECT_EQ(refused, good.size());
  // Lengths near 2^64 in every record header position.
  for (std::size_t at = 9; at + 8 <= good.size(); ++at) {
    std::string bad = good;
    for (int i = 0; i < 8; ++i) bad[at + i] = '\xff';
    EXPECT_FALSE(varnel::record::read_recording_bytes(bad, error));
  }
}

// ---- The recorder against a private graph ----

struct PrivateLink {
  kg::KnowledgeGraph::Boxed graph = kg::KnowledgeGraph::new_boxed();
  std::unique_ptr<kg::RecorderLink> link = std::make_unique<kg::RecorderLink>();
  PrivateLink() { EXPECT_TRUE(kg::attach_recorder_link(*graph, link.get())); }
};

std::size_t versions_in(const std::vector<Publication>& publications) {
  std::size_t n = 0;
  for (const auto& p : publications) n += p.nodes.size() + p.relations.size();
  return n;
}

// A live recorder on a private graph that collects what it records.
struct LiveRecording : PrivateLink {
  varnel::record::LiveRecorder recorder{*graph, *link};
  std::vector<Publication> got;
  std::function<void(const Publication&)> sink = [this](const Publication& p) { got.push_back(p); };
  std::string error;
  // Attaches and starts; false (and `error`) when the recorder cannot attach.
  bool start() {
    if (!recorder.attach(kg::kRecorderDefaultWaitMicros, error)) return false;
    recorder.start(sink);
    return true;
  }
};

TEST(LiveRecorder, ARingOverrunMergesBoundariesButKeepsEveryVersion) {
  LiveRecording l;
  ASSERT_TRUE(l.start()) << l.error;
  const std::size_t writes = kg::kPublicationLogEntries + 500;
  for (std::uint64_t i = 0; i < writes; ++i)
    ASSERT_TRUE(l.graph->add_node(i, i % 1000, kg::KnowledgeGraphNode(types::Car{})).stored());
  while (l.recorder.poll(l.sink) != 0) {
  }
  EXPECT_EQ(l.recorder.gaps(), 0u);
  EXPECT_EQ(versions_in(l.got), writes);
  ASSERT_GE(l.got.size(), 2u);
  EXPECT_GT(l.got[1].merged, 1u);  // the lapped entries, as one publication
  l.recorder.detach();
}

TEST(LiveRecorder, AWriterThatLogsNothingIsFollowedThroughThePublishedState) {
  LiveRecording l;
  ASSERT_TRUE(l.start()) << l.error;
  kg::detach_recorder_link(*l.graph);  // a host without the link
  for (std::uint64_t i = 0; i < 10; ++i) l.graph->add_node(i, i, kg::KnowledgeGraphNode(types::Car{}));
  ASSERT_TRUE(wait_for([&] { return l.recorder.poll(l.sink) != 0; }, 10));
  EXPECT_EQ(l.recorder.unlogged(), 1u);
  EXPECT_EQ(versions_in(l.got), 10u);
  l.recorder.detach();
}

// ---- Live recording ----

TEST_F(RegionFixture, RecordsExactlyWhatAWriterPublishesAtFullRateWhileItClearsOften) {
  const std::string file = temp("pressure.mcap");
  const pid_t recorder = start_recorder(file);
  PressureWriter writer(*graph_);
  const WriterLog log = writer.run(20000, 7);
  EXPECT_EQ(stop_recorder(recorder, file), 0) << slurp(file + ".out.err");
  EXPECT_EQ(word(link_->gaps).load(), 0u);
  const Recording recording = read(file);
  EXPECT_EQ(recording.info.gaps, 0u);
  EXPECT_EQ(recording.info.merged, 0u);
  ASSERT_FALSE(recording.publications.empty());
  EXPECT_TRUE(recording.publications[0].start);
  expect_same(log.publications, recording, 1);
  // Each version once: a compaction is a mark, not a copy of what it kept.
  const auto compactions = std::count_if(recording.publications.begin(), recording.publications.end(),
                                         [](const Publication& p) { return p.compacted; });
  EXPECT_GT(compactions, 100);
  EXPECT_EQ(recording.info.versions, versions_in(recording.publications));

  // Time travel: the recording at a moment answers as the live graph did then.
  for (const auto& [moment, answer] : log.answers) {
    auto graph = kg::KnowledgeGraph::new_boxed();
    std::string error;
    ASSERT_TRUE(varnel::record::install_moment(recording, moment, *graph, error)) << error;
    const auto nodes = graph->get_all_nodes(Interval::eternity());
    const auto relations = graph->get_all_relations(Interval::eternity());
    ASSERT_EQ(nodes.size(), answer.first.size()) << "moment " << moment;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      EXPECT_EQ(describe(nodes[i]), describe(answer.first[i]));
    }
    ASSERT_EQ(relations.size(), answer.second.size());
    for (std::size_t i = 0; i < relations.size(); ++i) EXPECT_EQ(describe(relations[i]), describe(answer.second[i]));
  }

  // The same through the inspector: `--file F json --time T` at the last moment.
  {
    const auto& [moment, answer] = *log.answers.rbegin();
    const std::string out = file + ".json";
    const pid_t inspect = spawn({VARNEL_INSPECT, "--file", file, "--time",
                                 std::to_string(recording.publications[moment].timestamp), "json", "--indent", "-1"},
                                out);
    ASSERT_EQ(wait_exit(inspect), 0) << slurp(out + ".err");
    const auto scene = nlohmann::json::parse(slurp(out), nullptr, false);
    ASSERT_TRUE(scene.is_object()) << slurp(out).substr(0, 400);
    ASSERT_EQ(scene["nodes"].size(), answer.first.size());
    for (std::size_t i = 0; i < answer.first.size(); ++i)
      EXPECT_EQ(scene["nodes"][i], varnel::inspect::node_json(answer.first[i]));
    ASSERT_EQ(scene["relations"].size(), answer.second.size());
    for (std::size_t i = 0; i < answer.second.size(); ++i)
      EXPECT_EQ(scene["relations"][i], varnel::inspect::relation_json(answer.second[i]));
  }

  // The reference reader, when the test folder's packages are installed.
  const fs::path reader_dir = fs::path(VARNEL_MCAP_READER_DIR);
  if (!fs::exists(reader_dir / "node_modules" / "@mcap" / "core")) {
    GTEST_SKIP() << "the reference MCAP reader is not installed (npm ci in " << reader_dir << ")";
  }
  const pid_t node = spawn({VARNEL_NODE, (reader_dir / "check_recording.mjs").string(), file}, file + ".lines");
  ASSERT_EQ(wait_exit(node), 0) << slurp(file + ".lines.err");
  // Its view of every message against the writer's log.
  std::istringstream lines(slurp(file + ".lines"));
  std::string line;
  std::size_t publication = 0, versions = 0;
  std::vector<std::string> seen;
  while (std::getline(lines, line)) seen.push_back(line);
  std::size_t at = 0;
  struct Line {  // one version as the reader printed it
    std::string topic, marker;
    std::uint64_t number = 0, id = 0, timestamp = 0;
  };
  const auto next_line = [&] {
    Line line;
    std::istringstream(seen[at++]) >> line.topic >> line.number >> line.id >> line.timestamp >> line.marker;
    return line;
  };
  for (std::size_t i = 0; i <= log.publications.size(); ++i) {
    const Publication& p = i == 0 ? recording.publications[0] : log.publications[i - 1];
    ++publication;
    for (const auto& item : p.nodes) {
      ASSERT_LT(at, seen.size());
      const Line line = next_line();
      EXPECT_EQ(line.topic, "/nodes/" + std::string(types::node_kind_name(item.value.tag)));
      EXPECT_EQ(line.number, publication);
      EXPECT_EQ(line.id, item.record.instance_id);
      EXPECT_EQ(line.timestamp, item.record.timestamp);
      EXPECT_EQ(line.marker, kg::to_string(item.record.marker));
      ++versions;
    }
    for (const auto& item : p.relations) {
      ASSERT_LT(at, seen.size());
      const Line line = next_line();
      EXPECT_EQ(line.topic, "/relations/" + std::string(types::relation_kind_name(item.value.tag)));
      EXPECT_EQ(line.number, publication);
      EXPECT_EQ(line.id, item.record.instance_id);
      ++versions;
    }
    ASSERT_LT(at, seen.size());
    EXPECT_EQ(seen[at++].rfind("/publications " + std::to_string(publication) + " ", 0), 0u);
  }
  EXPECT_EQ(at, seen.size());
}

TEST_F(RegionFixture, RecordReplayRecordGivesTheSameVersionsAndBoundaries) {
  const std::string first = temp("first.mcap"), second = temp("second.mcap");
  pid_t recorder = start_recorder(first);
  PressureWriter writer(*graph_);
  writer.run(3000, 11);
  ASSERT_EQ(stop_recorder(recorder, first), 0);
  const Recording original = read(first);

  graph_->clear();
  recorder = start_recorder(second);
  const pid_t replay = spawn({VARNEL_INSPECT, "replay", first, "--rate", "0", "--force", "--quiet"},
                             second + ".replay");
  ASSERT_EQ(wait_exit(replay), 0) << slurp(second + ".replay.err");
  ASSERT_EQ(stop_recorder(recorder, second), 0);
  const Recording again = read(second);
  // The second recording starts with the (empty) scene it found; the replay's
  // first publication brings the first recording's scene at start, as a fresh start.
  ASSERT_EQ(again.publications.size(), original.publications.size() + 1);
  EXPECT_TRUE(again.publications[1].cleared);
  expect_same(std::vector<Publication>(original.publications.begin(), original.publications.end()), again, 1);
}

TEST_F(RegionFixture, ADeadRecorderHoldsTheWriterUpOnceAndForAtMostItsBound) {
  const std::string file = temp("dead.mcap");
  const pid_t recorder = start_recorder(file, "300");
  ASSERT_EQ(word(link_->wait_micros).load(), 300'000u);
  kill(recorder, SIGKILL);
  wait_exit(recorder);
  graph_->add_node(1, 1, kg::KnowledgeGraphNode(types::Car{}));  // logged, never acknowledged
  const auto start = std::chrono::steady_clock::now();
  graph_->clear();
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(waited, 0.25);
  EXPECT_LT(waited, 10.0);  // bounded; generous for a loaded machine
  EXPECT_EQ(word(link_->recorder).load(), 0u) << "the silent recorder is detached";
  EXPECT_EQ(word(link_->detached).load(), 1u);
  EXPECT_EQ(word(link_->gaps).load(), 1u);
  graph_->clear();  // no recorder: no wait, no further gap
  EXPECT_EQ(word(link_->gaps).load(), 1u);
}

TEST_F(RegionFixture, ReplayRefusesADamagedRecordingAndLeavesTheRegionAlone) {
  const std::string file = temp("damaged.mcap");
  pid_t recorder = start_recorder(file);
  PressureWriter writer(*graph_);
  writer.run(200, 3);
  ASSERT_EQ(stop_recorder(recorder, file), 0);
  std::string bytes = slurp(file);
  bytes[bytes.size() / 2] ^= 0x10;
  const std::string damaged = temp("damaged2.mcap");
  std::ofstream(damaged, std::ios::binary) << bytes;
  graph_->clear();
  graph_->add_node(5, 9, kg::KnowledgeGraphNode(types::Car{}));
  const auto before = graph_->snapshot();
  const pid_t replay = spawn({VARNEL_INSPECT, "replay", damaged, "--force", "--rate", "0"}, damaged + ".out");
  EXPECT_EQ(wait_exit(replay), 2);
  EXPECT_NE(slurp(damaged + ".out.err").find("nothing was written"), std::string::npos)
      << slurp(damaged + ".out.err");
  const auto after = graph_->snapshot();
  EXPECT_EQ(before.publication_sequence, after.publication_sequence);

  // A FIFO planted where a recording or snapshot is read never holds a reader
  // up: replay, load and reads with --file refuse it at once.
  const std::string fifo = temp("planted-fifo.mcap");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{VARNEL_INSPECT, "replay", fifo, "--force"},
        std::vector<std::string>{VARNEL_INSPECT, "load", fifo, "--force"},
        std::vector<std::string>{VARNEL_INSPECT, "--file", fifo, "stats"}}) {
    const pid_t reader = spawn(args, fifo + ".out");
    EXPECT_EQ(wait_exit(reader), 2) << args[1] << args[2];
    EXPECT_NE(slurp(fifo + ".out.err").find("not a regular file"), std::string::npos)
        << args[1] << ": " << slurp(fifo + ".out.err");
  }
  EXPECT_EQ(graph_->snapshot().publication_sequence, after.publication_sequence);
}

// A link planted at the recording's name is never followed: the recorder refuses
// it before it attaches, and the link's target keeps its bytes.
TEST_F(RegionFixture, RecordRefusesALinkPlantedAtItsFile) {
  const std::string victim = temp("victim"), file = temp("planted.mcap");
  std::ofstream(victim) << "precious";
  fs::create_symlink(victim, file);
  const pid_t recorder = spawn({VARNEL_INSPECT, "record", file, "--quiet", "--duration", "0.2"}, victim + ".out");
  EXPECT_EQ(wait_exit(recorder), 2);
  EXPECT_NE(slurp(victim + ".out.err").find(file + " is a symbolic link"), std::string::npos)
      << slurp(victim + ".out.err");
  EXPECT_EQ(slurp(victim), "precious");
  EXPECT_EQ(word(link_->recorder).load(), 0u);
}

// Writes a recording of the given publications (the first starts the scene).
void write_recording(const std::string& path, const std::vector<Publication>& publications) {
  varnel::record::RecordingWriter writer;
  std::string error;
  ASSERT_TRUE(writer.open(path, "ms", error)) << error;
  for (const auto& p : publications) writer.write(p);
  ASSERT_TRUE(writer.close(error)) << error;
}

Publication one_car(std::uint64_t timestamp, std::uint64_t id) {
  Publication p;
  p.start = true;
  p.timestamp = timestamp;
  kg::NodeItem item{};
  item.value.tag = 1;
  item.record.timestamp = timestamp;
  item.record.instance_id = id;
  item.record.marker = kg::Marker::Valid;
  p.nodes.push_back(item);
  return p;
}

// Versions that no graph could hold (a relation kind in a list, a node kind at
// an endpoint beyond the vocabulary) are refused before the region is touched,
// naming the message's channel; a looped one-publication recording waits
// between its loops instead of spinning, and ends at Ctrl-C.
TEST_F(RegionFixture, ReplayRefusesVersionsNoGraphHoldsAndALoopWaits) {
  Publication bad_list = one_car(10, 1);
  bad_list.nodes[0].record.outgoing[0] = kg::Index(4'000'000'000, 1);
  Publication bad_endpoint = one_car(10, 1);
  kg::RelationItem relation{};
  relation.value.tag = 9;
  relation.record.instance_id = 2;
  relation.record.marker = kg::Marker::Valid;
  relation.record.from = kg::Index(999'999, 1);
  relation.record.to = kg::Index(6, 3);
  bad_endpoint.relations.push_back(relation);
  graph_->add_node(5, 9, kg::KnowledgeGraphNode(types::Car{}));
  const auto before = graph_->snapshot();
  for (const auto& [name, publication, channel] :
       {std::tuple{"list.mcap", bad_list, "/nodes/Car"}, std::tuple{"endpoint.mcap", bad_endpoint, "/relations/isOn"}}) {
    const std::string file = temp(name);
    write_recording(file, {one_car(5, 7), publication});
    const pid_t replay = spawn({VARNEL_INSPECT, "replay", file, "--force", "--rate", "0"}, file + ".out");
    EXPECT_EQ(wait_exit(replay), 2);
    const std::string err = slurp(file + ".out.err");
    EXPECT_NE(err.find(std::string("(") + channel + "): "), std::string::npos) << err;
    EXPECT_NE(err.find("nothing was written"), std::string::npos) << err;
    EXPECT_EQ(graph_->snapshot().publication_sequence, before.publication_sequence) << name;
  }

  const std::string file = temp("one.mcap");
  write_recording(file, {one_car(5, 7)});
  const pid_t replay = spawn({VARNEL_INSPECT, "replay", file, "--force", "--rate", "0", "--loop", "--quiet"},
                             file + ".out");
  ASSERT_TRUE(wait_for([&] { return graph_->snapshot().publication_sequence != before.publication_sequence; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(replay, SIGINT);
  EXPECT_EQ(wait_exit(replay), 0) << slurp(file + ".out.err");
  unsigned long long loops = 0;
  EXPECT_EQ(std::sscanf(slurp(file + ".out").c_str(), "replayed %llu", &loops), 1) << slurp(file + ".out");
  EXPECT_GE(loops, 1u);
  EXPECT_LE(loops, 3u) << "a loop lasts at least a second";
}

// ---- Seeking and recordings as other tools leave them ----

// The scene a graph holds, as lines.
std::vector<std::string> scene_of(const kg::KnowledgeGraph& graph) {
  std::vector<std::string> out;
  for (const auto& item : graph.get_all_nodes(Interval::eternity())) out.push_back(describe(item));
  for (const auto& item : graph.get_all_relations(Interval::eternity())) out.push_back(describe(item));
  return out;
}

// The scene at `time` through the indexes (read_moment), put into `graph`.
std::vector<std::string> seek_scene(const std::string& file, std::optional<std::uint64_t> time,
                                    kg::KnowledgeGraph& graph, varnel::record::MomentRead& found,
                                    varnel::record::Seek expect = varnel::record::Seek::read) {
  graph.clear();
  varnel::record::Republisher republisher(graph);
  std::string error;
  const auto seek = varnel::record::read_moment(file, time, [&](Publication&& p, std::string& why) {
    return republisher.publish(p, why);
  }, found, error);
  EXPECT_EQ(static_cast<int>(seek), static_cast<int>(expect)) << error;
  return scene_of(graph);
}

// The scene after publication `moment` (0-based) of a recording read whole.
std::vector<std::string> installed_scene(const Recording& recording, std::size_t moment, kg::KnowledgeGraph& graph) {
  graph.clear();
  std::string error;
  EXPECT_TRUE(varnel::record::install_moment(recording, moment, graph, error)) << error;
  return scene_of(graph);
}

// Publications with a clear every 40, 200 versions between clears of small chunks.
std::vector<Publication> clearing_publications(std::size_t count) {
  std::vector<Publication> out;
  for (std::uint64_t i = 0; i < count; ++i) {
    Publication p = one_car(1000 + 10 * i, 1 + i % 7);
    p.start = i == 0;
    p.cleared = i != 0 && i % 40 == 0;
    kg::NodeItem second = p.nodes[0];
    second.record.instance_id += 100;
    second.value.payload[0] = static_cast<unsigned char>(i);
    p.nodes.push_back(second);
    out.push_back(p);
  }
  return out;
}

// `--file F --time T` reads the chunks from the moment's fresh start (the last
// clear before it) to the moment, found through the chunk index and the
// /publications markers: a late moment does not read the early chunks, which
// here are damaged, and gives the scene a whole read gives.
TEST(RecordingSeek, ReadsOnlyTheChunksFromTheMomentsFreshStart) {
  auto graph = kg::KnowledgeGraph::new_boxed();
  for (const auto compression : {Compression::zstd, Compression::lz4, Compression::none}) {
    SCOPED_TRACE(compression_name(compression));
    const std::string file = temp(std::string("seek-") + compression_name(compression) + ".mcap");
    {
      varnel::record::RecordingWriter writer;
      writer.compression = compression;
      writer.chunk_size = 4096;
      std::string error;
      ASSERT_TRUE(writer.open(file, "ms", error)) << error;
      for (const auto& p : clearing_publications(400)) writer.write(p);
      ASSERT_TRUE(writer.close(error)) << error;
    }
    const Recording whole = [&] {
      std::string error;
      auto r = varnel::record::read_recording(file, error);
      EXPECT_TRUE(r) << error;
      return r ? *r : Recording{};
    }();
    ASSERT_EQ(whole.publications.size(), 400u);
    // Every moment, and times between publications, before the first and after the last.
    for (std::uint64_t time = 990; time <= 1000 + 10 * 400 + 5; time += 5) {
      varnel::record::MomentRead found;
      const auto got = seek_scene(file, time, *graph, found);
      const auto moment = varnel::record::moment_at(whole, time);
      if (!moment) {
        EXPECT_FALSE(found.moment) << time;
        EXPECT_TRUE(got.empty());
        continue;
      }
      ASSERT_TRUE(found.moment) << time;
      EXPECT_EQ(*found.moment, *moment + 1) << time;
      EXPECT_EQ(found.publications, 400u);
      ASSERT_TRUE(got == installed_scene(whole, *moment, *graph)) << "time " << time << ": " << got.size() << " versions";
      EXPECT_LT(found.chunks_read, found.chunks) << "time " << time;
    }
    // Damage the first chunk's records: a whole read refuses the file, a late
    // moment reads on without that chunk and answers as before.
    varnel::record::MomentRead found;
    const auto before = seek_scene(file, 1000 + 10 * 390, *graph, found);
    ASSERT_GT(found.chunks, 4u);
    std::string bytes = slurp(file);
    {
      varnel::record::mcap::IndexedReader reader;
      std::string error;
      ASSERT_TRUE(reader.open({}, file, error)) << error;
      const auto& first = reader.summary().chunk_indexes.front();
      bytes[first.chunk_start_offset + first.chunk_length - 20] ^= 0x55;
    }
    const std::string damaged = temp(std::string("seek-damaged-") + compression_name(compression) + ".mcap");
    std::ofstream(damaged, std::ios::binary) << bytes;
    std::string error;
    EXPECT_FALSE(varnel::record::read_recording(damaged, error));
    EXPECT_TRUE(seek_scene(damaged, 1000 + 10 * 390, *graph, found) == before);
    EXPECT_LT(found.chunks_read * 4, found.chunks) << found.chunks_read << " chunks read";
  }
}

// ---- The installed read side: recording::Recording and the second source ----

// A version as a reader sees it, without its payload position (a compaction and
// a rebuild both renumber those).
template <class Item> std::string seen(Item item) {
  item.record.value_index = 0;
  return describe(item);
}
template <class Item> std::vector<std::string> seen(const std::vector<Item>& items) {
  std::vector<std::string> out;
  for (const auto& item : items) out.push_back(seen(item));
  return out;
}

// The region compacts to a short window while varnel-inspect records it from
// another process; a never-compacted graph takes the same writes. Through the
// recording as a second source, reads as of any time, before and after the
// region's horizon, answer as the never-compacted graph does.
TEST_F(RegionFixture, TheRecordingBehindTheRegionAnswersWhatItsWindowDropped) {
  const std::string file = temp("second-source.mcap");
  const pid_t recorder = start_recorder(file);
  auto reference = kg::KnowledgeGraph::new_boxed();
  // Another drive with the same counts: the same writes and windows, one payload byte apart.
  auto twin = kg::KnowledgeGraph::new_boxed();
  std::mt19937_64 rng(11);
  constexpr std::uint64_t kKinds[] = {1, 4, 8};
  std::uint64_t keep_since = 0;
  for (std::uint64_t t = 1; t <= 1200; ++t) {
    const std::uint64_t kind = kKinds[rng() % 3], id = rng() % 8;
    const unsigned op = rng() % 10;
    kg::KnowledgeGraphNode node;
    node.tag = kind;
    for (std::size_t i = 0; i < types::node_record_size(kind); ++i) node.payload[i] = static_cast<unsigned char>(rng());
    kg::KnowledgeGraphRelation relation;
    relation.tag = 1 + rng() % 5;
    const std::uint64_t relation_id = rng() % 12;
    const kg::Index to(kKinds[rng() % 3], rng() % 8);
    for (kg::KnowledgeGraph* g : {graph_, reference.get(), twin.get()}) {
      if (g == twin.get()) node.payload[0] ^= 1;
      if (op < 6) g->add_node(t, id, node);
      else if (op < 9) g->add_relation(t, relation_id, relation, kg::Index(kind, id), to);
      else g->remove_node(t, kg::Index(kind, id));
    }
    if (t % 100 == 0) {  // a window of 40
      keep_since = t - 40;
      ASSERT_TRUE(graph_->compact(keep_since).stored());
      ASSERT_TRUE(twin->compact(keep_since).stored());
    }
  }
  ASSERT_EQ(stop_recorder(recorder, file), 0) << slurp(file + ".out.err");

  const auto drive = std::make_shared<const ::recording::Recording>(file);
  EXPECT_EQ(drive->gaps(), 0u);
  ::recording::SceneReader reader(*graph_, drive);
  const ::recording::SceneView view = reader.view();
  EXPECT_EQ(view.horizon(), keep_since);
  const kg::SceneView region(*graph_), full(*reference);
  // The window dropped something: the region alone answers otherwise before the horizon.
  EXPECT_NE(seen(region.all_nodes_as_of(500)), seen(full.all_nodes_as_of(500)));
  for (const std::uint64_t t : std::vector<std::uint64_t>{0, 1, 250, 500, 1099, keep_since - 1, keep_since, 1180, 1200}) {
    SCOPED_TRACE("as of " + std::to_string(t));
    EXPECT_EQ(seen(view.all_nodes_as_of(t)), seen(full.all_nodes_as_of(t)));
    EXPECT_EQ(seen(view.all_relations_as_of(t)), seen(full.all_relations_as_of(t)));
    EXPECT_EQ(seen(view.relations_as_of(kg::RelationKind(2), t)), seen(full.relations_as_of(kg::RelationKind(2), t)));
    for (std::uint64_t id = 0; id < 8; ++id) {
      const kg::NodeIndex car(kg::NodeKind(1), id);
      const auto got = view.node_at(car, t), want = full.node_at(car, t);
      ASSERT_EQ(got.has_value(), want.has_value()) << id;
      if (got) {
        EXPECT_EQ(seen(*got), seen(*want));
      }
    }
  }
  // One instance over the whole drive, whatever the window kept.
  const kg::NodeIndex car(kg::NodeKind(1), 3);
  EXPECT_EQ(seen(drive->history(car)), seen(full.history(car)));
  EXPECT_EQ(seen(drive->at(600).view().all_nodes_as_of(600)), seen(full.all_nodes_as_of(600)));

  // A region that went on after the recording ended, that holds another scene,
  // or another drive with the same counts, is refused rather than answered wrongly.
  ASSERT_EQ(twin->snapshot().indices.node_index_tail, graph_->snapshot().indices.node_index_tail);
  ASSERT_EQ(twin->snapshot().indices.relation_index_tail, graph_->snapshot().indices.relation_index_tail);
  const auto expect_refused = [](::recording::SceneReader& refused, const std::string& why) {
    try {
      refused.view();
      ADD_FAILURE() << "a view, where the recording should be refused (" << why << ")";
    } catch (const ::recording::RecordingError& e) {
      EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
    }
  };
  ::recording::SceneReader other(*twin, drive);
  expect_refused(other, "another drive");
  graph_->add_node(1300, 1, kg::KnowledgeGraphNode{});
  expect_refused(reader, "ends at");
  graph_->clear();
  kg::KnowledgeGraphNode lane;
  lane.tag = 4;
  graph_->add_node(700, 1, lane);
  EXPECT_THROW(reader.view(), ::recording::RecordingError);
}

TEST(RecordingFile, ErrorsNameTheFileAndWhatIsWrong) {
  const std::string missing = temp("missing.mcap");
  const std::string text = temp("text.mcap");
  std::ofstream(text) << "not a recording";
  for (const auto& [file, what] : {std::pair{missing, "cannot"}, std::pair{text, "MCAP"}}) {
    try {
      ::recording::Recording drive(file);
      ADD_FAILURE() << file << " opened";
    } catch (const ::recording::RecordingError& e) {
      EXPECT_NE(std::string(e.what()).find(file), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(what), std::string::npos) << e.what();
    }
  }
}

// Recordings in each compression, read by the reference reader (zstd and lz4
// through @mcap/support's decompression handlers), stream and index agreeing.
TEST(RecordingReader, TheReferenceReaderReadsEveryCompression) {
  const fs::path reader_dir = fs::path(VARNEL_MCAP_READER_DIR);
  if (!fs::exists(reader_dir / "node_modules" / "@mcap" / "support")) {
    GTEST_SKIP() << "the reference MCAP reader is not installed (npm ci in " << reader_dir << ")";
  }
  for (const auto compression : {Compression::zstd, Compression::lz4, Compression::none}) {
    const std::string file = temp(std::string("reference-") + compression_name(compression) + ".mcap");
    {
      varnel::record::RecordingWriter writer;
      writer.compression = compression;
      writer.chunk_size = 8192;
      std::string error;
      ASSERT_TRUE(writer.open(file, "ms", error)) << error;
      for (const auto& p : clearing_publications(300)) writer.write(p);
      ASSERT_TRUE(writer.close(error)) << error;
    }
    const pid_t node = spawn({VARNEL_NODE, (reader_dir / "check_recording.mjs").string(), file}, file + ".lines");
    ASSERT_EQ(wait_exit(node), 0) << slurp(file + ".lines.err");
    const std::string said = slurp(file + ".lines.err");
    EXPECT_NE(said.find("900 messages"), std::string::npos) << said;
    EXPECT_NE(said.find(compression == Compression::none ? "(none)" : std::string("(") + compression_name(compression) + ")"),
              std::string::npos) << said;
  }
}

// A recording re-written by @mcap/core's writer (repack.mjs: chunks cut inside
// publications, zstd or none, ids renumbered, no message indexes, no summary,
// unchunked, schemas and channels repeated in every chunk, an attachment and
// metadata among the chunks, the recording's metadata after its messages)
// reads back to the same publications, so to the same graph at every moment,
// front to back and, where it has a chunk index, through the seek.
TEST_F(RegionFixture, RecordingsRepackedByTheReferenceWriterReadBackTheSame) {
  const fs::path reader_dir = fs::path(VARNEL_MCAP_READER_DIR);
  if (!fs::exists(reader_dir / "node_modules" / "@mcap" / "core")) {
    GTEST_SKIP() << "the reference MCAP writer is not installed (npm ci in " << reader_dir << ")";
  }
  const std::string file = temp("original.mcap");
  const pid_t recorder = start_recorder(file);
  PressureWriter writer(*graph_);
  writer.run(1500, 5);
  ASSERT_EQ(stop_recorder(recorder, file), 0);
  const Recording original = read(file);
  ASSERT_EQ(original.publications.size(), 1501u);
  const std::string prefix = temp("repacked");
  const pid_t node = spawn({VARNEL_NODE, (reader_dir / "repack.mjs").string(), file, prefix}, prefix + ".out");
  ASSERT_EQ(wait_exit(node), 0) << slurp(prefix + ".out.err");
  auto graph = kg::KnowledgeGraph::new_boxed();
  for (const char* variant : {"small-chunks", "no-summary", "unchunked", "repeated"}) {
    SCOPED_TRACE(variant);
    const std::string repacked = prefix + "-" + variant + ".mcap";
    const Recording again = read(repacked);
    ASSERT_EQ(again.publications.size(), original.publications.size());
    for (std::size_t i = 0; i < original.publications.size(); ++i) {
      ASSERT_EQ(describe(again.publications[i]), describe(original.publications[i])) << "publication " << i + 1;
      ASSERT_EQ(again.publications[i].number, original.publications[i].number);
    }
    // Through --time: the seek where the file has a chunk index and recording
    // metadata index, else the whole file; the scene as the original's.
    const bool seekable = std::string(variant) == "small-chunks";
    for (std::size_t moment = 0; moment < original.publications.size(); moment += 97) {
      const std::uint64_t time = original.publications[moment].timestamp;
      varnel::record::MomentRead found;
      const auto got = seek_scene(repacked, time, *graph, found,
                                  seekable ? varnel::record::Seek::read : varnel::record::Seek::no_index);
      if (!seekable) continue;
      const auto at = varnel::record::moment_at(original, time);
      ASSERT_TRUE(at);
      EXPECT_TRUE(got == installed_scene(original, *at, *graph)) << "moment " << *at;
    }
    // And the inspector, at the last moment.
    const std::string out = repacked + ".json";
    const pid_t inspect = spawn({VARNEL_INSPECT, "--file", repacked, "json", "--indent", "-1"}, out);
    ASSERT_EQ(wait_exit(inspect), 0) << slurp(out + ".err");
    const auto scene = nlohmann::json::parse(slurp(out), nullptr, false);
    ASSERT_TRUE(scene.is_object());
    graph->clear();
    std::string error;
    ASSERT_TRUE(varnel::record::install_moment(original, original.publications.size() - 1, *graph, error)) << error;
    EXPECT_EQ(scene["nodes"].size(), graph->get_all_nodes(Interval::eternity()).size());
    EXPECT_EQ(scene["relations"].size(), graph->get_all_relations(Interval::eternity()).size());
  }
}

// A recording is read a record at a time: the memory it takes is a few of its
// 1 MB chunks, however large the file (here 13 MB of one-car publications
// uncompressed), whether its chunks are compressed or not.
TEST(RecordingReader, MemoryStaysBoundedByAChunkNotTheFile) {
  for (const auto compression : {Compression::none, Compression::zstd, Compression::lz4}) {
    const std::string file = temp(std::string("large-") + compression_name(compression) + ".mcap");
    {
      varnel::record::RecordingWriter writer;
      writer.compression = compression;
      std::string error;
      ASSERT_TRUE(writer.open(file, "ms", error)) << error;
      for (std::uint64_t i = 0; i < 40'000; ++i) {
        Publication p = one_car(i, 1 + i % 50);
        p.start = i == 0;
        writer.write(p);
      }
      ASSERT_TRUE(writer.close(error)) << error;
    }
    const auto size = static_cast<long>(fs::file_size(file));
    if (compression == Compression::none) {
      ASSERT_GT(size, 10'000'000L);
    }
    std::uint64_t publications = 0, versions_of_car_1 = 0;
    std::string error;
    g_peak_bytes = g_allocated_bytes.load();
    const long before = g_peak_bytes;
    const auto info = varnel::record::read_publications(file, [&](Publication&& p, std::string&) {
      ++publications;
      versions_of_car_1 += p.nodes[0].record.instance_id == 1 ? 1 : 0;
      return true;
    }, error);
    const long peak = g_peak_bytes - before;
    ASSERT_TRUE(info) << error;
    EXPECT_EQ(publications, 40'000u);
    EXPECT_EQ(versions_of_car_1, 800u);
    EXPECT_LT(peak, 6'000'000L) << "reading took " << peak << " bytes at its peak for a file of " << size
                                << " (" << compression_name(compression) << ")";
    if (compression == Compression::none) {
      EXPECT_LT(peak, size / 2);
    }

    // The installed reader: opened (a few words per publication kept) and a
    // moment rebuilt through the chunk index; the rebuilt graph's own memory is
    // the graph's, not the file's.
    g_peak_bytes = g_allocated_bytes.load();
    const long opening = g_peak_bytes;
    const ::recording::Recording drive(file);
    EXPECT_EQ(drive.publications(), 40'000u);
    EXPECT_EQ(drive.at(10'000).view().nodes(kg::NodeKind::Car).size(), 50u);
    const long rebuilt = g_peak_bytes - opening;
    EXPECT_LT(rebuilt, 8'000'000L) << "opening and a moment took " << rebuilt << " bytes at their peak for a file of "
                                   << size << " (" << compression_name(compression) << ")";
  }
}

}  // namespace
