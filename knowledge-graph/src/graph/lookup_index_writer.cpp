// The lookup index, the writer's side: the steps each write takes to keep it
// current (begin, appended, published, cleared), rebuilds, and the writer's
// own lookups below its working tails.
#include "lookup_index_layout.hpp"
#include "knowledge_graph/graph/lookup_index.hpp"
#include "lookup_index_writer.hpp"

namespace knowledge_graph::graph {

using namespace index_layout;

namespace {

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
    std::uint16_t& entries = Side::entries(index.header);
    const std::uint16_t used = entries;
    if (used >= kTableLimit) {
      word(entries).store(static_cast<std::uint16_t>(used + 1), std::memory_order_relaxed);
      return false;
    }
    word(Side::taken(index)[used])
        .store(static_cast<std::uint16_t>(found.entry - Side::table(index)), std::memory_order_relaxed);
    word(entries).store(static_cast<std::uint16_t>(used + 1), std::memory_order_release);
    word(found.entry->instance_id).store(id, std::memory_order_relaxed);
  }
  word(found.entry->meta).store(make_meta(generation, kind, slot), std::memory_order_release);
  return true;
}

// Indexes the versions of one kind between what the index reflects and
// `working`'s tail. Starting from the index's own tail makes a repeated kind
// harmless.
// `stamped`, when given, is set to the last slot stamped (left as it is when none).
template <class Side>
bool index_kind(KnowledgeGraph& graph, IndexBytes& index, std::uint32_t generation,
                std::uint64_t kind, const GraphIndices& working,
                std::uint64_t* stamped = nullptr) {
  if (kind >= Side::kKinds) return true;
  std::uint64_t& indexed = Side::tails(index.header)[kind];
  const std::uint64_t end = std::min(Side::tails(working)[kind], Side::kCapacity);
  for (std::uint64_t slot = indexed; slot < end; ++slot) {
    if (!index_slot<Side>(graph, index, generation, kind, slot)) return false;
    if (stamped != nullptr) *stamped = slot;
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
  return std::memcmp(working.node_index_tail.data(), header.node_tail, sizeof header.node_tail) == 0 &&
         std::memcmp(working.relation_index_tail.data(), header.relation_tail,
                     sizeof header.relation_tail) == 0;
}

// Whether the record's two bookkeeping buffers are, byte for byte, those this
// writer's last publication left, with the same one active.
bool holds_published(const Attachment& attached, const KnowledgeGraph& graph, std::uint64_t active) {
  static_assert(sizeof attached.published == sizeof graph.indices);
  return attached.published_active == active &&
         std::memcmp(graph.indices, attached.published, sizeof attached.published) == 0;
}

// Keeps the buffers the publication about to come leaves: `working` active, and
// inactive the one active now, as the write's start found it held or proved it.
void keep_published(Attachment& attached, const KnowledgeGraph& graph, const GraphIndices& working) {
  const std::uint64_t active = graph.active_buffer();
  attached.published[1 - active] = working;
  attached.published_active = 1 - active;
}

// Remembers the node version just stamped at `slot`, as it reads now.
void remember_stamp(Attachment& attached, const KnowledgeGraph& graph, std::uint64_t salt,
                    std::uint64_t kind, std::uint64_t slot) {
  const NodeRecord& record = graph.node_records[kind][slot];
  attached.last_stamped.salt = salt;
  attached.last_stamped.kind = kind;
  attached.last_stamped.slot = slot;
  attached.last_stamped.words[0] = record.instance_id;
  attached.last_stamped.words[1] = record.timestamp;
  attached.last_stamped.words[2] = record.value_index;
  attached.last_stamped.words[3] = read_last_word(record);
}

// Whether the node version at `slot` is the one remembered, word for word: then
// the fingerprint it was stamped with still checks.
bool is_remembered_stamp(const Attachment& attached, const KnowledgeGraph& graph,
                         std::uint64_t salt, std::uint64_t kind, std::uint64_t slot) {
  const auto& last = attached.last_stamped;
  if (last.kind != kind || last.slot != slot || last.salt != salt) return false;
  const NodeRecord& record = graph.node_records[kind][slot];
  return ((record.instance_id ^ last.words[0]) | (record.timestamp ^ last.words[1]) |
          (record.value_index ^ last.words[2]) | (read_last_word(record) ^ last.words[3])) == 0;
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
  word(header.node_entries).store(0, std::memory_order_relaxed);
  word(header.relation_entries).store(0, std::memory_order_relaxed);
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

// ---- The writer's steps ----

namespace detail {

IndexWrite index_begin_write(KnowledgeGraph& graph, const GraphIndices& working,
                             const Index* new_node) {
  Attachment* attached = attachment_of(graph);
  if (attached == nullptr) return {};
  IndexBytes& index = *attached->index.load(std::memory_order_relaxed);
  if (new_node != nullptr) prefetch_entry(index.nodes, new_node->type_index, new_node->instance_id);
  Header& header = index.header;
  // Publishing will overwrite the other buffer: judge its evidence first. Both
  // buffers as this writer left them prove it, and the working tails, at once.
  const std::uint64_t active = graph.active_buffer();
  const bool from_active = graph.autocommit_enabled();
  const bool held = from_active && holds_published(*attached, graph, active);
  const bool current = header.magic == kMagic && !(header.generation & 1u) &&
                       header.sequence == load_sequence(graph) && !attached->writer_stale &&
                       (held || (tails_match(header, working) &&
                                 (!from_active || other_buffer_proven(graph, header.salt,
                                                                      graph.indices[1 - active], working))));
  if (from_active && !held) attached->published[active] = working;
  attached->published_active = 2;  // until the write is indexed
  attached->writer_stale = false;
  attached->writer_ready = current || rebuild(graph, index, working);
  if (attached->writer_ready) refresh_clear_epoch(graph, header);
  return {attached};
}

void index_appended(KnowledgeGraph& graph, const GraphIndices& working,
                    const AppendedKinds& kinds) {
  index_appended(graph, working, kinds, {attachment_of(graph)});
}

void index_appended(KnowledgeGraph& graph, const GraphIndices& working, const AppendedKinds& kinds,
                    IndexWrite write) {
  auto* attached = static_cast<Attachment*>(write.attachment);
  if (attached == nullptr || !attached->writer_ready) return;
  IndexBytes& index = *attached->index.load(std::memory_order_relaxed);
  const std::uint64_t salt = index.header.salt;
  // The versions this write appends go on top of what the index holds for their
  // kinds; if another writer rewrote one of those kinds, rebuild instead.
  const auto proven = [&](auto side, std::uint64_t kind) {
    using Side = decltype(side);
    if (kind >= Side::kKinds) return true;
    const std::uint64_t tail = Side::tails(index.header)[kind];
    if constexpr (std::is_same_v<Side, NodeSide>) {
      if (tail != 0 && is_remembered_stamp(*attached, graph, salt, kind, tail - 1)) return true;
    }
    return last_slot_proven<Side>(graph, salt, kind, tail);
  };
  if (!proven(NodeSide{}, kinds.node_kinds[0]) || !proven(NodeSide{}, kinds.node_kinds[1]) ||
      !proven(RelationSide{}, kinds.relation_kind)) {
    attached->writer_ready = rebuild(graph, index, working);
    if (attached->writer_ready) expect_buffer_write(graph, index.header);
    return;
  }
  const std::uint32_t generation = index.header.generation;
  std::uint64_t stamped[2] = {kNodeVersionsPerKind, kNodeVersionsPerKind};
  // (Kinds out of range are skipped here: most writes name one node kind.)
  if ((kinds.node_kinds[0] < kNodeKinds &&
       !index_kind<NodeSide>(graph, index, generation, kinds.node_kinds[0], working, &stamped[0])) ||
      (kinds.node_kinds[1] < kNodeKinds &&
       !index_kind<NodeSide>(graph, index, generation, kinds.node_kinds[1], working, &stamped[1])) ||
      (kinds.relation_kind < kRelationKinds &&
       !index_kind<RelationSide>(graph, index, generation, kinds.relation_kind, working))) {
    store_generation(index.header, generation | 1u);  // table full: out of use
    attached->writer_ready = false;
    return;
  }
  // The next write to the kind proves this version again before appending on top.
  if (stamped[1] < kNodeVersionsPerKind) {
    remember_stamp(*attached, graph, salt, kinds.node_kinds[1], stamped[1]);
  } else if (stamped[0] < kNodeVersionsPerKind) {
    remember_stamp(*attached, graph, salt, kinds.node_kinds[0], stamped[0]);
  }
  expect_buffer_write(graph, index.header);
  // The publication that follows publishes `working` as it stands.
  if (graph.autocommit_enabled()) keep_published(*attached, graph, working);
}

void index_expect_buffer_write(KnowledgeGraph& graph) {
  Attachment* attached = attachment_of(graph);
  if (attached == nullptr) return;
  Header& header = attached->index.load(std::memory_order_relaxed)->header;
  attached->published_active = 2;  // a buffer write of another kind follows
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
  attached->published_active = 2;
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

}  // namespace knowledge_graph::graph
