// Thin platform layer over named shared memory: create or open a named region,
// map it, flush and unmap it. Windows uses paging-file-backed file mappings,
// Linux POSIX shared memory objects ("/NAME"). Every other module is portable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace shared_memory_interface::memory_interface {

// Opaque platform handle of an open region (Windows: the mapping object's HANDLE;
// POSIX: the platform layer's own record of descriptors). nullptr: none.
using Handle = void*;

struct MappedRegion {
  Handle handle = nullptr;
  void* view = nullptr;
  std::size_t view_size = 0;     // bytes mapped: the region's size as its creator made it
  bool already_existed = false;  // another holder had created the region
};

struct MapOutcome {
  bool ok = false;
  MappedRegion region;     // valid when ok
  std::uint32_t error = 0;  // the platform's error code when !ok (GetLastError / errno)
};

// Creates the region `name` with `size` bytes, or opens it if it exists, and maps
// it read-write. Logs the platform failure at error level. An empty name or one
// holding a 0 character is refused (EINVAL / ERROR_INVALID_NAME). On POSIX the
// new region's memory is reserved at once, so a lack of it fails here (ENOSPC).
MapOutcome map_region(std::string_view name, std::uint32_t size);
// Opens an existing region without creating it and maps it read-only. A missing
// region is a failure (ERROR_FILE_NOT_FOUND / ENOENT).
MapOutcome open_region_read_only(std::string_view name);
void flush_view(Handle handle, void* view);
void unmap_region(Handle handle, void* view);

// The writer lock of region `name`: at most one live process holds it. The
// platform drops it when its holder dies, however it dies, so a crashed writer
// never blocks the next one. Within one process the lock is counted: every
// handle that takes it while the process holds it shares it, and the last
// release lets go. Readers never take it. POSIX: a child made by fork() shares
// its parent's lock (flock belongs to the open file description) until it execs.
enum class WriterLockState { Taken, HeldElsewhere, Failed };
struct WriterLockOutcome {
  WriterLockState state = WriterLockState::Failed;
  Handle lock = nullptr;    // valid when Taken; give it back with release_writer_lock
  std::uint32_t error = 0;  // the platform's error code when Failed
};
// Never waits.
WriterLockOutcome try_writer_lock(std::string_view name);
void release_writer_lock(Handle lock);

}  // namespace shared_memory_interface::memory_interface
