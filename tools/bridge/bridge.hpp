// varnel-bridge: mirrors a live graph to other computers over DDS (Fast DDS).
//
// Two topics, both reliable and in order:
// - "varnel/publications" (GraphPublication): the publisher's stream. Each sample
//   is one publication of the source graph as the publisher observed it: the raw
//   span of versions and payloads appended since the previous sample, or (afresh)
//   the whole record below the tails after a clear, a compaction, a restart, or
//   on request. Samples carry the publisher's session (random per run) and a
//   number (+1 per publication). An afresh sample sent on request repeats the
//   current number: mirrors that already hold that publication skip it.
// - "varnel/state-requests" (StateRequest): a mirror that joined, lost its place
//   (a gap in the numbers, another session, a span that does not start where it
//   stands) or refused a sample asks for the whole state, again every 500 ms
//   until it has it.
// Volatile durability: nothing is kept for late joiners; they ask.
//
// Transports are Fast DDS's business: the participant takes the default profile
// (FASTRTPS_DEFAULT_PROFILES_FILE, if set), so deployments choose interfaces and
// peers without this program knowing.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace varnel::bridge {

struct Options {
  std::string region = "KnowledgeGraph";
  std::uint32_t domain = 0;
  std::uint32_t poll_micros = 200;   // publisher: how often it looks at the region
  double status_seconds = 1.0;       // progress line period; 0: none
  double duration = 0;               // seconds to run; 0 until a signal
};

// Set by the signal handlers: the loops end and the programs exit cleanly.
extern std::atomic<bool> g_stop;

// Both return the process exit code; errors are printed with what to do.
int run_publisher(const Options& options);
int run_mirror(const Options& options);

inline constexpr const char* kPublicationsTopic = "varnel/publications";
inline constexpr const char* kRequestsTopic = "varnel/state-requests";

}  // namespace varnel::bridge
