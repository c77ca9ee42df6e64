// The bridge test's helper, one program with five commands:
//   follow   writes a source region in bursts (adds, relations, removals, batches,
//            clears, compactions; --appends-only: adds and relations alone) and
//            after each burst, with the source still, waits until every mirror
//            region holds exactly the source's record (tails, update timestamp,
//            every version and payload), then goes on;
//   watch    reads mirror regions as their readers do while a host writes the
//            source, and counts the views in which a mirror holds an empty graph
//            though the source was never seen empty meanwhile (must be none);
//   compare  waits until every mirror equals the source as it is now (still);
//   hostile  joins the DDS domain, learns the publisher's session from its
//            stream and sends corrupt samples (wrong sizes, out-of-range kinds,
//            tails beyond capacity, a bad marker);
//   wire     without DDS: the hand-written publication type support writes the
//            bytes the generated one writes, each reads the other's (either byte
//            order), and every truncated sample is read as malformed.
// Exit 0 when everything held; otherwise says which mirror differed and where.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include <fastdds/dds/core/status/PublicationMatchedStatus.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>

#include <fastcdr/Cdr.h>
#include <fastcdr/FastBuffer.h>

#include "bridge_typesPubSubTypes.h"
#include "dds_link.hpp"
#include "publication_type.hpp"
#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/lookup_index.hpp"
#include "knowledge_graph/graph/raw_span.hpp"
#include "graph_session/graph_session.hpp"

namespace {

namespace kg = knowledge_graph::graph;
namespace dds = eprosima::fastdds::dds;
using graph_session::GraphSession;
using Clock = std::chrono::steady_clock;

std::unique_ptr<GraphSession> open_read_only(const std::string& name, double wait_seconds) {
  graph_session::Options options;
  options.name = name;
  options.log_target = "bridge_check";
  const auto until = Clock::now() + std::chrono::duration<double>(wait_seconds);
  for (;;) {
    auto opened = GraphSession::open_reader(options);
    if (opened) return std::move(opened.session);
    if (Clock::now() > until) {
      std::cerr << "bridge_check: no region \"" << name << "\": " << opened.error << "\n";
      return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// Waits until `mirror` publishes exactly what `source` publishes (the source
// still), then compares the records. Empty when equal; else the difference.
std::string wait_equal(const kg::KnowledgeGraph& source, const kg::KnowledgeGraph& mirror,
                       double timeout_seconds) {
  const kg::GraphIndices want = source.snapshot().indices;
  const auto until = Clock::now() + std::chrono::duration<double>(timeout_seconds);
  kg::GraphIndices have{};
  for (;;) {
    const kg::Snapshot snapshot = mirror.snapshot();
    have = snapshot.indices;
    if (std::memcmp(&have, &want, sizeof want) == 0) {
      auto difference = kg::records_differ(source, want, mirror, have);
      if (!mirror.cleared_since(snapshot)) return difference ? *difference : std::string();
    }
    if (Clock::now() > until)
      return "mirror did not reach the source's state in " + std::to_string(timeout_seconds) +
             " s: source " + kg::to_string(want) + ", mirror " + kg::to_string(have);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

kg::KnowledgeGraphNode node_of_kind(std::uint64_t kind, std::uint64_t salt) {
  kg::KnowledgeGraphNode value{};
  std::memset(static_cast<void*>(&value), 0, sizeof value);
  std::memcpy(reinterpret_cast<unsigned char*>(&value), &kind, sizeof kind);
  std::memcpy(reinterpret_cast<unsigned char*>(&value) + 8, &salt, sizeof salt);
  return value;
}

kg::KnowledgeGraphRelation relation_of_kind(std::uint64_t kind, std::uint64_t salt) {
  kg::KnowledgeGraphRelation value{};
  std::memcpy(reinterpret_cast<unsigned char*>(&value), &kind, sizeof kind);
  std::memcpy(reinterpret_cast<unsigned char*>(&value) + 8, &salt, sizeof salt);
  return value;
}

int follow(const std::string& source_name, const std::vector<std::string>& mirrors, double seconds,
           std::uint64_t seed, double round_timeout, bool appends_only) {
  graph_session::Options options;
  options.name = source_name;
  options.require_writer = true;
  options.log_target = "bridge_check";
  auto opened = GraphSession::open_writer(options);
  if (!opened) {
    std::cerr << "bridge_check: cannot write the source: " << opened.error << "\n";
    return 1;
  }
  kg::KnowledgeGraph& graph = opened.session->graph();
  graph.set_autocommit(true);
  graph.clear();
  std::vector<std::unique_ptr<GraphSession>> views;
  for (const auto& name : mirrors) {
    views.push_back(open_read_only(name, 30));
    if (!views.back()) return 1;
  }
  std::mt19937_64 random(seed);
  std::uint64_t time = 1, rounds = 0, clears = 0, compactions = 0, batches = 0;
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    const auto burst_end = Clock::now() + std::chrono::milliseconds(100 + random() % 200);
    while (Clock::now() < burst_end) {
      // Appends only: a mirror that follows this source needs no whole state.
      const auto roll = appends_only ? random() % 800 : random() % 1000;
      const std::uint64_t kind = 1 + random() % 17, id = random() % 40;
      if (roll < 500) {
        graph.add_node(time, id, node_of_kind(kind, random()));
      } else if (roll < 800) {
        graph.add_relation(time, random() % 100, relation_of_kind(1 + random() % 16, random()),
                           kg::Index{kind, id}, kg::Index{1 + random() % 17, random() % 40});
      } else if (roll < 900) {
        graph.remove_node(time, kg::Index{kind, id});
      } else if (roll < 980) {
        graph.set_autocommit(false);
        graph.start_transaction();
        const auto writes = 1 + random() % 100;
        for (std::uint64_t i = 0; i < writes; ++i)
          graph.add_node(time, random() % 40, node_of_kind(1 + random() % 17, random()));
        graph.commit_transaction();
        graph.set_autocommit(true);
        ++batches;
      } else if (roll < 990) {
        graph.clear();
        ++clears;
      } else {
        compactions += graph.compact(time > 300 ? time - 300 : 0).stored();
      }
      ++time;
      // A full kind refuses writes; the source starts over.
      if (graph.fill().node_values.fraction() > 0.9 || graph.fill().relation_values.fraction() > 0.9) {
        graph.clear();
        ++clears;
      }
      // Appends only: slower, so that the source does not fill up (and clear) in the run.
      std::this_thread::sleep_for(std::chrono::microseconds(random() % (appends_only ? 4000 : 400)));
    }
    ++rounds;
    for (std::size_t m = 0; m < views.size(); ++m) {
      const std::string difference = wait_equal(graph, views[m]->graph(), round_timeout);
      if (!difference.empty()) {
        std::cerr << "bridge_check: round " << rounds << ", mirror \"" << mirrors[m]
                  << "\": " << difference << "\n";
        return 1;
      }
    }
  }
  std::cout << "bridge_check: " << rounds << " rounds, " << time - 1 << " writes (" << batches
            << " batches, " << clears << " clears, " << compactions
            << " compactions): every mirror equal to the source after every round\n";
  return 0;
}

bool empty_graph(const kg::GraphIndices& state) {
  for (std::uint64_t tail : state.node_index_tail)
    if (tail != 0) return false;
  for (std::uint64_t tail : state.relation_index_tail)
    if (tail != 0) return false;
  return true;
}

// Reads the mirrors in turn for `seconds`. A mirror's empty views count once it
// has shown a non-empty graph (it may start from an empty one), and only while
// the source, read between the mirrors' views, has not been seen empty.
int watch(const std::string& source_name, const std::vector<std::string>& mirrors, double seconds) {
  auto source = open_read_only(source_name, 5);
  if (!source) return 1;
  std::vector<std::unique_ptr<GraphSession>> views;
  for (const auto& name : mirrors) {
    views.push_back(open_read_only(name, 5));
    if (!views.back()) return 1;
  }
  std::vector<bool> filled(mirrors.size(), false);
  std::vector<std::uint64_t> counted(mirrors.size(), 0), empty(mirrors.size(), 0);
  std::uint64_t source_empty = 0;
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    if (empty_graph(source->graph().snapshot().indices)) ++source_empty;
    for (std::size_t m = 0; m < views.size(); ++m) {
      const bool is_empty = empty_graph(views[m]->graph().snapshot().indices);
      filled[m] = filled[m] || !is_empty;
      if (!filled[m] || source_empty != 0) continue;
      ++counted[m];
      empty[m] += is_empty;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  if (source_empty != 0) {
    std::cerr << "bridge_check: the source was empty in " << source_empty
              << " views: nothing to conclude about its mirrors\n";
    return 1;
  }
  int failures = 0;
  for (std::size_t m = 0; m < views.size(); ++m) {
    std::cout << "bridge_check: mirror \"" << mirrors[m] << "\": " << empty[m] << " empty of "
              << counted[m] << " views while the source was never empty\n";
    if (counted[m] == 0 || empty[m] != 0) ++failures;
  }
  return failures == 0 ? 0 : 1;
}

int compare(const std::string& source_name, const std::vector<std::string>& mirrors, double timeout) {
  auto source = open_read_only(source_name, 5);
  if (!source) return 1;
  int failures = 0;
  for (const auto& name : mirrors) {
    auto mirror = open_read_only(name, 5);
    if (!mirror) return 1;
    const std::string difference =
        wait_equal(source->graph(), mirror->graph(), timeout);
    if (!difference.empty()) {
      std::cerr << "bridge_check: mirror \"" << name << "\": " << difference << "\n";
      ++failures;
    } else {
      std::cout << "bridge_check: mirror \"" << name << "\" equals the source ("
                << kg::to_string(source->graph().snapshot().indices) << ")\n";
    }
  }
  return failures == 0 ? 0 : 1;
}

int hostile(std::uint32_t domain, int readers) {
  varnel::bridge::DdsLink link(domain, "bridge_check hostile");
  dds::DataReader* reader = link.publications_reader();
  dds::DataWriter* writer = link.publications_writer();
  dds::DataWriter* requests = link.requests_writer();
  // The source is still: ask for the whole state to learn the session and number.
  varnel::bridge::Publication real;
  dds::SampleInfo info;
  const auto until = Clock::now() + std::chrono::seconds(20);
  bool got = false;
  while (!got && Clock::now() < until) {
    varnel_bridge::StateRequest request;
    request.mirror(1);
    request.reason("bridge_check hostile wants the session");
    requests->write(&request);
    if (reader->wait_for_unread_message(eprosima::fastrtps::Duration_t(0, 500'000'000)))
      while (reader->take_next_sample(&real, &info) == ReturnCode_t::RETCODE_OK)
        got = got || info.valid_data;
  }
  if (!got) {
    std::cerr << "bridge_check: no publication seen to imitate\n";
    return 1;
  }
  // Every mirror (and this program's own reader) must have matched this writer:
  // a volatile writer sends only to the readers it knows.
  dds::PublicationMatchedStatus matched;
  while (writer->get_publication_matched_status(matched) == ReturnCode_t::RETCODE_OK &&
         matched.current_count < readers + 1 && Clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (matched.current_count < readers + 1) {
    std::cerr << "bridge_check: only " << matched.current_count - 1 << " of " << readers
              << " mirrors matched the hostile writer\n";
    return 1;
  }
  const kg::GraphIndices base = kg::from_words(real.to);
  // Every sample claims the next publication: the mirrors, back at `real` after
  // each refusal, take each for their next step.
  const std::uint64_t number = real.number + 1;
  const auto send = [&](const char* what, bool afresh, kg::GraphIndices to,
                        std::vector<std::uint8_t> bytes, bool compacted = false) {
    varnel::bridge::Publication sample;
    sample.source = real.source;
    sample.session = real.session;
    sample.started_ns = real.started_ns;
    sample.number = number;
    sample.afresh = afresh;
    sample.from = kg::to_words(afresh ? kg::GraphIndices{} : base);
    sample.to = kg::to_words(to);
    sample.observed_ns = varnel::bridge::wall_ns();
    sample.compacted = compacted;
    sample.keep_since = base.update_timestamp;
    const auto* data = reinterpret_cast<const std::byte*>(bytes.data());
    sample.bytes.assign(data, data + bytes.size());
    writer->write(&sample);
    std::cout << "bridge_check: sent a hostile sample: " << what << std::endl;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  };
  // A span of one node version in kind 1 and its payload, made bad in several ways.
  kg::GraphIndices one = base;
  one.node_index_tail[1] += 1;
  one.nodes_tail += 1;
  std::vector<std::uint8_t> good(sizeof(kg::NodeRecord) + sizeof(kg::KnowledgeGraphNode), 0);
  kg::NodeRecord record{};
  record.timestamp = base.update_timestamp;
  record.value_index = base.nodes_tail;
  record.instance_id = 424242;
  record.marker = kg::Marker::Valid;
  std::memcpy(good.data(), &record, sizeof record);
  good[sizeof record] = 1;  // payload kind Car
  send("a span one byte short", false, one, std::vector<std::uint8_t>(good.begin(), good.end() - 1));
  std::vector<std::uint8_t> bad_kind = good;
  bad_kind[sizeof record] = 99;
  send("a payload of node kind 99", false, one, bad_kind);
  kg::GraphIndices beyond{};
  beyond.node_index_tail[2] = kg::kNodeVersionsPerKind + 5;
  send("a whole state whose tail lies beyond the capacity", true, beyond, {});
  kg::GraphIndices fresh{};
  fresh.node_index_tail[1] = 1;
  fresh.nodes_tail = 1;
  std::vector<std::uint8_t> bad_marker = good;
  bad_marker[offsetof(kg::NodeRecord, marker)] = 9;
  reinterpret_cast<kg::NodeRecord*>(bad_marker.data())->value_index = 0;
  send("a whole state with marker 9", true, fresh, bad_marker);
  // A compaction's mark naming a state that compaction does not give (nothing
  // dropped): refused before anything moves.
  send("a compaction's mark that names another state", false, base, {}, true);
  return 0;
}

// ---- wire ----

using varnel::bridge::Publication;
using eprosima::fastrtps::rtps::SerializedPayload_t;

varnel_bridge::GraphPublication generated_of(const Publication& sample) {
  varnel_bridge::GraphPublication out;
  out.source(sample.source);
  out.session(sample.session);
  out.started_ns(sample.started_ns);
  out.number(sample.number);
  out.afresh(sample.afresh);
  out.from(sample.from);
  out.to(sample.to);
  out.observed_ns(sample.observed_ns);
  out.compacted(sample.compacted);
  out.keep_since(sample.keep_since);
  for (std::byte b : sample.bytes) out.bytes().push_back(static_cast<std::uint8_t>(b));
  return out;
}

bool same(const Publication& a, const Publication& b) {
  return a.source == b.source && a.session == b.session && a.started_ns == b.started_ns &&
         a.number == b.number && a.afresh == b.afresh && a.from == b.from && a.to == b.to &&
         a.observed_ns == b.observed_ns && a.compacted == b.compacted && a.keep_since == b.keep_since &&
         a.bytes == b.bytes;
}

int wire() {
  varnel::bridge::PublicationType ours;
  varnel_bridge::GraphPublicationPubSubType theirs;
  std::mt19937_64 random(5);
  int failures = 0, checked = 0;
  const auto fail = [&](const std::string& what) {
    std::cerr << "bridge_check: wire: " << what << "\n";
    ++failures;
  };
  for (std::size_t name = 0; name < 10; ++name) {
    for (std::size_t count : {0, 1, 7, 1456, 70000}) {
      Publication sample;
      sample.source = std::string(name, 'n');
      sample.session = random();
      sample.started_ns = random();
      sample.number = random();
      sample.afresh = (name + count) % 2 == 1;
      for (auto& word : sample.from) word = random();
      for (auto& word : sample.to) word = random();
      sample.observed_ns = random();
      sample.compacted = (name + count) % 3 == 1;
      sample.keep_since = random();
      for (std::size_t i = 0; i < count; ++i) sample.bytes.push_back(static_cast<std::byte>(random()));
      const std::string what = "name of " + std::to_string(name) + ", " + std::to_string(count) + " bytes";
      varnel_bridge::GraphPublication generated = generated_of(sample);
      const std::uint32_t size = ours.getSerializedSizeProvider(&sample)();
      if (size != theirs.getSerializedSizeProvider(&generated)()) fail(what + ": sizes differ");
      SerializedPayload_t mine(size), reference(size);  // zeroed
      if (!ours.serialize(&sample, &mine) || !theirs.serialize(&generated, &reference)) {
        fail(what + ": not serialized");
        continue;
      }
      if (mine.length != reference.length || std::memcmp(mine.data, reference.data, mine.length) != 0)
        fail(what + ": other bytes than the generated type support's");
      // Filled straight into the payload: the same bytes; a failed fill sends nothing.
      Publication filled = sample;
      filled.bytes.clear();
      filled.fill_size = count;
      filled.fill = [&](std::span<std::byte> out) {
        std::copy(sample.bytes.begin(), sample.bytes.end(), out.begin());
        return true;
      };
      SerializedPayload_t direct(size);
      if (!ours.serialize(&filled, &direct) || direct.length != mine.length ||
          std::memcmp(direct.data, mine.data, mine.length) != 0)
        fail(what + ": filled in place, other bytes");
      filled.fill = [](std::span<std::byte>) { return false; };
      if (ours.serialize(&filled, &direct) || !filled.fill_failed) fail(what + ": a failed fill was sent");
      // Each reads the other's.
      Publication read;
      if (!ours.deserialize(&reference, &read) || !read.malformed.empty() || !same(read, sample))
        fail(what + ": the generated type support's bytes read otherwise");
      Publication received;
      std::vector<std::byte> handed;
      received.receive = [&](const Publication&, std::span<const std::byte> bytes) {
        handed.assign(bytes.begin(), bytes.end());
      };
      ours.deserialize(&reference, &received);
      received.bytes = handed;
      if (!same(received, sample)) fail(what + ": the bytes handed over in place differ");
      varnel_bridge::GraphPublication back;
      if (!theirs.deserialize(&mine, &back) || !(back == generated))
        fail(what + ": the generated type support reads these bytes otherwise");
      // Big-endian, as a peer of that byte order writes it.
      SerializedPayload_t big(size);
      eprosima::fastcdr::FastBuffer buffer(reinterpret_cast<char*>(big.data), big.max_size);
      eprosima::fastcdr::Cdr cdr(buffer, eprosima::fastcdr::Cdr::BIG_ENDIANNESS,
                                 eprosima::fastcdr::Cdr::DDS_CDR);
      cdr.serialize_encapsulation();
      generated.serialize(cdr);
      big.length = static_cast<std::uint32_t>(cdr.getSerializedDataLength());
      Publication swapped;
      if (!ours.deserialize(&big, &swapped) || !same(swapped, sample))
        fail(what + ": big-endian bytes read otherwise");
      // Cut anywhere: malformed, never read past the end.
      if (count < 10) {
        for (std::uint32_t cut = 0; cut < mine.length; ++cut) {
          SerializedPayload_t part(cut == 0 ? 1 : cut);
          std::memcpy(part.data, mine.data, cut);
          part.length = cut;
          Publication torn;
          bool handed_on = false;
          torn.receive = [&](const Publication&, std::span<const std::byte>) { handed_on = true; };
          ours.deserialize(&part, &torn);
          if (torn.malformed.empty() || handed_on)
            fail(what + ": cut to " + std::to_string(cut) + " bytes, read as whole");
        }
      }
      ++checked;
    }
  }
  if (failures != 0) return 1;
  std::cout << "bridge_check: wire: " << checked
            << " samples written and read alike by both type supports, truncations refused\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"bridge_check: drives and checks varnel-bridge in the bridge test"};
  app.require_subcommand(1);
  std::string source = "KnowledgeGraph";
  std::vector<std::string> mirrors;
  double seconds = 30, timeout = 20;
  std::uint64_t seed = 21;
  std::uint32_t domain = 0;
  auto* follow_command = app.add_subcommand("follow", "Write the source in bursts, check the mirrors after each");
  follow_command->add_option("--source", source, "Source region");
  follow_command->add_option("--mirror", mirrors, "Mirror region (repeat)")->required();
  follow_command->add_option("--seconds", seconds, "How long to write");
  follow_command->add_option("--seed", seed, "Seed of the writes");
  follow_command->add_option("--timeout", timeout, "Seconds a mirror may take to catch up");
  bool appends_only = false;
  follow_command->add_flag("--appends-only", appends_only, "Only adds and relations: no removal, batch, clear or compaction");
  auto* watch_command = app.add_subcommand("watch", "Count the empty views of mirrors of a never-empty source");
  watch_command->add_option("--source", source, "Source region");
  watch_command->add_option("--mirror", mirrors, "Mirror region (repeat)")->required();
  watch_command->add_option("--seconds", seconds, "How long to read");
  auto* compare_command = app.add_subcommand("compare", "Wait until every mirror equals the (still) source");
  compare_command->add_option("--source", source, "Source region");
  compare_command->add_option("--mirror", mirrors, "Mirror region (repeat)")->required();
  compare_command->add_option("--timeout", timeout, "Seconds a mirror may take to catch up");
  auto* hostile_command = app.add_subcommand("hostile", "Send corrupt samples imitating the publisher");
  hostile_command->add_option("--domain", domain, "DDS domain");
  int readers = 2;
  hostile_command->add_option("--mirrors", readers, "Mirrors that must receive the samples");
  auto* wire_command = app.add_subcommand("wire", "Compare the publication type supports, without DDS");
  CLI11_PARSE(app, argc, argv);
  try {
    if (follow_command->parsed()) return follow(source, mirrors, seconds, seed, timeout, appends_only);
    if (watch_command->parsed()) return watch(source, mirrors, seconds);
    if (compare_command->parsed()) return compare(source, mirrors, timeout);
    if (wire_command->parsed()) return wire();
    return hostile(domain, readers);
  } catch (const std::exception& error) {
    std::cerr << "bridge_check: " << error.what() << "\n";
    return 1;
  }
}
