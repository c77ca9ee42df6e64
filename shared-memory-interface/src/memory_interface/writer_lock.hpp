// The platform half of the writer lock: one lock object per region name, taken
// without waiting, dropped by the platform when the holder dies.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "shared_memory_interface/memory_interface.hpp"

namespace shared_memory_interface::memory_interface::detail {

struct PlatformLock {
  WriterLockState state = WriterLockState::Failed;
  void* object = nullptr;   // the platform's lock object when Taken
  std::uint32_t error = 0;  // when Failed
  Refusal refusal = Refusal::None;
  std::string object_name;
  std::uint64_t detail = 0;
};

inline WriterProbe presence(WriterPresence value, std::uint32_t error = 0) {
  WriterProbe probe;
  probe.presence = value;
  probe.error = error;
  return probe;
}
inline PlatformLock platform_lock(WriterLockState state, void* object, std::uint32_t error) {
  PlatformLock lock;
  lock.state = state;
  lock.object = object;
  lock.error = error;
  return lock;
}

PlatformLock take_platform_lock(std::string_view name);
void drop_platform_lock(void* object);
bool platform_lock_intact(void* object);
// Whether another open of the lock object holds it; never takes it.
WriterProbe probe_platform_lock(std::string_view name);

}  // namespace shared_memory_interface::memory_interface::detail
