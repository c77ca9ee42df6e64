#include "record_commands.hpp"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <thread>
#include <vector>

#include "graph_session/graph_session.hpp"
#include "regular_file.hpp"
#include "knowledge_graph/graph/lookup_index.hpp"
#include "knowledge_graph/graph/recorder_link.hpp"
#include "moments.hpp"
#include "recorder.hpp"
#include "recording.hpp"
#include "recording_writer.hpp"
#include "render.hpp"
#include "snapshot_file.hpp"

namespace varnel::inspect {
namespace {

namespace kg = knowledge_graph::graph;
using Clock = std::chrono::steady_clock;

// The session options of the region the commands use (the inspector's --region and --wait).
graph_session::Options g_session_options;

graph_session::Options session_options() { return g_session_options; }

// What a first pass over a recording found (the whole file checked).
struct Overview {
  record::RecordingInfo info;
  std::uint64_t first_time = 0, last_time = 0;
  // With a moment asked for: the publication (0-based) and the fresh start it builds on.
  std::optional<std::uint64_t> moment;
  std::uint64_t moment_base = 0, moment_time = 0;
};

// Reads the whole file once, keeping one publication at a time.
Overview overview_or_fail(const std::string& path, std::optional<std::uint64_t> time,
                          const std::string& consequence) {
  Overview o;
  std::uint64_t index = 0, base = 0;
  std::string error;
  const auto info = record::read_publications(path, [&](record::Publication&& p, std::string&) {
    if (record::starts_afresh(p)) base = index;
    if (index == 0) o.first_time = p.timestamp;
    o.last_time = p.timestamp;
    // The last publication at or before `time` (the end without one), as moment_at finds it.
    if (!time || p.timestamp <= *time) {
      o.moment = index;
      o.moment_base = base;
      o.moment_time = p.timestamp;
    }
    ++index;
    return true;
  }, error);
  if (!info) throw RecordingFailure(error + consequence);
  o.info = *info;
  return o;
}

std::string megabytes(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
  return text;
}

// How a recording's chunks are written.
struct ChunkChoice {
  record::mcap::Compression compression = record::mcap::default_compression();
  std::uint64_t size = 1 << 20;
};

int record_live(const std::string& path, const std::string& unit, double wait_ms, double duration,
                std::uint64_t max_publications, bool quiet, bool scene, const ChunkChoice& chunks,
                const std::atomic<bool>& stop) {
  if (record::nanoseconds_per_unit(unit) == 0)
    throw RecordingFailure("unknown --time-unit \"" + unit + "\": give ms, us or ns");
  if (!record::mcap::compression_available(chunks.compression))
    throw RecordingFailure(std::string("this build cannot write ") + record::mcap::compression_name(chunks.compression) +
                           " chunks (it was built without that library, as the Windows build is): give "
                           "--compression none");
  if (auto refused = planted_link_error(path)) throw RecordingFailure("cannot write " + *refused);
  if (wait_ms < 0 || wait_ms * 1000 > static_cast<double>(kg::kRecorderMaxWaitMicros))
    throw RecordingFailure("--writer-wait must lie between 0 and " +
                           std::to_string(kg::kRecorderMaxWaitMicros / 1000) + " ms");
  auto opened = graph_session::GraphSession::open_recorder(session_options());
  if (!opened) {
    if (opened.refusal == shared_memory_interface::memory_interface::Refusal::Missing)
      throw RecordingFailure("no shared region \"" + g_session_options.name +
                             "\" to record: is a host running? (start one with varnel-demo)");
    throw RecordingFailure("cannot record: " + opened.error);
  }
  const graph_session::GraphSession& session = *opened.session;
  kg::RecorderLink* link = kg::region_recorder_link(&session.graph(), session.view_size());
  if (link == nullptr)
    throw RecordingFailure("the region has no room for the recorder link behind the graph (" +
                           std::to_string(session.view_size()) + " bytes mapped)");
  const kg::KnowledgeGraph& graph = session.graph();

  record::LiveRecorder recorder(graph, *link);
  std::string error;
  if (!recorder.attach(static_cast<std::uint64_t>(wait_ms * 1000), error)) throw RecordingFailure(error);
  record::RecordingWriter writer;
  writer.compression = chunks.compression;
  writer.chunk_size = static_cast<std::size_t>(chunks.size);
  if (!writer.open(path, unit, error)) throw RecordingFailure(error);
  if (scene) writer.add_scene();

  // The recorder thread only copies versions out and acknowledges them, so that
  // a writer waiting to reuse slots is released quickly; this thread encodes and
  // writes them.
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<record::Publication> queue;
  std::atomic<bool> finish{false}, done{false};
  std::atomic<std::uint64_t> taken{0};
  std::thread follower([&] {
    auto sink = [&](const record::Publication& p) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        queue.push_back(p);
      }
      ++taken;
      ready.notify_one();
    };
    recorder.start(sink);
    while (!finish) {
      if (max_publications != 0 && taken >= max_publications) break;
      if (recorder.poll(sink, record::LiveRecorder::kFollowTrail) == 0)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    // Whatever the writer published up to now still goes in.
    if (max_publications == 0)
      while (recorder.poll(sink) != 0) {
      }
    recorder.detach();
    done = true;
    ready.notify_one();
  });

  const auto begin = Clock::now();
  auto last_report = begin;
  for (;;) {
    std::deque<record::Publication> batch;
    bool was_done = false;
    {
      std::unique_lock<std::mutex> lock(mutex);
      ready.wait_for(lock, std::chrono::milliseconds(100), [&] { return !queue.empty() || done; });
      was_done = done;  // read before the swap: then this batch holds everything that is left
      batch.swap(queue);
    }
    const bool last = batch.empty() && was_done;
    for (const auto& p : batch) {
      writer.write(p);
      if (p.gap)
        std::cerr << "\nvarnel-inspect record: GAP before publication " << writer.info().publications
                  << ": the writer reused slots before they were recorded (the recorder was too slow "
                     "or paused); the recording goes on from the scene as it stands\n";
    }
    const auto now = Clock::now();
    if (stop || (duration > 0 && std::chrono::duration<double>(now - begin).count() >= duration))
      finish = true;
    if (last) break;
    if (!quiet && now - last_report >= std::chrono::seconds(1)) {
      last_report = now;
      std::cerr << "\rrecording " << path << ": " << writer.info().publications << " publications, "
                << writer.info().versions << " versions, " << megabytes(writer.bytes_written())
                << ", gaps " << writer.info().gaps << "   " << std::flush;
    }
  }
  follower.join();
  if (!quiet) std::cerr << "\n";
  const record::RecordingInfo info = writer.info();
  if (!writer.close(error)) throw RecordingFailure(error);
  std::ifstream sized(path, std::ios::binary | std::ios::ate);
  std::cout << "recorded " << info.publications << " publications (" << info.versions
            << " versions) to " << path << " (" << static_cast<long long>(sized.tellg()) << " bytes, "
            << (chunks.compression == record::mcap::Compression::none ? "uncompressed"
                                                                      : record::mcap::compression_name(chunks.compression))
            << " chunks)";
  if (info.merged != 0) std::cout << "; " << info.merged << " publications merged into their successors";
  std::cout << "; gaps: " << info.gaps << "\n";
  if (info.gaps != 0) {
    std::cerr << "varnel-inspect record: the recording has " << info.gaps
              << " gap(s): versions published during them are missing (see the \"gap\" flag on "
                 "/publications); give the recorder more time with --writer-wait MS\n";
    return 3;
  }
  return 0;
}

void sleep_until(Clock::time_point until, const std::atomic<bool>& stop) {
  while (!stop && Clock::now() < until) {
    const auto left = until - Clock::now();
    std::this_thread::sleep_for(std::min<Clock::duration>(left, std::chrono::milliseconds(20)));
  }
}

int replay(const std::string& path, double rate, bool loop, bool force, bool quiet, const std::atomic<bool>& stop) {
  if (rate < 0) throw RecordingFailure("--rate must be 0 (as fast as possible) or more");
  // The whole file is read and checked before the region is touched.
  const Overview overview = overview_or_fail(path, std::nullopt, "; nothing was written to the region");
  const std::uint64_t unit_ns = record::nanoseconds_per_unit(overview.info.time_unit);
  if (unit_ns == 0)
    throw RecordingFailure(path + ": unknown timestamp unit \"" + overview.info.time_unit +
                           "\"; nothing was written to the region");
  const auto opened = open_scene_writer(session_options());
  const graph_session::GraphSession& session = *opened;
  kg::KnowledgeGraph& graph = session.graph();
  if (session.already_existed() && !graph.is_empty() && !force)
    throw RecordingFailure("the region already holds a graph (a host may be writing it); stop the "
                           "host, or pass --force to replace its scene; nothing was changed");
  graph.initialize();
  record::Republisher republisher(graph);
  // A loop lasts at least the recording's length at this pace, and at least a
  // second, so that a short recording does not spin a core.
  // (A pause is capped at a day: a damaged timestamp must not overflow the clock.)
  const auto scaled = [&](std::uint64_t units) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::nano>(
        std::min(static_cast<double>(units) * static_cast<double>(unit_ns) / rate, 86'400e9)));
  };
  const Clock::duration shortest_loop = std::max<Clock::duration>(
      std::chrono::seconds(1),
      rate > 0 && overview.last_time > overview.first_time ? scaled(overview.last_time - overview.first_time)
                                                           : Clock::duration::zero());
  std::uint64_t published = 0;
  auto last_report = Clock::now();
  for (bool first_loop = true; first_loop || (loop && !stop); first_loop = false) {
    const auto loop_start = Clock::now();
    auto pace = loop_start;
    std::optional<std::uint64_t> previous;
    std::uint64_t i = 0;
    std::string error;
    const auto read = record::read_publications(path, [&](record::Publication&& p, std::string& why) {
      if (previous && rate > 0 && p.timestamp > *previous) {
        pace += scaled(p.timestamp - *previous);
        sleep_until(pace, stop);
      }
      if (stop) return false;  // no reason: a stop, not a failure
      previous = p.timestamp;
      if (!republisher.publish(p, why)) return false;
      ++published;
      ++i;
      if (!quiet && Clock::now() - last_report >= std::chrono::seconds(1)) {
        last_report = Clock::now();
        std::cerr << "\rreplaying " << path << ": publication " << i << " of "
                  << overview.info.publications << ", scene time " << p.timestamp << "   " << std::flush;
      }
      return true;
    }, error);
    if (!read && !stop) throw RecordingFailure(error);
    if (loop) sleep_until(loop_start + shortest_loop, stop);
  }
  if (!quiet) std::cerr << "\n";
  std::cout << "replayed " << published << " publications of " << path << " into region \"" << g_session_options.name
            << "\"\n";
  return 0;
}

}  // namespace

bool is_recording_file(const std::string& path) {
  std::string error;
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(record::open_regular_file(path, error), &std::fclose);
  char magic[5] = {};
  return in && std::fread(magic, 1, 5, in.get()) == 5 && std::memcmp(magic, "\x89MCAP", 5) == 0;
}

std::string load_recording_moment(const std::string& path, std::optional<std::uint64_t> time,
                                  kg::KnowledgeGraph& graph) {
  // Through the file's indexes: only the chunks from the last fresh start to the moment.
  {
    record::Republisher republisher(graph);
    record::MomentRead found;
    std::string error, failure;
    const auto seek = record::read_moment(path, time, [&](record::Publication&& p, std::string& why) {
      if (!republisher.publish(p, why)) {
        failure = why;
        return false;
      }
      return true;
    }, found, error);
    if (seek == record::Seek::failed) {
      if (!failure.empty()) throw RecordingFailure(path + ": " + failure);
      throw RecordingFailure(path + ": " + error);
    }
    if (seek == record::Seek::read) {
      if (found.publications == 0) return "recording " + path + " (no publications)";
      if (!found.moment)
        return "recording " + path + " before its first publication (at " + std::to_string(found.first_time) + ")";
      return "recording " + path + " at publication " + std::to_string(*found.moment) + " of " +
             std::to_string(found.publications) + " (time " + std::to_string(found.moment_time) + ")";
    }
  }
  // No indexes to seek with: the whole file, twice.
  const Overview overview = overview_or_fail(path, time, "");
  if (overview.info.publications == 0) return "recording " + path + " (no publications)";
  if (!overview.moment)
    return "recording " + path + " before its first publication (at " + std::to_string(overview.first_time) + ")";
  // A second pass puts in the publications from the fresh start up to the moment.
  record::Republisher republisher(graph);
  std::uint64_t index = 0;
  std::string failure, ignored;
  record::read_publications(path, [&](record::Publication&& p, std::string&) {
    const std::uint64_t at = index++;
    if (at > *overview.moment) return false;  // done: the rest was checked before
    if (at >= overview.moment_base && !republisher.publish(p, failure)) return false;
    return true;
  }, ignored);
  if (!failure.empty()) throw RecordingFailure(path + ": " + failure);
  return "recording " + path + " at publication " + std::to_string(*overview.moment + 1) + " of " +
         std::to_string(overview.info.publications) + " (time " + std::to_string(overview.moment_time) + ")";
}

int recording_history(const std::string& path, const std::string& kind_text, std::uint64_t id,
                      bool relation) {
  std::optional<std::uint64_t> node_kind;
  if (!relation) node_kind = parse_node_kind(kind_text);
  const std::optional<std::uint64_t> relation_kind = parse_relation_kind(kind_text);
  if (!node_kind && !relation_kind)
    throw RecordingFailure("unknown kind \"" + kind_text + "\": give a node or relation kind name");
  // Only this instance's lines are kept, and shown once the whole file checked out.
  std::vector<std::string> lines;
  std::size_t shown = 0;
  std::string error;
  const auto read = record::read_publications(path, [&](record::Publication&& p, std::string&) {
    if (p.cleared || p.gap)
      lines.push_back("  -- publication " + std::to_string(p.number) +
                      (p.gap ? ": gap in the recording" : ": graph cleared"));
    if (p.compacted)
      lines.push_back("  -- publication " + std::to_string(p.number) +
                      ": compacted, keeping what held since " + std::to_string(p.keep_since));
    const std::string where = "  (publication " + std::to_string(p.number) + ")";
    if (node_kind) {
      for (const auto& item : p.nodes)
        if (item.value.tag == *node_kind && item.record.instance_id == id)
          lines.push_back("  #" + std::to_string(++shown) + "  " + node_line(item) + where);
    } else {
      for (const auto& item : p.relations)
        if (item.value.tag == *relation_kind && item.record.instance_id == id)
          lines.push_back("  #" + std::to_string(++shown) + "  " + relation_line(item) + where);
    }
    return true;
  }, error);
  if (!read) throw RecordingFailure(error);
  const kg::Index self(node_kind ? *node_kind : *relation_kind, id);
  std::cout << (node_kind ? node_name(self) : relation_name(self)) << " = " << kg::to_string(self) << "\n";
  for (const auto& line : lines) std::cout << line << "\n";
  if (shown == 0) std::cout << "  no versions\n";
  return 0;
}

void RecordCommands::add_to(CLI::App& app) {
  record_ = app.add_subcommand("record",
                               "Follow the live graph and write every published version to an MCAP "
                               "file until Ctrl-C (or --duration / --publications)");
  record_->add_option("FILE", record_path_, "MCAP file to write")->required();
  record_->add_option("--duration", duration_, "Stop after this many seconds");
  record_->add_option("--publications", max_publications_,
                      "Stop after this many publications (the scene at start counts as one)");
  record_->add_option("--time-unit", time_unit_, "What one host timestamp unit is: ms (default), us or ns");
  record_->add_option("--writer-wait", writer_wait_ms_,
                      "Longest time (ms) the writer waits for this recorder before it reuses slots; "
                      "default 50, at most 2000");
  record_->add_option("--compression", compression_,
                      std::string("How chunks are compressed: zstd, lz4 or none (default: ") +
                          (record::mcap::default_compression() == record::mcap::Compression::zstd
                               ? "zstd"
                               : "none; this build has no zstd or lz4") +
                          ")")
      ->check(CLI::IsMember({"zstd", "lz4", "none"}));
  record_->add_option("--chunk-size", chunk_size_,
                      "Uncompressed size at which a chunk is ended, at the next publication boundary "
                      "(default 1MiB; 4KiB to 256MiB, e.g. 4MiB)")
      ->transform(CLI::AsSizeValue(false))
      ->check(CLI::Range(std::uint64_t{4096}, std::uint64_t{256} << 20));
  record_->add_flag("--quiet", quiet_, "No progress line");
  record_->add_flag("--scene", scene_,
                    "Also record /scene: the scene as robotics viewers' 3D panels draw it (foxglove.SceneUpdate)");
  replay_ = app.add_subcommand("replay",
                               "Republish a recording into the region as a host, batch by batch at "
                               "the recorded pace");
  replay_->add_option("FILE", replay_path_, "MCAP recording to replay")->required();
  replay_->add_option("--rate", rate_, "Pace factor: 2 plays twice as fast; 0 as fast as possible");
  replay_->add_flag("--loop", loop_, "Start again at the end, until Ctrl-C");
  replay_->add_flag("--force", force_, "Replace a scene that the region already holds");
  replay_->add_flag("--quiet", quiet_, "No progress line");
}

void RecordCommands::use_region(const graph_session::Options& options) { g_session_options = options; }

std::unique_ptr<graph_session::GraphSession> open_scene_writer(graph_session::Options options) {
  options.require_writer = true;
  options.clear_on_take = false;  // the scene is replaced only once it may be
  auto opened = graph_session::GraphSession::open_writer(options);
  if (opened) return std::move(opened.session);
  if (opened.refusal == shared_memory_interface::memory_interface::Refusal::None)
    throw RecordingFailure("a host is writing the region \"" + options.name +
                           "\"; stop it first; nothing was changed");
  throw RecordingFailure("cannot create or open the region for writing: " + opened.error +
                         "; nothing was changed");
}

bool RecordCommands::run(int& status, const std::atomic<bool>& stop) {
  if (record_ != nullptr && *record_) {
    ChunkChoice chunks;
    if (!compression_.empty()) chunks.compression = *record::mcap::parse_compression(compression_);
    chunks.size = chunk_size_;
    status = record_live(record_path_, time_unit_, writer_wait_ms_, duration_, max_publications_, quiet_, scene_, chunks,
                         stop);
    return true;
  }
  if (replay_ != nullptr && *replay_) {
    status = replay(replay_path_, rate_, loop_, force_, quiet_, stop);
    return true;
  }
  return false;
}

}  // namespace varnel::inspect
