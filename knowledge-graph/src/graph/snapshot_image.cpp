#include "knowledge_graph/graph/snapshot_image.hpp"

#include <bit>
#include <cstring>

namespace knowledge_graph::graph {

static_assert(std::endian::native == std::endian::little, "snapshot images are little-endian");

std::uint64_t max_snapshot_payload_size() {
  GraphIndices full{};
  full.node_index_tail.fill(kNodeVersionsPerKind);
  full.relation_index_tail.fill(kRelationVersionsPerKind);
  full.nodes_tail = kNodeValues;
  full.relations_tail = kRelationValues;
  return sizeof(GraphIndices) + raw_span_size(GraphIndices{}, full);
}

std::uint64_t fnv1a(const unsigned char* data, std::size_t size) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 0x100000001b3ull;
  return hash;
}

namespace {

// The versions' padding holds the saving graph's index stamps, which no other
// graph uses: an image keeps it zero, so that a graph saved, loaded and saved
// again gives the same bytes.
template <class Record>
std::size_t zero_padding(std::byte* at, std::uint64_t count) {
  for (std::uint64_t i = 0; i < count; ++i)
    std::memset(at + i * sizeof(Record) + offsetof(Record, padding), 0, sizeof(Record::padding));
  return count * sizeof(Record);
}

void zero_paddings(const GraphIndices& tails, std::vector<std::byte>& span) {
  std::byte* at = span.data();
  for (std::uint64_t k = 0; k < kNodeKinds; ++k) at += zero_padding<NodeRecord>(at, tails.node_index_tail[k]);
  at += tails.nodes_tail * sizeof(KnowledgeGraphNode);
  for (std::uint64_t k = 0; k < kRelationKinds; ++k)
    at += zero_padding<RelationRecord>(at, tails.relation_index_tail[k]);
}

}  // namespace

std::optional<SnapshotImage> take_snapshot_image(const KnowledgeGraph& graph, std::string& error) {
  for (;;) {
    const Snapshot taken = graph.snapshot();
    // The reads clamp damaged tails; a save must not: the bookkeeping as stored.
    // (A writer never publishes a tail beyond its array, so a concurrent write
    // cannot make a sound graph look damaged here.)
    GraphIndices stored;
    std::memcpy(&stored, &graph.indices[taken.active], sizeof stored);
    std::optional<std::string> problem = span_shape_error(GraphIndices{}, stored);
    if (!problem) problem = span_shape_error(GraphIndices{}, taken.indices);
    SnapshotImage image;
    image.indices = taken.indices;
    image.autocommit = graph.autocommit_enabled();
    if (!problem) {
      if (!copy_raw_span(graph, GraphIndices{}, taken, image.span)) continue;  // overtaken
      problem = raw_span_error(GraphIndices{}, image.indices, image.span, true);
    }
    if (graph.cleared_since(taken)) continue;
    if (!problem) zero_paddings(image.indices, image.span);
    if (problem) {
      error = "the graph's published state is damaged (" + *problem +
              "); nothing was saved: a file of it could not be loaded";
      return std::nullopt;
    }
    return image;
  }
}

SnapshotHeader snapshot_header(const SnapshotImage& image) {
  const std::vector<std::byte> payload = snapshot_payload(image);
  SnapshotHeader header{};
  std::memcpy(header.magic, kSnapshotMagic, sizeof(header.magic));
  header.format_version = kSnapshotFormatVersion;
  header.header_size = sizeof(SnapshotHeader);
  header.record_size = sizeof(KnowledgeGraph);
  header.payload_size = payload.size();
  header.checksum = fnv1a(reinterpret_cast<const unsigned char*>(payload.data()), payload.size());
  header.autocommit = image.autocommit ? 1 : 0;
  return header;
}

std::vector<std::byte> snapshot_payload(const SnapshotImage& image) {
  std::vector<std::byte> payload(sizeof(GraphIndices) + image.span.size());
  std::memcpy(payload.data(), &image.indices, sizeof(GraphIndices));
  if (!image.span.empty())
    std::memcpy(payload.data() + sizeof(GraphIndices), image.span.data(), image.span.size());
  return payload;
}

std::optional<std::string> snapshot_header_error(const SnapshotHeader& header, std::uint64_t file_size) {
  if (std::memcmp(header.magic, kSnapshotMagic, sizeof(header.magic)) != 0)
    return "not a varnel snapshot file (no \"VARNELKG\" header)";
  if (header.format_version != kSnapshotFormatVersion || header.header_size != sizeof(header))
    return "snapshot format version " + std::to_string(header.format_version) +
           " is not supported (this tool reads version " + std::to_string(kSnapshotFormatVersion) + ")";
  if (header.record_size != sizeof(KnowledgeGraph))
    return "saved from a graph record of " + std::to_string(header.record_size) +
           " bytes; this tool's record has " + std::to_string(sizeof(KnowledgeGraph));
  // Before any sum with it, which could wrap, and before anything is allocated.
  if (header.payload_size > max_snapshot_payload_size())
    return "the header claims a payload of " + std::to_string(header.payload_size) +
           " bytes, more than the largest possible graph (" +
           std::to_string(max_snapshot_payload_size()) + " bytes): the file is damaged";
  if (file_size != sizeof(header) + header.payload_size || header.payload_size < sizeof(GraphIndices))
    return "truncated or padded: " + std::to_string(file_size) + " bytes, header says " +
           std::to_string(sizeof(header) + header.payload_size);
  return std::nullopt;
}

std::optional<SnapshotImage> parse_snapshot_payload(const SnapshotHeader& header,
                                                    std::span<const std::byte> payload,
                                                    std::string& error) {
  if (payload.size() != header.payload_size || payload.size() < sizeof(GraphIndices)) {
    error = "the payload holds " + std::to_string(payload.size()) + " bytes where the header says " +
            std::to_string(header.payload_size);
    return std::nullopt;
  }
  if (fnv1a(reinterpret_cast<const unsigned char*>(payload.data()), payload.size()) != header.checksum) {
    error = "checksum mismatch: the file is damaged";
    return std::nullopt;
  }
  SnapshotImage image;
  std::memcpy(&image.indices, payload.data(), sizeof(GraphIndices));
  const auto span = payload.subspan(sizeof(GraphIndices));
  if (auto problem = raw_span_error(GraphIndices{}, image.indices, span, true)) {
    error = "inconsistent content: " + *problem;
    return std::nullopt;
  }
  image.span.assign(span.begin(), span.end());
  image.autocommit = header.autocommit != 0;
  return image;
}

std::optional<SnapshotImage> parse_snapshot_bytes(std::span<const std::byte> bytes, std::string& error) {
  SnapshotHeader header{};
  if (bytes.size() < sizeof(header)) {
    error = "not a varnel snapshot file (no \"VARNELKG\" header)";
    return std::nullopt;
  }
  std::memcpy(&header, bytes.data(), sizeof(header));
  if (auto problem = snapshot_header_error(header, bytes.size())) {
    error = *problem;
    return std::nullopt;
  }
  return parse_snapshot_payload(header, bytes.subspan(sizeof(header)), error);
}

InstallResult install_snapshot_image(KnowledgeGraph& graph, const SnapshotImage& image) {
  // An open batch would be replaced with the rest of the content: it ends here.
  if (!graph.autocommit_enabled()) graph.set_autocommit(true);
  InstallResult result = install_raw_span(graph, GraphIndices{}, image.indices, image.span, true);
  if (result.status == InstallStatus::Installed) graph.set_autocommit(image.autocommit);
  return result;
}

}  // namespace knowledge_graph::graph
