#include "messages.hpp"

#include <cerrno>
#include <cstring>
#include <string>

#include "logging/logging.hpp"

namespace shared_memory_interface::memory_interface {
namespace {

constexpr const char* kTarget = "shared_memory_interface::memory_interface";

MapOutcome failure(std::uint32_t error) {
  MapOutcome outcome;
  outcome.error = error;
  return outcome;
}

}  // namespace

MapOutcome region_not_created(std::uint32_t error) {
  VARNEL_LOG_ERROR(kTarget, "[Shared memory]: Region cannot be created: " << error);
  return failure(error);
}

MapOutcome view_not_mapped(std::uint32_t error) {
  VARNEL_LOG_ERROR(kTarget, "[Shared memory]: File view cannot be mapped: " << error);
  return failure(error);
}

}  // namespace shared_memory_interface::memory_interface

namespace shared_memory_interface::memory_interface {
namespace {

std::string platform_text(std::uint32_t error) {
#ifdef _WIN32
  return "Windows error " + std::to_string(error);
#else
  return std::string(std::strerror(static_cast<int>(error))) + " (errno " + std::to_string(error) + ")";
#endif
}

std::string octal(std::uint64_t mode) {
  std::string text;
  for (int shift = 6; shift >= 0; shift -= 3) text += static_cast<char>('0' + ((mode >> shift) & 7));
  return text;
}

}  // namespace

std::string describe_failure(std::string_view name, const MapOutcome& outcome) {
  const std::string region = "the shared region \"" + std::string(name) + "\"";
  const std::string object =
      outcome.object.empty() ? region : region + " (object " + outcome.object + ")";
  switch (outcome.refusal) {
    case Refusal::None: return region + " is set up";
    case Refusal::Missing:
      return "no process holds " + region + ": it does not exist";
    case Refusal::ForeignOwner:
      return object + " belongs to another user (uid " + std::to_string(outcome.detail) +
             "), who could change it under us: refused; run as that user, or stop its "
             "processes and remove the object";
    case Refusal::OpenToOthers:
      return object + " has mode " + octal(outcome.detail) +
             ": other users may open it, so it is refused; stop its processes so that it is "
             "created anew (mode 600)";
    case Refusal::NotARegion:
      return object + " is not a shared memory object: refused; remove it";
    case Refusal::TooSmall:
      return object + " holds " + std::to_string(outcome.detail) +
             " bytes, too few for its record; stop the processes that hold it so that it is "
             "created anew";
    case Refusal::LockTimeout:
      return "another process kept the set-up lock of " + region + " for " +
             std::to_string(outcome.detail) + " ms" +
             (outcome.object.empty() ? std::string() : " (object " + outcome.object + ")") +
             "; try again, or find the process that holds it";
    case Refusal::Interrupted: return "waiting for the set-up lock of " + region + " was interrupted";
    case Refusal::Platform: break;
  }
#ifndef _WIN32
  if (outcome.error == EACCES || outcome.error == EPERM)
    return "no permission to open " + object + ": " + platform_text(outcome.error) +
           "; it belongs to another user: run as the user of its host";
  if (outcome.error == ENOSPC || outcome.error == ENOMEM)
    return "not enough shared memory for " + region + ": " + platform_text(outcome.error) +
           "; free /dev/shm or enlarge it";
#endif
  return "cannot set up " + object + ": " + platform_text(outcome.error);
}

}  // namespace shared_memory_interface::memory_interface
