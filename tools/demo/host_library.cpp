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
  VARNEL_DEMO_EXPORTS(VARNEL_RESOLVE)
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
