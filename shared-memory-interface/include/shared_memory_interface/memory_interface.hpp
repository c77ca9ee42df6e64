// Thin platform layer over named shared memory: create or open a named region,
// map it, flush and unmap it. Windows uses paging-file-backed file mappings,
// Linux POSIX shared memory objects ("/NAME"). Every other module is portable.
//
// Holder protocol on Linux, for peers that map the region without this library
// (a reader written in another language, say). A region lives while it has a
// holder; a set-up that finds no holder treats the object as a dead leftover,
// removes it and creates a new one, so a peer outside the protocol would keep
// reading bytes that no writer sees any more. To count as a holder:
//  1. open "/NAME.lock" (shm_open, read-only is enough) and take an exclusive
//     flock on it, with LOCK_NB and a bounded retry: it is held only briefly;
//  2. check that the lock object is still linked (fstat: st_nlink > 0), else
//     close it and start again;
//  3. open "/NAME" (shm_open, O_RDONLY to read), take a *shared* flock on it
//     and keep that descriptor open for as long as the mapping is used; if an
//     exclusive flock on "/NAME" could be taken instead, no holder is alive:
//     the region is gone;
//  4. check with fstat that "/NAME" belongs to the expected user, grants no
//     group or other access, and is at least as large as the record; then
//     mmap at most st_size bytes;
//  5. close the lock object's descriptor (this lets the set-up lock go).
// To stop holding: take the set-up lock as in 1-2, close the region's
// descriptor (unmapping first), then let the set-up lock go. A holder that
// dies lets its flock go with it and never keeps a region alive.
// A holder that is killed needs no clean-up: the kernel drops its locks.
// Whether a writer is alive: open "/NAME.writer" read-only (missing: none) and
// ask F_OFD_GETLK for a read lock on byte 0; a live writer holds a write lock
// there. Take no lock on that object: the writer's own flock would then fail.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
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

// Why a set-up failed, beyond the platform's error code.
enum class Refusal : std::uint8_t {
  None = 0,
  Platform,      // a platform call failed: see `error`
  Missing,       // no region of that name (attach only)
  ForeignOwner,  // the region or its lock object belongs to another user
  OpenToOthers,  // the region or its lock object grants group or other access
  NotARegion,    // the name is taken by something other than a shared memory object
  TooSmall,      // the region holds fewer bytes than the caller's record needs
  LockTimeout,   // another process kept the set-up lock beyond the wait
  Interrupted,   // the wait for the set-up lock was cancelled
};

struct MapOutcome {
  bool ok = false;
  MappedRegion region;     // valid when ok
  std::uint32_t error = 0;  // the platform's error code when !ok (GetLastError / errno)
  Refusal refusal = Refusal::None;
  std::string object;        // the platform object concerned, when known ("/NAME.lock")
  std::uint64_t detail = 0;  // ForeignOwner: its uid; OpenToOthers: its mode; TooSmall: its
                             // size; LockTimeout: the wait in ms
};

// What a set-up may wait for the set-up lock that serialises set-ups and
// releases of one name (POSIX only: Windows serialises inside the kernel).
inline constexpr std::chrono::milliseconds kDefaultLockWait{5000};
struct LockWait {
  std::chrono::milliseconds limit = kDefaultLockWait;
  // When set (a signal handler may set it), the wait ends at once as Interrupted.
  const std::atomic<bool>* cancel = nullptr;
};

// Creates the region `name` with `size` bytes, or opens it if it exists, and maps
// it read-write. Logs the platform failure at error level. An empty name or one
// holding a 0 character is refused (EINVAL / ERROR_INVALID_NAME). On POSIX the
// new region's memory is reserved at once, so a lack of it fails here (ENOSPC);
// an existing region or lock object that is not this user's own, or that others
// may open, is refused (EPERM / EACCES), and the set-up lock is waited for at
// most `wait.limit` (ETIMEDOUT, or EINTR when cancelled). `min_size`: an existing
// region smaller than that is refused (EMSGSIZE) before it is mapped.
MapOutcome map_region(std::string_view name, std::uint32_t size, const LockWait& wait = {},
                      std::size_t min_size = 0);
// Opens an existing region without creating it and maps it read-only. A missing
// region is a failure (ERROR_FILE_NOT_FOUND / ENOENT); the rest as map_region.
MapOutcome open_region_read_only(std::string_view name, const LockWait& wait = {},
                                 std::size_t min_size = 0);
void flush_view(Handle handle, void* view);
void unmap_region(Handle handle, void* view);

// One line for a person: what went wrong with region `name` and what to do.
std::string describe_failure(std::string_view name, const MapOutcome& outcome);

// The writer lock of region `name`: at most one live process holds it. The
// platform drops it when its holder dies, however it dies, so a crashed writer
// never blocks the next one. Within one process the lock is counted: every
// handle that takes it while the process holds it shares it, and the last
// release lets go. Readers never take it. POSIX: a child made by fork() shares
// its parent's lock (flock belongs to the open file description) until it execs.
//
// POSIX: the lock object "/NAME.writer" is checked as the region's objects are
// (this user's own, no group or other access, a plain shm object, no link, never
// a FIFO that would block the open); anything else is Failed with the refusal,
// never taken and never treated as "held elsewhere".
enum class WriterLockState { Taken, HeldElsewhere, Failed };
struct WriterLockOutcome {
  WriterLockState state = WriterLockState::Failed;
  Handle lock = nullptr;    // valid when Taken; give it back with release_writer_lock
  std::uint32_t error = 0;  // the platform's error code when Failed
  Refusal refusal = Refusal::None;  // why, when Failed (Platform: see `error`)
  std::string object;               // the lock object concerned
  std::uint64_t detail = 0;         // as MapOutcome::detail
};
// Never waits.
WriterLockOutcome try_writer_lock(std::string_view name);
void release_writer_lock(Handle lock);
// Whether the process still holds the lock object it took: false once that
// object was removed or replaced (by a user who may remove it). One system call.
bool writer_lock_intact(Handle lock);
// One line for a person: why the writer lock of region `name` could not be taken.
std::string describe_writer_lock_failure(std::string_view name, const WriterLockOutcome& outcome);

// Whether a live process holds the writer lock of region `name`, for readers
// that want to tell a dead host from a paused one: a stopped (SIGSTOP) or busy
// writer is Alive, a writer that ended or was killed is Absent. The probe takes
// no lock and never makes a writer's set-up fail. Unknown: the platform would
// not say (see `error`; on POSIX, e.g. the lock object belongs to another user).
// A writer caught between taking its lock and marking it may read as Absent
// for that moment.
// A lock object that is not one we trust (another user's, open to others, not a
// shm object) is Unknown with the refusal: a foreign lock on it proves nothing.
enum class WriterPresence { Alive, Absent, Unknown };
struct WriterProbe {
  WriterPresence presence = WriterPresence::Unknown;
  std::uint32_t error = 0;  // the platform's error code when Unknown
  Refusal refusal = Refusal::None;  // why, when Unknown
  std::string object;
  std::uint64_t detail = 0;
};
WriterProbe probe_writer(std::string_view name);
// "alive", "none" or "unknown (why)".
std::string describe_writer_probe(std::string_view name, const WriterProbe& probe);

// The wake object of region `name`: how readers sleep until the writer's next
// publication. It holds a count of the waiters, so the writer makes a wake call
// only when someone waits (otherwise its cost is one load), and the ticket they
// sleep on. The region's mappings are read-only for readers, so it is a small
// object of its own: POSIX "/NAME.wake" (a futex word; made by whoever opens it
// first, checked as the region's objects are, removed with the region), Windows
// a paging-file mapping "NAME.wake" and a semaphore "NAME.wakeup". Every failure
// leaves the caller without it: waiters then poll, a writer then wakes nobody.
// A writer that opens it says so in it; waiters on an object no writer opened
// poll (kWakePollPeriod), so a writer without it never leaves them asleep.
// A waiter killed while counted in stays counted until the region goes: the
// writer then makes a wake call (one system call) at each publication.
inline constexpr std::chrono::milliseconds kWakePollPeriod{1};
struct WakeOutcome {
  Handle wake = nullptr;  // valid when set; give it back with close_wake
  std::uint32_t error = 0;
  Refusal refusal = Refusal::None;
  std::string object;
  std::uint64_t detail = 0;
};
WakeOutcome open_wake(std::string_view name, bool writer);
void close_wake(Handle wake);
// Writer, right after a publication became visible: wakes the waiters if any.
// True when it made the wake call.
bool wake_waiters(Handle wake) noexcept;
// Wake calls made through this handle (tests).
std::uint64_t wake_calls(Handle wake) noexcept;
// Reader: counts itself in and returns the ticket to sleep on; look at the
// published state only after this.
std::uint32_t begin_wait(Handle wake) noexcept;
// Sleeps until woken after `ticket` or `limit` passed (early returns allowed).
void wait_for_wake(Handle wake, std::uint32_t ticket, std::chrono::nanoseconds limit) noexcept;
void end_wait(Handle wake) noexcept;
// One line for a person: why the wake object could not be opened.
std::string describe_wake_failure(std::string_view name, const WakeOutcome& outcome);

}  // namespace shared_memory_interface::memory_interface
