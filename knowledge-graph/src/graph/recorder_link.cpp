#include "knowledge_graph/graph/recorder_link.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "knowledge_graph/graph/lookup_index.hpp"
#include "knowledge_graph/graph/raw_span.hpp"
#include "attachments.hpp"
#include "racy_copy.hpp"

namespace knowledge_graph::graph {
namespace {

template <class T> std::atomic_ref<T> word(T& shared) { return std::atomic_ref<T>(shared); }
template <class T> std::atomic_ref<T> word(const T& shared) {
  return std::atomic_ref<T>(const_cast<T&>(shared));
}

struct LinkAttachment {
  std::atomic<RecorderLink*> link{nullptr};
};
detail::AttachmentTable<LinkAttachment> attachments;

RecorderLink* link_of(const KnowledgeGraph& graph) {
  auto* slot = attachments.find(graph);
  return slot == nullptr ? nullptr : slot->payload.link.load(std::memory_order_acquire);
}

}  // namespace

std::size_t recorder_link_size() { return sizeof(RecorderLink); }

bool attach_recorder_link(const KnowledgeGraph& graph, RecorderLink* link) {
  return attachments.attach(graph, [&](LinkAttachment& attached) {
    attached.link.store(link, std::memory_order_release);
  }) != nullptr;
}

RecorderLink* region_recorder_link(void* view, std::size_t view_size) {
  if (view == nullptr || view_size < recorder_link_offset() + recorder_link_size()) return nullptr;
  return reinterpret_cast<RecorderLink*>(static_cast<unsigned char*>(view) + recorder_link_offset());
}

bool attach_region_recorder_link(const KnowledgeGraph& graph, std::size_t view_size) {
  RecorderLink* link = region_recorder_link(const_cast<KnowledgeGraph*>(&graph), view_size);
  return link != nullptr && attach_recorder_link(graph, link);
}

void detach_recorder_link(const KnowledgeGraph& graph) { attachments.detach(graph); }

std::optional<CompactionMark> last_compaction(const RecorderLink& link) {
  const std::uint64_t mark = word(link.compaction_entry).load(std::memory_order_acquire);
  if (mark == 0) return std::nullopt;
  CompactionMark found;
  found.keep_since = word(link.compaction_keep_since).load(std::memory_order_relaxed);
  found.from = detail::racy_copy(link.compaction_from);
  found.to = detail::racy_copy(link.compaction_to);
  found.epoch = static_cast<std::uint16_t>(mark & 0xFFFFu);
  detail::guard_fence(std::memory_order_acquire);
  if (word(link.compaction_entry).load(std::memory_order_relaxed) != mark) return std::nullopt;
  return found;
}

std::optional<CompactionMark> compaction_between(const RecorderLink& link, const Snapshot& before,
                                                 const Snapshot& now) {
  std::optional<CompactionMark> mark = last_compaction(link);
  if (!mark || mark->epoch != now.clear_epoch ||
      static_cast<std::uint16_t>(before.clear_epoch + 2u) != now.clear_epoch ||
      std::memcmp(&mark->from, &before.indices, sizeof(GraphIndices)) != 0)
    return std::nullopt;
  Snapshot compacted = now;
  compacted.indices = mark->to;
  if (!appends_only(compacted, now)) return std::nullopt;
  return mark;
}

namespace detail {

void recorder_published(const KnowledgeGraph& graph, const GraphIndices& published) {
  RecorderLink* link = link_of(graph);
  if (link == nullptr || word(link->recorder).load(std::memory_order_seq_cst) == 0) return;
  const std::uint64_t number = word(link->published).load(std::memory_order_relaxed);
  PublicationEntry& entry = link->log[number % kPublicationLogEntries];
  word(entry.stamp).store(0, std::memory_order_relaxed);
  guard_fence(std::memory_order_release);
  entry.indices = published;
  entry.publication_sequence = word(graph.publication_sequence).load(std::memory_order_relaxed);
  entry.clear_epoch = word(graph.clear_epoch).load(std::memory_order_relaxed);
  word(entry.stamp).store(number + 1, std::memory_order_release);
  word(link->published).store(number + 1, std::memory_order_release);
  // The log runs through more memory than the caches hold, so every entry is a
  // write to lines this core does not own: ask for the next entry's lines now,
  // while the writer does everything else of its next write.
#if defined(__GNUC__) || defined(__clang__)
  const auto* next = reinterpret_cast<const char*>(&link->log[(number + 1) % kPublicationLogEntries]);
  for (std::size_t line = 0; line < sizeof(PublicationEntry); line += 64)
    __builtin_prefetch(next + line, 1);
#endif
}

void recorder_compacting(const KnowledgeGraph& graph, std::uint64_t keep_since, const GraphIndices& from,
                         const GraphIndices& to) {
  // Written with or without a recorder: the bridge's publisher, a plain reader,
  // sends a compaction as its mark when it saw the state just before it.
  RecorderLink* link = link_of(graph);
  if (link == nullptr) return;
  const std::uint64_t number = word(link->published).load(std::memory_order_relaxed);
  word(link->compaction_entry).store(0, std::memory_order_relaxed);
  guard_fence(std::memory_order_release);
  word(link->compaction_keep_since).store(keep_since, std::memory_order_relaxed);
  link->compaction_from = from;  // read by racy_copy under the mark
  link->compaction_to = to;
  // The epoch the publication settles (the compaction made it odd) goes with the
  // number, so a mark whose publication was never logged matches no later entry.
  const auto settled = static_cast<std::uint16_t>(word(graph.clear_epoch).load(std::memory_order_relaxed) | 1u) + 1u;
  word(link->compaction_entry).store(compaction_mark(number, static_cast<std::uint16_t>(settled)),
                                     std::memory_order_release);
}

void recorder_before_reuse(const KnowledgeGraph& graph) {
  RecorderLink* link = link_of(graph);
  if (link == nullptr) return;
  const std::uint64_t token = word(link->recorder).load(std::memory_order_seq_cst);
  if (token == 0) return;
  const std::uint64_t target = word(link->published).load(std::memory_order_relaxed) + 1;
  if (word(link->acknowledged).load(std::memory_order_acquire) == target) return;

  using Clock = std::chrono::steady_clock;
  std::uint64_t asked = word(link->wait_micros).load(std::memory_order_relaxed);
  if (asked == 0) asked = kRecorderDefaultWaitMicros;
  const auto bound = std::chrono::microseconds(std::min(asked, kRecorderMaxWaitMicros));
  const auto start = Clock::now();
  const std::uint64_t first_beat = word(link->heartbeat).load(std::memory_order_relaxed);
  for (unsigned spin = 0;; ++spin) {
    if (word(link->acknowledged).load(std::memory_order_acquire) == target) return;
    if (word(link->recorder).load(std::memory_order_acquire) != token) return;  // it left
    if (Clock::now() - start >= bound) break;
    if (spin < 64) continue;
    std::this_thread::yield();
  }
  // Going on without the acknowledgement: the recorder will find the gap.
  word(link->gaps).fetch_add(1, std::memory_order_seq_cst);
  if (word(link->heartbeat).load(std::memory_order_relaxed) == first_beat) {
    std::uint64_t expected = token;
    if (word(link->recorder).compare_exchange_strong(expected, 0, std::memory_order_seq_cst))
      word(link->detached).fetch_add(1, std::memory_order_relaxed);
  }
  guard_fence(std::memory_order_release);
}

}  // namespace detail
}  // namespace knowledge_graph::graph
