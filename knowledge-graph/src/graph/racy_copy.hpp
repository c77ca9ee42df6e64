// Copies out of the shared record that may race with the writer by design.
//
// A reader copies a bookkeeping buffer or a version while the writer may be
// overwriting it (a seqlock retry, or a slot reused after `clear`); the guard
// counters tell afterwards whether the copy can be trusted, and an untrusted copy
// is thrown away. These few routines are therefore exempt from ThreadSanitizer.
// They copy word by word through volatile loads so that the compiler can neither
// turn the loop into a call to memcpy (which the sanitizer intercepts) nor assume
// the bytes stay put while they are read.
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#if defined(__GNUC__) || defined(__clang__)
#define VARNEL_NO_SANITIZE_THREAD __attribute__((no_sanitize("thread")))
#define VARNEL_MAY_ALIAS __attribute__((may_alias))
#else
#define VARNEL_NO_SANITIZE_THREAD
#define VARNEL_MAY_ALIAS
#endif

// Whether this is a ThreadSanitizer build (GCC says so by a macro, clang by a feature).
#if defined(__SANITIZE_THREAD__)
#define VARNEL_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VARNEL_TSAN 1
#endif
#endif

namespace knowledge_graph::graph::detail {

using SharedWord = std::uint64_t VARNEL_MAY_ALIAS;

template <class T> VARNEL_NO_SANITIZE_THREAD inline T racy_copy(const T& shared) {
  static_assert(std::is_trivially_copyable_v<T> && sizeof(T) % 8 == 0 && alignof(T) >= 8);
  std::array<std::uint64_t, sizeof(T) / 8> words;
  const volatile SharedWord* from = reinterpret_cast<const volatile SharedWord*>(&shared);
  for (std::size_t i = 0; i < words.size(); ++i) words[i] = from[i];
  return std::bit_cast<T>(words);
}

// The same copy straight into `to` (no temporary): for the reads that copy many
// versions out, where every extra pass over 1,312 bytes shows.
// Outside ThreadSanitizer builds it is one memcpy between compiler barriers: the
// copy lands in the caller's memory and the source is never read again, so only
// the copy's order against the guard checks around it matters, which the
// barriers keep.
template <class T> VARNEL_NO_SANITIZE_THREAD inline void racy_copy_to(T& to, const T& shared) {
  static_assert(std::is_trivially_copyable_v<T> && sizeof(T) % 8 == 0 && alignof(T) >= 8);
#if defined(VARNEL_TSAN) || !(defined(__GNUC__) || defined(__clang__))
  const volatile SharedWord* from = reinterpret_cast<const volatile SharedWord*>(&shared);
  SharedWord* into = reinterpret_cast<SharedWord*>(&to);
  for (std::size_t i = 0; i < sizeof(T) / 8; ++i) into[i] = from[i];
#else
  asm volatile("" ::: "memory");
  __builtin_memcpy(static_cast<void*>(&to), static_cast<const void*>(&shared), sizeof(T));
  asm volatile("" ::: "memory");
#endif
}

// racy_copy_to for a run of `bytes` (a multiple of 8) of whole slots.
VARNEL_NO_SANITIZE_THREAD inline void racy_copy_bytes(void* to, const void* shared,
                                                      std::size_t bytes) {
#if defined(VARNEL_TSAN) || !(defined(__GNUC__) || defined(__clang__))
  const volatile SharedWord* from = static_cast<const volatile SharedWord*>(shared);
  SharedWord* into = static_cast<SharedWord*>(to);
  for (std::size_t i = 0; i < bytes / 8; ++i) into[i] = from[i];
#else
  asm volatile("" ::: "memory");
  __builtin_memcpy(to, shared, bytes);
  asm volatile("" ::: "memory");
#endif
}

// One word of the shared record, read where it may be changing.
VARNEL_NO_SANITIZE_THREAD inline std::uint64_t racy_word(const std::uint64_t& shared) {
  return *reinterpret_cast<const volatile SharedWord*>(&shared);
}

}  // namespace knowledge_graph::graph::detail

namespace knowledge_graph::graph::detail {

// One byte (a marker) of the shared record, read where it may be changing.
template <class Byte> VARNEL_NO_SANITIZE_THREAD inline Byte racy_byte(const Byte& shared) {
  static_assert(sizeof(Byte) == 1 && std::is_trivially_copyable_v<Byte>);
  // The load happens here: std::bit_cast given the volatile lvalue would read it
  // inside an instrumented function.
  const unsigned char raw = *reinterpret_cast<const volatile unsigned char*>(&shared);
  return std::bit_cast<Byte>(raw);
}

}  // namespace knowledge_graph::graph::detail

namespace knowledge_graph::graph::detail {

// The guard's fences. GCC's ThreadSanitizer does not model fences and refuses
// them; there a sequentially consistent read-modify-write stands in (a full
// barrier on the x86-64 hosts that run that build).
inline void guard_fence(std::memory_order order) {
#if defined(__SANITIZE_THREAD__)
  static std::atomic<unsigned> barrier{0};
  barrier.fetch_add(0, std::memory_order_seq_cst);
  (void)order;
#else
  std::atomic_thread_fence(order);
#endif
}

}  // namespace knowledge_graph::graph::detail
