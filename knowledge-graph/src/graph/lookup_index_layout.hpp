// The lookup index's layout and proofs, shared by its parts: the bytes behind
// the record (header, two tables, write order), this process's attachments,
// the stamps in the records' padding, table probes, and the proof that the
// index reflects a snapshot. Internal to the graph library.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <type_traits>
#include <vector>

#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/lookup_index.hpp"
#include "attachments.hpp"
#include "racy_copy.hpp"

namespace knowledge_graph::graph::index_layout {

static_assert(std::endian::native == std::endian::little, "the padding word is read little-endian");

constexpr std::uint64_t kMagic = 0x3358444E4C4E5256ull;  // "VRNLNDX3"
constexpr std::size_t kTableEntries = 1u << 15;           // per table (nodes, relations)
constexpr std::uint32_t kTableLimit = 28000;              // beyond this the index goes out of use
constexpr unsigned kMaxChainSteps = 64;

// One table entry: written by the writer with release on `meta`, read by readers
// with acquire on `meta` first. meta = generation << 32 | kind << 24 | (slot + 1).
struct Entry {
  std::uint64_t instance_id;
  std::uint64_t meta;
};

struct Header {
  std::uint64_t magic;
  std::uint32_t generation;  // even: usable; odd: being rebuilt or out of use
  std::uint32_t sequence;    // the publication sequence the index reflects
  std::uint32_t clear_epoch; // the (even) clear epoch of the states it serves
  std::uint16_t node_entries;      // entries used in this generation, per table
  std::uint16_t relation_entries;
  std::uint64_t salt;  // new with every generation: what its stamps are made with
  std::uint64_t node_tail[kNodeKinds];  // the working tails it reflects
  std::uint64_t relation_tail[kRelationKinds];
};

// ==== Write order per kind (kept beside the index for the kind reads) ====
// Whether a kind's timestamps rise with its slots, so that a time window is one
// run of slots found by binary search. The writer updates it for every version
// it indexes, in slot order; it is trusted exactly when the index is (same
// generation, same proof), since it describes the versions the index reflects.
struct KindOrder {
  // The first slot whose timestamp is below its predecessor's; 0: none so far.
  std::uint64_t node_disorder[kNodeKinds];
  std::uint64_t relation_disorder[kRelationKinds];
  // The timestamp of the last version indexed per kind (the writer's only).
  std::uint64_t node_last[kNodeKinds];
  std::uint64_t relation_last[kRelationKinds];
};
// ==== end of write order ====

// ==== Entries in the order they were taken, per table ====
// The first `*_entries` (header) positions are the entries of the generation,
// so that reading every instance of a kind costs the instances, not a pass over
// the whole table. The writer writes a position before it counts it.
struct TakenEntries {
  std::uint16_t nodes[kTableEntries];
  std::uint16_t relations[kTableEntries];
};

struct IndexBytes {
  Header header;
  Entry nodes[kTableEntries];
  Entry relations[kTableEntries];
  KindOrder order;  // behind the tables: an index laid out before it reads as zero here
  TakenEntries taken;
};
static_assert(sizeof(IndexBytes) % 8 == 0);
static_assert(kTableLimit < 0xFFFF, "the entry counts are 16 bits");

template <class T> std::atomic_ref<T> word(T& shared) { return std::atomic_ref<T>(shared); }

// ---- Attachments of this process ----

struct Attachment {
  std::atomic<IndexBytes*> index{nullptr};
  bool writer_ready = false;  // the writer proved the index current (writer's thread only)
  bool writer_stale = false;  // a lookup found another writer's versions: rebuild
  // Both bookkeeping buffers as this writer's last publication left them, and
  // the one it made active (writer's thread only; 2: none held). While the
  // record holds exactly these bytes nobody wrote either buffer since: the
  // active one is the state the index reflects, and the other the state before
  // it, which lags only in the kinds that publication appended to, each on top of
  // the version it proved at the kind's tail. So neither needs proving again.
  GraphIndices published[2]{};
  std::uint64_t published_active = 2;
  // The node version this writer stamped last, as stamped. While its slot holds
  // the same words under the same salt, its stamp still checks, so proving it
  // again needs no fingerprint.
  struct {
    std::uint64_t salt = 0;
    std::uint64_t kind = kNodeKinds;  // none
    std::uint64_t slot = 0;
    std::uint64_t words[4]{};  // instance id, timestamp, value index, last word
  } last_stamped;
};
inline detail::AttachmentTable<Attachment> attachments;

inline Attachment* attachment_of(const KnowledgeGraph& graph) {
  auto* slot = attachments.find(graph);
  return slot == nullptr ? nullptr : &slot->payload;
}

inline IndexBytes* index_of(const KnowledgeGraph& graph) {
  Attachment* slot = attachment_of(graph);
  return slot == nullptr ? nullptr : slot->index.load(std::memory_order_acquire);
}

// ---- The two tables ----

struct NodeSide {
  static constexpr std::uint64_t kKinds = kNodeKinds;
  static constexpr std::uint64_t kCapacity = kNodeVersionsPerKind;
  static constexpr std::uint64_t kTag = 0xC0;
  using Record = NodeRecord;
  static Entry* table(IndexBytes& index) { return index.nodes; }
  static std::uint16_t& entries(Header& header) { return header.node_entries; }
  static std::uint16_t* taken(IndexBytes& index) { return index.taken.nodes; }
  static std::uint64_t* tails(Header& header) { return header.node_tail; }
  static std::uint64_t* disorder(KindOrder& order) { return order.node_disorder; }
  static std::uint64_t* last_timestamp(KindOrder& order) { return order.node_last; }
  static const std::uint64_t* tails(const GraphIndices& indices) {
    return indices.node_index_tail.data();
  }
  static const Record* slots(const KnowledgeGraph& graph, std::uint64_t kind) {
    return graph.node_records[kind];
  }
  static Record* slots(KnowledgeGraph& graph, std::uint64_t kind) {
    return graph.node_records[kind];
  }
};

struct RelationSide {
  static constexpr std::uint64_t kKinds = kRelationKinds;
  static constexpr std::uint64_t kCapacity = kRelationVersionsPerKind;
  static constexpr std::uint64_t kTag = 0x80;
  using Record = RelationRecord;
  static Entry* table(IndexBytes& index) { return index.relations; }
  static std::uint16_t& entries(Header& header) { return header.relation_entries; }
  static std::uint16_t* taken(IndexBytes& index) { return index.taken.relations; }
  static std::uint64_t* tails(Header& header) { return header.relation_tail; }
  static std::uint64_t* disorder(KindOrder& order) { return order.relation_disorder; }
  static std::uint64_t* last_timestamp(KindOrder& order) { return order.relation_last; }
  static const std::uint64_t* tails(const GraphIndices& indices) {
    return indices.relation_index_tail.data();
  }
  static const Record* slots(const KnowledgeGraph& graph, std::uint64_t kind) {
    return graph.relation_records[kind];
  }
  static Record* slots(KnowledgeGraph& graph, std::uint64_t kind) {
    return graph.relation_records[kind];
  }
};

// The stamp, in the record's last word: the marker (byte 0), then in the padding
// the previous version's slot + 1 (15 bits, 0: none) and a 41-bit fingerprint of
// the version as the index saw it: the generation's salt, kind, slot, the link,
// and the fields instance id, timestamp, value index and marker (for relations
// also `from` and `to`). A version that anyone else wrote, whatever its padding
// (zeroed, copied from another slot, left as it was), fails the check unless its
// fields equal those the stamp was made from; so does every stamp made before
// the generation began.
constexpr unsigned kLinkBits = 15;
constexpr std::uint64_t kLinkMask = (std::uint64_t{1} << kLinkBits) - 1;
static_assert(kNodeVersionsPerKind < kLinkMask && kRelationVersionsPerKind < kLinkMask);

template <class Record> VARNEL_NO_SANITIZE_THREAD std::uint64_t read_last_word(const Record& record) {
  static_assert(sizeof(Record) % 8 == 0 && offsetof(Record, marker) == sizeof(Record) - 8);
  return *reinterpret_cast<const volatile detail::SharedWord*>(&record.marker);
}

constexpr std::uint64_t mix(std::uint64_t hash, std::uint64_t value) {
  hash = (hash ^ value) * 0xBF58476D1CE4E5B9ull;
  return hash ^ (hash >> 31);
}

// The fingerprint of `record` at `slot` with link `prev_plus_one` and `marker`.
template <class Record>
VARNEL_NO_SANITIZE_THREAD std::uint64_t fingerprint(const Record& record, std::uint64_t salt,
                                                    std::uint64_t tag_kind, std::uint64_t slot,
                                                    std::uint64_t prev_plus_one,
                                                    std::uint64_t marker) {
  std::uint64_t hash = mix(salt, tag_kind << 32 | slot);
  hash = mix(hash, prev_plus_one << 8 | marker);
  hash = mix(hash, detail::racy_word(record.instance_id));
  hash = mix(hash, detail::racy_word(record.timestamp));
  hash = mix(hash, detail::racy_word(record.value_index));
  if constexpr (std::is_same_v<Record, RelationRecord>) {
    hash = mix(hash, detail::racy_word(record.from.type_index));
    hash = mix(hash, detail::racy_word(record.from.instance_id));
    hash = mix(hash, detail::racy_word(record.to.type_index));
    hash = mix(hash, detail::racy_word(record.to.instance_id));
  }
  return hash >> (8 + kLinkBits);
}

template <class Record>
std::uint64_t make_stamp(const Record& record, std::uint64_t salt, std::uint64_t tag_kind,
                         std::uint64_t slot, std::optional<std::uint64_t> previous,
                         std::uint64_t marker) {
  const std::uint64_t prev = previous ? *previous + 1 : 0;
  return marker | prev << 8 |
         fingerprint(record, salt, tag_kind, slot, prev, marker) << (8 + kLinkBits);
}

struct Link {
  bool stamped;                        // the record is the one indexed at its slot
  std::optional<std::uint64_t> previous;
};

template <class Record>
Link read_link(const Record& record, std::uint64_t salt, std::uint64_t tag_kind,
               std::uint64_t slot) {
  const std::uint64_t last = read_last_word(record);
  const std::uint64_t prev = (last >> 8) & kLinkMask;
  const bool stamped =
      last >> (8 + kLinkBits) == fingerprint(record, salt, tag_kind, slot, prev, last & 0xFF);
  return {stamped, prev == 0 ? std::nullopt : std::optional<std::uint64_t>(prev - 1)};
}

// Whether the last version below `tail` is the one the index stamped there.
// Every slot below a tail that anyone rewrote since the index saw it implies
// that this one was rewritten too (see the header).
template <class Side>
bool last_slot_proven(const KnowledgeGraph& graph, std::uint64_t salt, std::uint64_t kind,
                      std::uint64_t tail) {
  if (tail == 0) return true;
  return read_link(Side::slots(graph, kind)[tail - 1], salt, Side::kTag | kind, tail - 1).stamped;
}

inline std::size_t bucket(std::uint64_t kind, std::uint64_t instance_id) {
  const std::uint64_t mixed = (instance_id ^ (kind << 58) ^ (kind * 0xD6E8FEB86659FD93ull)) *
                              0x9E3779B97F4A7C15ull;
  return static_cast<std::size_t>(mixed >> 49);  // 15 bits
}

inline std::uint64_t make_meta(std::uint32_t generation, std::uint64_t kind, std::uint64_t slot) {
  return std::uint64_t{generation} << 32 | kind << 24 | (slot + 1);
}

// Starts fetching the entry where a probe for (kind, id) begins.
inline void prefetch_entry(const Entry* table, std::uint64_t kind, std::uint64_t id) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(&table[bucket(kind, id)], 1);
#else
  (void)table, (void)kind, (void)id;
#endif
}

// What a table says about (kind, id) in `generation`.
struct Probe {
  Entry* entry;                       // the matching entry, or the free one that ends the run
  std::optional<std::uint64_t> slot;  // the indexed latest slot, if an entry matches
};

inline Probe probe(Entry* table, std::uint32_t generation, std::uint64_t kind, std::uint64_t id) {
  std::size_t at = bucket(kind, id);
  for (std::size_t step = 0; step < kTableEntries; ++step, at = (at + 1) % kTableEntries) {
    Entry& entry = table[at];
    const std::uint64_t meta = word(entry.meta).load(std::memory_order_acquire);
    if (meta >> 32 != generation || (meta & 0xFFFFFF) == 0) return {&entry, std::nullopt};
    if (((meta >> 24) & 0xFF) == kind && word(entry.instance_id).load(std::memory_order_relaxed) == id)
      return {&entry, (meta & 0xFFFFFF) - 1};
  }
  return {nullptr, std::nullopt};
}

// A batch that another writer cleared and appended to without publishing it
// (dropped, or still open) has rewritten slots below the published tails; its
// buffer is the evidence while it lasts. In a kind where the other buffer's tail
// u lies below the reference tail, slot u - 1 is that batch's last append, or
// (our own lagging buffer) a version we stamped.
template <class Side>
bool other_buffer_proven(const KnowledgeGraph& graph, std::uint64_t salt, std::uint64_t kind,
                         std::uint64_t other_tail, std::uint64_t tail) {
  other_tail = std::min(other_tail, Side::kCapacity);
  return other_tail == 0 || other_tail >= tail ||
         last_slot_proven<Side>(graph, salt, kind, other_tail);
}

inline bool other_buffer_proven(const KnowledgeGraph& graph, std::uint64_t salt,
                         const GraphIndices& other, const GraphIndices& reference) {
  for (std::uint64_t k = 0; k < kNodeKinds; ++k)
    if (!other_buffer_proven<NodeSide>(graph, salt, k, other.node_index_tail[k],
                                       reference.node_index_tail[k]))
      return false;
  for (std::uint64_t k = 0; k < kRelationKinds; ++k)
    if (!other_buffer_proven<RelationSide>(graph, salt, k, other.relation_index_tail[k],
                                           reference.relation_index_tail[k]))
      return false;
  return true;
}

// ---- Reading ----

enum class Outcome { Found, Absent, Unknown };
struct Answer {
  Outcome outcome;
  std::uint64_t slot = 0;
};

// From the indexed latest slot down the links to the first version below `tail`.
template <class Side>
VARNEL_NO_SANITIZE_THREAD Answer walk_down(const KnowledgeGraph& graph, std::uint64_t salt,
                                           std::uint64_t kind, std::uint64_t id,
                                           std::uint64_t slot, std::uint64_t tail) {
  const typename Side::Record* records = Side::slots(graph, kind);
  for (unsigned step = 0; step < kMaxChainSteps; ++step) {
    if (slot >= Side::kCapacity) return {Outcome::Unknown};
    const typename Side::Record& record = records[slot];
    if (detail::racy_word(record.instance_id) != id) return {Outcome::Unknown};
    const Link link = read_link(record, salt, Side::kTag | kind, slot);
    if (!link.stamped) return {Outcome::Unknown};
    if (slot < tail) return {Outcome::Found, slot};
    if (!link.previous) return {Outcome::Absent};
    if (*link.previous >= slot) return {Outcome::Unknown};
    slot = *link.previous;
  }
  return {Outcome::Unknown};
}

// The generation in which the index reflects every version of `kind` below
// `tail` of `snapshot`, or nothing when it cannot prove so. What is read under
// it holds only if the generation is unchanged afterwards (generation_unchanged).
template <class Side>
std::optional<std::uint32_t> proven_generation(const KnowledgeGraph& graph, IndexBytes& index,
                                               const Snapshot& snapshot, std::uint64_t kind,
                                               std::uint64_t tail) {
  Header& header = index.header;
  if (word(header.magic).load(std::memory_order_acquire) != kMagic) return std::nullopt;
  const std::uint32_t generation = word(header.generation).load(std::memory_order_acquire);
  if (generation & 1u) return std::nullopt;
  // The snapshot must belong to the states the index serves: the same clear epoch,
  // and no publication the index has not seen (another writer's).
  if ((snapshot.clear_epoch & 1u) ||
      word(header.clear_epoch).load(std::memory_order_relaxed) != snapshot.clear_epoch)
    return std::nullopt;
  const auto ahead = static_cast<std::int32_t>(
      snapshot.publication_sequence - word(header.sequence).load(std::memory_order_relaxed));
  if (ahead > 0) return std::nullopt;
  if (tail > word(Side::tails(header)[kind]).load(std::memory_order_relaxed)) return std::nullopt;
  // No other writer rewrote the slots below the reader's tail: the version at
  // the tail, and an unpublished batch's last append in the other buffer.
  const std::uint64_t salt = word(header.salt).load(std::memory_order_relaxed);
  if (!last_slot_proven<Side>(graph, salt, kind, tail)) return std::nullopt;
  const GraphIndices& other = graph.indices[1 - (snapshot.active & 1u)];
  if (!other_buffer_proven<Side>(graph, salt, kind, detail::racy_word(Side::tails(other)[kind]),
                                 tail))
    return std::nullopt;
  return generation;
}

inline bool generation_unchanged(IndexBytes& index, std::uint32_t generation) {
  detail::guard_fence(std::memory_order_acquire);
  return word(index.header.generation).load(std::memory_order_relaxed) == generation;
}

template <class Side>
Answer read_through_index(const KnowledgeGraph& graph, const Snapshot& snapshot,
                          std::uint64_t kind, std::uint64_t id, std::uint64_t tail) {
  IndexBytes* index = index_of(graph);
  if (index == nullptr) return {Outcome::Unknown};
  const std::optional<std::uint32_t> proven = proven_generation<Side>(graph, *index, snapshot, kind, tail);
  if (!proven) return {Outcome::Unknown};
  const std::uint32_t generation = *proven;
  const std::uint64_t salt = word(index->header.salt).load(std::memory_order_relaxed);

  const Probe found = probe(Side::table(*index), generation, kind, id);
  Answer answer{Outcome::Unknown};
  if (found.entry != nullptr) {
    answer = found.slot ? walk_down<Side>(graph, salt, kind, id, *found.slot, tail)
                        : Answer{Outcome::Absent};
  }
  if (!generation_unchanged(*index, generation)) return {Outcome::Unknown};
  return answer;
}

template <class Side>
std::optional<std::uint64_t> resolve(const Answer& answer, const KnowledgeGraph& graph,
                                     std::uint64_t kind, std::uint64_t id, std::uint64_t tail);



template <class Side> std::optional<std::uint64_t> scan(const KnowledgeGraph& graph,
                                                        std::uint64_t kind, std::uint64_t id,
                                                        std::uint64_t tail) {
  if constexpr (std::is_same_v<Side, NodeSide>) {
    return scan_latest_node_slot(graph, kind, id, tail);
  } else {
    return scan_latest_relation_slot(graph, kind, id, tail);
  }
}

template <class Side>
std::optional<std::uint64_t> resolve(const Answer& answer, const KnowledgeGraph& graph,
                                     std::uint64_t kind, std::uint64_t id, std::uint64_t tail) {
  switch (answer.outcome) {
    case Outcome::Found: return answer.slot;
    case Outcome::Absent: return std::nullopt;
    case Outcome::Unknown: break;
  }
  return scan<Side>(graph, kind, id, tail);
}

template <class Side>
std::optional<std::uint64_t> reader_lookup(const KnowledgeGraph& graph, const Snapshot& snapshot,
                                           std::uint64_t kind, std::uint64_t id) {
  if (kind >= Side::kKinds) return std::nullopt;
  const std::uint64_t tail = std::min(Side::tails(snapshot.indices)[kind], Side::kCapacity);
  if (tail == 0) return std::nullopt;
  return resolve<Side>(read_through_index<Side>(graph, snapshot, kind, id, tail), graph, kind, id,
                       tail);
}


}  // namespace knowledge_graph::graph::index_layout
