#include "scene_writer.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <set>

namespace varnel::demo {
namespace {

constexpr std::uint64_t kNodeVersionCapacity = 21000;
constexpr std::uint64_t kValueCapacity = 20000;  // node payloads, relation payloads
constexpr std::uint64_t kRelationVersionCapacity = 20000;

constexpr const char* kNodeKindNames[] = {
    "Empty",   "Car",      "Crosswalk",        "DynamicObject", "Ego",          "Intersection",
    "Lane",    "NoEntrySign", "Pedestrian",    "PriorityRoadSign", "Road",      "RoadSign",
    "SpeedLimitSign", "StaticObject", "StopSign", "TestClass1",  "TestClass2",   "YieldSign"};
constexpr const char* kRelationKindNames[] = {
    "Empty",  "belongsTo", "connectsTo", "contains", "has",      "isAt",         "isBehind",
    "isIn",   "isInFront", "isOn",       "isOnLeft", "isOnRight", "isPartOf",    "passesOver",
    "testRelation", "walksOn", "yieldsToCarIn"};

std::string node_kind_name(std::uint64_t kind) {
  return kind < std::size(kNodeKindNames) ? kNodeKindNames[kind] : std::to_string(kind);
}
std::string relation_kind_name(std::uint64_t kind) {
  return kind < std::size(kRelationKindNames) ? kRelationKindNames[kind] : std::to_string(kind);
}

std::vector<unsigned char> record_bytes(const NodeRecord& record) {
  return std::visit(
      [](const auto& value) {
        if constexpr (std::is_same_v<std::decay_t<decltype(value)>, std::monostate>) {
          return std::vector<unsigned char>{};
        } else {
          std::vector<unsigned char> bytes(sizeof(value));
          std::memcpy(bytes.data(), &value, sizeof(value));
          return bytes;
        }
      },
      record);
}

}  // namespace

double Usage::fill(std::string* fullest) const {
  double worst = 0.0;
  auto consider = [&](std::uint64_t used, std::uint64_t capacity, const std::string& name) {
    const double f = static_cast<double>(used) / static_cast<double>(capacity);
    if (f > worst || (fullest != nullptr && fullest->empty())) {
      worst = std::max(worst, f);
      if (fullest != nullptr) *fullest = name;
    }
  };
  for (std::size_t k = 0; k < node_versions.size(); ++k)
    consider(node_versions[k], kNodeVersionCapacity, node_kind_name(k) + " versions");
  consider(node_values, kValueCapacity, "node values");
  for (std::size_t k = 0; k < relation_versions.size(); ++k)
    consider(relation_versions[k], kRelationVersionCapacity, relation_kind_name(k) + " versions");
  consider(relation_values, kValueCapacity, "relation values");
  return worst;
}

Usage Usage::operator-(const Usage& earlier) const {
  Usage delta = *this;
  for (std::size_t k = 0; k < node_versions.size(); ++k) delta.node_versions[k] -= earlier.node_versions[k];
  for (std::size_t k = 0; k < relation_versions.size(); ++k)
    delta.relation_versions[k] -= earlier.relation_versions[k];
  delta.node_values -= earlier.node_values;
  delta.relation_values -= earlier.relation_values;
  return delta;
}

Usage Usage::operator+(const Usage& more) const {
  Usage sum = *this;
  for (std::size_t k = 0; k < node_versions.size(); ++k) sum.node_versions[k] += more.node_versions[k];
  for (std::size_t k = 0; k < relation_versions.size(); ++k)
    sum.relation_versions[k] += more.relation_versions[k];
  sum.node_values += more.node_values;
  sum.relation_values += more.relation_values;
  return sum;
}

bool Usage::fits(const Usage& next) const {
  // Twice the largest tick so far, plus a little: a tick can grow as the scene moves.
  auto room = [](std::uint64_t used, std::uint64_t more, std::uint64_t capacity) {
    return used + 2 * more + 16 <= capacity;
  };
  for (std::size_t k = 0; k < node_versions.size(); ++k)
    if (!room(node_versions[k], next.node_versions[k], kNodeVersionCapacity)) return false;
  for (std::size_t k = 0; k < relation_versions.size(); ++k)
    if (!room(relation_versions[k], next.relation_versions[k], kRelationVersionCapacity)) return false;
  return room(node_values, next.node_values, kValueCapacity) &&
         room(relation_values, next.relation_values, kValueCapacity);
}

SceneWriter::SceneWriter(const VarnelApi& api, KnowledgeGraphHandle* handle, WriterOptions options)
    : api_(api), handle_(handle), options_(options) {
  if (options_.window_ms > 0) api_.set_history_window(options_.window_ms, handle_);
}

void SceneWriter::start_batch() {
  const std::uint64_t compactions = api_.get_history_compactions(handle_);
  const std::uint64_t resets = api_.get_history_resets(handle_);
  const auto start = std::chrono::steady_clock::now();
  api_.start_transaction(handle_);
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  if (api_.get_history_compactions(handle_) != compactions) {
    compactions_ += api_.get_history_compactions(handle_) - compactions;
    compaction_ms_.push_back(ms);
    window_compacted_ = true;
  }
  if (api_.get_history_resets(handle_) != resets) {  // the present scene did not fit
    forget_scene();
    ++resets_;
    window_reset_ = true;
  }
}

TickOutcome SceneWriter::write_tick(const Scene& scene, std::uint64_t timestamp) {
  return write_tick(scene.nodes(), scene.relations(), timestamp);
}

TickOutcome SceneWriter::write_tick(const std::vector<SceneNode>& nodes,
                                    const std::vector<SceneRelation>& relations,
                                    std::uint64_t timestamp) {
  TickOutcome outcome;
  window_compacted_ = window_reset_ = false;
  // With a window the library keeps the room; without, reset before a tick could not fit.
  outcome.reset = options_.window_ms == 0 && options_.reset_when_full && !usage_.fits(largest_tick_);
  const Usage before = outcome.reset ? Usage{} : usage_;
  const auto known_nodes = nodes_;
  const auto known_relations = relations_;
  const auto next_ids = next_relation_id_;
  outcome.committed = write_batch(nodes, relations, timestamp, outcome.reset);
  if (!outcome.committed) {
    // Switching autocommit on drops the uncommitted batch.
    outcome.refusal = refusal_;
    api_.set_autocommit(1, handle_);
    api_.set_autocommit(0, handle_);
    if (options_.reset_when_full) {  // start over on an emptied graph
      outcome.reset = true;
      outcome.committed = write_batch(nodes, relations, timestamp, true);
    } else {  // the graph is as before the tick
      nodes_ = known_nodes;
      relations_ = known_relations;
      next_relation_id_ = next_ids;
      usage_ = before;
    }
  }
  outcome.compacted = window_compacted_;
  if (window_reset_) outcome.reset = true;
  if (outcome.committed) {
    const Usage tick = usage_ - (outcome.reset ? Usage{} : before);
    for (std::size_t k = 0; k < tick.node_versions.size(); ++k) {
      largest_tick_.node_versions[k] = std::max(largest_tick_.node_versions[k], tick.node_versions[k]);
      outcome.versions += tick.node_versions[k];
    }
    for (std::size_t k = 0; k < tick.relation_versions.size(); ++k) {
      largest_tick_.relation_versions[k] =
          std::max(largest_tick_.relation_versions[k], tick.relation_versions[k]);
      outcome.versions += tick.relation_versions[k];
    }
    largest_tick_.node_values = std::max(largest_tick_.node_values, tick.node_values);
    largest_tick_.relation_values = std::max(largest_tick_.relation_values, tick.relation_values);
  }
  return outcome;
}

bool SceneWriter::write_batch(const std::vector<SceneNode>& nodes,
                              const std::vector<SceneRelation>& relations,
                              std::uint64_t timestamp, bool reset) {
  start_batch();
  if (reset) {
    api_.reset_knowledge_graph(handle_);
    forget_scene();
    ++resets_;
  }
  std::map<RelationKey, std::int32_t> wanted;
  for (const SceneRelation& r : relations) wanted[r.key] = r.payload;
  std::set<NodeRef> present;
  for (const SceneNode& node : nodes) present.insert(node.ref);

  // A relation that ends while one of its kind starts from the same node moves:
  // it is added again with its id between the new ends, one removal fewer. The
  // entry it leaves in the old node's list goes stale; a full list reuses those.
  const bool re_add = options_.pattern == WritePattern::ReAdd;
  std::map<RelationKey, std::uint64_t> moved;  // started relation -> id it takes over
  if (!re_add) {
    std::map<std::pair<std::uint64_t, NodeRef>, std::vector<std::uint64_t>> ended;
    for (const auto& [key, relation] : relations_)
      if (!wanted.contains(key)) ended[{key.kind, key.from}].push_back(relation.id);
    for (const auto& [key, payload] : wanted) {
      if (relations_.contains(key)) continue;
      auto free_ids = ended.find({key.kind, key.from});
      if (free_ids == ended.end() || free_ids->second.empty()) continue;
      moved[key] = free_ids->second.back();
      free_ids->second.pop_back();
    }
  }
  auto taken_over = [&](std::uint64_t kind, std::uint64_t id) {
    for (const auto& [key, moved_id] : moved)
      if (key.kind == kind && moved_id == id) return true;
    return false;
  };
  // Relations that ended go first, so that a departing node lists none.
  for (auto it = relations_.begin(); it != relations_.end();) {
    if (wanted.contains(it->first)) { ++it; continue; }
    if (!taken_over(it->first.kind, it->second.id) &&
        !remove_relation(timestamp, it->first, it->second.id))
      return false;
    it = relations_.erase(it);
  }
  for (auto it = nodes_.begin(); it != nodes_.end();) {
    if (present.contains(it->first)) { ++it; continue; }
    if (!remove_node(timestamp, it->first)) return false;
    it = nodes_.erase(it);
  }
  // A changed node gets a new version that keeps its relations. (Re-adding it
  // would start a version with empty lists, and every relation of it would
  // have to be added again: two node versions each, every tick it moves.)
  std::set<NodeRef> emptied;
  for (const SceneNode& node : nodes) {
    std::vector<unsigned char> bytes = record_bytes(node.record);
    auto known = nodes_.find(node.ref);
    if (known != nodes_.end() && known->second == bytes) continue;
    const bool update = known != nodes_.end() && !re_add;
    if (!write_node(timestamp, node, update)) return false;
    nodes_[node.ref] = std::move(bytes);
    if (!update) emptied.insert(node.ref);
  }
  for (const auto& [key, payload] : wanted) {
    auto known = relations_.find(key);
    const bool fresh = known == relations_.end();
    if (!fresh && known->second.payload == payload && !emptied.contains(key.from) &&
        !emptied.contains(key.to))
      continue;
    const auto move = moved.find(key);
    const std::uint64_t id = !fresh                ? known->second.id
                             : move != moved.end() ? move->second
                                                   : ++next_relation_id_[key.kind];
    if (!add_relation(timestamp, SceneRelation{key, payload}, id)) return false;
    // A relation the graph did not take (an end missing) is tried again next tick.
    if (api_.get_last_write_result(handle_) == VARNEL_WRITE_STORED)
      relations_[key] = WrittenRelation{id, payload};
    else
      relations_.erase(key);
  }
  api_.commit_transaction(handle_);
  return true;
}

bool SceneWriter::check_write(std::initializer_list<NodeRef> nodes, std::uint64_t relation_kind) {
  const std::uint32_t result = api_.get_last_write_result(handle_);
  if (result <= VARNEL_WRITE_NODE_MISSING) return true;
  // The library reports only the reason; the writer knows the write and its usage.
  const NodeRef* fullest = nodes.begin();
  for (const NodeRef& node : nodes)
    if (usage_.node_versions[node.kind] > usage_.node_versions[fullest->kind]) fullest = &node;
  auto node_text = [](const NodeRef& node) {
    return node_kind_name(node.kind) + " " + std::to_string(node.id);
  };
  switch (result) {
    case VARNEL_WRITE_NODE_VERSIONS_FULL:
      refusal_ = "node versions full: " + node_kind_name(fullest->kind) + " has used all " +
                 std::to_string(kNodeVersionCapacity) + " version slots";
      break;
    case VARNEL_WRITE_NODE_VALUES_FULL:
      refusal_ = "node values full: all " + std::to_string(kValueCapacity) + " node payloads used";
      break;
    case VARNEL_WRITE_RELATION_VERSIONS_FULL:
      refusal_ = "relation versions full: " + relation_kind_name(relation_kind) +
                 " has used all " + std::to_string(kRelationVersionCapacity) + " version slots";
      break;
    case VARNEL_WRITE_RELATION_VALUES_FULL:
      refusal_ = "relation values full: all " + std::to_string(kValueCapacity) +
                 " relation payloads used";
      break;
    case VARNEL_WRITE_OUTGOING_LIST_FULL:
      refusal_ = "outgoing list full: " + node_text(*nodes.begin()) + " lists 40 relations";
      break;
    case VARNEL_WRITE_INCOMING_LIST_FULL:
      refusal_ = "incoming list full: " + node_text(*(nodes.end() - 1)) + " lists 40 relations";
      break;
    case VARNEL_WRITE_NOT_WRITER: refusal_ = "another process is the writer"; break;
    default: refusal_ = "write refused (result " + std::to_string(result) + ")"; break;
  }
  return false;
}

bool SceneWriter::remove_relation(std::uint64_t timestamp, const RelationKey& key, std::uint64_t id) {
  const bool found = api_.remove_belongsto_relation(timestamp, key.kind, id, handle_) != 0;
  if (!check_write({key.from, key.to}, key.kind)) return false;
  if (found) {
    ++usage_.relation_versions[key.kind];
    ++usage_.node_versions[key.from.kind];
    ++usage_.node_versions[key.to.kind];
  }
  return true;
}

bool SceneWriter::remove_node(std::uint64_t timestamp, const NodeRef& ref) {
  const bool found = api_.remove_car_node(timestamp, ref.kind, ref.id, handle_) != 0;
  if (!check_write({ref})) return false;
  if (found) ++usage_.node_versions[ref.kind];
  return true;
}

bool SceneWriter::write_node(std::uint64_t timestamp, const SceneNode& node, bool update) {
  const std::uint64_t t = timestamp, id = node.ref.id;
  KnowledgeGraphHandle* h = handle_;
  const NodeRecord& r = node.record;
  const VarnelApi& a = api_;
  // The add and the update of a kind take the same arguments.
  auto write = [&](auto add, auto update_fn, auto record) { (update ? update_fn : add)(t, id, record, h); };
  switch (node.ref.kind) {
    case VARNEL_NODE_CAR: write(a.add_car_node, a.update_car_node, std::get<Car>(r)); break;
    case VARNEL_NODE_CROSSWALK:
      write(a.add_crosswalk_node, a.update_crosswalk_node, std::get<Crosswalk>(r));
      break;
    case VARNEL_NODE_EGO: write(a.add_ego_node, a.update_ego_node, nullptr); break;
    case VARNEL_NODE_INTERSECTION:
      write(a.add_intersection_node, a.update_intersection_node, std::get<Intersection>(r));
      break;
    case VARNEL_NODE_LANE: write(a.add_lane_node, a.update_lane_node, std::get<Lane>(r)); break;
    case VARNEL_NODE_PEDESTRIAN:
      write(a.add_pedestrian_node, a.update_pedestrian_node, std::get<Pedestrian>(r));
      break;
    case VARNEL_NODE_PRIORITYROADSIGN:
      write(a.add_priorityroadsign_node, a.update_priorityroadsign_node, nullptr);
      break;
    case VARNEL_NODE_ROAD: write(a.add_road_node, a.update_road_node, std::get<Road>(r)); break;
    case VARNEL_NODE_SPEEDLIMITSIGN:
      write(a.add_speedlimitsign_node, a.update_speedlimitsign_node, std::get<SpeedLimitSign>(r));
      break;
    case VARNEL_NODE_STATICOBJECT:
      write(a.add_staticobject_node, a.update_staticobject_node, nullptr);
      break;
    case VARNEL_NODE_STOPSIGN: write(a.add_stopsign_node, a.update_stopsign_node, nullptr); break;
    case VARNEL_NODE_YIELDSIGN: write(a.add_yieldsign_node, a.update_yieldsign_node, nullptr); break;
    default: return true;  // the scene has no other kinds
  }
  // A node the graph lost (another writer reset it) is added afresh.
  if (update && api_.get_last_write_result(handle_) == VARNEL_WRITE_NOT_FOUND)
    return write_node(timestamp, node, false);
  if (!check_write({node.ref})) return false;
  ++usage_.node_versions[node.ref.kind];
  ++usage_.node_values;
  return true;
}

bool SceneWriter::add_relation(std::uint64_t timestamp, const SceneRelation& relation,
                               std::uint64_t id) {
  const RelationKey& k = relation.key;
  auto add = [&](auto function, auto record) {
    function(timestamp, id, record, k.from.kind, k.from.id, k.to.kind, k.to.id, handle_);
  };
  switch (k.kind) {
    case VARNEL_RELATION_BELONGSTO: add(api_.add_belongsto_relation, nullptr); break;
    case VARNEL_RELATION_CONNECTSTO: add(api_.add_connectsto_relation, nullptr); break;
    case VARNEL_RELATION_ISAT: add(api_.add_isat_relation, nullptr); break;
    case VARNEL_RELATION_ISBEHIND: add(api_.add_isbehind_relation, nullptr); break;
    case VARNEL_RELATION_ISINFRONT: add(api_.add_isinfront_relation, nullptr); break;
    case VARNEL_RELATION_ISON: add(api_.add_ison_relation, nullptr); break;
    case VARNEL_RELATION_ISONLEFT: add(api_.add_isonleft_relation, nullptr); break;
    case VARNEL_RELATION_ISPARTOF: add(api_.add_ispartof_relation, nullptr); break;
    case VARNEL_RELATION_WALKSON: add(api_.add_walkson_relation, nullptr); break;
    case VARNEL_RELATION_YIELDSTOCARIN:
      add(api_.add_yieldstocarin_relation, yieldsToCarIn{relation.payload});
      break;
    default: return true;
  }
  if (!check_write({k.from, k.to}, k.kind)) return false;
  if (api_.get_last_write_result(handle_) == VARNEL_WRITE_STORED) {
    ++usage_.node_versions[k.from.kind];
    ++usage_.node_versions[k.to.kind];
    ++usage_.relation_versions[k.kind];
    ++usage_.relation_values;
  }
  return true;
}

void SceneWriter::forget_scene() {
  nodes_.clear();
  relations_.clear();
  next_relation_id_ = {};
  usage_ = Usage{};
}

}  // namespace varnel::demo
