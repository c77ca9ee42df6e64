#include "messages.hpp"

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
