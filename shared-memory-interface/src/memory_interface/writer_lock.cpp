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

WriterLockOutcome taken_outcome(Handle lock) {
  WriterLockOutcome outcome;
  outcome.state = WriterLockState::Taken;
  outcome.lock = lock;
  return outcome;
}

}  // namespace

WriterLockOutcome try_writer_lock(std::string_view name) {
  const std::lock_guard guard(held_mutex);
  for (Held& entry : held) {
    if (entry.name == name) {
      ++entry.count;
      return taken_outcome(&entry);
    }
  }
  const detail::PlatformLock taken = detail::take_platform_lock(name);
  if (taken.state != WriterLockState::Taken)
    return {taken.state, nullptr, taken.error, taken.refusal, taken.object_name, taken.detail};
  held.push_back(Held{std::string(name), taken.object, 1});
  return taken_outcome(&held.back());
}

bool writer_lock_intact(Handle lock) {
  if (lock == nullptr) return false;
  const std::lock_guard guard(held_mutex);
  for (const Held& entry : held)
    if (&entry == lock) return detail::platform_lock_intact(entry.object);
  return false;
}

std::string describe_writer_lock_failure(std::string_view name, const WriterLockOutcome& outcome) {
  MapOutcome as_map;
  as_map.error = outcome.error;
  as_map.refusal = outcome.refusal == Refusal::None ? Refusal::Platform : outcome.refusal;
  as_map.object = outcome.object;
  as_map.detail = outcome.detail;
  return "the writer lock cannot be taken: " + describe_failure(name, as_map);
}

std::string describe_writer_probe(std::string_view name, const WriterProbe& probe) {
  switch (probe.presence) {
    case WriterPresence::Alive: return "alive";
    case WriterPresence::Absent: return "none";
    case WriterPresence::Unknown: break;
  }
  MapOutcome as_map;
  as_map.error = probe.error;
  as_map.refusal = probe.refusal == Refusal::None ? Refusal::Platform : probe.refusal;
  as_map.object = probe.object;
  as_map.detail = probe.detail;
  return "unknown (" + describe_failure(name, as_map) + ")";
}

std::string describe_wake_failure(std::string_view name, const WakeOutcome& outcome) {
  MapOutcome as_map;
  as_map.error = outcome.error;
  as_map.refusal = outcome.refusal == Refusal::None ? Refusal::Platform : outcome.refusal;
  as_map.object = outcome.object;
  as_map.detail = outcome.detail;
  return "readers poll instead of being woken: " + describe_failure(name, as_map);
}

WriterProbe probe_writer(std::string_view name) {
  {
    const std::lock_guard guard(held_mutex);
    for (const Held& entry : held) {
      if (entry.name == name) return detail::presence(WriterPresence::Alive, 0);  // this process writes
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
