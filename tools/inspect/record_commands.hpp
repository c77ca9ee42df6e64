// The inspector's recording commands: `record` (follow the live graph into an
// MCAP file), `replay` (republish a recording into the region, as a host) and
// reading a recording with --file.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include <CLI/CLI.hpp>

#include "graph_session/graph_session.hpp"
#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "shared_memory_interface/memory_interface.hpp"

namespace varnel::inspect {

// Thrown with a message that says what failed and what to do.
struct RecordingFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Whether `path` starts like an MCAP file.
bool is_recording_file(const std::string& path);

// Fills `graph` (fresh) with the recorded scene as it stood at `time` (the last
// publication at or before it; default: the recording's end). Returns a description.
std::string load_recording_moment(const std::string& path, std::optional<std::uint64_t> time,
                                  knowledge_graph::graph::KnowledgeGraph& graph);

// Every recorded version of one node or relation, across clears.
int recording_history(const std::string& path, const std::string& kind_text, std::uint64_t id,
                      bool relation);

// Opens the region as its one writer for a command that replaces the scene
// (load, replay): a live host keeps its scene, --force or not, and the graph is
// not emptied at the take, only once the command replaces it. Throws
// RecordingFailure naming the cause, ending in "; nothing was changed".
std::unique_ptr<graph_session::GraphSession> open_scene_writer(graph_session::Options options);

class RecordCommands {
 public:
  void add_to(CLI::App& app);
  // The session options of the region to record or replay into (default: the
  // region "KnowledgeGraph").
  void use_region(const graph_session::Options& options);
  // Runs the chosen command if it is one of these; true when it was.
  bool run(int& status, const std::atomic<bool>& stop);

 private:
  CLI::App* record_ = nullptr;
  CLI::App* replay_ = nullptr;
  std::string record_path_, replay_path_, time_unit_ = "ms";
  double duration_ = 0, rate_ = 1.0, writer_wait_ms_ = 50;
  std::uint64_t max_publications_ = 0;
  std::string compression_;          // empty: the build's default (zstd where it has it)
  std::uint64_t chunk_size_ = 1 << 20;
  bool loop_ = false, force_ = false, quiet_ = false, scene_ = false;
};

}  // namespace varnel::inspect
