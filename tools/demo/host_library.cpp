// Run-time loading of varnel_interface: the only platform-specific code of the tools.
#include "host_library.hpp"

#include <cstring>
#include <filesystem>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace varnel::demo {
namespace {

#if defined(_WIN32)
void* load_module(const std::string& path, std::string& error) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) error = "LoadLibrary failed with error " + std::to_string(GetLastError());
  return reinterpret_cast<void*>(module);
}
void* module_symbol(void* module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}
void unload_module(void* module) { FreeLibrary(static_cast<HMODULE>(module)); }
constexpr const char* kPlatformFileName = "varnel_interface.dll";
#else
void* load_module(const std::string& path, std::string& error) {
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) error = dlerror();
  return module;
}
void* module_symbol(void* module, const char* name) { return dlsym(module, name); }
void unload_module(void* module) { dlclose(module); }
constexpr const char* kPlatformFileName = "libvarnel_interface.so";
#endif

// Stores the export `name` in `slot`; false when the library lacks it.
template <class Fn> bool resolve(void* address, Fn& slot) {
  if (address == nullptr) return false;
  static_assert(sizeof(Fn) == sizeof(void*));
  std::memcpy(&slot, &address, sizeof(slot));  // object pointer to function pointer
  return true;
}

}  // namespace

void* HostLibrary::find(const char* name) const { return module_symbol(module_, name); }

std::unique_ptr<HostLibrary> HostLibrary::open(const std::string& path, std::string& error) {
  std::unique_ptr<HostLibrary> library(new HostLibrary());
  library->module_ = load_module(path, error);
  if (library->module_ == nullptr) return nullptr;
  VarnelApi& api = library->api_;
  bool complete = true;
#define VARNEL_RESOLVE(name)                                           \
  if (!resolve(library->find(#name), api.name)) {                      \
    error += (error.empty() ? "missing export: " : ", ") + std::string(#name); \
    complete = false;                                                  \
  }
  VARNEL_RESOLVE(initialize_knowledge_graph)
  VARNEL_RESOLVE(release_knowledge_graph)
  VARNEL_RESOLVE(reset_knowledge_graph)
  VARNEL_RESOLVE(get_node_count)
  VARNEL_RESOLVE(get_relation_count)
  VARNEL_RESOLVE(get_last_update)
  VARNEL_RESOLVE(start_transaction)
  VARNEL_RESOLVE(commit_transaction)
  VARNEL_RESOLVE(set_autocommit)
  VARNEL_RESOLVE(get_last_write_result)
  VARNEL_RESOLVE(compact_knowledge_graph)
  VARNEL_RESOLVE(add_car_node)
  VARNEL_RESOLVE(add_crosswalk_node)
  VARNEL_RESOLVE(add_ego_node)
  VARNEL_RESOLVE(add_intersection_node)
  VARNEL_RESOLVE(add_lane_node)
  VARNEL_RESOLVE(add_pedestrian_node)
  VARNEL_RESOLVE(add_priorityroadsign_node)
  VARNEL_RESOLVE(add_road_node)
  VARNEL_RESOLVE(add_speedlimitsign_node)
  VARNEL_RESOLVE(add_staticobject_node)
  VARNEL_RESOLVE(add_stopsign_node)
  VARNEL_RESOLVE(add_yieldsign_node)
  VARNEL_RESOLVE(remove_car_node)
  VARNEL_RESOLVE(add_belongsto_relation)
  VARNEL_RESOLVE(add_connectsto_relation)
  VARNEL_RESOLVE(add_isat_relation)
  VARNEL_RESOLVE(add_isbehind_relation)
  VARNEL_RESOLVE(add_isinfront_relation)
  VARNEL_RESOLVE(add_ison_relation)
  VARNEL_RESOLVE(add_isonleft_relation)
  VARNEL_RESOLVE(add_ispartof_relation)
  VARNEL_RESOLVE(add_walkson_relation)
  VARNEL_RESOLVE(add_yieldstocarin_relation)
  VARNEL_RESOLVE(remove_belongsto_relation)
#undef VARNEL_RESOLVE
  if (!complete) return nullptr;
  return library;
}

HostLibrary::~HostLibrary() {
  if (module_ != nullptr) unload_module(module_);
}

std::string default_library_path() {
#if defined(VARNEL_DEFAULT_LIBRARY)
  std::error_code ignored;
  if (std::filesystem::exists(VARNEL_DEFAULT_LIBRARY, ignored)) return VARNEL_DEFAULT_LIBRARY;
#endif
  return kPlatformFileName;
}

}  // namespace varnel::demo
