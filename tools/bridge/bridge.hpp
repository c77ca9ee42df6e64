// varnel-bridge: mirrors a live graph to other computers over DDS (Fast DDS).
//
// Two topics, both reliable and in order:
// - "varnel/publications" (GraphPublication): the publisher's stream. Each sample
//   is one publication of the source graph as the publisher observed it: the raw
//   span of versions and payloads appended since the previous sample, or (afresh)
//   the whole record below the tails after a clear, a compaction, a restart, or
//   on request. Samples carry the source's name (publish --name; by default
//   REGION@HOST), the publisher's session (random per run) with the time the run
//   began, and a number (+1 per publication). An afresh sample sent on request
//   repeats the current number: mirrors that already hold that publication skip it.
// - "varnel/state-requests" (StateRequest): a mirror that joined, lost its place
//   (a gap in the numbers, another session, a span that does not start where it
//   stands) or refused a sample asks for the whole state, again every 500 ms
//   until it has it. A request names the source the mirror follows; publishers
//   of other sources ignore it.
//
// A mirror follows one source: the one named by mirror --source, else the first
// it hears from, for its whole run. Samples of other sources are ignored (logged
// once per source). A new run of the followed source (a restarted publisher)
// replaces the old one; samples of a run older than the newest seen are ignored,
// so two publishers under one name cannot make it alternate either. Silence does
// not make it switch: publishers send only on change, so a quiet source and a
// gone one look alike; the region keeps the last state.
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
  // Publisher: a commit wakes it (the region's publication signal); between
  // commits it looks at the region every `poll_micros`, which bounds how late it
  // sees a clear or compaction that no commit follows (they keep the last update).
  // With `busy_micros` > 0 it looks every `busy_poll_micros` instead (0: gives
  // the processor up and looks again at once) for that long after a change: for
  // regions without a signal, where looking is the only way to notice a commit.
  std::uint32_t poll_micros = 200;
  std::uint32_t busy_poll_micros = 20;
  std::uint32_t busy_micros = 0;
  double status_seconds = 1.0;       // progress line period; 0: none
  double duration = 0;               // seconds to run; 0 until a signal
  std::string name;                  // publisher: the source's name; empty: REGION@HOST
  std::string source;                // mirror: the source to follow; empty: the first heard
};

// Set by the signal handlers: the loops end and the programs exit cleanly.
extern std::atomic<bool> g_stop;

// Both return the process exit code; errors are printed with what to do.
int run_publisher(const Options& options);
int run_mirror(const Options& options);

inline constexpr const char* kPublicationsTopic = "varnel/publications";
inline constexpr const char* kRequestsTopic = "varnel/state-requests";

}  // namespace varnel::bridge
