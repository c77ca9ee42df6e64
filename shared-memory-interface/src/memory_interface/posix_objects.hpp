// What every POSIX object of a region must be before anything trusts it or waits
// on it: opened with kSafeOpen, then this user's own, no group or other access,
// a plain shm object. Shared by the region and its wake object.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>

#include "shared_memory_interface/memory_interface.hpp"

namespace shared_memory_interface::memory_interface::detail {

// A FIFO under the name would block a plain open, a link is never followed, and
// no descriptor leaks into a program we start.
inline constexpr int kSafeOpen = O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW;

struct ObjectCheck {
  int error = 0;  // errno-style; 0: trusted
  Refusal refusal = Refusal::None;
  std::uint64_t detail = 0;  // ForeignOwner: the uid; OpenToOthers: the mode
};
// Refuses an object that another user could have made or could change under us.
// `status` receives fstat's answer.
ObjectCheck check_own_object(int fd, struct stat& status);

}  // namespace shared_memory_interface::memory_interface::detail
