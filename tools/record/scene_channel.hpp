// A recording's /scene channel: after every publication, the whole scene as
// robotics viewers' 3D panels draw it (foxglove.SceneUpdate, JSON with its JSON
// Schema). Each message stands alone (a deletion of everything, then every
// entity), so a viewer that jumps to any moment shows the scene of that moment.
#pragma once

#include <cstdint>
#include <map>
#include <utility>

#include "mcap.hpp"
#include "recording.hpp"
#include "scene_update.hpp"

namespace varnel::record {

class SceneChannel {
 public:
  static constexpr std::uint16_t kChannel = 101;  // the /scene channel and its schema

  explicit SceneChannel(std::uint64_t ns_per_unit) : builder_(ns_per_unit) {}
  // Declares the schema and the channel (before the first message).
  void open(mcap::Writer& writer);
  // Follows the scene through publication `p` and writes it as it then stands.
  void write(const Publication& p, std::uint32_t sequence, std::uint64_t log_time, mcap::Writer& writer);

 private:
  using Key = std::pair<std::uint64_t, std::uint64_t>;  // kind, instance id
  std::map<Key, NodeItem> nodes_;
  std::map<Key, RelationItem> relations_;
  inspect::SceneBuilder builder_;
};

}  // namespace varnel::record
