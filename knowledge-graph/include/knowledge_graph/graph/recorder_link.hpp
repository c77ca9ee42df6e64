// The recorder link: how the writer and one recorder, in any process, agree that
// no published version goes unrecorded.
//
// The link is a block in the region's bytes after the lookup index (or any
// zero-filled memory attached to a private graph). While a recorder is attached:
// - the writer appends every publication (the buffer it made active, its
//   publication sequence and clear epoch) to a ring, the publication log, so the
//   recorder knows every boundary exactly and which slots each one added;
// - before the writer reuses published slots (a clear; later a compaction), it
//   waits until the recorder has acknowledged every logged publication, for at
//   most the recorder's wait bound (50 ms unless the recorder asks otherwise,
//   never more than 2 s). If the bound passes, the writer counts a gap and goes
//   on; if the recorder's heartbeat stood still for the whole wait, the writer
//   also detaches it, so a dead recorder costs one bounded wait, not one per clear.
// Without a recorder the writer's cost is a load of the attachment count and one
// load of the `recorder` word.
//
// Thread rules: one writer; one recorder (registered by a compare-exchange on
// `recorder`). Every shared word is accessed through std::atomic_ref.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/region_layout.hpp"

namespace knowledge_graph::graph {

inline constexpr std::size_t kPublicationLogEntries = 16384;
inline constexpr std::uint64_t kRecorderLinkMagic = 0x324B4E4C43455256ull;  // "VRECLNK2"
inline constexpr std::uint64_t kRecorderDefaultWaitMicros = 50'000;
inline constexpr std::uint64_t kRecorderMaxWaitMicros = 2'000'000;

// One logged publication. `stamp` is the entry's number + 1 once it is complete
// and 0 while the writer fills it; a reader that sees the same stamp before and
// after its copy has a whole entry.
struct PublicationEntry {
  std::uint64_t stamp;
  GraphIndices indices;                // the buffer the publication made active
  std::uint32_t publication_sequence;  // the record's guard counters after it
  std::uint16_t clear_epoch;
  std::uint16_t padding;
};

// The words sit on three cache lines by who writes them, so that the writer's
// per-publication accesses never share a line with the recorder's stores.
struct RecorderLink {
  // Set up by the recorder, read by the writer.
  std::uint64_t magic;        // kRecorderLinkMagic once a recorder has used the block
  std::uint64_t recorder;     // the attached recorder's token (its process id << 20 | nonce); 0: none
  std::uint64_t wait_micros;  // the bound the recorder asks the writer to wait at most
  std::uint64_t reserved0[5];
  // Written by the recorder.
  std::uint64_t heartbeat;     // moved at least every few milliseconds
  std::uint64_t acknowledged;  // publications recorded + 1; 0 while the recorder starts
  std::uint64_t reserved1[6];
  // Written by the writer.
  std::uint64_t published;  // publications logged; entry n lives at n % kPublicationLogEntries
  std::uint64_t gaps;       // reuses that went ahead without the acknowledgement
  std::uint64_t detached;   // recorders detached for a still heartbeat
  // The last compaction: compaction_mark() of its entry (0: none yet, or one being
  // marked) and its keep_since, written whether or not a recorder is attached. A
  // recorder that finds the mark on the entry it reads records the compaction as
  // that mark instead of copying the versions it kept, which it recorded before;
  // the mark is stored after the other words (release), and read again after
  // them, so that a later compaction's words are never taken for this one.
  std::uint64_t compaction_keep_since;
  std::uint64_t compaction_entry;
  // The state the compaction started from and the state it published: a reader
  // that saw the first (in the clear epoch before) knows what the compaction made
  // of it (last_compaction).
  std::uint64_t reserved2[3];
  GraphIndices compaction_from;
  GraphIndices compaction_to;
  std::uint64_t reserved3[4];
  PublicationEntry log[kPublicationLogEntries];
};

static_assert(sizeof(PublicationEntry) == 320 && offsetof(PublicationEntry, indices) == 8 &&
              offsetof(PublicationEntry, publication_sequence) == 312);
static_assert(offsetof(RecorderLink, heartbeat) == 64 && offsetof(RecorderLink, published) == 128 &&
              offsetof(RecorderLink, compaction_keep_since) == 152 &&
              offsetof(RecorderLink, compaction_entry) == 160 &&
              offsetof(RecorderLink, compaction_from) == 192 &&
              offsetof(RecorderLink, compaction_to) == 496 &&
              offsetof(RecorderLink, log) == 832 && sizeof(RecorderLink) % 64 == 0);

// The value of `compaction_entry` for log entry `number` publishing clear epoch `epoch`.
constexpr std::uint64_t compaction_mark(std::uint64_t number, std::uint16_t epoch) {
  return ((number + 1) << 16) | epoch;
}

// The last compaction of the link's writer, as a reader finds it: its keep_since,
// the clear epoch its publication settled, the state it started from and the
// state it published. Nothing when there was none, while one is being marked, or
// when the words changed under the read. Any thread, any process; lock-free.
struct CompactionMark {
  std::uint64_t keep_since = 0;
  std::uint16_t epoch = 0;
  GraphIndices from{};
  GraphIndices to{};
};
std::optional<CompactionMark> last_compaction(const RecorderLink& link);
// The last compaction, when it is what made `now` of `before` (two snapshots of the
// link's graph): it compacted exactly `before` (equal tails in one clear epoch
// are equal states), nothing else emptied slots in between, and `now` follows the
// state it published by appends only. Then `before`, the mark and the span from
// its `to` to `now` rebuild `now` (install_compaction).
std::optional<CompactionMark> compaction_between(const RecorderLink& link, const Snapshot& before,
                                                 const Snapshot& now);

// The link lies at recorder_link_offset() (region_layout.hpp) behind a record
// mapped at the start of a region.

// Makes `link` the recorder link of `graph` in this process (the writer's side).
bool attach_recorder_link(const KnowledgeGraph& graph, RecorderLink* link);
// For a record at the start of a view of `view_size` bytes: the bytes after the index.
bool attach_region_recorder_link(const KnowledgeGraph& graph, std::size_t view_size);
void detach_recorder_link(const KnowledgeGraph& graph);
// The link inside a region view of `view_size` bytes, or null when it has no room.
RecorderLink* region_recorder_link(void* view, std::size_t view_size);

namespace detail {
// After a flip of `active_indices`: logs `published` for the recorder, if one is attached.
void recorder_published(const KnowledgeGraph& graph, const GraphIndices& published);
// Before published slots may be rewritten: waits (bounded) for the recorder.
void recorder_before_reuse(const KnowledgeGraph& graph);
// Before a compaction's publication of `to`, made of `from`: marks the entry it is
// about to log as that compaction (the versions it keeps were all logged before it).
void recorder_compacting(const KnowledgeGraph& graph, std::uint64_t keep_since, const GraphIndices& from,
                         const GraphIndices& to);
}  // namespace detail

// attach_region_recorder_link for the attachment's lifetime, on a writer's
// mapping. Declare it after the owner of the mapping, so that it detaches before
// the view goes away.
class RegionRecorderLink {
 public:
  RegionRecorderLink() = default;
  RegionRecorderLink(const KnowledgeGraph& graph, std::size_t view_size)
      : graph_(attach_region_recorder_link(graph, view_size) ? &graph : nullptr) {}
  RegionRecorderLink(const RegionRecorderLink&) = delete;
  RegionRecorderLink& operator=(const RegionRecorderLink&) = delete;
  RegionRecorderLink(RegionRecorderLink&& other) noexcept : graph_(other.graph_) {
    other.graph_ = nullptr;
  }
  RegionRecorderLink& operator=(RegionRecorderLink&& other) noexcept {
    if (this != &other) {
      reset();
      graph_ = other.graph_;
      other.graph_ = nullptr;
    }
    return *this;
  }
  ~RegionRecorderLink() { reset(); }
  void reset() {
    if (graph_ != nullptr) detach_recorder_link(*graph_);
    graph_ = nullptr;
  }

 private:
  const KnowledgeGraph* graph_ = nullptr;
};

}  // namespace knowledge_graph::graph
