// Raw spans: the versions and payloads that one graph appended between two of its
// bookkeeping states, as the record's own bytes, and their installation into
// another graph as its writer. A graph copied this way holds the same slots at the
// same positions (payload positions included) as the one it was copied from, so
// a copy kept current span by span equals its source after every span.
//
// Layout of a span's bytes, every array in this order, each range [from, to):
//   node kinds 0..17: NodeRecord slots of the kind,
//   node values: KnowledgeGraphNode payloads,
//   relation kinds 0..16: RelationRecord slots of the kind,
//   relation values: KnowledgeGraphRelation payloads.
// A span "afresh" starts from empty tails: the whole record below `to`.
//
// The padding of every version belongs to the lookup index of the graph that
// holds it (a per-graph salt): it travels, but the installing graph stamps its
// own, and records_differ ignores it.
//
// Thread rules: copy_raw_span is a reader (any process, no lock, checked against
// clears and compactions); install_raw_span is a write (the graph's one writer).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "knowledge_graph/graph/knowledge_graph.hpp"

namespace knowledge_graph::graph {

// The bookkeeping as a flat word array (tails in layout order, update timestamp last).
inline constexpr std::size_t kIndexWords = sizeof(GraphIndices) / sizeof(std::uint64_t);
static_assert(kIndexWords == 38);
std::array<std::uint64_t, kIndexWords> to_words(const GraphIndices& indices);
GraphIndices from_words(const std::array<std::uint64_t, kIndexWords>& words);

// Why `from` → `to` is not a span of any graph (a tail beyond its capacity, a
// tail of `to` below `from`'s), or nothing when it is one.
std::optional<std::string> span_shape_error(const GraphIndices& from, const GraphIndices& to);
// Bytes of the span from `from` to `to` (a valid shape).
std::size_t raw_span_size(const GraphIndices& from, const GraphIndices& to);

// Whether `now` follows `before` (both snapshots of one graph) by appends only:
// no clear or compaction between them (same settled clear epoch) and no tail shorter.
bool appends_only(const Snapshot& before, const Snapshot& now);

// Reader: copies the span from `from` to `now`'s tails out of `graph` into `out`,
// which must hold raw_span_size(from, now.indices) bytes. False when a clear or compaction may have rewritten slots during the copy (or
// `now` is not settled): take a new snapshot and copy afresh.
bool copy_raw_span(const KnowledgeGraph& graph, const GraphIndices& from, const Snapshot& now,
                   std::span<std::byte> out);
// The same into a vector sized to fit.
bool copy_raw_span(const KnowledgeGraph& graph, const GraphIndices& from, const Snapshot& now,
                   std::vector<std::byte>& out);

// Why a version could not stand in a graph whose payload tail is `payload_tail`
// (a marker other than 0, 1, 2; a payload position at or beyond the tail; a
// relation kind in a list, or a node kind at an endpoint, beyond the vocabulary),
// or nothing. install_raw_span checks every version of a span with these; other
// writers of foreign versions (a replay) use them so that they publish nothing a
// span would refuse.
std::optional<std::string> node_version_error(const NodeRecord& record, std::uint64_t payload_tail);
std::optional<std::string> relation_version_error(const RelationRecord& record,
                                                  std::uint64_t payload_tail);

// Why install_raw_span would refuse these bytes as the span from `from` to `to`
// (shape, size, or any version or payload in them), or nothing: the whole check,
// without a graph.
std::optional<std::string> raw_span_error(const GraphIndices& from, const GraphIndices& to,
                                          std::span<const std::byte> bytes, bool afresh);

// A span assembled from its parts, for writers of versions that come from
// elsewhere (a replay of a recording): per kind the versions to append in order,
// and the payloads to append in order. Versions name their payloads by position
// in the graph that installs the span (appended payloads follow its payload tail).
struct SpanParts {
  std::array<std::vector<NodeRecord>, kNodeKinds> node_versions;
  std::vector<KnowledgeGraphNode> node_values;
  std::array<std::vector<RelationRecord>, kRelationKinds> relation_versions;
  std::vector<KnowledgeGraphRelation> relation_values;
};
// `from` advanced by the parts, with `timestamp` as its update timestamp. Not
// checked against the capacities: span_shape_error(from, result) says.
GraphIndices span_end(const GraphIndices& from, const SpanParts& parts, std::uint64_t timestamp);
// The span's bytes, laid out as above.
std::vector<std::byte> raw_span_bytes(const SpanParts& parts);

enum class InstallStatus {
  Installed,     // published: the graph's tails and update timestamp are `to`'s
  BaseMismatch,  // an appending span whose `from` is not the graph's published state
  Refused,       // the span is malformed; the graph is left as it was
};
struct InstallResult {
  InstallStatus status;
  std::string reason;  // why, unless Installed
};

// Writer (autocommit on, no open batch): checks the whole span first (shape, size,
// markers, payload positions, kind numbers in payloads, lists and endpoints), then
// either appends it (afresh false: the published tails must equal `from`) or
// rewrites the record below `to` in place (afresh: `from` must be empty tails), and
// publishes `to` as one publication with the normal protocol. An afresh span is
// installed as a compaction is, under the same guard: readers wait while it fills
// (as long as the copy and the index take) and then see `to`, never an empty graph
// in between; a read that overlapped it retries. Its cost counts against the readers' wait bound
// (KnowledgeGraph::kCompactionWaitMilliseconds).
InstallResult install_raw_span(KnowledgeGraph& graph, const GraphIndices& from,
                               const GraphIndices& to, std::span<const std::byte> bytes,
                               bool afresh);

// Writer (autocommit on, no open batch): a compaction that another graph made of
// the same state, done again here, then the span `appended` that graph appended
// after it, up to `to` (empty when the compaction gave `to` itself). The graph
// must hold `from` (tails and update timestamp: BaseMismatch otherwise); the
// compaction must drop something, and the span must be one that install_raw_span
// takes onto the compacted state (Refused otherwise); all this is checked before
// anything moves, so a refused one leaves the graph as it was. Then it compacts
// and appends with the normal protocol: two publications, as the source's were.
InstallResult install_compaction(KnowledgeGraph& graph, const GraphIndices& from, const GraphIndices& to,
                                 std::uint64_t keep_since, std::span<const std::byte> appended);

// The first difference between what two graphs publish in the given snapshots:
// tails, update timestamp, every version below the tails (padding aside) and every
// payload below the payload tails. Nothing when they are equal.
std::optional<std::string> records_differ(const KnowledgeGraph& a, const GraphIndices& a_state,
                                          const KnowledgeGraph& b, const GraphIndices& b_state);

}  // namespace knowledge_graph::graph
