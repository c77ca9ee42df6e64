// The per-process table of publication signals and the readers' wait loop.
#include "knowledge_graph/graph/publication_signal.hpp"

#include <algorithm>
#include <array>
#include <mutex>
#include <thread>

#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "attachments.hpp"

namespace knowledge_graph::graph {
namespace {

struct SignalAttachment {
  std::atomic<PublicationSignal*> signal{nullptr};
};
detail::AttachmentTable<SignalAttachment> table;

PublicationSignal* signal_of(const KnowledgeGraph& graph) noexcept {
  auto* slot = table.find(graph);
  return slot == nullptr ? nullptr : slot->payload.signal.load(std::memory_order_acquire);
}

// The longest single sleep: how soon a wait notices `cancel`.
constexpr std::chrono::milliseconds kSlice{50};

}  // namespace

bool attach_publication_signal(const KnowledgeGraph& graph, PublicationSignal* signal) {
  if (signal == nullptr) {
    detach_publication_signal(graph);
    return true;
  }
  return table.attach(graph, [&](SignalAttachment& attached) {
    attached.signal.store(signal, std::memory_order_release);
  }) != nullptr;
}

void detach_publication_signal(const KnowledgeGraph& graph) { table.detach(graph); }

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
