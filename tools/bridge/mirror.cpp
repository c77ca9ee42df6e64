// The mirror: the writer of a local region, which it fills from the publisher's
// stream with the normal publication protocol, so local readers see the source's
// publications as the source's own readers did.
//
// It applies a span only when it holds exactly the state the span starts from:
// the same session, the next number, and (checked again by the graph) the same
// tails. Anything else, and every sample it refuses, leaves the region as it is
// and asks for the whole state. Until it has one, it applies nothing.
//
// It follows one source (--source, else the first it hears from) for its whole
// run, and of that source the newest run (start time, then session) it has heard
// from: samples of other sources and of older runs are ignored, each logged once,
// so that two publishers on a domain never make it switch back and forth.
//
// Thread rules: samples are applied in Fast DDS's receive thread (the listener),
// which saves a thread hand-off per publication, while they are taken: the span
// is installed straight from the received payload (publication_type.hpp). The
// main thread only repeats state requests and prints progress. One mutex keeps
// the two apart. Fast DDS calls the listener with its own reader lock held, so
// this mirror never calls into Fast DDS while it holds its mutex from the main
// thread: the main thread takes no samples once the listener is set, and state
// requests are written with the mutex released.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <utility>
#include <thread>
#include <vector>

#include <fastdds/dds/subscriber/DataReaderListener.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>

#include "bridge.hpp"
#include "bridge_typesPubSubTypes.h"
#include "dds_link.hpp"
#include "publication_type.hpp"
#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/lookup_index.hpp"
#include "knowledge_graph/graph/raw_span.hpp"
#include "knowledge_graph/graph/recorder_link.hpp"
#include "graph_session/graph_session.hpp"

namespace varnel::bridge {
namespace {

namespace kg = knowledge_graph::graph;
namespace dds = eprosima::fastdds::dds;
namespace mi = shared_memory_interface::memory_interface;
constexpr auto kRequestEvery = std::chrono::milliseconds(500);
constexpr std::size_t kMostLogged = 64;  // ignored sources and runs told about: a bound on memory

std::string hex(std::uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
  return text;
}

class Mirror : public dds::DataReaderListener {
 public:
  Mirror(const Options& options, kg::KnowledgeGraph& graph, DdsLink& link)
      : options_(options), graph_(graph), requests_(link.requests_writer()),
        followed_(options.source) {
    std::random_device entropy;
    id_ = (std::uint64_t{entropy()} << 32) ^ entropy();
    reader_ = link.publications_reader();
    // Called inside take_next_sample, with the bytes still in Fast DDS's payload.
    sample_.receive = [this](const Publication&, std::span<const std::byte> bytes) { apply(bytes); };
  }

  void on_data_available(dds::DataReader* reader) override {
    std::optional<varnel_bridge::StateRequest> request;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      dds::SampleInfo info;
      while (reader->take_next_sample(&sample_, &info) == ReturnCode_t::RETCODE_OK) {
        // Whose it was cannot be told: the region stays as it is, the next good
        // sample of the followed source shows whether a publication was missed.
        if (info.valid_data && !sample_.malformed.empty()) {
          ++refused_;
          std::cerr << "varnel-bridge: refused a sample that is no publication: " << sample_.malformed
                    << std::endl;
        }
      }
      // Requests are written once the take is over, not from inside it.
      if (ask_pending_) request = next_request(pending_reason_);
    }
    if (request) requests_->write(&*request);
  }

  int run() {
    std::cout << "mirroring DDS domain " << options_.domain << " into region \"" << options_.region
              << "\" (mirror " << hex(id_) << "), following "
              << (followed_.empty() ? std::string("the first source heard from")
                                    : "source \"" + followed_ + "\"")
              << std::endl;
    const auto start = std::chrono::steady_clock::now();
    auto next_status = start;
    // Samples that came before the listener is set, taken while no listener can
    // run. One arriving in between is taken with the answer to the first request,
    // which is written only now.
    on_data_available(reader_);
    reader_->set_listener(this);
    std::optional<varnel_bridge::StateRequest> first;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      first = next_request("starting");
    }
    requests_->write(&*first);
    while (!g_stop.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      const auto now = std::chrono::steady_clock::now();
      if (options_.duration > 0 && now - start > std::chrono::duration<double>(options_.duration))
        break;
      std::optional<varnel_bridge::StateRequest> request;
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!synced_ && now - last_request_ > kRequestEvery) request = next_request(pending_reason_);
        if (options_.status_seconds > 0 && now >= next_status) {
          status();
          next_status = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(options_.status_seconds));
        }
      }
      if (request) requests_->write(&*request);
    }
    reader_->set_listener(nullptr);
    const std::lock_guard<std::mutex> lock(mutex_);
    status();
    return 0;
  }

 private:
  // Whether the sample comes from the followed source's newest run; picks the
  // source on the first sample when none was named.
  bool from_followed() {
    const std::string& source = sample_.source;
    if (followed_.empty()) {
      followed_ = source;
      std::cout << "following source \"" << followed_ << "\", the first heard from" << std::endl;
    }
    if (source != followed_) {
      if (ignored_.size() < kMostLogged && ignored_.insert(source).second)
        std::cerr << "varnel-bridge: another source is on the domain: \"" << source
                  << "\" (session " << hex(sample_.session) << "); ignored, this mirror follows \""
                  << followed_ << "\"" << std::endl;
      return false;
    }
    const std::pair<std::uint64_t, std::uint64_t> run{sample_.started_ns, sample_.session};
    if (run < newest_run_) {
      if (ignored_runs_.size() < kMostLogged && ignored_runs_.insert(run.second).second)
        std::cerr << "varnel-bridge: an older run of source \"" << source << "\" (session "
                  << hex(run.second) << ") still publishes; ignored, this mirror follows session "
                  << hex(newest_run_.second) << std::endl;
      return false;
    }
    newest_run_ = run;
    return true;
  }

  void apply(std::span<const std::byte> bytes) {
    if (!from_followed()) return;
    const std::uint64_t session = sample_.session, number = sample_.number;
    const bool same_session = synced_ && session == session_;
    if (sample_.afresh) {
      if (same_session && number == number_) return;  // a repeat of what we hold
    } else if (!same_session || number != number_ + 1) {
      if (same_session && number <= number_) return;  // already applied
      if (synced_)
        lose_place(session != session_ ? "the publisher restarted (new session " + hex(session) + ")"
                                       : "gap: publication " + std::to_string(number) +
                                             " follows " + std::to_string(number_));
      return;
    }
    const kg::GraphIndices from = kg::from_words(sample_.from);
    const kg::GraphIndices to = kg::from_words(sample_.to);
    // A compaction's mark: this mirror compacts its own copy and appends the span
    // that followed it, checked first to fit.
    const kg::InstallResult result =
        !sample_.compacted ? kg::install_raw_span(graph_, from, to, bytes, sample_.afresh)
        : sample_.afresh ? kg::InstallResult{kg::InstallStatus::Refused, "a compaction's mark that is a whole state"}
                         : kg::install_compaction(graph_, from, to, sample_.keep_since, bytes);
    if (result.status == kg::InstallStatus::Refused) {
      ++refused_;
      std::cerr << "varnel-bridge: refused publication " << number << " of session " << hex(session)
                << ": " << result.reason << "; the region keeps its last state" << std::endl;
      lose_place("refused a malformed sample (" + result.reason + ")");
      return;
    }
    if (result.status == kg::InstallStatus::BaseMismatch) {
      lose_place("publication " + std::to_string(number) + " does not start where this mirror stands");
      return;
    }
    if (!synced_ || session != session_)
      std::cout << "holding the whole state of session " << hex(session) << " at publication "
                << number << " of source \"" << followed_ << "\"" << std::endl;
    synced_ = true;
    session_ = session;
    number_ = number;
    ++applied_;
    afresh_ += sample_.afresh;
    compactions_ += sample_.compacted;
    const std::uint64_t now = wall_ns();
    lag_ns_ = now > sample_.observed_ns ? now - sample_.observed_ns : 0;
    max_lag_ns_ = std::max(max_lag_ns_, lag_ns_);
  }

  void lose_place(const std::string& reason) {
    if (synced_) std::cerr << "varnel-bridge: lost its place: " << reason << std::endl;
    synced_ = false;
    pending_reason_ = reason;
    ask_pending_ = true;
  }

  // The request for the whole state, made under mutex_ and written by the caller
  // once it has released it.
  varnel_bridge::StateRequest next_request(const std::string& reason) {
    pending_reason_ = reason;
    ask_pending_ = false;
    varnel_bridge::StateRequest request;
    request.mirror(id_);
    request.session(synced_ ? session_ : 0);
    request.source(followed_);
    request.reason(reason);
    last_request_ = std::chrono::steady_clock::now();
    return request;
  }

  void status() {
    std::cout << "applied " << applied_ << " publications (" << afresh_ << " whole states, "
              << compactions_ << " compactions as marks), "
              << (synced_ ? "at publication " + std::to_string(number_) : std::string("waiting for the whole state"))
              << ", lag " << lag_ns_ / 1000 << " us at the last one";
    // The most since the previous line, over the publications applied in between.
    if (applied_ > applied_before_)
      std::cout << " (max " << max_lag_ns_ / 1000 << " us over the last " << applied_ - applied_before_
                << ")";
    std::cout << ", refused " << refused_ << std::endl;
    max_lag_ns_ = 0;
    applied_before_ = applied_;
  }

  const Options& options_;
  kg::KnowledgeGraph& graph_;
  dds::DataWriter* requests_;
  dds::DataReader* reader_ = nullptr;
  std::mutex mutex_;  // everything below
  std::string followed_;  // the source followed; empty until the first sample
  std::pair<std::uint64_t, std::uint64_t> newest_run_{};  // of the followed source: start, session
  std::set<std::string> ignored_;               // other sources, logged once each
  std::set<std::uint64_t> ignored_runs_;        // older runs of the followed source, logged once
  std::uint64_t id_ = 0;
  Publication sample_;
  bool synced_ = false;
  std::uint64_t session_ = 0, number_ = 0;
  std::uint64_t applied_ = 0, afresh_ = 0, compactions_ = 0, refused_ = 0;
  std::uint64_t lag_ns_ = 0, max_lag_ns_ = 0;
  std::uint64_t applied_before_ = 0;  // applied_ at the previous status line
  std::string pending_reason_ = "starting";
  bool ask_pending_ = false;  // lost its place while taking: ask once the take is over
  std::chrono::steady_clock::time_point last_request_{};
};

}  // namespace

int run_mirror(const Options& options) {
  // One writer per region: a host (or another mirror) writing it keeps it.
  graph_session::Options session_options;
  session_options.name = options.region;
  session_options.require_writer = true;
  session_options.clear_on_take = false;  // the first whole state replaces the scene
  session_options.holder = "varnel-bridge mirror";
  session_options.log_target = "varnel_bridge";
  auto opened = graph_session::GraphSession::open_writer(session_options);
  if (!opened) {
    std::cerr << "varnel-bridge: "
              << (opened.refusal == mi::Refusal::None
                      ? "another process (a host or a mirror) writes region \"" + options.region +
                            "\"; stop it, or mirror into another region with --region"
                      : "cannot set up region \"" + options.region + "\": " + opened.error)
              << std::endl;
    return 1;
  }
  kg::KnowledgeGraph& graph = opened.session->graph();
  graph.set_autocommit(true);  // also repairs a compaction left unfinished by a dead writer
  int code = 1;
  {
    DdsLink link(options.domain, "varnel-bridge mirror " + options.region);
    Mirror mirror(options, graph, link);
    code = mirror.run();
  }
  return code;
}

}  // namespace varnel::bridge
