// Diagnostic text forms of the record's small types.
#include <ostream>
#include <sstream>

#include "knowledge_graph/graph/knowledge_graph.hpp"

namespace knowledge_graph::graph {
namespace {

template <class Words> void write_words(std::ostream& out, const Words& words) {
  out << '[';
  bool first = true;
  for (auto word : words) {
    out << (first ? "" : ", ") << word;
    first = false;
  }
  out << ']';
}

}  // namespace

std::string to_string(const Index& index) {
  return "Index { type_index: " + std::to_string(index.type_index) +
         ", instance_id: " + std::to_string(index.instance_id) + " }";
}

std::string to_string(Marker marker) {
  switch (marker) {
    case Marker::None: return "None";
    case Marker::Valid: return "Valid";
    case Marker::Removed: return "Removed";
  }
  return "Unknown(" + std::to_string(static_cast<unsigned>(marker)) + ")";
}

std::string to_string(const GraphIndices& indices) {
  std::ostringstream out;
  out << "GraphIndices { node_index_tail: ";
  write_words(out, indices.node_index_tail);
  out << ", nodes_tail: " << indices.nodes_tail << ", relation_index_tail: ";
  write_words(out, indices.relation_index_tail);
  out << ", relations_tail: " << indices.relations_tail
      << ", update_timestamp: " << indices.update_timestamp << " }";
  return out.str();
}

std::string_view to_string(WriteStatus status) {
  switch (status) {
    case WriteStatus::Stored: return "Stored";
    case WriteStatus::NotFound: return "NotFound";
    case WriteStatus::NodeMissing: return "NodeMissing";
    case WriteStatus::KindOutOfRange: return "KindOutOfRange";
    case WriteStatus::NodeVersionsFull: return "NodeVersionsFull";
    case WriteStatus::NodeValuesFull: return "NodeValuesFull";
    case WriteStatus::RelationVersionsFull: return "RelationVersionsFull";
    case WriteStatus::RelationValuesFull: return "RelationValuesFull";
    case WriteStatus::OutgoingListFull: return "OutgoingListFull";
    case WriteStatus::IncomingListFull: return "IncomingListFull";
    case WriteStatus::NotWriter: return "NotWriter";
    case WriteStatus::NoHandle: return "NoHandle";
    case WriteStatus::NothingWritten: return "NothingWritten";
    case WriteStatus::InsideBatch: return "InsideBatch";
  }
  return "Unknown";
}

std::ostream& operator<<(std::ostream& out, const Index& index) { return out << to_string(index); }
std::ostream& operator<<(std::ostream& out, Marker marker) { return out << to_string(marker); }
std::ostream& operator<<(std::ostream& out, const GraphIndices& indices) {
  return out << to_string(indices);
}

}  // namespace knowledge_graph::graph
