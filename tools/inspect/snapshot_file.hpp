// Snapshot files: the published state of a graph, kept after its region is gone.
//
// Layout (little-endian): a 64-byte header, then the payload:
//   the published GraphIndices (304 bytes);
//   for node kinds 0..17 the NodeRecords below the kind's tail;
//   the node values below nodes_tail;
//   for relation kinds 0..16 the RelationRecords below the kind's tail;
//   the relation values below relations_tail.
// Only published slots are kept, so a file is as large as the scene, not 520 MB.
// A file is checked whole (magic, version, record size, payload size, checksum,
// tails and payload positions within the arrays) before anything is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "knowledge_graph/graph/knowledge_graph.hpp"

namespace varnel::inspect {

struct SnapshotHeader {
  char magic[8];                // "VARNELKG"
  std::uint32_t format_version; // kSnapshotFormatVersion
  std::uint32_t header_size;    // 64
  std::uint64_t record_size;    // sizeof(KnowledgeGraph): the layout the slots come from
  std::uint64_t payload_size;   // bytes after the header
  std::uint64_t checksum;       // FNV-1a (64-bit) of the payload
  std::uint8_t autocommit;      // the graph's autocommit flag when saved
  std::uint8_t reserved[23];
};
static_assert(sizeof(SnapshotHeader) == 64);

inline constexpr char kSnapshotMagic[8] = {'V', 'A', 'R', 'N', 'E', 'L', 'K', 'G'};
inline constexpr std::uint32_t kSnapshotFormatVersion = 1;

// A checked snapshot in memory.
struct Snapshot {
  knowledge_graph::graph::GraphIndices indices{};
  bool autocommit = true;
  std::vector<unsigned char> payload;  // as in the file, indices included
};

// Payload bytes of the largest graph there can be (every array full): a file
// that claims more is refused before anything is allocated.
std::uint64_t max_payload_size();

// Copies the published state of `graph` (retrying while a writer clears it).
// False, with `error` saying what is wrong, when the published state is damaged
// (tails beyond the arrays, payload positions outside them): such a graph is
// not saved, since no reader could load the file.
bool take_snapshot(const knowledge_graph::graph::KnowledgeGraph& graph, Snapshot& snapshot,
                   std::string& error);

// Writes `snapshot` to `path` through a temporary file created exclusively
// (never through a planted link) in the same folder and renamed over `path`,
// so that a failed save leaves an existing file as it was.
bool write_snapshot_file(const Snapshot& snapshot, const std::string& path, std::string& error);

// Output files of the tools (recordings, Graphviz sources, pictures) are never
// written through a link planted at their name: opens `path` for writing
// (created, or an existing regular file emptied) without following a link
// there. Returns a descriptor, or -1 with `error` naming the path and what to do.
int open_output_file(const std::string& path, std::string& error);
// Writes all bytes to a descriptor; false on a write error (errno set).
bool write_all(int fd, const void* data, std::size_t size);
// Closes an output file (synced first); false when its bytes may be lost.
bool close_output_file(int fd);
// Nothing when `path` is no link (or does not exist); else why it is refused.
std::optional<std::string> planted_link_error(const std::string& path);
// A new private file with an unguessable name beside `path`, created
// exclusively: its descriptor (its name in `temporary`), or -1 with errno set.
int create_temporary(const std::string& path, std::string& temporary);

// Reads and checks the file; false with `error` set for a damaged or foreign file.
bool read_snapshot_file(const std::string& path, Snapshot& snapshot, std::string& error);
// The same checks on a file's bytes already in memory (`name` names it in errors).
bool parse_snapshot(const unsigned char* data, std::size_t size, const std::string& name,
                    Snapshot& snapshot, std::string& error);

// Replaces the graph's content by the snapshot as a writer would: clears it,
// fills the slots above the emptied tails, then publishes the snapshot's
// bookkeeping at once and restores its autocommit flag.
void install_snapshot(const Snapshot& snapshot, knowledge_graph::graph::KnowledgeGraph& graph);

std::uint64_t fnv1a(const unsigned char* data, std::size_t size);

}  // namespace varnel::inspect
