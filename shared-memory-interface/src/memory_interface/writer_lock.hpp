// The platform half of the writer lock: one lock object per region name, taken
// without waiting, dropped by the platform when the holder dies.
#pragma once

#include <cstdint>
#include <string_view>

#include "shared_memory_interface/memory_interface.hpp"

namespace shared_memory_interface::memory_interface::detail {

struct PlatformLock {
  WriterLockState state = WriterLockState::Failed;
  void* object = nullptr;   // the platform's lock object when Taken
  std::uint32_t error = 0;  // when Failed
};

PlatformLock take_platform_lock(std::string_view name);
void drop_platform_lock(void* object);
// Whether another open of the lock object holds it; never takes it.
WriterProbe probe_platform_lock(std::string_view name);

}  // namespace shared_memory_interface::memory_interface::detail
