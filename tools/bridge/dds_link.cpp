#include "dds_link.hpp"

#include <chrono>
#include <stdexcept>

#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/publisher/qos/DataWriterQos.hpp>
#include <fastdds/dds/subscriber/qos/DataReaderQos.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>

#include "bridge.hpp"
#include "bridge_typesPubSubTypes.h"
#include "publication_type.hpp"

namespace varnel::bridge {
namespace dds = eprosima::fastdds::dds;

namespace {

// Deep enough that a mirror never misses a sample while it applies a large one;
// a reader that falls further behind sees a gap and asks for the whole state.
constexpr std::int32_t kHistoryDepth = 256;

void reliable_in_order(dds::DataWriterQos& qos) {
  qos.reliability().kind = dds::RELIABLE_RELIABILITY_QOS;
  qos.durability().kind = dds::VOLATILE_DURABILITY_QOS;
  qos.history().kind = dds::KEEP_LAST_HISTORY_QOS;
  qos.history().depth = kHistoryDepth;
  qos.publish_mode().kind = dds::SYNCHRONOUS_PUBLISH_MODE;
  // Samples range from a few hundred bytes to the whole record.
  qos.endpoint().history_memory_policy =
      eprosima::fastrtps::rtps::DYNAMIC_REUSABLE_MEMORY_MODE;
}

void reliable_in_order(dds::DataReaderQos& qos) {
  qos.reliability().kind = dds::RELIABLE_RELIABILITY_QOS;
  qos.durability().kind = dds::VOLATILE_DURABILITY_QOS;
  qos.history().kind = dds::KEEP_LAST_HISTORY_QOS;
  qos.history().depth = kHistoryDepth;
  qos.endpoint().history_memory_policy =
      eprosima::fastrtps::rtps::DYNAMIC_REUSABLE_MEMORY_MODE;
}

}  // namespace

DdsLink::DdsLink(std::uint32_t domain, const std::string& name) {
  auto* factory = dds::DomainParticipantFactory::get_instance();
  // The profile file named by FASTRTPS_DEFAULT_PROFILES_FILE applies only if it is
  // loaded before the default QoS is taken.
  if (factory->load_profiles() != ReturnCode_t::RETCODE_OK)
    throw std::runtime_error("Fast DDS could not load the XML profiles "
                             "(FASTRTPS_DEFAULT_PROFILES_FILE): check the file");
  dds::DomainParticipantQos qos = factory->get_default_participant_qos();
  qos.name(name);
  participant_ = factory->create_participant(domain, qos);
  if (participant_ == nullptr)
    throw std::runtime_error("Fast DDS could not join domain " + std::to_string(domain) +
                             " (see its messages above; check the profile's transports)");
  dds::TypeSupport publication_type(new PublicationType());
  dds::TypeSupport request_type(new varnel_bridge::StateRequestPubSubType());
  publication_type.register_type(participant_);
  request_type.register_type(participant_);
  publications_ = participant_->create_topic(kPublicationsTopic, publication_type.get_type_name(),
                                             dds::TOPIC_QOS_DEFAULT);
  requests_ = participant_->create_topic(kRequestsTopic, request_type.get_type_name(),
                                         dds::TOPIC_QOS_DEFAULT);
  publisher_ = participant_->create_publisher(dds::PUBLISHER_QOS_DEFAULT);
  subscriber_ = participant_->create_subscriber(dds::SUBSCRIBER_QOS_DEFAULT);
  if (publications_ == nullptr || requests_ == nullptr || publisher_ == nullptr ||
      subscriber_ == nullptr)
    throw std::runtime_error("Fast DDS could not create the bridge's topics");
}

DdsLink::~DdsLink() {
  if (participant_ == nullptr) return;
  participant_->delete_contained_entities();
  dds::DomainParticipantFactory::get_instance()->delete_participant(participant_);
}

dds::DataWriter* DdsLink::publications_writer() {
  dds::DataWriterQos qos = publisher_->get_default_datawriter_qos();
  reliable_in_order(qos);
  auto* writer = publisher_->create_datawriter(publications_, qos);
  if (writer == nullptr) throw std::runtime_error("Fast DDS could not create the publications writer");
  return writer;
}

dds::DataReader* DdsLink::publications_reader() {
  dds::DataReaderQos qos = subscriber_->get_default_datareader_qos();
  reliable_in_order(qos);
  auto* reader = subscriber_->create_datareader(publications_, qos);
  if (reader == nullptr) throw std::runtime_error("Fast DDS could not create the publications reader");
  return reader;
}

dds::DataWriter* DdsLink::requests_writer() {
  dds::DataWriterQos qos = publisher_->get_default_datawriter_qos();
  reliable_in_order(qos);
  auto* writer = publisher_->create_datawriter(requests_, qos);
  if (writer == nullptr) throw std::runtime_error("Fast DDS could not create the requests writer");
  return writer;
}

dds::DataReader* DdsLink::requests_reader() {
  dds::DataReaderQos qos = subscriber_->get_default_datareader_qos();
  reliable_in_order(qos);
  auto* reader = subscriber_->create_datareader(requests_, qos);
  if (reader == nullptr) throw std::runtime_error("Fast DDS could not create the requests reader");
  return reader;
}

std::uint64_t wall_ns() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                        .count());
}

}  // namespace varnel::bridge
