#include "scene_writer.hpp"

#include <algorithm>
#include <cstring>
#include <set>

namespace varnel::demo {
namespace {

constexpr std::uint64_t kNodeVersionCapacity = 21000;
constexpr std::uint64_t kValueCapacity = 20000;  // node payloads, relation payloads
constexpr std::uint64_t kRelationVersionCapacity = 20000;

constexpr const char* kRefusals[] = {"stored", "not found", "node missing", "kind out of range",
                                     "node versions full", "node values full",
                                     "relation versions full", "relation values full",
                                     "outgoing list full", "incoming list full"};

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
    consider(node_versions[k], kNodeVersionCapacity, "node kind " + std::to_string(k) + " versions");
  consider(node_values, kValueCapacity, "node values");
  for (std::size_t k = 0; k < relation_versions.size(); ++k)
    consider(relation_versions[k], kRelationVersionCapacity,
             "relation kind " + std::to_string(k) + " versions");
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

Usage SceneWriter::usage_after_compaction(std::uint64_t since) const {
  Usage kept;
  for (const auto& [at, used] : ticks_)
    if (at >= since) kept = kept + used;
  for (const auto& [ref, bytes] : nodes_) {
    ++kept.node_versions[ref.kind];
    ++kept.node_values;
  }
  for (const auto& [key, written] : relations_) {
    ++kept.relation_versions[key.kind];
    ++kept.relation_values;
  }
  return kept;
}

bool SceneWriter::compact(std::uint64_t timestamp) {
  const std::uint64_t since = timestamp > window_ms_ ? timestamp - window_ms_ : 0;
  const Usage after = usage_after_compaction(since);
  if (!after.fits(largest_tick_)) return false;  // the window alone would not leave room
  // A compaction is refused inside a batch: between ticks the batch is committed.
  api_.set_autocommit(1, handle_);
  const bool done = api_.compact_knowledge_graph(since, handle_) != 0;
  api_.set_autocommit(0, handle_);
  if (!done) return false;
  usage_ = after;
  while (!ticks_.empty() && ticks_.front().first < since) ticks_.pop_front();
  ++compactions_;
  return true;
}

TickOutcome SceneWriter::write_tick(const Scene& scene, std::uint64_t timestamp) {
  TickOutcome outcome;
  if (!usage_.fits(largest_tick_) && window_ms_ > 0) outcome.compacted = compact(timestamp);
  outcome.reset = !usage_.fits(largest_tick_);
  const Usage before = outcome.reset ? Usage{} : usage_;
  outcome.committed = write_batch(scene, timestamp, outcome.reset);
  if (!outcome.committed) {
    // Switching autocommit on drops the uncommitted batch; then start over empty.
    outcome.refusal = refusal_;
    api_.set_autocommit(1, handle_);
    api_.set_autocommit(0, handle_);
    outcome.reset = true;
    outcome.committed = write_batch(scene, timestamp, true);
  }
  if (outcome.committed) {
    const Usage tick = usage_ - (outcome.reset ? Usage{} : before);
    if (outcome.reset) ticks_.clear();
    if (window_ms_ > 0) ticks_.emplace_back(timestamp, tick);
    for (std::size_t k = 0; k < tick.node_versions.size(); ++k)
      largest_tick_.node_versions[k] = std::max(largest_tick_.node_versions[k], tick.node_versions[k]);
    for (std::size_t k = 0; k < tick.relation_versions.size(); ++k)
      largest_tick_.relation_versions[k] =
          std::max(largest_tick_.relation_versions[k], tick.relation_versions[k]);
    largest_tick_.node_values = std::max(largest_tick_.node_values, tick.node_values);
    largest_tick_.relation_values = std::max(largest_tick_.relation_values, tick.relation_values);
  }
  return outcome;
}

bool SceneWriter::write_batch(const Scene& scene, std::uint64_t timestamp, bool reset) {
  api_.start_transaction(handle_);
  if (reset) {
    api_.reset_knowledge_graph(handle_);
    forget_scene();
    ++resets_;
  }
  const std::vector<SceneNode> nodes = scene.nodes();
  std::map<RelationKey, std::int32_t> wanted;
  for (const SceneRelation& r : scene.relations()) wanted[r.key] = r.payload;
  std::set<NodeRef> present;
  for (const SceneNode& node : nodes) present.insert(node.ref);

  // Relations that ended go first, so that a departing node lists none.
  for (auto it = relations_.begin(); it != relations_.end();) {
    if (wanted.contains(it->first)) { ++it; continue; }
    if (!remove_relation(timestamp, it->first, it->second.id)) return false;
    it = relations_.erase(it);
  }
  for (auto it = nodes_.begin(); it != nodes_.end();) {
    if (present.contains(it->first)) { ++it; continue; }
    if (!remove_node(timestamp, it->first)) return false;
    it = nodes_.erase(it);
  }
  // A new node version starts with empty lists: its relations are entered again.
  std::set<NodeRef> rewritten;
  for (const SceneNode& node : nodes) {
    std::vector<unsigned char> bytes = record_bytes(node.record);
    auto known = nodes_.find(node.ref);
    if (known != nodes_.end() && known->second == bytes) continue;
    if (!add_node(timestamp, node)) return false;
    nodes_[node.ref] = std::move(bytes);
    rewritten.insert(node.ref);
  }
  for (const auto& [key, payload] : wanted) {
    auto known = relations_.find(key);
    const bool fresh = known == relations_.end();
    if (!fresh && known->second.payload == payload && !rewritten.contains(key.from) &&
        !rewritten.contains(key.to))
      continue;
    const std::uint64_t id = fresh ? ++next_relation_id_[key.kind] : known->second.id;
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

bool SceneWriter::check_write() {
  const std::uint32_t result = api_.get_last_write_result(handle_);
  if (result <= VARNEL_WRITE_NODE_MISSING) return true;
  refusal_ = result < std::size(kRefusals) ? kRefusals[result] : "write refused";
  return false;
}

bool SceneWriter::remove_relation(std::uint64_t timestamp, const RelationKey& key, std::uint64_t id) {
  const bool found = api_.remove_belongsto_relation(timestamp, key.kind, id, handle_) != 0;
  if (!check_write()) return false;
  if (found) {
    ++usage_.relation_versions[key.kind];
    ++usage_.node_versions[key.from.kind];
    ++usage_.node_versions[key.to.kind];
  }
  return true;
}

bool SceneWriter::remove_node(std::uint64_t timestamp, const NodeRef& ref) {
  const bool found = api_.remove_car_node(timestamp, ref.kind, ref.id, handle_) != 0;
  if (!check_write()) return false;
  if (found) ++usage_.node_versions[ref.kind];
  return true;
}

bool SceneWriter::add_node(std::uint64_t timestamp, const SceneNode& node) {
  const std::uint64_t t = timestamp, id = node.ref.id;
  KnowledgeGraphHandle* h = handle_;
  const NodeRecord& r = node.record;
  switch (node.ref.kind) {
    case VARNEL_NODE_CAR: api_.add_car_node(t, id, std::get<Car>(r), h); break;
    case VARNEL_NODE_CROSSWALK: api_.add_crosswalk_node(t, id, std::get<Crosswalk>(r), h); break;
    case VARNEL_NODE_EGO: api_.add_ego_node(t, id, nullptr, h); break;
    case VARNEL_NODE_INTERSECTION:
      api_.add_intersection_node(t, id, std::get<Intersection>(r), h);
      break;
    case VARNEL_NODE_LANE: api_.add_lane_node(t, id, std::get<Lane>(r), h); break;
    case VARNEL_NODE_PEDESTRIAN: api_.add_pedestrian_node(t, id, std::get<Pedestrian>(r), h); break;
    case VARNEL_NODE_PRIORITYROADSIGN: api_.add_priorityroadsign_node(t, id, nullptr, h); break;
    case VARNEL_NODE_ROAD: api_.add_road_node(t, id, std::get<Road>(r), h); break;
    case VARNEL_NODE_SPEEDLIMITSIGN:
      api_.add_speedlimitsign_node(t, id, std::get<SpeedLimitSign>(r), h);
      break;
    case VARNEL_NODE_STATICOBJECT: api_.add_staticobject_node(t, id, nullptr, h); break;
    case VARNEL_NODE_STOPSIGN: api_.add_stopsign_node(t, id, nullptr, h); break;
    case VARNEL_NODE_YIELDSIGN: api_.add_yieldsign_node(t, id, nullptr, h); break;
    default: return true;  // the scene has no other kinds
  }
  if (!check_write()) return false;
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
  if (!check_write()) return false;
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
