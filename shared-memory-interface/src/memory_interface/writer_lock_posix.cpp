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

}  // namespace

PlatformLock take_platform_lock(std::string_view name) {
  if (name.empty() || name.find('\0') != std::string_view::npos) {
    return {WriterLockState::Failed, nullptr, static_cast<std::uint32_t>(EINVAL)};
  }
  const std::string object = "/" + std::string(name) + ".writer";
  for (unsigned attempt = 0; attempt < 64; ++attempt) {
    const int fd = ::shm_open(object.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return {WriterLockState::Failed, nullptr, static_cast<std::uint32_t>(errno)};
    const int error = try_lock(fd);
    if (error == EWOULDBLOCK) {
      ::close(fd);
      return {WriterLockState::HeldElsewhere, nullptr, 0};
    }
    if (error != 0) {
      ::close(fd);
      return {WriterLockState::Failed, nullptr, static_cast<std::uint32_t>(error)};
    }
    if (!is_unlinked(fd)) {
      // Ours alone now: nobody else can hold the mark of an object whose flock
      // we hold. Should the mark fail (no lock memory), readers see no writer:
      // the lock itself is unaffected.
      struct flock mark = liveness_range(F_WRLCK);
      (void)::fcntl(fd, F_OFD_SETLK, &mark);
      return {WriterLockState::Taken, new LockObject{fd, object}, 0};
    }
    ::close(fd);  // the previous holder let go of this one: take the new object
  }
  return {WriterLockState::Failed, nullptr, static_cast<std::uint32_t>(EAGAIN)};
}

WriterProbe probe_platform_lock(std::string_view name) {
  if (name.empty() || name.find('\0') != std::string_view::npos) {
    return {WriterPresence::Unknown, static_cast<std::uint32_t>(EINVAL)};
  }
  const std::string object = "/" + std::string(name) + ".writer";
  for (unsigned attempt = 0; attempt < 64; ++attempt) {
    const int fd = ::shm_open(object.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) {
      if (errno == ENOENT) return {WriterPresence::Absent, 0};
      return {WriterPresence::Unknown, static_cast<std::uint32_t>(errno)};
    }
    struct flock query = liveness_range(F_RDLCK);
    const bool asked = ::fcntl(fd, F_OFD_GETLK, &query) == 0;
    const int error = errno;
    const bool unlinked = is_unlinked(fd);
    ::close(fd);
    if (!asked) return {WriterPresence::Unknown, static_cast<std::uint32_t>(error)};
    // An unlinked object is one its holder let go of: look at the current one.
    if (unlinked) continue;
    return {query.l_type == F_UNLCK ? WriterPresence::Absent : WriterPresence::Alive, 0};
  }
  return {WriterPresence::Unknown, static_cast<std::uint32_t>(EAGAIN)};
}

void drop_platform_lock(void* object) {
  auto* lock = static_cast<LockObject*>(object);
  ::shm_unlink(lock->name.c_str());
  ::close(lock->fd);
  delete lock;
}

}  // namespace shared_memory_interface::memory_interface::detail
