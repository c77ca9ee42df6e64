// Where the graph keeps its objects in a shared region whose first byte is the
// record's: the record, then, each at the next 64-byte boundary, the lookup
// index, the recorder link and the writer seat. The offsets are defined here and
// nowhere else; each object's size lives with the object.
//
//   0                        KnowledgeGraph (the record)
//   lookup_index_offset()    lookup index   (lookup_index_size() bytes)
//   recorder_link_offset()   recorder link  (recorder_link_size() bytes)
//   writer_seat_offset()     writer seat    (64 bytes)
//   region_objects_end()     first byte after them
//
// A region smaller than region_objects_end() holds the record alone (an older
// host's): the objects behind it are then not attached.
#pragma once

#include <cstddef>

namespace knowledge_graph::graph {

std::size_t lookup_index_offset();
std::size_t lookup_index_size();
std::size_t recorder_link_offset();
std::size_t recorder_link_size();
std::size_t writer_seat_offset();
std::size_t region_objects_end();

}  // namespace knowledge_graph::graph
