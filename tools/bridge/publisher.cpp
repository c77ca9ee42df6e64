// The publisher: follows the region as a plain reader (a read-only mapping; the
// host is neither told nor waited for) and sends every publication it observes.
// Publications that follow one another by appends go as spans; a compaction of
// the state it sent last as its mark (what it keeps since when: the mirror
// compacts its own copy) with the span appended after it; anything else (a
// clear, a compaction of a state it did not send, a restarted host) as the whole
// record. Several
// publications between two looks go as one sample: the mirror then skips the
// states in between, never shows a state the source did not publish.
//
// Every sample carries the source's name and this run's session and start time;
// requests for the whole state that name another source are left to its publisher.
#include <chrono>
#include <cstring>
#include <iostream>
#include <optional>
#include <random>
#include <span>
#include <thread>

#include <fastdds/dds/subscriber/SampleInfo.hpp>

#if defined(__linux__)
#include <sys/prctl.h>
#endif
#if defined(_WIN32)
#include <cstdlib>
#else
#include <unistd.h>
#endif

#include "bridge.hpp"
#include "bridge_typesPubSubTypes.h"
#include "dds_link.hpp"
#include "publication_type.hpp"
#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/publication_signal.hpp"
#include "knowledge_graph/graph/raw_span.hpp"
#include "knowledge_graph/graph/recorder_link.hpp"
#include "graph_session/graph_session.hpp"

namespace varnel::bridge {
namespace {

namespace kg = knowledge_graph::graph;
namespace dds = eprosima::fastdds::dds;

std::uint64_t new_session() {
  std::random_device entropy;
  std::uint64_t session = 0;
  while (session == 0) session = (std::uint64_t{entropy()} << 32) ^ entropy();
  return session;
}

// REGION@HOST: distinct for the publishers of one domain unless two read one region.
std::string default_name(const std::string& region) {
  std::string host;
#if defined(_WIN32)
  if (const char* name = std::getenv("COMPUTERNAME")) host = name;
#else
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) == 0) host = name;
#endif
  return region + "@" + (host.empty() ? std::string("localhost") : host);
}

bool same_state(const kg::Snapshot& a, const kg::Snapshot& b) {
  return a.clear_epoch == b.clear_epoch &&
         std::memcmp(&a.indices, &b.indices, sizeof(kg::GraphIndices)) == 0;
}

class Publisher {
 public:
  Publisher(const Options& options, const kg::KnowledgeGraph& graph, const kg::RecorderLink* compactions,
            DdsLink& link)
      : options_(options), graph_(graph), compactions_(compactions), writer_(link.publications_writer()),
        requests_(link.requests_reader()), session_(new_session()),
        name_(options.name.empty() ? default_name(options.region) : options.name),
        started_ns_(wall_ns()) {}

  int run() {
    std::cout << "publishing region \"" << options_.region << "\" on DDS domain " << options_.domain
              << " as source \"" << name_ << "\" (session " << std::hex << session_ << std::dec
              << ")" << std::endl;
    const auto start = std::chrono::steady_clock::now();
    auto next_status = start, next_requests = start;
    // A commit wakes the publisher. Without a signal (the platform refused it)
    // looking is the only way, and --busy-us makes it look often shortly after a
    // change, since hosts publish in bursts. Looking often costs a share of a
    // core that, on a busy computer, delays the wake-ups that carry publications.
    const auto busy = std::chrono::microseconds(options_.busy_micros);
    auto last_change = start - busy;
    while (!g_stop.load()) {
      const auto now = std::chrono::steady_clock::now();
      if (options_.duration > 0 && now - start > std::chrono::duration<double>(options_.duration))
        break;
      // Requests are rare and a take costs more than a look at the region.
      if (now >= next_requests) {
        take_requests();
        next_requests = now + std::chrono::milliseconds(5);
      }
      const bool sent = step();
      if (options_.status_seconds > 0 && now >= next_status) {
        status();
        next_status = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                std::chrono::duration<double>(options_.status_seconds));
      }
      // Between looks it sleeps until the host's next commit wakes it (the
      // region's publication signal), or the interval ends: a clear keeps the
      // last update and wakes no one, so the interval still bounds its delay.
      if (sent) {
        last_change = now;
      } else if (now - last_change < busy) {
        if (options_.busy_poll_micros == 0)
          std::this_thread::yield();
        else
          kg::wait_for_publication(graph_, graph_.last_update(),
                                   std::chrono::microseconds(options_.busy_poll_micros), &g_stop);
      } else {
        kg::wait_for_publication(graph_, graph_.last_update(),
                                 std::chrono::microseconds(options_.poll_micros), &g_stop);
      }
    }
    status();
    return 0;
  }

 private:
  void take_requests() {
    varnel_bridge::StateRequest request;
    dds::SampleInfo info;
    while (requests_->take_next_sample(&request, &info) == ReturnCode_t::RETCODE_OK) {
      if (!info.valid_data) continue;
      if (!request.source().empty() && request.source() != name_) continue;  // another source's
      if (!state_requested_)
        std::cout << "mirror " << std::hex << request.mirror() << std::dec
                  << " asks for the whole state: " << request.reason() << std::endl;
      state_requested_ = true;
    }
  }

  // Sends what changed since the last sample, and the whole state when asked.
  // True when something was sent.
  bool step() {
    const kg::Snapshot now = graph_.snapshot();
    if (now.clear_epoch & 1u) return false;  // a clear is being published: look again
    if (now.compaction_stalled != stalled_) {
      stalled_ = now.compaction_stalled;
      if (stalled_)
        std::cerr << "varnel-bridge: the region's writer stopped in the middle of a compaction; "
                     "its readers, and the mirrors, see an empty graph until a host sets the "
                     "region up again" << std::endl;
    }
    const bool changed = !started_ || !same_state(last_, now);
    if (changed) {
      const bool append = started_ && kg::appends_only(last_, now);
      const std::optional<kg::CompactionMark> compaction = append ? std::nullopt : compaction_of_last(now);
      if (compaction) {
        if (!send_compaction(now, *compaction, number_ + 1)) return false;
      } else if (!send(now, append ? last_.indices : kg::GraphIndices{}, !append, number_ + 1)) {
        return false;
      }
      ++number_;
      last_ = now;
      started_ = true;
      if (!append) state_requested_ = false;  // that was the whole state
      return true;
    }
    if (state_requested_) {
      // The state the mirrors hold at `number_`: a repeat, skipped by mirrors that have it.
      if (!send(now, kg::GraphIndices{}, true, number_)) return false;
      state_requested_ = false;
      return true;
    }
    return false;
  }

  // The last compaction, when it made `now` of the state sent last.
  std::optional<kg::CompactionMark> compaction_of_last(const kg::Snapshot& now) const {
    if (!started_ || compactions_ == nullptr) return std::nullopt;
    return kg::compaction_between(*compactions_, last_, now);
  }

  // The mark, and the span appended since the state it published.
  bool send_compaction(const kg::Snapshot& now, const kg::CompactionMark& mark, std::uint64_t number) {
    sample_.compacted = true;
    sample_.keep_since = mark.keep_since;
    sample_.fill_size = kg::raw_span_size(mark.to, now.indices);
    sample_.fill = [&](std::span<std::byte> out) { return kg::copy_raw_span(graph_, mark.to, now, out); };
    const bool sent = send_sample(now, last_.indices, false, number);
    sample_.compacted = false;
    sample_.keep_since = 0;
    if (sent) ++compactions_sent_;
    return sent;
  }

  bool send(const kg::Snapshot& now, const kg::GraphIndices& from, bool afresh,
            std::uint64_t number) {
    // The span goes from the region straight into the payload, in write().
    sample_.fill_size = kg::raw_span_size(from, now.indices);
    sample_.fill = [&](std::span<std::byte> out) { return kg::copy_raw_span(graph_, from, now, out); };
    return send_sample(now, from, afresh, number);
  }

  bool send_sample(const kg::Snapshot& now, const kg::GraphIndices& from, bool afresh,
                   std::uint64_t number) {
    sample_.source = name_;
    sample_.session = session_;
    sample_.started_ns = started_ns_;
    sample_.number = number;
    sample_.afresh = afresh;
    sample_.from = kg::to_words(from);
    sample_.to = kg::to_words(now.indices);
    sample_.observed_ns = wall_ns();
    const bool written = writer_->write(&sample_);
    sample_.fill = nullptr;
    // A clear or compaction under the copy: nothing was sent, the caller looks again.
    if (sample_.fill_failed) return false;
    if (!written) {
      std::cerr << "varnel-bridge: DDS refused to send publication " << number
                << "; the mirrors will see a gap and ask for the whole state" << std::endl;
    }
    ++sent_;
    afresh_ += afresh;
    bytes_ += sample_.fill_size;
    return true;
  }

  void status() {
    std::cout << "published " << sent_ << " samples (" << afresh_ << " whole states, "
              << compactions_sent_ << " compactions as marks), "
              << bytes_ / 1024 << " KiB, publication " << number_ << ", last update "
              << last_.indices.update_timestamp << std::endl;
  }

  const Options& options_;
  const kg::KnowledgeGraph& graph_;
  const kg::RecorderLink* compactions_;  // null: the region has no link; compactions go whole
  dds::DataWriter* writer_;
  dds::DataReader* requests_;
  const std::uint64_t session_;
  const std::string name_;
  const std::uint64_t started_ns_;
  Publication sample_;
  kg::Snapshot last_{};
  bool started_ = false;
  bool state_requested_ = false;
  bool stalled_ = false;
  std::uint64_t number_ = 0;
  std::uint64_t sent_ = 0, afresh_ = 0, bytes_ = 0, compactions_sent_ = 0;
};

}  // namespace

int run_publisher(const Options& options) {
  graph_session::Options session_options;
  session_options.name = options.region;
  session_options.log_target = "varnel_bridge";
  // A publisher may start before the host: it waits for the region.
  bool told = false;
  graph_session::OpenResult opened;
  while (!(opened = graph_session::GraphSession::open_reader(session_options))) {
    if (opened.refusal != shared_memory_interface::memory_interface::Refusal::Missing) {
      std::cerr << "varnel-bridge: cannot read the region: " << opened.error << std::endl;
      return 1;
    }
    if (!told) std::cout << "waiting for a host to create region \"" << options.region << "\"" << std::endl;
    told = true;
    if (g_stop.load()) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
#if defined(__linux__)
  // The poll's sleeps are short: without this, Linux lets each overrun by 50 us.
  prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
#endif
  DdsLink link(options.domain, "varnel-bridge publish " + options.region);
  // The region's recorder link carries the writer's compaction marks.
  const kg::RecorderLink* compactions =
      kg::region_recorder_link(&opened.session->graph(), opened.session->view_size());
  Publisher publisher(options, opened.session->graph(), compactions, link);
  return publisher.run();
}

}  // namespace varnel::bridge
