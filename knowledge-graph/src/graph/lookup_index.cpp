// The lookup index, the reader's side: the scans it falls back to, the
// attachments, single lookups, version chains, and states as of a time, each
// answered only under the proof in lookup_index_layout.hpp.
#include "lookup_index_layout.hpp"
#include "knowledge_graph/graph/lookup_index.hpp"

namespace knowledge_graph::graph {

using namespace index_layout;

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

// ---- Attachments ----

std::size_t lookup_index_size() { return sizeof(IndexBytes); }

bool attach_lookup_index(const KnowledgeGraph& graph, void* bytes) {
  return attachments.attach(graph, [&](Attachment& attached) {
    attached.index.store(static_cast<IndexBytes*>(bytes), std::memory_order_release);
    attached.writer_ready = false;
    attached.writer_stale = false;
    attached.published_active = 2;
  }) != nullptr;
}

bool attach_region_lookup_index(const KnowledgeGraph& graph, std::size_t view_size) {
  if (view_size < lookup_index_offset() + lookup_index_size()) return false;
  auto* bytes = reinterpret_cast<unsigned char*>(const_cast<KnowledgeGraph*>(&graph));
  return attach_lookup_index(graph, bytes + lookup_index_offset());
}

void detach_lookup_index(const KnowledgeGraph& graph) { attachments.detach(graph); }

bool has_lookup_index(const KnowledgeGraph& graph) { return index_of(graph) != nullptr; }

std::optional<std::uint64_t> latest_node_slot(const KnowledgeGraph& graph,
                                              const Snapshot& snapshot, Index node) {
  return reader_lookup<NodeSide>(graph, snapshot, node.type_index, node.instance_id);
}

std::optional<std::uint64_t> latest_relation_slot(const KnowledgeGraph& graph,
                                                  const Snapshot& snapshot, Index relation) {
  return reader_lookup<RelationSide>(graph, snapshot, relation.type_index, relation.instance_id);
}


// ---- Version chains ----

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


// ---- As of a time ----

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

// An instance and its latest slot, from either form of `latest`.
std::pair<std::uint64_t, std::uint64_t> id_and_slot(
    const std::pair<const std::uint64_t, std::uint64_t>& entry) {
  return {entry.first, entry.second};
}
std::pair<std::uint64_t, std::uint64_t> id_and_slot(const LatestSlot& entry) {
  return {entry.instance_id, entry.slot};
}

template <class Side, class Latest>
VARNEL_NO_SANITIZE_THREAD bool slots_as_of(const KnowledgeGraph& graph, const Snapshot& snapshot,
                                           std::uint64_t kind, std::uint64_t t,
                                           const Latest& latest,
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
  for (const auto& entry : latest) {
    const auto [id, slot] = id_and_slot(entry);
    if (slot >= tail) return false;
    if (stamp(slot) <= t) {
      // Removed by t: nothing as of t (and the view returns only what is valid).
      if (detail::racy_byte(records[slot].marker) != Marker::Valid) continue;
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

bool node_slots_as_of(const KnowledgeGraph& graph, const Snapshot& snapshot, std::uint64_t kind,
                      std::uint64_t t, const std::vector<LatestSlot>& latest,
                      std::map<std::uint64_t, std::uint64_t>& out) {
  return slots_as_of<NodeSide>(graph, snapshot, kind, t, latest, out);
}

bool relation_slots_as_of(const KnowledgeGraph& graph, const Snapshot& snapshot,
                          std::uint64_t kind, std::uint64_t t,
                          const std::map<std::uint64_t, std::uint64_t>& latest,
                          std::map<std::uint64_t, std::uint64_t>& out) {
  return slots_as_of<RelationSide>(graph, snapshot, kind, t, latest, out);
}

bool relation_slots_as_of(const KnowledgeGraph& graph, const Snapshot& snapshot,
                          std::uint64_t kind, std::uint64_t t, const std::vector<LatestSlot>& latest,
                          std::map<std::uint64_t, std::uint64_t>& out) {
  return slots_as_of<RelationSide>(graph, snapshot, kind, t, latest, out);
}



}  // namespace knowledge_graph::graph
