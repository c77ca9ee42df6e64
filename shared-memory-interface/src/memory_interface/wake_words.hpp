// The words of a wake object that every platform shares, and the fence the
// waiter-count protocol needs on both sides (see wake_posix.cpp).
#pragma once

#include <atomic>
#include <cstdint>

namespace shared_memory_interface::memory_interface::detail {

struct WakeWords {
  std::uint32_t ticket;   // moved by the writer at each wake (POSIX: the futex word)
  std::uint32_t waiters;  // waiters counted in
  std::uint32_t writer;   // 1 once a writer that wakes has opened the object
  std::uint32_t reserved[13];
};
static_assert(sizeof(WakeWords) == 64);

inline std::atomic_ref<std::uint32_t> wake_word(std::uint32_t& value) {
  return std::atomic_ref<std::uint32_t>(value);
}

// A sequentially consistent fence; ThreadSanitizer does not model fences, so
// there a read-modify-write that it does stands in for it.
inline void full_fence() {
#if defined(__SANITIZE_THREAD__)
  static std::atomic<unsigned> barrier{0};
  barrier.fetch_add(0, std::memory_order_seq_cst);
#else
  std::atomic_thread_fence(std::memory_order_seq_cst);
#endif
}

}  // namespace shared_memory_interface::memory_interface::detail
