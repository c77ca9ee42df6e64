// Writing recordings: the MCAP file varnel-inspect record makes (see
// recording.hpp for what it holds), with the /scene channel on request.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "mcap.hpp"
#include "recording.hpp"

namespace varnel::record {

// One version as a recording's channel message holds it (the JSON of
// "/nodes/KIND" and "/relations/KIND"), made visible by publication `publication`.
nlohmann::json version_message(const NodeItem& item, std::uint64_t publication);
nlohmann::json version_message(const RelationItem& item, std::uint64_t publication);

class SceneChannel;

class RecordingWriter {
 public:
  // How chunks are written (set before open): compressed with zstd by default
  // where the build has it, ended at a publication boundary once this large.
  mcap::Compression compression = mcap::default_compression();
  std::size_t chunk_size = 1 << 20;

  bool open(const std::string& path, const std::string& time_unit, std::string& error);
  // After open: also write the /scene channel (see scene_channel.hpp).
  void add_scene();
  void write(const Publication& publication);
  bool close(std::string& error);
  const RecordingInfo& info() const { return info_; }
  std::uint64_t bytes_written() const { return mcap_.bytes_written(); }

 private:
  std::uint16_t channel_for(bool relation, std::uint64_t kind);
  std::uint64_t log_time(std::uint64_t timestamp) const;

  mcap::Writer mcap_;
  RecordingInfo info_;
  std::uint64_t scale_ = 1;
  std::uint32_t sequence_ = 0;
  std::shared_ptr<SceneChannel> scene_;
};

}  // namespace varnel::record
