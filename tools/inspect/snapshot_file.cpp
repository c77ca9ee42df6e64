#include "snapshot_file.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

// What is wrong with the tails, or "" when they stay within the arrays.
std::string tails_problem(const GraphIndices& g) {
  auto beyond = [](const std::string& what, std::uint64_t tail, std::uint64_t capacity) {
    return what + " is " + std::to_string(tail) + ", beyond its " + std::to_string(capacity) +
           " slots";
  };
  for (std::uint64_t k = 0; k < kNodeKinds; ++k)
    if (g.node_index_tail[k] > kNodeVersionsPerKind)
      return beyond("node_index_tail[" + std::to_string(k) + "]", g.node_index_tail[k],
                    kNodeVersionsPerKind);
  for (std::uint64_t k = 0; k < kRelationKinds; ++k)
    if (g.relation_index_tail[k] > kRelationVersionsPerKind)
      return beyond("relation_index_tail[" + std::to_string(k) + "]", g.relation_index_tail[k],
                    kRelationVersionsPerKind);
  if (g.nodes_tail > kNodeValues) return beyond("nodes_tail", g.nodes_tail, kNodeValues);
  if (g.relations_tail > kRelationValues)
    return beyond("relations_tail", g.relations_tail, kRelationValues);
  return {};
}

// Every stored payload position must lie inside its array: a reader follows
// them. What is wrong, or "" (tails already within capacity).
std::string positions_problem(const Snapshot& s) {
  const unsigned char* at = s.payload.data() + sizeof(GraphIndices);
  for (std::uint64_t k = 0; k < kNodeKinds; ++k)
    for (std::uint64_t i = 0; i < s.indices.node_index_tail[k]; ++i, at += sizeof(NodeRecord)) {
      NodeRecord record;
      std::memcpy(&record, at, sizeof(record));
      if (record.value_index >= kNodeValues)
        return "node version " + std::to_string(i) + " of kind " + std::to_string(k) +
               " points at payload " + std::to_string(record.value_index) + ", outside the " +
               std::to_string(kNodeValues) + " node payloads";
    }
  at += s.indices.nodes_tail * sizeof(KnowledgeGraphNode);
  for (std::uint64_t k = 0; k < kRelationKinds; ++k)
    for (std::uint64_t i = 0; i < s.indices.relation_index_tail[k]; ++i, at += sizeof(RelationRecord)) {
      RelationRecord record;
      std::memcpy(&record, at, sizeof(record));
      if (record.value_index >= kRelationValues)
        return "relation version " + std::to_string(i) + " of kind " + std::to_string(k) +
               " points at payload " + std::to_string(record.value_index) + ", outside the " +
               std::to_string(kRelationValues) + " relation payloads";
    }
  return {};
}

using Refuse = std::function<bool(const std::string&)>;

// The header alone, against the size of the file it came with.
bool check_header(const SnapshotHeader& header, std::uint64_t file_size, const Refuse& refuse) {
  if (std::memcmp(header.magic, kSnapshotMagic, sizeof(header.magic)) != 0)
    return refuse("not a varnel snapshot file (no \"VARNELKG\" header)");
  if (header.format_version != kSnapshotFormatVersion || header.header_size != sizeof(header))
    return refuse("snapshot format version " + std::to_string(header.format_version) +
                  " is not supported (this tool reads version " +
                  std::to_string(kSnapshotFormatVersion) + ")");
  if (header.record_size != sizeof(KnowledgeGraph))
    return refuse("saved from a graph record of " + std::to_string(header.record_size) +
                  " bytes; this tool's record has " + std::to_string(sizeof(KnowledgeGraph)));
  // Before any sum with it, which could wrap, and before anything is allocated.
  if (header.payload_size > max_payload_size())
    return refuse("the header claims a payload of " + std::to_string(header.payload_size) +
                  " bytes, more than the largest possible graph (" +
                  std::to_string(max_payload_size()) + " bytes): the file is damaged");
  if (file_size != sizeof(header) + header.payload_size || header.payload_size < sizeof(GraphIndices))
    return refuse("truncated or padded: " + std::to_string(file_size) + " bytes, header says " +
                  std::to_string(sizeof(header) + header.payload_size));
  return true;
}

// The payload read after a good header.
bool check_payload(const SnapshotHeader& header, Snapshot& snapshot, const Refuse& refuse) {
  if (fnv1a(snapshot.payload.data(), snapshot.payload.size()) != header.checksum)
    return refuse("checksum mismatch: the file is damaged");
  std::memcpy(&snapshot.indices, snapshot.payload.data(), sizeof(GraphIndices));
  std::string problem = tails_problem(snapshot.indices);
  if (problem.empty() && payload_size_for(snapshot.indices) != snapshot.payload.size())
    problem = "the payload's size does not match its tails";
  if (problem.empty()) problem = positions_problem(snapshot);
  if (!problem.empty()) return refuse("inconsistent content: " + problem);
  snapshot.autocommit = header.autocommit != 0;
  return true;
}

#ifdef _WIN32
int open_exclusive(const std::string& path) {
  return ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}
}  // namespace
bool write_all(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const unsigned chunk = static_cast<unsigned>(std::min<std::size_t>(size, 1u << 30));
    const int written = ::_write(fd, bytes, chunk);
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}
namespace {
bool sync_and_close(int fd) { return ::_close(fd) == 0; }
int open_no_follow(const std::string& path) {
  return ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
}
#else
// O_EXCL never opens an existing name, a planted link included; O_NOFOLLOW says
// so twice.
int open_exclusive(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}
}  // namespace
bool write_all(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}
namespace {
bool sync_and_close(int fd) {
  const bool synced = ::fsync(fd) == 0;
  return ::close(fd) == 0 && synced;
}
// O_NOFOLLOW refuses a link at the name (ELOOP); O_NONBLOCK keeps a FIFO there
// from blocking the open, and the descriptor is checked to be a regular file.
int open_no_follow(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  if (::fcntl(fd, F_SETFL, 0) != 0 || ::ftruncate(fd, 0) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}
#endif
}  // namespace

int create_temporary(const std::string& name, std::string& temporary) {
  const std::filesystem::path path(name);
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[20];
    std::snprintf(suffix, sizeof suffix, ".%08x%08x", random(), random());
    const std::filesystem::path candidate =
        path.parent_path() / ("." + path.filename().string() + suffix + ".partial");
    temporary = candidate.string();
    const int fd = open_exclusive(temporary);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

bool close_output_file(int fd) { return sync_and_close(fd); }

std::optional<std::string> planted_link_error(const std::string& path) {
  std::error_code ignored;
  if (!std::filesystem::is_symlink(std::filesystem::symlink_status(path, ignored))) return std::nullopt;
  return path + " is a symbolic link: it is not written through; remove the link or name another file";
}

int open_output_file(const std::string& path, std::string& error) {
  if (auto refused = planted_link_error(path)) {
    error = "cannot write " + *refused;
    return -1;
  }
  const int fd = open_no_follow(path);
  if (fd >= 0) return fd;
  if (errno == ELOOP)  // a link planted since the look above
    error = "cannot write " + planted_link_error(path).value_or(path + " (a symbolic link)");
  else if (errno == EINVAL)
    error = "cannot write " + path + ": it is no regular file (a folder, FIFO or device?); name a file";
  else
    error = "cannot write " + path + ": " + std::strerror(errno) + " (check the folder and its permissions)";
  return -1;
}

std::uint64_t max_payload_size() {
  GraphIndices full{};
  full.node_index_tail.fill(kNodeVersionsPerKind);
  full.relation_index_tail.fill(kRelationVersionsPerKind);
  full.nodes_tail = kNodeValues;
  full.relations_tail = kRelationValues;
  return payload_size_for(full);
}

std::uint64_t fnv1a(const unsigned char* data, std::size_t size) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 0x100000001b3ull;
  return hash;
}

bool take_snapshot(const KnowledgeGraph& graph, Snapshot& out, std::string& error) {
  for (;;) {
    // Slots below published tails are never rewritten, except after a clear.
    const knowledge_graph::graph::Snapshot taken = graph.snapshot();
    out = Snapshot{};
    out.indices = taken.indices;
    out.autocommit = graph.autocommit_enabled();
    // The reads clamp damaged tails; a save must not: the bookkeeping as stored.
    // (A writer never publishes a tail beyond its array, so a concurrent write
    // cannot make a sound graph look damaged here.)
    GraphIndices stored;
    std::memcpy(&stored, &graph.indices[taken.active], sizeof stored);
    std::string problem = tails_problem(stored);
    if (problem.empty()) problem = tails_problem(taken.indices);
    if (problem.empty()) {
      out.payload = collect(graph, taken.indices);
      problem = positions_problem(out);
    }
    if (graph.cleared_since(taken)) continue;
    if (!problem.empty()) {
      error = "the graph's published state is damaged (" + problem +
              "); nothing was saved: a file of it could not be loaded";
      return false;
    }
    return true;
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

  std::string temporary;
  const int fd = create_temporary(path, temporary);
  if (fd < 0) {
    error = "cannot write " + path + ": cannot create a temporary file beside it (" +
            std::strerror(errno) + "; folder missing or read-only?)";
    return false;
  }
  const bool written = write_all(fd, &header, sizeof(header)) &&
                       write_all(fd, snapshot.payload.data(), snapshot.payload.size());
  const int write_error = errno;
  if (!sync_and_close(fd) || !written) {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    error = "cannot write " + path + " (" + std::strerror(write_error) + "; disk full?)";
    return false;
  }
  std::error_code failed;
  std::filesystem::rename(temporary, path, failed);
  if (failed) {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    error = "cannot write " + path + ": " + failed.message();
    return false;
  }
  return true;
}

bool parse_snapshot(const unsigned char* data, std::size_t size, const std::string& name,
                    Snapshot& snapshot, std::string& error) {
  const Refuse refuse = [&](const std::string& why) {
    error = name + ": " + why;
    return false;
  };
  SnapshotHeader header{};
  if (size < sizeof(header)) return refuse("not a varnel snapshot file (no \"VARNELKG\" header)");
  std::memcpy(&header, data, sizeof(header));
  if (!check_header(header, size, refuse)) return false;
  snapshot.payload.assign(data + sizeof(header), data + size);
  return check_payload(header, snapshot, refuse);
}

bool read_snapshot_file(const std::string& path, Snapshot& snapshot, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path + " for reading";
    return false;
  }
  const Refuse refuse = [&](const std::string& why) {
    error = path + ": " + why;
    return false;
  };
  SnapshotHeader header{};
  if (!in.read(reinterpret_cast<char*>(&header), sizeof(header)))
    return refuse("not a varnel snapshot file (no \"VARNELKG\" header)");
  in.seekg(0, std::ios::end);
  const std::streamoff end = in.tellg();
  if (end < 0) return refuse("read error");
  if (!check_header(header, static_cast<std::uint64_t>(end), refuse)) return false;
  snapshot.payload.resize(header.payload_size);
  in.seekg(sizeof(header));
  if (!in.read(reinterpret_cast<char*>(snapshot.payload.data()),
               static_cast<std::streamsize>(snapshot.payload.size())))
    return refuse("read error");
  return check_payload(header, snapshot, refuse);
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
