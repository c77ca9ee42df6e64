// A small MCAP container writer and reader: every record of the format (header,
// schema, channel, message, chunk, message index, chunk index, attachment and its
// index, statistics, metadata and its index, summary offset, data end, footer),
// CRC-32 checks, and chunks stored as they are or compressed with zstd or lz4
// (where the build has those libraries: not in the Windows cross build).
//
// The readers go through a file one record at a time (a chunk, decompressed, is
// the largest piece they hold) and check every length against what is left
// before they read; a damaged file gives an error text, never a crash or a read
// outside the bytes. Records they do not know, and bytes at the end of a record
// beyond the fields they know, are skipped by the record's length.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace varnel::record::mcap {

std::uint32_t crc32(const void* data, std::size_t size, std::uint32_t crc = 0);

// ---- Records ----

using Metadata = std::map<std::string, std::string>;

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

struct Header {
  std::string profile, library;
};

struct Footer {
  std::uint64_t summary_start = 0, summary_offset_start = 0;
  std::uint32_t summary_crc = 0;
};

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

// A chunk's own fields; its records are handed on one by one after it.
struct Chunk {
  std::uint64_t message_start_time = 0, message_end_time = 0, uncompressed_size = 0;
  std::uint32_t uncompressed_crc = 0;
  std::string compression;
  std::uint64_t compressed_size = 0;
};

struct MessageIndex {
  std::uint16_t channel_id = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> entries;  // (log time, offset in the chunk's records)
};

struct ChunkIndex {
  std::uint64_t message_start_time = 0, message_end_time = 0;
  std::uint64_t chunk_start_offset = 0, chunk_length = 0;
  std::vector<std::pair<std::uint16_t, std::uint64_t>> message_index_offsets;  // in file order
  std::uint64_t message_index_length = 0;
  std::string compression;
  std::uint64_t compressed_size = 0, uncompressed_size = 0;
};

struct Attachment {
  std::uint64_t log_time = 0, create_time = 0;
  std::string name, media_type, data;
  std::uint32_t crc = 0;
};

struct AttachmentIndex {
  std::uint64_t offset = 0, length = 0, log_time = 0, create_time = 0, data_size = 0;
  std::string name, media_type;
};

struct Statistics {
  std::uint64_t message_count = 0;
  std::uint16_t schema_count = 0;
  std::uint32_t channel_count = 0, attachment_count = 0, metadata_count = 0, chunk_count = 0;
  std::uint64_t message_start_time = 0, message_end_time = 0;
  std::vector<std::pair<std::uint16_t, std::uint64_t>> channel_message_counts;  // in file order
};

struct MetadataRecord {
  std::string name;
  Metadata metadata;
};

struct MetadataIndex {
  std::uint64_t offset = 0, length = 0;
  std::string name;
};

struct SummaryOffset {
  std::uint8_t group_opcode = 0;
  std::uint64_t group_start = 0, group_length = 0;
};

struct DataEnd {
  std::uint32_t data_section_crc = 0;
};

// A record of an opcode this reader does not know (private records, later versions).
struct Unknown {
  std::uint8_t opcode = 0;
  std::string body;
};

using Record = std::variant<Header, Footer, Schema, Channel, Message, Chunk, MessageIndex, ChunkIndex, Attachment,
                            AttachmentIndex, Statistics, MetadataRecord, MetadataIndex, SummaryOffset, DataEnd,
                            Unknown>;

// Where a record was found.
struct Place {
  std::uint64_t offset = 0;        // of the record in the file, or of its chunk
  std::uint64_t chunk_offset = 0;  // inside a chunk: of the record in the chunk's (uncompressed) records
  bool in_chunk = false;
  bool in_summary = false;  // after the Data End record
};

// ---- Compression ----

enum class Compression { none, zstd, lz4 };

// "none" (or ""), "zstd", "lz4"; nothing for another name.
std::optional<Compression> parse_compression(std::string_view name);
// The name in the file: "" for none.
const char* compression_name(Compression compression);
// Whether this build can compress and decompress it (zstd and lz4 are left out
// of builds without the libraries, such as the Windows cross build).
bool compression_available(Compression compression);
// What a recording is written with by default: zstd where it is available.
Compression default_compression();

// Caps the uncompressed size a chunk may claim (default 1 GiB): a chunk that
// claims more is refused before anything is allocated for it.
void set_max_chunk_size(std::uint64_t bytes);

// ---- Writer ----

// What the writer puts in a file besides the records it is given. The defaults
// are what @mcap/core's writer does; a recording also compresses its chunks.
struct WriterOptions {
  bool chunked = true;             // schemas, channels and messages in chunks
  bool message_indexes = true;     // after each chunk, one per channel in it
  bool chunk_indexes = true;       // in the summary
  bool statistics = true;          // in the summary
  bool repeat_schemas = true;      // in the summary
  bool repeat_channels = true;     // in the summary
  bool attachment_indexes = true;  // in the summary
  bool metadata_indexes = true;    // in the summary
  bool summary_offsets = true;
  Compression compression = Compression::none;
  int compression_level = 0;  // 0: the library's default (zstd 3, lz4 fast)
  std::string profile;
};

// Writes one file front to back. A schema and a channel are written just before
// the first message that uses them (into its chunk when chunked) and repeated in
// the summary; messages go into chunks, each followed by its message indexes.
class Writer {
 public:
  Writer() = default;
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  ~Writer();

  // Fails when the file cannot be created or the compression is not in this build.
  bool open(const std::string& path, const std::string& library, std::string& error);
  void add_schema(const Schema& schema);    // before the first channel using it
  void add_channel(const Channel& channel); // before its first message
  void add_message(const Message& message);
  // Metadata and attachment records go to the data section, between chunks.
  void add_metadata(const std::string& name, const Metadata& metadata);
  void add_attachment(const Attachment& attachment);  // its crc is computed here
  // Ends the current chunk now (for example at a publication boundary when it is large).
  void flush_chunk();
  std::size_t chunk_bytes() const { return chunk_.size(); }
  std::uint64_t bytes_written() const { return offset_; }
  // Writes the summary and footer and closes the file.
  bool close(std::string& error);
  bool is_open() const { return file_ != nullptr; }

  WriterOptions options;
  // Opens the file for writing: a descriptor, or -1 with `error` saying why. The
  // tools give theirs, which never writes through a link planted at the name;
  // without one, open() uses std::fopen.
  std::function<int(const std::string& path, std::string& error)> open_output;
  // A chunk is ended by the caller (flush_chunk) once it holds this much, and by
  // the writer itself at four times this much.
  std::size_t chunk_size = 1 << 20;

 private:
  void write(const std::string& bytes);
  void put_in_data(const std::string& record);  // into the chunk or the data section

  std::FILE* file_ = nullptr;
  std::string path_;
  bool failed_ = false;
  std::uint64_t offset_ = 0;
  std::uint32_t data_crc_ = 0;
  std::vector<Schema> schemas_;    // in the order given
  std::vector<Channel> channels_;
  std::map<std::uint16_t, std::size_t> schema_at_, channel_at_;
  std::map<std::uint16_t, bool> schema_written_, channel_written_;
  std::string chunk_;
  std::uint64_t chunk_start_ = 0, chunk_end_ = 0;
  std::uint64_t chunk_messages_ = 0;
  // This chunk's message indexes, by channel in the order they came.
  std::vector<MessageIndex> chunk_index_;
  std::vector<ChunkIndex> chunk_indexes_;
  std::vector<AttachmentIndex> attachment_indexes_;
  std::vector<MetadataIndex> metadata_indexes_;
  Statistics stats_;
  std::map<std::uint16_t, std::size_t> count_at_;  // channel -> its entry in stats_.channel_message_counts
  std::string compressed_;
};

// ---- Reading every record ----

// Takes each record as it is read; false, with a reason, stops the read.
using RecordSink = std::function<bool(Record&& record, const Place& place, std::string& error)>;

// The whole file front to back as a streaming reader sees it: every record in
// file order, a chunk (its own fields) followed by the records in it, through
// the summary to the footer. Checks the magics, every record's framing, the CRCs
// of chunks, attachments, the data section and the summary, and that chunks
// decompress to their sizes. The file at `path`, or `bytes` when `path` is empty.
bool read_records(std::string_view bytes, const std::string& path, const RecordSink& sink, std::string& error);

// ---- Reading a recording's messages ----

// Everything the reader found, in file order.
struct File {
  std::string profile, library;
  std::map<std::uint16_t, Schema> schemas;
  std::map<std::uint16_t, Channel> channels;
  std::vector<Message> messages;  // in the order they appear in the data section
  std::vector<std::pair<std::string, Metadata>> metadata;
  std::vector<Attachment> attachments;
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

// ---- Reading through the summary and the indexes ----

struct Summary {
  bool present = false;  // the footer points at a summary section
  std::map<std::uint16_t, Schema> schemas;
  std::map<std::uint16_t, Channel> channels;
  std::vector<ChunkIndex> chunk_indexes;  // in file order
  std::vector<AttachmentIndex> attachment_indexes;
  std::vector<MetadataIndex> metadata_indexes;
  std::optional<Statistics> statistics;
  std::vector<SummaryOffset> summary_offsets;
  Footer footer;
};

// Reads a file from its end: the footer, the summary (its CRC checked), and
// from there single chunks, metadata and attachments by their offsets, without
// reading the rest of the file.
class IndexedReader {
 public:
  IndexedReader();
  ~IndexedReader();
  IndexedReader(const IndexedReader&) = delete;
  IndexedReader& operator=(const IndexedReader&) = delete;

  // The file at `path`, or `bytes` (kept by the caller) when `path` is empty.
  bool open(std::string_view bytes, const std::string& path, std::string& error);
  const Summary& summary() const { return summary_; }

  // The records of one chunk, in order (schemas, channels, messages), its CRC checked.
  bool read_chunk(const ChunkIndex& index, const RecordSink& sink, std::string& error);
  // The message index records after a chunk, when it has them.
  bool read_message_indexes(const ChunkIndex& index, std::vector<MessageIndex>& out, std::string& error);
  bool read_metadata(const MetadataIndex& index, MetadataRecord& out, std::string& error);
  bool read_attachment(const AttachmentIndex& index, Attachment& out, std::string& error);

  // Every message with log_time in [start, end], in log-time order (file order
  // among equal times), with the schemas and channels the summary and the
  // chunks read so far define. Chunks are read as the order needs them, so only
  // chunks whose times overlap are held at once; a file without chunk indexes
  // has its data section read front to back instead, its messages held to be
  // sorted.
  using IndexedMessageSink = std::function<bool(Message&&, const Channel& channel, std::string& error)>;
  bool read_messages(const IndexedMessageSink& sink, std::string& error, std::uint64_t start = 0,
                     std::uint64_t end = ~std::uint64_t{0});
  // Schemas and channels known so far: the summary's and those of chunks read.
  const std::map<std::uint16_t, Schema>& schemas() const { return schemas_; }
  const std::map<std::uint16_t, Channel>& channels() const { return channels_; }

 private:
  struct Source;
  std::unique_ptr<Source> source_;
  Summary summary_;
  std::map<std::uint16_t, Schema> schemas_;
  std::map<std::uint16_t, Channel> channels_;
  std::uint64_t data_end_ = 0;  // where the data section's records end
};

}  // namespace varnel::record::mcap
