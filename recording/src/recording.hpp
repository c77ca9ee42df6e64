// Recordings of a graph's history in MCAP: one channel per node or relation kind
// ("/nodes/Car", "/relations/isOn"), one JSON message per version, and a message
// on "/publications" that closes each publication (its boundary). The messages
// carry the payload's named fields for generic viewers and the payload bytes in
// hex, so that a recording reads back exactly what was published.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "mcap.hpp"

namespace varnel::record {

using knowledge_graph::graph::NodeItem;
using knowledge_graph::graph::RelationItem;

// The versions one publication added, in slot order per kind.
struct Publication {
  std::uint64_t number = 0;     // 1, 2, ... in the recording
  std::uint64_t timestamp = 0;  // the published buffer's update_timestamp
  bool start = false;           // the scene as it stood when recording started
  bool cleared = false;         // a clear came before these versions (they start at slot 0)
  bool gap = false;             // publications before this one were lost
  std::uint64_t merged = 1;     // publications of the writer this one stands for
  // A compaction: the graph kept what compact(keep_since) keeps of the versions
  // recorded before and added none. The kept totals let a reader check that its
  // own compaction kept the same.
  bool compacted = false;
  std::uint64_t keep_since = 0;
  std::uint64_t kept_versions = 0, kept_node_payloads = 0, kept_relation_payloads = 0;
  std::vector<NodeItem> nodes;
  std::vector<RelationItem> relations;
};

struct RecordingInfo {
  std::string time_unit = "ms";  // what one host timestamp unit is: ms, us or ns
  std::uint64_t publications = 0, versions = 0, gaps = 0, merged = 0;
};

// Nanoseconds per host timestamp unit, 0 for an unknown unit.
std::uint64_t nanoseconds_per_unit(const std::string& unit);

struct Recording {
  RecordingInfo info;
  std::vector<Publication> publications;
};

// Takes each publication as it is read; false, with a reason, stops the read.
using PublicationSink = std::function<bool(Publication&&, std::string& error)>;

// Reads a recording front to back, handing on each publication once its
// /publications marker is read, so that memory stays bounded by the largest
// chunk and one publication. Versions that no graph could hold (relation kinds
// in lists or node kinds at endpoints beyond the vocabulary) are refused, naming
// the message and its channel. The file's last checks (CRCs, summary) come after
// its publications: a consumer acts on them only once this returns the info.
std::optional<RecordingInfo> read_publications(const std::string& path, const PublicationSink& each,
                                               std::string& error);

// What read_moment found and how much of the file it read.
struct MomentRead {
  std::uint64_t publications = 0;       // in the whole recording
  std::optional<std::uint64_t> moment;  // the publication (1-based) at the moment; none: before the first
  std::uint64_t moment_time = 0, first_time = 0;
  std::uint64_t chunks = 0, chunks_read = 0;
};
enum class Seek { read, no_index, failed };

// The scene at the last publication at or before `time` (the recording's end
// without one) through the file's summary and chunk indexes: hands on the
// publications from the last fresh start at or before that moment up to it,
// reading only the chunks from there to the moment (and, to find the fresh
// start, their markers on the way back). `no_index` when the file has no chunk
// indexes or recording metadata index to seek with (then read it front to back);
// `failed`, with `error`, when what it read is damaged.
Seek read_moment(const std::string& path, std::optional<std::uint64_t> time, const PublicationSink& each,
                 MomentRead& out, std::string& error);

// Reads a whole recording back into memory (small files, tests); a file that is
// not a valid recording gives an error that says what is wrong.
std::optional<Recording> read_recording(const std::string& path, std::string& error);
std::optional<Recording> read_recording_bytes(std::string_view bytes, std::string& error);

}  // namespace varnel::record
