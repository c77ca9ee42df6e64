// The writer lock's per-process count: the platform lock belongs to the
// process, so handles of one process share it and the last release drops it.
#include <list>
#include <mutex>
#include <string>

#include "shared_memory_interface/memory_interface.hpp"
#include "writer_lock.hpp"

namespace shared_memory_interface::memory_interface {
namespace {

struct Held {
  std::string name;
  void* object;
  unsigned count;
};

std::mutex held_mutex;
std::list<Held> held;  // list: handles point at the entries

}  // namespace

WriterLockOutcome try_writer_lock(std::string_view name) {
  const std::lock_guard guard(held_mutex);
  for (Held& entry : held) {
    if (entry.name == name) {
      ++entry.count;
      return {WriterLockState::Taken, &entry, 0};
    }
  }
  const detail::PlatformLock taken = detail::take_platform_lock(name);
  if (taken.state != WriterLockState::Taken) return {taken.state, nullptr, taken.error};
  held.push_back(Held{std::string(name), taken.object, 1});
  return {WriterLockState::Taken, &held.back(), 0};
}

WriterProbe probe_writer(std::string_view name) {
  {
    const std::lock_guard guard(held_mutex);
    for (const Held& entry : held) {
      if (entry.name == name) return {WriterPresence::Alive, 0};  // this process writes
    }
  }
  return detail::probe_platform_lock(name);
}

void release_writer_lock(Handle lock) {
  if (lock == nullptr) return;
  const std::lock_guard guard(held_mutex);
  for (auto it = held.begin(); it != held.end(); ++it) {
    if (&*it != lock) continue;
    if (--it->count == 0) {
      detail::drop_platform_lock(it->object);
      held.erase(it);
    }
    return;
  }
}

}  // namespace shared_memory_interface::memory_interface
