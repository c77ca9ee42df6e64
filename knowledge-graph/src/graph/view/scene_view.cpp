// SceneView and SceneReader: every query of a view reads only slots below its
// snapshot's tails, which the writer does not rewrite until a clear; the guard
// check after each query tells whether a clear came in between.
#include "knowledge_graph/graph/scene_view.hpp"

#include <algorithm>

#include "../kind_reads.hpp"
#include "../racy_copy.hpp"
#include "knowledge_graph/graph/lookup_index.hpp"
#include "knowledge_graph/graph/publication_signal.hpp"

namespace knowledge_graph::graph {
namespace {

using interval_algebra::Interval;

constexpr std::uint64_t kind_number(NodeKind kind) { return static_cast<std::uint64_t>(kind); }
constexpr std::uint64_t kind_number(RelationKind kind) { return static_cast<std::uint64_t>(kind); }

std::uint64_t node_tail(const Snapshot& taken, std::uint64_t kind) {
  return kind < kNodeKinds ? std::min(taken.indices.node_index_tail[kind], kNodeVersionsPerKind)
                           : 0;
}
std::uint64_t relation_tail(const Snapshot& taken, std::uint64_t kind) {
  return kind < kRelationKinds
             ? std::min(taken.indices.relation_index_tail[kind], kRelationVersionsPerKind)
             : 0;
}

// Copies of the version at `slot` (a value position outside the array names no
// value: the item carries Empty); the append forms copy straight into place.
NodeItem node_item(const KnowledgeGraph& graph, std::uint64_t kind, std::uint64_t slot) {
  return detail::make_node_item(graph, graph.node_records[kind][slot]);
}
RelationItem relation_item(const KnowledgeGraph& graph, std::uint64_t kind, std::uint64_t slot) {
  return detail::make_relation_item(graph, graph.relation_records[kind][slot]);
}
void append_node(const KnowledgeGraph& graph, std::uint64_t kind, std::uint64_t slot,
                 std::vector<NodeItem>& items) {
  detail::copy_node_item(graph, graph.node_records[kind][slot], items.emplace_back());
}
void append_relation(const KnowledgeGraph& graph, std::uint64_t kind, std::uint64_t slot,
                     std::vector<RelationItem>& items) {
  detail::copy_relation_item(graph, graph.relation_records[kind][slot], items.emplace_back());
}

Marker node_marker(const KnowledgeGraph& graph, std::uint64_t kind, std::uint64_t slot) {
  return detail::racy_byte(graph.node_records[kind][slot].marker);
}
Marker relation_marker(const KnowledgeGraph& graph, std::uint64_t kind, std::uint64_t slot) {
  return detail::racy_byte(graph.relation_records[kind][slot].marker);
}

// Per instance the highest slot in [from, tail) that `keep` accepts by timestamp.
template <class Record, class Keep>
void latest_by_instance(const Record* records, std::uint64_t from, std::uint64_t tail,
                        std::map<std::uint64_t, std::uint64_t>& latest, Keep keep) {
  for (std::uint64_t slot = from; slot < tail; ++slot) {
    if (!keep(detail::racy_word(records[slot].timestamp))) continue;
    latest.insert_or_assign(detail::racy_word(records[slot].instance_id), slot);
  }
}

// The index's enumeration of one kind (in no order) into the ascending map.
void adopt_latest(std::vector<LatestSlot>& found, std::map<std::uint64_t, std::uint64_t>& latest) {
  std::sort(found.begin(), found.end(),
            [](const LatestSlot& a, const LatestSlot& b) { return a.instance_id < b.instance_id; });
  for (const LatestSlot& slot : found) latest.emplace_hint(latest.end(), slot.instance_id, slot.slot);
}

// The current state from nothing: each kind the lookup index can prove itself
// current for costs its instances; the others are walked.
void latest_from_scratch(const KnowledgeGraph& graph, const Snapshot& taken, LatestSlots& latest) {
  const auto always = [](std::uint64_t) { return true; };
  std::array<std::optional<std::vector<LatestSlot>>, kNodeKinds> nodes;
  latest_node_slots(graph, taken, 0, kNodeKinds, nodes.data());
  for (std::uint64_t kind = 0; kind < kNodeKinds; ++kind) {
    if (nodes[kind])
      adopt_latest(*nodes[kind], latest.nodes[kind]);
    else
      latest_by_instance(graph.node_records[kind], 0, node_tail(taken, kind), latest.nodes[kind],
                         always);
  }
  std::array<std::optional<std::vector<LatestSlot>>, kRelationKinds> relations;
  latest_relation_slots(graph, taken, 0, kRelationKinds, relations.data());
  for (std::uint64_t kind = 0; kind < kRelationKinds; ++kind) {
    if (relations[kind])
      adopt_latest(*relations[kind], latest.relations[kind]);
    else
      latest_by_instance(graph.relation_records[kind], 0, relation_tail(taken, kind),
                         latest.relations[kind], always);
  }
}

// The current state of `taken` from that of `since` (null: from nothing).
void extend_latest(const KnowledgeGraph& graph, const Snapshot& taken, const Snapshot* since,
                   LatestSlots& latest) {
  if (since == nullptr) return latest_from_scratch(graph, taken, latest);
  const auto always = [](std::uint64_t) { return true; };
  for (std::uint64_t kind = 0; kind < kNodeKinds; ++kind) {
    latest_by_instance(graph.node_records[kind], node_tail(*since, kind), node_tail(taken, kind),
                       latest.nodes[kind], always);
  }
  for (std::uint64_t kind = 0; kind < kRelationKinds; ++kind) {
    latest_by_instance(graph.relation_records[kind], relation_tail(*since, kind),
                       relation_tail(taken, kind), latest.relations[kind], always);
  }
}

}  // namespace

SceneView::SceneView(const KnowledgeGraph& graph) : SceneView(graph, graph.snapshot()) {}

SceneView::SceneView(const KnowledgeGraph& graph, const Snapshot& snapshot,
                     std::shared_ptr<const LatestSlots> latest)
    : graph_(&graph), snapshot_(snapshot), latest_(std::move(latest)) {}

bool SceneView::still_valid() const {
  if (overtaken_) return false;
  if (graph_->cleared_since(snapshot_)) overtaken_ = true;
  return !overtaken_;
}

bool SceneView::overtaken() const { return !still_valid(); }

template <class Result> Result SceneView::checked(Result result) const {
  return still_valid() ? std::move(result) : Result{};
}

const LatestSlots& SceneView::latest() const {
  if (!latest_) {
    auto built = std::make_shared<LatestSlots>();
    extend_latest(*graph_, snapshot_, nullptr, *built);
    latest_ = std::move(built);
  }
  return *latest_;
}

// ---- Instances of a kind ----
//
// Every form chooses the slots first and then copies each item once, straight
// from the record into its place.

namespace {

// The Valid ones among per-instance latest slots, in ascending instance id.
void append_valid_nodes(const KnowledgeGraph& graph, std::uint64_t k,
                        const std::map<std::uint64_t, std::uint64_t>& latest,
                        std::vector<NodeItem>& items) {
  for (const auto& [id, slot] : latest)
    if (node_marker(graph, k, slot) == Marker::Valid) append_node(graph, k, slot, items);
}
void append_valid_relations(const KnowledgeGraph& graph, std::uint64_t k,
                            const std::map<std::uint64_t, std::uint64_t>& latest,
                            std::vector<RelationItem>& items) {
  for (const auto& [id, slot] : latest)
    if (relation_marker(graph, k, slot) == Marker::Valid) append_relation(graph, k, slot, items);
}

// Per instance the latest version stamped inside `interval`. Only the slots
// that can hold the interval are walked: where the writer kept the kind's stamps
// in order, the run that holds it (binary search) and what lies above the
// ordered slots; else the whole kind.
std::map<std::uint64_t, std::uint64_t> node_slots_in(const KnowledgeGraph& graph,
                                                     const Snapshot& taken, std::uint64_t k,
                                                     const Interval& interval) {
  const detail::SlotWindow slots = detail::node_slot_window(graph, taken, interval, k);
  const auto keep = [&](std::uint64_t stamp) { return interval.includes(stamp); };
  std::map<std::uint64_t, std::uint64_t> latest;
  latest_by_instance(graph.node_records[k], slots.begin, slots.end, latest, keep);
  latest_by_instance(graph.node_records[k], slots.rest, slots.tail, latest, keep);
  return latest;
}
std::map<std::uint64_t, std::uint64_t> relation_slots_in(const KnowledgeGraph& graph,
                                                         const Snapshot& taken, std::uint64_t k,
                                                         const Interval& interval) {
  const detail::SlotWindow slots = detail::relation_slot_window(graph, taken, interval, k);
  const auto keep = [&](std::uint64_t stamp) { return interval.includes(stamp); };
  std::map<std::uint64_t, std::uint64_t> latest;
  latest_by_instance(graph.relation_records[k], slots.begin, slots.end, latest, keep);
  latest_by_instance(graph.relation_records[k], slots.rest, slots.tail, latest, keep);
  return latest;
}

}  // namespace

namespace {

// The last time a window that starts at 0 includes: it asks for the state as of
// that time. Nothing for other windows (or one that includes no time).
std::optional<std::uint64_t> as_of_time(const Interval& window) {
  if (!window.includes(0) || detail::covers_all(window)) return std::nullopt;
  const bool closed_end = (static_cast<std::uint8_t>(window.ty) & 2) != 0;
  return closed_end ? window.end : window.end - 1;
}

// Whether following instances back from their latest slots is worth trying for
// a state as of a time: where the kind is in time order, the versions after it
// (what the links cost at most) must be fewer than half those up to it (what
// the walk costs). A view that has not yet taken the current state takes it
// for this: the index's entries, which cost what the scene holds.
bool links_pay(const detail::SlotWindow& slots) {
  const std::uint64_t walk = (slots.end - slots.begin) + (slots.tail - slots.rest);
  if (walk < 64u) return false;
  if (slots.rest == slots.tail) return slots.tail - slots.end < walk / 2;
  return true;  // out of order: the links give up when they would cost more
}

void by_instance(std::vector<LatestSlot>& found) {
  std::sort(found.begin(), found.end(),
            [](const LatestSlot& a, const LatestSlot& b) { return a.instance_id < b.instance_id; });
}

// Per instance of one kind its latest slot in ascending instance id, leaving out
// those removed by t; nothing when the index cannot prove the kind.
template <class LatestSince>
std::optional<std::vector<LatestSlot>> base_since(LatestSince latest_since, const KnowledgeGraph& graph,
                                                  const Snapshot& taken, std::uint64_t k, std::uint64_t t) {
  std::optional<std::vector<LatestSlot>> found;
  latest_since(graph, taken, t, k, k + 1, &found);
  if (found) by_instance(*found);
  return found;
}
std::optional<std::vector<LatestSlot>> node_base_since(const KnowledgeGraph& graph,
                                                       const Snapshot& taken, std::uint64_t k,
                                                       std::uint64_t t) {
  return base_since(latest_node_slots_since, graph, taken, k, t);
}
std::optional<std::vector<LatestSlot>> relation_base_since(const KnowledgeGraph& graph,
                                                           const Snapshot& taken, std::uint64_t k,
                                                           std::uint64_t t) {
  return base_since(latest_relation_slots_since, graph, taken, k, t);
}

// The slots a walk of every kind would visit for a state as of a time: a short
// one costs less than the pass over the index's entries that a base takes.
template <std::uint64_t Kinds, class WindowOf>
std::uint64_t walk_of_all_kinds(WindowOf window_of) {
  std::uint64_t walk = 0;
  for (std::uint64_t k = 0; k < Kinds; ++k) {
    const detail::SlotWindow slots = window_of(k);
    walk += (slots.end - slots.begin) + (slots.tail - slots.rest);
  }
  return walk;
}

constexpr std::uint64_t kShortWalk = 256;

// Per kind a base for states as of t (as node_base_since), all kinds in one
// pass over the index's entries.
template <std::uint64_t Kinds, class Enumerate>
std::array<std::optional<std::vector<LatestSlot>>, Kinds> bases_since(Enumerate enumerate) {
  std::array<std::optional<std::vector<LatestSlot>>, Kinds> found;
  enumerate(found.data());
  for (auto& kind : found)
    if (kind) by_instance(*kind);
  return found;
}

}  // namespace

// Per instance its latest slot inside `window`, of one kind. A window over all
// time holds the current state, which the view caches; `room` keeps any other.
// As of a time, each instance is followed back from its latest slot where the
// lookup index proves the way and that costs less (links_pay); else the slots
// stamped up to it are walked.
// A view without the current state (a fresh one) starts each instance from the
// index's entries without those removed by t (since_t), so that it costs the
// instances of the scene then, not every instance the graph ever had.
const std::map<std::uint64_t, std::uint64_t>& SceneView::node_slots_of(
    std::uint64_t k, const Interval& window, std::map<std::uint64_t, std::uint64_t>& room) const {
  if (detail::covers_all(window)) return latest().nodes[k];
  if (const auto t = as_of_time(window); t && has_lookup_index(*graph_)) {
    if (links_pay(detail::node_slot_window(*graph_, snapshot_, window, k))) {
      if (latest_ != nullptr) {
        if (node_slots_as_of(*graph_, snapshot_, k, *t, latest_->nodes[k], room)) return room;
      } else if (const auto base = node_base_since(*graph_, snapshot_, k, *t)) {
        if (node_slots_as_of(*graph_, snapshot_, k, *t, *base, room)) return room;
      }
    }
  }
  return room = node_slots_in(*graph_, snapshot_, k, window);
}
const std::map<std::uint64_t, std::uint64_t>& SceneView::relation_slots_of(
    std::uint64_t k, const Interval& window, std::map<std::uint64_t, std::uint64_t>& room) const {
  if (detail::covers_all(window)) return latest().relations[k];
  if (const auto t = as_of_time(window); t && has_lookup_index(*graph_)) {
    if (links_pay(detail::relation_slot_window(*graph_, snapshot_, window, k))) {
      if (latest_ != nullptr) {
        if (relation_slots_as_of(*graph_, snapshot_, k, *t, latest_->relations[k], room))
          return room;
      } else if (const auto base = relation_base_since(*graph_, snapshot_, k, *t)) {
        if (relation_slots_as_of(*graph_, snapshot_, k, *t, *base, room)) return room;
      }
    }
  }
  return room = relation_slots_in(*graph_, snapshot_, k, window);
}

std::vector<NodeItem> SceneView::nodes_in(NodeKind kind, const Interval& window) const {
  const std::uint64_t k = kind_number(kind);
  if (k >= kNodeKinds) return {};
  std::map<std::uint64_t, std::uint64_t> room;
  const auto& slots = node_slots_of(k, window, room);
  std::vector<NodeItem> items;
  items.reserve(slots.size());
  append_valid_nodes(*graph_, k, slots, items);
  return checked(std::move(items));
}

std::vector<RelationItem> SceneView::relations_in(RelationKind kind, const Interval& window) const {
  const std::uint64_t k = kind_number(kind);
  if (k >= kRelationKinds) return {};
  std::map<std::uint64_t, std::uint64_t> room;
  const auto& slots = relation_slots_of(k, window, room);
  std::vector<RelationItem> items;
  items.reserve(slots.size());
  append_valid_relations(*graph_, k, slots, items);
  return checked(std::move(items));
}

namespace {

// The all-kinds forms choose every kind's slots first and make room once.
// `slots_of(k, room)` names a kind's chosen slots; `append(k, slots, items)`
// copies its Valid ones.
template <class Item, std::uint64_t Kinds, class SlotsOf, class Append>
std::vector<Item> all_kinds(SlotsOf slots_of, Append append) {
  std::array<std::map<std::uint64_t, std::uint64_t>, Kinds> room;
  std::array<const std::map<std::uint64_t, std::uint64_t>*, Kinds> slots{};
  std::size_t most = 0;
  for (std::uint64_t k = 0; k < Kinds; ++k) {
    slots[k] = &slots_of(k, room[k]);
    most += slots[k]->size();
  }
  std::vector<Item> items;
  items.reserve(most);
  for (std::uint64_t k = 0; k < Kinds; ++k) append(k, *slots[k], items);
  return items;
}

}  // namespace

// They check once at the end: one overtaken kind empties the lot. A fresh view
// as of a time takes every kind's base in one pass (see node_slots_of).
std::vector<NodeItem> SceneView::all_nodes_in(const Interval& window) const {
  const auto append = [&](std::uint64_t k, const SlotsById& slots, std::vector<NodeItem>& items) {
    append_valid_nodes(*graph_, k, slots, items);
  };
  const auto t = as_of_time(window);
  if (latest_ != nullptr || !t || !has_lookup_index(*graph_) ||
      walk_of_all_kinds<kNodeKinds>([&](std::uint64_t k) {
        return detail::node_slot_window(*graph_, snapshot_, window, k);
      }) < kShortWalk) {
    return checked(all_kinds<NodeItem, kNodeKinds>(
        [&](std::uint64_t k, SlotsById& room) -> const SlotsById& {
          return node_slots_of(k, window, room);
        },
        append));
  }
  const auto bases = bases_since<kNodeKinds>([&](std::optional<std::vector<LatestSlot>>* out) {
    latest_node_slots_since(*graph_, snapshot_, *t, 0, kNodeKinds, out);
  });
  return checked(all_kinds<NodeItem, kNodeKinds>(
      [&](std::uint64_t k, SlotsById& room) -> const SlotsById& {
        if (bases[k] && links_pay(detail::node_slot_window(*graph_, snapshot_, window, k)) &&
            node_slots_as_of(*graph_, snapshot_, k, *t, *bases[k], room))
          return room;
        return room = node_slots_in(*graph_, snapshot_, k, window);
      },
      append));
}

std::vector<RelationItem> SceneView::all_relations_in(const Interval& window) const {
  const auto append = [&](std::uint64_t k, const SlotsById& slots,
                          std::vector<RelationItem>& items) {
    append_valid_relations(*graph_, k, slots, items);
  };
  const auto t = as_of_time(window);
  if (latest_ != nullptr || !t || !has_lookup_index(*graph_) ||
      walk_of_all_kinds<kRelationKinds>([&](std::uint64_t k) {
        return detail::relation_slot_window(*graph_, snapshot_, window, k);
      }) < kShortWalk) {
    return checked(all_kinds<RelationItem, kRelationKinds>(
        [&](std::uint64_t k, SlotsById& room) -> const SlotsById& {
          return relation_slots_of(k, window, room);
        },
        append));
  }
  const auto bases =
      bases_since<kRelationKinds>([&](std::optional<std::vector<LatestSlot>>* out) {
        latest_relation_slots_since(*graph_, snapshot_, *t, 0, kRelationKinds, out);
      });
  return checked(all_kinds<RelationItem, kRelationKinds>(
      [&](std::uint64_t k, SlotsById& room) -> const SlotsById& {
        if (bases[k] && links_pay(detail::relation_slot_window(*graph_, snapshot_, window, k)) &&
            relation_slots_as_of(*graph_, snapshot_, k, *t, *bases[k], room))
          return room;
        return room = relation_slots_in(*graph_, snapshot_, k, window);
      },
      append));
}

// Current: the window over all time. As of t: the window [0, t], i.e. per
// instance its latest version stamped <= t.
std::vector<NodeItem> SceneView::nodes(NodeKind kind) const {
  return nodes_in(kind, Interval::eternity());
}
std::vector<RelationItem> SceneView::relations(RelationKind kind) const {
  return relations_in(kind, Interval::eternity());
}
std::vector<NodeItem> SceneView::all_nodes() const { return all_nodes_in(Interval::eternity()); }
std::vector<RelationItem> SceneView::all_relations() const {
  return all_relations_in(Interval::eternity());
}
std::vector<NodeItem> SceneView::nodes_as_of(NodeKind kind, std::uint64_t t) const {
  return nodes_in(kind, Interval::from_eternity_to(t));
}
std::vector<RelationItem> SceneView::relations_as_of(RelationKind kind, std::uint64_t t) const {
  return relations_in(kind, Interval::from_eternity_to(t));
}
std::vector<NodeItem> SceneView::all_nodes_as_of(std::uint64_t t) const {
  return all_nodes_in(Interval::from_eternity_to(t));
}
std::vector<RelationItem> SceneView::all_relations_as_of(std::uint64_t t) const {
  return all_relations_in(Interval::from_eternity_to(t));
}

// ---- One instance ----

std::vector<std::uint64_t> SceneView::node_slots(NodeIndex index) const {
  const std::uint64_t k = kind_number(index.kind);
  if (k >= kNodeKinds) return {};
  if (auto chain = node_version_chain(*graph_, snapshot_, index.index())) {
    std::reverse(chain->begin(), chain->end());
    return *chain;
  }
  std::vector<std::uint64_t> slots;
  const NodeRecord* records = graph_->node_records[k];
  for (std::uint64_t slot = 0; slot < node_tail(snapshot_, k); ++slot) {
    if (detail::racy_word(records[slot].instance_id) == index.instance_id) slots.push_back(slot);
  }
  return slots;
}

std::vector<std::uint64_t> SceneView::relation_slots(RelationIndex index) const {
  const std::uint64_t k = kind_number(index.kind);
  if (k >= kRelationKinds) return {};
  if (auto chain = relation_version_chain(*graph_, snapshot_, index.index())) {
    std::reverse(chain->begin(), chain->end());
    return *chain;
  }
  std::vector<std::uint64_t> slots;
  const RelationRecord* records = graph_->relation_records[k];
  for (std::uint64_t slot = 0; slot < relation_tail(snapshot_, k); ++slot) {
    if (detail::racy_word(records[slot].instance_id) == index.instance_id) slots.push_back(slot);
  }
  return slots;
}

std::optional<NodeItem> SceneView::node(NodeIndex index) const {
  const std::uint64_t k = kind_number(index.kind);
  if (k >= kNodeKinds) return std::nullopt;
  const auto slot = latest_node_slot(*graph_, snapshot_, index.index());
  if (!slot || node_marker(*graph_, k, *slot) != Marker::Valid) return checked(std::optional<NodeItem>{});
  return checked(std::optional<NodeItem>(node_item(*graph_, k, *slot)));
}

std::optional<RelationItem> SceneView::relation(RelationIndex index) const {
  const std::uint64_t k = kind_number(index.kind);
  if (k >= kRelationKinds) return std::nullopt;
  const auto slot = latest_relation_slot(*graph_, snapshot_, index.index());
  if (!slot || relation_marker(*graph_, k, *slot) != Marker::Valid)
    return checked(std::optional<RelationItem>{});
  return checked(std::optional<RelationItem>(relation_item(*graph_, k, *slot)));
}

std::optional<NodeItem> SceneView::node_at(NodeIndex index, std::uint64_t t) const {
  const std::uint64_t k = kind_number(index.kind);
  std::optional<NodeItem> found;
  if (const auto slot = node_slot_as_of(*graph_, snapshot_, index.index(), t)) {
    if (*slot && node_marker(*graph_, k, **slot) == Marker::Valid) found = node_item(*graph_, k, **slot);
    return checked(std::move(found));
  }
  const std::vector<std::uint64_t> slots = node_slots(index);
  for (auto slot = slots.rbegin(); slot != slots.rend(); ++slot) {
    if (detail::racy_word(graph_->node_records[k][*slot].timestamp) > t) continue;
    if (node_marker(*graph_, k, *slot) == Marker::Valid) found = node_item(*graph_, k, *slot);
    break;
  }
  return checked(std::move(found));
}

std::optional<RelationItem> SceneView::relation_at(RelationIndex index, std::uint64_t t) const {
  const std::uint64_t k = kind_number(index.kind);
  std::optional<RelationItem> found;
  if (const auto slot = relation_slot_as_of(*graph_, snapshot_, index.index(), t)) {
    if (*slot && relation_marker(*graph_, k, **slot) == Marker::Valid)
      found = relation_item(*graph_, k, **slot);
    return checked(std::move(found));
  }
  const std::vector<std::uint64_t> slots = relation_slots(index);
  for (auto slot = slots.rbegin(); slot != slots.rend(); ++slot) {
    if (detail::racy_word(graph_->relation_records[k][*slot].timestamp) > t) continue;
    if (relation_marker(*graph_, k, *slot) == Marker::Valid)
      found = relation_item(*graph_, k, *slot);
    break;
  }
  return checked(std::move(found));
}

std::vector<NodeItem> SceneView::history(NodeIndex index) const {
  const std::uint64_t k = kind_number(index.kind);
  const std::vector<std::uint64_t> slots = node_slots(index);
  std::vector<NodeItem> items;
  items.reserve(slots.size());  // one allocation: a history can be large
  for (const std::uint64_t slot : slots) append_node(*graph_, k, slot, items);
  return checked(std::move(items));
}

std::vector<RelationItem> SceneView::history(RelationIndex index) const {
  const std::uint64_t k = kind_number(index.kind);
  const std::vector<std::uint64_t> slots = relation_slots(index);
  std::vector<RelationItem> items;
  items.reserve(slots.size());
  for (const std::uint64_t slot : slots) append_relation(*graph_, k, slot, items);
  return checked(std::move(items));
}

// ---- Traversal ----

std::vector<Neighbour> SceneView::neighbours(NodeIndex node_index, RelationKind kind,
                                             std::optional<std::uint64_t> t, bool out) const {
  const auto node_then = [&](NodeIndex index) { return t ? node_at(index, *t) : node(index); };
  const auto relation_then = [&](RelationIndex index) {
    return t ? relation_at(index, *t) : relation(index);
  };
  std::vector<Neighbour> found;
  const std::optional<NodeItem> self = node_then(node_index);
  if (!self) return checked(std::move(found));
  const RelationList& list = out ? self->record.outgoing : self->record.incoming;
  for (const Index& entry : list) {
    if (entry.is_empty() || entry.type_index != kind_number(kind)) continue;
    std::optional<RelationItem> relation_item = relation_then(RelationIndex::of(entry));
    if (!relation_item) continue;
    const Index own_end = out ? relation_item->record.from : relation_item->record.to;
    if (own_end != node_index.index()) continue;  // a stale entry: the relation moved
    const Index other_end = out ? relation_item->record.to : relation_item->record.from;
    std::optional<NodeItem> other = node_then(NodeIndex::of(other_end));
    if (!other) continue;
    found.push_back({std::move(*relation_item), std::move(*other)});
  }
  return checked(std::move(found));
}

std::vector<Neighbour> SceneView::outgoing(NodeIndex node, RelationKind kind,
                                           std::optional<std::uint64_t> t) const {
  return neighbours(node, kind, t, true);
}

std::vector<Neighbour> SceneView::incoming(NodeIndex node, RelationKind kind,
                                           std::optional<std::uint64_t> t) const {
  return neighbours(node, kind, t, false);
}

std::vector<RelationItem> SceneView::relations_between(NodeIndex from, NodeIndex to,
                                                       std::optional<std::uint64_t> t) const {
  std::vector<RelationItem> found;
  const std::optional<NodeItem> self = t ? node_at(from, *t) : node(from);
  if (!self) return checked(std::move(found));
  for (const Index& entry : self->record.outgoing) {
    if (entry.is_empty() || entry.type_index >= kRelationKinds) continue;
    const RelationIndex index = RelationIndex::of(entry);
    std::optional<RelationItem> item = t ? relation_at(index, *t) : relation(index);
    if (item && item->record.from == from.index() && item->record.to == to.index())
      found.push_back(std::move(*item));
  }
  return checked(std::move(found));
}

// ---- Versions ----

namespace {

// The slots that can hold a window, in slot order.
template <class Take>
void window_slots(const detail::SlotWindow& slots, Take take) {
  for (std::uint64_t slot = slots.begin; slot < slots.end; ++slot) take(slot);
  for (std::uint64_t slot = slots.rest; slot < slots.tail; ++slot) take(slot);
}

}  // namespace

std::vector<NodeVersion> SceneView::node_versions(NodeKind kind,
                                                  const std::optional<Interval>& window) const {
  const std::uint64_t k = kind_number(kind);
  if (k >= kNodeKinds) return {};
  const Interval interval = window ? *window : Interval::eternity();
  const detail::SlotWindow slots = detail::node_slot_window(*graph_, snapshot_, interval, k);
  const NodeRecord* records = graph_->node_records[k];
  std::vector<NodeVersion> versions;
  versions.reserve(slots.end - slots.begin + slots.tail - slots.rest);
  window_slots(slots, [&](std::uint64_t slot) {
    const std::uint64_t stamp = detail::racy_word(records[slot].timestamp);
    if (!interval.includes(stamp)) return;
    NodeVersion& version = versions.emplace_back();
    version.instance_id = detail::racy_word(records[slot].instance_id);
    version.timestamp = stamp;
    version.marker = detail::racy_byte(records[slot].marker);
    const std::uint64_t value = detail::racy_word(records[slot].value_index);
    if (value < kNodeValues) detail::racy_copy_to(version.value, graph_->node_values[value]);
  });
  return checked(std::move(versions));
}

std::vector<RelationVersion> SceneView::relation_versions(
    RelationKind kind, const std::optional<Interval>& window) const {
  const std::uint64_t k = kind_number(kind);
  if (k >= kRelationKinds) return {};
  const Interval interval = window ? *window : Interval::eternity();
  const detail::SlotWindow slots = detail::relation_slot_window(*graph_, snapshot_, interval, k);
  const RelationRecord* records = graph_->relation_records[k];
  std::vector<RelationVersion> versions;
  versions.reserve(slots.end - slots.begin + slots.tail - slots.rest);
  window_slots(slots, [&](std::uint64_t slot) {
    const std::uint64_t stamp = detail::racy_word(records[slot].timestamp);
    if (!interval.includes(stamp)) return;
    RelationVersion& version = versions.emplace_back();
    version.instance_id = detail::racy_word(records[slot].instance_id);
    version.timestamp = stamp;
    version.from = {detail::racy_word(records[slot].from.type_index),
                    detail::racy_word(records[slot].from.instance_id)};
    version.to = {detail::racy_word(records[slot].to.type_index),
                  detail::racy_word(records[slot].to.instance_id)};
    version.marker = detail::racy_byte(records[slot].marker);
    const std::uint64_t value = detail::racy_word(records[slot].value_index);
    if (value < kRelationValues) detail::racy_copy_to(version.value, graph_->relation_values[value]);
  });
  return checked(std::move(versions));
}

// ---- Counts ----

KindCounts SceneView::counts() const {
  KindCounts counts;
  const LatestSlots& slots = latest();
  for (std::uint64_t k = 0; k < kNodeKinds; ++k) {
    for (const auto& [id, slot] : slots.nodes[k])
      counts.nodes[k] += node_marker(*graph_, k, slot) == Marker::Valid;
  }
  for (std::uint64_t k = 0; k < kRelationKinds; ++k) {
    for (const auto& [id, slot] : slots.relations[k])
      counts.relations[k] += relation_marker(*graph_, k, slot) == Marker::Valid;
  }
  return checked(counts);
}

std::uint64_t SceneView::versions(NodeKind kind) const {
  return node_tail(snapshot_, kind_number(kind));
}
std::uint64_t SceneView::versions(RelationKind kind) const {
  return relation_tail(snapshot_, kind_number(kind));
}

// ---- SceneReader ----

std::optional<std::uint64_t> SceneReader::wait_for_publication(
    std::uint64_t after, std::chrono::nanoseconds timeout, const std::atomic<bool>* cancel) const {
  return graph::wait_for_publication(*graph_, after, timeout, cancel);
}

SceneView SceneReader::view() {
  for (;;) {
    const Snapshot taken = graph_->snapshot();
    bool grows = last_ && latest_ && last_->clear_epoch == taken.clear_epoch &&
                 !(taken.clear_epoch & 1u);
    for (std::uint64_t k = 0; grows && k < kNodeKinds; ++k)
      grows = node_tail(taken, k) >= node_tail(*last_, k);
    for (std::uint64_t k = 0; grows && k < kRelationKinds; ++k)
      grows = relation_tail(taken, k) >= relation_tail(*last_, k);
    // Views made before keep their own table: extend a copy.
    auto next = grows ? std::make_shared<LatestSlots>(*latest_) : std::make_shared<LatestSlots>();
    extend_latest(*graph_, taken, grows ? &*last_ : nullptr, *next);
    if (graph_->cleared_since(taken)) {
      last_.reset();
      latest_.reset();
      continue;
    }
    last_ = taken;
    latest_ = next;
    return SceneView(*graph_, taken, next);
  }
}

}  // namespace knowledge_graph::graph
