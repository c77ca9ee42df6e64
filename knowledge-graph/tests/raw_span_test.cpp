// Raw spans: a copy kept current span by span equals its source after every
// publication, through clears and compactions (sent afresh, or as the source's
// compaction mark plus the span after it); malformed spans and marks are refused
// before anything changes; lookups on the copy find what the source's find;
// readers of a copy never see an empty graph while a whole state replaces another.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/raw_span.hpp"
#include "knowledge_graph/graph/recorder_link.hpp"
#include "reference_model.hpp"

namespace knowledge_graph::graph {
namespace {

using reference::node_of_kind;
using reference::relation_of_kind;

// Follows `source` as the bridge does: a span of appends when the source only
// appended since the last one; with the source's recorder link, a compaction of
// the last state as its mark plus the span after it; else the whole record afresh.
struct Follower {
  KnowledgeGraph& source;
  KnowledgeGraph& copy;
  const RecorderLink* link = nullptr;
  Snapshot last{};
  bool started = false;
  int afresh = 0, marks = 0;

  void follow() {
    const Snapshot now = source.snapshot();
    const bool append = started && appends_only(last, now);
    const std::optional<CompactionMark> mark =
        started && !append && link != nullptr ? compaction_between(*link, last, now) : std::nullopt;
    const GraphIndices from = append ? last.indices : mark ? mark->to : GraphIndices{};
    std::vector<std::byte> bytes;
    ASSERT_TRUE(copy_raw_span(source, from, now, bytes));
    const InstallResult result =
        mark ? install_compaction(copy, last.indices, now.indices, mark->keep_since, bytes)
             : install_raw_span(copy, from, now.indices, bytes, !append && !mark);
    ASSERT_EQ(result.status, InstallStatus::Installed) << result.reason;
    afresh += !append && !mark;
    marks += mark.has_value();
    last = now;
    started = true;
    const auto difference = records_differ(source, now.indices, copy, copy.snapshot().indices);
    ASSERT_FALSE(difference) << *difference;
  }
};

class RawSpanFollow : public ::testing::TestWithParam<bool> {};

TEST_P(RawSpanFollow, CopyEqualsSourceAfterEveryPublicationThroughClearsAndCompactions) {
  auto source = KnowledgeGraph::new_boxed();
  auto copy = KnowledgeGraph::new_boxed();
  // With the link, compactions of the last state seen travel as their marks.
  static RecorderLink link{};
  const bool marks = GetParam();
  if (marks) {
    ASSERT_TRUE(attach_recorder_link(*source, &link));
  }
  Follower follower{*source, *copy, marks ? &link : nullptr};
  std::mt19937_64 random(21);
  std::uint64_t time = 1;
  for (int step = 0; step < 3000; ++step) {
    const auto roll = random() % 100;
    const std::uint64_t kind = 1 + random() % 17, id = random() % 12;
    if (roll < 45) {
      source->add_node(time, id, node_of_kind(kind));
    } else if (roll < 75) {
      const std::uint64_t to_kind = 1 + random() % 17, to_id = random() % 12;
      source->add_relation(time, random() % 30, relation_of_kind(1 + random() % 16),
                           Index{kind, id}, Index{to_kind, to_id});
    } else if (roll < 85) {
      source->remove_node(time, Index{kind, id});
    } else if (roll < 88) {
      // A batch of several writes is one publication.
      source->set_autocommit(false);
      source->start_transaction();
      for (int i = 0; i < 5; ++i) source->add_node(time, random() % 12, node_of_kind(kind));
      source->commit_transaction();
      source->set_autocommit(true);
    } else if (roll < 90) {
      source->clear();
    } else if (roll < 93) {
      source->compact(time > 40 ? time - 40 : 0);
    }
    ++time;
    // Now and then several publications go by unobserved: one span takes them all.
    if (random() % 3 != 0) follower.follow();
    if (::testing::Test::HasFatalFailure()) return;
  }
  follower.follow();
  if (marks) detach_recorder_link(*source);
  EXPECT_GT(follower.afresh, marks ? 5 : 10);
  if (marks) {
    EXPECT_GT(follower.marks, 5);
  }
  EXPECT_GT(source->node_count(), 0u);
  // Reads on the copy answer as on the source.
  for (std::uint64_t kind = 1; kind < kNodeKinds; ++kind) {
    for (std::uint64_t id = 0; id < 12; ++id) {
      const NodeRecord* a = source->get_latest_node_record(Index{kind, id});
      const NodeRecord* b = copy->get_latest_node_record(Index{kind, id});
      ASSERT_EQ(a == nullptr, b == nullptr);
      if (a != nullptr) {
        EXPECT_EQ(0, std::memcmp(a, b, offsetof(NodeRecord, padding)));
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Compactions, RawSpanFollow, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "AsMarks" : "Afresh"; });

TEST(RawSpan, MalformedSpansAreRefusedAndChangeNothing) {
  auto source = KnowledgeGraph::new_boxed();
  auto copy = KnowledgeGraph::new_boxed();
  source->add_node(5, 1, node_of_kind(1));
  source->add_node(6, 2, node_of_kind(6));
  source->add_relation(7, 3, relation_of_kind(9), Index{1, 1}, Index{6, 2});
  const Snapshot now = source->snapshot();
  std::vector<std::byte> bytes;
  ASSERT_TRUE(copy_raw_span(*source, GraphIndices{}, now, bytes));
  ASSERT_EQ(install_raw_span(*copy, GraphIndices{}, now.indices, bytes, true).status,
            InstallStatus::Installed);
  const GraphIndices before = copy->snapshot().indices;
  std::vector<std::byte> saved(reinterpret_cast<const std::byte*>(copy.get()),
                               reinterpret_cast<const std::byte*>(copy.get()) + 600000);

  source->add_node(8, 4, node_of_kind(2));
  const Snapshot later = source->snapshot();
  std::vector<std::byte> span;
  ASSERT_TRUE(copy_raw_span(*source, now.indices, later, span));
  const auto refused = [&](std::vector<std::byte> bytes, GraphIndices to, const char* what) {
    const InstallResult result = install_raw_span(*copy, now.indices, to, bytes, false);
    EXPECT_EQ(result.status, InstallStatus::Refused) << what;
    EXPECT_FALSE(result.reason.empty());
    EXPECT_FALSE(records_differ(*copy, before, *copy, copy->snapshot().indices)) << what;
    EXPECT_EQ(0, std::memcmp(saved.data(), copy.get(), saved.size())) << what;
  };
  std::vector<std::byte> shorter(span.begin(), span.end() - 1);
  refused(shorter, later.indices, "one byte short");
  GraphIndices beyond = later.indices;
  beyond.node_index_tail[2] = kNodeVersionsPerKind + 1;
  refused(span, beyond, "tail beyond capacity");
  GraphIndices below = later.indices;
  below.nodes_tail = 0;
  refused(span, below, "tail below the start");
  std::vector<std::byte> bad_marker = span;
  bad_marker[offsetof(NodeRecord, marker)] = std::byte{7};
  refused(bad_marker, later.indices, "marker 7");
  std::vector<std::byte> bad_payload = span;
  bad_payload[sizeof(NodeRecord)] = std::byte{40};  // the new payload's kind
  refused(bad_payload, later.indices, "payload kind 40");
  std::vector<std::byte> bad_position = span;
  bad_position[offsetof(NodeRecord, value_index)] = std::byte{99};
  refused(bad_position, later.indices, "payload position beyond the tail");
  std::vector<std::byte> bad_list = span;
  bad_list[offsetof(NodeRecord, outgoing)] = std::byte{17};
  refused(bad_list, later.indices, "relation kind 17 in a list");

  // A compaction's mark is checked before anything moves: one that drops nothing
  // here, and one that names a state the compaction does not give.
  const auto mark_refused = [&](std::uint64_t keep_since, const char* what) {
    EXPECT_EQ(install_compaction(*copy, now.indices, now.indices, keep_since, {}).status, InstallStatus::Refused)
        << what;
    EXPECT_EQ(0, std::memcmp(saved.data(), copy.get(), saved.size())) << what;
  };
  mark_refused(0, "keeps everything");
  mark_refused(8, "drops the first versions but names the whole state");

  // A span from another state than the copy's is not applied.
  GraphIndices other = now.indices;
  other.node_index_tail[1] = 0;
  EXPECT_EQ(install_raw_span(*copy, other, later.indices, span, false).status,
            InstallStatus::Refused);  // shape: slot range of kind 1 grows from 0
  source->add_node(9, 5, node_of_kind(2));
  const Snapshot third = source->snapshot();
  std::vector<std::byte> skipped;
  ASSERT_TRUE(copy_raw_span(*source, later.indices, third, skipped));
  EXPECT_EQ(install_raw_span(*copy, later.indices, third.indices, skipped, false).status,
            InstallStatus::BaseMismatch);
  EXPECT_EQ(0, std::memcmp(saved.data(), copy.get(), saved.size()));
  EXPECT_EQ(install_raw_span(*copy, now.indices, later.indices, span, false).status,
            InstallStatus::Installed);
  EXPECT_FALSE(records_differ(*source, later.indices, *copy, copy->snapshot().indices));
}

TEST(RawSpan, ReadersOfACopyNeverSeeAnEmptyGraphWhileAWholeStateIsInstalled) {
  // Two unrelated non-empty states, installed afresh in turn over each other.
  auto first = KnowledgeGraph::new_boxed();
  auto second = KnowledgeGraph::new_boxed();
  for (std::uint64_t i = 0; i < 4000; ++i) {
    first->add_node(1 + i, i % 900, node_of_kind(1 + i % 17));
    second->add_node(1 + i, i % 700, node_of_kind(1 + (i + 5) % 17));
  }
  first->add_relation(5000, 1, relation_of_kind(9), Index{1, 0}, Index{2, 1});
  const Snapshot states[2] = {first->snapshot(), second->snapshot()};
  std::vector<std::byte> bytes[2];
  for (int s = 0; s < 2; ++s)
    ASSERT_TRUE(copy_raw_span(s == 0 ? *first : *second, GraphIndices{}, states[s], bytes[s]));

  auto copy = KnowledgeGraph::new_boxed();
  ASSERT_EQ(install_raw_span(*copy, GraphIndices{}, states[0].indices, bytes[0], true).status,
            InstallStatus::Installed);
  std::atomic<bool> done{false};
  std::atomic<std::uint64_t> views{0}, empty{0}, torn{0};
  std::thread reader([&] {
    while (!done.load()) {
      const Snapshot now = copy->snapshot();
      std::uint64_t versions = 0;
      for (std::uint64_t tail : now.indices.node_index_tail) versions += tail;
      const bool known = std::memcmp(&now.indices, &states[0].indices, sizeof(GraphIndices)) == 0 ||
                         std::memcmp(&now.indices, &states[1].indices, sizeof(GraphIndices)) == 0;
      views.fetch_add(1);
      if (versions == 0) empty.fetch_add(1);
      else if (!known) torn.fetch_add(1);
    }
  });
  for (int round = 1; round <= 301; ++round) {  // ends with the second
    const int s = round % 2;
    ASSERT_EQ(install_raw_span(*copy, GraphIndices{}, states[s].indices, bytes[s], true).status,
              InstallStatus::Installed);
  }
  done.store(true);
  reader.join();
  EXPECT_GT(views.load(), 0u);
  EXPECT_EQ(empty.load(), 0u) << "of " << views.load() << " views";
  EXPECT_EQ(torn.load(), 0u);
  EXPECT_FALSE(copy->compaction_in_progress());
  EXPECT_FALSE(records_differ(*second, states[1].indices, *copy, copy->snapshot().indices));
  // Lookups on the copy find the installed state's versions.
  const NodeRecord* latest = copy->get_latest_node_record(Index{1, 3});
  ASSERT_NE(latest, nullptr);
  EXPECT_EQ(0, std::memcmp(latest, second->get_latest_node_record(Index{1, 3}),
                           offsetof(NodeRecord, padding)));
}

}  // namespace
}  // namespace knowledge_graph::graph
