// The per-process table of publication signals and the readers' wait loop.
#include "knowledge_graph/graph/publication_signal.hpp"

#include <algorithm>
#include <array>
#include <mutex>
#include <thread>

#include "knowledge_graph/graph/knowledge_graph.hpp"

namespace knowledge_graph::graph {
namespace {

struct Entry {
  std::atomic<const KnowledgeGraph*> graph{nullptr};
  std::atomic<PublicationSignal*> signal{nullptr};
};
std::array<Entry, 16> table;
std::atomic<int> attached{0};

PublicationSignal* signal_of(const KnowledgeGraph& graph) noexcept {
  if (attached.load(std::memory_order_acquire) == 0) return nullptr;
  for (Entry& entry : table)
    if (entry.graph.load(std::memory_order_acquire) == &graph)
      return entry.signal.load(std::memory_order_acquire);
  return nullptr;
}

// The longest single sleep: how soon a wait notices `cancel`.
constexpr std::chrono::milliseconds kSlice{50};

}  // namespace

// Attaching and detaching are rare and take the mutex; the writer and the
// waiters only load the table.
std::mutex attach_mutex;

bool attach_publication_signal(const KnowledgeGraph& graph, PublicationSignal* signal) {
  detach_publication_signal(graph);
  if (signal == nullptr) return true;
  const std::lock_guard guard(attach_mutex);
  for (Entry& entry : table) {
    if (entry.graph.load() != nullptr) continue;
    entry.signal.store(signal, std::memory_order_release);
    entry.graph.store(&graph, std::memory_order_release);
    attached.fetch_add(1);
    return true;
  }
  return false;
}

void detach_publication_signal(const KnowledgeGraph& graph) {
  const std::lock_guard guard(attach_mutex);
  for (Entry& entry : table) {
    if (entry.graph.load() != &graph) continue;
    entry.graph.store(nullptr);
    attached.fetch_sub(1);
  }
}

namespace detail {
void signal_published(const KnowledgeGraph& graph) noexcept {
  if (PublicationSignal* signal = signal_of(graph)) signal->published();
}
}  // namespace detail

std::optional<std::uint64_t> wait_for_publication(const KnowledgeGraph& graph, std::uint64_t after,
                                                  std::chrono::nanoseconds timeout,
                                                  const std::atomic<bool>* cancel) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::max(timeout, std::chrono::nanoseconds(0));
  PublicationSignal* signal = signal_of(graph);
  for (;;) {
    // Counted in before the look: a publication after it wakes us.
    const std::uint32_t ticket = signal != nullptr ? signal->begin_wait() : 0;
    const std::uint64_t published = graph.last_update();
    const auto now = Clock::now();
    const bool stop = published != after || now >= deadline ||
                      (cancel != nullptr && cancel->load(std::memory_order_relaxed));
    if (!stop) {
      const auto slice = std::min<std::chrono::nanoseconds>(deadline - now, kSlice);
      if (signal != nullptr)
        signal->wait(ticket, slice);
      else
        std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(slice, kPublicationPollPeriod));
    }
    if (signal != nullptr) signal->end_wait();
    if (published != after) return published;
    if (stop) return std::nullopt;
  }
}

}  // namespace knowledge_graph::graph
