// Snapshot images: the published state of a graph as bytes, to keep after its
// region is gone (the inspector's and Python's snapshot files) and to load into a
// graph again. The payload after the header is the published bookkeeping followed
// by that state as a whole-state raw span (see raw_span.hpp), so an image is as
// large as the scene, is checked exactly as a span is, and loads the way a span
// afresh is installed: readers never see an empty graph in between.
//
// Layout (little-endian): a 64-byte SnapshotHeader, then the payload:
//   the published GraphIndices (304 bytes);
//   for node kinds 0..17 the NodeRecords below the kind's tail;
//   the node values below nodes_tail;
//   for relation kinds 0..16 the RelationRecords below the kind's tail;
//   the relation values below relations_tail.
//
// Thread rules: take_snapshot_image is a reader (any process, no lock; it copies
// again when a clear or compaction overlapped its copy); install_snapshot_image is
// a write (the graph's one writer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/raw_span.hpp"

namespace knowledge_graph::graph {

struct SnapshotHeader {
  char magic[8];                 // "VARNELKG"
  std::uint32_t format_version;  // kSnapshotFormatVersion
  std::uint32_t header_size;     // 64
  std::uint64_t record_size;     // sizeof(KnowledgeGraph): the layout the slots come from
  std::uint64_t payload_size;    // bytes after the header
  std::uint64_t checksum;        // FNV-1a (64-bit) of the payload
  std::uint8_t autocommit;       // the graph's autocommit flag when saved
  std::uint8_t reserved[23];
};
static_assert(sizeof(SnapshotHeader) == 64 && offsetof(SnapshotHeader, record_size) == 16 &&
              offsetof(SnapshotHeader, payload_size) == 24 && offsetof(SnapshotHeader, checksum) == 32 &&
              offsetof(SnapshotHeader, autocommit) == 40);

inline constexpr char kSnapshotMagic[8] = {'V', 'A', 'R', 'N', 'E', 'L', 'K', 'G'};
inline constexpr std::uint32_t kSnapshotFormatVersion = 1;

// A graph's published state, checked.
struct SnapshotImage {
  GraphIndices indices{};
  bool autocommit = true;
  std::vector<std::byte> span;  // the whole-state raw span of `indices`
};

// Payload bytes of the largest graph there can be (every array full): a file
// that claims more is refused before anything is allocated.
std::uint64_t max_snapshot_payload_size();

std::uint64_t fnv1a(const unsigned char* data, std::size_t size);

// Copies the published state of `graph`. Nothing when it is damaged (a tail
// beyond its array, a version no graph could hold): such a state is not saved,
// since no graph could load it; `error` says what is wrong.
std::optional<SnapshotImage> take_snapshot_image(const KnowledgeGraph& graph, std::string& error);

// The header for `image`, and the payload bytes that follow it.
SnapshotHeader snapshot_header(const SnapshotImage& image);
std::vector<std::byte> snapshot_payload(const SnapshotImage& image);

// Why a header cannot start a snapshot of `file_size` bytes, or nothing: magic,
// version, record layout, a payload size no graph could have or the file does not hold.
std::optional<std::string> snapshot_header_error(const SnapshotHeader& header, std::uint64_t file_size);
// Checks a payload read after a good header (checksum, tails, every version and
// payload as install_raw_span would) and makes the image of it.
std::optional<SnapshotImage> parse_snapshot_payload(const SnapshotHeader& header,
                                                    std::span<const std::byte> payload,
                                                    std::string& error);
// A whole file's bytes: the header's checks, then the payload's.
std::optional<SnapshotImage> parse_snapshot_bytes(std::span<const std::byte> bytes, std::string& error);

// Replaces the graph's content with the image as its writer, then restores the
// image's autocommit flag. An open batch ends first (its writes would be replaced
// with everything else). Refused, the content left as it was, when this process
// is not the writer.
InstallResult install_snapshot_image(KnowledgeGraph& graph, const SnapshotImage& image);

}  // namespace knowledge_graph::graph
