// The read side: latest versions, instances of a kind within an interval, and
// the iterators' entry points. Every read takes its own snapshot of the active
// buffer and checks the guard after reading slots; a read overtaken by a clear
// starts again from a fresh snapshot, so no caller sees a reused slot's bytes.
//
// The kind queries cost what they return: over all time the lookup index names
// every instance's latest slot; over a window only the slots that can hold it are
// walked (see kind_reads.hpp), newest first, and items are copied only for the
// instances returned. Without the index's proof the whole kind is walked.
//
// Damaged records: tails are clamped by the snapshot, kinds out of range find
// nothing, and a `value_index` outside the value array names no value (the
// lookups answer absent; items carry the Empty value).
#include <algorithm>
#include <array>
#include <optional>
#include <utility>
#include <vector>

#include "knowledge_graph/graph/iterators.hpp"
#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/lookup_index.hpp"
#include "kind_reads.hpp"
#include "racy_copy.hpp"

namespace knowledge_graph::graph {
namespace {

using interval_algebra::Interval;

// Runs `read` on fresh snapshots until one is not overtaken by a clear.
template <class Read> auto read_guarded(const KnowledgeGraph& graph, Read read) {
  for (;;) {
    const Snapshot taken = graph.snapshot();
    auto result = read(taken);
    if (!graph.cleared_since(taken)) return result;
  }
}

// The ids seen so far in a backward walk: open addressing, sized for the walk.
class IdSet {
 public:
  explicit IdSet(std::uint64_t most) {
    std::size_t size = 16;
    while (size < 2 * most) size *= 2;
    ids_.assign(size, 0);
    used_.assign(size, 0);
  }
  // True when `id` was not in the set.
  bool insert(std::uint64_t id) {
    const std::size_t mask = ids_.size() - 1;
    std::size_t at = static_cast<std::size_t>((id * 0x9E3779B97F4A7C15ull) >> 32) & mask;
    while (used_[at]) {
      if (ids_[at] == id) return false;
      at = (at + 1) & mask;
    }
    used_[at] = 1;
    ids_[at] = id;
    return true;
  }

 private:
  std::vector<std::uint64_t> ids_;
  std::vector<std::uint8_t> used_;
};

// One side of the graph (nodes or relations) as the reads use it: its records,
// values, latest-slot lookups, windows and item copies.
template <class RecordT, class ItemT, class ValueT, std::uint64_t Kinds, std::uint64_t Values,
          auto Records, auto ValueArray, auto FindLatest, auto Window, auto EnumerateLatest, auto Copy>
struct Side {
  using Record = RecordT;
  using Item = ItemT;
  using Value = ValueT;
  static constexpr std::uint64_t kKinds = Kinds;
  static constexpr std::uint64_t kValues = Values;
  static const Record* slots(const KnowledgeGraph& g, std::uint64_t kind) { return (g.*Records)[kind]; }
  static const Value* values(const KnowledgeGraph& g) { return g.*ValueArray; }
  static std::optional<std::uint64_t> latest_slot(const KnowledgeGraph& g, const Snapshot& s, Index id) {
    return FindLatest(g, s, id);
  }
  static detail::SlotWindow window(const KnowledgeGraph& g, const Snapshot& s,
                                   const Interval& interval, std::uint64_t kind) {
    return Window(g, s, interval, kind);
  }
  static void latest(const KnowledgeGraph& g, const Snapshot& s, std::uint64_t first,
                     std::uint64_t last, std::optional<std::vector<LatestSlot>>* out) {
    EnumerateLatest(g, s, first, last, out);
  }
  static void copy(const KnowledgeGraph& g, const Record& slot, Item& item) { Copy(g, slot, item); }
};

using NodeKind = Side<NodeRecord, NodeItem, KnowledgeGraphNode, kNodeKinds, kNodeValues,
                      &KnowledgeGraph::node_records, &KnowledgeGraph::node_values, &latest_node_slot,
                      &detail::node_slot_window, &latest_node_slots, &detail::copy_node_item>;
using RelationKind =
    Side<RelationRecord, RelationItem, KnowledgeGraphRelation, kRelationKinds, kRelationValues,
         &KnowledgeGraph::relation_records, &KnowledgeGraph::relation_values, &latest_relation_slot,
         &detail::relation_slot_window, &latest_relation_slots, &detail::copy_relation_item>;

// Starts fetching the first lines of a version that will be copied soon.
template <class Record> void prefetch(const Record& record) {
#if defined(__GNUC__) || defined(__clang__)
  const auto* bytes = reinterpret_cast<const char*>(&record);
  for (std::size_t line = 0; line < sizeof(Record) && line < 256; line += 64)
    __builtin_prefetch(bytes + line);
#else
  (void)record;
#endif
}

// Keeps the Valid ones among `latest` (each instance's latest version that
// counts), in ascending instance id order.
template <class Kind>
void keep_valid_in_order(const KnowledgeGraph& graph, std::uint64_t kind,
                         std::vector<LatestSlot>& latest) {
  const typename Kind::Record* slots = Kind::slots(graph, kind);
  std::erase_if(latest, [&](const LatestSlot& found) {
    return detail::racy_byte(slots[found.slot].marker) != Marker::Valid;
  });
  std::sort(latest.begin(), latest.end(),
            [](const LatestSlot& a, const LatestSlot& b) { return a.instance_id < b.instance_id; });
}

// Copies the versions at `chosen` into `out` from position `at` on (room made).
template <class Kind>
void copy_items(const KnowledgeGraph& graph, std::uint64_t kind,
                const std::vector<LatestSlot>& chosen, typename Kind::Item* out) {
  const typename Kind::Record* slots = Kind::slots(graph, kind);
  // The versions lie scattered over the kind's array: fetch a few ahead.
  constexpr std::size_t kAhead = 4;
  for (std::size_t i = 0; i < chosen.size(); ++i) {
    if (i + kAhead < chosen.size()) prefetch(slots[chosen[i + kAhead].slot]);
    Kind::copy(graph, slots[chosen[i].slot], out[i]);
  }
}

// Each instance's latest version among the window's slots, walked newest slot
// first: the first version met of an id is its latest one inside the interval.
template <class Kind>
std::vector<LatestSlot> walk_latest(const KnowledgeGraph& graph, const Interval& interval,
                                    std::uint64_t kind, const detail::SlotWindow& window) {
  const typename Kind::Record* slots = Kind::slots(graph, kind);
  std::vector<LatestSlot> latest;
  IdSet seen((window.end - window.begin) + (window.tail - window.rest));
  const auto visit = [&](std::uint64_t slot) {
    const typename Kind::Record& record = slots[slot];
    if (!interval.includes(detail::racy_word(record.timestamp))) return;
    const std::uint64_t id = detail::racy_word(record.instance_id);
    if (seen.insert(id)) latest.push_back({id, slot});
  };
  for (std::uint64_t slot = window.tail; slot-- > window.rest;) visit(slot);
  for (std::uint64_t slot = window.end; slot-- > window.begin;) visit(slot);
  return latest;
}

// One kind below `taken`'s tail: the slots whose versions are returned, in order.
// `latest` is what the index enumerated, if it could.
template <class Kind>
std::vector<LatestSlot> chosen_slots(const KnowledgeGraph& graph, const Snapshot& taken,
                                     const Interval& interval, std::uint64_t kind,
                                     std::optional<std::vector<LatestSlot>> latest) {
  if (!latest || !detail::covers_all(interval))
    latest = walk_latest<Kind>(graph, interval, kind, Kind::window(graph, taken, interval, kind));
  keep_valid_in_order<Kind>(graph, kind, *latest);
  return std::move(*latest);
}

template <class Kind>
std::vector<typename Kind::Item> items_of_kind(const KnowledgeGraph& graph,
                                               const Interval& interval, std::uint64_t kind) {
  if (kind >= Kind::kKinds) return {};
  return read_guarded(graph, [&](const Snapshot& taken) {
    std::optional<std::vector<LatestSlot>> latest;
    if (detail::covers_all(interval)) Kind::latest(graph, taken, kind, kind + 1, &latest);
    const std::vector<LatestSlot> chosen =
        chosen_slots<Kind>(graph, taken, interval, kind, std::move(latest));
    std::vector<typename Kind::Item> items(chosen.size());
    copy_items<Kind>(graph, kind, chosen, items.data());
    return items;
  });
}

// All kinds from one snapshot, the index's table read once for them all, and
// the result allocated once.
template <class Kind>
std::vector<typename Kind::Item> items_of_all_kinds(const KnowledgeGraph& graph,
                                                    const Interval& interval) {
  return read_guarded(graph, [&](const Snapshot& taken) {
    std::array<std::optional<std::vector<LatestSlot>>, Kind::kKinds> latest;
    if (detail::covers_all(interval)) Kind::latest(graph, taken, 0, Kind::kKinds, latest.data());
    std::array<std::vector<LatestSlot>, Kind::kKinds> chosen;
    std::size_t total = 0;
    for (std::uint64_t kind = 0; kind < Kind::kKinds; ++kind) {
      chosen[kind] = chosen_slots<Kind>(graph, taken, interval, kind, std::move(latest[kind]));
      total += chosen[kind].size();
    }
    std::vector<typename Kind::Item> items(total);
    std::size_t at = 0;
    for (std::uint64_t kind = 0; kind < Kind::kKinds; ++kind) {
      copy_items<Kind>(graph, kind, chosen[kind], items.data() + at);
      at += chosen[kind].size();
    }
    return items;
  });
}

// The latest version of an instance, whatever its marker.
template <class Kind>
const typename Kind::Record* latest_record(const KnowledgeGraph& g, Index id) {
  if (id.type_index >= Kind::kKinds) return nullptr;
  return read_guarded(g, [&](const Snapshot& taken) -> const typename Kind::Record* {
    const auto slot = Kind::latest_slot(g, taken, id);
    return slot ? &Kind::slots(g, id.type_index)[*slot] : nullptr;
  });
}

// The payload of an instance's latest version, unless that version removed it.
template <class Kind>
const typename Kind::Value* latest_value(const KnowledgeGraph& g, Index id) {
  if (id.type_index >= Kind::kKinds) return nullptr;
  return read_guarded(g, [&](const Snapshot& taken) -> const typename Kind::Value* {
    const auto slot = Kind::latest_slot(g, taken, id);
    if (!slot) return nullptr;
    const typename Kind::Record& latest = Kind::slots(g, id.type_index)[*slot];
    if (detail::racy_byte(latest.marker) == Marker::Removed) return nullptr;
    const std::uint64_t position = detail::racy_word(latest.value_index);
    return position < Kind::kValues ? &Kind::values(g)[position] : nullptr;
  });
}

}  // namespace

// ---- Nodes ----

const NodeRecord* KnowledgeGraph::get_latest_node_record(Index node) const {
  return latest_record<NodeKind>(*this, node);
}

const KnowledgeGraphNode* KnowledgeGraph::get_latest_node_value(Index node) const {
  return latest_value<NodeKind>(*this, node);
}

iterators::NodeIterator KnowledgeGraph::nodes_iter(const Interval& interval,
                                                   std::uint64_t kind) const {
  return iterators::NodeIterator(*this, snapshot(), interval, kind);
}

std::vector<NodeItem> KnowledgeGraph::get_nodes_of_type(const Interval& interval,
                                                        std::uint64_t kind) const {
  return items_of_kind<NodeKind>(*this, interval, kind);
}

std::vector<NodeItem> KnowledgeGraph::get_all_nodes(const Interval& interval) const {
  return items_of_all_kinds<NodeKind>(*this, interval);
}

// ---- Relations ----

const RelationRecord* KnowledgeGraph::get_latest_relation_record(Index relation) const {
  return latest_record<RelationKind>(*this, relation);
}

const KnowledgeGraphRelation* KnowledgeGraph::get_latest_relation_value(Index relation) const {
  return latest_value<RelationKind>(*this, relation);
}

iterators::RelationIterator KnowledgeGraph::relations_iter(const Interval& interval,
                                                           std::uint64_t kind) const {
  return iterators::RelationIterator(*this, snapshot(), interval, kind);
}

std::vector<RelationItem> KnowledgeGraph::get_relations_of_type(const Interval& interval,
                                                                std::uint64_t kind) const {
  return items_of_kind<RelationKind>(*this, interval, kind);
}

std::vector<RelationItem> KnowledgeGraph::get_all_relations(const Interval& interval) const {
  return items_of_all_kinds<RelationKind>(*this, interval);
}

}  // namespace knowledge_graph::graph
