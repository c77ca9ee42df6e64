// varnel-bridge figures (driven by bench/bridge_bench.sh, which starts the other
// processes in a private network namespace on loopback):
//   bridge  this process writes the source region "KnowledgeGraph" and watches
//           the mirror region; varnel-bridge publish and mirror run beside it.
//           Latency from commit to visibility in the mirror (median, p99) for
//           publications of 1, 10 and 100 node versions, then the sustained rate
//           of versions per second with the mirror's lag sampled every second.
//   ping    plain Fast DDS on the same transport and QoS: sends samples of the
//           bridge's sizes (1,456 bytes per node version and its payload) to an
//           `echo` process and takes half the round trip as one way.
//   echo    sends every ping back.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

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
#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/lookup_index.hpp"
#include "shared_memory_interface/shared_memory.hpp"

namespace {

namespace kg = knowledge_graph::graph;
namespace dds = eprosima::fastdds::dds;
using Clock = std::chrono::steady_clock;
using shared_memory_interface::shared_memory::KnowledgeGraphMemory;
constexpr std::uint32_t kRegionSize = 536'870'912;
constexpr int kSizes[] = {1, 10, 100};
constexpr int kRepetitions = 1000;

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

void report(const char* what, int versions, std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  std::printf("%-34s %4d versions  median %8.1f us  p99 %8.1f us  (%zu samples)\n", what, versions,
              samples[samples.size() / 2], samples[samples.size() * 99 / 100], samples.size());
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

int bridge(const std::string& mirror_name) {
  KnowledgeGraphMemory source("KnowledgeGraph", kRegionSize);
  if (!source.initialize()) return std::fprintf(stderr, "no source region\n"), 1;
  kg::KnowledgeGraph& graph = *source.get_data_ref();
  const kg::RegionLookupIndex index(graph, source.view_size());
  graph.set_autocommit(true);
  graph.clear();
  KnowledgeGraphMemory mirror(mirror_name, kRegionSize);
  const auto give_up = Clock::now() + std::chrono::seconds(30);
  while (!mirror.initialize_read_only()) {
    if (Clock::now() > give_up) return std::fprintf(stderr, "no mirror region\n"), 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const kg::KnowledgeGraph& copy = *mirror.get_data_ref();
  std::uint64_t time = 1000;
  const auto visible = [&](std::uint64_t stamp, Clock::time_point deadline) {
    // Polls as a reader would, yielding the processor to the bridge's processes.
    while (copy.snapshot().indices.update_timestamp != stamp) {
      if (Clock::now() > deadline) return false;
      std::this_thread::yield();
    }
    return true;
  };
  // Warm up until the mirror follows.
  for (;;) {
    commit(graph, 1, ++time);
    if (visible(time, Clock::now() + std::chrono::seconds(1))) break;
    if (Clock::now() > give_up) return std::fprintf(stderr, "the mirror does not follow\n"), 1;
  }
  for (int versions : kSizes) {
    std::vector<double> samples;
    for (int r = 0; r < kRepetitions; ++r) {
      const auto start = Clock::now();
      commit(graph, versions, ++time);
      if (!visible(time, start + std::chrono::seconds(5)))
        return std::fprintf(stderr, "publication %llu never reached the mirror\n",
                            static_cast<unsigned long long>(time)), 1;
      samples.push_back(micros(Clock::now() - start));
      std::this_thread::sleep_for(std::chrono::microseconds(500 + (r % 7) * 300));
    }
    report("bridge commit -> visible in mirror", versions, samples);
  }
  // Sustained: publications of 100 versions at rising rates, 3 s each. The lag is
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

int ping() {
  Raw raw("bench/ping", "bench/pong");
  varnel_bridge::GraphPublication sample, answer;
  dds::PublicationMatchedStatus matched;
  const auto give_up = Clock::now() + std::chrono::seconds(30);
  while (raw.writer->get_publication_matched_status(matched) == ReturnCode_t::RETCODE_OK &&
         matched.current_count < 1 && Clock::now() < give_up)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  // Warm up until the echo answers.
  for (;;) {
    sample.number(0);
    raw.writer->write(&sample);
    if (raw.take(answer, std::chrono::milliseconds(200))) break;
    if (Clock::now() > give_up) return std::fprintf(stderr, "no echo\n"), 1;
  }
  std::uint64_t number = 1;
  for (int versions : kSizes) {
    sample.bytes().assign(static_cast<std::size_t>(versions) * 1456, std::uint8_t{7});
    std::vector<double> samples;
    for (int r = 0; r < kRepetitions; ++r) {
      sample.number(++number);
      const auto start = Clock::now();
      raw.writer->write(&sample);
      do {
        if (!raw.take(answer, std::chrono::seconds(5))) return std::fprintf(stderr, "lost ping\n"), 1;
      } while (answer.number() != number);
      samples.push_back(micros(Clock::now() - start) / 2);
      std::this_thread::sleep_for(std::chrono::microseconds(500 + (r % 7) * 300));
    }
    report("plain Fast DDS one way (RTT/2)", versions, samples);
  }
  sample.number(~std::uint64_t{0});  // tells the echo to stop
  raw.writer->write(&sample);
  // Leaving at once would destroy the writer before the stop reached the echo.
  raw.writer->wait_for_acknowledgments(eprosima::fastrtps::Duration_t(5, 0));
  return 0;
}

int echo() {
  Raw raw("bench/pong", "bench/ping");
  varnel_bridge::GraphPublication sample;
  while (raw.take(sample, std::chrono::seconds(60))) {
    if (sample.number() == ~std::uint64_t{0}) return 0;
    raw.writer->write(&sample);
  }
  std::fprintf(stderr, "echo: no ping and no stop for 60 s\n");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "bridge" && argc > 2) return bridge(argv[2]);
  if (mode == "ping") return ping();
  if (mode == "echo") return echo();
  std::fprintf(stderr, "usage: varnel_bridge_bench bridge MIRROR_REGION | ping | echo\n"
                       "(run through bench/bridge_bench.sh)\n");
  return 2;
}
