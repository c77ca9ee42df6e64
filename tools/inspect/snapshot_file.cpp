#include "snapshot_file.hpp"

#include <bit>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace varnel::inspect {
namespace {

using knowledge_graph::graph::GraphIndices;
using knowledge_graph::graph::KnowledgeGraph;
using knowledge_graph::graph::kNodeKinds;
using knowledge_graph::graph::kNodeValues;
using knowledge_graph::graph::kNodeVersionsPerKind;
using knowledge_graph::graph::kRelationKinds;
using knowledge_graph::graph::kRelationValues;
using knowledge_graph::graph::kRelationVersionsPerKind;
using knowledge_graph::graph::KnowledgeGraphNode;
using knowledge_graph::graph::KnowledgeGraphRelation;
using knowledge_graph::graph::NodeRecord;
using knowledge_graph::graph::RelationRecord;

static_assert(std::endian::native == std::endian::little, "snapshot files are little-endian");

void append(std::vector<unsigned char>& out, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  out.insert(out.end(), bytes, bytes + size);
}

bool tails_within_capacity(const GraphIndices& g) {
  for (std::uint64_t t : g.node_index_tail)
    if (t > kNodeVersionsPerKind) return false;
  for (std::uint64_t t : g.relation_index_tail)
    if (t > kRelationVersionsPerKind) return false;
  return g.nodes_tail <= kNodeValues && g.relations_tail <= kRelationValues;
}

// Payload bytes that the tails call for (tails already within capacity).
std::uint64_t payload_size_for(const GraphIndices& g) {
  std::uint64_t size = sizeof(GraphIndices);
  for (std::uint64_t t : g.node_index_tail) size += t * sizeof(NodeRecord);
  size += g.nodes_tail * sizeof(KnowledgeGraphNode);
  for (std::uint64_t t : g.relation_index_tail) size += t * sizeof(RelationRecord);
  size += g.relations_tail * sizeof(KnowledgeGraphRelation);
  return size;
}

std::vector<unsigned char> collect(const KnowledgeGraph& graph, const GraphIndices& g) {
  std::vector<unsigned char> out;
  out.reserve(payload_size_for(g));
  append(out, &g, sizeof(g));
  for (std::uint64_t k = 0; k < kNodeKinds; ++k)
    append(out, graph.node_records[k], g.node_index_tail[k] * sizeof(NodeRecord));
  append(out, graph.node_values, g.nodes_tail * sizeof(KnowledgeGraphNode));
  for (std::uint64_t k = 0; k < kRelationKinds; ++k)
    append(out, graph.relation_records[k], g.relation_index_tail[k] * sizeof(RelationRecord));
  append(out, graph.relation_values, g.relations_tail * sizeof(KnowledgeGraphRelation));
  return out;
}

// Every stored payload position must lie inside its array: a reader follows them.
bool positions_within_arrays(const Snapshot& s) {
  const unsigned char* at = s.payload.data() + sizeof(GraphIndices);
  for (std::uint64_t k = 0; k < kNodeKinds; ++k)
    for (std::uint64_t i = 0; i < s.indices.node_index_tail[k]; ++i, at += sizeof(NodeRecord)) {
      NodeRecord record;
      std::memcpy(&record, at, sizeof(record));
      if (record.value_index >= kNodeValues) return false;
    }
  at += s.indices.nodes_tail * sizeof(KnowledgeGraphNode);
  for (std::uint64_t k = 0; k < kRelationKinds; ++k)
    for (std::uint64_t i = 0; i < s.indices.relation_index_tail[k]; ++i, at += sizeof(RelationRecord)) {
      RelationRecord record;
      std::memcpy(&record, at, sizeof(record));
      if (record.value_index >= kRelationValues) return false;
    }
  return true;
}

}  // namespace

std::uint64_t fnv1a(const unsigned char* data, std::size_t size) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 0x100000001b3ull;
  return hash;
}

Snapshot take_snapshot(const KnowledgeGraph& graph) {
  for (;;) {
    // Slots below published tails are never rewritten, except after a clear.
    const knowledge_graph::graph::Snapshot taken = graph.snapshot();
    Snapshot out;
    out.indices = taken.indices;
    out.autocommit = graph.autocommit_enabled();
    out.payload = collect(graph, taken.indices);
    if (!graph.cleared_since(taken)) return out;
  }
}

bool write_snapshot_file(const Snapshot& snapshot, const std::string& path, std::string& error) {
  SnapshotHeader header{};
  std::memcpy(header.magic, kSnapshotMagic, sizeof(header.magic));
  header.format_version = kSnapshotFormatVersion;
  header.header_size = sizeof(SnapshotHeader);
  header.record_size = sizeof(KnowledgeGraph);
  header.payload_size = snapshot.payload.size();
  header.checksum = fnv1a(snapshot.payload.data(), snapshot.payload.size());
  header.autocommit = snapshot.autocommit ? 1 : 0;

  const std::string temporary = path + ".partial";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(&header), sizeof(header));
    out.write(reinterpret_cast<const char*>(snapshot.payload.data()),
              static_cast<std::streamsize>(snapshot.payload.size()));
    out.close();
    if (!out) {
      std::error_code ignored;
      std::filesystem::remove(temporary, ignored);
      error = "cannot write " + path + " (directory missing, read-only or disk full?)";
      return false;
    }
  }
  std::error_code failed;
  std::filesystem::rename(temporary, path, failed);
  if (failed) {
    std::filesystem::remove(temporary, failed);
    error = "cannot write " + path + ": " + failed.message();
    return false;
  }
  return true;
}

bool read_snapshot_file(const std::string& path, Snapshot& snapshot, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path + " for reading";
    return false;
  }
  SnapshotHeader header{};
  const auto refuse = [&](const std::string& why) {
    error = path + ": " + why;
    return false;
  };
  if (!in.read(reinterpret_cast<char*>(&header), sizeof(header)) ||
      std::memcmp(header.magic, kSnapshotMagic, sizeof(header.magic)) != 0)
    return refuse("not a varnel snapshot file (no \"VARNELKG\" header)");
  if (header.format_version != kSnapshotFormatVersion || header.header_size != sizeof(header))
    return refuse("snapshot format version " + std::to_string(header.format_version) +
                  " is not supported (this tool reads version " +
                  std::to_string(kSnapshotFormatVersion) + ")");
  if (header.record_size != sizeof(KnowledgeGraph))
    return refuse("saved from a graph record of " + std::to_string(header.record_size) +
                  " bytes; this tool's record has " + std::to_string(sizeof(KnowledgeGraph)));
  in.seekg(0, std::ios::end);
  const auto file_size = static_cast<std::uint64_t>(in.tellg());
  if (file_size != sizeof(header) + header.payload_size || header.payload_size < sizeof(GraphIndices))
    return refuse("truncated or padded: " + std::to_string(file_size) + " bytes, header says " +
                  std::to_string(sizeof(header) + header.payload_size));
  snapshot.payload.resize(header.payload_size);
  in.seekg(sizeof(header));
  if (!in.read(reinterpret_cast<char*>(snapshot.payload.data()),
               static_cast<std::streamsize>(snapshot.payload.size())))
    return refuse("read error");
  if (fnv1a(snapshot.payload.data(), snapshot.payload.size()) != header.checksum)
    return refuse("checksum mismatch: the file is damaged");
  std::memcpy(&snapshot.indices, snapshot.payload.data(), sizeof(GraphIndices));
  if (!tails_within_capacity(snapshot.indices) ||
      payload_size_for(snapshot.indices) != snapshot.payload.size() ||
      !positions_within_arrays(snapshot))
    return refuse("inconsistent content: tails or payload positions outside the graph's arrays");
  snapshot.autocommit = header.autocommit != 0;
  return true;
}

void install_snapshot(const Snapshot& snapshot, KnowledgeGraph& graph) {
  const GraphIndices& g = snapshot.indices;
  graph.set_autocommit(true);
  graph.clear();  // readers see an empty graph, and learn that slots are reused
  const unsigned char* at = snapshot.payload.data() + sizeof(GraphIndices);
  auto take = [&](void* destination, std::size_t size) {
    std::memcpy(destination, at, size);
    at += size;
  };
  for (std::uint64_t k = 0; k < kNodeKinds; ++k)
    take(graph.node_records[k], g.node_index_tail[k] * sizeof(NodeRecord));
  take(graph.node_values, g.nodes_tail * sizeof(KnowledgeGraphNode));
  for (std::uint64_t k = 0; k < kRelationKinds; ++k)
    take(graph.relation_records[k], g.relation_index_tail[k] * sizeof(RelationRecord));
  take(graph.relation_values, g.relations_tail * sizeof(KnowledgeGraphRelation));
  graph.publish(g);
  graph.set_autocommit(snapshot.autocommit);
}

}  // namespace varnel::inspect
