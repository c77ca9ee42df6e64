// The demo host reaches varnel_interface the way any host does: it loads the
// dynamic library at run time and looks the exported C functions up by name.
// Only the C types of varnel_interface.h are used; nothing links against it.
#pragma once

#include <memory>
#include <string>

#include "varnel_interface.h"

namespace varnel::demo {

// Pointer type of an exported function, taken from its declaration.
#define VARNEL_FN(name) decltype(&::name) name = nullptr

// The exports the demo drives, resolved by name.
struct VarnelApi {
  VARNEL_FN(initialize_knowledge_graph);
  VARNEL_FN(release_knowledge_graph);
  VARNEL_FN(reset_knowledge_graph);
  VARNEL_FN(get_node_count);
  VARNEL_FN(get_relation_count);
  VARNEL_FN(get_last_update);
  VARNEL_FN(start_transaction);
  VARNEL_FN(commit_transaction);
  VARNEL_FN(set_autocommit);
  VARNEL_FN(get_last_write_result);
  VARNEL_FN(compact_knowledge_graph);

  VARNEL_FN(add_car_node);
  VARNEL_FN(add_crosswalk_node);
  VARNEL_FN(add_ego_node);
  VARNEL_FN(add_intersection_node);
  VARNEL_FN(add_lane_node);
  VARNEL_FN(add_pedestrian_node);
  VARNEL_FN(add_priorityroadsign_node);
  VARNEL_FN(add_road_node);
  VARNEL_FN(add_speedlimitsign_node);
  VARNEL_FN(add_staticobject_node);
  VARNEL_FN(add_stopsign_node);
  VARNEL_FN(add_yieldsign_node);
  VARNEL_FN(remove_car_node);

  VARNEL_FN(add_belongsto_relation);
  VARNEL_FN(add_connectsto_relation);
  VARNEL_FN(add_isat_relation);
  VARNEL_FN(add_isbehind_relation);
  VARNEL_FN(add_isinfront_relation);
  VARNEL_FN(add_ison_relation);
  VARNEL_FN(add_isonleft_relation);
  VARNEL_FN(add_ispartof_relation);
  VARNEL_FN(add_walkson_relation);
  VARNEL_FN(add_yieldstocarin_relation);
  VARNEL_FN(remove_belongsto_relation);
};
#undef VARNEL_FN

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
