#include "mcap.hpp"

#include <array>
#include <cerrno>
#include <functional>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "snapshot_file.hpp"

namespace varnel::record::mcap {
namespace {

constexpr char kMagic[8] = {'\x89', 'M', 'C', 'A', 'P', '0', '\r', '\n'};

enum Op : std::uint8_t {
  kHeader = 0x01,
  kFooter = 0x02,
  kSchema = 0x03,
  kChannel = 0x04,
  kMessage = 0x05,
  kChunk = 0x06,
  kMessageIndex = 0x07,
  kChunkIndex = 0x08,
  kAttachment = 0x09,
  kAttachmentIndex = 0x0A,
  kStatistics = 0x0B,
  kMetadata = 0x0C,
  kMetadataIndex = 0x0D,
  kSummaryOffset = 0x0E,
  kDataEnd = 0x0F,
};

constexpr std::size_t kFooterRecord = 1 + 8 + 8 + 8 + 4;

const std::array<std::uint32_t, 256>& crc_table() {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  return table;
}

// ---- Encoding ----

void put8(std::string& out, std::uint8_t v) { out.push_back(static_cast<char>(v)); }
void put16(std::string& out, std::uint16_t v) {
  for (int i = 0; i < 2; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}
void put32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}
void put64(std::string& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}
void put_string(std::string& out, std::string_view s) {
  put32(out, static_cast<std::uint32_t>(s.size()));
  out.append(s);
}
void put_map(std::string& out, const Metadata& map) {
  std::string body;
  for (const auto& [key, value] : map) {
    put_string(body, key);
    put_string(body, value);
  }
  put_string(out, body);
}
void put_u16_u64_map(std::string& out, const std::map<std::uint16_t, std::uint64_t>& map) {
  put32(out, static_cast<std::uint32_t>(map.size() * 10));
  for (const auto& [key, value] : map) {
    put16(out, key);
    put64(out, value);
  }
}
std::string record(Op op, const std::string& body) {
  std::string out;
  put8(out, op);
  put64(out, body.size());
  out += body;
  return out;
}

std::string schema_record(const Schema& s) {
  std::string body;
  put16(body, s.id);
  put_string(body, s.name);
  put_string(body, s.encoding);
  put_string(body, s.data);
  return record(kSchema, body);
}
std::string channel_record(const Channel& c) {
  std::string body;
  put16(body, c.id);
  put16(body, c.schema_id);
  put_string(body, c.topic);
  put_string(body, c.message_encoding);
  put_map(body, c.metadata);
  return record(kChannel, body);
}

// ---- Decoding: a cursor that never reads past its end ----

struct Cursor {
  std::string_view bytes;
  std::size_t at = 0;
  bool ok = true;

  std::size_t left() const { return bytes.size() - at; }
  bool need(std::size_t n) {
    if (!ok || n > left()) ok = false;
    return ok;
  }
  template <class T> T number() {
    if (!need(sizeof(T))) return 0;
    T v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
      v |= static_cast<T>(static_cast<T>(static_cast<unsigned char>(bytes[at + i])) << (8 * i));
    at += sizeof(T);
    return v;
  }
  std::string_view take(std::uint64_t n) {
    if (!need(n)) return {};
    std::string_view out = bytes.substr(at, n);
    at += n;
    return out;
  }
  std::string string() { return std::string(take(number<std::uint32_t>())); }
  Metadata map() {
    Cursor inner{take(number<std::uint32_t>())};
    Metadata out;
    while (ok && inner.ok && inner.left() > 0) {
      std::string key = inner.string();
      std::string value = inner.string();
      if (inner.ok) out[key] = value;
    }
    ok = ok && inner.ok;
    return out;
  }
};

struct Parser {
  File file;
  std::string error;
  // Where messages go; false (with `error` set) stops the read.
  const MessageSink* sink = nullptr;
  std::uint64_t message_count = 0;
  std::set<std::uint16_t> channels_seen;  // channels of messages in the last chunk
  bool header_seen = false;

  bool fail(const std::string& what, std::size_t offset) {
    if (error.empty()) error = what + " (at byte " + std::to_string(offset) + ")";
    return false;
  }

  bool schema(Cursor& c, std::size_t offset) {
    Schema s;
    s.id = c.number<std::uint16_t>();
    s.name = c.string();
    s.encoding = c.string();
    s.data = c.string();
    if (!c.ok) return fail("a Schema record is cut short", offset);
    if (s.id == 0) return true;  // invalid id: ignored
    auto [it, fresh] = file.schemas.emplace(s.id, s);
    if (!fresh && (it->second.name != s.name || it->second.encoding != s.encoding ||
                   it->second.data != s.data))
      return fail("two different Schema records share id " + std::to_string(s.id), offset);
    return true;
  }

  bool channel(Cursor& c, std::size_t offset) {
    Channel ch;
    ch.id = c.number<std::uint16_t>();
    ch.schema_id = c.number<std::uint16_t>();
    ch.topic = c.string();
    ch.message_encoding = c.string();
    ch.metadata = c.map();
    if (!c.ok) return fail("a Channel record is cut short", offset);
    if (ch.schema_id != 0 && !file.schemas.count(ch.schema_id))
      return fail("Channel " + std::to_string(ch.id) + " refers to schema " +
                      std::to_string(ch.schema_id) + " before it is defined", offset);
    auto [it, fresh] = file.channels.emplace(ch.id, ch);
    if (!fresh && (it->second.topic != ch.topic || it->second.schema_id != ch.schema_id ||
                   it->second.message_encoding != ch.message_encoding))
      return fail("two different Channel records share id " + std::to_string(ch.id), offset);
    return true;
  }

  bool message(Cursor& c, std::size_t offset) {
    Message m;
    m.channel_id = c.number<std::uint16_t>();
    m.sequence = c.number<std::uint32_t>();
    m.log_time = c.number<std::uint64_t>();
    m.publish_time = c.number<std::uint64_t>();
    if (!c.ok) return fail("a Message record is cut short", offset);
    m.data = std::string(c.take(c.left()));
    if (!file.channels.count(m.channel_id))
      return fail("a Message on channel " + std::to_string(m.channel_id) +
                      " comes before that channel is defined", offset);
    ++message_count;
    last_message = {m.channel_id, m.log_time};
    if (sink == nullptr) {
      file.messages.push_back(std::move(m));
      return true;
    }
    std::string why;
    if ((*sink)(std::move(m), file, why)) return true;
    if (error.empty()) error = why;
    return false;
  }
  std::pair<std::uint16_t, std::uint64_t> last_message;  // channel and log time

  // One record at `c`; `in_chunk` limits what may appear. `chunk_messages` collects
  // (offset in chunk, message number) for checking the message indexes.
  bool next(Cursor& c, std::size_t base, bool in_chunk, Op& op_out,
            std::map<std::uint64_t, std::pair<std::uint16_t, std::uint64_t>>* chunk_messages) {
    const std::size_t offset = base + c.at;
    const std::size_t record_start = c.at;
    const auto op = c.number<std::uint8_t>();
    const auto length = c.number<std::uint64_t>();
    if (!c.ok) return fail("a record header is cut short: the file is truncated", offset);
    if (length > c.left())
      return fail("a record (opcode " + std::to_string(op) + ") claims " + std::to_string(length) +
                      " bytes but only " + std::to_string(c.left()) + " remain: the file is truncated or damaged",
                  offset);
    if (op == 0) return fail("a record has the invalid opcode 0: the file is damaged", offset);
    op_out = static_cast<Op>(op);
    Cursor body{c.take(length)};
    switch (op) {
      case kSchema: return schema(body, offset);
      case kChannel: return channel(body, offset);
      case kMessage:
        if (!message(body, offset)) return false;
        if (chunk_messages) (*chunk_messages)[record_start] = last_message;
        channels_seen.insert(last_message.first);
        return true;
      default:
        break;
    }
    if (in_chunk) return true;  // other records inside a chunk: not ours to read
    switch (op) {
      case kHeader: {
        if (header_seen) return fail("a second Header record", offset);
        header_seen = true;
        file.profile = body.string();
        file.library = body.string();
        if (!body.ok) return fail("the Header record is cut short", offset);
        return true;
      }
      case kChunk: return chunk(body, offset);
      case kMetadata: {
        std::string name = body.string();
        Metadata map = body.map();
        if (!body.ok) return fail("a Metadata record is cut short", offset);
        file.metadata.emplace_back(std::move(name), std::move(map));
        return true;
      }
      default: return true;  // indexes are checked separately; unknown records are skipped
    }
  }

  // The last chunk's messages by their offset in it: (channel, log time).
  std::map<std::uint64_t, std::pair<std::uint16_t, std::uint64_t>> last_chunk_messages;

  bool chunk(Cursor& c, std::size_t offset) {
    c.number<std::uint64_t>();  // start and end time: checked against the messages below
    c.number<std::uint64_t>();
    const auto uncompressed_size = c.number<std::uint64_t>();
    const auto crc = c.number<std::uint32_t>();
    const std::string compression = c.string();
    const auto records_size = c.number<std::uint64_t>();
    if (!c.ok) return fail("a Chunk record is cut short", offset);
    if (!compression.empty())
      return fail("a Chunk is compressed with \"" + compression +
                      "\", which this reader does not decompress", offset);
    if (records_size != c.left() || uncompressed_size != records_size)
      return fail("a Chunk's sizes do not match its records", offset);
    const std::string_view records = c.take(records_size);
    if (crc != 0 && crc32(records.data(), records.size()) != crc)
      return fail("a Chunk's CRC does not match its records: the file is damaged", offset);
    last_chunk_messages.clear();
    channels_seen.clear();
    Cursor inner{records};
    const std::size_t base = offset + (1 + 8) + (8 + 8 + 8 + 4 + 4 + compression.size() + 8);
    while (inner.left() > 0) {
      Op op{};
      if (!next(inner, base, true, op, &last_chunk_messages)) return false;
    }
    return true;
  }

  bool message_index(Cursor& c, std::size_t offset) {
    const auto channel_id = c.number<std::uint16_t>();
    Cursor entries{c.take(c.number<std::uint32_t>())};
    if (!c.ok || entries.left() % 16 != 0) return fail("a Message Index record is malformed", offset);
    while (entries.left() > 0) {
      const auto time = entries.number<std::uint64_t>();
      const auto at = entries.number<std::uint64_t>();
      auto found = last_chunk_messages.find(at);
      if (found == last_chunk_messages.end() || found->second.first != channel_id ||
          found->second.second != time)
        return fail("a Message Index entry does not point at a message of its channel", offset);
    }
    return true;
  }
};

}  // namespace

std::uint32_t crc32(const void* data, std::size_t size, std::uint32_t crc) {
  const auto& table = crc_table();
  const auto* p = static_cast<const unsigned char*>(data);
  crc = ~crc;
  for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ p[i]) & 0xFFu] ^ (crc >> 8);
  return ~crc;
}

// ---- Writer ----

Writer::~Writer() {
  if (file_ != nullptr) {
    std::string ignored;
    close(ignored);
  }
}

void Writer::write(const std::string& bytes) {
  if (file_ == nullptr) return;
  if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) failed_ = true;
  data_crc_ = crc32(bytes.data(), bytes.size(), data_crc_);
  offset_ += bytes.size();
}

bool Writer::open(const std::string& path, const std::string& library, std::string& error) {
  // Never through a link planted at the name.
  const int fd = inspect::open_output_file(path, error);
  if (fd < 0) return false;
#ifdef _WIN32
  file_ = ::_fdopen(fd, "wb");
#else
  file_ = ::fdopen(fd, "wb");
#endif
  if (file_ == nullptr) {
    error = "cannot create " + path + ": " + std::strerror(errno);
#ifdef _WIN32
    ::_close(fd);
#else
    ::close(fd);
#endif
    return false;
  }
  path_ = path;
  write(std::string(kMagic, 8));
  std::string body;
  put_string(body, "");
  put_string(body, library);
  write(record(kHeader, body));
  return true;
}

void Writer::add_schema(const Schema& schema) {
  if (schemas_.count(schema.id)) return;
  schemas_[schema.id] = schema;
  write(schema_record(schema));
}

void Writer::add_channel(const Channel& channel) {
  if (channels_.count(channel.id)) return;
  channels_[channel.id] = channel;
  write(channel_record(channel));
}

void Writer::add_message(const Message& message) {
  if (!chunk_has_messages_) {
    chunk_start_ = chunk_end_ = message.log_time;
    chunk_has_messages_ = true;
  }
  chunk_start_ = std::min(chunk_start_, message.log_time);
  chunk_end_ = std::max(chunk_end_, message.log_time);
  chunk_index_[message.channel_id].emplace_back(message.log_time, chunk_.size());
  std::string body;
  put16(body, message.channel_id);
  put32(body, message.sequence);
  put64(body, message.log_time);
  put64(body, message.publish_time);
  body += message.data;
  chunk_ += record(kMessage, body);
  if (message_count_ == 0) start_time_ = end_time_ = message.log_time;
  start_time_ = std::min(start_time_, message.log_time);
  end_time_ = std::max(end_time_, message.log_time);
  ++message_count_;
  ++channel_counts_[message.channel_id];
  if (chunk_.size() >= 4 * chunk_size) flush_chunk();
}

void Writer::flush_chunk() {
  if (chunk_.empty()) return;
  ChunkIndex index{};
  index.start_time = chunk_has_messages_ ? chunk_start_ : 0;
  index.end_time = chunk_has_messages_ ? chunk_end_ : 0;
  index.offset = offset_;
  index.size = chunk_.size();
  std::string body;
  put64(body, index.start_time);
  put64(body, index.end_time);
  put64(body, chunk_.size());
  put32(body, crc32(chunk_.data(), chunk_.size()));
  put_string(body, "");
  put64(body, chunk_.size());
  body += chunk_;
  const std::string chunk_record = record(kChunk, body);
  index.length = chunk_record.size();
  write(chunk_record);
  const std::uint64_t index_start = offset_;
  for (const auto& [channel, entries] : chunk_index_) {
    std::string ib;
    put16(ib, channel);
    put32(ib, static_cast<std::uint32_t>(entries.size() * 16));
    for (const auto& [time, at] : entries) {
      put64(ib, time);
      put64(ib, at);
    }
    index.index_offsets[channel] = offset_;
    write(record(kMessageIndex, ib));
  }
  index.index_length = offset_ - index_start;
  chunk_indexes_.push_back(std::move(index));
  chunk_.clear();
  chunk_index_.clear();
  chunk_has_messages_ = false;
}

void Writer::add_metadata(const std::string& name, const Metadata& metadata) {
  flush_chunk();
  std::string body;
  put_string(body, name);
  put_map(body, metadata);
  const std::string bytes = record(kMetadata, body);
  metadata_index_.push_back({offset_, {bytes.size(), name}});
  write(bytes);
}

bool Writer::close(std::string& error) {
  if (file_ == nullptr) return true;
  flush_chunk();
  {
    std::string body;
    put32(body, data_crc_);
    write(record(kDataEnd, body));
  }
  const std::uint64_t summary_start = offset_;
  data_crc_ = 0;  // from here on: the summary CRC
  struct Group {
    Op op;
    std::uint64_t start, length;
  };
  std::vector<Group> groups;
  auto group = [&](Op op, const std::vector<std::string>& records) {
    if (records.empty()) return;
    const std::uint64_t start = offset_;
    for (const auto& r : records) write(r);
    groups.push_back({op, start, offset_ - start});
  };
  std::vector<std::string> records;
  for (const auto& [id, s] : schemas_) records.push_back(schema_record(s));
  group(kSchema, records);
  records.clear();
  for (const auto& [id, c] : channels_) records.push_back(channel_record(c));
  group(kChannel, records);
  records.clear();
  {
    std::string body;
    put64(body, message_count_);
    put16(body, static_cast<std::uint16_t>(schemas_.size()));
    put32(body, static_cast<std::uint32_t>(channels_.size()));
    put32(body, 0);
    put32(body, static_cast<std::uint32_t>(metadata_index_.size()));
    put32(body, static_cast<std::uint32_t>(chunk_indexes_.size()));
    put64(body, start_time_);
    put64(body, end_time_);
    put_u16_u64_map(body, channel_counts_);
    records.push_back(record(kStatistics, body));
  }
  group(kStatistics, records);
  records.clear();
  for (const auto& c : chunk_indexes_) {
    std::string body;
    put64(body, c.start_time);
    put64(body, c.end_time);
    put64(body, c.offset);
    put64(body, c.length);
    put_u16_u64_map(body, c.index_offsets);
    put64(body, c.index_length);
    put_string(body, "");
    put64(body, c.size);
    put64(body, c.size);
    records.push_back(record(kChunkIndex, body));
  }
  group(kChunkIndex, records);
  records.clear();
  for (const auto& [at, entry] : metadata_index_) {
    std::string body;
    put64(body, at);
    put64(body, entry.first);
    put_string(body, entry.second);
    records.push_back(record(kMetadataIndex, body));
  }
  group(kMetadataIndex, records);
  const std::uint64_t offsets_start = offset_;
  for (const auto& g : groups) {
    std::string body;
    put8(body, g.op);
    put64(body, g.start);
    put64(body, g.length);
    write(record(kSummaryOffset, body));
  }
  std::string footer;
  put8(footer, kFooter);
  put64(footer, 8 + 8 + 4);
  put64(footer, summary_start);
  put64(footer, offsets_start);
  const std::uint32_t summary_crc = crc32(footer.data(), footer.size(), data_crc_);
  put32(footer, summary_crc);
  write(footer);
  write(std::string(kMagic, 8));
  const bool flushed = std::fflush(file_) == 0;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  if (failed_ || !flushed || !closed) {
    error = "cannot write " + path_ + " (disk full?)";
    return false;
  }
  return true;
}

// ---- Reader ----

namespace {

// The bytes of a file or of memory, read piece by piece.
struct Source {
  virtual ~Source() = default;
  virtual std::uint64_t size() const = 0;
  // `n` bytes at `offset` (within size()) into `out`; false on a read error.
  virtual bool read(std::uint64_t offset, std::size_t n, std::string& out) = 0;
};

struct MemorySource : Source {
  std::string_view bytes;
  explicit MemorySource(std::string_view b) : bytes(b) {}
  std::uint64_t size() const override { return bytes.size(); }
  bool read(std::uint64_t offset, std::size_t n, std::string& out) override {
    out.assign(bytes.substr(offset, n));
    return true;
  }
};

struct FileSource : Source {
  std::FILE* file = nullptr;
  std::uint64_t bytes = 0;
  ~FileSource() override {
    if (file != nullptr) std::fclose(file);
  }
  std::uint64_t size() const override { return bytes; }
  bool read(std::uint64_t offset, std::size_t n, std::string& out) override {
    out.resize(n);
#ifdef _WIN32
    if (::_fseeki64(file, static_cast<__int64>(offset), SEEK_SET) != 0) return false;
#else
    if (::fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
#endif
    return std::fread(out.data(), 1, n, file) == n;
  }
};

// The CRC of the bytes [from, to), read in pieces.
bool crc_of(Source& source, std::uint64_t from, std::uint64_t to, std::uint32_t& crc) {
  std::string piece;
  crc = 0;
  for (std::uint64_t at = from; at < to;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(to - at, 1 << 16));
    if (!source.read(at, n, piece)) return false;
    crc = crc32(piece.data(), piece.size(), crc);
    at += n;
  }
  return true;
}

// One pass front to back: at most one top-level record (a chunk, at most) is
// held at a time, so memory stays bounded by the largest record.
bool read_source(Source& source, Parser& p, std::string& error) {
  const std::uint64_t size = source.size();
  std::string bytes;
  const auto refuse = [&](const std::string& why) {
    error = why;
    return false;
  };
  const auto unreadable = [&] { return refuse("cannot read the file: " + std::string(std::strerror(errno))); };
  if (size < 8) return refuse("not an MCAP file (the leading magic bytes are missing)");
  if (!source.read(0, 8, bytes)) return unreadable();
  if (std::memcmp(bytes.data(), kMagic, 8) != 0)
    return refuse("not an MCAP file (the leading magic bytes are missing)");
  if (size < 8 + kFooterRecord + 8) return refuse("the MCAP file has no trailing magic: it is truncated "
                                                  "(was the recording stopped before it could close the file?)");
  // The footer: fixed size, just before the trailing magic.
  const std::uint64_t footer_at = size - 8 - kFooterRecord;
  std::string tail;
  if (!source.read(footer_at, kFooterRecord + 8, tail)) return unreadable();
  if (std::memcmp(tail.data() + kFooterRecord, kMagic, 8) != 0)
    return refuse("the MCAP file has no trailing magic: it is truncated (was the recording stopped "
                  "before it could close the file?)");
  Cursor footer{std::string_view(tail).substr(0, kFooterRecord)};
  const auto footer_op = footer.number<std::uint8_t>();
  const auto footer_len = footer.number<std::uint64_t>();
  const auto summary_start = footer.number<std::uint64_t>();
  const auto offsets_start = footer.number<std::uint64_t>();
  const auto summary_crc = footer.number<std::uint32_t>();
  if (footer_op != kFooter || footer_len != 20)
    return refuse("the MCAP file has no Footer record before its trailing magic: it is damaged");
  if (summary_start > footer_at || offsets_start > footer_at ||
      (summary_start != 0 && offsets_start != 0 && offsets_start < summary_start))
    return refuse("the Footer's summary offsets point outside the file: it is damaged");

  // The data section, record by record, as a streaming reader sees it.
  std::uint32_t data_crc = crc32(kMagic, 8);
  std::uint64_t at = 8;
  bool header = false, data_end = false;
  std::string record_bytes;
  while (at < footer_at) {
    const std::uint64_t offset = at;
    if (summary_start != 0 && offset == summary_start) break;
    // The record's opcode and length, then its body, checked against what is left.
    const std::uint64_t left = footer_at - at;
    if (!source.read(at, static_cast<std::size_t>(std::min<std::uint64_t>(left, 9)), record_bytes))
      return unreadable();
    if (!header && static_cast<std::uint8_t>(record_bytes[0]) != kHeader)
      return refuse("the MCAP file does not start with a Header record");
    std::uint64_t length = 0;
    if (record_bytes.size() == 9) {
      Cursor head{record_bytes, 1};
      length = head.number<std::uint64_t>();
    }
    if (record_bytes.size() == 9 && length <= left - 9) {
      if (!source.read(at, static_cast<std::size_t>(9 + length), record_bytes)) return unreadable();
    }
    // Too short or too long: the parser says which.
    Cursor c{record_bytes};
    Op op{};
    if (!p.next(c, offset, false, op, nullptr)) return refuse(p.error);
    header = true;
    at += c.at;
    if (op == kMessageIndex) {
      Cursor body{std::string_view(record_bytes).substr(9)};
      if (!p.message_index(body, offset)) return refuse(p.error);
    } else if (op == kDataEnd) {
      data_end = true;
      Cursor body{std::string_view(record_bytes).substr(9)};
      const auto crc = body.number<std::uint32_t>();
      if (!body.ok) return refuse("the Data End record is cut short");
      if (crc != 0 && data_crc != crc) return refuse("the data section's CRC does not match: the file is damaged");
      break;
    }
    data_crc = crc32(record_bytes.data(), record_bytes.size(), data_crc);
  }
  if (!header) return refuse("the MCAP file has no Header record");
  if (!data_end) return refuse("the MCAP file has no Data End record: it is truncated or damaged");
  if (summary_start != 0 && summary_start != at)
    return refuse("the Footer's summary start does not follow the data section: the file is damaged");

  // The summary section: CRC, then its statistics against what was read.
  if (summary_start != 0) {
    p.file.has_summary = true;
    std::uint32_t crc = 0;
    if (summary_crc != 0) {
      if (!crc_of(source, summary_start, footer_at, crc)) return unreadable();
      crc = crc32(tail.data(), 1 + 8 + 8 + 8, crc);
      if (crc != summary_crc) return refuse("the summary section's CRC does not match: the file is damaged");
    }
    const std::uint64_t end = offsets_start != 0 ? offsets_start : footer_at;
    for (std::uint64_t s = summary_start; s < end;) {
      const std::uint64_t offset = s;
      const auto cut = [&] {
        return refuse("a summary record is cut short: the file is damaged (at byte " + std::to_string(offset) + ")");
      };
      if (end - s < 9) return cut();
      if (!source.read(s, 9, record_bytes)) return unreadable();
      Cursor head{record_bytes};
      const auto op = head.number<std::uint8_t>();
      const auto length = head.number<std::uint64_t>();
      if (length > end - s - 9) return cut();
      s += 9 + length;
      if (op != kStatistics && op != kChannel) continue;  // only these are checked
      if (!source.read(offset + 9, static_cast<std::size_t>(length), record_bytes)) return unreadable();
      Cursor body{record_bytes};
      if (op == kStatistics) {
        p.file.summary_message_count = body.number<std::uint64_t>();
        if (!body.ok || p.file.summary_message_count != p.message_count)
          return refuse("the statistics count " + std::to_string(p.file.summary_message_count) +
                        " messages but the data section holds " + std::to_string(p.message_count));
      } else {
        const auto id = body.number<std::uint16_t>();
        if (!body.ok || !p.file.channels.count(id))
          return refuse("the summary lists channel " + std::to_string(id) + " that the data section never defines");
      }
    }
  }
  return true;
}

bool open_source(const std::string& path, FileSource& source, std::string& error) {
  source.file = std::fopen(path.c_str(), "rb");
  if (source.file == nullptr) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
#ifdef _WIN32
  const bool found = ::_fseeki64(source.file, 0, SEEK_END) == 0;
  const auto end = found ? ::_ftelli64(source.file) : -1;
#else
  const bool found = ::fseeko(source.file, 0, SEEK_END) == 0;
  const auto end = found ? ::ftello(source.file) : -1;
#endif
  if (end < 0) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  source.bytes = static_cast<std::uint64_t>(end);
  return true;
}

}  // namespace

std::optional<File> read_bytes(std::string_view bytes, std::string& error) {
  MemorySource source(bytes);
  Parser p;
  if (!read_source(source, p, error)) return std::nullopt;
  return std::move(p.file);
}

std::optional<File> read_file(const std::string& path, std::string& error) {
  FileSource source;
  Parser p;
  if (!open_source(path, source, error)) return std::nullopt;
  if (!read_source(source, p, error)) {
    error = path + ": " + error;
    return std::nullopt;
  }
  return std::move(p.file);
}

std::optional<File> stream(std::string_view bytes, const std::string& path, const MessageSink& sink,
                           std::string& error) {
  Parser p;
  p.sink = &sink;
  bool read = false;
  if (path.empty()) {
    MemorySource source(bytes);
    read = read_source(source, p, error);
  } else {
    FileSource source;
    if (!open_source(path, source, error)) return std::nullopt;
    read = read_source(source, p, error);
  }
  if (!read) return std::nullopt;
  return std::move(p.file);
}

}  // namespace varnel::record::mcap
