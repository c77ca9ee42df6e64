// What tells one drive from another with the same counts: a digest of a kind's
// newest version (identity, time, marker and payload bytes; for relations
// also both ends). A compaction moves versions but leaves these words, and the
// recording keeps them byte for byte, so a region and the recording of its
// drive agree on them at every publication. Internal to the recording library.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "knowledge_graph/graph/knowledge_graph.hpp"

namespace recording::newest {

namespace kg = knowledge_graph::graph;

inline std::uint64_t mix(std::uint64_t hash, std::uint64_t value) {
  hash = (hash ^ value) * 0xBF58476D1CE4E5B9ull;
  return hash ^ (hash >> 31);
}

template <std::size_t N> std::uint64_t mix_bytes(std::uint64_t hash, const unsigned char (&bytes)[N]) {
  for (std::size_t at = 0; at < N; at += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes + at, std::min<std::size_t>(8, N - at));
    hash = mix(hash, word);
  }
  return hash;
}

inline std::uint32_t finish(std::uint64_t hash) { return static_cast<std::uint32_t>(hash >> 38); }  // 26 bits

// A kind (node kinds, then relation kinds) and a version's digest in one word,
// as Recording::Moment keeps them; 0 for a kind out of range.
inline std::uint32_t pack(std::uint64_t kind, std::uint32_t digest) {
  return kind < kg::kNodeKinds + kg::kRelationKinds ? static_cast<std::uint32_t>(kind + 1) << 26 | digest : 0;
}

inline std::uint32_t digest(const kg::NodeRecord& record, const kg::KnowledgeGraphNode& value) {
  std::uint64_t hash = mix(mix(mix(1, record.instance_id), record.timestamp),
                           static_cast<std::uint64_t>(record.marker));
  return finish(mix_bytes(hash, value.payload));
}

inline std::uint32_t digest(const kg::RelationRecord& record, const kg::KnowledgeGraphRelation& value) {
  std::uint64_t hash = mix(mix(mix(2, record.instance_id), record.timestamp),
                           static_cast<std::uint64_t>(record.marker));
  hash = mix(mix(mix(mix(hash, record.from.type_index), record.from.instance_id), record.to.type_index),
             record.to.instance_id);
  return finish(mix_bytes(hash, value.payload));
}

}  // namespace recording::newest
