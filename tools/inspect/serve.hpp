// `varnel-inspect serve`: the live scene for robotics viewers and browsers.
//
// A WebSocket server speaking the viewers' protocol `foxglove.websocket.v1` on
// one port, with three JSON channels: /scene (foxglove.SceneUpdate), /graph
// (each publication's new versions, as a recording's channels hold them) and
// /stats. Plain HTTP on the same port answers with a page that draws the scene.
// The server reads the region like any other reader, so no client, slow or
// hostile, can hold up the host.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include <CLI/CLI.hpp>

#include "shared_memory_interface/memory_interface.hpp"

namespace varnel::inspect {

class ServeCommand {
 public:
  void add_to(CLI::App& app);
  // Runs the server when `serve` was chosen (until `stop`); true when it was.
  // `file`: a recording (played at its pace, over and over) or a snapshot file
  // to serve instead of the live region.
  bool run(int& status, const std::string& region,
           const shared_memory_interface::memory_interface::LockWait& wait, const std::string& file,
           const std::atomic<bool>& stop);

 private:
  CLI::App* command_ = nullptr;
  std::string bind_ = "127.0.0.1", time_unit_ = "ms";
  unsigned port_ = 8765;
  unsigned max_clients_ = 16;
  double poll_ms_ = 1.0;
};

}  // namespace varnel::inspect
