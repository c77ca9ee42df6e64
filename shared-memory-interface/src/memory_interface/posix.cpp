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
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "messages.hpp"
#include "shared_memory_interface/memory_interface.hpp"

namespace shared_memory_interface::memory_interface {
namespace {

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
  }
  std::string object;
  std::string lock;
};

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

// The exclusive set-up lock on "/NAME.lock", released when it goes out of scope.
class SetupLock {
 public:
  SetupLock() = default;
  SetupLock(const SetupLock&) = delete;
  SetupLock& operator=(const SetupLock&) = delete;
  ~SetupLock() {
    if (fd_ >= 0) ::close(fd_);
  }

  // 0 or an errno value. Without `may_create` a missing lock object is ENOENT:
  // then no region of that name can exist either.
  int acquire(const std::string& lock_name, bool may_create) {
    name_ = lock_name;
    const int flags = may_create ? O_RDWR | O_CREAT | O_CLOEXEC : O_RDONLY | O_CLOEXEC;
    for (;;) {
      const int fd = ::shm_open(lock_name.c_str(), flags, 0600);
      if (fd < 0) return errno;
      if (const int error = lock_file(fd, LOCK_EX)) {
        ::close(fd);
        return error;
      }
      if (!is_unlinked(fd)) {
        fd_ = fd;
        return 0;
      }
      ::close(fd);  // a last releaser removed it while we waited
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
int finish_creation(int fd, const Names& names, std::uint32_t size, Opened& out) {
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
    return error;
  }
  out.fd = fd;
  out.size = size;
  return 0;
}

int create(const Names& names, std::uint32_t size, Opened& out) {
  const int fd = ::shm_open(names.object.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  return finish_creation(fd, names, size, out);
}

// Joins the living region held by others, or replaces a dead one. Runs under
// the set-up lock.
int open_or_create(const Names& names, std::uint32_t size, Opened& out) {
  const int created = create(names, size, out);
  if (created != EEXIST) return created;
  const int fd = ::shm_open(names.object.c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) return errno;
  if (lock_file(fd, LOCK_EX | LOCK_NB) == 0) {  // no holder alive: a leftover
    ::shm_unlink(names.object.c_str());
    ::close(fd);
    return create(names, size, out);
  }
  struct stat status {};
  int error = lock_file(fd, LOCK_SH | LOCK_NB);
  if (error == 0 && ::fstat(fd, &status) != 0) error = errno;
  if (error != 0) {
    ::close(fd);
    return error;
  }
  out.fd = fd;
  out.size = static_cast<std::size_t>(status.st_size);
  return 0;
}

// Drops one holder under the set-up lock; the last one removes both objects.
void drop_holder(int fd, const std::string& object_name, SetupLock& lock) {
  if (lock_file(fd, LOCK_EX | LOCK_NB) == 0) {
    ::shm_unlink(object_name.c_str());
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

}  // namespace

MapOutcome map_region(std::string_view name, std::uint32_t size) {
  if (!acceptable_name(name)) return region_not_created(EINVAL);
  const Names names(name);
  SetupLock lock;
  if (const int error = lock.acquire(names.lock, true)) return region_not_created(error);
  Opened opened;
  if (const int error = open_or_create(names, size, opened)) {
    if (opened.created) lock.remove();
    return region_not_created(error);
  }
  void* view = ::mmap(nullptr, opened.size, PROT_READ | PROT_WRITE, MAP_SHARED, opened.fd, 0);
  if (view == MAP_FAILED) {
    const int error = errno;
    drop_holder(opened.fd, names.object, lock);
    return view_not_mapped(error);
  }
  return success(new Region{opened.fd, opened.size, names.object, names.lock}, view,
                 !opened.created);
}

MapOutcome open_region_read_only(std::string_view name) {
  if (!acceptable_name(name)) return region_not_created(EINVAL);
  const Names names(name);
  SetupLock lock;
  if (const int error = lock.acquire(names.lock, false)) return region_not_created(error);
  const int fd = ::shm_open(names.object.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return region_not_created(errno);
  // A region with no living holder is a leftover of crashed holders: gone.
  int error = lock_file(fd, LOCK_EX | LOCK_NB) == 0 ? ENOENT : lock_file(fd, LOCK_SH | LOCK_NB);
  struct stat status {};
  if (error == 0 && ::fstat(fd, &status) != 0) error = errno;
  if (error != 0) {
    ::close(fd);
    return region_not_created(error);
  }
  const auto size = static_cast<std::size_t>(status.st_size);
  void* view = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) {
    error = errno;
    ::close(fd);  // others hold the region: we are never the last here
    return view_not_mapped(error);
  }
  return success(new Region{fd, size, names.object, names.lock}, view, true);
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
    // releaser's test for "last holder" cannot see us half gone.
    SetupLock lock;
    if (lock.acquire(region->lock_name, false) == 0) {
      drop_holder(region->fd, region->object_name, lock);
    } else {
      ::close(region->fd);  // the next set-up finds the region dead and replaces it
    }
  }
  delete region;
}

}  // namespace shared_memory_interface::memory_interface
