// POSIX wake object "/NAME.wake": a futex word that the writer moves when it
// wakes, and the count of waiters.
//
// No wake-up is lost: a waiter counts itself in, then reads the ticket, then
// looks at the published state, and sleeps only while the ticket is still what
// it read (FUTEX_WAIT compares in the kernel). The writer makes its publication
// visible, then reads the count, and if anyone is counted in moves the ticket
// and wakes them. With sequentially consistent fences on both sides, either the
// waiter's look sees the publication or the writer sees the waiter; a writer
// that moves the ticket after the waiter read it makes the sleep return at once.
//
// The object is opened like the region's others (kSafeOpen, then this user's,
// mode 600, a plain shm object) and mapped shared by every process; a shared
// (not process-private) futex keys on the object, not the address.
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>
#include <string>
#include <thread>

#include "posix_objects.hpp"
#include "shared_memory_interface/memory_interface.hpp"
#include "wake_words.hpp"

namespace shared_memory_interface::memory_interface {
namespace {

using detail::full_fence;
using detail::WakeWords;
constexpr std::size_t kWakeSize = 4096;

struct Wake {
  int fd;
  WakeWords* words;
  std::uint64_t calls;
};

std::atomic_ref<std::uint32_t> word(std::uint32_t& value) { return detail::wake_word(value); }

WakeOutcome refused(int error, Refusal refusal, const std::string& object, std::uint64_t detail = 0) {
  WakeOutcome outcome;
  outcome.error = static_cast<std::uint32_t>(error);
  outcome.refusal = refusal;
  outcome.object = object;
  outcome.detail = detail;
  return outcome;
}

}  // namespace

WakeOutcome open_wake(std::string_view name, bool writer) {
  if (name.empty() || name.find('\0') != std::string_view::npos) return refused(EINVAL, Refusal::Platform, {});
  std::string object;
  object.reserve(name.size() + 6);
  object.push_back('/');
  object.append(name).append(".wake");
  const int fd = ::shm_open(object.c_str(), O_RDWR | O_CREAT | detail::kSafeOpen, 0600);
  if (fd < 0) return refused(errno, Refusal::Platform, object);
  struct stat status {};
  const detail::ObjectCheck check = detail::check_own_object(fd, status);
  if (check.error != 0) {
    ::close(fd);
    return refused(check.error, check.refusal, object, check.detail);
  }
  // A new object is empty; whoever opens it first gives it its size (growing
  // only, so openers that race agree).
  if (static_cast<std::size_t>(status.st_size) < kWakeSize && ::ftruncate(fd, kWakeSize) != 0) {
    const int error = errno;
    ::close(fd);
    return refused(error, Refusal::Platform, object);
  }
  void* view = ::mmap(nullptr, kWakeSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) {
    const int error = errno;
    ::close(fd);
    return refused(error, Refusal::Platform, object);
  }
  auto* words = static_cast<WakeWords*>(view);
  if (writer) word(words->writer).store(1);
  WakeOutcome outcome;
  outcome.wake = new Wake{fd, words, 0};
  outcome.object = object;
  return outcome;
}

void close_wake(Handle handle) {
  auto* wake = static_cast<Wake*>(handle);
  if (wake == nullptr) return;
  ::munmap(wake->words, kWakeSize);
  ::close(wake->fd);
  delete wake;
}

bool wake_waiters(Handle handle) noexcept {
  auto* wake = static_cast<Wake*>(handle);
  if (wake == nullptr) return false;
  full_fence();  // the publication before the count
  if (word(wake->words->waiters).load(std::memory_order_relaxed) == 0) return false;
  word(wake->words->ticket).fetch_add(1, std::memory_order_seq_cst);
  ::syscall(SYS_futex, &wake->words->ticket, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
  ++wake->calls;
  return true;
}

std::uint64_t wake_calls(Handle handle) noexcept {
  const auto* wake = static_cast<const Wake*>(handle);
  return wake == nullptr ? 0 : wake->calls;
}

std::uint32_t begin_wait(Handle handle) noexcept {
  auto* wake = static_cast<Wake*>(handle);
  if (wake == nullptr) return 0;
  word(wake->words->waiters).fetch_add(1, std::memory_order_seq_cst);
  full_fence();  // the count before the look
  return word(wake->words->ticket).load(std::memory_order_acquire);
}

void wait_for_wake(Handle handle, std::uint32_t ticket, std::chrono::nanoseconds limit) noexcept {
  auto* wake = static_cast<Wake*>(handle);
  if (limit <= std::chrono::nanoseconds(0)) return;
  if (wake == nullptr || word(wake->words->writer).load(std::memory_order_relaxed) == 0) {
    // Nobody would wake us: a bounded poll.
    std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(limit, kWakePollPeriod));
    return;
  }
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limit);
  struct timespec relative {};
  relative.tv_sec = static_cast<time_t>(seconds.count());
  relative.tv_nsec = static_cast<long>((limit - seconds).count());
  // EAGAIN (the ticket moved), EINTR, ETIMEDOUT: the caller looks again.
  ::syscall(SYS_futex, &wake->words->ticket, FUTEX_WAIT, ticket, &relative, nullptr, 0);
}

void end_wait(Handle handle) noexcept {
  auto* wake = static_cast<Wake*>(handle);
  if (wake != nullptr) word(wake->words->waiters).fetch_sub(1, std::memory_order_seq_cst);
}

}  // namespace shared_memory_interface::memory_interface
