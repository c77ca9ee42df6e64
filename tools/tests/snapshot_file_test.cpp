// Snapshot files: round trips through private graphs, and the files refused.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "render.hpp"
#include "snapshot_file.hpp"

namespace {

namespace kg = knowledge_graph::graph;
namespace types = kg::types;
namespace fs = std::filesystem;
using interval_algebra::Interval;
using varnel::inspect::Snapshot;

kg::KnowledgeGraph::Boxed sample_graph() {
  auto graph = kg::KnowledgeGraph::new_boxed();
  types::Lane lane{};
  lane.laneId = 3;
  std::memcpy(lane.laneName.bytes, "Ring road", 9);
  lane.laneSpeedLimit = 70;
  graph->add_node(10, 3, kg::KnowledgeGraphNode(lane));
  graph->add_node(11, 7, kg::KnowledgeGraphNode(types::Car{{1, 0, 0}, 7, {5, 2, 0}, 12.5f}));
  graph->add_relation(12, 1, kg::KnowledgeGraphRelation(types::isOn{}), kg::Index(1, 7), kg::Index(6, 3));
  graph->add_relation(13, 2, kg::KnowledgeGraphRelation(types::yieldsToCarIn{90}), kg::Index(1, 7),
                      kg::Index(6, 3));
  graph->remove_relation(14, kg::Index(9, 1));
  return graph;
}

std::string scene_text(const kg::KnowledgeGraph& graph) {
  std::string text;
  for (const auto& item : graph.get_all_nodes(Interval::eternity()))
    text += varnel::inspect::node_line(item) + "\n";
  for (const auto& item : graph.get_all_relations(Interval::eternity()))
    text += varnel::inspect::relation_line(item) + "\n";
  return text;
}

Snapshot taken(const kg::KnowledgeGraph& graph) {
  Snapshot snapshot;
  std::string error;
  EXPECT_TRUE(varnel::inspect::take_snapshot(graph, snapshot, error)) << error;
  return snapshot;
}

std::string bytes_of(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class SnapshotFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("varnel_snapshot_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                        "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const char* name) const { return (dir_ / name).string(); }

  // Rewrites a saved file's payload with `change` and a checksum that fits it.
  void tamper(const std::string& file, const std::function<void(std::string&)>& change) {
    std::string bytes = bytes_of(file);
    std::string payload = bytes.substr(sizeof(varnel::inspect::SnapshotHeader));
    change(payload);
    varnel::inspect::SnapshotHeader header;
    std::memcpy(&header, bytes.data(), sizeof(header));
    header.checksum = kg::fnv1a(reinterpret_cast<const unsigned char*>(payload.data()), payload.size());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(&header), sizeof(header));
    out << payload;
  }

  fs::path dir_;
};

TEST_F(SnapshotFileTest, RoundTripKeepsThePublishedSceneOnly) {
  auto graph = sample_graph();
  graph->set_autocommit(false);
  graph->start_transaction();
  graph->add_node(99, 8, kg::KnowledgeGraphNode(types::Car{}));  // not committed: not saved
  std::string error;
  ASSERT_TRUE(varnel::inspect::write_snapshot_file(taken(*graph), path("a.bin"), error)) << error;

  Snapshot read;
  ASSERT_TRUE(varnel::inspect::read_snapshot_file(path("a.bin"), read, error)) << error;
  EXPECT_FALSE(read.autocommit);
  auto copy = kg::KnowledgeGraph::new_boxed();
  copy->add_node(1, 1, kg::KnowledgeGraphNode(types::Car{}));  // replaced by the load
  ASSERT_TRUE(varnel::inspect::install_snapshot(read, *copy, error)) << error;

  EXPECT_EQ(scene_text(*copy), scene_text(*graph));
  EXPECT_EQ(copy->node_count(), 8u);
  EXPECT_EQ(copy->relation_count(), 3u);
  EXPECT_EQ(copy->last_update(), 14u);
  EXPECT_FALSE(copy->autocommit_enabled());
  ASSERT_NE(copy->get_latest_node_value(kg::Index(6, 3)), nullptr);
  EXPECT_EQ(std::memcmp(copy->get_latest_node_value(kg::Index(6, 3))->payload + 4, "Ring road", 9), 0);

  ASSERT_TRUE(varnel::inspect::write_snapshot_file(taken(*copy), path("b.bin"), error));
  EXPECT_EQ(bytes_of(path("a.bin")), bytes_of(path("b.bin")));
}

TEST_F(SnapshotFileTest, AnEmptiedGraphSavesAsEmpty) {
  auto graph = sample_graph();
  graph->clear();
  std::string error;
  ASSERT_TRUE(varnel::inspect::write_snapshot_file(taken(*graph), path("e.bin"), error));
  EXPECT_EQ(fs::file_size(path("e.bin")), sizeof(varnel::inspect::SnapshotHeader) + sizeof(kg::GraphIndices));
  Snapshot read;
  ASSERT_TRUE(varnel::inspect::read_snapshot_file(path("e.bin"), read, error)) << error;
  auto copy = sample_graph();
  ASSERT_TRUE(varnel::inspect::install_snapshot(read, *copy, error)) << error;
  EXPECT_TRUE(copy->is_empty());
  EXPECT_EQ(copy->last_update(), 14u);
}

TEST_F(SnapshotFileTest, DamagedOrForeignFilesAreRefused) {
  auto graph = sample_graph();
  std::string error;
  ASSERT_TRUE(varnel::inspect::write_snapshot_file(taken(*graph), path("good.bin"), error));
  const std::string good = bytes_of(path("good.bin"));
  auto refused = [&](const std::string& bytes, const std::string& reason) {
    { std::ofstream(path("bad.bin"), std::ios::binary | std::ios::trunc) << bytes; }
    Snapshot read;
    std::string why;
    EXPECT_FALSE(varnel::inspect::read_snapshot_file(path("bad.bin"), read, why));
    EXPECT_NE(why.find(reason), std::string::npos) << why;
  };
  refused("", "not a varnel snapshot file");
  refused("VARNELK", "not a varnel snapshot file");
  refused(good.substr(0, good.size() - 1), "truncated");
  refused(good + "x", "truncated");
  std::string flipped = good;
  flipped[good.size() - 3] ^= 1;
  refused(flipped, "checksum mismatch");
  std::string version = good;
  version[8] = 2;
  refused(version, "format version 2");
  std::string record_size = good;
  record_size[16] ^= 0x10;
  refused(record_size, "graph record of");

  // Well-formed files whose content would lead a reader outside the arrays.
  ASSERT_TRUE(fs::copy_file(path("good.bin"), path("tail.bin")));
  tamper(path("tail.bin"), [](std::string& payload) {
    const std::uint64_t huge = 21001;
    std::memcpy(payload.data() + 8, &huge, sizeof(huge));  // node_index_tail[1]
  });
  Snapshot read;
  EXPECT_FALSE(varnel::inspect::read_snapshot_file(path("tail.bin"), read, error));
  EXPECT_NE(error.find("inconsistent"), std::string::npos) << error;
  ASSERT_TRUE(fs::copy_file(path("good.bin"), path("value.bin")));
  tamper(path("value.bin"), [](std::string& payload) {
    const std::uint64_t outside = 20000;  // value_index of the first node version
    std::memcpy(payload.data() + sizeof(kg::GraphIndices) + 8, &outside, sizeof(outside));
  });
  EXPECT_FALSE(varnel::inspect::read_snapshot_file(path("value.bin"), read, error));
  EXPECT_NE(error.find("inconsistent"), std::string::npos) << error;
}

TEST_F(SnapshotFileTest, AFailedSaveKeepsTheOldFile) {
  auto graph = sample_graph();
  std::string error;
  ASSERT_TRUE(varnel::inspect::write_snapshot_file(taken(*graph), path("keep.bin"), error));
  const std::string before = bytes_of(path("keep.bin"));
  EXPECT_FALSE(varnel::inspect::write_snapshot_file(taken(*graph),
                                                    path("no/such/dir/x.bin"), error));
  EXPECT_NE(error.find("cannot write"), std::string::npos);
  EXPECT_EQ(bytes_of(path("keep.bin")), before);
}

// A header may claim any payload size: one beyond the largest graph is refused
// before anything is allocated or added up (where it could wrap).
TEST_F(SnapshotFileTest, HugePayloadClaimsAreRefusedBeforeAllocating) {
  auto graph = sample_graph();
  std::string error;
  ASSERT_TRUE(varnel::inspect::write_snapshot_file(taken(*graph), path("good.bin"), error));
  const std::string good = bytes_of(path("good.bin"));
  for (const std::uint64_t claim :
       {std::uint64_t{1} << 40, kg::max_snapshot_payload_size() + 1,
        ~std::uint64_t{0}}) {
    std::string bytes = good.substr(0, sizeof(varnel::inspect::SnapshotHeader));
    bytes.resize(4096, '\0');
    std::memcpy(bytes.data() + offsetof(varnel::inspect::SnapshotHeader, payload_size), &claim,
                sizeof claim);
    { std::ofstream(path("huge.bin"), std::ios::binary | std::ios::trunc) << bytes; }
    Snapshot read;
    EXPECT_FALSE(varnel::inspect::read_snapshot_file(path("huge.bin"), read, error)) << claim;
    EXPECT_NE(error.find("more than the largest possible graph"), std::string::npos) << error;
    EXPECT_FALSE(varnel::inspect::parse_snapshot(reinterpret_cast<const unsigned char*>(bytes.data()),
                                                 bytes.size(), "bytes", read, error));
    EXPECT_NE(error.find("more than the largest possible graph"), std::string::npos) << error;
  }
}

#ifndef _WIN32
// Links planted where the save writes never lead it to another file: the
// temporary file is new and private to the save, and the target is replaced,
// not written through.
TEST_F(SnapshotFileTest, SaveNeverWritesThroughPlantedLinks) {
  auto graph = sample_graph();
  { std::ofstream(path("victim")) << "precious"; }
  fs::create_symlink(path("victim"), path("scene.bin.partial"));
  fs::create_symlink(path("victim"), path("scene.bin"));
  std::string error;
  ASSERT_TRUE(varnel::inspect::write_snapshot_file(taken(*graph), path("scene.bin"), error)) << error;
  EXPECT_EQ(bytes_of(path("victim")), "precious");
  EXPECT_FALSE(fs::is_symlink(path("scene.bin")));
  Snapshot read;
  EXPECT_TRUE(varnel::inspect::read_snapshot_file(path("scene.bin"), read, error)) << error;
  int entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir_)) ++entries;
  EXPECT_EQ(entries, 3) << "victim, the planted link and the saved file; no temporary left";
}
#endif

// A graph whose published state is damaged is not saved: the reasons are named.
TEST_F(SnapshotFileTest, DamagedGraphIsNotSaved) {
  auto graph = sample_graph();
  Snapshot snapshot;
  std::string error;
  kg::GraphIndices& published = graph->indices[graph->active_buffer()];
  published.node_index_tail[6] = 30000;
  EXPECT_FALSE(varnel::inspect::take_snapshot(*graph, snapshot, error));
  EXPECT_NE(error.find("node kind 6: tail 30000 is beyond the capacity"), std::string::npos) << error;
  published.node_index_tail[6] = 1;
  graph->node_records[6][0].value_index = 20000;
  EXPECT_FALSE(varnel::inspect::take_snapshot(*graph, snapshot, error));
  EXPECT_NE(error.find("node kind 6 slot 0: payload position 20000 lies beyond"), std::string::npos) << error;
}

TEST(RenderTest, KindsParseByNameOrNumber) {
  EXPECT_EQ(varnel::inspect::parse_node_kind("car"), 1u);
  EXPECT_EQ(varnel::inspect::parse_node_kind("SpeedLimitSign"), 12u);
  EXPECT_EQ(varnel::inspect::parse_node_kind("17"), 17u);
  EXPECT_FALSE(varnel::inspect::parse_node_kind("18"));
  EXPECT_FALSE(varnel::inspect::parse_node_kind("1x"));
  EXPECT_EQ(varnel::inspect::parse_relation_kind("isonleft"), 10u);
  EXPECT_FALSE(varnel::inspect::parse_relation_kind("Car"));
}

TEST(RenderTest, DotAndJsonQuoteNamesSafely) {
  auto graph = kg::KnowledgeGraph::new_boxed();
  types::Road road{};
  road.roadId = 1;
  std::memcpy(road.roadName.bytes, "A \"quoted\\\" \xff", 13);
  graph->add_node(1, 1, kg::KnowledgeGraphNode(road));
  const auto nodes = graph->get_all_nodes(Interval::eternity());
  const std::string dot = varnel::inspect::scene_dot(nodes, {});
  EXPECT_NE(dot.find("roadName: A \\\"quoted\\\\\\\" \\\\xff"), std::string::npos) << dot;
  const auto json = varnel::inspect::node_json(nodes.at(0));
  EXPECT_EQ(json["attributes"]["roadName"], "A \"quoted\\\" \\xff");
  EXPECT_NO_THROW((void)json.dump());
}

}  // namespace
