// Snapshot files: a graph's published state kept in a file after its region is
// gone. The format and its checks are the graph's snapshot images
// (knowledge_graph/graph/snapshot_image.hpp); this adds the files: written through
// a temporary file and a rename, never through a link planted at the name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/snapshot_image.hpp"

namespace varnel::inspect {

using Snapshot = knowledge_graph::graph::SnapshotImage;
using knowledge_graph::graph::SnapshotHeader;

// Copies the published state of `graph` (again while a writer clears or compacts
// it). False, with `error` saying what is wrong, when the published state is
// damaged: such a graph is not saved, since no reader could load the file.
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

// Reads and checks the whole file; false with `error` set for a damaged or foreign file.
bool read_snapshot_file(const std::string& path, Snapshot& snapshot, std::string& error);
// The same checks on a file's bytes already in memory (`name` names it in errors).
bool parse_snapshot(const unsigned char* data, std::size_t size, const std::string& name,
                    Snapshot& snapshot, std::string& error);

// Replaces the graph's content by the snapshot as its writer (readers never see an
// empty graph in between) and restores its autocommit flag; false, the content
// left as it was, with `error` saying why.
bool install_snapshot(const Snapshot& snapshot, knowledge_graph::graph::KnowledgeGraph& graph,
                      std::string& error);

}  // namespace varnel::inspect
