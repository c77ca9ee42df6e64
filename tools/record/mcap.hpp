// A small MCAP container writer and reader: the records the recorder needs
// (header, schema, channel, message, chunk with message indexes, metadata, data
// end, summary with statistics and indexes, summary offsets, footer) and CRC-32
// checks. Chunks are stored uncompressed.
//
// The reader goes through a file front to back one record at a time (a chunk is
// the largest piece it holds) and checks every length against what is left
// before it reads; a damaged file gives an error text, never a crash or a read
// outside the bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnel::record::mcap {

std::uint32_t crc32(const void* data, std::size_t size, std::uint32_t crc = 0);

using Metadata = std::map<std::string, std::string>;

struct Schema {
  std::uint16_t id = 0;
  std::string name;
  std::string encoding;
  std::string data;
};

struct Channel {
  std::uint16_t id = 0;
  std::uint16_t schema_id = 0;
  std::string topic;
  std::string message_encoding;
  Metadata metadata;
};

struct Message {
  std::uint16_t channel_id = 0;
  std::uint32_t sequence = 0;
  std::uint64_t log_time = 0;
  std::uint64_t publish_time = 0;
  std::string data;
};

// Writes one file front to back. Schemas and channels are written into the chunk
// that first uses them and repeated in the summary; messages go into chunks of
// about `chunk_size` bytes, each followed by its message indexes.
class Writer {
 public:
  Writer() = default;
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  ~Writer();

  bool open(const std::string& path, const std::string& library, std::string& error);
  void add_schema(const Schema& schema);    // before the first channel using it
  void add_channel(const Channel& channel); // before its first message
  void add_message(const Message& message);
  // Metadata records go to the data section, between chunks.
  void add_metadata(const std::string& name, const Metadata& metadata);
  // Ends the current chunk now (for example at a publication boundary when it is large).
  void flush_chunk();
  std::size_t chunk_bytes() const { return chunk_.size(); }
  std::uint64_t bytes_written() const { return offset_; }
  // Writes the summary and footer and closes the file.
  bool close(std::string& error);
  bool is_open() const { return file_ != nullptr; }

  std::size_t chunk_size = 1 << 20;

 private:
  struct ChunkIndex {
    std::uint64_t start_time, end_time, offset, length, index_length, size;
    std::map<std::uint16_t, std::uint64_t> index_offsets;
  };
  void write(const std::string& bytes);

  std::FILE* file_ = nullptr;
  std::string path_;
  bool failed_ = false;
  std::uint64_t offset_ = 0;
  std::uint32_t data_crc_ = 0;
  std::map<std::uint16_t, Schema> schemas_;
  std::map<std::uint16_t, Channel> channels_;
  std::map<std::uint16_t, bool> announced_;  // channel written into some chunk already
  std::string chunk_;
  std::uint64_t chunk_start_ = 0, chunk_end_ = 0;
  bool chunk_has_messages_ = false;
  std::map<std::uint16_t, std::vector<std::pair<std::uint64_t, std::uint64_t>>> chunk_index_;
  std::vector<ChunkIndex> chunk_indexes_;
  std::vector<std::pair<std::uint64_t, std::pair<std::uint64_t, std::string>>> metadata_index_;
  std::uint64_t message_count_ = 0, start_time_ = 0, end_time_ = 0;
  std::map<std::uint16_t, std::uint64_t> channel_counts_;
};

// Everything the reader found, in file order.
struct File {
  std::string profile, library;
  std::map<std::uint16_t, Schema> schemas;
  std::map<std::uint16_t, Channel> channels;
  std::vector<Message> messages;  // in the order they appear in the data section
  std::vector<std::pair<std::string, Metadata>> metadata;
  bool has_summary = false;
  std::uint64_t summary_message_count = 0;  // from the statistics record, when present
};

// Reads and checks a whole file: magics, record framing, CRCs of chunks, of the
// data section and of the summary, channels and schemas before use, message
// indexes pointing at messages, and the statistics against what was read.
// Returns nothing and sets `error` when the file is not a valid recording.
std::optional<File> read_bytes(std::string_view bytes, std::string& error);
std::optional<File> read_file(const std::string& path, std::string& error);

// Takes each message as it is read, with what the file defined before it
// (schemas, channels, metadata); false, with a reason, stops the read.
using MessageSink = std::function<bool(Message&&, const File& so_far, std::string& error)>;
// The same checks in one pass front to back, each message handed to `sink` as
// it is read instead of being kept (File::messages stays empty): the file at
// `path`, or `bytes` when `path` is empty. At most one record (a chunk) is held
// at a time. The checks of the data section's CRC and of the summary come after
// the messages: a consumer keeps what it takes until the read succeeds.
std::optional<File> stream(std::string_view bytes, const std::string& path, const MessageSink& sink,
                           std::string& error);

}  // namespace varnel::record::mcap
