// Intervals of time points (unsigned 64-bit milliseconds) with open or closed
// ends, and Allen's thirteen relations between two intervals.
//
// Everything here is a pure function on small values: nothing allocates (except
// the text forms), nothing fails, nothing is validated. Time arithmetic wraps
// modulo 2^64, so a constructor that steps below 0 yields a point near 2^64.
#pragma once

#include <cstdint>
#include <iterator>
#include <ostream>
#include <string>
#include <string_view>

namespace interval_algebra {

// Two-bit mask: bit 0 set when `start` belongs to the interval, bit 1 when `end` does.
enum class IntervalType : std::uint8_t { Open = 0, RightOpen = 1, LeftOpen = 2, Closed = 3 };

// Allen's relations. Value r and value 12 - r are converses of each other.
enum class IntervalRelation : std::uint8_t {
  Precedes = 0,
  Meets = 1,
  Overlaps = 2,
  FinishedBy = 3,
  Contains = 4,
  Starts = 5,
  Equals = 6,
  StartedBy = 7,
  During = 8,
  Finishes = 9,
  OverlappedBy = 10,
  MetBy = 11,
  PrecededBy = 12,
};

// A length of time as whole seconds plus a sub-second part in nanoseconds.
struct Duration {
  std::uint64_t seconds = 0;
  std::uint32_t nanoseconds = 0;  // below 1,000,000,000

  static constexpr Duration from_millis(std::uint64_t ms) {
    return Duration{ms / 1000, static_cast<std::uint32_t>(ms % 1000 * 1'000'000)};
  }
  // Whole milliseconds; the sub-millisecond rest is dropped.
  constexpr std::uint64_t as_millis() const { return seconds * 1000 + nanoseconds / 1'000'000; }
};

// A stretch of the time line. Nothing enforces start <= end; an interval whose
// start lies above its end includes no point.
//
// `Interval{start, end}` (or `Interval::make(start, end)`) builds a Closed interval.
struct Interval {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  IntervalType ty = IntervalType::Closed;

  // ---- Constructors: all Closed except of_type ----

  static constexpr Interval make(std::uint64_t start, std::uint64_t end) {
    return Interval{start, end, IntervalType::Closed};
  }
  static constexpr Interval from_duration(std::uint64_t start, Duration d) {
    return make(start, start + d.as_millis());
  }
  static constexpr Interval from_eternity_to(std::uint64_t end) { return make(0, end); }
  static constexpr Interval eternity() { return make(0, ~std::uint64_t{0}); }
  static constexpr Interval of_type(const Interval& interval, IntervalType ty) {
    return Interval{interval.start, interval.end, ty};
  }

  // ---- Relation constructors: the result stands in the named relation to the
  // reference R (R's own type is never read). Durations and gaps are not checked.

  static constexpr Interval new_precedes(const Interval& r, Duration d, Duration gap) {
    const std::uint64_t end = r.start - gap.as_millis();
    return make(end - d.as_millis(), end);
  }
  static constexpr Interval new_meets(const Interval& r, Duration d) {
    return make(r.start - d.as_millis(), r.start);
  }
  static constexpr Interval new_starts(const Interval& r, Duration d) {
    return make(r.start, r.start + d.as_millis());
  }
  static constexpr Interval new_equals(const Interval& r) { return make(r.start, r.end); }
  static constexpr Interval new_finishes(const Interval& r, Duration d) {
    return make(r.end - d.as_millis(), r.end);
  }
  static constexpr Interval new_met_by(const Interval& r, Duration d) {
    return make(r.end, r.end + d.as_millis());
  }
  static constexpr Interval new_preceded_by(const Interval& r, Duration d, Duration gap) {
    const std::uint64_t start = r.end + gap.as_millis();
    return make(start, start + d.as_millis());
  }

  // ---- Point test ----

  constexpr bool includes(std::uint64_t t) const {
    const auto bits = static_cast<std::uint8_t>(ty);
    const bool after_start = (bits & 1) ? start <= t : start < t;
    const bool before_end = (bits & 2) ? t <= end : t < end;
    return after_start && before_end;
  }

  // ---- Relation predicates ----
  // The receiver is the object of the relation: a.precedes(b) holds when b
  // precedes a. Each is four comparisons of the ends; the types play no part.

  constexpr bool precedes(const Interval& b) const {
    return start > b.start && start > b.end && end > b.start && end > b.end;
  }
  constexpr bool meets(const Interval& b) const {
    return start > b.start && start == b.end && end > b.start && end > b.end;
  }
  constexpr bool overlaps(const Interval& b) const {
    return start > b.start && start < b.end && end > b.start && end > b.end;
  }
  constexpr bool finished_by(const Interval& b) const {
    return start > b.start && start < b.end && end > b.start && end == b.end;
  }
  constexpr bool contains(const Interval& b) const {
    return start > b.start && start < b.end && end > b.start && end < b.end;
  }
  constexpr bool starts(const Interval& b) const {
    return start == b.start && start < b.end && end > b.start && end > b.end;
  }
  constexpr bool equals(const Interval& b) const {
    return start == b.start && start < b.end && end > b.start && end == b.end;
  }
  constexpr bool started_by(const Interval& b) const {
    return start == b.start && start < b.end && end > b.start && end < b.end;
  }
  constexpr bool during(const Interval& b) const {
    return start < b.start && start < b.end && end > b.start && end > b.end;
  }
  constexpr bool finishes(const Interval& b) const {
    return start < b.start && start < b.end && end > b.start && end == b.end;
  }
  constexpr bool overlapped_by(const Interval& b) const {
    return start < b.start && start < b.end && end > b.start && end < b.end;
  }
  constexpr bool met_by(const Interval& b) const {
    return start < b.start && start < b.end && end == b.start && end < b.end;
  }
  constexpr bool preceded_by(const Interval& b) const {
    return start < b.start && start < b.end && end < b.start && end < b.end;
  }

  // Field-wise identity (ends and type), unlike the relation `equals`.
  friend constexpr bool operator==(const Interval&, const Interval&) = default;
};

// ---- Text forms ----

constexpr std::string_view to_string(IntervalType ty) {
  switch (ty) {
    case IntervalType::Open: return "Open";
    case IntervalType::RightOpen: return "RightOpen";
    case IntervalType::LeftOpen: return "LeftOpen";
    case IntervalType::Closed: return "Closed";
  }
  return "Unknown";
}

constexpr std::string_view to_string(IntervalRelation relation) {
  constexpr std::string_view names[] = {
      "Precedes", "Meets",  "Overlaps", "FinishedBy",   "Contains", "Starts",    "Equals",
      "StartedBy", "During", "Finishes", "OverlappedBy", "MetBy",    "PrecededBy"};
  const auto value = static_cast<std::uint8_t>(relation);
  return value < std::size(names) ? names[value] : "Unknown";
}

// "Interval { start: 5, end: 10, ty: Closed }"
inline std::string to_string(const Interval& interval) {
  std::string text = "Interval { start: " + std::to_string(interval.start);
  text += ", end: " + std::to_string(interval.end);
  text += ", ty: ";
  text += to_string(interval.ty);
  text += " }";
  return text;
}

inline std::ostream& operator<<(std::ostream& out, IntervalType ty) { return out << to_string(ty); }
inline std::ostream& operator<<(std::ostream& out, IntervalRelation relation) {
  return out << to_string(relation);
}
inline std::ostream& operator<<(std::ostream& out, const Interval& interval) {
  return out << to_string(interval);
}

}  // namespace interval_algebra
