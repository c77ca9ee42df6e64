// The lookup index's kind reads: every instance's latest slot in one pass over
// a table, and how far a kind's versions are in time order.
#include "lookup_index_layout.hpp"
#include "knowledge_graph/graph/lookup_index.hpp"

namespace knowledge_graph::graph {

using namespace index_layout;

// ==== Kind reads: every instance's latest slot, and the write order ====
// Read-side functions for the kind queries and the iterators. Both answer only
// under the same proof as a single lookup (proven_generation) and re-check the
// generation after reading, like it; otherwise they answer nothing and the caller
// walks the kind.

namespace {

// One pass over the entries a table's generation took, for the kinds
// [first, last): each followed down to the snapshot's tail as a lookup would.
// Every entry of a version below the snapshot's tails was counted before that
// version was published.
// With `removed_by`, instances whose latest version is a removal stamped at or
// before it are left out.
template <class Side>
void enumerate_latest(const KnowledgeGraph& graph, const Snapshot& snapshot, std::uint64_t first,
                      std::uint64_t last, std::optional<std::vector<LatestSlot>>* out,
                      std::optional<std::uint64_t> removed_by = std::nullopt) {
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
  Entry* table = Side::table(*index);
  const std::uint16_t* taken = Side::taken(*index);
  const std::size_t used = std::min<std::size_t>(
      word(Side::entries(index->header)).load(std::memory_order_acquire), kTableEntries);
  for (std::size_t i = 0; i < used; ++i) {
    const std::size_t at =
        word(const_cast<std::uint16_t&>(taken[i])).load(std::memory_order_relaxed) % kTableEntries;
    Entry& entry = table[at];
    const std::uint64_t meta = word(entry.meta).load(std::memory_order_acquire);
    if (meta >> 32 != *generation || (meta & 0xFFFFFF) == 0) continue;
    const std::uint64_t kind = (meta >> 24) & 0xFF;
    if (kind < first || kind >= last || !wanted[kind]) continue;
    const std::uint64_t id = word(entry.instance_id).load(std::memory_order_relaxed);
    const Answer answer = walk_down<Side>(graph, salt, kind, id, (meta & 0xFFFFFF) - 1, tail[kind]);
    if (answer.outcome == Outcome::Found) {
      if (removed_by) {
        const typename Side::Record& record = Side::slots(graph, kind)[answer.slot];
        if (detail::racy_word(record.timestamp) <= *removed_by &&
            detail::racy_byte(record.marker) != Marker::Valid)
          continue;
      }
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

void latest_node_slots_since(const KnowledgeGraph& graph, const Snapshot& snapshot, std::uint64_t t,
                             std::uint64_t first_kind, std::uint64_t last_kind,
                             std::optional<std::vector<LatestSlot>>* out) {
  enumerate_latest<NodeSide>(graph, snapshot, first_kind, last_kind, out, t);
}

void latest_relation_slots_since(const KnowledgeGraph& graph, const Snapshot& snapshot,
                                 std::uint64_t t, std::uint64_t first_kind,
                                 std::uint64_t last_kind,
                                 std::optional<std::vector<LatestSlot>>* out) {
  enumerate_latest<RelationSide>(graph, snapshot, first_kind, last_kind, out, t);
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
