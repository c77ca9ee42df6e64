// Waiting for the next publication instead of polling for it.
//
// The graph knows no platform: whoever maps the record (the graph session)
// attaches a PublicationSignal to it, which the writer rings right after every
// publication and on which readers sleep. The signal promises that a reader
// counted in by begin_wait() before it looked at the published state misses no
// publication made after that look: the writer, having made a publication
// visible, looks whether anyone is counted in and wakes them (and only then makes
// a wake call, so a writer nobody waits for pays one load). A record without a
// signal (a private graph, a signal the platform refused) is waited for by
// bounded polling.
//
// Thread rules: attach and detach on the thread that owns the mapping, before
// and after its use; published() on the writer's thread; waits on any thread.
// Caveats: 16 signals per process at most (attach then returns false).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

namespace knowledge_graph::graph {

struct KnowledgeGraph;

class PublicationSignal {
 public:
  virtual ~PublicationSignal() = default;
  // Writer: a publication has just become visible; wakes the counted-in waiters.
  virtual void published() noexcept = 0;
  // Reader: counts the caller in and returns the ticket to sleep on.
  virtual std::uint32_t begin_wait() noexcept = 0;
  // Reader, counted in: sleeps until woken after `ticket` or for at most `limit`
  // (spurious returns allowed).
  virtual void wait(std::uint32_t ticket, std::chrono::nanoseconds limit) noexcept = 0;
  virtual void end_wait() noexcept = 0;
};

bool attach_publication_signal(const KnowledgeGraph& graph, PublicationSignal* signal);
void detach_publication_signal(const KnowledgeGraph& graph);

// The longest sleep between two looks when the record has no signal.
inline constexpr std::chrono::milliseconds kPublicationPollPeriod{1};

// Waits until the published last update differs from `after` and returns it, or
// gives up after `timeout` (nullopt). A publication that keeps the last update
// (a clear's empty graph, a batch stamped like the one before) does not end the
// wait. `cancel`, when set by another thread or a signal handler, ends it within
// 50 ms (nullopt too). Takes no lock; each look is one snapshot.
std::optional<std::uint64_t> wait_for_publication(const KnowledgeGraph& graph, std::uint64_t after,
                                                  std::chrono::nanoseconds timeout,
                                                  const std::atomic<bool>* cancel = nullptr);

namespace detail {
// After every flip of the published buffer.
void signal_published(const KnowledgeGraph& graph) noexcept;
}  // namespace detail

}  // namespace knowledge_graph::graph
