// Run-time loading of varnel_interface: the only platform-specific code of the tools.
#include "host_library.hpp"

#include <cstring>
#include <filesystem>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace varnel::demo {
namespace {

#if defined(_WIN32)
std::wstring widen(const std::string& text) {
  if (text.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}
std::string system_message(DWORD code) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length > 0 ? std::string(text, length) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
    message.pop_back();
  return message + (message.empty() ? "" : " ") + "(error " + std::to_string(code) + ")";
}
void* load_module(const std::string& path, std::string& error) {
  // Paths are UTF-8 on the command line of our tools; Windows takes UTF-16.
  HMODULE module = LoadLibraryW(widen(path).c_str());
  if (module == nullptr) error = "LoadLibrary failed: " + system_message(GetLastError());
  return reinterpret_cast<void*>(module);
}
void* module_symbol(void* module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}
void unload_module(void* module) { FreeLibrary(static_cast<HMODULE>(module)); }
[[maybe_unused]] std::filesystem::path program_folder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) return std::filesystem::path(path.substr(0, length)).parent_path();
    path.resize(path.size() * 2);
  }
}
constexpr const char* kPlatformFileName = "varnel_interface.dll";
#else
void* load_module(const std::string& path, std::string& error) {
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) error = dlerror();
  return module;
}
void* module_symbol(void* module, const char* name) { return dlsym(module, name); }
void unload_module(void* module) { dlclose(module); }
[[maybe_unused]] std::filesystem::path program_folder() {
  std::error_code error;
  const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : path.parent_path();
}
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
    error += error.empty() ? "missing export: " : ", ";                \
    error += #name;                                                    \
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
  std::error_code ignored;
  // An installed demo takes the library installed with it.
#if defined(VARNEL_INSTALLED_LIBRARY)
  if (const auto folder = program_folder(); !folder.empty()) {
    const auto installed = (folder / VARNEL_INSTALLED_LIBRARY).lexically_normal();
    if (std::filesystem::exists(installed, ignored)) {
      const std::u8string utf8 = installed.u8string();  // load_module takes UTF-8
      return std::string(reinterpret_cast<const char*>(utf8.data()), utf8.size());
    }
  }
#endif
#if defined(VARNEL_BUILT_LIBRARY)
  if (std::filesystem::exists(VARNEL_BUILT_LIBRARY, ignored)) return VARNEL_BUILT_LIBRARY;
#endif
  return kPlatformFileName;
}

}  // namespace varnel::demo
