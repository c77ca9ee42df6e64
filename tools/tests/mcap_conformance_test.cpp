// The MCAP format's conformance suite against our reader and writer, as the
// format's own runners hold every official implementation to it.
//
// The suite (../shared/reference/mcap/conformance beside the checkout) has 416
// inputs, each a `.mcap` and a `.json` listing the records a conforming reader
// finds in it. Where the suite's `.mcap` files are Git LFS pointers (the copy
// kept beside the checkout holds the pointers, not the objects), each input is
// rebuilt here from its `.json` and the features in its name (the records as
// listed, padded with the suite generator's three bytes where the name says
// `pad` (outside chunks), message indexes after chunks where it says `mx`) and is used only when
// its SHA-256 and size equal the pointer's: the bytes read are then exactly the
// suite's. Three runners, as the suite's README describes them:
//   streamed: every record, front to back, CRCs checked, equal to the .json;
//   indexed:  files with a summary (`sum` or `chx`): schemas and channels once
//             each by id, messages in log-time order, statistics, through the
//             summary and the chunk indexes;
//   writer:   our writer, given the .json's data records and the features as
//             options, writes the input byte for byte. Padding (`pad`) is what a
//             later version of the format adds to its records: a writer of this
//             version has nothing to put there, so those variants are skipped.

// The tallies are printed at the end (the CI's mcap run shows them).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "mcap.hpp"

namespace {

namespace fs = std::filesystem;
namespace mcap = varnel::record::mcap;
using nlohmann::json;

const fs::path kSuite = fs::path(VARNEL_MCAP_CONFORMANCE_DIR);

// ---- SHA-256, for the LFS pointers ----

std::string sha256(std::string_view data) {
  static constexpr std::array<std::uint32_t, 64> k = {
      0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
      0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
      0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
      0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
      0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
      0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
      0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
      0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
  std::array<std::uint32_t, 8> h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                    0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::string m(data);
  const std::uint64_t bits = static_cast<std::uint64_t>(data.size()) * 8;
  m.push_back(static_cast<char>(0x80));
  while (m.size() % 64 != 56) m.push_back(0);
  for (int i = 7; i >= 0; --i) m.push_back(static_cast<char>(bits >> (8 * i)));
  const auto rotr = [](std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
  for (std::size_t block = 0; block < m.size(); block += 64) {
    std::array<std::uint32_t, 64> w{};
    for (int i = 0; i < 16; ++i)
      for (int b = 0; b < 4; ++b)
        w[i] = (w[i] << 8) | static_cast<unsigned char>(m[block + 4 * i + b]);
    for (int i = 16; i < 64; ++i) {
      const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    auto v = h;
    for (int i = 0; i < 64; ++i) {
      const std::uint32_t s1 = rotr(v[4], 6) ^ rotr(v[4], 11) ^ rotr(v[4], 25);
      const std::uint32_t ch = (v[4] & v[5]) ^ (~v[4] & v[6]);
      const std::uint32_t t1 = v[7] + s1 + ch + k[i] + w[i];
      const std::uint32_t s0 = rotr(v[0], 2) ^ rotr(v[0], 13) ^ rotr(v[0], 22);
      const std::uint32_t maj = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
      const std::uint32_t t2 = s0 + maj;
      v = {t1 + t2, v[0], v[1], v[2], v[3] + t1, v[4], v[5], v[6]};
    }
    for (int i = 0; i < 8; ++i) h[i] += v[i];
  }
  std::string out;
  char hex[9];
  for (auto word : h) {
    std::snprintf(hex, sizeof hex, "%08x", word);
    out += hex;
  }
  return out;
}

// ---- The suite's inputs ----

struct Input {
  std::string name;  // e.g. OneMessage-ch-chx-mx
  fs::path json_path, mcap_path;
  std::set<std::string> features;
  json records;      // the .json's records
  std::string bytes;  // the input file, once known (empty when it could not be had)
  std::string expected_sha, problem;
  std::uint64_t expected_size = 0;
};

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::uint64_t u(const json& value) { return std::stoull(value.get<std::string>()); }

std::string bytes_of(const json& array) {
  std::string out;
  for (const auto& b : array) out.push_back(static_cast<char>(std::stoul(b.get<std::string>())));
  return out;
}

// A record's fields by name.
std::map<std::string, json> fields_of(const json& record) {
  std::map<std::string, json> out;
  for (const auto& pair : record["fields"]) out[pair[0].get<std::string>()] = pair[1];
  return out;
}

void put(std::string& out, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}
void put_string(std::string& out, const std::string& s) {
  put(out, s.size(), 4);
  out += s;
}
void put_string_map(std::string& out, const json& object) {
  std::string body;
  for (const auto& [key, value] : object.items()) {
    put_string(body, key);
    put_string(body, value.get<std::string>());
  }
  put_string(out, body);
}
void put_u16_u64_map(std::string& out, const json& object) {
  put(out, object.size() * 10, 4);
  for (const auto& [key, value] : object.items()) {
    put(out, std::stoull(key), 2);
    put(out, u(value), 8);
  }
}

// One record framed as the suite's generator frames it: padded with 01 ff ff
// where the variant pads, except the records whose length is fixed or whose
// last field takes the rest (Footer, Message, Chunk, Data End).
std::string frame(std::uint8_t op, std::string body, bool pad) {
  if (pad && op != mcap::kFooter && op != mcap::kMessage && op != mcap::kChunk && op != mcap::kDataEnd)
    body += std::string("\x01\xff\xff", 3);
  std::string out;
  put(out, op, 1);
  put(out, body.size(), 8);
  return out + body;
}

// The record of the .json at `r` (not a Chunk or Message Index: those are made from the others).
std::string serialize(const json& r, bool pad) {
  const std::string type = r["type"].get<std::string>();
  auto f = fields_of(r);
  std::string b;
  if (type == "Header") {
    put_string(b, f["profile"].get<std::string>());
    put_string(b, f["library"].get<std::string>());
    return frame(mcap::kHeader, b, pad);
  }
  if (type == "Footer") {
    put(b, u(f["summary_start"]), 8);
    put(b, u(f["summary_offset_start"]), 8);
    put(b, u(f["summary_crc"]), 4);
    return frame(mcap::kFooter, b, pad);
  }
  if (type == "Schema") {
    put(b, u(f["id"]), 2);
    put_string(b, f["name"].get<std::string>());
    put_string(b, f["encoding"].get<std::string>());
    put_string(b, bytes_of(f["data"]));
    return frame(mcap::kSchema, b, pad);
  }
  if (type == "Channel") {
    put(b, u(f["id"]), 2);
    put(b, u(f["schema_id"]), 2);
    put_string(b, f["topic"].get<std::string>());
    put_string(b, f["message_encoding"].get<std::string>());
    put_string_map(b, f["metadata"]);
    return frame(mcap::kChannel, b, pad);
  }
  if (type == "Message") {
    put(b, u(f["channel_id"]), 2);
    put(b, u(f["sequence"]), 4);
    put(b, u(f["log_time"]), 8);
    put(b, u(f["publish_time"]), 8);
    b += bytes_of(f["data"]);
    return frame(mcap::kMessage, b, pad);
  }
  if (type == "ChunkIndex") {
    put(b, u(f["message_start_time"]), 8);
    put(b, u(f["message_end_time"]), 8);
    put(b, u(f["chunk_start_offset"]), 8);
    put(b, u(f["chunk_length"]), 8);
    put_u16_u64_map(b, f["message_index_offsets"]);
    put(b, u(f["message_index_length"]), 8);
    put_string(b, f["compression"].get<std::string>());
    put(b, u(f["compressed_size"]), 8);
    put(b, u(f["uncompressed_size"]), 8);
    return frame(mcap::kChunkIndex, b, pad);
  }
  if (type == "Attachment") {
    put(b, u(f["log_time"]), 8);
    put(b, u(f["create_time"]), 8);
    put_string(b, f["name"].get<std::string>());
    put_string(b, f["media_type"].get<std::string>());
    const std::string data = bytes_of(f["data"]);
    put(b, data.size(), 8);
    b += data;
    put(b, mcap::crc32(b.data(), b.size()), 4);
    return frame(mcap::kAttachment, b, pad);
  }
  if (type == "AttachmentIndex") {
    put(b, u(f["offset"]), 8);
    put(b, u(f["length"]), 8);
    put(b, u(f["log_time"]), 8);
    put(b, u(f["create_time"]), 8);
    put(b, u(f["data_size"]), 8);
    put_string(b, f["name"].get<std::string>());
    put_string(b, f["media_type"].get<std::string>());
    return frame(mcap::kAttachmentIndex, b, pad);
  }
  if (type == "Statistics") {
    put(b, u(f["message_count"]), 8);
    put(b, u(f["schema_count"]), 2);
    put(b, u(f["channel_count"]), 4);
    put(b, u(f["attachment_count"]), 4);
    put(b, u(f["metadata_count"]), 4);
    put(b, u(f["chunk_count"]), 4);
    put(b, u(f["message_start_time"]), 8);
    put(b, u(f["message_end_time"]), 8);
    put_u16_u64_map(b, f["channel_message_counts"]);
    return frame(mcap::kStatistics, b, pad);
  }
  if (type == "Metadata") {
    put_string(b, f["name"].get<std::string>());
    put_string_map(b, f["metadata"]);
    return frame(mcap::kMetadata, b, pad);
  }
  if (type == "MetadataIndex") {
    put(b, u(f["offset"]), 8);
    put(b, u(f["length"]), 8);
    put_string(b, f["name"].get<std::string>());
    return frame(mcap::kMetadataIndex, b, pad);
  }
  if (type == "SummaryOffset") {
    put(b, u(f["group_opcode"]), 1);
    put(b, u(f["group_start"]), 8);
    put(b, u(f["group_length"]), 8);
    return frame(mcap::kSummaryOffset, b, pad);
  }
  if (type == "DataEnd") {
    put(b, u(f["data_section_crc"]), 4);
    return frame(mcap::kDataEnd, b, pad);
  }
  throw std::runtime_error("a record of unknown type " + type);
}

// The input file rebuilt from its .json and its features.
std::string rebuild(const Input& input) {
  const bool pad = input.features.count("pad") != 0, chunked = input.features.count("ch") != 0,
             indexed = input.features.count("mx") != 0;
  std::string out("\x89MCAP0\r\n", 8);
  const json& records = input.records;
  bool data_end = false;
  for (std::size_t i = 0; i < records.size();) {
    const std::string type = records[i]["type"].get<std::string>();
    const bool chunkable = type == "Schema" || type == "Channel" || type == "Message";
    if (!chunked || data_end || !chunkable) {
      if (type == "DataEnd") data_end = true;
      out += serialize(records[i++], pad);
      if (type == "Footer") out += std::string("\x89MCAP0\r\n", 8);
      continue;
    }
    // A run of schemas, channels and messages: one chunk, then its message indexes.
    std::string inner;
    std::uint64_t start = 0, end = 0, messages = 0;
    std::vector<std::pair<std::uint64_t, std::vector<std::pair<std::uint64_t, std::uint64_t>>>> indexes;
    auto index_of = [&](std::uint64_t channel) -> auto& {
      for (auto& entry : indexes)
        if (entry.first == channel) return entry.second;
      indexes.push_back({channel, {}});
      return indexes.back().second;
    };
    for (; i < records.size(); ++i) {
      const std::string t = records[i]["type"].get<std::string>();
      if (t != "Schema" && t != "Channel" && t != "Message") break;
      auto f = fields_of(records[i]);
      if (t == "Channel") index_of(u(f["id"]));
      if (t == "Message") {
        const std::uint64_t time = u(f["log_time"]);
        if (messages == 0 || time < start) start = time;
        if (messages == 0 || time > end) end = time;
        ++messages;
        index_of(u(f["channel_id"])).emplace_back(time, inner.size());
      }
      inner += serialize(records[i], false);  // the generator pads no record inside a chunk
    }
    std::string body;
    put(body, start, 8);
    put(body, end, 8);
    put(body, inner.size(), 8);
    put(body, mcap::crc32(inner.data(), inner.size()), 4);
    put_string(body, "");
    put(body, inner.size(), 8);
    body += inner;
    out += frame(mcap::kChunk, body, pad);
    if (indexed)
      for (const auto& [channel, entries] : indexes) {
        std::string ib;
        put(ib, channel, 2);
        put(ib, entries.size() * 16, 4);
        for (const auto& [time, at] : entries) {
          put(ib, time, 8);
          put(ib, at, 8);
        }
        out += frame(mcap::kMessageIndex, ib, pad);
      }
  }
  return out;
}

std::vector<Input>& inputs() {
  static std::vector<Input> all = [] {
    std::vector<Input> out;
    if (!fs::is_directory(kSuite / "data")) return out;
    for (const auto& group : fs::directory_iterator(kSuite / "data")) {
      if (!group.is_directory()) continue;
      for (const auto& entry : fs::directory_iterator(group.path())) {
        if (entry.path().extension() != ".mcap") continue;
        Input input;
        input.mcap_path = entry.path();
        input.name = entry.path().stem().string();
        input.json_path = fs::path(entry.path()).replace_extension(".json");
        const json expected = json::parse(slurp(input.json_path));
        input.records = expected["records"];
        for (const auto& feature : expected["meta"]["variant"]["features"]) input.features.insert(feature);
        const std::string stored = slurp(input.mcap_path);
        if (stored.rfind("version https://git-lfs", 0) == 0) {
          // A pointer: the input is rebuilt and must hash to the pointer's object.
          std::istringstream lines(stored);
          std::string key, value;
          while (lines >> key >> value) {
            if (key == "oid") input.expected_sha = value.substr(value.find(':') + 1);
            if (key == "size") input.expected_size = std::stoull(value);
          }
          const std::string rebuilt = rebuild(input);
          if (rebuilt.size() == input.expected_size && sha256(rebuilt) == input.expected_sha)
            input.bytes = rebuilt;
          else
            input.problem = "rebuilt from its .json it is not the suite's file (its LFS object is not here)";
        } else {
          input.bytes = stored;
          input.expected_sha = sha256(stored);
          input.expected_size = stored.size();
        }
        out.push_back(std::move(input));
      }
    }
    std::sort(out.begin(), out.end(), [](const Input& a, const Input& b) { return a.name < b.name; });
    return out;
  }();
  return all;
}

// ---- Records as the suite writes them ----

json num(std::uint64_t v) { return std::to_string(v); }
json byte_array(const std::string& bytes) {
  json out = json::array();
  for (unsigned char c : bytes) out.push_back(std::to_string(c));
  return out;
}
json string_map(const mcap::Metadata& map) {
  json out = json::object();
  for (const auto& [k, v] : map) out[k] = v;
  return out;
}
json number_map(const std::vector<std::pair<std::uint16_t, std::uint64_t>>& map) {
  json out = json::object();
  for (const auto& [k, v] : map) out[std::to_string(k)] = std::to_string(v);
  return out;
}

json as_json(const std::string& type, std::map<std::string, json> fields) {
  json out = {{"type", type}, {"fields", json::array()}};
  for (auto& [name, value] : fields) out["fields"].push_back(json::array({name, value}));  // sorted by name
  return out;
}

// Nothing for the records the suite leaves out of its lists (chunks, message indexes).
std::optional<json> to_json(const mcap::Record& record) {
  return std::visit(
      [](const auto& r) -> std::optional<json> {
        using T = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<T, mcap::Header>)
          return as_json("Header", {{"profile", r.profile}, {"library", r.library}});
        else if constexpr (std::is_same_v<T, mcap::Footer>)
          return as_json("Footer", {{"summary_start", num(r.summary_start)},
                                    {"summary_offset_start", num(r.summary_offset_start)},
                                    {"summary_crc", num(r.summary_crc)}});
        else if constexpr (std::is_same_v<T, mcap::Schema>)
          return as_json("Schema", {{"id", num(r.id)}, {"name", r.name}, {"encoding", r.encoding},
                                    {"data", byte_array(r.data)}});
        else if constexpr (std::is_same_v<T, mcap::Channel>)
          return as_json("Channel", {{"id", num(r.id)}, {"schema_id", num(r.schema_id)}, {"topic", r.topic},
                                     {"message_encoding", r.message_encoding}, {"metadata", string_map(r.metadata)}});
        else if constexpr (std::is_same_v<T, mcap::Message>)
          return as_json("Message", {{"channel_id", num(r.channel_id)}, {"sequence", num(r.sequence)},
                                     {"log_time", num(r.log_time)}, {"publish_time", num(r.publish_time)},
                                     {"data", byte_array(r.data)}});
        else if constexpr (std::is_same_v<T, mcap::ChunkIndex>)
          return as_json("ChunkIndex", {{"message_start_time", num(r.message_start_time)},
                                        {"message_end_time", num(r.message_end_time)},
                                        {"chunk_start_offset", num(r.chunk_start_offset)},
                                        {"chunk_length", num(r.chunk_length)},
                                        {"message_index_offsets", number_map(r.message_index_offsets)},
                                        {"message_index_length", num(r.message_index_length)},
                                        {"compression", r.compression},
                                        {"compressed_size", num(r.compressed_size)},
                                        {"uncompressed_size", num(r.uncompressed_size)}});
        else if constexpr (std::is_same_v<T, mcap::Attachment>)
          return as_json("Attachment", {{"log_time", num(r.log_time)}, {"create_time", num(r.create_time)},
                                        {"name", r.name}, {"media_type", r.media_type}, {"data", byte_array(r.data)}});
        else if constexpr (std::is_same_v<T, mcap::AttachmentIndex>)
          return as_json("AttachmentIndex", {{"offset", num(r.offset)}, {"length", num(r.length)},
                                             {"log_time", num(r.log_time)}, {"create_time", num(r.create_time)},
                                             {"data_size", num(r.data_size)}, {"name", r.name},
                                             {"media_type", r.media_type}});
        else if constexpr (std::is_same_v<T, mcap::Statistics>)
          return as_json("Statistics", {{"message_count", num(r.message_count)},
                                        {"schema_count", num(r.schema_count)},
                                        {"channel_count", num(r.channel_count)},
                                        {"attachment_count", num(r.attachment_count)},
                                        {"metadata_count", num(r.metadata_count)},
                                        {"chunk_count", num(r.chunk_count)},
                                        {"message_start_time", num(r.message_start_time)},
                                        {"message_end_time", num(r.message_end_time)},
                                        {"channel_message_counts", number_map(r.channel_message_counts)}});
        else if constexpr (std::is_same_v<T, mcap::MetadataRecord>)
          return as_json("Metadata", {{"name", r.name}, {"metadata", string_map(r.metadata)}});
        else if constexpr (std::is_same_v<T, mcap::MetadataIndex>)
          return as_json("MetadataIndex", {{"offset", num(r.offset)}, {"length", num(r.length)}, {"name", r.name}});
        else if constexpr (std::is_same_v<T, mcap::SummaryOffset>)
          return as_json("SummaryOffset", {{"group_opcode", num(r.group_opcode)},
                                           {"group_start", num(r.group_start)},
                                           {"group_length", num(r.group_length)}});
        else if constexpr (std::is_same_v<T, mcap::DataEnd>)
          return as_json("DataEnd", {{"data_section_crc", num(r.data_section_crc)}});
        else if constexpr (std::is_same_v<T, mcap::Unknown>)
          return as_json("Unknown", {{"opcode", num(r.opcode)}, {"data", byte_array(r.body)}});
        else
          return std::nullopt;  // Chunk, MessageIndex
      },
      record);
}

// The first difference between two record lists, for a failure message.
std::string first_difference(const json& want, const json& got) {
  for (std::size_t i = 0; i < std::max(want.size(), got.size()); ++i) {
    if (i >= want.size()) return "an extra record " + got[i].dump();
    if (i >= got.size()) return "record " + std::to_string(i) + " missing: " + want[i].dump();
    if (want[i] != got[i]) return "record " + std::to_string(i) + ": want " + want[i].dump() + ", got " + got[i].dump();
  }
  return "";
}

struct Tally {
  std::size_t passed = 0, total = 0;
  std::vector<std::string> failures;
};

void report(const char* runner, const Tally& tally, const std::string& note = "") {
  std::cout << "MCAP conformance, " << runner << ": " << tally.passed << " of " << tally.total << note << "\n";
  for (std::size_t i = 0; i < tally.failures.size() && i < (std::getenv("VARNEL_ALL_FAILURES") ? 1000u : 10u); ++i) std::cout << "  FAILED " << tally.failures[i] << "\n";
}

// The suite must be there: without it the runners cannot run, which is a failure, not a skip.
void require_suite() {
  ASSERT_TRUE(fs::is_directory(kSuite / "data"))
      << "the MCAP conformance suite is not at " << kSuite
      << " (it is expected beside the checkout, at ../shared/reference/mcap/conformance)";
  ASSERT_EQ(inputs().size(), 416u) << "the suite at " << kSuite << " should hold 416 inputs";
}

TEST(McapConformance, TheSuiteIsThereAndEveryInputIsTheSuitesFile) {
  require_suite();
  Tally tally;
  for (const auto& input : inputs()) {
    ++tally.total;
    if (input.problem.empty())
      ++tally.passed;
    else
      tally.failures.push_back(input.name + ": " + input.problem);
  }
  report("inputs equal to the suite's files (SHA-256 and size)", tally);
  EXPECT_EQ(tally.passed, tally.total);
}

TEST(McapConformance, StreamedReader) {
  require_suite();
  Tally tally;
  for (const auto& input : inputs()) {
    ++tally.total;
    if (!input.problem.empty()) {
      tally.failures.push_back(input.name + ": no input");
      continue;
    }
    json got = json::array();
    std::string error;
    const bool read = mcap::read_records(input.bytes, "", [&](mcap::Record&& r, const mcap::Place&, std::string&) {
      if (auto j = to_json(r)) got.push_back(*j);
      return true;
    }, error);
    if (!read) {
      tally.failures.push_back(input.name + ": " + error);
      continue;
    }
    const std::string difference = first_difference(input.records, got);
    if (difference.empty())
      ++tally.passed;
    else
      tally.failures.push_back(input.name + ": " + difference);
  }
  report("streamed reader", tally);
  EXPECT_EQ(tally.passed, tally.total);
  EXPECT_EQ(tally.total, 416u);
}

// What an indexed reader yields: schemas and channels once each by id, messages
// by log time (stable), the statistics.
json indexed_selection(const json& records) {
  std::map<std::uint64_t, json> schemas, channels;
  std::vector<json> messages, statistics;
  for (const auto& r : records) {
    const std::string type = r["type"].get<std::string>();
    auto f = fields_of(r);
    if (type == "Schema") schemas.emplace(u(f["id"]), r);
    if (type == "Channel") channels.emplace(u(f["id"]), r);
    if (type == "Message") messages.push_back(r);
    if (type == "Statistics") statistics.push_back(r);
  }
  std::stable_sort(messages.begin(), messages.end(), [](const json& a, const json& b) {
    return u(fields_of(a)["log_time"]) < u(fields_of(b)["log_time"]);
  });
  json out = json::array();
  for (auto& [id, r] : schemas) out.push_back(r);
  for (auto& [id, r] : channels) out.push_back(r);
  for (auto& r : messages) out.push_back(r);
  for (auto& r : statistics) out.push_back(r);
  return out;
}

TEST(McapConformance, IndexedReader) {
  require_suite();
  Tally tally;
  for (const auto& input : inputs()) {
    if (!input.features.count("sum") && !input.features.count("chx")) continue;
    ++tally.total;
    if (!input.problem.empty()) {
      tally.failures.push_back(input.name + ": no input");
      continue;
    }
    mcap::IndexedReader reader;
    std::string error;
    json messages = json::array();
    const bool read =
        reader.open(input.bytes, "", error) &&
        reader.read_messages([&](mcap::Message&& m, const mcap::Channel&, std::string&) {
          messages.push_back(*to_json(mcap::Record(std::move(m))));
          return true;
        }, error);
    if (!read) {
      tally.failures.push_back(input.name + ": " + error);
      continue;
    }
    json got = json::array();
    for (const auto& [id, s] : reader.schemas()) got.push_back(*to_json(mcap::Record(s)));
    for (const auto& [id, c] : reader.channels()) got.push_back(*to_json(mcap::Record(c)));
    for (auto& m : messages) got.push_back(m);
    if (reader.summary().statistics) got.push_back(*to_json(mcap::Record(*reader.summary().statistics)));
    const std::string difference = first_difference(indexed_selection(input.records), got);
    if (difference.empty())
      ++tally.passed;
    else
      tally.failures.push_back(input.name + ": " + difference);
  }
  report("indexed reader (inputs with a summary: sum or chx)", tally);
  EXPECT_EQ(tally.passed, tally.total);
  EXPECT_GT(tally.total, 0u);
}

TEST(McapConformance, Writer) {
  require_suite();
  Tally tally;
  std::size_t skipped = 0;
  std::map<std::string, std::size_t> skipped_by_input;  // e.g. OneMessage -> 77
  const fs::path dir = fs::temp_directory_path() / ("varnel_mcap_conformance_" + std::to_string(getpid()));
  fs::create_directories(dir);
  for (const auto& input : inputs()) {
    if (input.features.count("pad")) {
      ++skipped;
      ++skipped_by_input[input.name.substr(0, input.name.find('-')) + "-*-pad*"];
      continue;
    }
    ++tally.total;
    const auto& has = [&](const char* feature) { return input.features.count(feature) != 0; };
    mcap::Writer writer;
    writer.options.chunked = has("ch");
    writer.options.message_indexes = has("mx");
    writer.options.chunk_indexes = has("chx");
    writer.options.statistics = has("st");
    writer.options.repeat_schemas = has("rsh");
    writer.options.repeat_channels = has("rch");
    writer.options.attachment_indexes = has("ax");
    writer.options.metadata_indexes = has("mdx");
    writer.options.summary_offsets = has("sum");
    const fs::path path = dir / (input.name + ".mcap");
    std::string error;
    bool ok = true;
    for (const auto& r : input.records) {
      const std::string type = r["type"].get<std::string>();
      auto f = fields_of(r);
      if (type == "Header") {
        writer.options.profile = f["profile"].get<std::string>();
        ok = writer.open(path.string(), f["library"].get<std::string>(), error);
      } else if (type == "Schema") {
        writer.add_schema({static_cast<std::uint16_t>(u(f["id"])), f["name"].get<std::string>(),
                           f["encoding"].get<std::string>(), bytes_of(f["data"])});
      } else if (type == "Channel") {
        mcap::Metadata metadata;
        for (const auto& [k, v] : f["metadata"].items()) metadata[k] = v.get<std::string>();
        writer.add_channel({static_cast<std::uint16_t>(u(f["id"])), static_cast<std::uint16_t>(u(f["schema_id"])),
                            f["topic"].get<std::string>(), f["message_encoding"].get<std::string>(), metadata});
      } else if (type == "Message") {
        writer.add_message({static_cast<std::uint16_t>(u(f["channel_id"])), static_cast<std::uint32_t>(u(f["sequence"])),
                            u(f["log_time"]), u(f["publish_time"]), bytes_of(f["data"])});
      } else if (type == "Attachment") {
        mcap::Attachment a;
        a.log_time = u(f["log_time"]);
        a.create_time = u(f["create_time"]);
        a.name = f["name"].get<std::string>();
        a.media_type = f["media_type"].get<std::string>();
        a.data = bytes_of(f["data"]);
        writer.add_attachment(a);
      } else if (type == "Metadata") {
        mcap::Metadata metadata;
        for (const auto& [k, v] : f["metadata"].items()) metadata[k] = v.get<std::string>();
        writer.add_metadata(f["name"].get<std::string>(), metadata);
      } else if (type == "DataEnd") {
        break;  // the rest is the writer's to make
      }
      if (!ok) break;
    }
    ok = ok && writer.close(error);
    const std::string written = slurp(path);
    if (!ok) {
      tally.failures.push_back(input.name + ": " + error);
    } else if (written.size() == input.expected_size && sha256(written) == input.expected_sha) {
      ++tally.passed;
    } else {
      std::string where;
      if (!input.bytes.empty()) {
        std::size_t at = 0;
        while (at < written.size() && at < input.bytes.size() && written[at] == input.bytes[at]) ++at;
        where = ", first different byte at " + std::to_string(at);
      }
      tally.failures.push_back(input.name + ": " + std::to_string(written.size()) + " bytes written where the suite has " +
                               std::to_string(input.expected_size) + where);
    }
  }
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  std::string named;
  for (const auto& [pattern, count] : skipped_by_input)
    named += (named.empty() ? "" : ", ") + pattern + " (" + std::to_string(count) + ")";
  report("writer", tally,
         "; skipped the " + std::to_string(skipped) + " `pad` variants " + named +
             ": padding is what a later version of the format adds to records, which a writer of this version "
             "has nothing to put in");
  EXPECT_EQ(tally.passed, tally.total);
  EXPECT_EQ(tally.total + skipped, 416u);
}

}  // namespace
