// Intervals of time points (unsigned 64-bit milliseconds) with open or closed ends.
#pragma once

#include <cstdint>

namespace interval_algebra {

enum class IntervalType : std::uint8_t { Open = 0, RightOpen = 1, LeftOpen = 2, Closed = 3 };

struct Interval {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  IntervalType ty = IntervalType::Closed;

  static constexpr Interval eternity() { return Interval{0, ~std::uint64_t{0}, IntervalType::Closed}; }

  constexpr bool includes(std::uint64_t t) const {
    const auto bits = static_cast<std::uint8_t>(ty);
    const bool after_start = (bits & 1) ? start <= t : start < t;
    const bool before_end = (bits & 2) ? t <= end : t < end;
    return after_start && before_end;
  }
};

}  // namespace interval_algebra
