#include "mcap.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <queue>
#include <set>
#include <tuple>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "regular_file.hpp"

#ifdef VARNEL_HAVE_ZSTD
#include <zstd.h>
#endif
#ifdef VARNEL_HAVE_LZ4
#include <lz4frame.h>
#endif

namespace varnel::record::mcap {
namespace {

constexpr char kMagic[8] = {'\x89', 'M', 'C', 'A', 'P', '0', '\r', '\n'};
constexpr std::size_t kFooterRecord = 1 + 8 + 8 + 8 + 4;
std::uint64_t g_max_chunk_size = std::uint64_t{1} << 30;

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
void put_u16_u64_map(std::string& out, const std::vector<std::pair<std::uint16_t, std::uint64_t>>& map) {
  put32(out, static_cast<std::uint32_t>(map.size() * 10));
  for (const auto& [key, value] : map) {
    put16(out, key);
    put64(out, value);
  }
}
std::string record(Op op, const std::string& body) {
  std::string out;
  out.reserve(9 + body.size());
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
  bool need(std::uint64_t n) {
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
    std::string_view out = bytes.substr(at, static_cast<std::size_t>(n));
    at += static_cast<std::size_t>(n);
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
  std::vector<std::pair<std::uint16_t, std::uint64_t>> u16_u64_map() {
    Cursor inner{take(number<std::uint32_t>())};
    std::vector<std::pair<std::uint16_t, std::uint64_t>> out;
    if (inner.left() % 10 != 0) ok = false;
    while (ok && inner.left() >= 10) {
      const auto key = inner.number<std::uint16_t>();
      out.emplace_back(key, inner.number<std::uint64_t>());
    }
    return out;
  }
};

const char* op_name(std::uint8_t op) {
  switch (op) {
    case kHeader: return "Header";
    case kFooter: return "Footer";
    case kSchema: return "Schema";
    case kChannel: return "Channel";
    case kMessage: return "Message";
    case kChunk: return "Chunk";
    case kMessageIndex: return "Message Index";
    case kChunkIndex: return "Chunk Index";
    case kAttachment: return "Attachment";
    case kAttachmentIndex: return "Attachment Index";
    case kStatistics: return "Statistics";
    case kMetadata: return "Metadata";
    case kMetadataIndex: return "Metadata Index";
    case kSummaryOffset: return "Summary Offset";
    case kDataEnd: return "Data End";
    default: return "unknown";
  }
}

// The fields of a chunk and a view of its (possibly compressed) records.
bool parse_chunk(std::string_view body, Chunk& chunk, std::string_view& records) {
  Cursor c{body};
  chunk.message_start_time = c.number<std::uint64_t>();
  chunk.message_end_time = c.number<std::uint64_t>();
  chunk.uncompressed_size = c.number<std::uint64_t>();
  chunk.uncompressed_crc = c.number<std::uint32_t>();
  chunk.compression = c.string();
  chunk.compressed_size = c.number<std::uint64_t>();
  records = c.take(chunk.compressed_size);
  return c.ok;  // bytes after the records: skipped
}

// An attachment's CRC covers its fields up to its data.
bool attachment_crc_ok(std::string_view body, const Attachment& a) {
  const std::size_t covered = 8 + 8 + 4 + a.name.size() + 4 + a.media_type.size() + 8 + a.data.size();
  return a.crc == 0 || crc32(body.data(), std::min(covered, body.size())) == a.crc;
}

// One record's fields from its body; bytes after the known fields are skipped
// (except in a Message, whose data is the rest). False when it is cut short.
bool parse_record(std::uint8_t op, std::string_view body, Record& out) {
  Cursor c{body};
  switch (op) {
    case kHeader: {
      Header h;
      h.profile = c.string();
      h.library = c.string();
      out = std::move(h);
      break;
    }
    case kFooter: {
      Footer f;
      f.summary_start = c.number<std::uint64_t>();
      f.summary_offset_start = c.number<std::uint64_t>();
      f.summary_crc = c.number<std::uint32_t>();
      out = f;
      break;
    }
    case kSchema: {
      Schema s;
      s.id = c.number<std::uint16_t>();
      s.name = c.string();
      s.encoding = c.string();
      s.data = c.string();
      out = std::move(s);
      break;
    }
    case kChannel: {
      Channel ch;
      ch.id = c.number<std::uint16_t>();
      ch.schema_id = c.number<std::uint16_t>();
      ch.topic = c.string();
      ch.message_encoding = c.string();
      ch.metadata = c.map();
      out = std::move(ch);
      break;
    }
    case kMessage: {
      Message m;
      m.channel_id = c.number<std::uint16_t>();
      m.sequence = c.number<std::uint32_t>();
      m.log_time = c.number<std::uint64_t>();
      m.publish_time = c.number<std::uint64_t>();
      if (c.ok) m.data = std::string(c.take(c.left()));
      out = std::move(m);
      break;
    }
    case kChunk: {
      Chunk chunk;
      std::string_view records;
      if (!parse_chunk(body, chunk, records)) return false;
      out = std::move(chunk);
      break;
    }
    case kMessageIndex: {
      MessageIndex index;
      index.channel_id = c.number<std::uint16_t>();
      Cursor entries{c.take(c.number<std::uint32_t>())};
      if (entries.left() % 16 != 0) return false;
      while (c.ok && entries.left() >= 16) {
        const auto time = entries.number<std::uint64_t>();
        index.entries.emplace_back(time, entries.number<std::uint64_t>());
      }
      out = std::move(index);
      break;
    }
    case kChunkIndex: {
      ChunkIndex index;
      index.message_start_time = c.number<std::uint64_t>();
      index.message_end_time = c.number<std::uint64_t>();
      index.chunk_start_offset = c.number<std::uint64_t>();
      index.chunk_length = c.number<std::uint64_t>();
      index.message_index_offsets = c.u16_u64_map();
      index.message_index_length = c.number<std::uint64_t>();
      index.compression = c.string();
      index.compressed_size = c.number<std::uint64_t>();
      index.uncompressed_size = c.number<std::uint64_t>();
      out = std::move(index);
      break;
    }
    case kAttachment: {
      Attachment a;
      a.log_time = c.number<std::uint64_t>();
      a.create_time = c.number<std::uint64_t>();
      a.name = c.string();
      a.media_type = c.string();
      a.data = std::string(c.take(c.number<std::uint64_t>()));
      a.crc = c.number<std::uint32_t>();
      out = std::move(a);
      break;
    }
    case kAttachmentIndex: {
      AttachmentIndex index;
      index.offset = c.number<std::uint64_t>();
      index.length = c.number<std::uint64_t>();
      index.log_time = c.number<std::uint64_t>();
      index.create_time = c.number<std::uint64_t>();
      index.data_size = c.number<std::uint64_t>();
      index.name = c.string();
      index.media_type = c.string();
      out = std::move(index);
      break;
    }
    case kStatistics: {
      Statistics s;
      s.message_count = c.number<std::uint64_t>();
      s.schema_count = c.number<std::uint16_t>();
      s.channel_count = c.number<std::uint32_t>();
      s.attachment_count = c.number<std::uint32_t>();
      s.metadata_count = c.number<std::uint32_t>();
      s.chunk_count = c.number<std::uint32_t>();
      s.message_start_time = c.number<std::uint64_t>();
      s.message_end_time = c.number<std::uint64_t>();
      s.channel_message_counts = c.u16_u64_map();
      out = std::move(s);
      break;
    }
    case kMetadata: {
      MetadataRecord m;
      m.name = c.string();
      m.metadata = c.map();
      out = std::move(m);
      break;
    }
    case kMetadataIndex: {
      MetadataIndex index;
      index.offset = c.number<std::uint64_t>();
      index.length = c.number<std::uint64_t>();
      index.name = c.string();
      out = std::move(index);
      break;
    }
    case kSummaryOffset: {
      SummaryOffset s;
      s.group_opcode = c.number<std::uint8_t>();
      s.group_start = c.number<std::uint64_t>();
      s.group_length = c.number<std::uint64_t>();
      out = s;
      break;
    }
    case kDataEnd: {
      DataEnd d;
      d.data_section_crc = c.number<std::uint32_t>();
      out = d;
      break;
    }
    default: {
      Unknown u;
      u.opcode = op;
      u.body = std::string(body);
      out = std::move(u);
      break;
    }
  }
  return c.ok;
}

// ---- Compression ----

bool compress(Compression compression, int level, const std::string& in, std::string& out) {
  (void)level;  // unused in a build without zstd and lz4
  switch (compression) {
    case Compression::none: out = in; return true;
    case Compression::zstd: {
#ifdef VARNEL_HAVE_ZSTD
      out.resize(ZSTD_compressBound(in.size()));
      const std::size_t n = ZSTD_compress(out.data(), out.size(), in.data(), in.size(),
                                          level == 0 ? ZSTD_CLEVEL_DEFAULT : level);
      if (ZSTD_isError(n)) return false;
      out.resize(n);
      return true;
#else
      return false;
#endif
    }
    case Compression::lz4: {
#ifdef VARNEL_HAVE_LZ4
      LZ4F_preferences_t preferences{};
      preferences.compressionLevel = level;
      preferences.frameInfo.contentSize = in.size();
      out.resize(LZ4F_compressFrameBound(in.size(), &preferences));
      const std::size_t n = LZ4F_compressFrame(out.data(), out.size(), in.data(), in.size(), &preferences);
      if (LZ4F_isError(n)) return false;
      out.resize(n);
      return true;
#else
      return false;
#endif
    }
  }
  return false;
}

// Decompresses a chunk's records into `out` (exactly `size` bytes); an error text otherwise.
bool decompress(const std::string& compression, std::string_view in, std::uint64_t size, std::string& out,
                std::string& error) {
  const auto known = parse_compression(compression);
  if (!known) {
    error = "a Chunk is compressed with \"" + compression + "\", which this reader does not know";
    return false;
  }
  if (*known == Compression::none) {
    if (in.size() != size) {
      error = "a Chunk's sizes do not match its records";
      return false;
    }
    out.assign(in);
    return true;
  }
  if (!compression_available(*known)) {
    error = "a Chunk is compressed with \"" + compression +
            "\", which this build cannot decompress (it was built without that library, as the Windows "
            "build is); read the file with a Linux build, or record with --compression none";
    return false;
  }
  if (size > g_max_chunk_size) {
    error = "a Chunk claims " + std::to_string(size) + " bytes uncompressed, more than this reader takes (" +
            std::to_string(g_max_chunk_size) + ")";
    return false;
  }
  out.resize(static_cast<std::size_t>(size));
#ifdef VARNEL_HAVE_ZSTD
  if (*known == Compression::zstd) {
    const std::size_t n = ZSTD_decompress(out.data(), out.size(), in.data(), in.size());
    if (ZSTD_isError(n) || n != size) {
      error = "a zstd Chunk does not decompress to its size: the file is damaged" +
              (ZSTD_isError(n) ? std::string(" (") + ZSTD_getErrorName(n) + ")" : std::string());
      return false;
    }
    return true;
  }
#endif
#ifdef VARNEL_HAVE_LZ4
  if (*known == Compression::lz4) {
    LZ4F_dctx* context = nullptr;
    if (LZ4F_isError(LZ4F_createDecompressionContext(&context, LZ4F_VERSION))) {
      error = "cannot start lz4 decompression";
      return false;
    }
    std::size_t read = 0, written = 0, hint = 1;
    while (hint != 0 && read < in.size()) {
      std::size_t src = in.size() - read, dst = out.size() - written;
      hint = LZ4F_decompress(context, out.data() + written, &dst, in.data() + read, &src, nullptr);
      if (LZ4F_isError(hint)) break;
      read += src;
      written += dst;
      if (src == 0 && dst == 0) break;  // no progress: the output is full
    }
    LZ4F_freeDecompressionContext(context);
    if (LZ4F_isError(hint) || hint != 0 || written != size || read != in.size()) {
      error = "an lz4 Chunk does not decompress to its size: the file is damaged";
      return false;
    }
    return true;
  }
#endif
  error = "a Chunk's compression is not available";
  return false;
}

// ---- Sources: the bytes of a file or of memory, read piece by piece ----

struct SourceBase {
  virtual ~SourceBase() = default;
  virtual std::uint64_t size() const = 0;
  // `n` bytes at `offset` (within size()) into `out`; false on a read error.
  virtual bool read(std::uint64_t offset, std::size_t n, std::string& out) = 0;
};

struct MemorySource : SourceBase {
  std::string_view bytes;
  explicit MemorySource(std::string_view b) : bytes(b) {}
  std::uint64_t size() const override { return bytes.size(); }
  bool read(std::uint64_t offset, std::size_t n, std::string& out) override {
    out.assign(bytes.substr(static_cast<std::size_t>(offset), n));
    return true;
  }
};

struct FileSource : SourceBase {
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

bool open_source(const std::string& path, FileSource& source, std::string& error) {
  source.file = open_regular_file(path, error);
  if (source.file == nullptr) return false;
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

std::string at_byte(std::uint64_t offset) { return " (at byte " + std::to_string(offset) + ")"; }

const char* const kTruncated =
    "the MCAP file has no trailing magic: it is truncated (was the recording stopped before it could close "
    "the file?)";

// The magics and the footer, read from the file's end.
bool read_footer(SourceBase& source, Footer& footer, std::uint64_t& footer_at, std::string& error) {
  const std::uint64_t size = source.size();
  std::string bytes;
  const auto unreadable = [&] {
    error = "cannot read the file: " + std::string(std::strerror(errno));
    return false;
  };
  if (size < 8) {
    error = "not an MCAP file (the leading magic bytes are missing)";
    return false;
  }
  if (!source.read(0, 8, bytes)) return unreadable();
  if (std::memcmp(bytes.data(), kMagic, 8) != 0) {
    error = "not an MCAP file (the leading magic bytes are missing)";
    return false;
  }
  if (size < 8 + kFooterRecord + 8) {
    error = kTruncated;
    return false;
  }
  footer_at = size - 8 - kFooterRecord;
  if (!source.read(footer_at, kFooterRecord + 8, bytes)) return unreadable();
  if (std::memcmp(bytes.data() + kFooterRecord, kMagic, 8) != 0) {
    error = kTruncated;
    return false;
  }
  Cursor c{std::string_view(bytes).substr(0, kFooterRecord)};
  const auto op = c.number<std::uint8_t>();
  const auto length = c.number<std::uint64_t>();
  footer.summary_start = c.number<std::uint64_t>();
  footer.summary_offset_start = c.number<std::uint64_t>();
  footer.summary_crc = c.number<std::uint32_t>();
  if (op != kFooter || length != 20) {
    error = "the MCAP file has no Footer record before its trailing magic: it is damaged";
    return false;
  }
  if (footer.summary_start > footer_at || footer.summary_offset_start > footer_at ||
      (footer.summary_start != 0 && footer.summary_start < 8) ||
      (footer.summary_start != 0 && footer.summary_offset_start != 0 &&
       footer.summary_offset_start < footer.summary_start)) {
    error = "the Footer's summary offsets point outside the file: it is damaged";
    return false;
  }
  return true;
}

// The records of a chunk's (uncompressed) records, in order.
bool walk_chunk(std::string_view records, std::uint64_t chunk_offset, const RecordSink& sink, std::string& error) {
  Cursor c{records};
  while (c.left() > 0) {
    const std::uint64_t inner = c.at;
    const auto op = c.number<std::uint8_t>();
    const auto length = c.number<std::uint64_t>();
    if (!c.ok || length > c.left()) {
      error = "a record inside a Chunk runs past the chunk's end: the file is damaged" + at_byte(chunk_offset);
      return false;
    }
    if (op == 0) {
      error = "a record inside a Chunk has the invalid opcode 0: the file is damaged" + at_byte(chunk_offset);
      return false;
    }
    Record r;
    if (!parse_record(op, c.take(length), r)) {
      error = std::string("a ") + op_name(op) + " record inside a Chunk is cut short" + at_byte(chunk_offset);
      return false;
    }
    Place place;
    place.offset = chunk_offset;
    place.chunk_offset = inner;
    place.in_chunk = true;
    if (!sink(std::move(r), place, error)) return false;
  }
  return true;
}

// One chunk record's body: its fields handed on, then its records.
bool walk_chunk_record(std::string_view body, std::uint64_t offset, std::string& plain, const RecordSink& sink,
                       std::string& error, bool in_summary) {
  Chunk chunk;
  std::string_view records;
  if (!parse_chunk(body, chunk, records)) {
    error = "a Chunk record is cut short" + at_byte(offset);
    return false;
  }
  std::string why;
  if (!decompress(chunk.compression, records, chunk.uncompressed_size, plain, why)) {
    error = why + at_byte(offset);
    return false;
  }
  if (chunk.uncompressed_crc != 0 && crc32(plain.data(), plain.size()) != chunk.uncompressed_crc) {
    error = "a Chunk's CRC does not match its records: the file is damaged" + at_byte(offset);
    return false;
  }
  Place place;
  place.offset = offset;
  place.in_summary = in_summary;
  if (!sink(Record(std::move(chunk)), place, error)) return false;
  return walk_chunk(plain, offset, sink, error);
}

// The whole file front to back (see read_records).
bool walk(SourceBase& source, const RecordSink& sink, std::string& error) {
  Footer footer;
  std::uint64_t footer_at = 0;
  if (!read_footer(source, footer, footer_at, error)) return false;
  const auto unreadable = [&] {
    error = "cannot read the file: " + std::string(std::strerror(errno));
    return false;
  };
  std::uint32_t data_crc = crc32(kMagic, 8), summary_crc = 0;
  std::uint64_t at = 8, summary_at = 0;
  bool header = false, data_end = false;
  std::string bytes, plain;
  while (at < footer_at) {
    const std::uint64_t offset = at, left = footer_at - at;
    if (left < 9) {
      error = "a record header is cut short: the file is truncated or damaged" + at_byte(offset);
      return false;
    }
    if (!source.read(at, 9, bytes)) return unreadable();
    Cursor head{bytes};
    const auto op = head.number<std::uint8_t>();
    const auto length = head.number<std::uint64_t>();
    if (length > left - 9) {
      error = "a record (opcode " + std::to_string(op) + ") claims " + std::to_string(length) +
              " bytes but only " + std::to_string(left - 9) + " remain: the file is truncated or damaged" +
              at_byte(offset);
      return false;
    }
    if (!header && op != kHeader) {
      error = "the MCAP file does not start with a Header record";
      return false;
    }
    if (op == 0) {
      error = "a record has the invalid opcode 0: the file is damaged" + at_byte(offset);
      return false;
    }
    if (header && op == kHeader) {
      error = "a second Header record" + at_byte(offset);
      return false;
    }
    if (op == kFooter) {
      error = "a Footer record before the file's end: the file is damaged" + at_byte(offset);
      return false;
    }
    if (data_end && op == kDataEnd) {
      error = "a second Data End record" + at_byte(offset);
      return false;
    }
    header = true;
    if (!source.read(at, static_cast<std::size_t>(9 + length), bytes)) return unreadable();
    const std::string_view body = std::string_view(bytes).substr(9);
    at += 9 + length;
    Place place;
    place.offset = offset;
    place.in_summary = data_end;
    if (op == kDataEnd) {
      Record r;
      if (!parse_record(op, body, r)) {
        error = "the Data End record is cut short" + at_byte(offset);
        return false;
      }
      const auto crc = std::get<DataEnd>(r).data_section_crc;
      if (crc != 0 && crc != data_crc) {
        error = "the data section's CRC does not match: the file is damaged";
        return false;
      }
      data_end = true;
      summary_at = at;
      if (!sink(std::move(r), place, error)) return false;
      continue;
    }
    if (data_end)
      summary_crc = crc32(bytes.data(), bytes.size(), summary_crc);
    else
      data_crc = crc32(bytes.data(), bytes.size(), data_crc);
    if (op == kChunk) {
      if (!walk_chunk_record(body, offset, plain, sink, error, data_end)) return false;
      continue;
    }
    Record r;
    if (!parse_record(op, body, r)) {
      error = std::string("a ") + op_name(op) + " record is cut short" + at_byte(offset);
      return false;
    }
    if (auto* a = std::get_if<Attachment>(&r)) {
      if (!attachment_crc_ok(body, *a)) {
        error = "an Attachment's CRC does not match its contents: the file is damaged" + at_byte(offset);
        return false;
      }
    }
    if (!sink(std::move(r), place, error)) return false;
  }
  if (!header) {
    error = "the MCAP file has no Header record";
    return false;
  }
  if (!data_end) {
    error = "the MCAP file has no Data End record: it is truncated or damaged";
    return false;
  }
  if (footer.summary_start != 0 && footer.summary_start != summary_at) {
    error = "the Footer's summary start does not follow the data section: the file is damaged";
    return false;
  }
  if (footer.summary_offset_start != 0 && footer.summary_offset_start < summary_at) {
    error = "the Footer's summary offset start lies in the data section: the file is damaged";
    return false;
  }
  if (footer.summary_crc != 0) {
    if (!source.read(footer_at, 1 + 8 + 8 + 8, bytes)) return unreadable();
    if (crc32(bytes.data(), bytes.size(), summary_crc) != footer.summary_crc) {
      error = "the summary section's CRC does not match: the file is damaged";
      return false;
    }
  }
  Place place;
  place.offset = footer_at;
  place.in_summary = true;
  return sink(Record(footer), place, error);
}

// ---- Checking a recording's file while it is read ----

struct Validator {
  File file;
  const MessageSink* sink = nullptr;  // where messages go; none: kept in file.messages
  std::uint64_t message_count = 0;
  // The last chunk's messages by their offset in it: (channel, log time).
  std::map<std::uint64_t, std::pair<std::uint16_t, std::uint64_t>> chunk_messages;
  Chunk chunk;

  static bool fail(std::string& error, const std::string& what, std::uint64_t offset) {
    error = what + at_byte(offset);
    return false;
  }

  bool take(Record&& r, const Place& place, std::string& error) {
    if (auto* s = std::get_if<Schema>(&r)) {
      if (s->id == 0) return true;  // invalid id: ignored
      auto [it, fresh] = file.schemas.emplace(s->id, *s);
      if (!fresh && (it->second.name != s->name || it->second.encoding != s->encoding || it->second.data != s->data))
        return fail(error, "two different Schema records share id " + std::to_string(s->id), place.offset);
      return true;
    }
    if (auto* ch = std::get_if<Channel>(&r)) {
      if (!place.in_summary && ch->schema_id != 0 && !file.schemas.count(ch->schema_id))
        return fail(error, "Channel " + std::to_string(ch->id) + " refers to schema " +
                               std::to_string(ch->schema_id) + " before it is defined", place.offset);
      auto [it, fresh] = file.channels.emplace(ch->id, *ch);
      if (!fresh && (it->second.topic != ch->topic || it->second.schema_id != ch->schema_id ||
                     it->second.message_encoding != ch->message_encoding || it->second.metadata != ch->metadata))
        return fail(error, "two different Channel records share id " + std::to_string(ch->id), place.offset);
      return true;
    }
    if (auto* m = std::get_if<Message>(&r)) {
      if (place.in_summary) return fail(error, "a Message record in the summary section", place.offset);
      if (!file.channels.count(m->channel_id))
        return fail(error, "a Message on channel " + std::to_string(m->channel_id) +
                               " comes before that channel is defined", place.offset);
      if (place.in_chunk) {
        if (m->log_time < chunk.message_start_time || m->log_time > chunk.message_end_time)
          return fail(error, "a Message's log time lies outside its Chunk's time range", place.offset);
        chunk_messages[place.chunk_offset] = {m->channel_id, m->log_time};
      }
      ++message_count;
      if (sink == nullptr) {
        file.messages.push_back(std::move(*m));
        return true;
      }
      return (*sink)(std::move(*m), file, error);
    }
    if (auto* c = std::get_if<Chunk>(&r)) {
      if (place.in_summary) return fail(error, "a Chunk record in the summary section", place.offset);
      chunk = *c;
      chunk_messages.clear();
      return true;
    }
    if (auto* index = std::get_if<MessageIndex>(&r)) {
      for (const auto& [time, at] : index->entries) {
        auto found = chunk_messages.find(at);
        if (found == chunk_messages.end() || found->second.first != index->channel_id ||
            found->second.second != time)
          return fail(error, "a Message Index entry does not point at a message of its channel", place.offset);
      }
      return true;
    }
    if (place.in_chunk) return true;  // other records inside a chunk: not ours to read
    if (auto* h = std::get_if<Header>(&r)) {
      file.profile = h->profile;
      file.library = h->library;
      return true;
    }
    if (auto* m = std::get_if<MetadataRecord>(&r)) {
      if (!place.in_summary) file.metadata.emplace_back(std::move(m->name), std::move(m->metadata));
      return true;
    }
    if (std::holds_alternative<DataEnd>(r)) {
      chunk_messages.clear();
      return true;
    }
    if (auto* s = std::get_if<Statistics>(&r)) {
      file.has_summary = true;
      file.summary_message_count = s->message_count;
      if (s->message_count != message_count)
        return fail(error, "the statistics count " + std::to_string(s->message_count) +
                               " messages but the data section holds " + std::to_string(message_count),
                    place.offset);
      return true;
    }
    if (place.in_summary) file.has_summary = true;
    return true;  // indexes, attachments, unknown records: nothing to check here
  }
};

bool validate(SourceBase& source, Validator& v, std::string& error) {
  const RecordSink sink = [&](Record&& r, const Place& place, std::string& why) {
    return v.take(std::move(r), place, why);
  };
  return walk(source, sink, error);
}

}  // namespace

// ---- Compression ----

std::optional<Compression> parse_compression(std::string_view name) {
  if (name.empty() || name == "none") return Compression::none;
  if (name == "zstd") return Compression::zstd;
  if (name == "lz4") return Compression::lz4;
  return std::nullopt;
}

const char* compression_name(Compression compression) {
  switch (compression) {
    case Compression::none: return "";
    case Compression::zstd: return "zstd";
    case Compression::lz4: return "lz4";
  }
  return "";
}

bool compression_available(Compression compression) {
  switch (compression) {
    case Compression::none: return true;
#ifdef VARNEL_HAVE_ZSTD
    case Compression::zstd: return true;
#endif
#ifdef VARNEL_HAVE_LZ4
    case Compression::lz4: return true;
#endif
    default: return false;
  }
}

Compression default_compression() {
  return compression_available(Compression::zstd) ? Compression::zstd : Compression::none;
}

void set_max_chunk_size(std::uint64_t bytes) { g_max_chunk_size = bytes; }

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

void Writer::put_in_data(const std::string& bytes) {
  if (options.chunked)
    chunk_ += bytes;
  else
    write(bytes);
}

bool Writer::open(const std::string& path, const std::string& library, std::string& error) {
  if (!compression_available(options.compression)) {
    error = std::string("this build cannot write ") + compression_name(options.compression) +
            " chunks (it was built without that library, as the Windows build is): use --compression none";
    return false;
  }
  if (!open_output) {
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
      error = "cannot create " + path + ": " + std::strerror(errno);
      return false;
    }
  } else {
    const int fd = open_output(path, error);
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
  }
  path_ = path;
  write(std::string(kMagic, 8));
  std::string body;
  put_string(body, options.profile);
  put_string(body, library);
  write(record(kHeader, body));
  return true;
}

void Writer::add_schema(const Schema& schema) {
  if (schema_at_.count(schema.id)) return;
  schema_at_[schema.id] = schemas_.size();
  schemas_.push_back(schema);
  ++stats_.schema_count;
}

void Writer::add_channel(const Channel& channel) {
  if (channel_at_.count(channel.id)) return;
  channel_at_[channel.id] = channels_.size();
  channels_.push_back(channel);
  ++stats_.channel_count;
}

void Writer::add_message(const Message& message) {
  if (stats_.message_count == 0) stats_.message_start_time = stats_.message_end_time = message.log_time;
  stats_.message_start_time = std::min(stats_.message_start_time, message.log_time);
  stats_.message_end_time = std::max(stats_.message_end_time, message.log_time);
  ++stats_.message_count;
  auto counted = count_at_.find(message.channel_id);
  if (counted == count_at_.end()) {
    counted = count_at_.emplace(message.channel_id, stats_.channel_message_counts.size()).first;
    stats_.channel_message_counts.emplace_back(message.channel_id, 0);
  }
  ++stats_.channel_message_counts[counted->second].second;

  // The channel and its schema just before their first message.
  if (!channel_written_[message.channel_id]) {
    auto channel = channel_at_.find(message.channel_id);
    if (channel != channel_at_.end()) {
      const Channel& c = channels_[channel->second];
      auto schema = schema_at_.find(c.schema_id);
      if (c.schema_id != 0 && schema != schema_at_.end() && !schema_written_[c.schema_id]) {
        put_in_data(schema_record(schemas_[schema->second]));
        schema_written_[c.schema_id] = true;
      }
      if (options.chunked && options.message_indexes) chunk_index_.push_back({c.id, {}});
      put_in_data(channel_record(c));
    }
    channel_written_[message.channel_id] = true;
  }
  std::string body;
  put16(body, message.channel_id);
  put32(body, message.sequence);
  put64(body, message.log_time);
  put64(body, message.publish_time);
  body += message.data;
  if (!options.chunked) {
    write(record(kMessage, body));
    return;
  }
  if (chunk_messages_ == 0 || message.log_time < chunk_start_) chunk_start_ = message.log_time;
  if (chunk_messages_ == 0 || message.log_time > chunk_end_) chunk_end_ = message.log_time;
  ++chunk_messages_;
  if (options.message_indexes) {
    auto index = std::find_if(chunk_index_.begin(), chunk_index_.end(),
                              [&](const MessageIndex& i) { return i.channel_id == message.channel_id; });
    if (index == chunk_index_.end()) index = chunk_index_.insert(chunk_index_.end(), {message.channel_id, {}});
    index->entries.emplace_back(message.log_time, chunk_.size());
  }
  chunk_ += record(kMessage, body);
  if (chunk_.size() >= 4 * chunk_size) flush_chunk();
}

void Writer::flush_chunk() {
  if (chunk_messages_ == 0) return;
  ++stats_.chunk_count;
  ChunkIndex index;
  index.message_start_time = chunk_start_;
  index.message_end_time = chunk_end_;
  index.chunk_start_offset = offset_;
  index.compression = compression_name(options.compression);
  index.uncompressed_size = chunk_.size();
  const std::uint32_t crc = crc32(chunk_.data(), chunk_.size());
  if (!compress(options.compression, options.compression_level, chunk_, compressed_)) failed_ = true;
  index.compressed_size = compressed_.size();
  std::string body;
  body.reserve(8 + 8 + 8 + 4 + 4 + index.compression.size() + 8 + compressed_.size());
  put64(body, chunk_start_);
  put64(body, chunk_end_);
  put64(body, chunk_.size());
  put32(body, crc);
  put_string(body, index.compression);
  put64(body, compressed_.size());
  body += compressed_;
  const std::string chunk_record = record(kChunk, body);
  index.chunk_length = chunk_record.size();
  write(chunk_record);
  const std::uint64_t index_start = offset_;
  for (const auto& message_index : chunk_index_) {
    std::string ib;
    put16(ib, message_index.channel_id);
    put32(ib, static_cast<std::uint32_t>(message_index.entries.size() * 16));
    for (const auto& [time, at] : message_index.entries) {
      put64(ib, time);
      put64(ib, at);
    }
    index.message_index_offsets.emplace_back(message_index.channel_id, offset_);
    write(record(kMessageIndex, ib));
  }
  index.message_index_length = offset_ - index_start;
  if (options.chunk_indexes) chunk_indexes_.push_back(std::move(index));
  chunk_.clear();
  compressed_.clear();
  chunk_index_.clear();
  chunk_messages_ = 0;
  chunk_start_ = chunk_end_ = 0;
}

void Writer::add_metadata(const std::string& name, const Metadata& metadata) {
  flush_chunk();
  std::string body;
  put_string(body, name);
  put_map(body, metadata);
  const std::string bytes = record(kMetadata, body);
  if (options.metadata_indexes) metadata_indexes_.push_back({offset_, bytes.size(), name});
  ++stats_.metadata_count;
  write(bytes);
}

void Writer::add_attachment(const Attachment& a) {
  flush_chunk();
  std::string body;
  put64(body, a.log_time);
  put64(body, a.create_time);
  put_string(body, a.name);
  put_string(body, a.media_type);
  put64(body, a.data.size());
  body += a.data;
  put32(body, crc32(body.data(), body.size()));
  const std::string bytes = record(kAttachment, body);
  if (options.attachment_indexes)
    attachment_indexes_.push_back({offset_, bytes.size(), a.log_time, a.create_time, a.data.size(), a.name,
                                   a.media_type});
  ++stats_.attachment_count;
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
  std::vector<SummaryOffset> groups;
  auto group = [&](Op op, const std::vector<std::string>& records) {
    const std::uint64_t start = offset_;
    for (const auto& r : records) write(r);
    if (offset_ != start) groups.push_back({op, start, offset_ - start});
  };
  std::vector<std::string> records;
  if (options.repeat_schemas) {
    for (const auto& s : schemas_) records.push_back(schema_record(s));
    group(kSchema, records);
    records.clear();
  }
  if (options.repeat_channels) {
    for (const auto& c : channels_) records.push_back(channel_record(c));
    group(kChannel, records);
    records.clear();
  }
  if (options.statistics) {
    std::string body;
    put64(body, stats_.message_count);
    put16(body, stats_.schema_count);
    put32(body, stats_.channel_count);
    put32(body, stats_.attachment_count);
    put32(body, stats_.metadata_count);
    put32(body, stats_.chunk_count);
    put64(body, stats_.message_start_time);
    put64(body, stats_.message_end_time);
    put_u16_u64_map(body, stats_.channel_message_counts);
    records.push_back(record(kStatistics, body));
    group(kStatistics, records);
    records.clear();
  }
  if (options.metadata_indexes) {
    for (const auto& m : metadata_indexes_) {
      std::string body;
      put64(body, m.offset);
      put64(body, m.length);
      put_string(body, m.name);
      records.push_back(record(kMetadataIndex, body));
    }
    group(kMetadataIndex, records);
    records.clear();
  }
  if (options.attachment_indexes) {
    for (const auto& a : attachment_indexes_) {
      std::string body;
      put64(body, a.offset);
      put64(body, a.length);
      put64(body, a.log_time);
      put64(body, a.create_time);
      put64(body, a.data_size);
      put_string(body, a.name);
      put_string(body, a.media_type);
      records.push_back(record(kAttachmentIndex, body));
    }
    group(kAttachmentIndex, records);
    records.clear();
  }
  if (options.chunk_indexes) {
    for (const auto& c : chunk_indexes_) {
      std::string body;
      put64(body, c.message_start_time);
      put64(body, c.message_end_time);
      put64(body, c.chunk_start_offset);
      put64(body, c.chunk_length);
      put_u16_u64_map(body, c.message_index_offsets);
      put64(body, c.message_index_length);
      put_string(body, c.compression);
      put64(body, c.compressed_size);
      put64(body, c.uncompressed_size);
      records.push_back(record(kChunkIndex, body));
    }
    group(kChunkIndex, records);
    records.clear();
  }
  const std::uint64_t offsets_start = offset_;
  if (options.summary_offsets) {
    for (const auto& g : groups) {
      std::string body;
      put8(body, g.group_opcode);
      put64(body, g.group_start);
      put64(body, g.group_length);
      write(record(kSummaryOffset, body));
    }
  }
  std::string footer;
  put8(footer, kFooter);
  put64(footer, 8 + 8 + 4);
  put64(footer, offsets_start == summary_start ? 0 : summary_start);
  put64(footer, options.summary_offsets ? offsets_start : 0);
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

// ---- Readers ----

bool read_records(std::string_view bytes, const std::string& path, const RecordSink& sink, std::string& error) {
  if (path.empty()) {
    MemorySource source(bytes);
    return walk(source, sink, error);
  }
  FileSource source;
  if (!open_source(path, source, error)) return false;
  if (walk(source, sink, error)) return true;
  error = path + ": " + error;
  return false;
}

std::optional<File> read_bytes(std::string_view bytes, std::string& error) {
  MemorySource source(bytes);
  Validator v;
  if (!validate(source, v, error)) return std::nullopt;
  return std::move(v.file);
}

std::optional<File> read_file(const std::string& path, std::string& error) {
  FileSource source;
  Validator v;
  if (!open_source(path, source, error)) return std::nullopt;
  if (!validate(source, v, error)) {
    error = path + ": " + error;
    return std::nullopt;
  }
  return std::move(v.file);
}

std::optional<File> stream(std::string_view bytes, const std::string& path, const MessageSink& sink,
                           std::string& error) {
  Validator v;
  v.sink = &sink;
  bool read = false;
  if (path.empty()) {
    MemorySource source(bytes);
    read = validate(source, v, error);
  } else {
    FileSource source;
    if (!open_source(path, source, error)) return std::nullopt;
    read = validate(source, v, error);
  }
  if (!read) return std::nullopt;
  return std::move(v.file);
}

// ---- Indexed reader ----

struct IndexedReader::Source {
  MemorySource memory{std::string_view()};
  FileSource file;
  SourceBase* use = nullptr;
  std::string bytes, plain;
};

IndexedReader::IndexedReader() = default;
IndexedReader::~IndexedReader() = default;

bool IndexedReader::open(std::string_view bytes, const std::string& path, std::string& error) {
  source_ = std::make_unique<Source>();
  summary_ = Summary{};
  schemas_.clear();
  channels_.clear();
  if (path.empty()) {
    source_->memory.bytes = bytes;
    source_->use = &source_->memory;
  } else {
    if (!open_source(path, source_->file, error)) return false;
    source_->use = &source_->file;
  }
  SourceBase& source = *source_->use;
  std::uint64_t footer_at = 0;
  if (!read_footer(source, summary_.footer, footer_at, error)) return false;
  const Footer& footer = summary_.footer;
  summary_.present = footer.summary_start != 0;
  data_end_ = footer.summary_start != 0 ? footer.summary_start
              : footer.summary_offset_start != 0 ? footer.summary_offset_start
                                                 : footer_at;
  if (!summary_.present) return true;
  std::string& record_bytes = source_->bytes;
  // The summary CRC: the summary, its offsets and the footer's first fields.
  if (footer.summary_crc != 0) {
    std::uint32_t crc = 0;
    for (std::uint64_t at = footer.summary_start; at < footer_at + 1 + 8 + 8 + 8;) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(footer_at + 25 - at, 1 << 16));
      if (!source.read(at, n, record_bytes)) {
        error = "cannot read the file: " + std::string(std::strerror(errno));
        return false;
      }
      crc = crc32(record_bytes.data(), record_bytes.size(), crc);
      at += n;
    }
    if (crc != footer.summary_crc) {
      error = "the summary section's CRC does not match: the file is damaged";
      return false;
    }
  }
  const std::uint64_t end = footer.summary_offset_start != 0 ? footer.summary_offset_start : footer_at;
  for (std::uint64_t at = footer.summary_start; at < footer_at;) {
    const std::uint64_t offset = at, limit = at < end ? end : footer_at;
    if (limit - at < 9 || !source.read(at, 9, record_bytes)) {
      error = "a summary record is cut short: the file is damaged" + at_byte(offset);
      return false;
    }
    Cursor head{record_bytes};
    const auto op = head.number<std::uint8_t>();
    const auto length = head.number<std::uint64_t>();
    if (length > limit - at - 9) {
      error = "a summary record is cut short: the file is damaged" + at_byte(offset);
      return false;
    }
    at += 9 + length;
    if (op == kChunk || op == kMessage || op == kAttachment || op == kMetadata) continue;  // not summary records
    if (!source.read(offset + 9, static_cast<std::size_t>(length), record_bytes)) {
      error = "cannot read the file: " + std::string(std::strerror(errno));
      return false;
    }
    Record r;
    if (!parse_record(op, record_bytes, r)) {
      error = std::string("a ") + op_name(op) + " record in the summary is cut short" + at_byte(offset);
      return false;
    }
    if (auto* s = std::get_if<Schema>(&r)) {
      if (s->id != 0) summary_.schemas.emplace(s->id, std::move(*s));
    } else if (auto* c = std::get_if<Channel>(&r)) {
      summary_.channels.emplace(c->id, std::move(*c));
    } else if (auto* ci = std::get_if<ChunkIndex>(&r)) {
      if (ci->chunk_start_offset < 8 || ci->chunk_start_offset > data_end_ ||
          ci->chunk_length > data_end_ - ci->chunk_start_offset) {
        error = "a Chunk Index points outside the data section: the file is damaged" + at_byte(offset);
        return false;
      }
      summary_.chunk_indexes.push_back(std::move(*ci));
    } else if (auto* ai = std::get_if<AttachmentIndex>(&r)) {
      summary_.attachment_indexes.push_back(std::move(*ai));
    } else if (auto* mi = std::get_if<MetadataIndex>(&r)) {
      summary_.metadata_indexes.push_back(std::move(*mi));
    } else if (auto* st = std::get_if<Statistics>(&r)) {
      summary_.statistics = std::move(*st);
    } else if (auto* so = std::get_if<SummaryOffset>(&r)) {
      if (so->group_start < footer.summary_start || so->group_start > end ||
          so->group_length > end - so->group_start) {
        error = "a Summary Offset points outside the summary: the file is damaged" + at_byte(offset);
        return false;
      }
      summary_.summary_offsets.push_back(*so);
    }
  }
  schemas_ = summary_.schemas;
  channels_ = summary_.channels;
  return true;
}

namespace {

// One whole record of `op` at `offset` (of `length` bytes with its opcode and length).
bool read_record_at(SourceBase& source, std::uint64_t offset, std::uint64_t length, Op op, std::string& bytes,
                    std::string& error) {
  const std::uint64_t size = source.size();
  if (offset > size || length > size - offset || length < 9) {
    error = std::string("an index points a ") + op_name(op) + " record outside the file: it is damaged";
    return false;
  }
  if (!source.read(offset, static_cast<std::size_t>(length), bytes)) {
    error = "cannot read the file: " + std::string(std::strerror(errno));
    return false;
  }
  Cursor head{bytes};
  const auto found = head.number<std::uint8_t>();
  const auto body = head.number<std::uint64_t>();
  if (found != op || body != length - 9) {
    error = std::string("an index does not point at a ") + op_name(op) + " record: the file is damaged" +
            at_byte(offset);
    return false;
  }
  return true;
}

}  // namespace

bool IndexedReader::read_chunk(const ChunkIndex& index, const RecordSink& sink, std::string& error) {
  SourceBase& source = *source_->use;
  if (!read_record_at(source, index.chunk_start_offset, index.chunk_length, kChunk, source_->bytes, error))
    return false;
  const RecordSink learn = [&](Record&& r, const Place& place, std::string& why) {
    if (auto* s = std::get_if<Schema>(&r)) {
      if (s->id != 0) schemas_.emplace(s->id, *s);
    } else if (auto* c = std::get_if<Channel>(&r)) {
      channels_.emplace(c->id, *c);
    }
    return sink(std::move(r), place, why);
  };
  // The source's buffer is reused for the decompressed records: take the chunk out first.
  std::string chunk = std::move(source_->bytes);
  const bool ok = walk_chunk_record(std::string_view(chunk).substr(9), index.chunk_start_offset, source_->plain,
                                    learn, error, false);
  source_->bytes = std::move(chunk);
  return ok;
}

bool IndexedReader::read_message_indexes(const ChunkIndex& index, std::vector<MessageIndex>& out,
                                         std::string& error) {
  out.clear();
  SourceBase& source = *source_->use;
  for (const auto& [channel, offset] : index.message_index_offsets) {
    const std::uint64_t size = source.size();
    if (offset > size || size - offset < 9 || !source.read(offset, 9, source_->bytes)) {
      error = "a Message Index offset points outside the file: it is damaged";
      return false;
    }
    Cursor head{source_->bytes};
    head.number<std::uint8_t>();
    const auto length = head.number<std::uint64_t>();
    if (length > size - offset - 9) {
      error = "a Message Index offset points outside the file: it is damaged";
      return false;
    }
    if (!read_record_at(source, offset, 9 + length, kMessageIndex, source_->bytes, error)) return false;
    Record r;
    if (!parse_record(kMessageIndex, std::string_view(source_->bytes).substr(9), r) ||
        std::get<MessageIndex>(r).channel_id != channel) {
      error = "a Message Index record is malformed" + at_byte(offset);
      return false;
    }
    out.push_back(std::move(std::get<MessageIndex>(r)));
  }
  return true;
}

bool IndexedReader::read_metadata(const MetadataIndex& index, MetadataRecord& out, std::string& error) {
  if (!read_record_at(*source_->use, index.offset, index.length, kMetadata, source_->bytes, error)) return false;
  Record r;
  if (!parse_record(kMetadata, std::string_view(source_->bytes).substr(9), r)) {
    error = "a Metadata record is cut short" + at_byte(index.offset);
    return false;
  }
  out = std::move(std::get<MetadataRecord>(r));
  return true;
}

bool IndexedReader::read_attachment(const AttachmentIndex& index, Attachment& out, std::string& error) {
  if (!read_record_at(*source_->use, index.offset, index.length, kAttachment, source_->bytes, error)) return false;
  Record r;
  const std::string_view body = std::string_view(source_->bytes).substr(9);
  if (!parse_record(kAttachment, body, r)) {
    error = "an Attachment record is cut short" + at_byte(index.offset);
    return false;
  }
  out = std::move(std::get<Attachment>(r));
  if (!attachment_crc_ok(body, out)) {
    error = "an Attachment's CRC does not match its contents: the file is damaged" + at_byte(index.offset);
    return false;
  }
  return true;
}

bool IndexedReader::read_messages(const IndexedMessageSink& sink, std::string& error, std::uint64_t start,
                                  std::uint64_t end) {
  // A message waiting to be handed on: ordered by log time, then by where it is in the file.
  struct Pending {
    std::uint64_t log_time, chunk, at;
    Message message;
  };
  const auto later = [](const Pending& a, const Pending& b) {
    return std::tie(a.log_time, a.chunk, a.at) > std::tie(b.log_time, b.chunk, b.at);
  };
  std::priority_queue<Pending, std::vector<Pending>, decltype(later)> pending(later);
  const auto hand_on = [&](Pending&& p, std::string& why) {
    auto channel = channels_.find(p.message.channel_id);
    if (channel == channels_.end()) {
      why = "a Message on channel " + std::to_string(p.message.channel_id) + " that no Channel record defines";
      return false;
    }
    return sink(std::move(p.message), channel->second, why);
  };

  if (summary_.chunk_indexes.empty()) {
    // No index: the data section front to back, messages sorted as they come.
    std::uint64_t n = 0;
    const RecordSink collect = [&](Record&& r, const Place& place, std::string&) {
      if (place.in_summary) return true;
      if (auto* s = std::get_if<Schema>(&r)) {
        if (s->id != 0) schemas_.emplace(s->id, *s);
      } else if (auto* c = std::get_if<Channel>(&r)) {
        channels_.emplace(c->id, *c);
      } else if (auto* m = std::get_if<Message>(&r)) {
        if (m->log_time >= start && m->log_time <= end) {
          const std::uint64_t t = m->log_time;
          pending.push({t, 0, n++, std::move(*m)});
        }
      }
      return true;
    };
    if (!walk(*source_->use, collect, error)) return false;
    while (!pending.empty()) {
      Pending p = std::move(const_cast<Pending&>(pending.top()));
      pending.pop();
      if (!hand_on(std::move(p), error)) return false;
    }
    return true;
  }

  // The chunks that may hold such messages, by their first log time; each is
  // read once the order reaches it, so only overlapping chunks are held at once.
  std::vector<std::size_t> order;
  std::set<std::uint64_t> offsets;  // a chunk listed twice is read once
  for (std::size_t i = 0; i < summary_.chunk_indexes.size(); ++i) {
    const ChunkIndex& c = summary_.chunk_indexes[i];
    if (c.message_end_time >= start && c.message_start_time <= end && offsets.insert(c.chunk_start_offset).second)
      order.push_back(i);
  }
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const ChunkIndex &x = summary_.chunk_indexes[a], &y = summary_.chunk_indexes[b];
    return std::tie(x.message_start_time, x.chunk_start_offset) < std::tie(y.message_start_time, y.chunk_start_offset);
  });
  std::size_t next = 0;
  while (next < order.size() || !pending.empty()) {
    // Read every chunk that starts no later than the earliest message waiting.
    while (next < order.size() &&
           (pending.empty() || summary_.chunk_indexes[order[next]].message_start_time <= pending.top().log_time)) {
      const ChunkIndex& index = summary_.chunk_indexes[order[next]];
      const std::uint64_t chunk = index.chunk_start_offset;
      const RecordSink collect = [&](Record&& r, const Place& place, std::string& why) {
        if (auto* m = std::get_if<Message>(&r)) {
          if (m->log_time < index.message_start_time || m->log_time > index.message_end_time) {
            why = "a Message's log time lies outside its Chunk Index's time range: the file is damaged" +
                  at_byte(chunk);
            return false;
          }
          if (m->log_time >= start && m->log_time <= end) {
            const std::uint64_t t = m->log_time;
            pending.push({t, chunk, place.chunk_offset, std::move(*m)});
          }
        }
        return true;
      };
      if (!read_chunk(index, collect, error)) return false;
      ++next;
    }
    if (pending.empty()) continue;
    Pending p = std::move(const_cast<Pending&>(pending.top()));
    pending.pop();
    if (!hand_on(std::move(p), error)) return false;
  }
  return true;
}

}  // namespace varnel::record::mcap
