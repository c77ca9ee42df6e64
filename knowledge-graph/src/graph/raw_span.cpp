// Raw spans: copy out of one graph, check, install into another as its writer.
#include "knowledge_graph/graph/raw_span.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>

#include "knowledge_graph/graph/recorder_link.hpp"
#include "knowledge_graph/graph/write_gate.hpp"
#include "lookup_index_writer.hpp"
#include "racy_copy.hpp"
#include "slot_reuse.hpp"
#include "writer_steps.hpp"

namespace knowledge_graph::graph {
namespace {

// The ranges of one span in byte order: per array its slot range and element size.
struct Range {
  std::uint64_t first;
  std::uint64_t end;
};

template <class Visit>
void for_each_range(const GraphIndices& from, const GraphIndices& to, Visit&& visit) {
  for (std::uint64_t k = 0; k < kNodeKinds; ++k)
    visit(0, k, Range{from.node_index_tail[k], to.node_index_tail[k]});
  visit(1, 0, Range{from.nodes_tail, to.nodes_tail});
  for (std::uint64_t k = 0; k < kRelationKinds; ++k)
    visit(2, k, Range{from.relation_index_tail[k], to.relation_index_tail[k]});
  visit(3, 0, Range{from.relations_tail, to.relations_tail});
}

constexpr std::size_t kElementSize[4] = {sizeof(NodeRecord), sizeof(KnowledgeGraphNode),
                                         sizeof(RelationRecord), sizeof(KnowledgeGraphRelation)};
constexpr std::uint64_t kCapacity[4] = {kNodeVersionsPerKind, kNodeValues,
                                        kRelationVersionsPerKind, kRelationValues};
constexpr const char* kArrayName[4] = {"node kind", "node values", "relation kind",
                                       "relation values"};

std::byte* element(KnowledgeGraph& graph, int array, std::uint64_t kind, std::uint64_t slot) {
  switch (array) {
    case 0: return reinterpret_cast<std::byte*>(&graph.node_records[kind][slot]);
    case 1: return reinterpret_cast<std::byte*>(&graph.node_values[slot]);
    case 2: return reinterpret_cast<std::byte*>(&graph.relation_records[kind][slot]);
    default: return reinterpret_cast<std::byte*>(&graph.relation_values[slot]);
  }
}

const std::byte* element(const KnowledgeGraph& graph, int array, std::uint64_t kind,
                         std::uint64_t slot) {
  return element(const_cast<KnowledgeGraph&>(graph), array, kind, slot);
}

std::string range_text(int array, std::uint64_t kind) {
  return array == 0 || array == 2 ? std::string(kArrayName[array]) + " " + std::to_string(kind)
                                  : std::string(kArrayName[array]);
}

bool list_ok(const RelationList& list) {
  return std::all_of(list.begin(), list.end(),
                     [](const Index& entry) { return entry.type_index < kRelationKinds; });
}

// Checks the content of the span's new versions and payloads (bytes already sized).
std::optional<std::string> content_error(const GraphIndices& from, const GraphIndices& to,
                                         std::span<const std::byte> bytes) {
  std::optional<std::string> error;
  std::size_t offset = 0;
  for_each_range(from, to, [&](int array, std::uint64_t kind, Range range) {
    const std::byte* base = bytes.data() + offset;
    offset += (range.end - range.first) * kElementSize[array];
    for (std::uint64_t i = 0; !error && i < range.end - range.first; ++i) {
      const std::byte* at = base + i * kElementSize[array];
      // Built only for a refusal: a span of accepted versions costs no text.
      const auto where = [&] {
        return range_text(array, kind) + " slot " + std::to_string(range.first + i);
      };
      if (array == 0) {
        NodeRecord record;
        std::memcpy(&record, at, sizeof record);
        if (auto problem = node_version_error(record, to.nodes_tail)) error = where() + ": " + *problem;
      } else if (array == 2) {
        RelationRecord record;
        std::memcpy(&record, at, sizeof record);
        if (auto problem = relation_version_error(record, to.relations_tail)) error = where() + ": " + *problem;
      } else {
        std::uint64_t tag;
        std::memcpy(&tag, at, sizeof tag);
        const std::uint64_t kinds = array == 1 ? kNodeKinds : kRelationKinds;
        if (tag >= kinds)
          error = where() + ": payload kind " + std::to_string(tag) + " is above " +
                  std::to_string(kinds - 1);
      }
    }
  });
  return error;
}

bool empty_tails(const GraphIndices& state) {
  GraphIndices empty{};
  empty.update_timestamp = state.update_timestamp;
  return std::memcmp(&empty, &state, sizeof empty) == 0;
}

bool same_tails(const GraphIndices& a, const GraphIndices& b) {
  return a.node_index_tail == b.node_index_tail && a.nodes_tail == b.nodes_tail &&
         a.relation_index_tail == b.relation_index_tail && a.relations_tail == b.relations_tail;
}

// Copies the span's bytes into their slots and indexes them up to `to`.
void write_span(KnowledgeGraph& graph, const GraphIndices& from, const GraphIndices& to,
                std::span<const std::byte> bytes) {
  std::size_t offset = 0;
  for_each_range(from, to, [&](int array, std::uint64_t kind, Range range) {
    const std::size_t size = (range.end - range.first) * kElementSize[array];
    if (size != 0) std::memcpy(element(graph, array, kind, range.first), bytes.data() + offset, size);
    offset += size;
  });
  // The index takes at most two node kinds and one relation kind per step.
  for (std::uint64_t step = 0; step < (kNodeKinds + 1) / 2 || step < kRelationKinds; ++step) {
    detail::AppendedKinds kinds;
    if (2 * step < kNodeKinds) kinds.node_kinds[0] = 2 * step;
    if (2 * step + 1 < kNodeKinds) kinds.node_kinds[1] = 2 * step + 1;
    if (step < kRelationKinds) kinds.relation_kind = step;
    detail::index_appended(graph, to, kinds);
  }
}


}  // namespace

std::optional<std::string> node_version_error(const NodeRecord& record, std::uint64_t payload_tail) {
  if (static_cast<std::uint8_t>(record.marker) > 2)
    return "marker " + std::to_string(static_cast<int>(record.marker)) + " is none of 0, 1, 2";
  if (record.marker != Marker::None && record.value_index >= payload_tail)
    return "payload position " + std::to_string(record.value_index) + " lies beyond the payload tail " +
           std::to_string(payload_tail);
  if (!list_ok(record.outgoing) || !list_ok(record.incoming))
    return "a relation list names a relation kind above " + std::to_string(kRelationKinds - 1);
  return std::nullopt;
}

std::optional<std::string> relation_version_error(const RelationRecord& record,
                                                  std::uint64_t payload_tail) {
  if (static_cast<std::uint8_t>(record.marker) > 2)
    return "marker " + std::to_string(static_cast<int>(record.marker)) + " is none of 0, 1, 2";
  if (record.marker != Marker::None && record.value_index >= payload_tail)
    return "payload position " + std::to_string(record.value_index) + " lies beyond the payload tail " +
           std::to_string(payload_tail);
  if (record.from.type_index >= kNodeKinds || record.to.type_index >= kNodeKinds)
    return "an endpoint names a node kind above " + std::to_string(kNodeKinds - 1);
  return std::nullopt;
}

std::array<std::uint64_t, kIndexWords> to_words(const GraphIndices& indices) {
  return std::bit_cast<std::array<std::uint64_t, kIndexWords>>(indices);
}

GraphIndices from_words(const std::array<std::uint64_t, kIndexWords>& words) {
  return std::bit_cast<GraphIndices>(words);
}

std::optional<std::string> span_shape_error(const GraphIndices& from, const GraphIndices& to) {
  std::optional<std::string> error;
  for_each_range(from, to, [&](int array, std::uint64_t kind, Range range) {
    if (error) return;
    if (range.end > kCapacity[array])
      error = range_text(array, kind) + ": tail " + std::to_string(range.end) +
              " is beyond the capacity " + std::to_string(kCapacity[array]);
    else if (range.first > range.end)
      error = range_text(array, kind) + ": tail " + std::to_string(range.end) +
              " lies below the span's start " + std::to_string(range.first);
  });
  return error;
}

std::size_t raw_span_size(const GraphIndices& from, const GraphIndices& to) {
  std::size_t size = 0;
  for_each_range(from, to, [&](int array, std::uint64_t, Range range) {
    size += (range.end - range.first) * kElementSize[array];
  });
  return size;
}

GraphIndices span_end(const GraphIndices& from, const SpanParts& parts, std::uint64_t timestamp) {
  GraphIndices to = from;
  for (std::uint64_t k = 0; k < kNodeKinds; ++k) to.node_index_tail[k] += parts.node_versions[k].size();
  to.nodes_tail += parts.node_values.size();
  for (std::uint64_t k = 0; k < kRelationKinds; ++k)
    to.relation_index_tail[k] += parts.relation_versions[k].size();
  to.relations_tail += parts.relation_values.size();
  to.update_timestamp = timestamp;
  return to;
}

std::vector<std::byte> raw_span_bytes(const SpanParts& parts) {
  std::vector<std::byte> bytes;
  const auto append = [&bytes](const auto& items) {
    const std::size_t size = items.size() * sizeof(items[0]);
    bytes.resize(bytes.size() + size);
    if (size != 0) std::memcpy(bytes.data() + bytes.size() - size, items.data(), size);
  };
  for (const auto& versions : parts.node_versions) append(versions);
  append(parts.node_values);
  for (const auto& versions : parts.relation_versions) append(versions);
  append(parts.relation_values);
  return bytes;
}

bool appends_only(const Snapshot& before, const Snapshot& now) {
  if (before.compaction_stalled || now.compaction_stalled) return false;
  if (before.clear_epoch != now.clear_epoch || (now.clear_epoch & 1u)) return false;
  return !span_shape_error(before.indices, now.indices);
}

bool copy_raw_span(const KnowledgeGraph& graph, const GraphIndices& from, const Snapshot& now,
                   std::vector<std::byte>& out) {
  if (span_shape_error(from, now.indices)) return false;
  out.resize(raw_span_size(from, now.indices));
  return copy_raw_span(graph, from, now, std::span<std::byte>(out));
}

bool copy_raw_span(const KnowledgeGraph& graph, const GraphIndices& from, const Snapshot& now,
                   std::span<std::byte> out) {
  if (now.compaction_stalled || (now.clear_epoch & 1u) || span_shape_error(from, now.indices) ||
      out.size() != raw_span_size(from, now.indices))
    return false;
  std::size_t offset = 0;
  for_each_range(from, now.indices, [&](int array, std::uint64_t kind, Range range) {
    const std::size_t bytes = (range.end - range.first) * kElementSize[array];
    if (bytes == 0) return;
    const std::byte* source = element(graph, array, kind, range.first);
    // Slots may be reused under the copy (checked below).
    detail::racy_copy_bytes(out.data() + offset, source, bytes);
    offset += bytes;
  });
  return !graph.cleared_since(now);
}

std::optional<std::string> raw_span_error(const GraphIndices& from, const GraphIndices& to,
                                          std::span<const std::byte> bytes, bool afresh) {
  if (auto error = span_shape_error(from, to)) return error;
  const std::size_t expected = raw_span_size(from, to);
  if (bytes.size() != expected)
    return "the span holds " + std::to_string(bytes.size()) + " bytes where its tails describe " +
           std::to_string(expected);
  if (afresh && !empty_tails(from)) return "a span afresh must start from empty tails";
  return content_error(from, to, bytes);
}

InstallResult install_raw_span(KnowledgeGraph& graph, const GraphIndices& from,
                               const GraphIndices& to, std::span<const std::byte> bytes,
                               bool afresh) {
  if (!writes_admitted(graph))
    return {InstallStatus::Refused, "this process is not the region's writer"};
  if (auto error = raw_span_error(from, to, bytes, afresh)) return {InstallStatus::Refused, *error};
  if (!graph.autocommit_enabled())
    return {InstallStatus::BaseMismatch, "the graph is inside a batch"};

  if (!afresh && !same_tails(graph.indices[graph.active_buffer()], from))
    return {InstallStatus::BaseMismatch, "the graph does not hold the state the span starts from"};
  if (afresh) {
    // Slots below the published tails are rewritten in place, as a compaction
    // does and under the same guard: readers wait for the new state (or retry a
    // read that overlapped), and never see an empty graph the source did not publish.
    detail::recorder_before_reuse(graph);  // an attached recorder first takes what it still needs
    detail::begin_slot_reuse(graph);
    detail::index_cleared(graph);
  }
  GraphIndices working = detail::WriterSteps::working_buffer(graph);
  if (afresh) {
    // The index starts empty; the steps below fill it up to `to`.
    working = from;
    working.update_timestamp = to.update_timestamp;
  }
  detail::index_begin_write(graph, working);
  write_span(graph, from, to, bytes);
  if (afresh) {
    detail::index_expect_buffer_write(graph);
    detail::WriterSteps::publish(graph, to);  // the flip settles the clear epoch
    detail::overwrite_inactive(graph, to);
    detail::end_slot_reuse(graph);
  } else {
    detail::WriterSteps::publish(graph, to);
  }
  return {InstallStatus::Installed, {}};
}

std::optional<std::string> records_differ(const KnowledgeGraph& a, const GraphIndices& a_state,
                                          const KnowledgeGraph& b, const GraphIndices& b_state) {
  if (std::memcmp(&a_state, &b_state, sizeof a_state) != 0)
    return "bookkeeping differs: " + to_string(a_state) + " against " + to_string(b_state);
  if (auto error = span_shape_error(GraphIndices{}, a_state)) return "bad tails: " + *error;
  std::optional<std::string> difference;
  for_each_range(GraphIndices{}, a_state, [&](int array, std::uint64_t kind, Range range) {
    for (std::uint64_t slot = range.first; !difference && slot < range.end; ++slot) {
      const std::byte* x = element(a, array, kind, slot);
      const std::byte* y = element(b, array, kind, slot);
      // Versions end in the marker and 7 bytes of the lookup index's padding.
      const std::size_t compared = array == 0   ? offsetof(NodeRecord, padding)
                                   : array == 2 ? offsetof(RelationRecord, padding)
                                                : kElementSize[array];
      if (std::memcmp(x, y, compared) != 0)
        difference = range_text(array, kind) + " slot " + std::to_string(slot) + " differs";
    }
  });
  return difference;
}

}  // namespace knowledge_graph::graph
