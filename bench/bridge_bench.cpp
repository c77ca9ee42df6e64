// varnel-bridge against plain Fast DDS, in one process and one run (driven by
// bench/bridge_bench.sh, which starts the other processes in a private network
// namespace on loopback):
//   run MIRROR [LOAD]  this process is the host of the source region
//           "KnowledgeGraph" (a graph session: its commits wake the publisher)
//           and a reader of the mirror region, while varnel-bridge publish and
//           mirror run beside it; it is also the plain Fast DDS side, sending
//           samples of the same sizes (1,456 bytes per node version and its
//           payload, the bridge's sample type and QoS) to an `echo` process.
//           For publications of 1, 10 and 100 node versions it alternates blocks
//           of the two: the bridge's commit -> visible in the mirror (the reader
//           sleeping on the mirror's publication signal) against a plain sample's
//           way from before its write to the echo's take (each side sleeping in
//           Fast DDS's wait; the monotonic clock is shared by the processes),
//           and half its round trip as it used to be counted. Prints a table row
//           per size: medians, p99s and the bridge's ratios to the plain one way. With LOAD, a shell
//           command, it measures once at rest, then again while LOAD runs (in a
//           process group of its own, ended afterwards). Both regions go once
//           through their memory before anything is measured.
//   sustained MIRROR  the rate of versions per second the mirror keeps up with.
//   echo    sends every plain sample back.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fastdds/dds/core/status/PublicationMatchedStatus.hpp>
#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/publisher/qos/DataWriterQos.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/subscriber/qos/DataReaderQos.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>

#include "bridge_typesPubSubTypes.h"
#include "graph_session/graph_session.hpp"
#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/publication_signal.hpp"

namespace {

namespace kg = knowledge_graph::graph;
namespace dds = eprosima::fastdds::dds;
using Clock = std::chrono::steady_clock;
constexpr int kSizes[] = {1, 10, 100};
constexpr int kBlock = 50;    // samples of one kind and size in a row
constexpr int kRounds = 20;   // blocks of each kind and size

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }
// The monotonic clock, which every process of the computer reads alike.
std::uint64_t steady_ns() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count());
}

kg::KnowledgeGraphNode car(std::uint64_t salt) {
  kg::KnowledgeGraphNode value{};
  const std::uint64_t kind = 1;
  std::memcpy(reinterpret_cast<unsigned char*>(&value), &kind, sizeof kind);
  std::memcpy(reinterpret_cast<unsigned char*>(&value) + 8, &salt, sizeof salt);
  return value;
}

// Commits `versions` car versions as one publication stamped `time`.
void commit(kg::KnowledgeGraph& graph, int versions, std::uint64_t time) {
  if (graph.fill().node_values.used + static_cast<std::uint64_t>(versions) > 15000) graph.clear();
  graph.set_autocommit(false);
  graph.start_transaction();
  for (int i = 0; i < versions; ++i) graph.add_node(time, static_cast<std::uint64_t>(i % 50), car(time));
  graph.commit_transaction();
  graph.set_autocommit(true);
}

// The pause between two samples, the same for both kinds: 0.5 to 2.3 ms.
void pause(int r) { std::this_thread::sleep_for(std::chrono::microseconds(500 + (r % 7) * 300)); }

// ---- plain Fast DDS ----

struct Raw {
  dds::DomainParticipant* participant = nullptr;
  dds::DataWriter* writer = nullptr;
  dds::DataReader* reader = nullptr;

  Raw(const char* out_topic, const char* in_topic) {
    auto* factory = dds::DomainParticipantFactory::get_instance();
    factory->load_profiles();
    participant = factory->create_participant(0, factory->get_default_participant_qos());
    dds::TypeSupport type(new varnel_bridge::GraphPublicationPubSubType());
    type.register_type(participant);
    auto* out = participant->create_topic(out_topic, type.get_type_name(), dds::TOPIC_QOS_DEFAULT);
    auto* in = participant->create_topic(in_topic, type.get_type_name(), dds::TOPIC_QOS_DEFAULT);
    // The bridge's QoS (tools/bridge/dds_link.cpp).
    dds::DataWriterQos wq = dds::DATAWRITER_QOS_DEFAULT;
    wq.reliability().kind = dds::RELIABLE_RELIABILITY_QOS;
    wq.history().kind = dds::KEEP_LAST_HISTORY_QOS;
    wq.history().depth = 256;
    wq.publish_mode().kind = dds::SYNCHRONOUS_PUBLISH_MODE;
    wq.endpoint().history_memory_policy = eprosima::fastrtps::rtps::DYNAMIC_REUSABLE_MEMORY_MODE;
    dds::DataReaderQos rq = dds::DATAREADER_QOS_DEFAULT;
    rq.reliability().kind = dds::RELIABLE_RELIABILITY_QOS;
    rq.history().kind = dds::KEEP_LAST_HISTORY_QOS;
    rq.history().depth = 256;
    rq.endpoint().history_memory_policy = eprosima::fastrtps::rtps::DYNAMIC_REUSABLE_MEMORY_MODE;
    writer = participant->create_publisher(dds::PUBLISHER_QOS_DEFAULT)->create_datawriter(out, wq);
    reader = participant->create_subscriber(dds::SUBSCRIBER_QOS_DEFAULT)->create_datareader(in, rq);
  }
  ~Raw() {
    participant->delete_contained_entities();
    dds::DomainParticipantFactory::get_instance()->delete_participant(participant);
  }
  bool take(varnel_bridge::GraphPublication& sample, Clock::duration wait) {
    dds::SampleInfo info;
    const auto until = Clock::now() + wait;
    for (;;) {
      if (reader->take_next_sample(&sample, &info) == ReturnCode_t::RETCODE_OK && info.valid_data)
        return true;
      if (Clock::now() > until) return false;
      reader->wait_for_unread_message(eprosima::fastrtps::Duration_t(0, 10'000'000));
    }
  }
};


// The source as its host holds it and the mirror as a reader of it does.
struct Regions {
  std::unique_ptr<graph_session::GraphSession> source, mirror;
  kg::KnowledgeGraph* graph = nullptr;
  const kg::KnowledgeGraph* copy = nullptr;
  std::uint64_t time = 1000;

  bool open(const std::string& mirror_name) {
    graph_session::Options options;
    options.log_target = "bridge_bench";
    auto opened = graph_session::GraphSession::open_writer(options);
    if (!opened) return std::fprintf(stderr, "no source region: %s\n", opened.error.c_str()), false;
    source = std::move(opened.session);
    graph = &source->graph();
    graph->set_autocommit(true);
    options.name = mirror_name;
    const auto give_up = Clock::now() + std::chrono::seconds(30);
    while (!(opened = graph_session::GraphSession::open_reader(options))) {
      if (Clock::now() > give_up) return std::fprintf(stderr, "no mirror region\n"), false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    mirror = std::move(opened.session);
    copy = &mirror->graph();
    // Until the mirror follows.
    for (;;) {
      const std::uint64_t before = copy->last_update();
      commit(*graph, 1, ++time);
      if (visible(before, time, Clock::now() + std::chrono::seconds(1))) return true;
      if (Clock::now() > give_up) return std::fprintf(stderr, "the mirror does not follow\n"), false;
    }
  }

  // Sleeps on the mirror's publication signal until it shows `stamp`.
  bool visible(std::uint64_t seen, std::uint64_t stamp, Clock::time_point deadline) const {
    while (seen != stamp) {
      const auto left = deadline - Clock::now();
      if (left <= Clock::duration::zero()) return copy->last_update() == stamp;
      if (const auto update = kg::wait_for_publication(*copy, seen, left)) seen = *update;
    }
    return true;
  }

  // One sample: commit -> visible in the mirror, in microseconds; negative when lost.
  double sample(int versions) {
    const std::uint64_t before = copy->last_update();
    const auto start = Clock::now();
    commit(*graph, versions, ++time);
    if (!visible(before, time, start + std::chrono::seconds(5))) return -1;
    return micros(Clock::now() - start);
  }
};


// The plain Fast DDS side of `run`.
struct Ping {
  Raw raw{"bench/ping", "bench/pong"};
  varnel_bridge::GraphPublication sample, answer;
  std::uint64_t number = 1;

  bool open() {
    dds::PublicationMatchedStatus matched;
    const auto give_up = Clock::now() + std::chrono::seconds(30);
    while (raw.writer->get_publication_matched_status(matched) == ReturnCode_t::RETCODE_OK &&
           matched.current_count < 1 && Clock::now() < give_up)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // Until the echo answers.
    for (;;) {
      sample.number(0);
      raw.writer->write(&sample);
      if (raw.take(answer, std::chrono::milliseconds(200))) return true;
      if (Clock::now() > give_up) return std::fprintf(stderr, "no echo\n"), false;
    }
  }

  // A sample of `versions` node versions there and back: the way there as the
  // echo measured it (from before the write to its take) and half the round trip,
  // in microseconds; false when lost.
  bool trip(int versions, double& one_way, double& half_round) {
    const std::size_t size = static_cast<std::size_t>(versions) * 1456;
    if (sample.bytes().size() != size) sample.bytes().assign(size, std::uint8_t{7});
    sample.number(++number);
    const auto start = Clock::now();
    sample.observed_ns(steady_ns());
    raw.writer->write(&sample);
    do {
      if (!raw.take(answer, std::chrono::seconds(5))) return false;
    } while (answer.number() != number);
    half_round = micros(Clock::now() - start) / 2;
    one_way = static_cast<double>(answer.started_ns()) / 1000;
    return true;
  }
};

struct Figures {
  double median, p99;
};
Figures figures(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

// Alternates blocks of plain and bridge samples of every size; prints a row per size.
bool measure(Regions& regions, Ping& ping, const std::string& label) {
  enum { kOneWay, kHalfRound, kBridge, kKinds };
  std::vector<double> samples[std::size(kSizes)][kKinds];
  for (int round = 0; round < kRounds; ++round) {
    for (std::size_t s = 0; s < std::size(kSizes); ++s) {
      for (int turn = 0; turn < 2; ++turn) {
        const bool plain = (turn + round) % 2 == 0;  // who goes first alternates
        for (int r = 0; r < kBlock; ++r) {
          double one_way = 0, half_round = 0;
          if (plain) {
            if (!ping.trip(kSizes[s], one_way, half_round))
              return std::fprintf(stderr, "%s: a plain sample of %d versions was lost\n",
                                  label.c_str(), kSizes[s]), false;
            samples[s][kOneWay].push_back(one_way);
            samples[s][kHalfRound].push_back(half_round);
          } else {
            const double took = regions.sample(kSizes[s]);
            if (took < 0)
              return std::fprintf(stderr, "%s: a bridge sample of %d versions was lost\n",
                                  label.c_str(), kSizes[s]), false;
            samples[s][kBridge].push_back(took);
          }
          pause(r);
        }
      }
    }
  }
  for (std::size_t s = 0; s < std::size(kSizes); ++s) {
    const Figures plain = figures(samples[s][kOneWay]), half = figures(samples[s][kHalfRound]),
                  bridge = figures(samples[s][kBridge]);
    std::printf("| %s | %d | %.0f (%.0f) | %.0f | %.2fx | %.0f (%.0f) | %.0f | %.2fx |\n", label.c_str(),
                kSizes[s], plain.median, half.median, bridge.median, bridge.median / plain.median,
                plain.p99, half.p99, bridge.p99, bridge.p99 / plain.p99);
  }
  std::fflush(stdout);
  return true;
}

double load_average() {
  double average = 0;
  if (FILE* file = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(file, "%lf", &average) != 1) average = 0;
    std::fclose(file);
  }
  return average;
}

int run(const std::string& mirror_name, const char* load) {
  Regions regions;
  Ping ping;
  if (!regions.open(mirror_name) || !ping.open()) return 1;
  std::printf("%d samples of each kind and size, in alternating blocks of %d; microseconds\n\n",
              kBlock * kRounds, kBlock);
  std::printf("| load | versions | plain p50 (RTT/2) | bridge p50 | bridge/plain | plain p99 (RTT/2) | bridge p99 | bridge/plain |\n"
              "|---|---|---|---|---|---|---|---|\n");
  // Unmeasured: one pass of both regions' arrays (up to the clear), so that no
  // figure below pays the page faults of a region's first pass through its
  // memory (once in a region's life), and as many plain samples.
  for (int r = 0; r < 160; ++r) {
    double one_way = 0, half_round = 0;
    if (regions.sample(100) < 0 || !ping.trip(100, one_way, half_round))
      return std::fprintf(stderr, "a sample was lost before the measurement\n"), 1;
  }
  char label[64];
  std::snprintf(label, sizeof label, "at rest (load average %.1f)", load_average());
  if (!measure(regions, ping, label)) return 1;
  if (load == nullptr) return 0;
  const pid_t job = fork();
  if (job == 0) {
    setpgid(0, 0);
    execl("/bin/sh", "sh", "-c", load, static_cast<char*>(nullptr));
    _exit(127);
  }
  if (job < 0) return std::fprintf(stderr, "cannot start the load\n"), 1;
  setpgid(job, job);
  std::this_thread::sleep_for(std::chrono::seconds(3));  // the compiler under way
  std::snprintf(label, sizeof label, "compile job (load average %.1f)", load_average());
  const bool measured = measure(regions, ping, label);
  kill(-job, SIGTERM);
  waitpid(job, nullptr, 0);
  return measured ? 0 : 1;
}

int sustained(const std::string& mirror_name) {
  Regions regions;
  if (!regions.open(mirror_name)) return 1;
  kg::KnowledgeGraph& graph = *regions.graph;
  const kg::KnowledgeGraph& copy = *regions.copy;
  std::uint64_t& time = regions.time;
  const auto visible = [&](std::uint64_t stamp, Clock::time_point deadline) {
    return regions.visible(copy.last_update(), stamp, deadline);
  };
  // Publications of 100 versions at rising rates, 3 s each. The lag is
  // the age of the publication the mirror shows, sampled every 2 ms; it does not
  // grow when the last second's median is no higher than the first's.
  std::printf("sustained, publications of 100 versions (the source clears every 150):\n");
  for (int hertz : {100, 500, 1000, 2000, 4000}) {
    std::vector<Clock::time_point> committed;  // by time - base
    const std::uint64_t base = time + 1;
    std::vector<double> first_second, last_second;
    const auto begin = Clock::now();
    auto next_commit = begin, next_sample = begin;
    const auto period = std::chrono::nanoseconds(1'000'000'000 / hertz);
    while (Clock::now() - begin < std::chrono::seconds(3)) {
      const auto now = Clock::now();
      if (now >= next_commit) {
        commit(graph, 100, ++time);
        committed.push_back(Clock::now());
        next_commit += period;
      }
      if (now >= next_sample) {
        const auto now = Clock::now();
        const std::uint64_t seen = copy.snapshot().indices.update_timestamp;
        const std::uint64_t newest = seen >= base ? seen - base : 0;
        // The mirror shows publication `seen`: the lag is counted from the commit after it.
        const double lag = newest + 1 < committed.size() ? micros(now - committed[newest + 1]) : 0.0;
        const double age = std::chrono::duration<double>(now - begin).count();
        if (age < 1) first_second.push_back(lag);
        if (age >= 2) last_second.push_back(lag);
        next_sample += std::chrono::milliseconds(2);
      }
      std::this_thread::yield();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    const auto caught = Clock::now();
    if (!visible(time, caught + std::chrono::seconds(10)))
      return std::fprintf(stderr, "the mirror never caught up\n"), 1;
    std::sort(first_second.begin(), first_second.end());
    std::sort(last_second.begin(), last_second.end());
    std::printf("  %7.0f versions/s: lag median %8.1f us in the first second, %8.1f us in the last "
                "(max %8.1f us); caught up %.1f ms after the last commit\n",
                static_cast<double>(committed.size()) * 100 / seconds,
                first_second[first_second.size() / 2], last_second[last_second.size() / 2],
                last_second.back(), std::chrono::duration<double, std::milli>(Clock::now() - caught).count());
  }
  return 0;
}


int echo() {
  Raw raw("bench/pong", "bench/ping");
  varnel_bridge::GraphPublication sample;
  while (raw.take(sample, std::chrono::seconds(60))) {
    if (sample.number() == ~std::uint64_t{0}) return 0;
    // The one way, on the clock both processes share, goes back in the answer.
    const std::uint64_t now = steady_ns();
    sample.started_ns(now > sample.observed_ns() ? now - sample.observed_ns() : 0);
    raw.writer->write(&sample);
  }
  std::fprintf(stderr, "echo: no ping and no stop for 60 s\n");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "run" && argc > 2) return run(argv[2], argc > 3 ? argv[3] : nullptr);
  if (mode == "sustained" && argc > 2) return sustained(argv[2]);
  if (mode == "echo") return echo();
  std::fprintf(stderr, "usage: varnel_bridge_bench run MIRROR_REGION [LOAD_COMMAND] | sustained MIRROR_REGION | echo\n"
                       "(run through bench/bridge_bench.sh)\n");
  return 2;
}
