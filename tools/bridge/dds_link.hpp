// One DDS participant with the bridge's two topics, and the endpoints each side
// needs. Thread rules: one thread uses a DdsLink.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/topic/Topic.hpp>

namespace varnel::bridge {

class DdsLink {
 public:
  // Joins `domain` with the default participant profile. Throws std::runtime_error
  // with the reason when Fast DDS refuses.
  DdsLink(std::uint32_t domain, const std::string& name);
  ~DdsLink();
  DdsLink(const DdsLink&) = delete;
  DdsLink& operator=(const DdsLink&) = delete;

  eprosima::fastdds::dds::DataWriter* publications_writer();
  eprosima::fastdds::dds::DataReader* publications_reader();
  eprosima::fastdds::dds::DataWriter* requests_writer();
  eprosima::fastdds::dds::DataReader* requests_reader();

 private:
  eprosima::fastdds::dds::DomainParticipant* participant_ = nullptr;
  eprosima::fastdds::dds::Topic* publications_ = nullptr;
  eprosima::fastdds::dds::Topic* requests_ = nullptr;
  eprosima::fastdds::dds::Publisher* publisher_ = nullptr;
  eprosima::fastdds::dds::Subscriber* subscriber_ = nullptr;
};

// Nanoseconds of the wall clock (comparable across computers whose clocks agree).
std::uint64_t wall_ns();

}  // namespace varnel::bridge
