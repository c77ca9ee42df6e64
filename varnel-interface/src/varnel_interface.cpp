// The exported C functions: each fetches the graph through the handle, builds
// the value or Index that the graph operation needs, and calls it. Nothing here
// keeps state beyond the handle's writer lock and its last write result.
//
// One writer: the handle is a graph session (graph_session), whose write gate
// the graph asks at every write. A handle refused at set-up tries the writer lock
// again, without waiting, at each writing call, and on success does the set-up
// it skipped.
#define VARNEL_INTERFACE_BUILDING
#include "varnel_interface.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

#include "graph_session/graph_session.hpp"
#include "knowledge_graph/graph/knowledge_graph.hpp"

namespace graph = knowledge_graph::graph;
namespace types = knowledge_graph::graph::types;

// The handle: the graph session and the outcome of the last write through it.
struct KnowledgeGraphHandle {
  std::unique_ptr<graph_session::GraphSession> session;
  bool requested_autocommit = true;  // the mode the host last asked for
  std::uint32_t last_write_result = VARNEL_WRITE_NOTHING_WRITTEN;

  graph::KnowledgeGraph* graph() const { return session ? &session->graph() : nullptr; }
};

namespace {

constexpr const char* kLogTarget = "varnel_interface";

// ---- The C records have the layouts of the graph's records ----------------

#define VARNEL_SAME_FIELD(type, field) \
  static_assert(offsetof(::type, field) == offsetof(types::type, field))
#define VARNEL_SAME_SIZE(type)                                  \
  static_assert(sizeof(::type) == sizeof(types::type) &&          \
                alignof(::type) == alignof(types::type) &&        \
                std::is_trivially_copyable_v<::type>)

VARNEL_SAME_SIZE(Vector3f);
VARNEL_SAME_FIELD(Vector3f, y);
VARNEL_SAME_FIELD(Vector3f, z);
VARNEL_SAME_SIZE(Vector2f);
VARNEL_SAME_FIELD(Vector2f, y);
VARNEL_SAME_SIZE(RawString);
VARNEL_SAME_SIZE(Car);
VARNEL_SAME_FIELD(Car, carDirection);
VARNEL_SAME_FIELD(Car, carId);
VARNEL_SAME_FIELD(Car, carPosition);
VARNEL_SAME_FIELD(Car, carSpeed);
VARNEL_SAME_SIZE(Crosswalk);
VARNEL_SAME_FIELD(Crosswalk, crosswalkId);
VARNEL_SAME_FIELD(Crosswalk, crosswalkPedestrianCount);
VARNEL_SAME_FIELD(Crosswalk, crosswalkPosition);
VARNEL_SAME_SIZE(Intersection);
VARNEL_SAME_FIELD(Intersection, intersectionId);
VARNEL_SAME_FIELD(Intersection, intersectionPosition);
VARNEL_SAME_SIZE(Lane);
VARNEL_SAME_FIELD(Lane, laneId);
VARNEL_SAME_FIELD(Lane, laneName);
VARNEL_SAME_FIELD(Lane, laneSpeedLimit);
VARNEL_SAME_SIZE(Pedestrian);
VARNEL_SAME_FIELD(Pedestrian, pedestrianDirection);
VARNEL_SAME_FIELD(Pedestrian, pedestrianPosition);
VARNEL_SAME_FIELD(Pedestrian, pedestrianSpeed);
VARNEL_SAME_SIZE(Road);
VARNEL_SAME_FIELD(Road, roadId);
VARNEL_SAME_FIELD(Road, roadName);
VARNEL_SAME_SIZE(SpeedLimitSign);
VARNEL_SAME_SIZE(TestClass1);
VARNEL_SAME_SIZE(TestClass2);
VARNEL_SAME_SIZE(testRelation);
VARNEL_SAME_SIZE(yieldsToCarIn);
static_assert(sizeof(VarnelIgnored) == sizeof(void*) && sizeof(uint8_t) == 1);
#undef VARNEL_SAME_FIELD
#undef VARNEL_SAME_SIZE

#define VARNEL_SAME_KIND(prefix, name, type) \
  static_assert(prefix##name == types::NodeKindOf<types::type>::kind)
#define VARNEL_SAME_RELATION_KIND(name, type) \
  static_assert(VARNEL_RELATION_##name == types::RelationKindOf<types::type>::kind)
VARNEL_SAME_KIND(VARNEL_NODE_, CAR, Car);
VARNEL_SAME_KIND(VARNEL_NODE_, LANE, Lane);
VARNEL_SAME_KIND(VARNEL_NODE_, YIELDSIGN, YieldSign);
VARNEL_SAME_RELATION_KIND(ISON, isOn);
VARNEL_SAME_RELATION_KIND(YIELDSTOCARIN, yieldsToCarIn);
static_assert(VARNEL_WRITE_INCOMING_LIST_FULL ==
              static_cast<std::uint32_t>(graph::WriteStatus::IncomingListFull));
static_assert(VARNEL_WRITE_NOT_WRITER == static_cast<std::uint32_t>(graph::WriteStatus::NotWriter));
static_assert(VARNEL_WRITE_NO_HANDLE == static_cast<std::uint32_t>(graph::WriteStatus::NoHandle));
static_assert(VARNEL_WRITE_NOTHING_WRITTEN ==
              static_cast<std::uint32_t>(graph::WriteStatus::NothingWritten));
static_assert(VARNEL_WRITE_INSIDE_BATCH == static_cast<std::uint32_t>(graph::WriteStatus::InsideBatch));
#undef VARNEL_SAME_KIND
#undef VARNEL_SAME_RELATION_KIND

// A C record as the graph's record of the same layout.
template <class Graph, class C> Graph to_graph_record(const C& record) {
  static_assert(sizeof(Graph) == sizeof(C));
  Graph converted;
  std::memcpy(static_cast<void*>(&converted), &record, sizeof(C));
  return converted;
}

bool is_usable(const KnowledgeGraphHandle* handle) {
  return handle != nullptr && handle->graph() != nullptr;
}

template <class T> void note(KnowledgeGraphHandle* handle, const graph::WriteResult<T>& result) {
  handle->last_write_result = static_cast<std::uint32_t>(result.status);
}

// Whether `handle` may write (the session's half of the gate). A refused handle
// that becomes the writer here has had the graph emptied, as its own set-up
// would have; it then takes the mode its host asked for meanwhile, and in
// transaction mode starts a batch, so that the host's framing carries on.
bool may_write(KnowledgeGraphHandle* handle) {
  const bool was_writer = handle->session->role() == graph_session::Role::Writer;
  if (!handle->session->may_write()) return false;
  if (!was_writer && !handle->requested_autocommit) {
    handle->graph()->set_autocommit(false);
    handle->graph()->start_transaction();
  }
  return true;
}

bool refuse_write(KnowledgeGraphHandle* handle) {
  if (may_write(handle)) return false;
  handle->last_write_result = static_cast<std::uint32_t>(graph::WriteStatus::NotWriter);
  return true;
}

// ---- The bodies behind the families of exports -----------------------------

std::uint64_t add_node_value(std::uint64_t timestamp, std::uint64_t instance_id,
                             const types::KnowledgeGraphNode& value,
                             KnowledgeGraphHandle* handle) {
  if (!is_usable(handle)) return 0;
  if (refuse_write(handle)) return value.type_index();
  note(handle, handle->graph()->add_node(timestamp, instance_id, value));
  return value.type_index();
}

template <class Graph, class C>
std::uint64_t add_node_record(std::uint64_t timestamp, std::uint64_t instance_id, const C& record,
                              KnowledgeGraphHandle* handle) {
  return add_node_value(timestamp, instance_id,
                        types::KnowledgeGraphNode(to_graph_record<Graph>(record)), handle);
}

template <class Graph>
std::uint64_t add_fieldless_node(std::uint64_t timestamp, std::uint64_t instance_id,
                                 KnowledgeGraphHandle* handle) {
  return add_node_value(timestamp, instance_id, types::KnowledgeGraphNode(Graph{}), handle);
}

std::uint64_t update_node_value(std::uint64_t timestamp, std::uint64_t instance_id,
                                const types::KnowledgeGraphNode& value,
                                KnowledgeGraphHandle* handle) {
  if (!is_usable(handle)) return 0;
  if (refuse_write(handle)) return value.type_index();
  note(handle, handle->graph()->update_node(timestamp, instance_id, value));
  return value.type_index();
}

std::uint8_t remove_node_body(std::uint64_t timestamp, std::uint64_t node_kind,
                              std::uint64_t instance_id, KnowledgeGraphHandle* handle) {
  if (!is_usable(handle) || refuse_write(handle)) return 0;
  const auto result = handle->graph()->remove_node(timestamp, graph::Index(node_kind, instance_id));
  note(handle, result);
  return result.stored() ? 1 : 0;
}

std::uint64_t add_relation_value(std::uint64_t timestamp, std::uint64_t instance_id,
                                 const types::KnowledgeGraphRelation& value,
                                 std::uint64_t from_kind, std::uint64_t from_id,
                                 std::uint64_t to_kind, std::uint64_t to_id,
                                 KnowledgeGraphHandle* handle) {
  if (!is_usable(handle)) return 0;
  if (refuse_write(handle)) return value.type_index();
  note(handle, handle->graph()->add_relation(timestamp, instance_id, value,
                                             graph::Index(from_kind, from_id),
                                             graph::Index(to_kind, to_id)));
  return value.type_index();
}

std::uint8_t remove_relation_body(std::uint64_t timestamp, std::uint64_t relation_kind,
                                  std::uint64_t instance_id, KnowledgeGraphHandle* handle) {
  if (!is_usable(handle) || refuse_write(handle)) return 0;
  const auto result =
      handle->graph()->remove_relation(timestamp, graph::Index(relation_kind, instance_id));
  note(handle, result);
  return result.stored() ? 1 : 0;
}

}  // namespace

// ---- Lifecycle and graph-wide calls -----------------------------------------

KnowledgeGraphHandle* initialize_knowledge_graph(void) {
  try {
    graph_session::Options options;
    options.holder = "this handle";
    options.log_target = kLogTarget;
    auto opened = graph_session::GraphSession::open_writer(options);
    if (!opened) return nullptr;  // the session has logged why
    auto* handle = new KnowledgeGraphHandle;
    handle->session = std::move(opened.session);
    return handle;
  } catch (...) {  // an allocation failure must not cross the C boundary
    return nullptr;
  }
}

void release_knowledge_graph(KnowledgeGraphHandle* handle) { delete handle; }

void reset_knowledge_graph(KnowledgeGraphHandle* handle) {
  if (is_usable(handle) && may_write(handle)) handle->graph()->clear();
}

uint64_t get_node_count(KnowledgeGraphHandle* handle) {
  return is_usable(handle) ? handle->graph()->node_count() : 0;
}

uint64_t get_relation_count(KnowledgeGraphHandle* handle) {
  return is_usable(handle) ? handle->graph()->relation_count() : 0;
}

uint64_t get_last_update(KnowledgeGraphHandle* handle) {
  return is_usable(handle) ? handle->graph()->last_update() : 0;
}

uint8_t is_empty(KnowledgeGraphHandle* handle) {
  return is_usable(handle) && handle->graph()->is_empty() ? 1 : 0;
}

void start_transaction(KnowledgeGraphHandle* handle) {
  if (is_usable(handle) && may_write(handle)) handle->graph()->start_transaction();
}

void commit_transaction(KnowledgeGraphHandle* handle) {
  // Through the session, which then knows the writer is between batches.
  if (is_usable(handle) && may_write(handle)) handle->session->commit_transaction();
}

void set_autocommit(uint8_t autocommit, KnowledgeGraphHandle* handle) {
  if (!is_usable(handle)) return;
  handle->requested_autocommit = autocommit != 0;
  if (may_write(handle)) handle->graph()->set_autocommit(autocommit != 0);
}

uint32_t get_last_write_result(KnowledgeGraphHandle* handle) {
  return handle != nullptr ? handle->last_write_result : VARNEL_WRITE_NO_HANDLE;
}

uint8_t compact_knowledge_graph(uint64_t keep_since, KnowledgeGraphHandle* handle) {
  if (!is_usable(handle) || refuse_write(handle)) return 0;
  const auto result = handle->graph()->compact(keep_since);
  note(handle, result);
  return result.stored() ? 1 : 0;
}

uint8_t set_history_window(uint64_t window, KnowledgeGraphHandle* handle) {
  if (!is_usable(handle)) return 0;
  handle->session->set_history_window(window);
  return 1;
}

uint64_t get_history_held(KnowledgeGraphHandle* handle) {
  return is_usable(handle) ? handle->session->history_held() : 0;
}

uint64_t get_history_resets(KnowledgeGraphHandle* handle) {
  return is_usable(handle) ? handle->session->history_resets() : 0;
}

uint64_t get_history_compactions(KnowledgeGraphHandle* handle) {
  return is_usable(handle) ? handle->session->history_compactions() : 0;
}

// ---- Nodes --------------------------------------------------------------------

#define VARNEL_ADD_NODE_RECORD(lower, type)                                               \
  uint64_t add_##lower##_node(uint64_t timestamp, uint64_t instance_id, ::type record,    \
                              KnowledgeGraphHandle* handle) {                             \
    return add_node_record<types::type>(timestamp, instance_id, record, handle);          \
  }
#define VARNEL_ADD_NODE_FIELDLESS(lower, type)                                                \
  uint64_t add_##lower##_node(uint64_t timestamp, uint64_t instance_id, VarnelIgnored,        \
                              KnowledgeGraphHandle* handle) {                                 \
    return add_fieldless_node<types::type>(timestamp, instance_id, handle);                   \
  }
#define VARNEL_UPDATE_NODE_RECORD(lower, type)                                              \
  uint64_t update_##lower##_node(uint64_t timestamp, uint64_t instance_id, ::type record,    \
                                 KnowledgeGraphHandle* handle) {                             \
    return update_node_value(timestamp, instance_id,                                        \
                             types::KnowledgeGraphNode(to_graph_record<types::type>(record)), \
                             handle);                                                        \
  }
#define VARNEL_UPDATE_NODE_FIELDLESS(lower, type)                                           \
  uint64_t update_##lower##_node(uint64_t timestamp, uint64_t instance_id, VarnelIgnored,   \
                                 KnowledgeGraphHandle* handle) {                            \
    return update_node_value(timestamp, instance_id, types::KnowledgeGraphNode(types::type{}), \
                             handle);                                                       \
  }
#define VARNEL_REMOVE_NODE(lower)                                                           \
  uint8_t remove_##lower##_node(uint64_t timestamp, uint64_t node_kind, uint64_t instance_id, \
                                KnowledgeGraphHandle* handle) {                              \
    return remove_node_body(timestamp, node_kind, instance_id, handle);                      \
  }

VARNEL_ADD_NODE_RECORD(car, Car)
VARNEL_ADD_NODE_RECORD(crosswalk, Crosswalk)
VARNEL_ADD_NODE_FIELDLESS(dynamicobject, DynamicObject)
VARNEL_ADD_NODE_FIELDLESS(ego, Ego)
VARNEL_ADD_NODE_RECORD(intersection, Intersection)
VARNEL_ADD_NODE_RECORD(lane, Lane)
VARNEL_ADD_NODE_FIELDLESS(noentrysign, NoEntrySign)
VARNEL_ADD_NODE_RECORD(pedestrian, Pedestrian)
VARNEL_ADD_NODE_FIELDLESS(priorityroadsign, PriorityRoadSign)
VARNEL_ADD_NODE_RECORD(road, Road)
VARNEL_ADD_NODE_FIELDLESS(roadsign, RoadSign)
VARNEL_ADD_NODE_RECORD(speedlimitsign, SpeedLimitSign)
VARNEL_ADD_NODE_FIELDLESS(staticobject, StaticObject)
VARNEL_ADD_NODE_FIELDLESS(stopsign, StopSign)
VARNEL_ADD_NODE_RECORD(testclass1, TestClass1)
VARNEL_ADD_NODE_RECORD(testclass2, TestClass2)
VARNEL_ADD_NODE_FIELDLESS(yieldsign, YieldSign)

VARNEL_UPDATE_NODE_RECORD(car, Car)
VARNEL_UPDATE_NODE_RECORD(crosswalk, Crosswalk)
VARNEL_UPDATE_NODE_FIELDLESS(dynamicobject, DynamicObject)
VARNEL_UPDATE_NODE_FIELDLESS(ego, Ego)
VARNEL_UPDATE_NODE_RECORD(intersection, Intersection)
VARNEL_UPDATE_NODE_RECORD(lane, Lane)
VARNEL_UPDATE_NODE_FIELDLESS(noentrysign, NoEntrySign)
VARNEL_UPDATE_NODE_RECORD(pedestrian, Pedestrian)
VARNEL_UPDATE_NODE_FIELDLESS(priorityroadsign, PriorityRoadSign)
VARNEL_UPDATE_NODE_RECORD(road, Road)
VARNEL_UPDATE_NODE_FIELDLESS(roadsign, RoadSign)
VARNEL_UPDATE_NODE_RECORD(speedlimitsign, SpeedLimitSign)
VARNEL_UPDATE_NODE_FIELDLESS(staticobject, StaticObject)
VARNEL_UPDATE_NODE_FIELDLESS(stopsign, StopSign)
VARNEL_UPDATE_NODE_RECORD(testclass1, TestClass1)
VARNEL_UPDATE_NODE_RECORD(testclass2, TestClass2)
VARNEL_UPDATE_NODE_FIELDLESS(yieldsign, YieldSign)

VARNEL_REMOVE_NODE(car)
VARNEL_REMOVE_NODE(crosswalk)
VARNEL_REMOVE_NODE(dynamicobject)
VARNEL_REMOVE_NODE(ego)
VARNEL_REMOVE_NODE(intersection)
VARNEL_REMOVE_NODE(lane)
VARNEL_REMOVE_NODE(noentrysign)
VARNEL_REMOVE_NODE(pedestrian)
VARNEL_REMOVE_NODE(priorityroadsign)
VARNEL_REMOVE_NODE(road)
VARNEL_REMOVE_NODE(roadsign)
VARNEL_REMOVE_NODE(speedlimitsign)
VARNEL_REMOVE_NODE(staticobject)
VARNEL_REMOVE_NODE(stopsign)
VARNEL_REMOVE_NODE(testclass1)
VARNEL_REMOVE_NODE(testclass2)
VARNEL_REMOVE_NODE(yieldsign)

// ---- Relations ----------------------------------------------------------------

#define VARNEL_ADD_RELATION_RECORD(lower, type)                                                 \
  uint64_t add_##lower##_relation(uint64_t timestamp, uint64_t instance_id, ::type record,      \
                                  uint64_t from_kind, uint64_t from_id, uint64_t to_kind,       \
                                  uint64_t to_id, KnowledgeGraphHandle* handle) {               \
    const types::KnowledgeGraphRelation value(to_graph_record<types::type>(record));            \
    return add_relation_value(timestamp, instance_id, value, from_kind, from_id, to_kind, to_id, \
                              handle);                                                          \
  }
#define VARNEL_ADD_RELATION_FIELDLESS(lower, type)                                              \
  uint64_t add_##lower##_relation(uint64_t timestamp, uint64_t instance_id, VarnelIgnored,      \
                                  uint64_t from_kind, uint64_t from_id, uint64_t to_kind,       \
                                  uint64_t to_id, KnowledgeGraphHandle* handle) {               \
    const types::KnowledgeGraphRelation value(types::type{});                                   \
    return add_relation_value(timestamp, instance_id, value, from_kind, from_id, to_kind, to_id, \
                              handle);                                                          \
  }
#define VARNEL_REMOVE_RELATION(lower)                                                     \
  uint8_t remove_##lower##_relation(uint64_t timestamp, uint64_t relation_kind,           \
                                    uint64_t instance_id, KnowledgeGraphHandle* handle) { \
    return remove_relation_body(timestamp, relation_kind, instance_id, handle);           \
  }

VARNEL_ADD_RELATION_FIELDLESS(belongsto, belongsTo)
VARNEL_ADD_RELATION_FIELDLESS(connectsto, connectsTo)
VARNEL_ADD_RELATION_FIELDLESS(contains, contains)
VARNEL_ADD_RELATION_FIELDLESS(has, has)
VARNEL_ADD_RELATION_FIELDLESS(isat, isAt)
VARNEL_ADD_RELATION_FIELDLESS(isbehind, isBehind)
VARNEL_ADD_RELATION_FIELDLESS(isin, isIn)
VARNEL_ADD_RELATION_FIELDLESS(isinfront, isInFront)
VARNEL_ADD_RELATION_FIELDLESS(ison, isOn)
VARNEL_ADD_RELATION_FIELDLESS(isonleft, isOnLeft)
VARNEL_ADD_RELATION_FIELDLESS(isonright, isOnRight)
VARNEL_ADD_RELATION_FIELDLESS(ispartof, isPartOf)
VARNEL_ADD_RELATION_FIELDLESS(passesover, passesOver)
VARNEL_ADD_RELATION_RECORD(testrelation, testRelation)
VARNEL_ADD_RELATION_FIELDLESS(walkson, walksOn)
VARNEL_ADD_RELATION_RECORD(yieldstocarin, yieldsToCarIn)

VARNEL_REMOVE_RELATION(belongsto)
VARNEL_REMOVE_RELATION(connectsto)
VARNEL_REMOVE_RELATION(contains)
VARNEL_REMOVE_RELATION(has)
VARNEL_REMOVE_RELATION(isat)
VARNEL_REMOVE_RELATION(isbehind)
VARNEL_REMOVE_RELATION(isin)
VARNEL_REMOVE_RELATION(isinfront)
VARNEL_REMOVE_RELATION(ison)
VARNEL_REMOVE_RELATION(isonleft)
VARNEL_REMOVE_RELATION(isonright)
VARNEL_REMOVE_RELATION(ispartof)
VARNEL_REMOVE_RELATION(passesover)
VARNEL_REMOVE_RELATION(testrelation)
VARNEL_REMOVE_RELATION(walkson)
VARNEL_REMOVE_RELATION(yieldstocarin)
