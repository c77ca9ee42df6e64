// The region's objects, one after the other at 64-byte boundaries.
#include "knowledge_graph/graph/region_layout.hpp"

#include "knowledge_graph/graph/knowledge_graph.hpp"
#include "knowledge_graph/graph/write_gate.hpp"

namespace knowledge_graph::graph {
namespace {
constexpr std::size_t next_line(std::size_t offset) { return (offset + 63) / 64 * 64; }
}  // namespace

std::size_t lookup_index_offset() { return next_line(sizeof(KnowledgeGraph)); }
std::size_t recorder_link_offset() { return next_line(lookup_index_offset() + lookup_index_size()); }
std::size_t writer_seat_offset() { return next_line(recorder_link_offset() + recorder_link_size()); }
std::size_t region_objects_end() { return writer_seat_offset() + sizeof(WriterSeat); }

}  // namespace knowledge_graph::graph
