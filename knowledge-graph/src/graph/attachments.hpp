// This process's attachments to graphs. A graph record is plain bytes that any
// process may map; what one process adds to it (its lookup index, its recorder
// link, its write gate, its publication signal) lives in a small table of its
// own, found by the record's address. One table per kind of attachment, 16
// graphs each.
//
// Thread rules: find() is what every write and read asks, so it is lock-free:
// a count of attached graphs (none: one load), then the slot this thread found
// last, confirmed by one load, else a pass over the 16 slots. attach() and
// detach() are rare and take the table's mutex; a slot's graph is stored with
// release after its payload is filled, so a finder never sees a half-filled one.
// Caveat: a thread that found a slot and keeps using its payload while another
// thread detaches and reattaches that slot sees the new payload; the owners
// detach only when nothing of theirs uses the graph any more.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <mutex>

#include "knowledge_graph/graph/knowledge_graph.hpp"

namespace knowledge_graph::graph::detail {

// `Payload` names the table: each kind of attachment has a payload type of its
// own, which also keeps each table's per-thread cache apart.
template <class Payload, std::size_t N = 16>
class AttachmentTable {
 public:
  struct Slot {
    std::atomic<const KnowledgeGraph*> graph{nullptr};
    Payload payload{};
  };

  Slot* find(const KnowledgeGraph& graph) {
    if (count_.load(std::memory_order_acquire) == 0) return nullptr;
    thread_local Slot* last = nullptr;
    if (last != nullptr && last->graph.load(std::memory_order_acquire) == &graph) return last;
    for (Slot& slot : slots_)
      if (slot.graph.load(std::memory_order_acquire) == &graph) return last = &slot;
    return nullptr;
  }

  // Detaches `graph` first, then claims a free slot for it; `fill(payload)`
  // sets the payload before the slot can be found. Null when all are taken.
  template <class Fill>
  Slot* attach(const KnowledgeGraph& graph, Fill fill) {
    const std::lock_guard<std::mutex> guard(mutex_);
    detach_locked(graph);
    for (Slot& slot : slots_) {
      if (slot.graph.load(std::memory_order_relaxed) != nullptr) continue;
      fill(slot.payload);
      slot.graph.store(&graph, std::memory_order_release);
      count_.fetch_add(1, std::memory_order_acq_rel);
      return &slot;
    }
    return nullptr;
  }

  // Frees every slot of `graph`.
  void detach(const KnowledgeGraph& graph) {
    const std::lock_guard<std::mutex> guard(mutex_);
    detach_locked(graph);
  }

 private:
  void detach_locked(const KnowledgeGraph& graph) {
    for (Slot& slot : slots_) {
      if (slot.graph.load(std::memory_order_relaxed) != &graph) continue;
      slot.graph.store(nullptr, std::memory_order_release);
      count_.fetch_sub(1, std::memory_order_acq_rel);
    }
  }

  std::mutex mutex_;
  std::array<Slot, N> slots_;
  std::atomic<unsigned> count_{0};
};

}  // namespace knowledge_graph::graph::detail
