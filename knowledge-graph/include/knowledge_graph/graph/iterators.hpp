// Time-filtered walks over the stored versions of one node or relation kind.
//
// An iterator keeps the snapshot it was made with: it walks the slots below that
// snapshot's tail for its kind, oldest first, and yields an owned copy of every
// version whose timestamp the interval includes, whatever its marker. Versions
// published later are never yielded; once ended, it stays ended. Where the
// kind's timestamps are proven to rise with its slots, the walk skips the slots
// before and after the interval instead of examining them.
//
// Thread rules: an iterator is used by one thread at a time; the record it reads
// may be written concurrently by the one writer. A `clear` that lets the writer
// reuse slots below the snapshot's tails ends the walk early: `next` then returns
// the end and `overtaken()` turns true, and the caller starts a new walk. An item
// is never made from a slot the writer was rewriting.
//
// Damaged input is read safely: tails above a kind's capacity are clamped, a
// kind out of range yields nothing, and a version whose `value_index` lies outside
// the value array is yielded with an `Empty` value.
#pragma once

#include <cstdint>
#include <iterator>
#include <optional>

#include "interval_algebra/interval.hpp"
#include "knowledge_graph/graph/knowledge_graph.hpp"

namespace knowledge_graph::graph::iterators {

// Range-for support: `for (const NodeItem& item : graph.nodes_iter(...))`.
template <class Walk, class Item> class Cursor {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = Item;
  using difference_type = std::ptrdiff_t;
  using pointer = const Item*;
  using reference = const Item&;

  Cursor() = default;
  explicit Cursor(Walk* walk) : walk_(walk) { advance(); }
  const Item& operator*() const { return *item_; }
  const Item* operator->() const { return &*item_; }
  Cursor& operator++() {
    advance();
    return *this;
  }
  void operator++(int) { advance(); }
  friend bool operator==(const Cursor& cursor, std::default_sentinel_t) { return !cursor.item_; }

 private:
  void advance() { item_ = walk_->next(); }
  Walk* walk_ = nullptr;
  std::optional<Item> item_;
};

struct NodeIterator {
  static constexpr std::uint64_t kOvertaken = ~std::uint64_t{0};

  const KnowledgeGraph* graph;   // not owned; must outlive the iterator
  Snapshot snapshot;             // the tails walked, with the guard counters
  interval_algebra::Interval interval;
  std::uint64_t type_index;      // the node kind walked
  std::uint64_t type_count;      // 18: a type_index at or above it yields nothing
  std::uint64_t position;        // next slot to examine; only grows
  // Where the slots that can hold the interval lie (found by the first `next`):
  // the walk starts at the first of them and jumps from `skip_from` to `skip_to`
  // over slots that are known to lie after the interval.
  bool sought = false;
  std::uint64_t skip_from = 0;
  std::uint64_t skip_to = 0;

  // Walks below the tails of `indices` (a copy of a buffer the caller took). The
  // guard is read now, so slots reused before this call go unnoticed: prefer the
  // Snapshot form, which `KnowledgeGraph::nodes_iter` uses.
  NodeIterator(const KnowledgeGraph& graph, const GraphIndices& indices,
               const interval_algebra::Interval& interval, std::uint64_t type_index);
  NodeIterator(const KnowledgeGraph& graph, const Snapshot& snapshot,
               const interval_algebra::Interval& interval, std::uint64_t type_index);

  // The next version inside the interval, or nothing at the end.
  std::optional<NodeItem> next();
  // Whether the walk was ended early by a clear (see the thread rules above).
  bool overtaken() const { return position == kOvertaken; }

  Cursor<NodeIterator, NodeItem> begin() { return Cursor<NodeIterator, NodeItem>(this); }
  std::default_sentinel_t end() const { return {}; }
};

struct RelationIterator {
  static constexpr std::uint64_t kOvertaken = ~std::uint64_t{0};

  const KnowledgeGraph* graph;
  Snapshot snapshot;
  interval_algebra::Interval interval;
  std::uint64_t type_index;      // the relation kind walked
  std::uint64_t type_count;      // 17
  std::uint64_t position;
  bool sought = false;           // see NodeIterator
  std::uint64_t skip_from = 0;
  std::uint64_t skip_to = 0;

  RelationIterator(const KnowledgeGraph& graph, const GraphIndices& indices,
                   const interval_algebra::Interval& interval, std::uint64_t type_index);
  RelationIterator(const KnowledgeGraph& graph, const Snapshot& snapshot,
                   const interval_algebra::Interval& interval, std::uint64_t type_index);

  std::optional<RelationItem> next();
  bool overtaken() const { return position == kOvertaken; }

  Cursor<RelationIterator, RelationItem> begin() {
    return Cursor<RelationIterator, RelationItem>(this);
  }
  std::default_sentinel_t end() const { return {}; }
};

}  // namespace knowledge_graph::graph::iterators
