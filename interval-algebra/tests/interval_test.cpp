#include "interval_algebra/interval.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace interval_algebra {
namespace {

constexpr std::uint64_t kMax = ~std::uint64_t{0};
constexpr auto kTypes = std::array{IntervalType::Open, IntervalType::RightOpen,
                                   IntervalType::LeftOpen, IntervalType::Closed};

constexpr Duration ms(std::uint64_t millis) { return Duration::from_millis(millis); }

// ---- Compile-time checks of the constructors ----

static_assert(Interval::eternity() == Interval{0, kMax, IntervalType::Closed});
static_assert(Interval::make(5, 10) == Interval{5, 10, IntervalType::Closed});
static_assert(Interval::from_eternity_to(7) == Interval{0, 7, IntervalType::Closed});
static_assert(Interval::of_type(Interval::make(3, 4), IntervalType::LeftOpen) ==
              Interval{3, 4, IntervalType::LeftOpen});
// 1.9999999 s truncates to 1999 ms; below one millisecond counts as nothing.
static_assert(Interval::from_duration(1000, Duration{1, 999'999'900}).end == 2999);
static_assert(Interval::from_duration(1000, Duration{0, 999'999}).end == 1000);
static_assert(Interval::from_duration(1000, Duration{0, 999'999}).ty == IntervalType::Closed);
// Relation constructors: reference, duration, then gap.
static_assert(Interval::new_precedes({100, 200}, ms(10), ms(5)) == Interval::make(85, 95));
static_assert(Interval::new_meets({100, 200}, ms(10)) == Interval::make(90, 100));
static_assert(Interval::new_starts({100, 200}, ms(10)) == Interval::make(100, 110));
static_assert(Interval::new_equals({100, 200, IntervalType::Open}) == Interval::make(100, 200));
static_assert(Interval::new_finishes({100, 200}, ms(10)) == Interval::make(190, 200));
static_assert(Interval::new_met_by({100, 200}, ms(10)) == Interval::make(200, 210));
static_assert(Interval::new_preceded_by({100, 200}, ms(10), ms(5)) == Interval::make(205, 215));
// Nothing saturates: differences below 0 and sums above 2^64 - 1 wrap.
static_assert(Interval::new_meets({3, 9}, ms(5)).start == kMax - 1);
static_assert(Interval::new_met_by({0, kMax}, ms(2)).end == 1);
static_assert(Interval::from_duration(kMax, Duration{0, 1'000'000}).end == 0);
// Types are ignored by the predicates.
static_assert(Interval{5, 10, IntervalType::Open}.equals({5, 10, IntervalType::Closed}));

// The thirteen predicates in IntervalRelation order.
using Predicate = bool (Interval::*)(const Interval&) const;
constexpr std::array<Predicate, 13> kPredicates = {
    &Interval::precedes,    &Interval::meets,    &Interval::overlaps,      &Interval::finished_by,
    &Interval::contains,    &Interval::starts,   &Interval::equals,        &Interval::started_by,
    &Interval::during,      &Interval::finishes, &Interval::overlapped_by, &Interval::met_by,
    &Interval::preceded_by};

constexpr IntervalRelation relation(std::size_t i) { return static_cast<IntervalRelation>(i); }
constexpr std::size_t converse(std::size_t i) { return 12 - i; }

bool holds(std::size_t i, const Interval& a, const Interval& b) { return (a.*kPredicates[i])(b); }

std::vector<std::size_t> holding(const Interval& a, const Interval& b) {
  std::vector<std::size_t> found;
  for (std::size_t i = 0; i < kPredicates.size(); ++i) {
    if (holds(i, a, b)) found.push_back(i);
  }
  return found;
}

// Allen's relations in words, for proper intervals: how B stands to A.
IntervalRelation allen(const Interval& a, const Interval& b) {
  using R = IntervalRelation;
  if (b.end < a.start) return R::Precedes;
  if (b.end == a.start) return R::Meets;
  if (a.end < b.start) return R::PrecededBy;
  if (a.end == b.start) return R::MetBy;
  if (b.start == a.start && b.end == a.end) return R::Equals;
  if (b.start == a.start) return b.end < a.end ? R::Starts : R::StartedBy;
  if (b.end == a.end) return b.start > a.start ? R::Finishes : R::FinishedBy;
  if (b.start < a.start) return b.end < a.end ? R::Overlaps : R::Contains;
  return b.end < a.end ? R::During : R::OverlappedBy;
}

// Every interval with ends in [base, base + 6], degenerate and reversed ones included.
std::vector<Interval> small_domain(std::uint64_t base = 0) {
  std::vector<Interval> all;
  for (std::uint64_t s = base; s <= base + 6; ++s) {
    for (std::uint64_t e = base; e <= base + 6; ++e) all.push_back(Interval::make(s, e));
  }
  return all;
}

bool proper(const Interval& i) { return i.start < i.end; }

// ---- Point test ----

TEST(Includes, EternityIncludesEveryPointAndOpenEternityNotItsEnds) {
  const Interval all = Interval::eternity();
  for (std::uint64_t t : {std::uint64_t{0}, std::uint64_t{1}, kMax / 2, kMax - 1, kMax}) {
    EXPECT_TRUE(all.includes(t)) << t;
  }
  const Interval open = Interval::of_type(all, IntervalType::Open);
  EXPECT_FALSE(open.includes(0));
  EXPECT_FALSE(open.includes(kMax));
  EXPECT_TRUE(open.includes(1));
  EXPECT_TRUE(open.includes(kMax - 1));
  const Interval until = Interval::from_eternity_to(42);
  EXPECT_TRUE(until.includes(0));
  EXPECT_TRUE(until.includes(42));
  EXPECT_FALSE(until.includes(43));
}

TEST(Includes, EachTypeDecidesItsOwnEnds) {
  struct Case {
    IntervalType ty;
    bool start_in, end_in;
  };
  for (const Case c : {Case{IntervalType::Open, false, false}, Case{IntervalType::RightOpen, true, false},
                       Case{IntervalType::LeftOpen, false, true}, Case{IntervalType::Closed, true, true}}) {
    const Interval i{5, 10, c.ty};
    EXPECT_EQ(i.includes(5), c.start_in) << i;
    EXPECT_EQ(i.includes(10), c.end_in) << i;
    EXPECT_TRUE(i.includes(6)) << i;
    EXPECT_TRUE(i.includes(9)) << i;
    EXPECT_FALSE(i.includes(4)) << i;
    EXPECT_FALSE(i.includes(11)) << i;
  }
}

TEST(Includes, PointIntervalOnlyWhenClosedAndReversedIntervalNever) {
  for (IntervalType ty : kTypes) {
    const Interval point{5, 5, ty};
    const Interval reversed{10, 5, ty};
    for (std::uint64_t t : {std::uint64_t{0}, std::uint64_t{4}, std::uint64_t{5}, std::uint64_t{6},
                            std::uint64_t{7}, std::uint64_t{10}, std::uint64_t{11}, kMax}) {
      EXPECT_EQ(point.includes(t), ty == IntervalType::Closed && t == 5) << point << " at " << t;
      EXPECT_FALSE(reversed.includes(t)) << reversed << " at " << t;
    }
  }
}

// ---- Durations ----

TEST(Durations, ConvertToWholeMillisecondsAndWrap) {
  EXPECT_EQ(Interval::from_duration(1000, Duration{1, 999'999'900}), Interval::make(1000, 2999));
  EXPECT_EQ(Interval::from_duration(1000, Duration{0, 999'999}), Interval::make(1000, 1000));
  EXPECT_EQ(Interval::from_duration(0, Duration{3, 1'000'000}).end, 3001u);
  EXPECT_EQ((Duration{2, 500'000'000}).as_millis(), 2500u);
  // Seconds times 1000 wraps too: 2^64 / 1000 + 1 seconds is 384 ms past 2^64.
  EXPECT_EQ((Duration{kMax / 1000 + 1, 0}).as_millis(), 384u);
  EXPECT_EQ(Interval::from_duration(kMax - 1, ms(5)).end, 3u);
}

// ---- Relation constructors ----

TEST(RelationConstructors, TakeDurationBeforeGapAndIgnoreReferenceType) {
  const Interval r{1000, 2000, IntervalType::Open};
  EXPECT_EQ(Interval::new_precedes(r, ms(30), ms(7)), Interval::make(963, 993));
  EXPECT_EQ(Interval::new_preceded_by(r, ms(30), ms(7)), Interval::make(2007, 2037));
  EXPECT_EQ(Interval::new_equals(r), Interval::make(1000, 2000));
  EXPECT_EQ(Interval::new_equals(r).ty, IntervalType::Closed);
}

TEST(RelationConstructors, CheckNothing) {
  const Interval r = Interval::make(100, 110);
  // Longer than the reference: accepted, and then no longer `starts`/`finishes`.
  EXPECT_EQ(Interval::new_starts(r, ms(50)), Interval::make(100, 150));
  EXPECT_FALSE(r.starts(Interval::new_starts(r, ms(50))));
  EXPECT_EQ(Interval::new_finishes(r, ms(50)), Interval::make(60, 110));
  // Zero durations and gaps give point intervals at the reference's ends.
  EXPECT_EQ(Interval::new_precedes(r, ms(0), ms(0)), Interval::make(100, 100));
  EXPECT_EQ(Interval::new_met_by(r, ms(0)), Interval::make(110, 110));
  // Below 0 wraps to the top of the time line: the result no longer precedes.
  const Interval wrapped = Interval::new_meets(Interval::make(3, 9), ms(5));
  EXPECT_EQ(wrapped.start, kMax - 1);
  EXPECT_EQ(wrapped.end, 3u);
  EXPECT_EQ(Interval::new_precedes(Interval::make(3, 9), ms(2), ms(5)), Interval::make(kMax - 3, kMax - 1));
}

TEST(RelationConstructors, ResultStandsInItsRelationToEveryValidReference) {
  // References in [20, 26] so that durations and gaps up to 6 ms never wrap;
  // durations carry a sub-millisecond rest that must be dropped.
  const auto sub_ms = [](std::uint64_t m) { return Duration{0, static_cast<std::uint32_t>(m * 1'000'000 + 999'999)}; };
  int checked = 0;
  for (const Interval& r : small_domain(20)) {
    if (!proper(r)) continue;
    for (std::uint64_t d = 1; d <= 6; ++d) {
      const Duration dur = sub_ms(d);
      for (std::uint64_t g = 1; g <= 6; ++g) {
        EXPECT_TRUE(r.precedes(Interval::new_precedes(r, dur, sub_ms(g)))) << r << " d " << d << " g " << g;
        EXPECT_TRUE(r.preceded_by(Interval::new_preceded_by(r, dur, sub_ms(g)))) << r << " d " << d << " g " << g;
      }
      EXPECT_TRUE(r.meets(Interval::new_meets(r, dur))) << r << " d " << d;
      EXPECT_TRUE(r.met_by(Interval::new_met_by(r, dur))) << r << " d " << d;
      if (d < r.end - r.start) {
        EXPECT_TRUE(r.starts(Interval::new_starts(r, dur))) << r << " d " << d;
        EXPECT_TRUE(r.finishes(Interval::new_finishes(r, dur))) << r << " d " << d;
      }
      ++checked;
    }
    EXPECT_TRUE(r.equals(Interval::new_equals(r))) << r;
  }
  EXPECT_EQ(checked, 21 * 6);
}

// ---- Relation predicates ----

TEST(Predicates, ExactlyOneHoldsForProperPairsAndAtMostOneForAny) {
  const auto domain = small_domain();
  for (const Interval& a : domain) {
    for (const Interval& b : domain) {
      const auto found = holding(a, b);
      if (proper(a) && proper(b)) {
        ASSERT_EQ(found.size(), 1u) << a << " vs " << b;
        EXPECT_EQ(relation(found[0]), allen(a, b)) << a << " vs " << b;
      } else {
        EXPECT_LE(found.size(), 1u) << a << " vs " << b;
      }
    }
  }
}

TEST(Predicates, EachAgreesWithItsConverseOnTheSwappedPair) {
  const auto domain = small_domain();
  for (const Interval& a : domain) {
    for (const Interval& b : domain) {
      for (std::size_t i = 0; i < kPredicates.size(); ++i) {
        EXPECT_EQ(holds(i, a, b), holds(converse(i), b, a))
            << relation(i) << " " << a << " vs " << b;
      }
    }
  }
}

TEST(Predicates, PointIntervalsSatisfyOnlyTheirFewRelations) {
  using R = IntervalRelation;
  const auto domain = small_domain();
  for (std::uint64_t p = 0; p <= 6; ++p) {
    const Interval point = Interval::make(p, p);
    for (const Interval& other : domain) {
      for (std::size_t i : holding(point, other)) {
        EXPECT_TRUE(relation(i) == R::Contains || relation(i) == R::Precedes ||
                    relation(i) == R::PrecededBy)
            << point << " as reference: " << relation(i) << " with " << other;
      }
      for (std::size_t i : holding(other, point)) {
        EXPECT_TRUE(relation(i) == R::During || relation(i) == R::Precedes ||
                    relation(i) == R::PrecededBy)
            << point << " as argument: " << relation(i) << " with " << other;
      }
    }
  }
  // A degenerate pair can satisfy nothing at all.
  EXPECT_TRUE(holding(Interval::make(5, 5), Interval::make(5, 8)).empty());
}

TEST(Predicates, IgnoreTypesAndCompareUnsigned) {
  for (IntervalType ta : kTypes) {
    for (IntervalType tb : kTypes) {
      EXPECT_TRUE((Interval{5, 10, ta}).equals(Interval{5, 10, tb}));
      EXPECT_TRUE((Interval{5, 10, ta}).during(Interval{6, 9, tb}));
    }
  }
  // The top of the time line lies above everything: no signed comparison.
  EXPECT_TRUE(Interval::make(0, 10).preceded_by(Interval::make(kMax - 1, kMax)));
  EXPECT_TRUE(Interval::make(kMax - 1, kMax).precedes(Interval::make(0, 10)));
  // The receiver is the object: B precedes A is asked as A.precedes(B).
  EXPECT_FALSE(Interval::make(0, 10).precedes(Interval::make(20, 30)));
}

// ---- Text forms ----

TEST(TextForms, NamesAndFields) {
  EXPECT_EQ(to_string(Interval::make(5, 10)), "Interval { start: 5, end: 10, ty: Closed }");
  std::ostringstream out;
  out << Interval::of_type(Interval::eternity(), IntervalType::RightOpen) << ' '
      << IntervalType::LeftOpen << ' ' << IntervalType::Open << ' ' << IntervalRelation::OverlappedBy;
  EXPECT_EQ(out.str(),
            "Interval { start: 0, end: 18446744073709551615, ty: RightOpen } LeftOpen Open OverlappedBy");
  const char* names[] = {"Precedes", "Meets",    "Overlaps", "FinishedBy",   "Contains",
                         "Starts",   "Equals",   "StartedBy", "During",      "Finishes",
                         "OverlappedBy", "MetBy", "PrecededBy"};
  for (std::size_t i = 0; i < 13; ++i) EXPECT_EQ(to_string(relation(i)), names[i]);
  static_assert(static_cast<int>(IntervalRelation::PrecededBy) == 12);
  static_assert(static_cast<int>(IntervalType::Closed) == 3 && sizeof(IntervalType) == 1);
  static_assert(sizeof(IntervalRelation) == 1);
}

}  // namespace
}  // namespace interval_algebra
