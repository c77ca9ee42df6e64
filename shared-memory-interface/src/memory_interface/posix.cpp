// POSIX shared memory: region "NAME" is the shm object "/NAME".
//
// Holders. Every process (and every handle within one) that maps the region
// keeps its own descriptor of "/NAME" open with a shared flock on it. flock
// locks belong to the open file description, work on read-only descriptors
// and vanish when the holder closes them or dies, even by SIGKILL. So "an
// exclusive flock on /NAME can be taken" means exactly "no holder is alive".
//
// Set-up lock. Set-ups and releases of one name run one at a time under an
// exclusive flock on a second object, "/NAME.lock". Under it:
//  - a set-up that creates "/NAME" (O_EXCL) reserves its memory and takes its
//    shared lock before anyone else can look, so an opener never sees an
//    unsized region and exactly one concurrent set-up is the creator;
//  - a set-up that finds "/NAME" but can lock it exclusively has found the
//    leftover of holders that all died: it unlinks it and creates anew;
//  - a release that can lock "/NAME" exclusively is the last holder: it
//    unlinks "/NAME" and "/NAME.lock" before letting go of the set-up lock.
// Whoever takes the set-up lock checks that its object is still linked; if a
// last releaser unlinked it meanwhile, it starts over with a fresh one.
//
// Hostile neighbours. Every object is opened with O_NONBLOCK and O_NOFOLLOW (a
// FIFO planted under the name must not stall the open, a link is never followed)
// and checked with fstat before any call that could wait on it.
// /dev/shm is writable by every user, so both objects are
// checked after opening (fstat): they must be this user's own, grant no group
// or other access and be plain shm objects, else the set-up is refused before
// anything is locked, unlinked or mapped. The set-up lock is taken with LOCK_NB
// and short sleeps, so a process that keeps it makes set-ups fail after a
// bounded wait (or at once when cancelled) instead of stalling them. A region
// is never mapped beyond the size fstat reports.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <thread>

#include "messages.hpp"
#include "posix_objects.hpp"
#include "shared_memory_interface/memory_interface.hpp"

namespace shared_memory_interface::memory_interface {

detail::ObjectCheck detail::check_own_object(int fd, struct stat& status) {
  if (::fstat(fd, &status) != 0) return {errno, Refusal::Platform, 0};
  if (!S_ISREG(status.st_mode)) return {EINVAL, Refusal::NotARegion, 0};
  if (status.st_uid != ::geteuid()) return {EPERM, Refusal::ForeignOwner, status.st_uid};
  if ((status.st_mode & 077) != 0) return {EACCES, Refusal::OpenToOthers, status.st_mode & 0777};
  return {};
}

namespace {

using detail::kSafeOpen;

// What a Handle points at on POSIX.
struct Region {
  int fd;  // "/NAME", holding our shared lock for the region's lifetime
  std::size_t size;
  std::string object_name;
  std::string lock_name;
};

struct Names {
  // Built by appending: GCC 12 at -O3 takes `"/" + std::string(name)` for an
  // overlapping copy (a false -Wrestrict).
  explicit Names(std::string_view name) {
    object.reserve(name.size() + 1);
    object.push_back('/');
    object.append(name);
    lock.reserve(object.size() + 5);
    lock.append(object).append(".lock");
    wake.reserve(object.size() + 5);
    wake.append(object).append(".wake");
  }
  std::string object;
  std::string lock;
  std::string wake;  // the wake object (wake_posix.cpp): goes with the region
};

// A failed step: the errno to log, why in our terms, and which object.
struct Problem {
  int error = 0;
  Refusal refusal = Refusal::None;
  std::string object;
  std::uint64_t detail = 0;
  explicit operator bool() const { return error != 0; }
};

Problem platform(int error, const std::string& object = {}) {
  return Problem{error, Refusal::Platform, object, 0};
}

// shm_open takes a C string: an empty name or one with an embedded 0 cannot be
// passed faithfully. The platform judges the rest ('/' inside, length).
bool acceptable_name(std::string_view name) {
  return !name.empty() && name.find('\0') == std::string_view::npos;
}

int lock_file(int fd, int operation) {
  int result;
  do {
    result = ::flock(fd, operation);
  } while (result != 0 && errno == EINTR);
  return result == 0 ? 0 : errno;
}

bool is_unlinked(int fd) {
  struct stat status {};
  return ::fstat(fd, &status) != 0 || status.st_nlink == 0;
}

Problem check_object(int fd, const std::string& object, struct stat& status) {
  const detail::ObjectCheck check = detail::check_own_object(fd, status);
  return Problem{check.error, check.refusal, object, check.detail};
}

Problem too_small(const std::string& object, std::size_t size) {
  return Problem{EMSGSIZE, Refusal::TooSmall, object, size};
}

// The exclusive set-up lock on "/NAME.lock", released when it goes out of scope.
class SetupLock {
 public:
  SetupLock() = default;
  SetupLock(const SetupLock&) = delete;
  SetupLock& operator=(const SetupLock&) = delete;
  ~SetupLock() {
    if (fd_ >= 0) ::close(fd_);
  }

  // Without `may_create` a missing lock object is ENOENT: then no region of that
  // name can exist either. Polls, so that the wait is bounded and cancellable.
  Problem acquire(const std::string& lock_name, bool may_create, const LockWait& wait) {
    name_ = lock_name;
    const int flags = may_create ? O_RDWR | O_CREAT | kSafeOpen : O_RDONLY | kSafeOpen;
    const auto deadline = std::chrono::steady_clock::now() + wait.limit;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
      const int fd = ::shm_open(lock_name.c_str(), flags, 0600);
      if (fd < 0) return platform(errno, lock_name);
      struct stat status {};
      if (Problem problem = check_object(fd, lock_name, status)) {
        ::close(fd);
        return problem;
      }
      const int error = lock_file(fd, LOCK_EX | LOCK_NB);
      if (error == 0 && !is_unlinked(fd)) {
        fd_ = fd;
        return {};
      }
      ::close(fd);  // held by another, or removed by a last releaser while we looked
      if (error == 0) continue;
      if (error != EWOULDBLOCK) return platform(error, lock_name);
      if (wait.cancel != nullptr && wait.cancel->load()) return Problem{EINTR, Refusal::Interrupted, lock_name, 0};
      if (std::chrono::steady_clock::now() >= deadline)
        return Problem{ETIMEDOUT, Refusal::LockTimeout, lock_name,
                       static_cast<std::uint64_t>(wait.limit.count())};
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
  }

  // The region is gone: remove the lock object too, while still holding it.
  void remove() { ::shm_unlink(name_.c_str()); }

 private:
  int fd_ = -1;
  std::string name_;
};

struct Opened {
  int fd = -1;
  std::size_t size = 0;
  bool created = false;
};

// Sizes a region this set-up has just created and makes us its first holder.
Problem finish_creation(int fd, const Names& names, std::uint32_t size, Opened& out) {
  out.created = true;
  ::fchmod(fd, 0600);  // exactly, whatever the umask
  int error;
  do {
    error = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
  } while (error == EINTR);
  if (error == 0) error = lock_file(fd, LOCK_SH | LOCK_NB);
  if (error != 0) {
    ::shm_unlink(names.object.c_str());
    ::close(fd);
    return platform(error, names.object);
  }
  out.fd = fd;
  out.size = size;
  return {};
}

Problem create(const Names& names, std::uint32_t size, Opened& out) {
  const int fd = ::shm_open(names.object.c_str(), O_RDWR | O_CREAT | O_EXCL | kSafeOpen, 0600);
  if (fd < 0) return Problem{errno, Refusal::Platform, names.object, 0};
  return finish_creation(fd, names, size, out);
}

// Joins a living region held by others: checks it, takes a shared lock on it.
// `fd` is closed on failure. A region with no living holder is ENOENT.
Problem join(int fd, const std::string& object, std::size_t min_size, Opened& out) {
  struct stat status {};
  Problem problem = check_object(fd, object, status);
  if (!problem && static_cast<std::size_t>(status.st_size) < min_size)
    problem = too_small(object, static_cast<std::size_t>(status.st_size));
  if (!problem) {
    if (const int error = lock_file(fd, LOCK_SH | LOCK_NB)) problem = platform(error, object);
  }
  if (!problem && ::fstat(fd, &status) != 0) problem = platform(errno, object);
  if (problem) {
    ::close(fd);
    return problem;
  }
  out.fd = fd;
  out.size = static_cast<std::size_t>(status.st_size);
  return {};
}

// Joins the living region held by others, or replaces a dead one. Runs under
// the set-up lock.
Problem open_or_create(const Names& names, std::uint32_t size, std::size_t min_size,
                       Opened& out) {
  Problem created = create(names, size, out);
  if (created.error != EEXIST) return created;
  const int fd = ::shm_open(names.object.c_str(), O_RDWR | kSafeOpen, 0);
  if (fd < 0) return platform(errno, names.object);
  struct stat status {};
  if (Problem problem = check_object(fd, names.object, status)) {  // before touching it
    ::close(fd);
    return problem;
  }
  if (lock_file(fd, LOCK_EX | LOCK_NB) == 0) {  // no holder alive: a leftover
    ::shm_unlink(names.object.c_str());
    ::shm_unlink(names.wake.c_str());  // its waiter count may name waiters that died
    ::close(fd);
    return create(names, size, out);
  }
  return join(fd, names.object, min_size, out);
}

// Drops one holder under the set-up lock; the last one removes both objects.
void drop_holder(int fd, const std::string& object_name, SetupLock& lock) {
  if (lock_file(fd, LOCK_EX | LOCK_NB) == 0) {
    ::shm_unlink(object_name.c_str());
    ::shm_unlink((object_name + ".wake").c_str());
    lock.remove();
  }
  ::close(fd);
}

MapOutcome success(Region* region, void* view, bool already_existed) {
  MapOutcome outcome;
  outcome.ok = true;
  outcome.region = MappedRegion{region, view, region->size, already_existed};
  return outcome;
}

MapOutcome not_created(const Problem& problem) {
  MapOutcome outcome = region_not_created(static_cast<std::uint32_t>(problem.error));
  outcome.refusal = problem.refusal;
  outcome.object = problem.object;
  outcome.detail = problem.detail;
  if (problem.refusal == Refusal::Platform && problem.error == ENOENT) outcome.refusal = Refusal::Missing;
  return outcome;
}

MapOutcome not_mapped(int error, const std::string& object) {
  MapOutcome outcome = view_not_mapped(static_cast<std::uint32_t>(error));
  outcome.refusal = Refusal::Platform;
  outcome.object = object;
  return outcome;
}

}  // namespace

MapOutcome map_region(std::string_view name, std::uint32_t size, const LockWait& wait,
                      std::size_t min_size) {
  if (!acceptable_name(name)) return not_created(platform(EINVAL));
  const Names names(name);
  if (size < min_size) return not_created(too_small(names.object, size));
  SetupLock lock;
  if (Problem problem = lock.acquire(names.lock, true, wait)) return not_created(problem);
  Opened opened;
  if (Problem problem = open_or_create(names, size, min_size, opened)) {
    if (opened.created) lock.remove();
    return not_created(problem);
  }
  void* view = ::mmap(nullptr, opened.size, PROT_READ | PROT_WRITE, MAP_SHARED, opened.fd, 0);
  if (view == MAP_FAILED) {
    const int error = errno;
    drop_holder(opened.fd, names.object, lock);
    return not_mapped(error, names.object);
  }
  return success(new Region{opened.fd, opened.size, names.object, names.lock}, view,
                 !opened.created);
}

MapOutcome open_region_read_only(std::string_view name, const LockWait& wait,
                                 std::size_t min_size) {
  if (!acceptable_name(name)) return not_created(platform(EINVAL));
  const Names names(name);
  SetupLock lock;
  if (Problem problem = lock.acquire(names.lock, false, wait)) return not_created(problem);
  const int fd = ::shm_open(names.object.c_str(), O_RDONLY | kSafeOpen, 0);
  if (fd < 0) return not_created(platform(errno, names.object));
  struct stat status {};
  if (Problem problem = check_object(fd, names.object, status)) {
    ::close(fd);
    return not_created(problem);
  }
  // A region with no living holder is a leftover of crashed holders: gone.
  if (lock_file(fd, LOCK_EX | LOCK_NB) == 0) {
    ::close(fd);
    return not_created(platform(ENOENT, names.object));
  }
  Opened opened;
  if (Problem problem = join(fd, names.object, min_size, opened)) return not_created(problem);
  void* view = ::mmap(nullptr, opened.size, PROT_READ, MAP_SHARED, opened.fd, 0);
  if (view == MAP_FAILED) {
    const int error = errno;
    ::close(opened.fd);  // others hold the region: we are never the last here
    return not_mapped(error, names.object);
  }
  return success(new Region{opened.fd, opened.size, names.object, names.lock}, view, true);
}

void flush_view(Handle handle, void* view) {
  const auto* region = static_cast<const Region*>(handle);
  if (region != nullptr && view != nullptr) ::msync(view, region->size, MS_SYNC);
}

void unmap_region(Handle handle, void* view) {
  auto* region = static_cast<Region*>(handle);
  if (region == nullptr) return;
  if (view != nullptr) ::munmap(view, region->size);
  {
    // Our descriptor is closed before the set-up lock is let go, so the next
    // releaser's test for "last holder" cannot see us half gone. Without the
    // lock (kept by another beyond the wait) we just go: if we were the last
    // holder, the next set-up finds the region dead and replaces it.
    SetupLock lock;
    if (!lock.acquire(region->lock_name, false, LockWait{})) {
      drop_holder(region->fd, region->object_name, lock);
    } else {
      ::close(region->fd);
    }
  }
  delete region;
}

}  // namespace shared_memory_interface::memory_interface
