// Windows wake object: a paging-file mapping "NAME.wake" holding the count of
// waiters, and a semaphore "NAME.wakeup" the waiters sleep on.
//
// A waiter counts itself in, then looks at the published state, then sleeps on
// the semaphore. The writer makes its publication visible, then reads the count
// and releases as many units. A unit released before the waiter sleeps stays in
// the semaphore, so no wake-up is lost; units left by waiters that timed out
// only make later waiters look once more (the semaphore holds at most
// kMaxUnits, so that costs a bounded number of looks).
//
// Named objects live while any process holds a handle, so there is nothing to
// remove; the session namespace's default security applies, as to the region.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

#include "shared_memory_interface/memory_interface.hpp"
#include "wake_words.hpp"

namespace shared_memory_interface::memory_interface {
namespace {

using detail::full_fence;
using detail::WakeWords;
constexpr LONG kMaxUnits = 64;

struct Wake {
  HANDLE mapping;
  HANDLE semaphore;
  WakeWords* words;
  std::uint64_t calls;
};

std::atomic_ref<std::uint32_t> word(std::uint32_t& value) { return detail::wake_word(value); }

std::wstring wide_name(std::string_view name, const char* suffix) {
  const std::string object = std::string(name) + suffix;
  const int bytes = static_cast<int>(object.size());
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, object.data(), bytes, nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, object.data(), bytes, wide.data(), length);
  return wide;
}

WakeOutcome refused(DWORD error, const std::string& object) {
  WakeOutcome outcome;
  outcome.error = error;
  outcome.refusal = Refusal::Platform;
  outcome.object = object;
  return outcome;
}

}  // namespace

WakeOutcome open_wake(std::string_view name, bool writer) {
  if (name.empty() || name.find('\0') != std::string_view::npos) return refused(ERROR_INVALID_NAME, {});
  const std::string object = std::string(name) + ".wake";
  const std::wstring mapping_name = wide_name(name, ".wake");
  const std::wstring semaphore_name = wide_name(name, ".wakeup");
  if (mapping_name.empty() || semaphore_name.empty()) return refused(ERROR_INVALID_NAME, object);
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      sizeof(WakeWords), mapping_name.c_str());
  if (mapping == nullptr) return refused(GetLastError(), object);
  void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(WakeWords));
  if (view == nullptr) {
    const DWORD error = GetLastError();
    CloseHandle(mapping);
    return refused(error, object);
  }
  HANDLE semaphore = CreateSemaphoreW(nullptr, 0, kMaxUnits, semaphore_name.c_str());
  if (semaphore == nullptr) {
    const DWORD error = GetLastError();
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    return refused(error, object);
  }
  auto* words = static_cast<WakeWords*>(view);
  if (writer) word(words->writer).store(1);
  WakeOutcome outcome;
  outcome.wake = new Wake{mapping, semaphore, words, 0};
  outcome.object = object;
  return outcome;
}

void close_wake(Handle handle) {
  auto* wake = static_cast<Wake*>(handle);
  if (wake == nullptr) return;
  UnmapViewOfFile(wake->words);
  CloseHandle(wake->semaphore);
  CloseHandle(wake->mapping);
  delete wake;
}

bool wake_waiters(Handle handle) noexcept {
  auto* wake = static_cast<Wake*>(handle);
  if (wake == nullptr) return false;
  full_fence();  // the publication before the count
  const std::uint32_t waiters = word(wake->words->waiters).load(std::memory_order_relaxed);
  if (waiters == 0) return false;
  // More than the semaphore holds fails and changes nothing: release what fits.
  LONG units = static_cast<LONG>(std::min<std::uint32_t>(waiters, kMaxUnits));
  while (units > 0 && !ReleaseSemaphore(wake->semaphore, units, nullptr)) units /= 2;
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
  return 0;
}

void wait_for_wake(Handle handle, std::uint32_t, std::chrono::nanoseconds limit) noexcept {
  auto* wake = static_cast<Wake*>(handle);
  if (limit <= std::chrono::nanoseconds(0)) return;
  if (wake == nullptr || word(wake->words->writer).load(std::memory_order_relaxed) == 0) {
    std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(limit, kWakePollPeriod));
    return;
  }
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(limit).count();
  WaitForSingleObject(wake->semaphore, static_cast<DWORD>(std::max<long long>(ms, 1)));
}

void end_wait(Handle handle) noexcept {
  auto* wake = static_cast<Wake*>(handle);
  if (wake != nullptr) word(wake->words->waiters).fetch_sub(1, std::memory_order_seq_cst);
}

}  // namespace shared_memory_interface::memory_interface
