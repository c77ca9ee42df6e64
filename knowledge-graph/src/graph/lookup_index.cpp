// The lookup index: a generation-tagged hash table of latest slots, links between
// the versions of one instance in the records' padding, and the checks that make
// every answer either provably the scan's or a fallback to the scan.
#include "knowledge_graph/graph/lookup_index.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstring>
#include <random>
#include <type_traits>

#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "lookup_index_writer.hpp"
#include "racy_copy.hpp"

namespace knowledge_graph::graph {
namespace {

static_assert(std::endian::native == std::endian::little, "the padding word is read little-endian");

constexpr std::uint64_t kMagic = 0x3258444E4C4E5256ull;  // "VRNLNDX2"
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

struct IndexBytes {
  Header header;
  Entry nodes[kTableEntries];
  Entry relations[kTableEntries];
  KindOrder order;  // behind the tables: an index laid out before it reads as zero here
};
static_assert(sizeof(IndexBytes) % 8 == 0);
static_assert(kTableLimit < 0xFFFF, "the entry counts are 16 bits");

template <class T> std::atomic_ref<T> word(T& shared) { return std::atomic_ref<T>(shared); }

// ---- Attachments of this process ----

struct Attachment {
  std::atomic<const KnowledgeGraph*> graph{nullptr};
  std::atomic<IndexBytes*> index{nullptr};
  bool writer_ready = false;  // the writer proved the index current (writer's thread only)
  bool writer_stale = false;  // a lookup found another writer's versions: rebuild
  // The bookkeeping buffer this writer's last write left inactive, as the write
  // found it proven (writer's thread only). While the buffer still holds these
  // bytes, nobody wrote it since, and its proof stands without walking every kind.
  GraphIndices vouched{};
  std::uint64_t vouched_buffer = 2;  // 2: none
};
constexpr std::size_t kAttachments = 16;
std::array<Attachment, kAttachments> attachments;

Attachment* attachment_of(const KnowledgeGraph& graph) {
  // The last one found by this thread, confirmed by one load.
  thread_local Attachment* last = nullptr;
  if (last != nullptr && last->graph.load(std::memory_order_acquire) == &graph) return last;
  for (Attachment& slot : attachments) {
    if (slot.graph.load(std::memory_order_acquire) == &graph) return last = &slot;
  }
  return nullptr;
}

IndexBytes* index_of(const KnowledgeGraph& graph) {
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

std::size_t bucket(std::uint64_t kind, std::uint64_t instance_id) {
  const std::uint64_t mixed = (instance_id ^ (kind << 58) ^ (kind * 0xD6E8FEB86659FD93ull)) *
                              0x9E3779B97F4A7C15ull;
  return static_cast<std::size_t>(mixed >> 49);  // 15 bits
}

std::uint64_t make_meta(std::uint32_t generation, std::uint64_t kind, std::uint64_t slot) {
  return std::uint64_t{generation} << 32 | kind << 24 | (slot + 1);
}

// Starts fetching the entry where a probe for (kind, id) begins.
void prefetch_entry(const Entry* table, std::uint64_t kind, std::uint64_t id) {
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

Probe probe(Entry* table, std::uint32_t generation, std::uint64_t kind, std::uint64_t id) {
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

bool other_buffer_proven(const KnowledgeGraph& graph, std::uint64_t salt,
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

bool generation_unchanged(IndexBytes& index, std::uint32_t generation) {
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

}  // namespace

// ---- The scans ----

VARNEL_NO_SANITIZE_THREAD std::optional<std::uint64_t> scan_latest_node_slot(
    const KnowledgeGraph& graph, std::uint64_t kind, std::uint64_t instance_id,
    std::uint64_t tail) {
  if (kind >= kNodeKinds) return std::nullopt;
  const NodeRecord* slots = graph.node_records[kind];
  for (std::uint64_t slot = std::min(tail, kNodeVersionsPerKind); slot-- > 0;) {
    if (detail::racy_word(slots[slot].instance_id) == instance_id) return slot;
  }
  return std::nullopt;
}

VARNEL_NO_SANITIZE_THREAD std::optional<std::uint64_t> scan_latest_relation_slot(
    const KnowledgeGraph& graph, std::uint64_t kind, std::uint64_t instance_id,
    std::uint64_t tail) {
  if (kind >= kRelationKinds) return std::nullopt;
  const RelationRecord* slots = graph.relation_records[kind];
  for (std::uint64_t slot = std::min(tail, kRelationVersionsPerKind); slot-- > 0;) {
    if (detail::racy_word(slots[slot].instance_id) == instance_id) return slot;
  }
  return std::nullopt;
}

namespace {

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

// ---- Writing ----

std::uint32_t load_sequence(const KnowledgeGraph& graph) {
  return word(const_cast<std::uint32_t&>(graph.publication_sequence))
      .load(std::memory_order_relaxed);
}

std::uint16_t load_clear_epoch(const KnowledgeGraph& graph) {
  return word(const_cast<std::uint16_t&>(graph.clear_epoch)).load(std::memory_order_relaxed);
}

void store_generation(Header& header, std::uint32_t generation) {
  word(header.generation).store(generation, std::memory_order_release);
  detail::guard_fence(std::memory_order_release);  // before the entry writes that follow
}

void refresh_clear_epoch(const KnowledgeGraph& graph, Header& header) {
  const std::uint16_t epoch = load_clear_epoch(graph);
  if (!(epoch & 1u)) word(header.clear_epoch).store(epoch, std::memory_order_relaxed);
}

// Writes the stamp into the record's last word with one store, the marker byte
// unchanged; a rebuild that finds the same stamp leaves the record untouched.
template <class Side>
VARNEL_NO_SANITIZE_THREAD void stamp(typename Side::Record& record, std::uint64_t salt,
                                     std::uint64_t kind, std::uint64_t slot,
                                     std::optional<std::uint64_t> previous) {
  auto* last = reinterpret_cast<volatile detail::SharedWord*>(&record.marker);
  const std::uint64_t old = *last;
  const std::uint64_t stamped = make_stamp(record, salt, Side::kTag | kind, slot, previous, old & 0xFF);
  if (stamped != old) *last = stamped;
}

// ==== Write order: the writer's step ====
// Every indexed version passes here in slot order (from slot 0 after a rebuild
// or a clear), so this one place keeps each kind's order current.
template <class Side>
void note_write_order(KindOrder& order, std::uint64_t kind, std::uint64_t slot,
                      std::uint64_t timestamp) {
  std::uint64_t& disorder = Side::disorder(order)[kind];
  std::uint64_t& last = Side::last_timestamp(order)[kind];
  if (slot == 0) {
    if (disorder != 0) word(disorder).store(0, std::memory_order_relaxed);
  } else if (timestamp < last && disorder == 0) {
    word(disorder).store(slot, std::memory_order_relaxed);
  }
  last = timestamp;
}
// ==== end of write order ====

// Indexes the version at `slot`: links it to the instance's previous latest
// version, stamps it, and points the entry at it. False when the table is full.
template <class Side>
bool index_slot(KnowledgeGraph& graph, IndexBytes& index, std::uint32_t generation,
                std::uint64_t kind, std::uint64_t slot) {
  typename Side::Record& record = Side::slots(graph, kind)[slot];
  const std::uint64_t id = record.instance_id;
  note_write_order<Side>(index.order, kind, slot, record.timestamp);
  const Probe found = probe(Side::table(index), generation, kind, id);
  if (found.entry == nullptr) return false;
  stamp<Side>(record, index.header.salt, kind, slot, found.slot);
  if (!found.slot) {
    if (++Side::entries(index.header) > kTableLimit) return false;
    word(found.entry->instance_id).store(id, std::memory_order_relaxed);
  }
  word(found.entry->meta).store(make_meta(generation, kind, slot), std::memory_order_release);
  return true;
}

// Indexes the versions of one kind between what the index reflects and
// `working`'s tail. Starting from the index's own tail makes a repeated kind
// harmless.
template <class Side>
bool index_kind(KnowledgeGraph& graph, IndexBytes& index, std::uint32_t generation,
                std::uint64_t kind, const GraphIndices& working) {
  if (kind >= Side::kKinds) return true;
  std::uint64_t& indexed = Side::tails(index.header)[kind];
  const std::uint64_t end = std::min(Side::tails(working)[kind], Side::kCapacity);
  for (std::uint64_t slot = indexed; slot < end; ++slot) {
    if (!index_slot<Side>(graph, index, generation, kind, slot)) return false;
  }
  if (indexed != end) word(indexed).store(end, std::memory_order_relaxed);
  return true;
}

template <class Side>
bool index_range(KnowledgeGraph& graph, IndexBytes& index, std::uint32_t generation,
                 const GraphIndices& from, const GraphIndices& to) {
  for (std::uint64_t kind = 0; kind < Side::kKinds; ++kind) {
    const std::uint64_t end = std::min(Side::tails(to)[kind], Side::kCapacity);
    if (Side::tails(from)[kind] == end && Side::tails(index.header)[kind] == end) continue;
    for (std::uint64_t slot = Side::tails(from)[kind]; slot < end; ++slot) {
      if (!index_slot<Side>(graph, index, generation, kind, slot)) return false;
    }
    word(Side::tails(index.header)[kind]).store(end, std::memory_order_relaxed);
  }
  return true;
}

bool tails_match(const Header& header, const GraphIndices& working) {
  return std::equal(working.node_index_tail.begin(), working.node_index_tail.end(),
                    header.node_tail) &&
         std::equal(working.relation_index_tail.begin(), working.relation_index_tail.end(),
                    header.relation_tail);
}

// A salt unlike the last one and unlike those of other processes' indexes, so
// that no stamp of an earlier generation, or of another region, passes.
std::uint64_t new_salt(std::uint64_t previous) {
  static const std::uint64_t seed = [] {
    std::random_device device;
    return std::uint64_t{device()} << 32 ^ device() ^
           static_cast<std::uint64_t>(
               std::chrono::steady_clock::now().time_since_epoch().count());
  }();
  static std::atomic<std::uint64_t> counter{0};
  return mix(mix(seed, previous), counter.fetch_add(1, std::memory_order_relaxed));
}

// A fresh generation with no entries: odd while it is filled, even when usable.
std::uint32_t start_generation(IndexBytes& index) {
  Header& header = index.header;
  std::uint32_t odd = header.generation | 1u;
  if (header.generation == odd) odd += 2;  // already odd: move on all the same
  store_generation(header, odd);
  if (odd + 1 == 0) {  // wrapped: old tags could read as current
    std::memset(static_cast<void*>(index.nodes), 0, sizeof index.nodes);
    std::memset(static_cast<void*>(index.relations), 0, sizeof index.relations);
    odd = 1;
    store_generation(header, odd);
  }
  header.node_entries = 0;
  header.relation_entries = 0;
  word(header.salt).store(new_salt(header.salt), std::memory_order_relaxed);
  return odd + 1;
}

// An odd clear epoch lasts only around the flip that publishes an emptied graph;
// an index finished then serves no published state (no snapshot carries an odd
// epoch) until refresh_clear_epoch stores the settled, even one.
void finish_generation(const KnowledgeGraph& graph, Header& header, std::uint32_t generation) {
  word(header.sequence).store(load_sequence(graph), std::memory_order_relaxed);
  const std::uint16_t epoch = load_clear_epoch(graph);
  word(header.clear_epoch).store((epoch & 1u) ? 0xFFFFFFFFu : epoch, std::memory_order_relaxed);
  word(header.magic).store(kMagic, std::memory_order_relaxed);
  store_generation(header, generation);
}

// Rebuilds the index from the versions below `working`'s tails, oldest first.
bool rebuild(KnowledgeGraph& graph, IndexBytes& index, const GraphIndices& working) {
  const std::uint32_t generation = start_generation(index);
  const GraphIndices empty{};
  if (!index_range<NodeSide>(graph, index, generation, empty, working) ||
      !index_range<RelationSide>(graph, index, generation, empty, working))
    return false;  // left odd: out of use until the next clear
  finish_generation(graph, index.header, generation);
  return true;
}

// The publication about to come is the writer's own: the index keeps in step.
void expect_buffer_write(const KnowledgeGraph& graph, Header& header) {
  const std::uint32_t sequence = load_sequence(graph);
  if (header.magic == kMagic && header.sequence == sequence)
    word(header.sequence).store(sequence + 1, std::memory_order_relaxed);
}

template <class Side>
std::optional<std::uint64_t> writer_lookup(const KnowledgeGraph& graph, const GraphIndices& working,
                                           std::uint64_t kind, std::uint64_t id) {
  if (kind >= Side::kKinds) return std::nullopt;
  const std::uint64_t tail = std::min(Side::tails(working)[kind], Side::kCapacity);
  if (tail == 0) return std::nullopt;
  Attachment* attached = attachment_of(graph);
  Answer answer{Outcome::Unknown};
  if (attached != nullptr && attached->writer_ready) {
    IndexBytes& index = *attached->index.load(std::memory_order_relaxed);
    const std::uint64_t salt = index.header.salt;
    if (tail > Side::tails(index.header)[kind]) {
      // Behind the working buffer: the kind is indexed at the write's end.
    } else if (!last_slot_proven<Side>(graph, salt, kind, tail)) {
      attached->writer_stale = true;  // another writer rewrote the kind: rebuild
    } else {
      const Probe found = probe(Side::table(index), index.header.generation, kind, id);
      if (found.entry != nullptr)
        answer = found.slot ? walk_down<Side>(graph, salt, kind, id, *found.slot, tail)
                            : Answer{Outcome::Absent};
    }
  }
  return resolve<Side>(answer, graph, kind, id, tail);
}

}  // namespace

// ---- Attachments ----

std::size_t lookup_index_offset() { return (sizeof(KnowledgeGraph) + 63) / 64 * 64; }
std::size_t lookup_index_size() { return sizeof(IndexBytes); }

bool attach_lookup_index(const KnowledgeGraph& graph, void* bytes) {
  detach_lookup_index(graph);
  for (Attachment& slot : attachments) {
    const KnowledgeGraph* expected = nullptr;
    if (slot.graph.load(std::memory_order_relaxed) != nullptr) continue;
    slot.index.store(static_cast<IndexBytes*>(bytes), std::memory_order_release);
    slot.writer_ready = false;
    slot.writer_stale = false;
    if (slot.graph.compare_exchange_strong(expected, &graph, std::memory_order_acq_rel)) return true;
  }
  return false;
}

bool attach_region_lookup_index(const KnowledgeGraph& graph, std::size_t view_size) {
  if (view_size < lookup_index_offset() + lookup_index_size()) return false;
  auto* bytes = reinterpret_cast<unsigned char*>(const_cast<KnowledgeGraph*>(&graph));
  return attach_lookup_index(graph, bytes + lookup_index_offset());
}

void detach_lookup_index(const KnowledgeGraph& graph) {
  if (Attachment* slot = attachment_of(graph)) {
    slot->graph.store(nullptr, std::memory_order_release);
    slot->writer_ready = false;
  }
}

bool has_lookup_index(const KnowledgeGraph& graph) { return index_of(graph) != nullptr; }

std::optional<std::uint64_t> latest_node_slot(const KnowledgeGraph& graph,
                                              const Snapshot& snapshot, Index node) {
  return reader_lookup<NodeSide>(graph, snapshot, node.type_index, node.instance_id);
}

std::optional<std::uint64_t> latest_relation_slot(const KnowledgeGraph& graph,
                                                  const Snapshot& snapshot, Index relation) {
  return reader_lookup<RelationSide>(graph, snapshot, relation.type_index, relation.instance_id);
}

// ---- The writer's steps ----

namespace detail {

void index_begin_write(KnowledgeGraph& graph, const GraphIndices& working,
                       const Index* new_node) {
  Attachment* attached = attachment_of(graph);
  if (attached == nullptr) return;
  IndexBytes& index = *attached->index.load(std::memory_order_relaxed);
  if (new_node != nullptr) prefetch_entry(index.nodes, new_node->type_index, new_node->instance_id);
  Header& header = index.header;
  // Publishing will overwrite the other buffer: judge its evidence first.
  const std::uint64_t active = graph.active_buffer();
  const bool from_active = graph.autocommit_enabled();
  const GraphIndices& other = graph.indices[1 - active];
  const auto other_proven = [&] {
    if (attached->vouched_buffer == 1 - active &&
        std::memcmp(&other, &attached->vouched, sizeof other) == 0)
      return true;
    return other_buffer_proven(graph, header.salt, other, working);
  };
  const bool current = header.magic == kMagic && !(header.generation & 1u) &&
                       header.sequence == load_sequence(graph) && tails_match(header, working) &&
                       !attached->writer_stale && (!from_active || other_proven());
  attached->vouched_buffer = 2;
  attached->writer_stale = false;
  attached->writer_ready = current || rebuild(graph, index, working);
  if (attached->writer_ready) refresh_clear_epoch(graph, header);
}

void index_appended(KnowledgeGraph& graph, const GraphIndices& working,
                    const AppendedKinds& kinds) {
  Attachment* attached = attachment_of(graph);
  if (attached == nullptr || !attached->writer_ready) return;
  IndexBytes& index = *attached->index.load(std::memory_order_relaxed);
  // The versions this write appends go on top of what the index holds for their
  // kinds; if another writer rewrote one of those kinds, rebuild instead.
  const auto proven = [&](auto side, std::uint64_t kind) {
    using Side = decltype(side);
    return kind >= Side::kKinds ||
           last_slot_proven<Side>(graph, index.header.salt, kind, Side::tails(index.header)[kind]);
  };
  if (!proven(NodeSide{}, kinds.node_kinds[0]) || !proven(NodeSide{}, kinds.node_kinds[1]) ||
      !proven(RelationSide{}, kinds.relation_kind)) {
    attached->writer_ready = rebuild(graph, index, working);
    if (attached->writer_ready) expect_buffer_write(graph, index.header);
    return;
  }
  const std::uint32_t generation = index.header.generation;
  if (!index_kind<NodeSide>(graph, index, generation, kinds.node_kinds[0], working) ||
      !index_kind<NodeSide>(graph, index, generation, kinds.node_kinds[1], working) ||
      !index_kind<RelationSide>(graph, index, generation, kinds.relation_kind, working)) {
    store_generation(index.header, generation | 1u);  // table full: out of use
    attached->writer_ready = false;
    return;
  }
  expect_buffer_write(graph, index.header);
  if (graph.autocommit_enabled()) {
    // The active buffer, which this write's publication leaves inactive, held the
    // tails the index matched at the write's start, and the write proved the
    // last slot of each kind it appends to.
    const std::uint64_t active = graph.active_buffer();
    attached->vouched = graph.indices[active];
    attached->vouched_buffer = active;
  }
}

void index_expect_buffer_write(KnowledgeGraph& graph) {
  Attachment* attached = attachment_of(graph);
  if (attached == nullptr) return;
  Header& header = attached->index.load(std::memory_order_relaxed)->header;
  // The copy is about to erase another writer's unpublished batch: if that batch
  // rewrote published slots, the index goes out of use until the next write rebuilds it.
  const std::uint64_t active = graph.active_buffer();
  if (header.magic == kMagic && !(header.generation & 1u) &&
      !other_buffer_proven(graph, header.salt, graph.indices[1 - active], graph.indices[active])) {
    store_generation(header, header.generation | 1u);
    attached->writer_ready = false;
    attached->writer_stale = true;
    return;
  }
  expect_buffer_write(graph, header);
}

void index_published(KnowledgeGraph& graph) {
  Attachment* attached = attachment_of(graph);
  if (attached == nullptr || !attached->writer_ready) return;
  refresh_clear_epoch(graph, attached->index.load(std::memory_order_relaxed)->header);
}

void index_cleared(KnowledgeGraph& graph) {
  Attachment* attached = attachment_of(graph);
  if (attached == nullptr) return;
  IndexBytes& index = *attached->index.load(std::memory_order_relaxed);
  const std::uint32_t generation = start_generation(index);
  for (std::uint64_t& tail : index.header.node_tail) word(tail).store(0, std::memory_order_relaxed);
  for (std::uint64_t& tail : index.header.relation_tail)
    word(tail).store(0, std::memory_order_relaxed);
  finish_generation(graph, index.header, generation);
  attached->writer_ready = true;
  attached->vouched_buffer = 2;
}

std::optional<std::uint64_t> writer_latest_node_slot(const KnowledgeGraph& graph,
                                                     const GraphIndices& working, Index node) {
  return writer_lookup<NodeSide>(graph, working, node.type_index, node.instance_id);
}

std::optional<std::uint64_t> writer_latest_relation_slot(const KnowledgeGraph& graph,
                                                         const GraphIndices& working,
                                                         Index relation) {
  return writer_lookup<RelationSide>(graph, working, relation.type_index, relation.instance_id);
}

}  // namespace detail

// ==== Kind reads: every instance's latest slot, and the write order ====
// Read-side functions for the kind queries and the iterators. Both answer only
// under the same proof as a single lookup (proven_generation) and re-check the
// generation after reading, like it; otherwise they answer nothing and the caller
// walks the kind.

namespace {

// One pass over a table for the kinds [first, last): the entries of the proven
// generation, each followed down to the snapshot's tail as a lookup would.
template <class Side>
void enumerate_latest(const KnowledgeGraph& graph, const Snapshot& snapshot, std::uint64_t first,
                      std::uint64_t last, std::optional<std::vector<LatestSlot>>* out) {
  last = std::min(last, Side::kKinds);
  for (std::uint64_t kind = first; kind < last; ++kind) out[kind - first].reset();
  IndexBytes* index = index_of(graph);
  if (first >= last || index == nullptr) return;

  std::array<std::uint64_t, Side::kKinds> tail{};
  std::array<bool, Side::kKinds> wanted{};
  std::optional<std::uint32_t> generation;
  for (std::uint64_t kind = first; kind < last; ++kind) {
    tail[kind] = std::min(Side::tails(snapshot.indices)[kind], Side::kCapacity);
    if (tail[kind] == 0) {
      out[kind - first].emplace();  // an empty kind needs no proof
      continue;
    }
    const auto proven = proven_generation<Side>(graph, *index, snapshot, kind, tail[kind]);
    if (!proven || (generation && *generation != *proven)) continue;
    generation = proven;
    wanted[kind] = true;
    out[kind - first].emplace();
  }
  if (!generation) return;

  const std::uint64_t salt = word(index->header.salt).load(std::memory_order_relaxed);
  const Entry* table = Side::table(*index);
  for (std::size_t at = 0; at < kTableEntries; ++at) {
    Entry& entry = const_cast<Entry&>(table[at]);
    const std::uint64_t meta = word(entry.meta).load(std::memory_order_acquire);
    if (meta >> 32 != *generation || (meta & 0xFFFFFF) == 0) continue;
    const std::uint64_t kind = (meta >> 24) & 0xFF;
    if (kind < first || kind >= last || !wanted[kind]) continue;
    const std::uint64_t id = word(entry.instance_id).load(std::memory_order_relaxed);
    const Answer answer = walk_down<Side>(graph, salt, kind, id, (meta & 0xFFFFFF) - 1, tail[kind]);
    if (answer.outcome == Outcome::Found) {
      out[kind - first]->push_back({id, answer.slot});
    } else if (answer.outcome == Outcome::Unknown) {
      wanted[kind] = false;
      out[kind - first].reset();
    }
  }
  if (!generation_unchanged(*index, *generation)) {
    for (std::uint64_t kind = first; kind < last; ++kind)
      if (wanted[kind]) out[kind - first].reset();
  }
}

template <class Side>
std::uint64_t ordered_prefix(const KnowledgeGraph& graph, const Snapshot& snapshot,
                             std::uint64_t kind) {
  if (kind >= Side::kKinds) return 0;
  const std::uint64_t tail = std::min(Side::tails(snapshot.indices)[kind], Side::kCapacity);
  if (tail < 2) return tail;  // nothing to be out of order
  IndexBytes* index = index_of(graph);
  if (index == nullptr) return 0;
  const auto generation = proven_generation<Side>(graph, *index, snapshot, kind, tail);
  if (!generation) return 0;
  const std::uint64_t disorder =
      word(Side::disorder(index->order)[kind]).load(std::memory_order_relaxed);
  if (!generation_unchanged(*index, *generation)) return 0;
  return disorder == 0 ? tail : std::min(disorder, tail);
}

}  // namespace

void latest_node_slots(const KnowledgeGraph& graph, const Snapshot& snapshot,
                       std::uint64_t first_kind, std::uint64_t last_kind,
                       std::optional<std::vector<LatestSlot>>* out) {
  enumerate_latest<NodeSide>(graph, snapshot, first_kind, last_kind, out);
}

void latest_relation_slots(const KnowledgeGraph& graph, const Snapshot& snapshot,
                           std::uint64_t first_kind, std::uint64_t last_kind,
                           std::optional<std::vector<LatestSlot>>* out) {
  enumerate_latest<RelationSide>(graph, snapshot, first_kind, last_kind, out);
}

std::uint64_t node_ordered_prefix(const KnowledgeGraph& graph, const Snapshot& snapshot,
                                  std::uint64_t kind) {
  return ordered_prefix<NodeSide>(graph, snapshot, kind);
}

std::uint64_t relation_ordered_prefix(const KnowledgeGraph& graph, const Snapshot& snapshot,
                                      std::uint64_t kind) {
  return ordered_prefix<RelationSide>(graph, snapshot, kind);
}
// ==== end of kind reads ====

}  // namespace knowledge_graph::graph

// ---- Version chains ----

namespace knowledge_graph::graph {
namespace {

// Every slot of one instance below `tail`, newest first, from the indexed latest
// slot down the links. Nothing when the index cannot prove the chain complete.
template <class Side>
VARNEL_NO_SANITIZE_THREAD std::optional<std::vector<std::uint64_t>> chain_through_index(
    const KnowledgeGraph& graph, const Snapshot& snapshot, std::uint64_t kind, std::uint64_t id) {
  if (kind >= Side::kKinds) return std::vector<std::uint64_t>{};
  const std::uint64_t tail = std::min(Side::tails(snapshot.indices)[kind], Side::kCapacity);
  IndexBytes* index = index_of(graph);
  if (index == nullptr) return std::nullopt;
  // The same proof as a single lookup, stamps included.
  const std::optional<std::uint32_t> proven = proven_generation<Side>(graph, *index, snapshot, kind, tail);
  if (!proven) return std::nullopt;
  const std::uint32_t generation = *proven;
  const std::uint64_t salt = word(index->header.salt).load(std::memory_order_relaxed);

  const Probe found = probe(Side::table(*index), generation, kind, id);
  if (found.entry == nullptr) return std::nullopt;
  std::vector<std::uint64_t> slots;
  if (found.slot) {
    const typename Side::Record* records = Side::slots(graph, kind);
    std::uint64_t slot = *found.slot;
    for (;;) {
      if (slot >= Side::kCapacity) return std::nullopt;
      const typename Side::Record& record = records[slot];
      if (detail::racy_word(record.instance_id) != id) return std::nullopt;
      const Link link = read_link(record, salt, Side::kTag | kind, slot);
      if (!link.stamped) return std::nullopt;
      if (slot < tail) slots.push_back(slot);
      if (!link.previous) break;
      if (*link.previous >= slot) return std::nullopt;
      slot = *link.previous;
    }
  }
  if (!generation_unchanged(*index, generation)) return std::nullopt;
  return slots;
}

}  // namespace

std::optional<std::vector<std::uint64_t>> node_version_chain(const KnowledgeGraph& graph,
                                                             const Snapshot& snapshot, Index node) {
  return chain_through_index<NodeSide>(graph, snapshot, node.type_index, node.instance_id);
}

std::optional<std::vector<std::uint64_t>> relation_version_chain(const KnowledgeGraph& graph,
                                                                 const Snapshot& snapshot,
                                                                 Index relation) {
  return chain_through_index<RelationSide>(graph, snapshot, relation.type_index,
                                           relation.instance_id);
}

}  // namespace knowledge_graph::graph

// ---- As of a time ----

namespace knowledge_graph::graph {
namespace {

// Down the links of one instance from `slot` to its first version below `tail`
// stamped at or before `t`. `steps` counts the versions walked; at `budget` the
// walk gives up (Unknown), as it does at any link it cannot prove.
template <class Side>
VARNEL_NO_SANITIZE_THREAD Answer walk_to_time(const KnowledgeGraph& graph, std::uint64_t salt,
                                              std::uint64_t kind, std::uint64_t id,
                                              std::uint64_t slot, std::uint64_t tail,
                                              std::uint64_t t, std::uint64_t& steps,
                                              std::uint64_t budget) {
  const typename Side::Record* records = Side::slots(graph, kind);
  for (; steps < budget; ++steps) {
    if (slot >= Side::kCapacity) return {Outcome::Unknown};
    const typename Side::Record& record = records[slot];
    if (detail::racy_word(record.instance_id) != id) return {Outcome::Unknown};
    const Link link = read_link(record, salt, Side::kTag | kind, slot);
    if (!link.stamped) return {Outcome::Unknown};
    if (slot < tail && detail::racy_word(record.timestamp) <= t) return {Outcome::Found, slot};
    if (!link.previous) return {Outcome::Absent};
    if (*link.previous >= slot) return {Outcome::Unknown};
    slot = *link.previous;
  }
  return {Outcome::Unknown};
}

template <class Side>
std::optional<std::optional<std::uint64_t>> slot_as_of(const KnowledgeGraph& graph,
                                                       const Snapshot& snapshot,
                                                       std::uint64_t kind, std::uint64_t id,
                                                       std::uint64_t t) {
  if (kind >= Side::kKinds) return std::optional<std::uint64_t>{};
  const std::uint64_t tail = std::min(Side::tails(snapshot.indices)[kind], Side::kCapacity);
  if (tail == 0) return std::optional<std::uint64_t>{};
  IndexBytes* index = index_of(graph);
  if (index == nullptr) return std::nullopt;
  const std::optional<std::uint32_t> generation =
      proven_generation<Side>(graph, *index, snapshot, kind, tail);
  if (!generation) return std::nullopt;
  const std::uint64_t salt = word(index->header.salt).load(std::memory_order_relaxed);
  const Probe found = probe(Side::table(*index), *generation, kind, id);
  if (found.entry == nullptr) return std::nullopt;
  Answer answer{Outcome::Absent};
  std::uint64_t steps = 0;
  if (found.slot)
    answer = walk_to_time<Side>(graph, salt, kind, id, *found.slot, tail, t, steps, tail + 1);
  if (answer.outcome == Outcome::Unknown || !generation_unchanged(*index, *generation))
    return std::nullopt;
  if (answer.outcome == Outcome::Absent) return std::optional<std::uint64_t>{};
  return std::optional<std::uint64_t>(answer.slot);
}

template <class Side>
VARNEL_NO_SANITIZE_THREAD bool slots_as_of(const KnowledgeGraph& graph, const Snapshot& snapshot,
                                           std::uint64_t kind, std::uint64_t t,
                                           const std::map<std::uint64_t, std::uint64_t>& latest,
                                           std::map<std::uint64_t, std::uint64_t>& out) {
  out.clear();
  if (kind >= Side::kKinds) return true;
  const std::uint64_t tail = std::min(Side::tails(snapshot.indices)[kind], Side::kCapacity);
  if (tail == 0) return true;
  IndexBytes* index = index_of(graph);
  if (index == nullptr) return false;
  const std::optional<std::uint32_t> generation =
      proven_generation<Side>(graph, *index, snapshot, kind, tail);
  if (!generation) return false;
  const std::uint64_t salt = word(index->header.salt).load(std::memory_order_relaxed);
  const std::uint64_t disorder =
      word(Side::disorder(index->order)[kind]).load(std::memory_order_relaxed);
  const typename Side::Record* records = Side::slots(graph, kind);
  const auto stamp = [&](std::uint64_t slot) { return detail::racy_word(records[slot].timestamp); };

  // Where the whole kind is in time order, `end` is the first slot stamped after
  // t; otherwise the walk would cost the whole kind.
  const bool ordered = disorder == 0 || disorder >= tail;
  std::uint64_t end = tail;
  if (ordered) {
    std::uint64_t low = 0, count = tail;
    while (count > 0) {
      const std::uint64_t half = count / 2;
      if (stamp(low + half) <= t) {
        low += half + 1;
        count -= half + 1;
      } else {
        count = half;
      }
    }
    end = low;
    // A run that does not fit its neighbours (a damaged stamp) is no proof.
    if ((end < tail && stamp(end) <= t) || (end > 0 && stamp(end - 1) > t)) return false;
  }
  const std::uint64_t budget = end + 1;  // what the walk of the slots up to t costs

  // Instances whose latest version is stamped up to t answer at once.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> pending;  // (id, latest slot), ascending
  for (const auto& [id, slot] : latest) {
    if (slot >= tail) return false;
    if (stamp(slot) <= t) {
      out.emplace_hint(out.end(), id, slot);
    } else {
      pending.emplace_back(id, slot);
    }
  }
  std::uint64_t steps = 0;
  // Busy instances: their version as of t lies just below `end`.
  if (ordered && !pending.empty()) {
    std::vector<bool> met(pending.size(), false);
    std::size_t left = pending.size();
    const std::uint64_t look = 4 * pending.size() + 64;
    for (std::uint64_t slot = end; slot-- > 0 && left > 0 && steps < look; ++steps) {
      const std::uint64_t id = detail::racy_word(records[slot].instance_id);
      const auto at = std::lower_bound(
          pending.begin(), pending.end(), id,
          [](const std::pair<std::uint64_t, std::uint64_t>& entry, std::uint64_t key) {
            return entry.first < key;
          });
      if (at == pending.end() || at->first != id) continue;
      const auto position = static_cast<std::size_t>(at - pending.begin());
      if (met[position]) continue;
      if (stamp(slot) > t) return false;
      met[position] = true;
      --left;
      out.emplace(id, slot);
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < pending.size(); ++i)
      if (!met[i]) pending[kept++] = pending[i];
    pending.resize(kept);
  }
  // The rest down their links, while that costs less than the walk.
  for (const auto& [id, slot] : pending) {
    const Answer answer = walk_to_time<Side>(graph, salt, kind, id, slot, tail, t, steps, budget);
    if (answer.outcome == Outcome::Unknown) return false;
    if (answer.outcome == Outcome::Found) out.emplace(id, answer.slot);
  }
  return generation_unchanged(*index, *generation);
}

}  // namespace

std::optional<std::optional<std::uint64_t>> node_slot_as_of(const KnowledgeGraph& graph,
                                                            const Snapshot& snapshot, Index node,
                                                            std::uint64_t t) {
  return slot_as_of<NodeSide>(graph, snapshot, node.type_index, node.instance_id, t);
}

std::optional<std::optional<std::uint64_t>> relation_slot_as_of(const KnowledgeGraph& graph,
                                                                const Snapshot& snapshot,
                                                                Index relation, std::uint64_t t) {
  return slot_as_of<RelationSide>(graph, snapshot, relation.type_index, relation.instance_id, t);
}

bool node_slots_as_of(const KnowledgeGraph& graph, const Snapshot& snapshot, std::uint64_t kind,
                      std::uint64_t t, const std::map<std::uint64_t, std::uint64_t>& latest,
                      std::map<std::uint64_t, std::uint64_t>& out) {
  return slots_as_of<NodeSide>(graph, snapshot, kind, t, latest, out);
}

bool relation_slots_as_of(const KnowledgeGraph& graph, const Snapshot& snapshot,
                          std::uint64_t kind, std::uint64_t t,
                          const std::map<std::uint64_t, std::uint64_t>& latest,
                          std::map<std::uint64_t, std::uint64_t>& out) {
  return slots_as_of<RelationSide>(graph, snapshot, kind, t, latest, out);
}

}  // namespace knowledge_graph::graph
