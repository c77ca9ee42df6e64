// The platform layer's two failure messages, shared by both platforms.
#pragma once

#include <cstdint>

#include "shared_memory_interface/memory_interface.hpp"

namespace shared_memory_interface::memory_interface {

// Log "[Shared memory]: Region cannot be created: CODE" / "... File view cannot
// be mapped: CODE" and return the failed outcome carrying `error`.
MapOutcome region_not_created(std::uint32_t error);
MapOutcome view_not_mapped(std::uint32_t error);

}  // namespace shared_memory_interface::memory_interface
