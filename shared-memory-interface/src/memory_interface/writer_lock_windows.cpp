// Windows writer lock: the named event "NAME.writer", made only by writers.
//
// A named kernel object exists exactly while some process holds a handle to
// it, and the kernel closes a process's handles when it ends, however it ends.
// So a writer keeps the event open for as long as it writes; a set-up that
// creates the event and is told it already existed (ERROR_ALREADY_EXISTS) has
// found a live writer and closes its handle again. Creation and that answer are
// one step under the kernel's lock, so of two concurrent set-ups exactly one
// finds the name free. Mutexes would do the same but belong to a thread, and a
// host may set up on one thread and release on another.
//
// A refused set-up holds the name for the moment between its create and its
// close; a writer that goes in that moment leaves the name behind for as long,
// and a set-up just then is refused once more and tries again at its next write.
//
// Liveness: the event exists exactly while a writer lives, so a reader opens it
// (never creates it) and closes it at once. Like a refused set-up, that open
// holds the name for a moment, with the same, retried, effect.
#include <windows.h>

#include <string>

#include "writer_lock.hpp"

namespace shared_memory_interface::memory_interface::detail {

namespace {

// "NAME.writer" in UTF-16; empty (error in `error`) when the name is unusable.
std::wstring event_name(std::string_view name, DWORD& error) {
  error = ERROR_INVALID_NAME;
  if (name.empty() || name.find('\0') != std::string_view::npos) return {};
  const std::string object = std::string(name) + ".writer";
  const int bytes = static_cast<int>(object.size());
  const int length =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, object.data(), bytes, nullptr, 0);
  if (length <= 0) {
    error = GetLastError();
    return {};
  }
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, object.data(), bytes, wide.data(), length);
  error = 0;
  return wide;
}

}  // namespace

PlatformLock take_platform_lock(std::string_view name) {
  DWORD name_error = 0;
  const std::wstring wide = event_name(name, name_error);
  if (wide.empty()) return platform_lock(WriterLockState::Failed, nullptr, name_error);

  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, wide.c_str());
  const DWORD error = GetLastError();
  if (event == nullptr) return platform_lock(WriterLockState::Failed, nullptr, error);
  if (error == ERROR_ALREADY_EXISTS) {
    CloseHandle(event);
    return platform_lock(WriterLockState::HeldElsewhere, nullptr, 0);
  }
  return platform_lock(WriterLockState::Taken, event, 0);
}

WriterProbe probe_platform_lock(std::string_view name) {
  DWORD name_error = 0;
  const std::wstring wide = event_name(name, name_error);
  if (wide.empty()) return presence(WriterPresence::Unknown, name_error);
  HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, wide.c_str());
  if (event != nullptr) {
    CloseHandle(event);
    return presence(WriterPresence::Alive, 0);
  }
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND) return presence(WriterPresence::Absent, 0);
  if (error == ERROR_ACCESS_DENIED) return presence(WriterPresence::Alive, 0);  // exists: someone holds it
  return presence(WriterPresence::Unknown, error);
}

void drop_platform_lock(void* object) { CloseHandle(static_cast<HANDLE>(object)); }

// A named event lives while any handle to it is open: nobody can remove or
// replace the one this process holds.
bool platform_lock_intact(void*) { return true; }

}  // namespace shared_memory_interface::memory_interface::detail
