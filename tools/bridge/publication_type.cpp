#include "publication_type.hpp"

#include <bit>
#include <cstring>
#include <limits>

#include <fastdds/rtps/common/InstanceHandle.h>
#include <fastdds/rtps/common/SerializedPayload.h>

#include "bridge_types.h"

namespace varnel::bridge {
namespace {

using eprosima::fastrtps::rtps::SerializedPayload_t;

// CDR aligns every primitive to its size, counted from the end of the
// encapsulation header.
constexpr std::size_t kEncapsulation = 4;
constexpr std::size_t align(std::size_t at, std::size_t to) { return (at + to - 1) / to * to; }

// Offsets of the fields after the source's name, which comes first and is the
// only part of the header whose size varies.
struct Layout {
  std::size_t session, afresh, from, to, observed, compacted, keep_since, length, bytes;
};

Layout layout(std::size_t source_size) {
  Layout at{};
  at.session = align(4 + source_size + 1, 8);  // length, characters, terminating zero
  at.afresh = at.session + 3 * 8;              // session, started_ns, number
  at.from = align(at.afresh + 1, 8);
  at.to = at.from + kPublicationWords * 8;
  at.observed = at.to + kPublicationWords * 8;
  at.compacted = at.observed + 8;
  at.keep_since = align(at.compacted + 1, 8);
  at.length = at.keep_since + 8;               // 8-aligned, so 4-aligned too
  at.bytes = at.length + 4;
  return at;
}

std::size_t bytes_of(const Publication& sample) {
  return sample.fill ? sample.fill_size : sample.bytes.size();
}

template <typename T>
void put(unsigned char* cdr, std::size_t at, T value) {
  std::memcpy(cdr + at, &value, sizeof value);
}

// Reads the CDR of a sample, in either byte order, never past its end.
class CdrReader {
 public:
  CdrReader(const unsigned char* cdr, std::size_t size, bool swap)
      : cdr_(cdr), size_(size), swap_(swap) {}

  bool u32(std::size_t& at, std::uint32_t& value) {
    at = align(at, 4);
    if (!has(at, 4)) return false;
    std::memcpy(&value, cdr_ + at, 4);
    if (swap_) value = __builtin_bswap32(value);
    at += 4;
    return true;
  }
  bool u64(std::size_t& at, std::uint64_t& value) {
    at = align(at, 8);
    if (!has(at, 8)) return false;
    std::memcpy(&value, cdr_ + at, 8);
    if (swap_) value = __builtin_bswap64(value);
    at += 8;
    return true;
  }
  bool words(std::size_t& at, std::array<std::uint64_t, kPublicationWords>& words) {
    for (auto& word : words)
      if (!u64(at, word)) return false;
    return true;
  }
  bool has(std::size_t at, std::size_t count) const { return at <= size_ && count <= size_ - at; }
  const unsigned char* at(std::size_t offset) const { return cdr_ + offset; }

 private:
  const unsigned char* cdr_;
  std::size_t size_;
  bool swap_;
};

// Reads everything but the bytes; returns the offset of the bytes and their count.
bool read_header(CdrReader& in, Publication& sample, std::size_t& bytes_at, std::uint32_t& count,
                 std::string& malformed) {
  std::size_t at = 0;
  std::uint32_t name_size = 0;
  if (!in.u32(at, name_size) || !in.has(at, name_size)) {
    malformed = "the source's name runs past the sample";
    return false;
  }
  // The size counts the terminating zero.
  const char* name = reinterpret_cast<const char*>(in.at(at));
  sample.source.assign(name, name_size > 0 && name[name_size - 1] == '\0' ? name_size - 1 : name_size);
  at += name_size;
  if (!in.u64(at, sample.session) || !in.u64(at, sample.started_ns) || !in.u64(at, sample.number) ||
      !in.has(at, 1)) {
    malformed = "the sample ends inside its header";
    return false;
  }
  sample.afresh = *in.at(at) != 0;
  at += 1;
  if (!in.words(at, sample.from) || !in.words(at, sample.to) || !in.u64(at, sample.observed_ns) ||
      !in.has(at, 1)) {
    malformed = "the sample ends inside its header";
    return false;
  }
  sample.compacted = *in.at(at) != 0;
  at += 1;
  if (!in.u64(at, sample.keep_since) || !in.u32(at, count)) {
    malformed = "the sample ends inside its header";
    return false;
  }
  if (!in.has(at, count)) {
    malformed = "the span's length runs past the sample";
    return false;
  }
  bytes_at = at;
  return true;
}

}  // namespace

std::size_t publication_cdr_size(const Publication& sample) {
  return layout(sample.source.size()).bytes + bytes_of(sample);
}

PublicationType::PublicationType() {
  setName("varnel_bridge::GraphPublication");
  // The generated type support's figure for the same type.
  std::size_t size = varnel_bridge::GraphPublication::getMaxCdrSerializedSize();
  size = align(size, 4);
  m_typeSize = static_cast<std::uint32_t>(size + kEncapsulation);
  m_isGetKeyDefined = false;
}

bool PublicationType::serialize(void* data, SerializedPayload_t* payload) {
  auto& sample = *static_cast<Publication*>(data);
  sample.fill_failed = false;
  const Layout at = layout(sample.source.size());
  const std::size_t count = bytes_of(sample);
  const std::size_t total = kEncapsulation + at.bytes + count;
  if (count > std::numeric_limits<std::uint32_t>::max() || total > payload->max_size) return false;
  unsigned char* out = payload->data;
  // The header, padding zeroed.
  std::memset(out, 0, kEncapsulation + at.bytes);
  constexpr bool little = std::endian::native == std::endian::little;
  out[1] = little ? 1 : 0;  // CDR_LE / CDR_BE
  payload->encapsulation = little ? CDR_LE : CDR_BE;
  unsigned char* cdr = out + kEncapsulation;
  put(cdr, 0, static_cast<std::uint32_t>(sample.source.size() + 1));
  std::memcpy(cdr + 4, sample.source.data(), sample.source.size());
  put(cdr, at.session, sample.session);
  put(cdr, at.session + 8, sample.started_ns);
  put(cdr, at.session + 16, sample.number);
  cdr[at.afresh] = sample.afresh ? 1 : 0;
  std::memcpy(cdr + at.from, sample.from.data(), kPublicationWords * 8);
  std::memcpy(cdr + at.to, sample.to.data(), kPublicationWords * 8);
  put(cdr, at.observed, sample.observed_ns);
  cdr[at.compacted] = sample.compacted ? 1 : 0;
  put(cdr, at.keep_since, sample.keep_since);
  put(cdr, at.length, static_cast<std::uint32_t>(count));
  const std::span<std::byte> bytes(reinterpret_cast<std::byte*>(cdr + at.bytes), count);
  if (sample.fill) {
    if (!sample.fill(bytes)) {
      sample.fill_failed = true;
      return false;
    }
  } else if (count > 0) {
    std::memcpy(bytes.data(), sample.bytes.data(), count);
  }
  payload->length = static_cast<std::uint32_t>(total);
  return true;
}

bool PublicationType::deserialize(SerializedPayload_t* payload, void* data) {
  auto& sample = *static_cast<Publication*>(data);
  sample.malformed.clear();
  sample.bytes.clear();
  if (payload->length < kEncapsulation) {
    sample.malformed = "no encapsulation header";
    return true;
  }
  const bool little = payload->data[1] != 0;
  const bool swap = little != (std::endian::native == std::endian::little);
  CdrReader in(payload->data + kEncapsulation, payload->length - kEncapsulation, swap);
  std::size_t bytes_at = 0;
  std::uint32_t count = 0;
  // A broken sample is still taken, marked: Fast DDS would log and keep one it
  // could not deserialize.
  if (!read_header(in, sample, bytes_at, count, sample.malformed)) return true;
  const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(in.at(bytes_at)), count);
  if (sample.receive)
    sample.receive(sample, bytes);
  else
    sample.bytes.assign(bytes.begin(), bytes.end());
  return true;
}

std::function<std::uint32_t()> PublicationType::getSerializedSizeProvider(void* data) {
  return [data]() -> std::uint32_t {
    return static_cast<std::uint32_t>(kEncapsulation +
                                      publication_cdr_size(*static_cast<const Publication*>(data)));
  };
}

void* PublicationType::createData() { return new Publication(); }

void PublicationType::deleteData(void* data) { delete static_cast<Publication*>(data); }

bool PublicationType::getKey(void*, eprosima::fastrtps::rtps::InstanceHandle_t*, bool) {
  return false;  // no key: one instance
}

}  // namespace varnel::bridge
