"""Intervals: constructors, the point test and the thirteen relations."""
import datetime
import itertools

import pytest

from varnel import Duration, Interval, IntervalRelation, IntervalType

MAX = 2**64 - 1


def test_constructors():
    assert (Interval(5, 10).start, Interval(5, 10).end, Interval(5, 10).ty) == (5, 10, IntervalType.Closed)
    assert Interval.new(5, 10) == Interval(5, 10)
    assert Interval.eternity() == Interval(0, MAX)
    assert Interval.from_eternity_to(9) == Interval(0, 9)
    assert Interval.from_duration(1000, Duration(1, 999_999_900)).end == 2999
    assert Interval.from_duration(1000, Duration(0, 999_999)).end == 1000
    assert Interval.from_duration(0, datetime.timedelta(seconds=2, microseconds=1500)).end == 2001
    assert Interval.of_type(Interval(1, 2), IntervalType.Open).ty is IntervalType.Open
    assert Interval.new_meets(Interval(3, 10), Duration(0, 5_000_000)).start == MAX - 1  # wraps
    assert repr(Interval(5, 10)) == "Interval { start: 5, end: 10, ty: Closed }"


def test_includes_honours_open_ends():
    expected = {IntervalType.Closed: [5, 10], IntervalType.RightOpen: [5],
                IntervalType.LeftOpen: [10], IntervalType.Open: []}
    for ty, ends in expected.items():
        interval = Interval(5, 10, ty)
        assert [t for t in (4, 5, 10, 11) if interval.includes(t)] == ends
        assert 7 in interval
    everything = Interval.of_type(Interval.eternity(), IntervalType.Open)
    assert not everything.includes(0) and not everything.includes(MAX) and everything.includes(1)
    assert not any(Interval(10, 5).includes(t) for t in range(0, 12))


def test_relation_constructors_stand_in_their_relation():
    r = Interval(10_000, 50_000)
    d, g = Duration(1), Duration(0, 500_000_000)
    assert r.precedes(Interval.new_precedes(r, d, g))
    assert r.meets(Interval.new_meets(r, d))
    assert r.starts(Interval.new_starts(r, d))
    same = Interval.new_equals(Interval(10_000, 50_000, IntervalType.Open))
    assert r.equals(same) and same.ty is IntervalType.Closed
    assert r.finishes(Interval.new_finishes(r, d))
    assert r.met_by(Interval.new_met_by(r, d))
    assert r.preceded_by(Interval.new_preceded_by(r, d, g))
    assert r.relation(Interval.new_met_by(r, d)) is IntervalRelation.MetBy


def test_exactly_one_relation_holds_for_proper_intervals():
    names = ["precedes", "meets", "overlaps", "finished_by", "contains", "starts", "equals",
             "started_by", "during", "finishes", "overlapped_by", "met_by", "preceded_by"]
    points = range(6)
    proper = [Interval(s, e) for s, e in itertools.combinations(points, 2)]
    for a, b in itertools.product(proper, proper):
        held = [n for n in names if getattr(a, n)(b)]
        assert len(held) == 1
        assert a.relation(b) == IntervalRelation(names.index(held[0]))
        assert b.relation(a) == IntervalRelation(12 - names.index(held[0]))  # the converse
    assert Interval(5, 5).relation(Interval(5, 8)) is None


def test_bad_interval_arguments_raise():
    with pytest.raises(TypeError):
        Interval(-1, 5)
    with pytest.raises(ValueError):
        Interval(1, 5, 4)
    with pytest.raises(TypeError):
        Interval.from_duration(0, 5)
    with pytest.raises(ValueError):
        Duration(0, 1_000_000_000)
    with pytest.raises(ValueError):
        Interval.from_duration(0, datetime.timedelta(seconds=-1))
