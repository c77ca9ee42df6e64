// Interval, Duration and the thirteen relation predicates.
#include <iterator>
#include <string>

#include "bindings.hpp"
#include "interval_algebra/interval.hpp"

namespace varnel_python {
namespace {

using interval_algebra::Duration;
using interval_algebra::Interval;
using interval_algebra::IntervalType;

// A Duration, or a datetime.timedelta (whole microseconds, not negative).
Duration duration_arg(py::handle value) {
  if (py::isinstance<Duration>(value)) return value.cast<Duration>();
  const py::object timedelta = py::module_::import("datetime").attr("timedelta");
  if (!py::isinstance(value, timedelta)) throw py::type_error("expected a Duration or a timedelta");
  const long long days = value.attr("days").cast<long long>();
  if (days < 0) throw py::value_error("a duration cannot be negative");
  const auto seconds = static_cast<std::uint64_t>(days) * 86400 + value.attr("seconds").cast<std::uint64_t>();
  const auto micros = value.attr("microseconds").cast<std::uint32_t>();
  return Duration{seconds, micros * 1000};
}

IntervalType type_arg(py::handle ty) {
  if (!PyLong_Check(ty.ptr())) throw py::type_error("ty must be an IntervalType");
  const long value = PyLong_AsLong(ty.ptr());
  if (PyErr_Occurred() || value < 0 || value > 3) {
    PyErr_Clear();
    throw py::value_error("ty must be an IntervalType (0..3)");
  }
  return static_cast<IntervalType>(value);
}

py::object relation_between(const Interval& a, const Interval& b) {
  // In IntervalRelation order.
  const bool held[] = {a.precedes(b),   a.meets(b),         a.overlaps(b), a.finished_by(b),
                       a.contains(b),   a.starts(b),        a.equals(b),   a.started_by(b),
                       a.during(b),     a.finishes(b),      a.overlapped_by(b), a.met_by(b),
                       a.preceded_by(b)};
  for (unsigned value = 0; value < std::size(held); ++value) {
    if (held[value]) return module_types().interval_relation(value);
  }
  return py::none();
}

void bind_duration(py::module_& m) {
  py::class_<Duration>(m, "Duration",
                       "A length of time: whole seconds plus nanoseconds below 1,000,000,000. "
                       "Interval constructors also take a datetime.timedelta.")
      .def(py::init([](std::uint64_t seconds, std::uint32_t nanoseconds) {
             if (nanoseconds >= 1'000'000'000) throw py::value_error("nanoseconds must be below 1e9");
             return Duration{seconds, nanoseconds};
           }),
           py::arg("seconds") = 0, py::arg("nanoseconds") = 0)
      .def_static("from_millis", &Duration::from_millis, py::arg("ms"))
      .def_readonly("seconds", &Duration::seconds)
      .def_readonly("nanoseconds", &Duration::nanoseconds)
      .def("as_millis", &Duration::as_millis, "Whole milliseconds; the rest is dropped.")
      .def("__eq__", [](const Duration& a, const Duration& b) {
        return a.seconds == b.seconds && a.nanoseconds == b.nanoseconds;
      }, py::is_operator())
      .def("__repr__", [](const Duration& d) {
        return "Duration { seconds: " + std::to_string(d.seconds) +
               ", nanoseconds: " + std::to_string(d.nanoseconds) + " }";
      });
}

void bind_constructors(py::class_<Interval>& c) {
  c.def(py::init([](std::uint64_t start, std::uint64_t end, py::handle ty) {
          return Interval{start, end, type_arg(ty)};
        }),
        py::arg("start"), py::arg("end"), py::arg("ty") = static_cast<int>(IntervalType::Closed),
        "[start, end], Closed unless `ty` says otherwise.")
      .def_static("new", &Interval::make, py::arg("start"), py::arg("end"), "[start, end], Closed.")
      .def_static("from_duration", [](std::uint64_t start, py::handle d) {
        return Interval::from_duration(start, duration_arg(d));
      }, py::arg("start"), py::arg("duration"), "[start, start + ms(duration)], Closed.")
      .def_static("from_eternity_to", &Interval::from_eternity_to, py::arg("end"))
      .def_static("eternity", &Interval::eternity, "[0, 2**64 - 1], Closed.")
      .def_static("of_type", [](const Interval& i, py::handle ty) { return Interval::of_type(i, type_arg(ty)); },
                  py::arg("interval"), py::arg("ty"));
  c.def_static("new_precedes", [](const Interval& r, py::handle d, py::handle gap) {
         return Interval::new_precedes(r, duration_arg(d), duration_arg(gap));
       }, py::arg("reference"), py::arg("duration"), py::arg("gap"))
      .def_static("new_meets", [](const Interval& r, py::handle d) {
        return Interval::new_meets(r, duration_arg(d));
      }, py::arg("reference"), py::arg("duration"))
      .def_static("new_starts", [](const Interval& r, py::handle d) {
        return Interval::new_starts(r, duration_arg(d));
      }, py::arg("reference"), py::arg("duration"))
      .def_static("new_equals", &Interval::new_equals, py::arg("reference"))
      .def_static("new_finishes", [](const Interval& r, py::handle d) {
        return Interval::new_finishes(r, duration_arg(d));
      }, py::arg("reference"), py::arg("duration"))
      .def_static("new_met_by", [](const Interval& r, py::handle d) {
        return Interval::new_met_by(r, duration_arg(d));
      }, py::arg("reference"), py::arg("duration"))
      .def_static("new_preceded_by", [](const Interval& r, py::handle d, py::handle gap) {
        return Interval::new_preceded_by(r, duration_arg(d), duration_arg(gap));
      }, py::arg("reference"), py::arg("duration"), py::arg("gap"));
}

void bind_predicates(py::class_<Interval>& c) {
  const char* note = "True when `other` stands in this relation to self (self is the object).";
  c.def("precedes", &Interval::precedes, py::arg("other"), note)
      .def("meets", &Interval::meets, py::arg("other"), note)
      .def("overlaps", &Interval::overlaps, py::arg("other"), note)
      .def("finished_by", &Interval::finished_by, py::arg("other"), note)
      .def("contains", &Interval::contains, py::arg("other"), note)
      .def("starts", &Interval::starts, py::arg("other"), note)
      .def("equals", &Interval::equals, py::arg("other"), note)
      .def("started_by", &Interval::started_by, py::arg("other"), note)
      .def("during", &Interval::during, py::arg("other"), note)
      .def("finishes", &Interval::finishes, py::arg("other"), note)
      .def("overlapped_by", &Interval::overlapped_by, py::arg("other"), note)
      .def("met_by", &Interval::met_by, py::arg("other"), note)
      .def("preceded_by", &Interval::preceded_by, py::arg("other"), note)
      .def("relation", &relation_between, py::arg("other"),
           "The IntervalRelation whose predicate holds for `other`, or None.");
}

}  // namespace

void bind_intervals(py::module_& m) {
  bind_duration(m);
  py::class_<Interval> c(m, "Interval",
                         "A stretch of time points (unsigned 64-bit milliseconds) with open or "
                         "closed ends. Arithmetic in the constructors wraps modulo 2**64.");
  bind_constructors(c);
  bind_predicates(c);
  c.def_readonly("start", &Interval::start)
      .def_readonly("end", &Interval::end)
      .def_property_readonly("ty", [](const Interval& i) {
        return module_types().interval_type(static_cast<unsigned>(i.ty));
      })
      .def("includes", &Interval::includes, py::arg("t"))
      .def("__contains__", &Interval::includes, py::arg("t"))
      .def("__eq__", [](const Interval& a, const Interval& b) { return a == b; }, py::is_operator(),
           "Field-wise identity (ends and type), unlike the relation `equals`.")
      .def("__hash__", [](const Interval& i) {
        return py::hash(py::make_tuple(i.start, i.end, static_cast<int>(i.ty)));
      })
      .def("__repr__", [](const Interval& i) { return interval_algebra::to_string(i); });
}

}  // namespace varnel_python
