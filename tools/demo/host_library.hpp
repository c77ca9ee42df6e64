// The demo host reaches varnel_interface the way any host does: it loads the
// dynamic library at run time and looks the exported C functions up by name.
// Only the C types of varnel_interface.h are used; nothing links against it.
#pragma once

#include <memory>
#include <string>

#include "varnel_interface.h"

namespace varnel::demo {

// The exports the demo drives, one X(name) each.
#define VARNEL_DEMO_EXPORTS(X)                                                               \
  X(initialize_knowledge_graph) X(release_knowledge_graph) X(reset_knowledge_graph)          \
  X(get_node_count) X(get_relation_count) X(get_last_update) X(start_transaction)            \
  X(commit_transaction) X(set_autocommit) X(get_last_write_result) X(compact_knowledge_graph) \
  X(set_history_window) X(get_history_held) X(get_history_resets) X(get_history_compactions)  \
  X(add_car_node) X(add_crosswalk_node) X(add_ego_node) X(add_intersection_node)             \
  X(add_lane_node) X(add_pedestrian_node) X(add_priorityroadsign_node) X(add_road_node)      \
  X(add_speedlimitsign_node) X(add_staticobject_node) X(add_stopsign_node)                   \
  X(add_yieldsign_node) X(update_car_node) X(update_crosswalk_node) X(update_ego_node)       \
  X(update_intersection_node) X(update_lane_node) X(update_pedestrian_node)                  \
  X(update_priorityroadsign_node) X(update_road_node) X(update_speedlimitsign_node)          \
  X(update_staticobject_node) X(update_stopsign_node) X(update_yieldsign_node)               \
  X(remove_car_node) X(add_belongsto_relation) X(add_connectsto_relation)                    \
  X(add_isat_relation) X(add_isbehind_relation) X(add_isinfront_relation)                    \
  X(add_ison_relation) X(add_isonleft_relation) X(add_ispartof_relation)                     \
  X(add_walkson_relation) X(add_yieldstocarin_relation) X(remove_belongsto_relation)

// The exports the demo drives, resolved by name; each has the type of its declaration.
struct VarnelApi {
#define VARNEL_FN(name) decltype(&::name) name = nullptr;
  VARNEL_DEMO_EXPORTS(VARNEL_FN)
#undef VARNEL_FN
};

// The exports of a varnel_interface linked into the program (tests, benchmarks).
inline VarnelApi linked_varnel_api() {
  VarnelApi api;
#define VARNEL_LINK(name) api.name = &::name;
  VARNEL_DEMO_EXPORTS(VARNEL_LINK)
#undef VARNEL_LINK
  return api;
}

// A loaded varnel_interface library; unloads on destruction.
class HostLibrary {
 public:
  // Loads the library at `path` and resolves every export of VarnelApi.
  // Null with `error` set when the file cannot be loaded or lacks an export.
  static std::unique_ptr<HostLibrary> open(const std::string& path, std::string& error);
  ~HostLibrary();
  HostLibrary(const HostLibrary&) = delete;
  HostLibrary& operator=(const HostLibrary&) = delete;

  const VarnelApi& api() const { return api_; }

 private:
  HostLibrary() = default;
  void* find(const char* name) const;

  void* module_ = nullptr;
  VarnelApi api_;
};

// The library file to load when none is named: the one built with the demo,
// else the platform's usual file name, found through the loader's search path.
std::string default_library_path();

}  // namespace varnel::demo
