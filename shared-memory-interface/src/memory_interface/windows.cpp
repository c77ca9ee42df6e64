// Windows: named file mappings backed by the paging file. The object lives
// while any process holds a handle to it or a view of it; the kernel tells the
// creator from later openers (ERROR_ALREADY_EXISTS) under its own lock.
#include <windows.h>

#include <string>

#include "messages.hpp"
#include "shared_memory_interface/memory_interface.hpp"

namespace shared_memory_interface::memory_interface {
namespace {

constexpr DWORD kAlreadyExists = ERROR_ALREADY_EXISTS;  // 183

bool succeeded(DWORD error) { return error == ERROR_SUCCESS || error == kAlreadyExists; }

// The name as a 0-terminated UTF-16 string; empty on failure with `error` set.
// An empty name would make an anonymous mapping and a name with an embedded 0
// would be cut short, so both are refused rather than silently changed.
std::wstring to_wide(std::string_view name, DWORD& error) {
  if (name.empty() || name.find('\0') != std::string_view::npos) {
    error = ERROR_INVALID_NAME;
    return {};
  }
  const int bytes = static_cast<int>(name.size());
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.data(), bytes,
                                         nullptr, 0);
  if (length <= 0) {
    error = GetLastError();
    return {};
  }
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.data(), bytes, wide.data(), length);
  error = ERROR_SUCCESS;
  return wide;  // std::wstring keeps the terminating 0 behind its data
}

std::size_t view_size(const void* view) {
  MEMORY_BASIC_INFORMATION info{};
  if (VirtualQuery(view, &info, sizeof info) == 0) return 0;
  return info.RegionSize;
}

MapOutcome success(HANDLE mapping, void* view, bool already_existed) {
  MapOutcome outcome;
  outcome.ok = true;
  outcome.region = MappedRegion{mapping, view, view_size(view), already_existed};
  return outcome;
}

// A call that returned nothing yet left a success code behind still failed.
DWORD failure_code(DWORD error, DWORD fallback) { return succeeded(error) ? fallback : error; }

// Releases whatever a failed step left open, so that nothing leaks.
void close_all(HANDLE mapping, void* view) {
  if (view != nullptr) UnmapViewOfFile(view);
  if (mapping != nullptr) CloseHandle(mapping);
}

// A region smaller than the caller's record: nothing of it is kept.
MapOutcome refuse_small(HANDLE mapping, void* view, std::size_t size) {
  close_all(mapping, view);
  MapOutcome outcome = region_not_created(ERROR_BAD_LENGTH);
  outcome.refusal = Refusal::TooSmall;
  outcome.detail = size;
  return outcome;
}

MapOutcome platform_failure(MapOutcome outcome) {
  outcome.refusal = outcome.error == ERROR_FILE_NOT_FOUND ? Refusal::Missing : Refusal::Platform;
  return outcome;
}

}  // namespace

// Windows keeps no set-up lock of ours (the kernel serialises creation), so
// `wait` has nothing to wait for.
MapOutcome map_region(std::string_view name, std::uint32_t size, const LockWait&,
                      std::size_t min_size) {
  DWORD error = ERROR_SUCCESS;
  const std::wstring wide_name = to_wide(name, error);
  if (wide_name.empty()) return platform_failure(region_not_created(error));
  if (size < min_size) return refuse_small(nullptr, nullptr, size);

  // The codes are cleared first so that each judgement sees only its own call.
  SetLastError(ERROR_SUCCESS);
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size,
                                      wide_name.c_str());
  const DWORD created = GetLastError();
  if (!succeeded(created) || mapping == nullptr) {
    close_all(mapping, nullptr);
    return platform_failure(region_not_created(failure_code(created, ERROR_INVALID_HANDLE)));
  }

  SetLastError(ERROR_SUCCESS);
  void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
  const DWORD mapped = GetLastError();
  if (!succeeded(mapped) || view == nullptr) {
    close_all(mapping, view);
    return platform_failure(view_not_mapped(failure_code(mapped, ERROR_INVALID_ADDRESS)));
  }
  if (const std::size_t mapped_size = view_size(view); mapped_size < min_size)
    return refuse_small(mapping, view, mapped_size);
  return success(mapping, view, created == kAlreadyExists);
}

MapOutcome open_region_read_only(std::string_view name, const LockWait&, std::size_t min_size) {
  DWORD error = ERROR_SUCCESS;
  const std::wstring wide_name = to_wide(name, error);
  if (wide_name.empty()) return platform_failure(region_not_created(error));

  HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, wide_name.c_str());
  if (mapping == nullptr) {
    return platform_failure(region_not_created(failure_code(GetLastError(), ERROR_FILE_NOT_FOUND)));
  }
  void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  if (view == nullptr) {
    const DWORD mapped = GetLastError();
    CloseHandle(mapping);
    return platform_failure(view_not_mapped(failure_code(mapped, ERROR_INVALID_ADDRESS)));
  }
  if (const std::size_t mapped_size = view_size(view); mapped_size < min_size)
    return refuse_small(mapping, view, mapped_size);
  return success(mapping, view, true);
}

void flush_view(Handle, void* view) {
  if (view != nullptr) FlushViewOfFile(view, 0);
}

void unmap_region(Handle handle, void* view) {
  if (view != nullptr) UnmapViewOfFile(view);
  if (handle != nullptr) CloseHandle(static_cast<HANDLE>(handle));
}

}  // namespace shared_memory_interface::memory_interface
