// The type support of "varnel/publications", written by hand so that a sample's
// bytes are copied once on each side: the publisher copies the span out of the
// region straight into Fast DDS's payload, and the mirror installs it straight
// from the received payload. The generated type support (types/gen) would add a
// copy into a vector before serializing and one out of the payload into a vector
// after receiving.
//
// The wire format is the CDR of types/bridge_types.idl's GraphPublication under
// the same type name, so peers built with the generated type support interoperate
// (bridge_check wire compares the two byte for byte).
//
// Thread rules: Fast DDS calls serialize in the thread that writes and
// deserialize in the thread that takes; a Publication is used by one at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include <fastdds/dds/topic/TopicDataType.hpp>

namespace varnel::bridge {

inline constexpr std::size_t kPublicationWords = 38;

// One sample: a publication of the source graph, or its whole state.
struct Publication {
  std::string source;            // the source's name: mirrors follow one (publish --name)
  std::uint64_t session = 0;     // the publisher's run: a new one after every restart
  std::uint64_t started_ns = 0;  // publisher's clock when the run began (newest run wins)
  std::uint64_t number = 0;      // +1 per publication within a session
  bool afresh = false;           // the whole record below `to`, not appends since `from`
  std::array<std::uint64_t, kPublicationWords> from{};  // bookkeeping words the bytes start at
  std::array<std::uint64_t, kPublicationWords> to{};    // bookkeeping words to publish
  std::uint64_t observed_ns = 0;  // publisher's clock when it saw the publication
  // A compaction of the state at `from` that keeps what compact(keep_since) keeps
  // (the mirror compacts its own copy); the bytes are the span appended after it,
  // up to `to`.
  bool compacted = false;
  std::uint64_t keep_since = 0;

  // The raw span. Writing: when `fill` is set, `fill_size` bytes are written by it
  // straight into the payload, and `bytes` is not used; a `fill` that returns
  // false (the region changed under the copy) makes the write fail with
  // `fill_failed` set. Else `bytes` is sent.
  std::vector<std::byte> bytes;
  std::size_t fill_size = 0;
  std::function<bool(std::span<std::byte>)> fill;
  bool fill_failed = false;

  // Taking: when `receive` is set, it is called with the sample and its bytes in
  // the received payload (valid during the call only) and `bytes` stays empty;
  // else the bytes are copied into `bytes`. A sample whose encoding is broken
  // (sizes beyond the payload) is not passed on: `malformed` says why.
  std::function<void(const Publication&, std::span<const std::byte>)> receive;
  std::string malformed;
};

class PublicationType final : public eprosima::fastdds::dds::TopicDataType {
 public:
  PublicationType();
  bool serialize(void* data, eprosima::fastrtps::rtps::SerializedPayload_t* payload) override;
  bool deserialize(eprosima::fastrtps::rtps::SerializedPayload_t* payload, void* data) override;
  std::function<std::uint32_t()> getSerializedSizeProvider(void* data) override;
  void* createData() override;
  void deleteData(void* data) override;
  bool getKey(void* data, eprosima::fastrtps::rtps::InstanceHandle_t* handle,
              bool force_md5) override;
  bool is_bounded() const override { return false; }
  bool is_plain() const override { return false; }
};

// The CDR bytes of a sample (after the four bytes of encapsulation), as
// serialize writes them: for checks of the format.
std::size_t publication_cdr_size(const Publication& sample);

}  // namespace varnel::bridge
