// POSIX writer lock: an exclusive flock on the shm object "/NAME.writer".
//
// flock belongs to the open file description and vanishes when its holder
// closes the descriptor or dies, even by SIGKILL. The holder unlinks the object
// while still holding it when it lets go; a process that opened the old object
// just before and then locks it finds it unlinked and starts over, so two
// processes never hold locks on two different objects of one name. A holder
// that died leaves the object behind, unlocked, for the next one to take.
//
// Liveness: flock has no way to ask who holds a lock short of trying to take
// it, and a probe that took it even for a moment would refuse a writer setting
// up at that moment. So the holder also marks its object with an open file
// description lock (a write lock on byte 0), which dies with it in the same way
// and which readers can query (F_OFD_GETLK) without taking anything. On Linux
// flock and these locks never conflict with each other.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "posix_objects.hpp"
#include "writer_lock.hpp"

namespace shared_memory_interface::memory_interface::detail {
namespace {

struct LockObject {
  int fd;
  std::string name;
};

int try_lock(int fd) {
  int result;
  do {
    result = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  return result == 0 ? 0 : errno;
}

// Byte 0 of the lock object: the liveness mark.
struct flock liveness_range(short type) {
  struct flock range {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = 0;
  range.l_len = 1;
  range.l_pid = 0;  // required by the OFD commands
  return range;
}

bool is_unlinked(int fd) {
  struct stat status {};
  return ::fstat(fd, &status) != 0 || status.st_nlink == 0;
}

// The lock object must be what our own writers make (check_own_object): another
// user's object could be locked, unlinked or replaced by that user at will, so
// nothing its locks say is believed.
ObjectCheck check_lock_object(int fd) {
  struct stat status {};
  return check_own_object(fd, status);
}

std::string lock_object_name(std::string_view name) {
  std::string object;
  object.reserve(name.size() + 8);
  object.push_back('/');
  object.append(name).append(".writer");
  return object;
}

PlatformLock lock_failure(std::uint32_t error, const std::string& object,
                          Refusal refusal = Refusal::Platform, std::uint64_t detail = 0) {
  PlatformLock failed;
  failed.error = error;
  failed.refusal = refusal;
  failed.object_name = object;
  failed.detail = detail;
  return failed;
}

WriterProbe unknown(std::uint32_t error, const std::string& object,
                    Refusal refusal = Refusal::Platform, std::uint64_t detail = 0) {
  WriterProbe probe;
  probe.error = error;
  probe.refusal = refusal;
  probe.object = object;
  probe.detail = detail;
  return probe;
}

}  // namespace

PlatformLock take_platform_lock(std::string_view name) {
  if (name.empty() || name.find('\0') != std::string_view::npos) return lock_failure(EINVAL, {});
  const std::string object = lock_object_name(name);
  for (unsigned attempt = 0; attempt < 64; ++attempt) {
    const int fd = ::shm_open(object.c_str(), O_RDWR | O_CREAT | kSafeOpen, 0600);
    if (fd < 0) return lock_failure(static_cast<std::uint32_t>(errno), object);
    if (const ObjectCheck trust = check_lock_object(fd); trust.refusal != Refusal::None) {
      ::close(fd);
      return lock_failure(static_cast<std::uint32_t>(trust.error), object, trust.refusal, trust.detail);
    }
    const int error = try_lock(fd);
    if (error == EWOULDBLOCK) {
      ::close(fd);
      PlatformLock held;
      held.state = WriterLockState::HeldElsewhere;
      return held;
    }
    if (error != 0) {
      ::close(fd);
      return lock_failure(static_cast<std::uint32_t>(error), object);
    }
    if (!is_unlinked(fd)) {
      // Ours alone now: nobody else can hold the mark of an object whose flock
      // we hold. Without the mark readers would take this writer for absent, so
      // a mark that cannot be set (no lock memory) fails the whole take.
      struct flock mark = liveness_range(F_WRLCK);
      if (::fcntl(fd, F_OFD_SETLK, &mark) != 0) {
        const int mark_error = errno;
        ::shm_unlink(object.c_str());
        ::close(fd);
        return lock_failure(static_cast<std::uint32_t>(mark_error), object);
      }
      PlatformLock taken;
      taken.state = WriterLockState::Taken;
      taken.object = new LockObject{fd, object};
      return taken;
    }
    ::close(fd);  // the previous holder let go of this one: take the new object
  }
  return lock_failure(EAGAIN, object);
}

WriterProbe probe_platform_lock(std::string_view name) {
  if (name.empty() || name.find('\0') != std::string_view::npos) return unknown(EINVAL, {});
  const std::string object = lock_object_name(name);
  for (unsigned attempt = 0; attempt < 64; ++attempt) {
    const int fd = ::shm_open(object.c_str(), O_RDONLY | kSafeOpen, 0);
    if (fd < 0) {
      if (errno == ENOENT) return presence(WriterPresence::Absent, 0);
      return unknown(static_cast<std::uint32_t>(errno), object);
    }
    if (const ObjectCheck trust = check_lock_object(fd); trust.refusal != Refusal::None) {
      ::close(fd);
      return unknown(static_cast<std::uint32_t>(trust.error), object, trust.refusal, trust.detail);
    }
    struct flock query = liveness_range(F_RDLCK);
    const bool asked = ::fcntl(fd, F_OFD_GETLK, &query) == 0;
    const int error = errno;
    const bool unlinked = is_unlinked(fd);
    ::close(fd);
    if (!asked) return unknown(static_cast<std::uint32_t>(error), object);
    // An unlinked object is one its holder let go of: look at the current one.
    if (unlinked) continue;
    return presence(query.l_type == F_UNLCK ? WriterPresence::Absent : WriterPresence::Alive);
  }
  return unknown(EAGAIN, object);
}

bool platform_lock_intact(void* object) {
  return !is_unlinked(static_cast<LockObject*>(object)->fd);
}

void drop_platform_lock(void* object) {
  auto* lock = static_cast<LockObject*>(object);
  ::shm_unlink(lock->name.c_str());
  ::close(lock->fd);
  delete lock;
}

}  // namespace shared_memory_interface::memory_interface::detail
